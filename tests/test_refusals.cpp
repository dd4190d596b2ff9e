// Runs that are refused or fail: end of input, descriptors that give no usable size, a DEM
// too large for memory, a missing raster, result files that cannot be created or written,
// closed standard streams, DEM files that are other names of results, not regular files or
// unreadable, signals; and the promise behind all of them: a failing or interrupted run
// touches no file but the documented ones, leaves earlier results byte for byte as they
// were, and leaves no temporary file behind.
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
// input), exit 1 with the local path and the system's reason on stderr (and a hint when a
// raster of the other storage type exists, or the name was typed with its suffix), and
// nothing created or changed.
TEST(ToolFiles, MissingRasterEndsAfterOneKeyWithoutCreatingAnything)
{
    TempDir tmp;
    const fs::path dir = images_folder(tmp.path(), "zone1");
    fs::create_directories(dir);
    write_text(dir / "other_m2.txt", "3\n4\n2\n");
    write_text(dir / "site_m2.txt", "3\n4\n2\n0\n0\n5\n"); // a descriptor without its raster
    write_bytes(dir / "twin_m4.raw", Bytes(48, 0));         // a raster of the other storage type
    const auto before = snapshot(tmp.path());
    struct Case {
        const char *answers, *path_text, *tried, *hint;
    };
    const Case cases[] = {
        {"zone1\nsite\n0\nrough\n0\n", "c:\\images\\zone1\\site_m2.raw", "c:/images/zone1/site_m2.raw", nullptr},
        {"zone1\nnone\n1", "c:\\images\\zone1\\none_m4.raw", "c:/images/zone1/none_m4.raw", nullptr},
        {"nowhere\nsite\n0\n", "c:\\images\\nowhere\\site_m2.raw", "c:/images/nowhere/site_m2.raw", nullptr},
        {"zone1\ntwin\n0\n", "c:\\images\\zone1\\twin_m2.raw", "c:/images/zone1/twin_m2.raw",
         "a raster of the other storage type exists: c:/images/zone1/twin_m4.raw (answer 1 at the type question)"},
        {"zone1\ntwin_m4\n1\n", "c:\\images\\zone1\\twin_m4_m4.raw", "c:/images/zone1/twin_m4_m4.raw",
         "type the DEM name without its _m4 suffix"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.answers);
        const RunResult r = run_tool(tmp.path(), c.answers);
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.out, say::up_to_type() + say::unknown(c.path_text));
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(mentions(r.err, std::string("the DEM raster ") + c.tried +
                                        " cannot be opened: No such file or directory")) << r.err;
        if (c.hint) {
            EXPECT_TRUE(mentions(r.err, c.hint)) << r.err;
        }
        EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
        EXPECT_TRUE(same_files(before, snapshot(tmp.path())));
    }
}

// DEM files that are not regular files (a FIFO would block the run forever in its opening),
// and DEM files that exist but cannot be read (a link to /proc/self/mem gives an I/O error):
// status 1 and one message, before any question that follows, and nothing created or changed.
TEST_F(BadInput, DemFilesThatAreNotRegularOrNotReadableEndTheRun)
{
    struct Case {
        const char *label, *file; // file: the DEM file replaced
        int kind;                  // 0 FIFO, 1 folder, 2 link to /proc/self/mem
        const char *message;
    };
    const Case cases[] = {
        {"raster FIFO", "d_m2.raw", 0, "the DEM raster c:/images/z/d_m2.raw is not a regular file"},
        {"descriptor FIFO", "d_m2.txt", 0, "the DEM descriptor c:/images/z/d_m2.txt is not a regular file"},
        {"raster folder", "d_m2.raw", 1, "the DEM raster c:/images/z/d_m2.raw is not a regular file"},
        {"descriptor folder", "d_m2.txt", 1, "the DEM descriptor c:/images/z/d_m2.txt is not a regular file"},
        {"raster read error", "d_m2.raw", 2, "cannot read the DEM raster c:/images/z/d_m2.raw: Input/output error"},
        {"descriptor read error", "d_m2.txt", 2, "cannot read the DEM descriptor c:/images/z/d_m2.txt: Input/output error"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(root() / "c:");
        dem();
        const fs::path file = folder() / c.file;
        fs::remove(file);
        if (c.kind == 0) {
            ASSERT_EQ(mkfifo(file.c_str(), 0644), 0);
        }
        if (c.kind == 1) fs::create_directory(file);
        if (c.kind == 2) fs::create_symlink("/proc/self/mem", file);
        const auto before = snapshot(root());
        const RunResult r = run_tool(root(), "z d 0 0 r 1 5\n", with_timeout(10));
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, say::up_to_type());
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
        EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
        EXPECT_TRUE(same_files(before, snapshot(root())));
    }
}

