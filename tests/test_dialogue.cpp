// The dialogue of the built tool: the banner, questions shown again after answers that are
// out of range, not numbers or too long, and the questions about a missing descriptor.
#include "run_tool.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace e2e;
namespace say = e2e::say;

// ---------------------------------------------------------------------------------------
// Banner
// ---------------------------------------------------------------------------------------
TEST(ToolBanner, FifteenLinesEachFramedLineSixtyCharactersWide)
{
    TempDir tmp;
    const RunResult r = run_tool(tmp.path(), "");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, say::banner() + say::folder_q());

    // Independently of the wording: 62 asterisks, 12 framed lines of 60 characters, 62
    // asterisks, the title line; then the folder question follows the last line directly.
    const std::string b = r.out.substr(0, std::min(r.out.size(), say::banner().size()));
    std::vector<std::string> lines;
    size_t pos = 0;
    while ((pos = b.find("\n\t", pos)) != std::string::npos) {
        const size_t next = b.find('\n', pos + 1);
        lines.push_back(b.substr(pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2));
        pos += 2;
    }
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_EQ(lines[0], std::string(62, '*'));
    EXPECT_EQ(lines[13], std::string(62, '*'));
    for (int k = 1; k <= 12; k++) {
        SCOPED_TRACE("banner line " + std::to_string(k + 1));
        ASSERT_EQ(lines[k].size(), 62u);
        EXPECT_EQ(lines[k].front(), '*');
        EXPECT_EQ(lines[k].back(), '*');
    }
    for (int k : {1, 3, 4, 7, 10, 12}) EXPECT_EQ(lines[k], "*" + std::string(60, ' ') + "*");
    for (int k : {5, 6, 8, 9, 11}) EXPECT_NE(lines[k], "*" + std::string(60, ' ') + "*") << "credit line " << k + 1;
    EXPECT_EQ(lines[2], "*                     ORVANDE_3D                             *");
    EXPECT_EQ(lines[14], "Adaptive version of Orvande in order to calculate the DEM roughness");
}

// ---------------------------------------------------------------------------------------
// Questions asked again, questions added
// ---------------------------------------------------------------------------------------
// Menus shown again: type 2, -1, 1 (three type menus, the _m4 pair used although an _m2 pair
// of another DEM lies beside it); interval 4, abc, 1 (three interval menus, decimetres); format
// 2, 5, 100, -1, abc, 1 (six format menus, raster); coefficient abc, 0 (asked twice).
//
// The _m4 DEM is 3 x 3, 0 at the centre and 10 around it. In decimetres the neighbours are
// 1.0 m: midpoints 0.5, mean 4/9, divided by 1.0e-7 gives 4444444.444444 (in metres it
// would be ten times more). max_estir = r - 1, so the pixel scales to 256.0 (level 255).
// min = max = 256 and tab_hist[256] is empty: neither cut-off search succeeds, min_seuil =
// 257, max_seuil = 255: no level is above 255 and all are below 257, so every pixel becomes 0.
TEST(ToolDialogue, OutOfRangeAndNonNumberAnswersShowTheQuestionAgain)
{
    TempDir tmp;
    write_dem(tmp.path(), "zone1", "site", 1, {10, 10, 10, 10, 0, 10, 10, 10, 10}, "3\n3\n4\n0\n0\n6\n");
    write_dem(tmp.path(), "zone1", "site", 0, {7, 7, 7, 7, 7, 7, 7, 7, 7}, "3\n3\n2\n0\n0\n6\n");
    const RunResult r = run_tool(tmp.path(), "zone1\nsite\n2\n-1\n1\n4\nabc\n1\nrough\n2\n5\n100\n-1\nabc\n1\nabc\n0\n");
    ASSERT_FALSE(r.timed_out);
    std::string want = say::up_to_type(3) + say::dem_range("0", "10");
    for (int k = 0; k < 3; k++) want += say::interval_menu();
    want += say::dem_size("c:\\images\\zone1\\site_m4.raw", 3, 3) + say::generic_q();
    for (int k = 0; k < 6; k++) want += say::format_menu();
    want += say::ratio_reports("4444444.444444", "4444444.444444", "0.000000", "0.000000", "4444443.444444");
    want += say::scaled_range("256.000000", "256.000000", 256, 256);
    want += say::coefficient_q() + say::coefficient_q();
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.status, 0);
    const fs::path dir = images_folder(tmp.path(), "zone1");
    EXPECT_TRUE(file_holds(dir / "rough_roughness.raw", raw_of(filled_grid(3, 3, 255))));
    EXPECT_TRUE(file_holds(dir / "rough_roughness_str.raw", raw_of(filled_grid(3, 3, 0))));
    EXPECT_TRUE(file_holds(dir / "rough_roughness_str.txt",
                           say::result_descriptor(3, 3, 6, "4444443.444444", "0.000000", "256.000000", "256.000000")));
}

