// Complete runs of the built tool: the whole stdout, the exit status and every result file
// are compared byte for byte with what the documented dialogue and arithmetic give; runs
// whose DEM files disagree with each other finish with a warning and the same results.
//
// Expected values are worked out by hand in the comments. The 3 x 4 "peak" DEM (100 m
// everywhere, 110 m at line 1 column 1) has the ratios 95/99 and 181/180, a maximum stretch
// of 4/99 and the grey levels 0 and 145 (dtab_out 0.0 and 145.6). The 3 x 4 "hollow" DEM
// (90 m at line 1 column 1) has the ratios 85/81 and 179/180, a maximum stretch of 4/81,
// dtab_out 256.0 and 113.6 and the grey levels 255 (256 kept in a byte) and 114.
#include "run_tool.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace e2e;
namespace say = e2e::say;

// ---------------------------------------------------------------------------------------
// The road of one run, both formats
// ---------------------------------------------------------------------------------------
// 3 x 5 DEM: 100 m everywhere, 110 m at line 1 column 1. Interior ratios 95/99, 181/180 and
// 1 (levels 0, 145, 128). Coefficient 2.5 gives iseuil = trunc(15 x 0.01 x 2.5) = 0: cut-offs
// -1 and 146 (idif 148), so 0 -> 2, 145 -> 250, 128 -> 221 and the border 255 stays 255.
class ToolRoad : public ::testing::Test {
protected:
    void SetUp() override
    {
        write_dem(tmp.path(), "zone1", "site", 0, {100, 100, 100, 100, 100, 100, 110, 100, 100, 100, 100, 100, 100, 100, 100},
                  "3\n5\n2\n100\n110\n10\n");
    }
    std::string expected_stdout() const
    {
        return say::up_to_type() + peak_middle(site_m2, 5);
    }
    fs::path dir() const { return images_folder(tmp.path(), "zone1"); }
    TempDir tmp;
    const Grid centred = three_lines({255, 0, 145, 128, 255}, 255);
    const Grid stretched = three_lines({255, 2, 250, 221, 255}, 255);
};

TEST_F(ToolRoad, BitmapFormatWritesTwoGreyBmpFiles)
{
    RunOptions opt;
    opt.wait_for = say::coefficient_q();
    bool checked = false;
    opt.while_waiting = [&](const std::string &, pid_t) {
        // No result file exists before the results are complete.
        EXPECT_EQ(names_in(dir()), (std::vector<std::string>{"site_m2.raw", "site_m2.txt"}));
        checked = true;
    };
    opt.late_input = "2.5\n";
    const RunResult r = run_tool(tmp.path(), "zone1\nsite\n0\n0\nrough\n0\n", opt);
    ASSERT_FALSE(r.timed_out);
    EXPECT_TRUE(checked);
    EXPECT_EQ(r.out, expected_stdout());
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    // 5 columns: rows of 5 bytes padded to 8, last line first.
    EXPECT_TRUE(file_holds(dir() / "rough_roughness.bmp", bmp_of(centred)));
    EXPECT_TRUE(file_holds(dir() / "rough_roughness_str.bmp", bmp_of(stretched)));
    EXPECT_EQ(names_in(dir()), (std::vector<std::string>{"rough_roughness.bmp", "rough_roughness_str.bmp", "site_m2.raw", "site_m2.txt"}));
}

