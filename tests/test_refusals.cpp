// Runs that are refused or fail: end of input, descriptors that give no usable size, a DEM
// too large for memory, a missing raster, result files that cannot be created or written,
// closed standard streams; and the promise behind all of them: a failing run touches no
// file but the documented ones, and names on stderr the result files it leaves empty or
// incomplete.
#include "run_tool.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace e2e;
namespace say = e2e::say;

// ---------------------------------------------------------------------------------------
// End of input, and DEM files that give no DEM
// ---------------------------------------------------------------------------------------
// End of input at each question: the question is shown once, stderr names it, status 1.
TEST(ToolEnds, EndOfInputAtEveryQuestion)
{
    struct Case {
        const char *input;
        std::string shown; // stdout after the banner
        const char *named;
    };
    const std::string nodesc = "c:\\images\\zone1\\nodesc_m2.txt";
    const std::string to_interval = say::folder_q() + say::dem_q() + say::type_menu() + say::pixel_metres_q() +
                                    say::dem_range("100", "110") + say::interval_menu();
    const Case cases[] = {
        {"", say::folder_q(), "folder"},
        {"zone1\n", say::folder_q() + say::dem_q(), "DEM"},
        {"zone1\nsite\n", say::folder_q() + say::dem_q() + say::type_menu(), "MNT"},
        {"zone1\nnodesc\n0\n", say::folder_q() + say::dem_q() + say::type_menu() + say::no_file(nodesc) + say::lines_q(), "lines"},
        {"zone1\nnodesc\n0\n3\n",
         say::folder_q() + say::dem_q() + say::type_menu() + say::no_file(nodesc) + say::lines_q() + say::columns_q(), "columns"},
        {"zone1\nnodesc\n0\n3\n4\n",
         say::folder_q() + say::dem_q() + say::type_menu() + say::no_file(nodesc) + say::lines_q() + say::columns_q() + say::pixel_q(),
         "pixel size"},
        {"zone1\nsite\n0\n", say::folder_q() + say::dem_q() + say::type_menu() + say::pixel_metres_q(), "pixel size"},
        {"zone1\nsite\n0\n5\n", to_interval, "interval"},
        {"zone1\nsite\n0\n5\n0\n", to_interval + say::dem_size(site_m2, 3, 4) + say::generic_q(), "generic name"},
        {"zone1\nsite\n0\n5\n0\nr\n", to_interval + say::dem_size(site_m2, 3, 4) + say::generic_q() + say::format_menu(), "format"},
        {"zone1\nsite\n0\n5\n0\nr\n1\n",
         to_interval + say::dem_size(site_m2, 3, 4) + say::generic_q() + say::format_menu() +
             say::ratio_reports("0.959596", "1.005556", "0.045960", "0.040404", "0.040404") +
             say::scaled_range("0.000000", "145.600000", 0, 145) + say::coefficient_q(),
         "stretching"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("question: ") + c.named + ", input \"" + c.input + "\"");
        TempDir tmp;
        write_dem(tmp.path(), "zone1", "site", 0, peak_3x4, "3\n4\n2\n0\n0\n0\n");
        write_dem(tmp.path(), "zone1", "nodesc", 0, peak_3x4, nullptr);
        const RunResult r = run_tool(tmp.path(), c.input, with_timeout(20));
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.out, say::banner() + c.shown);
        EXPECT_TRUE(mentions(r.err, c.named)) << r.err;
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1);
    }
}

// No raster: the message with the path text, one byte of input taken as the key (or end of
// input), exit 0, and nothing created or changed.
TEST(ToolFiles, MissingRasterEndsAfterOneKeyWithoutCreatingAnything)
{
    TempDir tmp;
    const fs::path dir = images_folder(tmp.path(), "zone1");
    fs::create_directories(dir);
    write_text(dir / "other_m2.txt", "3\n4\n2\n");
    write_text(dir / "site_m2.txt", "3\n4\n2\n0\n0\n5\n"); // a descriptor without its raster
    const auto before = snapshot(tmp.path());

    const RunResult key = run_tool(tmp.path(), "zone1\nsite\n0\nrough\n0\n");
    ASSERT_FALSE(key.timed_out);
    EXPECT_EQ(key.out, say::up_to_type() + say::unknown(site_m2));
    EXPECT_TRUE(key.exited);
    EXPECT_EQ(key.status, 0);
    EXPECT_TRUE(same_files(before, snapshot(tmp.path())));

    const RunResult eof = run_tool(tmp.path(), "zone1\nnone\n1");
    ASSERT_FALSE(eof.timed_out);
    EXPECT_EQ(eof.out, say::up_to_type() + say::unknown("c:\\images\\zone1\\none_m4.raw"));
    EXPECT_EQ(eof.status, 0);
    EXPECT_TRUE(same_files(before, snapshot(tmp.path())));

    const RunResult no_folder = run_tool(tmp.path(), "nowhere\nsite\n0\n");
    EXPECT_EQ(no_folder.out, say::up_to_type() + say::unknown("c:\\images\\nowhere\\site_m2.raw"));
    EXPECT_EQ(no_folder.status, 0);
    EXPECT_TRUE(same_files(before, snapshot(tmp.path())));
}

