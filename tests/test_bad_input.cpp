// Hostile and broken input, driving the real tool: descriptors that give no usable size,
// rasters longer than their descriptor says, a descriptor with the wrong sample width,
// answers that are not numbers, result files that cannot be created or written, and the
// promise behind all of them: a failing run touches no file but the documented ones, and
// names on stderr the result files it leaves empty or incomplete.
#include "run_tool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace e2e;

const int kLines = 5, kCols = 6;

std::vector<int> dem_values()
{
    std::vector<int> v;
    for (int i = 0; i < kLines; i++)
        for (int j = 0; j < kCols; j++) v.push_back(100 + (i * 7 + j * 13) % 23 + (i * j) % 5);
    return v;
}

const char *const kDescriptor = "5\n6\n2\n0\n0\n10\n";

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

size_t count_of(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) n++;
    return n;
}

// A 5 x 6 DEM d in folder z (type 0) below a fresh working folder.
class BadInput : public ::testing::Test {
protected:
    TempDir tmp;
    fs::path root() const { return tmp.path(); }
    fs::path folder() const { return images_folder(root(), "z"); }
    void dem(const char *descriptor = kDescriptor, int type = 0)
    {
        write_dem(root(), "z", "d", type, dem_values(), descriptor);
    }
    RunResult run(const std::string &answers) { return run_tool(root(), answers); }
};

// The four raster results of a run (descriptors and rasters), by file name.
std::map<std::string, std::string> raster_results(const fs::path &dir, const std::string &name)
{
    std::map<std::string, std::string> m;
    for (const char *suffix : {"_roughness.raw", "_roughness.txt", "_roughness_str.raw", "_roughness_str.txt"})
        m[suffix] = read_text(dir / (name + suffix));
    return m;
}

// ---------------------------------------------------------------------------------------
// Descriptors that give no usable size: status 1, a message naming the descriptor, and
// nothing created or changed anywhere in the working folder. (Zero or negative sizes, an
// empty descriptor and a size too large for memory: ToolEnds in test_tool_runs.cpp.)
// ---------------------------------------------------------------------------------------
TEST_F(BadInput, DescriptorWithoutUsableSizeEndsTheRunAndCreatesNothing)
{
    struct Case {
        const char *label, *descriptor, *said;
    };
    const Case cases[] = {
        {"garbage", "abc\n", "gives 0 lines and 0 columns (0 of its six numbers read)"},
        {"lines only", "5\nabc\n", "gives 5 lines and 0 columns (1 of its six numbers read)"},
        {"beyond int", "99999999999\n6\n2\n0\n0\n10\n", "gives 0 lines and 0 columns (0 of its six numbers read)"},
        {"both negative", "-5\n-6\n2\n0\n0\n10\n", "gives -5 lines and -6 columns"},
        {"int max", "2147483647\n2147483647\n2\n0\n0\n10\n", "a DEM of 2147483647 lines and 2147483647 columns needs"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(root() / "c:");
        dem(c.descriptor);
        const auto before = snapshot(root());
        const RunResult r = run("z d 0 10 0 r 1 5\n");
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, c.said)) << r.err;
        if (!contains(c.label, "int max")) {
            EXPECT_TRUE(contains(r.err, "the DEM descriptor c:/images/z/d_m2.txt")) << r.err;
        }
        EXPECT_FALSE(contains(r.out, "Hypsometric Interval")); // no question after the descriptor
        EXPECT_EQ(snapshot(root()), before);
    }
}

// ---------------------------------------------------------------------------------------
// Raster and descriptor that disagree
// ---------------------------------------------------------------------------------------
TEST_F(BadInput, LongRasterIsCutWithAWarningAndGivesTheSameResults)
{
    dem();
    const RunResult exact = run("z d 0 0 exact 1 5\n");
    ASSERT_EQ(exact.status, 0) << exact.err;
    EXPECT_EQ(exact.err, "");

    Bytes raster = samples_m2(dem_values());
    for (int k = 0; k < 37; k++) raster.push_back(static_cast<unsigned char>(0xA0 + k));
    write_bytes(folder() / "d_m2.raw", raster);
    const RunResult long_run = run("z d 0 0 long 1 5\n");
    ASSERT_EQ(long_run.status, 0) << long_run.err;
    EXPECT_TRUE(contains(long_run.err, "warning: the raster c:/images/z/d_m2.raw is longer than 30 samples; "
                                       "the rest is ignored"))
        << long_run.err;
    EXPECT_EQ(raster_results(folder(), "long"), raster_results(folder(), "exact"));
    EXPECT_EQ(read_bytes(folder() / "d_m2.raw"), raster); // the DEM is only read
}