TEST_F(ToolRoad, RasterFormatWritesTwoRawRastersAndDescriptors)
{
    const RunResult r = run_tool(tmp.path(), "zone1\nsite\n0\n0\nrough\n1\n2.5\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, expected_stdout());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(file_holds(dir() / "rough_roughness.raw", raw_of(centred)));
    EXPECT_TRUE(file_holds(dir() / "rough_roughness_str.raw", raw_of(stretched)));
    EXPECT_TRUE(file_holds(dir() / "rough_roughness.txt",
                           say::result_descriptor(3, 5, 10, "0.040404", nullptr, "0.000000", "145.600000")));
    EXPECT_TRUE(file_holds(dir() / "rough_roughness_str.txt",
                           say::result_descriptor(3, 5, 10, "0.040404", "2.500000", "0.000000", "145.600000")));
    EXPECT_EQ(names_in(dir()), (std::vector<std::string>{"rough_roughness.raw", "rough_roughness.txt", "rough_roughness_str.raw",
                                                         "rough_roughness_str.txt", "site_m2.raw", "site_m2.txt"}));
}

// ---------------------------------------------------------------------------------------
// The worked example and its dialogue variants
// ---------------------------------------------------------------------------------------
// The descriptor's minimum and maximum (10 and 20) are not reported: the raster's range is.
// Coefficient 0: cut-offs -1 and 146, so 0 -> 2, 145 -> 250, border 255.
TEST(ToolWorkedExample, PeakDemInRasterFormat)
{
    TempDir tmp;
    write_dem(tmp.path(), "zone1", "site", 0, peak_3x4, "3\n4\n2\n10\n20\n5\n");
    const RunResult r = run_tool(tmp.path(), "zone1\nsite\n0\n0\nrough\n1\n0\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, say::up_to_type() + peak_middle(site_m2, 4));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    const fs::path dir = images_folder(tmp.path(), "zone1");
    EXPECT_TRUE(file_holds(dir / "rough_roughness.raw", raw_of(three_lines({255, 0, 145, 255}, 255))));
    EXPECT_TRUE(file_holds(dir / "rough_roughness_str.raw", raw_of(three_lines({255, 2, 250, 255}, 255))));
    EXPECT_TRUE(file_holds(dir / "rough_roughness.txt",
                           say::result_descriptor(3, 4, 5, "0.040404", nullptr, "0.000000", "145.600000")));
    EXPECT_TRUE(file_holds(dir / "rough_roughness_str.txt",
                           say::result_descriptor(3, 4, 5, "0.040404", "0.000000", "0.000000", "145.600000")));
}

// ---------------------------------------------------------------------------------------
// Where the files are
// ---------------------------------------------------------------------------------------
// Every backslash of a path text is a folder separator, those typed inside a word included.
TEST(ToolFiles, BackslashesTypedInAFolderNameSeparateFolders)
{
    TempDir tmp;
    write_dem(tmp.path(), "a/b", "site", 0, peak_3x4, "3\n4\n2\n0\n0\n5\n");
    const RunResult r = run_tool(tmp.path(), "a\\b\nsite\n0\n0\nrough\n1\n0\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, say::up_to_type() + peak_middle("c:\\images\\a\\b\\site_m2.raw", 4));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(file_holds(images_folder(tmp.path(), "a/b") / "rough_roughness_str.raw",
                           raw_of(three_lines({255, 2, 250, 255}, 255))));
}

// A raster found only under its unmapped name (a file literally named
// c:\images\zone1\site_m2.raw in the working directory): every file of the run keeps its
// unmapped name, the created descriptor and the results included. A raster under the mapped
// name wins over it.
TEST(ToolFiles, RasterUnderItsUnmappedNameKeepsUnmappedNamesForTheWholeRun)
{
    TempDir tmp;
    const fs::path root = tmp.path();
    write_bytes(root / "c:\\images\\zone1\\site_m2.raw", samples_m2(peak_3x4));

    const RunResult first = run_tool(root, "zone1\nsite\n0\n3\n4\n0\n5\n0\nrough\n1\n0\n");
    ASSERT_FALSE(first.timed_out);
    EXPECT_EQ(first.out, say::up_to_type() + say::no_file("c:\\images\\zone1\\site_m2.txt") + say::lines_q() +
                             say::columns_q() + say::pixel_q() + say::pixel_metres_q() + peak_middle(site_m2, 4));
    EXPECT_EQ(first.status, 0);
    EXPECT_FALSE(fs::exists(root / "c:"));
    EXPECT_TRUE(file_holds(root / "c:\\images\\zone1\\site_m2.txt", "3\n4\n2\n"));
    EXPECT_TRUE(file_holds(root / "c:\\images\\zone1\\rough_roughness.raw", raw_of(three_lines({255, 0, 145, 255}, 255))));
    EXPECT_TRUE(file_holds(root / "c:\\images\\zone1\\rough_roughness_str.raw", raw_of(three_lines({255, 2, 250, 255}, 255))));
    EXPECT_TRUE(file_holds(root / "c:\\images\\zone1\\rough_roughness.txt",
                           say::result_descriptor(3, 4, 5, "0.040404", nullptr, "0.000000", "145.600000")));
    EXPECT_TRUE(file_holds(root / "c:\\images\\zone1\\rough_roughness_str.txt",
                           say::result_descriptor(3, 4, 5, "0.040404", "0.000000", "0.000000", "145.600000")));

    // The unmapped descriptor is read (three values: the pixel size is asked); bitmap results.
    const RunResult second = run_tool(root, "zone1\nsite\n0\n5\n0\nbmp\n0\n0\n");
    EXPECT_EQ(second.out, say::up_to_type() + say::pixel_metres_q() + peak_middle(site_m2, 4));
    EXPECT_EQ(second.status, 0);
    EXPECT_FALSE(fs::exists(root / "c:"));
    EXPECT_TRUE(file_holds(root / "c:\\images\\zone1\\bmp_roughness.bmp", bmp_of(three_lines({255, 0, 145, 255}, 255))));
    EXPECT_TRUE(file_holds(root / "c:\\images\\zone1\\bmp_roughness_str.bmp", bmp_of(three_lines({255, 2, 250, 255}, 255))));

    // Once the mapped raster exists it is the one read (a flat DEM of 50 m), and the results
    // go beside it.
    write_dem(root, "zone1", "site", 0, std::vector<int>(12, 50), "3\n4\n2\n0\n0\n5\n");
    const RunResult mapped = run_tool(root, "zone1\nsite\n0\n0\nflat\n1\n0\n");
    EXPECT_EQ(mapped.out.substr(0, (say::up_to_type() + say::dem_range("50", "50")).size()),
              say::up_to_type() + say::dem_range("50", "50"));
    EXPECT_EQ(mapped.status, 0);
    EXPECT_TRUE(fs::is_regular_file(images_folder(root, "zone1") / "flat_roughness.raw"));
    EXPECT_FALSE(fs::exists(root / "c:\\images\\zone1\\flat_roughness.raw"));
}

// ---------------------------------------------------------------------------------------
// DEM contents
// ---------------------------------------------------------------------------------------
// 10 bytes for a 3 x 4 _m2 DEM: samples 7, 8, 9, 10, 11 and seven zeros (a warning on
// stderr); the zeros enter the range (Min 0). Both interior centres are 0 m: their ratios are
// the neighbourhood means divided by 1.0e-7, 17.5/9 and 13.5/9 times ten million, both above
// 10000000 (so dmin keeps its start value). max_estir = dmax - 1: line 1 column 1 scales to
// 256.0 (level 255), column 2 to 128 + 14999999/19444443.44 x 128 = 226.742856 (level 226).
// Coefficient 0: cut-offs 225 and 256 (idif 32): 226 -> 8, 255 -> 238.
TEST(ToolDemContents, ShortRasterIsZeroFilledWithAWarning)
{
    TempDir tmp;
    const fs::path dir = images_folder(tmp.path(), "zone1");
    fs::create_directories(dir);
    write_bytes(dir / "site_m2.raw", samples_m2({7, 8, 9, 10, 11}));
    write_text(dir / "site_m2.txt", "3\n4\n2\n0\n0\n1\n");
    const RunResult r = run_tool(tmp.path(), "zone1\nsite\n0\n0\nrough\n1\n0\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, say::up_to_type() + say::dem_range("0", "11") + say::interval_menu() + say::dem_size(site_m2, 3, 4) +
                         say::generic_q() + say::format_menu() +
                         say::ratio_reports("10000000.000000", "19444444.444444", "9444444.444444", "0.000000", "19444443.444444") +
                         say::scaled_range("226.742856", "256.000000", 226, 256) + say::coefficient_q());
    EXPECT_TRUE(mentions(r.err, "site_m2.raw")) << r.err;
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(file_holds(dir / "rough_roughness.raw", raw_of(three_lines({255, 255, 226, 255}, 255))));
    EXPECT_TRUE(file_holds(dir / "rough_roughness_str.raw", raw_of(three_lines({238, 238, 8, 238}, 238))));
}

// An _m4 sample FF FF FF FF is -1 (read with 4 bytes although the descriptor says 2: a
// warning). Line 1 column 1 has the neighbour -1: (849.5/9)/100 = 0.943889, level 0; line 1
// column 2 is flat, level 128. Coefficient 0: cut-offs -1 and 129 (idif 131): 0 -> 2,
// 128 -> 250, border 255. A DEM of -5 everywhere reports Min -5 and Max 0 and is flat.
TEST(ToolDemContents, M4SamplesAreSigned)
{
    TempDir tmp;
    const fs::path dir = images_folder(tmp.path(), "zone1");
    write_dem(tmp.path(), "zone1", "site", 1, {-1, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100},
              "3\n4\n2\n0\n0\n6\n");
    const RunResult r = run_tool(tmp.path(), "zone1\nsite\n1\n0\nrough\n1\n0\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, say::up_to_type() + say::dem_range("-1", "100") + say::interval_menu() +
                         say::dem_size("c:\\images\\zone1\\site_m4.raw", 3, 4) + say::generic_q() + say::format_menu() +
                         say::ratio_reports("0.943889", "1.000000", "0.056111", "0.056111", "0.056111") +
                         say::scaled_range("0.000000", "128.000000", 0, 128) + say::coefficient_q());
    EXPECT_NE(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(file_holds(dir / "rough_roughness.raw", raw_of(three_lines({255, 0, 128, 255}, 255))));
    EXPECT_TRUE(file_holds(dir / "rough_roughness_str.raw", raw_of(three_lines({255, 2, 250, 255}, 255))));

    write_dem(tmp.path(), "zone1", "low", 1, std::vector<int>(9, -5), "3\n3\n4\n0\n0\n6\n");
    const RunResult low = run_tool(tmp.path(), "zone1\nlow\n1\n0\nlow\n1\n0\n");
    EXPECT_EQ(low.out, say::up_to_type() + say::dem_range("-5", "0") + say::interval_menu() +
                           say::dem_size("c:\\images\\zone1\\low_m4.raw", 3, 3) + say::generic_q() + say::format_menu() +
                           say::ratio_reports("1.000000", "1.000000", "0.000000", "0.000000", "0.000000") +
                           say::scaled_range("128.000000", "128.000000", 128, 128) + say::coefficient_q());
    EXPECT_EQ(low.err, "");
    EXPECT_EQ(low.status, 0);
    EXPECT_TRUE(file_holds(dir / "low_roughness.raw", raw_of(three_lines({255, 128, 255}, 255))));
    EXPECT_TRUE(file_holds(dir / "low_roughness_str.raw", raw_of(three_lines({255, 85, 255}, 255))));
}

// Without interior pixels (2 lines, or 1 column) no ratio is computed: the start values are
// reported, every tab_out cell stays 255, and with min 10000000 and max 0 neither cut-off
// search runs: min_seuil = 1, max_seuil = 9999999, so 255 -> 1 + 253 x 254/9999999 = 1.
// The progress line depends on the lines alone: 102 lines of 2 columns still show line 100.
TEST(ToolDemContents, DemsWithoutInteriorPixels)
{
    const std::string no_ratio = say::ratio_reports("10000000.000000", "0.000000", "-10000000.000000", "0.000000", "0.000000");
    const std::string no_scale = say::scaled_range("10000000.000000", "0.000000", 10000000, 0);
    TempDir tmp;
    const fs::path dir = images_folder(tmp.path(), "zone1");

    write_dem(tmp.path(), "zone1", "two", 0, {1, 2, 3, 4, 5, 6, 7, 8}, "2\n4\n2\n0\n0\n3\n");
    const RunResult two = run_tool(tmp.path(), "zone1\ntwo\n0\n0\ntwo\n1\n0\n");
    ASSERT_FALSE(two.timed_out);
    EXPECT_EQ(two.out, say::up_to_type() + say::dem_range("1", "8") + say::interval_menu() +
                           say::dem_size("c:\\images\\zone1\\two_m2.raw", 2, 4) + say::generic_q() + say::format_menu() +
                           no_ratio + no_scale + say::coefficient_q());
    EXPECT_EQ(two.status, 0);
    EXPECT_TRUE(file_holds(dir / "two_roughness.raw", raw_of(filled_grid(2, 4, 255))));
    EXPECT_TRUE(file_holds(dir / "two_roughness_str.raw", raw_of(filled_grid(2, 4, 1))));
    EXPECT_TRUE(file_holds(dir / "two_roughness_str.txt",
                           say::result_descriptor(2, 4, 3, "0.000000", "0.000000", "10000000.000000", "0.000000")));

    // One column, bitmap format: each BMP row is one byte and three zero bytes.
    write_dem(tmp.path(), "zone1", "one", 0, {5, 6, 7, 8, 9}, "5\n1\n2\n0\n0\n3\n");
    const RunResult one = run_tool(tmp.path(), "zone1\none\n0\n0\none\n0\n0\n");
    EXPECT_EQ(one.out, say::up_to_type() + say::dem_range("5", "9") + say::interval_menu() +
                           say::dem_size("c:\\images\\zone1\\one_m2.raw", 5, 1) + say::generic_q() + say::format_menu() +
                           no_ratio + no_scale + say::coefficient_q());
    EXPECT_EQ(one.status, 0);
    EXPECT_TRUE(file_holds(dir / "one_roughness.bmp", bmp_of(filled_grid(5, 1, 255))));
    EXPECT_TRUE(file_holds(dir / "one_roughness_str.bmp", bmp_of(filled_grid(5, 1, 1))));

    write_dem(tmp.path(), "zone1", "tall", 0, std::vector<int>(204, 100), "102\n2\n2\n0\n0\n3\n");
    const RunResult tall = run_tool(tmp.path(), "zone1\ntall\n0\n0\ntall\n1\n0\n");
    EXPECT_EQ(tall.out, say::up_to_type() + say::dem_range("100", "100") + say::interval_menu() +
                            say::dem_size("c:\\images\\zone1\\tall_m2.raw", 102, 2) + say::generic_q() + say::format_menu() +
                            no_ratio + say::progress(100) + no_scale + say::coefficient_q());
    EXPECT_EQ(tall.status, 0);
}

// A flat DEM of 100 m and 3 columns: every ratio 1, level 128 (coefficient 0: cut-offs 127
// and 129, 128 -> 85, border 255). Progress lines at lines 100, 200, ... below nb_lig - 1.
TEST(ToolDemContents, ProgressLineEveryHundredLines)
{
    TempDir tmp;
    const fs::path dir = images_folder(tmp.path(), "zone1");
    for (int lines : {101, 102, 250}) {
        SCOPED_TRACE(std::to_string(lines) + " lines");
        const std::string name = "flat" + std::to_string(lines);
        write_dem(tmp.path(), "zone1", name, 0, std::vector<int>(static_cast<size_t>(lines) * 3, 100),
                  (std::to_string(lines) + "\n3\n2\n0\n0\n2\n").c_str());
        const RunResult r = run_tool(tmp.path(), "zone1\n" + name + "\n0\n0\n" + name + "\n1\n0\n");
        ASSERT_FALSE(r.timed_out);
        std::string progress;
        if (lines == 102) progress = say::progress(100);
        if (lines == 250) progress = say::progress(100) + say::progress(200);
        EXPECT_EQ(r.out, say::up_to_type() + say::dem_range("100", "100") + say::interval_menu() +
                             say::dem_size("c:\\images\\zone1\\" + name + "_m2.raw", lines, 3) + say::generic_q() +
                             say::format_menu() + say::ratio_reports("1.000000", "1.000000", "0.000000", "0.000000", "0.000000") +
                             progress + say::scaled_range("128.000000", "128.000000", 128, 128) + say::coefficient_q());
        EXPECT_EQ(r.status, 0);
        Grid centred = filled_grid(lines, 3, 255), stretched = filled_grid(lines, 3, 255);
        for (int i = 1; i < lines - 1; i++) {
            centred[static_cast<size_t>(i)][1] = 128;
            stretched[static_cast<size_t>(i)][1] = 85;
        }
        EXPECT_TRUE(file_holds(dir / (name + "_roughness.raw"), raw_of(centred)));
        EXPECT_TRUE(file_holds(dir / (name + "_roughness_str.raw"), raw_of(stretched)));
    }
}

// ---------------------------------------------------------------------------------------
// Grey level 256 and the coefficient of stretching
// ---------------------------------------------------------------------------------------
// Hollow DEM: tab_out holds 255 (for 256) at line 1 column 1 and 114 at column 2; min 113,
// max 256. The histogram counts 114 and 255 once each; 12 pixels.
//   0:     iseuil 0; cut-offs 113 and 256 (idif 144): 114 -> 2, 255 -> 250 (border too).
//   -1000: iseuil -120; each search stops at its first level: 112 and 257 (idif 146):
//          114 -> 4, 255 -> 248.
//   10:    iseuil 1; the cut-offs cross: min_seuil 254, max_seuil 115: 114 -> 0, 255 -> 255.
//   60, 1e6: iseuil 7 and 120000, never passed: min_seuil = max + 1 = 257 and max_seuil =
//          min - 1 = 112, crossed: every level above 112 gives 255 (the test against the
//          upper cut-off comes last), so all 255.
TEST(ToolStretch, GreyLevel256AndCoefficientsOfStretching)
{
    struct Case {
        const char *typed, *printed;
        Bytes middle;
        unsigned char edge;
    };
    const Case cases[] = {
        {"0", "0.000000", {250, 250, 2, 250}, 250},
        {"-1000", "-1000.000000", {248, 248, 4, 248}, 248},
        {"10", "10.000000", {255, 255, 0, 255}, 255},
        {"60", "60.000000", {255, 255, 255, 255}, 255},
        {"1e6", "1000000.000000", {255, 255, 255, 255}, 255},
    };
    TempDir tmp;
    const fs::path dir = images_folder(tmp.path(), "zone1");
    write_dem(tmp.path(), "zone1", "site", 0, hollow_3x4, "3\n4\n2\n90\n100\n4\n");
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("coefficient ") + c.typed);
        const RunResult r = run_tool(tmp.path(), std::string("zone1\nsite\n0\n0\nrough\n1\n") + c.typed + "\n");
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.out, say::up_to_type() + say::dem_range("90", "100") + say::interval_menu() + say::dem_size(site_m2, 3, 4) +
                             say::generic_q() + say::format_menu() +
                             say::ratio_reports("0.994444", "1.049383", "0.054938", "0.005556", "0.049383") +
                             say::scaled_range("113.600000", "256.000000", 113, 256) + say::coefficient_q());
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(file_holds(dir / "rough_roughness.raw", raw_of(three_lines({255, 255, 114, 255}, 255))));
        EXPECT_TRUE(file_holds(dir / "rough_roughness_str.raw", raw_of(three_lines(c.middle, c.edge))));
        EXPECT_TRUE(file_holds(dir / "rough_roughness.txt",
                               say::result_descriptor(3, 4, 4, "0.049383", nullptr, "113.600000", "256.000000")));
        EXPECT_TRUE(file_holds(dir / "rough_roughness_str.txt",
                               say::result_descriptor(3, 4, 4, "0.049383", c.printed, "113.600000", "256.000000")));
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
// Threads and memory: the same bytes whatever ORVANDE_THREADS says, and a DEM that the
// whole-grid design (30 bytes a pixel) could not take under an address-space limit
// ---------------------------------------------------------------------------------------
#if defined(__SANITIZE_ADDRESS__)
#define ORVANDE_TOOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVANDE_TOOL_ASAN 1
#endif
#endif

namespace {
// A rough DEM of lines x cols whole metres: a ramp, a ridge and a pseudo-random texture.
std::vector<int> rough_dem(int lines, int cols)
{
    std::vector<int> v;
    unsigned x = 12345;
    for (int i = 0; i < lines; i++)
        for (int j = 0; j < cols; j++) {
            x = x * 1103515245u + 12345u;
            v.push_back(300 + i + 2 * j + (j == cols / 2 ? 40 : 0) + static_cast<int>((x >> 16) % 17));
        }
    return v;
}
} // namespace

TEST(ToolThreads, SameBytesForEveryThreadCount)
{
    struct Dem {
        int lines, cols;
    };
    for (const Dem d : {Dem{250, 37}, Dem{4, 9}, Dem{3, 3}, Dem{2, 5}}) {
        SCOPED_TRACE(std::to_string(d.lines) + " x " + std::to_string(d.cols));
        TempDir tmp;
        write_dem(tmp.path(), "z", "d", 0, rough_dem(d.lines, d.cols),
                  (std::to_string(d.lines) + "\n" + std::to_string(d.cols) + "\n2\n0\n0\n10\n").c_str());
        const fs::path dir = images_folder(tmp.path(), "z");
        RunOptions one;
        one.env = {"ORVANDE_THREADS=1"};
        const RunResult ref = run_tool(tmp.path(), "z d 0 0 ref 1 3\n", one);
        ASSERT_EQ(ref.status, 0) << ref.err;
        const RunResult ref_bmp = run_tool(tmp.path(), "z d 0 0 refb 0 3\n", one);
        ASSERT_EQ(ref_bmp.status, 0) << ref_bmp.err;
        for (const char *threads : {"2", "7", "64", "0", "abc", "-3"}) {
            SCOPED_TRACE(threads);
            RunOptions opt;
            opt.env = {std::string("ORVANDE_THREADS=") + threads};
            const bool ignored = std::string(threads) == "0" || threads[0] == 'a' || threads[0] == '-';
            const RunResult r = run_tool(tmp.path(), "z d 0 0 r 1 3\n", opt);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, ref.out);
            EXPECT_EQ(r.err, ignored ? std::string("orvande_3d_roughness: ORVANDE_THREADS=\"") + threads +
                                           "\" is not a positive whole number; it is ignored\n"
                                     : "");
            EXPECT_EQ(raster_results(dir, "r"), raster_results(dir, "ref"));
            const RunResult b = run_tool(tmp.path(), "z d 0 0 b 0 3\n", opt);
            EXPECT_EQ(b.status, 0);
            EXPECT_EQ(read_bytes(dir / "b_roughness.bmp"), read_bytes(dir / "refb_roughness.bmp"));
            EXPECT_EQ(read_bytes(dir / "b_roughness_str.bmp"), read_bytes(dir / "refb_roughness_str.bmp"));
        }
    }
}