// A descriptor that the user may not read is not taken for a missing one (which would be
// created anew over it): status 1, "Permission denied", the descriptor left as it is.
TEST_F(BadInput, UnreadableDescriptorIsLeftAlone)
{
    dem();
    fs::permissions(folder() / "d_m2.txt", fs::perms::none);
    for (fs::path p = folder(); p != root().parent_path(); p = p.parent_path())
        fs::permissions(p, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    const auto before = snapshot(root());
    RunOptions nobody;
    nobody.as_nobody = geteuid() == 0;
    const RunResult r = run_tool(root(), "z d 0 5 6 0 0 r 1 5\n", nobody);
    if (r.exited && (r.status == 126 || r.status == 127)) GTEST_SKIP() << "cannot run the tool as the user nobody here";
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "cannot read the DEM descriptor c:/images/z/d_m2.txt: Permission denied")) << r.err;
    EXPECT_EQ(r.out, say::up_to_type());
    fs::permissions(folder() / "d_m2.txt", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(read_text(folder() / "d_m2.txt"), kDescriptor);
    fs::permissions(folder() / "d_m2.txt", fs::perms::none);
    EXPECT_TRUE(same_files(before, snapshot(root())));
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

// Lines of 2 x 10^9 pixels need about 3 x 10^11 bytes on one thread: the run ends as soon
// as the size is read, before anything is allocated or asked. (The number of lines does not
// count: nothing holds a whole image.)
TEST(ToolEnds, DemTooLargeForMemory)
{
    TempDir tmp;
    write_dem(tmp.path(), "zone1", "huge", 0, peak_3x4, "3\n2000000000\n2\n0\n0\n5\n");
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
// A bitmap of 70000 x 70000 pixels (4.9 GB) does not fit the BMP header's 32-bit sizes: it
// is refused at the format answer, before anything is computed, pointing to raw results.
TEST(ToolEnds, BitmapBeyondTheBmpSizesIsRefusedAtTheFormatAnswer)
{
    TempDir tmp;
    write_dem(tmp.path(), "zone1", "wide", 0, peak_3x4, "70000\n70000\n2\n0\n0\n5\n");
    const auto before = snapshot(tmp.path());
    const RunResult r = run_tool(tmp.path(), "zone1\nwide\n0\n0\nrough\n0\n0\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "a bitmap of 70000 lines and 70000 columns is larger than a BMP file can describe "
                                "(4 GiB); answer 1 (raster) at the format question for raw results")) << r.err;
    EXPECT_TRUE(contains(r.out, say::format_menu()));
    EXPECT_FALSE(contains(r.out, "Stretch"));
    EXPECT_TRUE(same_files(before, snapshot(tmp.path())));
}

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

// A result name that is a symbolic link is written where the link leads; one that leads
// into a missing folder, or to something that is not a regular file (/dev/full), ends the
// run at the format answer: nothing is created and the link stays.
TEST_F(BadInput, ResultLinksAreFollowedAndCheckedAtTheFormatAnswer)
{
    dem();
    const RunResult clean = run("z d 0 0 ok 0 5\n");
    ASSERT_EQ(clean.status, 0) << clean.err;
    fs::create_directories(root() / "elsewhere");
    fs::create_symlink(root() / "elsewhere" / "x.bmp", folder() / "r_roughness_str.bmp");
    const RunResult linked = run("z d 0 0 r 0 5\n");
    EXPECT_EQ(linked.status, 0) << linked.err;
    EXPECT_TRUE(fs::is_symlink(folder() / "r_roughness_str.bmp"));
    EXPECT_EQ(read_text(root() / "elsewhere" / "x.bmp"), read_text(folder() / "ok_roughness_str.bmp"));
    EXPECT_EQ(read_text(folder() / "r_roughness.bmp"), read_text(folder() / "ok_roughness.bmp"));

    struct Case {
        const char *label, *target, *message;
    };
    const Case cases[] = {
        {"into a missing folder", "gone/x.bmp", "cannot create the result file c:/images/z/s_roughness_str.bmp: "
                                                "No such file or directory"},
        {"to /dev/full", "/dev/full", "the result file c:/images/z/s_roughness_str.bmp is not a regular file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        if (c.target[0] == '/' && !fs::exists(c.target)) continue;
        fs::remove(folder() / "s_roughness_str.bmp");
        fs::create_symlink(c.target[0] == '/' ? fs::path(c.target) : root() / c.target, folder() / "s_roughness_str.bmp");
        const auto before = snapshot(root());
        const RunResult r = run("z d 0 0 s 0 5\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
        EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
        EXPECT_FALSE(contains(r.out, say::coefficient_q()));
        EXPECT_TRUE(same_files(before, snapshot(root())));
    }
    EXPECT_FALSE(fs::exists(root() / "gone"));
}

// A result that is another name (a symbolic or a hard link) of the DEM raster or descriptor
// ends the run at the format answer, naming both, before anything is written: the DEM stays
// as it was.
TEST_F(BadInput, ResultThatIsAnotherNameOfTheDemIsRefused)
{
    struct Case {
        const char *format, *result, *dem_file;
        bool hard;
    };
    const Case cases[] = {
        {"0", "out_roughness.bmp", "d_m2.raw", false},
        {"0", "out_roughness_str.bmp", "d_m2.txt", true},
        {"1", "out_roughness.txt", "d_m2.txt", true},
        {"1", "out_roughness_str.raw", "d_m2.raw", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.result);
        fs::remove_all(root() / "c:");
        dem();
        if (c.hard)
            fs::create_hard_link(folder() / c.dem_file, folder() / c.result);
        else
            fs::create_symlink(c.dem_file, folder() / c.result);
        const auto before = snapshot(root());
        const RunResult r = run(std::string("z d 0 0 out ") + c.format + " 5\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, std::string("the result file c:/images/z/") + c.result +
                                        " is the DEM file c:/images/z/" + c.dem_file + " under another name")) << r.err;
        EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
        EXPECT_FALSE(contains(r.out, say::coefficient_q()));
        EXPECT_TRUE(same_files(before, snapshot(root())));
    }
}

// A write that fails (a file-size limit: EFBIG, as a full disk gives ENOSPC) at any result:
// status 1, one message naming it, the earlier results of the same name byte for byte as
// they were, and no temporary file left.
TEST_F(BadInput, FailedWriteLeavesEarlierResultsAsTheyWere)
{
    dem();
    for (const char *format : {"0", "1"}) {
        SCOPED_TRACE(format);
        fs::remove_all(root() / "c:");
        dem();
        const RunResult clean = run(std::string("z d 0 0 r ") + format + " 5\n");
        ASSERT_EQ(clean.status, 0) << clean.err;
        // BMPs of this DEM are 1118 bytes, raw results 30 and their descriptors over 100.
        for (long long limit : {20LL, 60LL, 1100LL}) {
            SCOPED_TRACE(limit);
            const auto before = snapshot(root());
            RunOptions opt;
            opt.file_size_limit = limit;
            const RunResult r = run_tool(root(), std::string("z d 0 0 r ") + format + " 7\n", opt);
            if (format[0] == '1' && limit == 1100) {
                EXPECT_EQ(r.status, 0) << r.err; // every raster result fits
                continue;
            }
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, clean.out); // the whole dialogue, up to the coefficient question
            EXPECT_TRUE(contains(r.err, "could not write the result file c:/images/z/r_roughness")) << r.err;
            EXPECT_TRUE(contains(r.err, "File too large; earlier results are left as they were")) << r.err;
            EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
            EXPECT_TRUE(same_files(before, snapshot(root())));
        }
    }
}

// Earlier results that cannot be replaced are found at the format answer, before anything
// is computed, so that a set never ends half old and half new: one made immutable, and one
// that belongs to another user in a sticky folder (the run made as the user nobody).
TEST_F(BadInput, EarlierResultsThatCannotBeReplacedEndTheRunAtTheFormatAnswer)
{
    dem();
    ASSERT_EQ(run("z d 0 0 r 1 5\n").status, 0);
    const fs::path str = folder() / "r_roughness_str.raw";
    const std::string message = "cannot replace the earlier result file c:/images/z/r_roughness_str.raw: "
                                "Operation not permitted";
    if (std::system(("chattr +i '" + str.string() + "' 2>/dev/null").c_str()) == 0) {
        const auto before = snapshot(root());
        const RunResult r = run("z d 0 0 r 1 7\n");
        std::system(("chattr -i '" + str.string() + "'").c_str());
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, message)) << r.err;
        EXPECT_FALSE(contains(r.out, say::coefficient_q()));
        EXPECT_TRUE(same_files(before, snapshot(root())));
    }
    if (geteuid() != 0) return;
    for (fs::path p = folder(); p != root().parent_path(); p = p.parent_path())
        fs::permissions(p, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    fs::permissions(folder(), fs::perms::all | fs::perms::sticky_bit);
    for (const auto &e : fs::directory_iterator(folder()))
        fs::permissions(e.path(), fs::perms::all);
    const auto before = snapshot(root());
    RunOptions nobody;
    nobody.as_nobody = true;
    const RunResult r = run_tool(root(), "z d 0 0 r 1 7\n", nobody);
    if (r.exited && (r.status == 126 || r.status == 127)) GTEST_SKIP() << "cannot run the tool as the user nobody here";
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "cannot replace the earlier result file c:/images/z/r_roughness.raw: "
                                "Operation not permitted")) << r.err;
    EXPECT_TRUE(same_files(before, snapshot(root())));
}