// No descriptor: "No File", the three questions (non-numbers and counts below 1 asked again),
// the descriptor created with lines, columns and bytes per pixel, then the pixel-size question
// because the typed size is 0. A later run on that DEM reads the three values and asks the
// pixel size again; an _m4 DEM gets 4 bytes per pixel.
TEST(ToolDialogue, MissingDescriptorIsAskedForAndCreated)
{
    TempDir tmp;
    write_dem(tmp.path(), "zone1", "site", 0, peak_3x4, nullptr);
    const fs::path dir = images_folder(tmp.path(), "zone1");
    const std::string descr = "c:\\images\\zone1\\site_m2.txt";

    const RunResult r = run_tool(tmp.path(), "zone1\nsite\n0\nabc 0 -3 3\nx 0 4\n? 0\nzz 7\n0\nrough\n1\n0\n");
    ASSERT_FALSE(r.timed_out);
    std::string want = say::up_to_type() + say::no_file(descr);
    for (int k = 0; k < 4; k++) want += say::lines_q();
    for (int k = 0; k < 3; k++) want += say::columns_q();
    want += say::pixel_q() + say::pixel_q() + say::pixel_metres_q() + say::pixel_metres_q();
    EXPECT_EQ(r.out, want + peak_middle(site_m2, 4));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(file_holds(dir / "site_m2.txt", "3\n4\n2\n"));
    EXPECT_TRUE(file_holds(dir / "rough_roughness.txt",
                           say::result_descriptor(3, 4, 7, "0.040404", nullptr, "0.000000", "145.600000")));
    EXPECT_TRUE(file_holds(dir / "rough_roughness_str.raw", raw_of(three_lines({255, 2, 250, 255}, 255))));

    const RunResult again = run_tool(tmp.path(), "zone1\nsite\n0\n9\n0\nrough\n1\n0\n");
    EXPECT_EQ(again.out, say::up_to_type() + say::pixel_metres_q() + peak_middle(site_m2, 4));
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(file_holds(dir / "rough_roughness.txt",
                           say::result_descriptor(3, 4, 9, "0.040404", nullptr, "0.000000", "145.600000")));

    write_dem(tmp.path(), "zone2", "site", 1, peak_3x4, nullptr);
    const RunResult m4 = run_tool(tmp.path(), "zone2\nsite\n1\n3\n4\n2\n0\nrough\n1\n0\n");
    EXPECT_EQ(m4.out, say::up_to_type() + say::no_file("c:\\images\\zone2\\site_m4.txt") + say::lines_q() + say::columns_q() +
                          say::pixel_q() + peak_middle("c:\\images\\zone2\\site_m4.raw", 4));
    EXPECT_TRUE(file_holds(images_folder(tmp.path(), "zone2") / "site_m4.txt", "3\n4\n4\n"));
    EXPECT_TRUE(file_holds(images_folder(tmp.path(), "zone2") / "rough_roughness.txt",
                           say::result_descriptor(3, 4, 2, "0.040404", nullptr, "0.000000", "145.600000")));
}

// A descriptor that cannot be created (its name is a dangling link, which is never written
// through): a warning, and the run goes on with the typed values.
TEST(ToolDialogue, DescriptorThatCannotBeCreatedOnlyWarns)
{
    TempDir tmp;
    write_dem(tmp.path(), "zone1", "site", 0, peak_3x4, nullptr);
    const fs::path dir = images_folder(tmp.path(), "zone1");
    fs::create_symlink(tmp.path() / "elsewhere.txt", dir / "site_m2.txt");
    const RunResult r = run_tool(tmp.path(), "zone1\nsite\n0\n3\n4\n5\n0\nrough\n1\n0\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, say::up_to_type() + say::no_file("c:\\images\\zone1\\site_m2.txt") + say::lines_q() + say::columns_q() +
                         say::pixel_q() + peak_middle(site_m2, 4));
    EXPECT_TRUE(mentions(r.err, "site_m2.txt")) << r.err;
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "site_m2.txt"));
    EXPECT_FALSE(fs::exists(tmp.path() / "elsewhere.txt"));
    EXPECT_TRUE(file_holds(dir / "rough_roughness_str.txt",
                           say::result_descriptor(3, 4, 5, "0.040404", "0.000000", "0.000000", "145.600000")));
}