// A descriptor giving lines or columns below 1 (or no numbers at all) ends the run right
// after it is read.
TEST(ToolEnds, DescriptorWithoutLinesOrColumns)
{
    for (const char *descr : {"0\n4\n2\n0\n0\n5\n", "3\n-4\n2\n0\n0\n5\n", "abc\n", ""}) {
        SCOPED_TRACE(std::string("descriptor \"") + descr + "\"");
        TempDir tmp;
        write_dem(tmp.path(), "zone1", "site", 0, peak_3x4, descr);
        const RunResult r = run_tool(tmp.path(), "zone1\nsite\n0\n5\n0\nrough\n1\n0\n");
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.out, say::up_to_type());
        EXPECT_TRUE(mentions(r.err, "site_m2.txt")) << r.err;
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(names_in(images_folder(tmp.path(), "zone1")), (std::vector<std::string>{"site_m2.raw", "site_m2.txt"}));
    }
}

// Descriptors that give no usable size: status 1, a message naming the descriptor, and
// nothing created or changed anywhere in the working folder. (Zero or negative sizes and an
// empty descriptor: the case above.)
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
        EXPECT_TRUE(same_files(before, snapshot(root())));
    }
}

// 100000 x 100000 pixels need about 30 x 10^10 bytes: the run ends as soon as the size is
// read, before anything is allocated or asked.
TEST(ToolEnds, DemTooLargeForMemory)
{
    TempDir tmp;
    write_dem(tmp.path(), "zone1", "huge", 0, peak_3x4, "100000\n100000\n2\n0\n0\n5\n");
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = run_tool(tmp.path(), "zone1\nhuge\n0\n0\nrough\n1\n0\n", with_timeout(30));
    ASSERT_FALSE(r.timed_out);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(r.out, say::up_to_type());
    EXPECT_TRUE(mentions(r.err, "memory")) << r.err;
    EXPECT_NE(r.err.find_first_of("0123456789"), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 1);
}