// A DEM file that changes while the tool waits at a question, after the range scan: the
// raster cut to half, rewritten with other values, replaced by another file, or the
// descriptor rewritten. Status 1, a message naming the file, and no result written.
TEST_F(BadInput, DemChangedDuringTheRunWritesNoResult)
{
    struct Case {
        const char *label, *what, *file;
        std::function<void(const fs::path &)> change;
    };
    const Case cases[] = {
        {"raster cut to half", "raster", "d_m2.raw", [](const fs::path &f) { fs::resize_file(f / "d_m2.raw", 30); }},
        {"raster rewritten", "raster", "d_m2.raw",
         [](const fs::path &f) { write_bytes(f / "d_m2.raw", samples_m2(std::vector<int>(30, 7))); }},
        {"raster replaced", "raster", "d_m2.raw",
         [](const fs::path &f) {
             write_bytes(f / "new.raw", samples_m2(dem_values()));
             fs::rename(f / "new.raw", f / "d_m2.raw");
         }},
        {"descriptor rewritten", "descriptor", "d_m2.txt", [](const fs::path &f) { write_text(f / "d_m2.txt", "5\n6\n2\n0\n0\n11\n"); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(root() / "c:");
        dem();
        write_text(folder() / "r_roughness.raw", "an earlier result");
        RunOptions opt;
        opt.wait_for = say::format_menu();
        opt.while_waiting = [&](const std::string &, pid_t) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            c.change(folder());
        };
        opt.late_input = "1 5\n";
        const RunResult r = run_tool(root(), "z d 0 0 r\n", opt);
        EXPECT_TRUE(r.waited);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, std::string("the DEM ") + c.what +
                                        " c:/images/z/" + c.file + " changed while the run was reading it"))
            << r.err;
        EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
        EXPECT_EQ(read_text(folder() / "r_roughness.raw"), "an earlier result");
        EXPECT_FALSE(fs::exists(folder() / "r_roughness_str.raw"));
    }
}