TEST_F(BadInput, NonNumberAnswersAreAskedAgainAtEveryQuestion)
{
    write_dem(root(), "z", "d", 0, dem_values(), nullptr);
    const RunResult clean = run("z d 0 5 6 0 10 0 clean 1 5\n");
    ASSERT_EQ(clean.status, 0) << clean.err;
    fs::remove(folder() / "d_m2.txt");

    // type x and "0" followed by a NUL byte; lines abc; columns "?"; pixel size p; pixel size
    // in metres q and a number beyond int; interval 9999999999 and i; generic name "ju" NUL
    // "nk" (a name with a NUL byte is refused, not cut); format f; coefficient nan, inf,
    // 1e999, c and "5" NUL.
    const RunResult r = run(std::string("z d x 0\0 0 abc 5 ? 6 p 0 q 99999999999 10 9999999999 i 0 ju\0nk junk f 1 "
                                        "nan inf 1e999 c 5\0 5\n", 93));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count_of(r.out, say::type_menu()), 3u);
    EXPECT_EQ(count_of(r.out, say::lines_q()), 2u);
    EXPECT_EQ(count_of(r.out, say::columns_q()), 2u);
    EXPECT_EQ(count_of(r.out, say::pixel_q()), 2u);
    EXPECT_EQ(count_of(r.out, say::pixel_metres_q()), 3u);
    EXPECT_EQ(count_of(r.out, say::interval_menu()), 3u);
    EXPECT_EQ(count_of(r.out, say::format_menu()), 2u);
    EXPECT_EQ(count_of(r.out, say::generic_q()), 2u);
    EXPECT_EQ(count_of(r.out, say::coefficient_q()), 6u);
    EXPECT_TRUE(contains(r.err, "the generic name of the results holds a NUL byte")) << r.err;
    EXPECT_FALSE(fs::exists(folder() / "ju_roughness.raw"));
    EXPECT_EQ(read_text(folder() / "d_m2.txt"), "5\n6\n2\n");
    EXPECT_EQ(raster_results(folder(), "junk"), raster_results(folder(), "clean"));
}

// Path texts hold 127 characters. With "c:\images\" (10), a folder leaves room for "\", a
// one-character name and "_roughness_str.raw": at most 97 characters. With such a folder the
// DEM name may have 12 characters (+ "_m2.raw") and the generic name 1 (+ "_roughness_str.raw").
// A longer word: a message on stderr and the same question again.
TEST(ToolEnds, WordsThatWouldMakeAPathTooLongAreAskedAgain)
{
    TempDir tmp;
    const std::string folder(97, 'f'), name = "abcdefghijkl";
    write_dem(tmp.path(), folder, name, 0, peak_3x4, "3\n4\n2\n0\n0\n5\n");
    const std::string input = std::string(98, 'f') + "\n" + folder + "\n" + name + "m\n" + name + "\n0\n0\nab\nr\n1\n0\n";
    const RunResult r = run_tool(tmp.path(), input);
    ASSERT_FALSE(r.timed_out);
    const std::string raster = "c:\\images\\" + folder + "\\" + name + "_m2.raw";
    ASSERT_EQ(raster.size(), 127u);
    EXPECT_EQ(r.out, say::banner() + say::folder_q() + say::folder_q() + say::dem_q() + say::dem_q() + say::type_menu() +
                         say::dem_range("100", "110") + say::interval_menu() + say::dem_size(raster, 3, 4) + say::generic_q() +
                         say::generic_q() + say::format_menu() +
                         say::ratio_reports("0.959596", "1.005556", "0.045960", "0.040404", "0.040404") +
                         say::scaled_range("0.000000", "145.600000", 0, 145) + say::coefficient_q());
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3) << r.err;
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(file_holds(images_folder(tmp.path(), folder) / "r_roughness_str.raw", raw_of(three_lines({255, 2, 250, 255}, 255))));
}

// ---------------------------------------------------------------------------------------
// Command line: --help and --version answer on stdout with status 0 and start no run;
// any other argument gets the usage on stderr and status 2.
// ---------------------------------------------------------------------------------------
TEST(ToolCommandLine, HelpVersionAndBadOptions)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *out_part, *err_part;
    };
    const Case cases[] = {
        {{"--help"}, 0, "Usage: orvande_3d_roughness", nullptr},
        {{"-h"}, 0, "Exit status: 0 finished run; 1 any failure", nullptr},
        {{"--version"}, 0, "orvande_3d_roughness 1.0\n", nullptr},
        {{"--bogus"}, 2, nullptr, "unknown argument --bogus"},
        {{"zone1"}, 2, nullptr, "Usage: orvande_3d_roughness"},
        {{"--help", "extra"}, 2, nullptr, "Usage: orvande_3d_roughness"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0]);
        TempDir tmp;
        RunOptions opt;
        opt.args = c.args;
        const RunResult r = run_tool(tmp.path(), "zone1\nsite\n0\n", opt);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out.find("ORVANDE_3D"), std::string::npos) << "a run started";
        if (c.out_part) {
            EXPECT_TRUE(mentions(r.out, c.out_part)) << r.out;
            EXPECT_EQ(r.err, "");
        }
        if (c.err_part) {
            EXPECT_EQ(r.out, "");
            EXPECT_TRUE(mentions(r.err, c.err_part)) << r.err;
        }
        EXPECT_TRUE(names_in(tmp.path()).empty());
    }
}