// 3000 x 3000 pixels under a 100 MiB address-space limit: the whole grids would take 270 MB.
// Under 20 MiB the run is refused; a DEM of many lines runs under 100 MiB; so do 230
// threads configured for few lines under 2 GiB.
TEST(ToolThreads, LargeDemUnderAnAddressSpaceLimit)
{
#ifdef ORVANDE_TOOL_ASAN
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than the limit";
#endif
    const int n = 3000;
    TempDir tmp;
    write_dem(tmp.path(), "z", "d", 0, rough_dem(n, n), "3000\n3000\n2\n0\n0\n1\n");
    const fs::path dir = images_folder(tmp.path(), "z");
    const RunResult free_run = run_tool(tmp.path(), "z d 0 0 free 1 2\n");
    ASSERT_EQ(free_run.status, 0) << free_run.err;
    RunOptions limited;
    limited.address_space_limit = 100LL << 20;
    const RunResult r = run_tool(tmp.path(), "z d 0 0 lim 1 2\n", limited);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, free_run.out);
    EXPECT_EQ(raster_results(dir, "lim"), raster_results(dir, "free"));

    // Under 20 MiB the run is refused before anything is read, naming the limit.
    limited.address_space_limit = 20LL << 20;
    const RunResult tight = run_tool(tmp.path(), "z d 0 0 tight 1 2\n", limited);
    EXPECT_EQ(tight.status, 1);
    EXPECT_TRUE(mentions(tight.err, "the address-space limit (ulimit -v) allows")) << tight.err;
    EXPECT_FALSE(fs::exists(dir / "tight_roughness.raw"));

    // 120000 lines of 1000 pixels (a short raster: zeros) under the same 100 MiB: nothing
    // grows with the number of lines, where a whole image would take 120 MB.
    write_dem(tmp.path(), "z", "tall", 0, rough_dem(3, 1000), "120000\n1000\n2\n0\n0\n1\n");
    limited.address_space_limit = 100LL << 20;
    const RunResult tall = run_tool(tmp.path(), "z tall 0 0 tall 1 2\n", limited);
    EXPECT_EQ(tall.status, 0) << tall.err;
    EXPECT_EQ(fs::file_size(dir / "tall_roughness_str.raw"), 120000000u);
    fs::remove(dir / "tall_roughness.raw");
    fs::remove(dir / "tall_roughness_str.raw");

    // 230 threads configured for a DEM of 48 interior lines: the check counts the 48 that
    // start, not 230 stacks, and the run fits in 2 GiB.
    write_dem(tmp.path(), "z", "s", 0, rough_dem(50, 60), "50\n60\n2\n0\n0\n1\n");
    const RunResult one = run_tool(tmp.path(), "z s 0 0 one 1 2\n");
    ASSERT_EQ(one.status, 0) << one.err;
    limited.address_space_limit = 2LL << 30;
    limited.env = {"ORVANDE_THREADS=230"};
    const RunResult many = run_tool(tmp.path(), "z s 0 0 many 1 2\n", limited);
    EXPECT_EQ(many.status, 0) << many.err;
    EXPECT_EQ(raster_results(dir, "many"), raster_results(dir, "one"));
}