// A caller that closes standard output or standard error: the dialogue and the messages
// must not land in a result file that takes the free descriptor number (the tool opens
// /dev/null on any of the three that is closed).
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

    // Standard error closed and the input ending at the last question: no result is made.
    closed.closed_stream = 2;
    EXPECT_EQ(run_tool(root(), "z d 0 0 err 1\n", closed).status, 1);
    for (const char *suffix : {"_roughness.raw", "_roughness.txt", "_roughness_str.raw", "_roughness_str.txt"})
        EXPECT_FALSE(fs::exists(folder() / (std::string("err") + suffix))) << suffix;
}

// ---------------------------------------------------------------------------------------
// Interrupted runs
// ---------------------------------------------------------------------------------------
// A signal while the tool waits at the coefficient question ends it as that signal would,
// with one line on stderr; a reader that closes stdout at the format question (the ratio
// reports follow) makes it end with status 1. Either way the earlier results of the same
// name stay byte for byte as they were and no temporary file is left.
TEST_F(BadInput, InterruptedRunsLeaveEarlierResultsAsTheyWere)
{
    dem();
    for (const char *format : {"0", "1"}) {
        const RunResult clean = run(std::string("z d 0 0 r ") + format + " 5\n");
        ASSERT_EQ(clean.status, 0) << clean.err;
        const auto before = snapshot(root());
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            SCOPED_TRACE(std::string(strsignal(sig)) + " format " + format);
            RunOptions opt;
            opt.wait_for = say::coefficient_q();
            opt.signal_at_wait = sig;
            opt.keep_stdin_open = true;
            opt.timeout_s = 20;
            const RunResult r = run_tool(root(), std::string("z d 0 0 r ") + format + "\n", opt);
            EXPECT_TRUE(r.waited);
            EXPECT_FALSE(r.timed_out);
            EXPECT_FALSE(r.exited);
            EXPECT_EQ(r.signal, sig);
            EXPECT_TRUE(contains(r.err, "interrupted")) << r.err;
            EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
            EXPECT_TRUE(same_files(before, snapshot(root())));
        }
        SCOPED_TRACE(std::string("closed stdout, format ") + format);
        RunOptions opt;
        opt.wait_for = say::format_menu();
        opt.close_stdout_at_wait = true;
        opt.late_input = std::string(format) + " 5\n";
        opt.timeout_s = 20;
        const RunResult r = run_tool(root(), "z d 0 0 r\n", opt);
        EXPECT_TRUE(r.waited);
        EXPECT_FALSE(r.timed_out);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, "the dialogue cannot be written on the standard output")) << r.err;
        EXPECT_TRUE(same_files(before, snapshot(root())));
    }
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
        {"missing raster", true, "z other 0 x\n", 1, {}, {}},
        {"raster name taken by a folder", true, "z taken 0 x\n", 1, {}, {}},
        {"end of input at the type", true, "z d\n", 1, {}, {}},
        {"end of input at the interval", true, "z d 0\n", 1, {}, {}},
        {"end of input at the format", true, "z d 0 0 r\n", 1, {}, {}},
        {"bitmap, end of input at the coefficient", true, "z d 0 0 r 0\n", 1, {}, {}},
        {"raster, end of input at the coefficient", true, "z d 0 0 r 1\n", 1, {}, {}},
        {"bitmap over earlier results, end of input at the coefficient", true, "z d 0 0 old 0\n", 1, {}, {}},
        {"missing descriptor, end of input at the pixel size", false, "z d 0 5 6 0\n", 1,
         {"d_m2.txt"}, {"5\n6\n2\n"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(root() / "c:");
        fs::remove_all(root() / "elsewhere");
        write_dem(root(), "z", "d", 0, dem_values(), c.with_descriptor ? kDescriptor : nullptr);
        // Earlier results, and unrelated files, in the folder and beside it.
        write_text(folder() / "old_roughness.bmp", "an earlier result");
        write_text(folder() / "old_roughness_str.bmp", "another earlier result");
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
        EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
    }
}