// The third descriptor value does not choose the sample width: the storage type does, and
// a descriptor that disagrees only earns a warning.
TEST_F(BadInput, WrongSampleWidthInDescriptorWarnsAndReadsByType)
{
    for (int type : {0, 1}) {
        SCOPED_TRACE(type);
        fs::remove_all(root() / "c:");
        dem(kDescriptor, type);
        const std::string t = std::to_string(type);
        const int right_width = type == 0 ? 2 : 4, wrong_width = type == 0 ? 4 : 2;
        const fs::path descr = folder() / (type == 0 ? "d_m2.txt" : "d_m4.txt");
        auto descriptor = [](int width) { return "5\n6\n" + std::to_string(width) + "\n0\n0\n10\n"; };

        write_text(descr, descriptor(right_width));
        const RunResult right = run("z d " + t + " 0 right 1 5\n");
        ASSERT_EQ(right.status, 0) << right.err;
        EXPECT_EQ(right.err, "");

        write_text(descr, descriptor(wrong_width));
        const RunResult wrong = run("z d " + t + " 0 wrong 1 5\n");
        ASSERT_EQ(wrong.status, 0) << wrong.err;
        EXPECT_TRUE(contains(wrong.err, "warning: the DEM descriptor gives " + std::to_string(wrong_width) +
                                            " bytes per pixel; the raster is read with " + std::to_string(right_width)))
            << wrong.err;
        EXPECT_EQ(raster_results(folder(), "wrong"), raster_results(folder(), "right"));
    }
}

// ---------------------------------------------------------------------------------------
// Answers that are not numbers: every number question is shown again (a menu whole), and
// the run ends as if only the good answers had been typed.
// ---------------------------------------------------------------------------------------
TEST_F(BadInput, NonNumberAnswersAreAskedAgainAtEveryQuestion)
{
    write_dem(root(), "z", "d", 0, dem_values(), nullptr);
    const RunResult clean = run("z d 0 5 6 0 10 0 clean 1 5\n");
    ASSERT_EQ(clean.status, 0) << clean.err;
    fs::remove(folder() / "d_m2.txt");

    // type x; lines abc; columns "?"; pixel size p; pixel size in metres q and a number
    // beyond int; interval 9999999999 and i; format f; coefficient nan, inf, 1e999 and c.
    const RunResult r = run("z d x 0 abc 5 ? 6 p 0 q 99999999999 10 9999999999 i 0 junk f 1 nan inf 1e999 c 5\n");
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count_of(r.out, say::type_menu()), 2u);
    EXPECT_EQ(count_of(r.out, say::lines_q()), 2u);
    EXPECT_EQ(count_of(r.out, say::columns_q()), 2u);
    EXPECT_EQ(count_of(r.out, say::pixel_q()), 2u);
    EXPECT_EQ(count_of(r.out, say::pixel_metres_q()), 3u);
    EXPECT_EQ(count_of(r.out, say::interval_menu()), 3u);
    EXPECT_EQ(count_of(r.out, say::format_menu()), 2u);
    EXPECT_EQ(count_of(r.out, say::coefficient_q()), 5u);
    EXPECT_EQ(read_text(folder() / "d_m2.txt"), "5\n6\n2\n");
    EXPECT_EQ(raster_results(folder(), "junk"), raster_results(folder(), "clean"));
}

// ---------------------------------------------------------------------------------------
// Result files that cannot be created or written
// ---------------------------------------------------------------------------------------
// The generic name may hold a folder; a missing one, or a file in the way, stops the run
// before anything is computed.
TEST_F(BadInput, ResultInMissingOrImpossibleFolderEndsTheRun)
{
    dem();
    const auto before = snapshot(root());
    const RunResult missing = run("z d 0 0 nosuch/r 0 5\n");
    ASSERT_TRUE(missing.exited);
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(contains(missing.err, "cannot create the result file c:/images/z/nosuch/r_roughness.bmp: "
                                      "No such file or directory"))
        << missing.err;
    EXPECT_FALSE(contains(missing.out, say::coefficient_q()));
    EXPECT_EQ(snapshot(root()), before);

    const RunResult under_file = run("z d 0 0 d_m2.raw/r 1 5\n");
    EXPECT_EQ(under_file.status, 1);
    EXPECT_TRUE(contains(under_file.err, "cannot create the result file c:/images/z/d_m2.raw/r_roughness.raw: "
                                         "Not a directory"))
        << under_file.err;
    EXPECT_EQ(snapshot(root()), before);
}