// ---------------------------------------------------------------------------------------
// Result files that cannot be created or written
// ---------------------------------------------------------------------------------------
// A result file that cannot be created (its name is taken by a folder) ends the run at once,
// naming it.
TEST(ToolEnds, ResultFileThatCannotBeCreated)
{
    struct Case {
        const char *format, *taken;
    };
    for (const Case &c : {Case{"0", "x_roughness.bmp"}, Case{"0", "x_roughness_str.bmp"}, Case{"1", "x_roughness_str.txt"}}) {
        SCOPED_TRACE(c.taken);
        TempDir tmp;
        write_dem(tmp.path(), "zone1", "site", 0, peak_3x4, "3\n4\n2\n0\n0\n5\n");
        fs::create_directory(images_folder(tmp.path(), "zone1") / c.taken);
        const RunResult r = run_tool(tmp.path(), std::string("zone1\nsite\n0\n0\nx\n") + c.format + "\n0\n");
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.out, say::up_to_type() + say::dem_range("100", "110") + say::interval_menu() + say::dem_size(site_m2, 3, 4) +
                             say::generic_q() + say::format_menu());
        EXPECT_TRUE(mentions(r.err, c.taken)) << r.err;
        EXPECT_EQ(r.status, 1);
    }
}

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
    EXPECT_TRUE(same_files(before, snapshot(root())));

    const RunResult under_file = run("z d 0 0 d_m2.raw/r 1 5\n");
    EXPECT_EQ(under_file.status, 1);
    EXPECT_TRUE(contains(under_file.err, "cannot create the result file c:/images/z/d_m2.raw/r_roughness.raw: "
                                         "Not a directory"))
        << under_file.err;
    EXPECT_TRUE(same_files(before, snapshot(root())));
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
        RunOptions nobody;
        nobody.as_nobody = true;
        const RunResult r = run_tool(root(), "z d 0 0 r 0 5\n", nobody);
        status = r.exited ? r.status : -1;
        err = r.err;
        if (status == 126 || status == 127) GTEST_SKIP() << "cannot run the tool as the user nobody here";
    }
    fs::permissions(folder(), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(contains(err, "cannot create the result file c:/images/z/r_roughness.bmp: Permission denied")) << err;
    EXPECT_TRUE(same_files(before, snapshot(root())));
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

// A result file that fails to be written (it leads to /dev/full): status 1, naming it; the
// files written before it are complete.
TEST(ToolEnds, ResultFileThatFailsToBeWritten)
{
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    struct Case {
        const char *format, *full;
        const char *complete;
        Bytes complete_bytes;
    };
    const Case cases[] = {
        {"0", "f_roughness_str.bmp", "f_roughness.bmp", bmp_of(three_lines({255, 0, 145, 255}, 255))},
        {"1", "f_roughness.raw", "f_roughness.txt", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.full);
        TempDir tmp;
        write_dem(tmp.path(), "zone1", "site", 0, peak_3x4, "3\n4\n2\n0\n0\n5\n");
        const fs::path dir = images_folder(tmp.path(), "zone1");
        fs::create_symlink("/dev/full", dir / c.full);
        const RunResult r = run_tool(tmp.path(), std::string("zone1\nsite\n0\n0\nf\n") + c.format + "\n0\n");
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.out, say::up_to_type() + peak_middle(site_m2, 4));
        EXPECT_TRUE(mentions(r.err, c.full)) << r.err;
        EXPECT_EQ(r.status, 1);
        if (c.complete_bytes.empty())
            EXPECT_TRUE(file_holds(dir / c.complete, say::result_descriptor(3, 4, 5, "0.040404", nullptr, "0.000000", "145.600000")));
        else
            EXPECT_TRUE(file_holds(dir / c.complete, c.complete_bytes));
    }
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

// A caller that closes standard output or standard error: the dialogue and the messages
// must not land in a result file that takes the free descriptor number (the tool opens
// /dev/null on any of the three that is closed). Raster format, where the result files are
// open while the dialogue goes on.
TEST_F(BadInput, ClosedStandardStreamsDoNotLandInResults)
{
    dem();
    const RunResult clean = run("z d 0 0 clean 1 5\n");
    ASSERT_EQ(clean.status, 0) << clean.err;
    RunOptions closed;
    closed.closed_stream = 1;
    const RunResult out = run_tool(root(), "z d 0 0 out 1 5\n", closed);
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(raster_results(folder(), "out"), raster_results(folder(), "clean"));

    // Standard error closed and the input ending at the last question: the four results are
    // left empty, and stay so.
    closed.closed_stream = 2;
    EXPECT_EQ(run_tool(root(), "z d 0 0 err 1\n", closed).status, 1);
    for (const auto &f : raster_results(folder(), "err")) EXPECT_EQ(f.second, "") << f.first;
}

// ---------------------------------------------------------------------------------------
// Interrupted runs
// ---------------------------------------------------------------------------------------
// A signal while the tool waits at the coefficient question ends it as that signal would; a
// reader that closes stdout at the format question (the ratio reports follow) does not see
// it finish with status 0.
TEST_F(BadInput, InterruptedRunsDoNotEndWithSuccess)
{
    dem();
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        RunOptions opt;
        opt.wait_for = say::coefficient_q();
        opt.signal_at_wait = sig;
        opt.keep_stdin_open = true;
        opt.timeout_s = 20;
        const RunResult r = run_tool(root(), "z d 0 0 r 1\n", opt);
        EXPECT_TRUE(r.waited);
        EXPECT_FALSE(r.timed_out);
        EXPECT_FALSE(r.exited);
        EXPECT_EQ(r.signal, sig);
    }
    RunOptions opt;
    opt.wait_for = say::format_menu();
    opt.close_stdout_at_wait = true;
    opt.late_input = "1 5\n";
    opt.timeout_s = 20;
    const RunResult r = run_tool(root(), "z d 0 0 p\n", opt);
    EXPECT_TRUE(r.waited);
    EXPECT_FALSE(r.timed_out);
    EXPECT_FALSE(r.exited && r.status == 0) << r.err;
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
        EXPECT_TRUE(same_files(expected, snapshot(root())));
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