// ---------------------------------------------------------------------------------------
// Replacing earlier results
// ---------------------------------------------------------------------------------------
namespace {
// Runs as the user nobody, who must reach the working folder and may write the DEM folder.
RunResult run_as_nobody(const fs::path &root, const fs::path &folder, const std::string &answers)
{
    for (fs::path p = folder; p != root.parent_path(); p = p.parent_path())
        fs::permissions(p, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    fs::permissions(folder, fs::perms::all);
    for (const auto &e : fs::directory_iterator(folder))
        fs::permissions(e.path(), fs::perms::others_read, fs::perm_options::add);
    RunOptions nobody;
    nobody.as_nobody = true;
    return run_tool(root, answers, nobody);
}
} // namespace

// Under umask 0222 a temporary is created without write permission: every result is still
// written, through the descriptor it was created with (a user for whom permissions count).
TEST_F(BadInput, ResultsAreWrittenUnderAReadOnlyUmask)
{
    dem();
    for (const char *format : {"0", "1"}) {
        SCOPED_TRACE(format);
        const RunResult ref = run(std::string("z d 0 0 ref ") + format + " 5\n");
        ASSERT_EQ(ref.status, 0) << ref.err;
        const mode_t before = umask(0222);
        const RunResult r = geteuid() == 0 ? run_as_nobody(root(), folder(), std::string("z d 0 0 r ") + format + " 5\n")
                                           : run(std::string("z d 0 0 r ") + format + " 5\n");
        umask(before);
        if (r.exited && (r.status == 126 || r.status == 127)) GTEST_SKIP() << "cannot run the tool as the user nobody here";
        EXPECT_EQ(r.status, 0) << r.err;
        const char *suffixes[] = {"_roughness.bmp", "_roughness_str.bmp", "_roughness.raw", "_roughness_str.txt"};
        for (int k = format[0] == '0' ? 0 : 2, end = k + 2; k < end; k++)
            EXPECT_EQ(read_bytes(folder() / (std::string("r") + suffixes[k])),
                      read_bytes(folder() / (std::string("ref") + suffixes[k])));
    }
}

// A replaced result keeps the permission bits and group of the earlier one; a result whose
// name links to a name of 242 to 255 bytes (temporaries must fit beside it) is written
// there; and the hidden temporaries that killed runs left for these names are removed,
// those of a live process and of other names kept.
TEST_F(BadInput, ReplacedResultsKeepModeGroupAndNameAndLeftoversGo)
{
    dem();
    const RunResult ref = run("z d 0 0 ref 1 5\n");
    ASSERT_EQ(ref.status, 0) << ref.err;
    const RunResult first = run("z d 0 0 r 1 5\n");
    ASSERT_EQ(first.status, 0) << first.err;
    const fs::path raw = folder() / "r_roughness.raw";
    ASSERT_EQ(chmod(raw.c_str(), 0640), 0);
    const bool may_chown = chown(raw.c_str(), static_cast<uid_t>(-1), 4242) == 0;
    const char *suffixes[] = {"_roughness.txt", "_roughness_str.raw", "_roughness_str.txt"};
    for (int k = 0; k < 3; k++) {
        const std::string long_name(242 + 6 * k, 'a' + k);
        fs::remove(folder() / (std::string("r") + suffixes[k]));
        fs::create_symlink(long_name, folder() / (std::string("r") + suffixes[k]));
    }
    const pid_t ended = fork();
    if (ended == 0) _exit(0);
    waitpid(ended, nullptr, 0);
    const std::string dead = std::to_string(ended), live = std::to_string(getpid());
    write_text(folder() / (".r_roughness.raw." + dead + "-0.part"), "left by a killed run");
    write_text(folder() / (".r_roughness.raw." + live + "-0.part"), "a live run's");
    write_text(folder() / (".q_roughness.raw." + dead + "-0.part"), "another name's");

    const RunResult r = run("z d 0 0 r 1 5\n");
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat(raw.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (may_chown) {
        EXPECT_EQ(st.st_gid, 4242u);
    }
    EXPECT_EQ(raster_results(folder(), "r"), raster_results(folder(), "ref"));
    for (int k = 0; k < 3; k++) EXPECT_TRUE(fs::is_symlink(folder() / (std::string("r") + suffixes[k])));
    EXPECT_FALSE(fs::exists(folder() / (".r_roughness.raw." + dead + "-0.part")));
    EXPECT_TRUE(fs::exists(folder() / (".r_roughness.raw." + live + "-0.part")));
    EXPECT_TRUE(fs::exists(folder() / (".q_roughness.raw." + dead + "-0.part")));
}