// Runs the tool in cwd without the pipes of run_tool: stdin from a file, stdout dropped,
// stderr captured in a file, then `closed` (0, 1 or 2, or -1 for none) closed, and the user
// changed to nobody (uid and gid 65534, for whom file permissions count) when asked.
// Returns the exit status, or -1 when the tool could not be run.
int run_child(const fs::path &cwd, const std::string &input, int closed, bool as_nobody, std::string &err)
{
    const fs::path in = cwd / "answers.in", errf = cwd / "stderr.out";
    write_text(in, input);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        const int fi = open(in.c_str(), O_RDONLY), fe = open(errf.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666),
                  fo = open("/dev/null", O_WRONLY);
        if (fi < 0 || fe < 0 || fo < 0 || chdir(cwd.c_str()) != 0) _exit(126);
        dup2(fi, 0);
        dup2(fo, 1);
        dup2(fe, 2);
        close(fi);
        close(fe);
        close(fo);
        if (closed >= 0) close(closed);
        if (as_nobody && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
        execl(ORVANDE_BIN, ORVANDE_BIN, static_cast<char *>(nullptr));
        _exit(127);
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    err = read_text(errf);
    fs::remove(in);
    fs::remove(errf);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// A DEM folder the user may not write to (as root, where permissions do not stop writes,
// the run is made as the user nobody): the first result cannot be created.
TEST_F(BadInput, ReadOnlyDemFolderEndsTheRun)
{
    dem();
    const auto before = snapshot(root());
    fs::permissions(folder(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                  fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    int status;
    std::string err;
    if (geteuid() != 0) {
        const RunResult r = run("z d 0 0 r 0 5\n");
        status = r.exited ? r.status : -1;
        err = r.err;
    } else {
        // nobody must reach the working folder and the DEM below it.
        for (fs::path p = folder(); p != root().parent_path(); p = p.parent_path())
            fs::permissions(p, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
        fs::permissions(root(), fs::perms::others_write, fs::perm_options::add); // for its answers and stderr
        status = run_child(root(), "z d 0 0 r 0 5\n", -1, true, err);
        if (status == 126 || status == 127) GTEST_SKIP() << "cannot run the tool as the user nobody here";
        fs::permissions(root(), fs::perms::others_write, fs::perm_options::remove);
    }
    fs::permissions(folder(), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(contains(err, "cannot create the result file c:/images/z/r_roughness.bmp: Permission denied")) << err;
    EXPECT_EQ(snapshot(root()), before);
}

// A caller that closes standard output or standard error: the dialogue and the messages
// must not land in a result file that takes the free descriptor number (the tool opens
// /dev/null on any of the three that is closed). Raster format, where the result files are
// open while the dialogue goes on.
TEST_F(BadInput, ClosedStandardStreamsDoNotLandInResults)
{
    dem();
    const RunResult clean = run("z d 0 0 clean 1 5\n");
    ASSERT_EQ(clean.status, 0) << clean.err;
    std::string err;
    EXPECT_EQ(run_child(root(), "z d 0 0 out 1 5\n", 1, false, err), 0) << err;
    EXPECT_EQ(raster_results(folder(), "out"), raster_results(folder(), "clean"));

    // Standard error closed and the input ending at the last question: the four results are
    // left empty, and stay so.
    EXPECT_EQ(run_child(root(), "z d 0 0 err 1\n", 2, false, err), 1);
    for (const auto &f : raster_results(folder(), "err")) EXPECT_EQ(f.second, "") << f.first;
}

// The second BMP cannot be created (its path is a link into a missing folder): the first,
// already created empty, is named on stderr as left empty.
TEST_F(BadInput, SecondResultNotCreatableNamesTheFirstAsLeftEmpty)
{
    dem();
    fs::create_symlink(root() / "gone" / "x.bmp", folder() / "r_roughness_str.bmp");
    const RunResult r = run("z d 0 0 r 0 5\n");
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "cannot create the result file c:/images/z/r_roughness_str.bmp")) << r.err;
    EXPECT_TRUE(contains(r.err, "the result file c:/images/z/r_roughness.bmp is left empty or incomplete")) << r.err;
    EXPECT_FALSE(contains(r.err, "r_roughness_str.bmp is left")) << r.err;
    ASSERT_TRUE(fs::exists(folder() / "r_roughness.bmp"));
    EXPECT_EQ(fs::file_size(folder() / "r_roughness.bmp"), 0u);
    EXPECT_FALSE(fs::exists(root() / "gone"));
}

// A full disk (a result path that leads to /dev/full): status 1, the file that could not be
// written named twice (the failure, and as left incomplete); the results finished before
// it are complete and not named.
TEST_F(BadInput, FullDiskNamesTheIncompleteResults)
{
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "this system has no /dev/full";
    dem();
    const RunResult clean = run("z d 0 0 ok 1 5\n");
    ASSERT_EQ(clean.status, 0) << clean.err;

    // Raster format: the last file written is the one on the full disk.
    fs::create_symlink("/dev/full", folder() / "r_roughness_str.raw");
    const RunResult raster = run("z d 0 0 r 1 5\n");
    ASSERT_TRUE(raster.exited);
    EXPECT_EQ(raster.status, 1);
    EXPECT_TRUE(contains(raster.err, "could not write the result file c:/images/z/r_roughness_str.raw")) << raster.err;
    EXPECT_TRUE(contains(raster.err, "the result file c:/images/z/r_roughness_str.raw is left empty or incomplete"))
        << raster.err;
    EXPECT_EQ(count_of(raster.err, "is left empty or incomplete"), 1u) << raster.err;
    EXPECT_EQ(read_text(folder() / "r_roughness.raw"), read_text(folder() / "ok_roughness.raw"));
    EXPECT_EQ(read_text(folder() / "r_roughness.txt"), read_text(folder() / "ok_roughness.txt"));
    EXPECT_EQ(read_text(folder() / "r_roughness_str.txt"), read_text(folder() / "ok_roughness_str.txt"));

    // Bitmap format: the first BMP fails, and the second, created empty, is never written.
    fs::create_symlink("/dev/full", folder() / "b_roughness.bmp");
    const RunResult bitmap = run("z d 0 0 b 0 5\n");
    ASSERT_TRUE(bitmap.exited);
    EXPECT_EQ(bitmap.status, 1);
    EXPECT_TRUE(contains(bitmap.err, "could not write the result file c:/images/z/b_roughness.bmp")) << bitmap.err;
    EXPECT_TRUE(contains(bitmap.err, "the result file c:/images/z/b_roughness.bmp is left empty or incomplete"))
        << bitmap.err;
    EXPECT_TRUE(contains(bitmap.err, "the result file c:/images/z/b_roughness_str.bmp is left empty or incomplete"))
        << bitmap.err;
    EXPECT_EQ(fs::file_size(folder() / "b_roughness_str.bmp"), 0u);
}

// ---------------------------------------------------------------------------------------
// Nothing lost: a failing run creates or empties no file but the documented ones (the DEM
// descriptor when it is missing, the result files of the chosen format), and leaves every
// other file of the working folder as it was.
// ---------------------------------------------------------------------------------------
TEST_F(BadInput, FailingRunsTouchOnlyDocumentedFiles)
{
    struct Case {
        const char *label;
        bool with_descriptor;
        const char *answers;
        int status;
        std::vector<std::string> created; // relative to the DEM folder, with their contents
        std::vector<std::string> contents;
    };
    const Case cases[] = {
        {"missing raster", true, "z other 0 x\n", 0, {}, {}},
        {"raster name taken by a folder", true, "z taken 0 x\n", 0, {}, {}},
        {"end of input at the type", true, "z d\n", 1, {}, {}},
        {"end of input at the interval", true, "z d 0\n", 1, {}, {}},
        {"end of input at the format", true, "z d 0 0 r\n", 1, {}, {}},
        {"bitmap, end of input at the coefficient", true, "z d 0 0 r 0\n", 1,
         {"r_roughness.bmp", "r_roughness_str.bmp"}, {"", ""}},
        {"raster, end of input at the coefficient", true, "z d 0 0 r 1\n", 1,
         {"r_roughness.raw", "r_roughness.txt", "r_roughness_str.raw", "r_roughness_str.txt"}, {"", "", "", ""}},
        {"missing descriptor, end of input at the pixel size", false, "z d 0 5 6 0\n", 1,
         {"d_m2.txt"}, {"5\n6\n2\n"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(root() / "c:");
        fs::remove_all(root() / "elsewhere");
        write_dem(root(), "z", "d", 0, dem_values(), c.with_descriptor ? kDescriptor : nullptr);
        // Earlier results of another name, and unrelated files, in the folder and beside it.
        write_text(folder() / "old_roughness.bmp", "an earlier result");
        write_text(folder() / "notes.txt", "keep me");
        fs::create_directories(folder() / "taken_m2.raw");
        fs::create_directories(root() / "elsewhere");
        write_text(root() / "elsewhere" / "r_roughness.raw", "not in the DEM folder");
        auto expected = snapshot(root());
        for (size_t k = 0; k < c.created.size(); k++)
            expected[(fs::path("c:") / "images" / "z" / c.created[k]).string()] = c.contents[k];

        const RunResult r = run(c.answers);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(snapshot(root()), expected);
        // Every result file left empty is named on stderr, and nothing else is.
        size_t results = 0;
        for (const std::string &name : c.created)
            if (contains(name, "_roughness")) {
                results++;
                EXPECT_TRUE(contains(r.err, "the result file c:/images/z/" + name + " is left empty or incomplete"))
                    << r.err;
            }
        EXPECT_EQ(count_of(r.err, "is left empty or incomplete"), results) << r.err;
    }
}

} // namespace
