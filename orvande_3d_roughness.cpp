// orvande_3d_roughness: reads a DEM, computes the 3x3 roughness ratio of every pixel and
// writes it as two 8-bit greyscale images, one centred on grey 128 and one
// contrast-stretched, as BMP files or as raw rasters with a text descriptor.
//
// One run is one pass of questions and answers on the console: run_dialogue calls opening
// (the dialogue, the scan of the DEM, the check of the result files) and then treatment (the
// computation and the writing). Both work on the run state below, over the roughness core
// (roughness_passes.h); stdout carries the dialogue only, every diagnostic goes to stderr.
// A failure anywhere is thrown as a RunFailure and ends in run_dialogue.
#include "orvande_3d_roughness.h"

#include "asking.h"
#include "dem_files.h"
#include "dem_lines.h"
#include "memory_limits.h"
#include "pass_display.h"
#include "pixel_arithmetic.h"
#include "result_files.h"
#include "roughness_passes.h"
#include "run_failure.h"
#include "tool_results.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include <unistd.h>

const char *const tool_name = "orvande_3d_roughness";

// ---------------------------------------------------------------------------------------
// Run state: every variable is zero at the start of a run (release_run_state).
// ---------------------------------------------------------------------------------------
static int nb_lig, nb_col;          // lines and columns of the DEM and of both images
static int mind, maxd;              // range of the raw DEM values
static int pix_size1;               // pixel size in metres
static int itype_dem1;              // 0: _m2 (16-bit samples), 1: _m4 (32-bit samples)
static int format;                  // 0: bitmap results, 1: raster results
static int roughness_type;          // variant of the ratio; 0 is the only one
static int interv;                  // unit of the raw values: 0 m, 1 dm, 2 cm, 3 mm
static double stretch;              // coefficient of stretching
// No grid is kept: the computing passes read the DEM raster (dem) a few lines at a time,
// the centred image (tab_out) goes to its result file a block of lines at a time, and the
// stretched one (tab_out_str) is the centred one read back with every byte mapped.
static DemRaster dem;               // the DEM raster, open for reading while the run lasts
static int nb_threads;              // threads of the computing passes
static char nomim3[128], nomdescr3[128], nomim4[128], nomdescr4[128];
static FILE *f1;                    // the DEM raster (its descriptor is closed once read)
static std::unique_ptr<ResultImage> f3, f4; // the centred and stretched images being written

// Kept beside the documented state: whether this run uses the path texts as file names as
// they stand (a DEM found under its unmapped name), and which files the DEM is.
static bool unmapped_names;
static FileId dem_raster_id, dem_descriptor_id;
static RunLimits limits;

// A path text such as c:\images\zone1\site_m2.raw names the local file
// c:/images/zone1/site_m2.raw below the working directory (the folder c: stands for the
// drive), unless the run keeps unmapped names.
static std::string local_path(const char *text)
{
    std::string path(text);
    if (!unmapped_names)
        for (char &ch : path)
            if (ch == '\\') ch = '/';
    return path;
}

// ---------------------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------------------
// The number of threads of the computing passes: ORVANDE_THREADS, or every core.
static int pass_threads()
{
    const char *text = std::getenv("ORVANDE_THREADS");
    bool ignored = false;
    const int threads = choose_thread_count(text, std::thread::hardware_concurrency(), &ignored);
    if (ignored)
        std::fprintf(stderr, "%s: ORVANDE_THREADS=\"%s\" is not a positive whole number; it is ignored\n",
                     tool_name, text);
    return threads;
}

// Ends the run, before anything is read, when the passes over the DEM cannot fit in memory.
static void check_memory_for_dem(int configured)
{
    const int threads = pass_threads_used(nb_lig, nb_col, configured);
    const unsigned long long needed = memory_needed(nb_lig, nb_col, threads);
    const unsigned long long pixels = static_cast<unsigned long long>(nb_lig) * static_cast<unsigned long long>(nb_col);
    if (limits.max_pixels != 0 && pixels > limits.max_pixels)
        fail("a DEM of " + std::to_string(nb_lig) + " lines and " + std::to_string(nb_col) + " columns is larger "
             "than this run allows (" + std::to_string(limits.max_pixels) + " pixels)");
    const MemoryLimit have = memory_available(threads, limits.memory_budget);
    if (needed <= have.bytes) return;
    fail("a DEM of " + std::to_string(nb_lig) + " lines and " + std::to_string(nb_col) + " columns needs about " +
         std::to_string(needed >> 20) + " MiB of memory (a few lines on each of " + std::to_string(threads) +
         " threads); " + have.what + " allows " + std::to_string(have.bytes >> 20) + " MiB");
}

// ---------------------------------------------------------------------------------------
// opening: banner and DEM questions
// ---------------------------------------------------------------------------------------
static void print_banner()
{
    std::printf("\n\n\t**************************************************************");
    std::printf("\n\t*                                                            *");
    std::printf("\n\t*                     ORVANDE_3D                             *");
    std::printf("\n\t*                                                            *");
    std::printf("\n\t*                                                            *");
    std::printf("\n\t*      3x3 roughness ratio of digital elevation models       *");
    std::printf("\n\t*      by the orvande_3d_roughness developers                *");
    std::printf("\n\t*                                                            *");
    std::printf("\n\t*      Version 1.0, December 2026                            *");
    std::printf("\n\t*      C++17 console edition for Linux                       *");
    std::printf("\n\t*                                                            *");
    std::printf("\n\t*      Free to use and to share with its sources             *");
    std::printf("\n\t*                                                            *");
    std::printf("\n\t**************************************************************");
    std::printf("\n\n\tAdaptive version of Orvande in order to calculate the DEM roughness");
}

// Longest suffixes that the paths take after a typed name.
static const size_t dem_suffix = std::strlen("_m2.raw");
static const size_t result_suffix = std::strlen("_roughness_str.raw");

// Folder, DEM name and storage type; fills nomim1 (raster), nomdescr1 (descriptor) and the
// folder part of nomim3 and nomim4.
static void ask_dem_location(char *nomim1, char *nomdescr1)
{
    char nomdir[128], nomfic[128], question[256];
    std::strcpy(nomim1, "c:\\images\\");
    std::snprintf(question, sizeof question,
                  "\n\n\tName of the File Folder located in the Directory %s ? ", nomim1);
    // The folder path must leave room for a name of one character and the longest suffix.
    ask_name(question, "folder", nomdir, std::strlen(nomim1), 1 + 1 + result_suffix);
    std::strcat(nomim1, nomdir);
    std::strcat(nomim1, "\\");
    std::strcpy(nomim3, nomim1);
    std::strcpy(nomim4, nomim1);

    ask_name("\n\tName of the DEM (whitout extension _m4.raw or _m2.raw) ? ", "DEM name", nomfic,
             std::strlen(nomim1), dem_suffix);
    std::strcat(nomim1, nomfic);
    std::strcpy(nomdescr1, nomim1);

    itype_dem1 = ask_number("\n\tType of MNT\n\t\t0 ====> _m2\n\t\t1 ====> _m4\n\t\t", "type of MNT", 0, 1);
    std::strcat(nomim1, itype_dem1 == 0 ? "_m2.raw" : "_m4.raw");
    std::strcat(nomdescr1, itype_dem1 == 0 ? "_m2.txt" : "_m4.txt");
}

// Opens the DEM raster as f1: under its local name, or else under its path text as it
// stands (and then every file of the run keeps its unmapped name). A raster that cannot be
// opened ends the run after one key, with status 1 and no file created.
static void open_dem_raster(const char *nomim1)
{
    const std::string tried = local_path(nomim1);
    int error = 0;
    f1 = open_dem_file(tried, "DEM raster", "rb", error);
    if (f1 == nullptr && error == ENOENT && tried != nomim1) {
        int literal_error = 0;
        f1 = open_dem_file(nomim1, "DEM raster", "rb", literal_error);
        if (f1 != nullptr) unmapped_names = true;
    }
    struct stat st;
    if (f1 != nullptr && fstat(fileno(f1), &st) == 0) dem_raster_id = file_id(st, unmapped_names ? nomim1 : tried);
    if (f1 != nullptr) return;
    std::printf("\n\tFile %s unknown\n", nomim1);
    std::fflush(stdout);
    std::fprintf(stderr, "%s: the DEM raster %s cannot be opened: %s%s\n", tool_name, tried.c_str(),
                 std::strerror(error), missing_raster_hint(tried, itype_dem1).c_str());
    wait_for_key();
    throw RunFailure(""); // said above, before the wait
}

// A missing descriptor: lines, columns and pixel size are typed, and a descriptor holding
// lines, columns and bytes per pixel is created once they are known.
static void create_dem_descriptor(const char *nomdescr1, int &val)
{
    std::printf("\n\tNo File %s \n", nomdescr1);
    nb_lig = ask_count("\n\t\tNumber of lines   ? ", "number of lines");
    nb_col = ask_count("\t\tNumber of columns ? ", "number of columns");
    pix_size1 = ask_number("\t\tPixel size ? ", "pixel size");
    val = (itype_dem1 == 0) ? 2 : 4;
    if (!write_new_dem_descriptor(local_path(nomdescr1), nb_lig, nb_col, val, dem_descriptor_id))
        std::fprintf(stderr, "%s: warning: the DEM descriptor %s could not be created; the run goes on\n",
                     tool_name, local_path(nomdescr1).c_str());
}

// Lines, columns and pixel size from the descriptor, or typed when there is none. Only a
// descriptor that does not exist is missing: one that exists but cannot be read ends the
// run and is left alone.
static void read_or_create_dem_descriptor(const char *nomdescr1)
{
    int val = 0, error = 0;
    const std::string path = local_path(nomdescr1);
    FILE *f1d = open_dem_file(path, "DEM descriptor", "r", error);
    if (f1d == nullptr && error != ENOENT) fail_on_file("cannot read the DEM descriptor", path, error);
    if (f1d == nullptr) {
        create_dem_descriptor(nomdescr1, val);
    } else {
        int *const targets[6] = {&nb_lig, &nb_col, &val, &mind, &maxd, &pix_size1};
        const int values = read_dem_descriptor(f1d, path, targets, dem_descriptor_id);
        if (nb_lig < 1 || nb_col < 1)
            fail("the DEM descriptor " + path + " gives " + std::to_string(nb_lig) + " lines and " +
                 std::to_string(nb_col) + " columns (" + std::to_string(values) +
                 " of its six numbers read); both must be at least 1");
        const int expected = (itype_dem1 == 0) ? 2 : 4;
        if (values >= 3 && val != expected)
            std::fprintf(stderr, "%s: warning: the DEM descriptor gives %d bytes per pixel; the raster "
                         "is read with %d, as its type says\n", tool_name, val, expected);
    }
    nb_threads = pass_threads();
    check_memory_for_dem(nb_threads);
    if (pix_size1 == 0)
        pix_size1 = ask_number("\n\tPixel Size (in meters) ? ", "pixel size in meters");
}

// Reads the raster once for the range of its raw values; it stays open, since the computing
// passes read it again a few lines at a time.
static void scan_dem_raster()
{
    dem.fd = fileno(f1);
    dem.nb_col = nb_col;
    dem.sample = (itype_dem1 == 0) ? 2 : 4;
    scan_raw_range(dem, nb_lig, dem_raster_id, mind, maxd);
}

// The range of the raw values, and its report.
static void report_dem_range()
{
    std::printf("\n\tDynamic scale of the DEM : ");
    std::printf("\n\tMin : %d\tMax : %d ", mind, maxd);
}

static void ask_interval_and_report_size(const char *nomim1)
{
    interv = ask_number("\n\n\tHypsometric Interval of the DEM : "
                        "\n\t\t0 ====> in meters\n\t\t1 ====> in decimeters"
                        "\n\t\t2 ====> in centimeters\n\t\t3 ====> in millimeters\n\t\t",
                        "hypsometric interval", 0, 3);
    std::printf("\n\n\tTHE DEM NAMED %s HAS : ", nomim1);
    std::printf("\n\t            %d LINES", nb_lig);
    std::printf("\n\t        AND %d COLUMNS\n", nb_col);
}

// ---------------------------------------------------------------------------------------
// opening: the results
// ---------------------------------------------------------------------------------------
static void check_result(const char *path, bool is_descriptor)
{
    add_result(local_path(path), is_descriptor, dem_raster_id, dem_descriptor_id);
}

// Generic name and format of the results; whether each result file can be made is decided
// here (two BMP files, or two raw rasters and their descriptors), before any computation. A
// bitmap too large for the BMP header's 32-bit sizes is refused here too.
static void name_and_check_results()
{
    char nomfic1[128];
    ask_name("\n\n\tGeneric name of the two resulting images (without any extension) ? ",
             "generic name of the results", nomfic1, std::strlen(nomim3), result_suffix);
    std::strcat(nomim3, nomfic1);
    std::strcpy(nomdescr3, nomim3);
    std::strcat(nomim4, nomfic1);
    std::strcpy(nomdescr4, nomim4);

    format = ask_number("\n\n\tType of format ? \n\t\t0 ====> bitmap\n\t\t1 ====> raster\n\t\t",
                        "type of format", 0, 1);
    if (format == 0) {
        if (!bmp_describable(nb_lig, nb_col))
            fail("a bitmap of " + std::to_string(nb_lig) + " lines and " + std::to_string(nb_col) +
                 " columns is larger than a BMP file can describe (4 GiB); answer 1 (raster) at the format "
                 "question for raw results");
        std::strcat(nomim3, "_roughness.bmp");
        check_result(nomim3, false);
        std::strcat(nomim4, "_roughness_str.bmp");
        check_result(nomim4, false);
    } else {
        std::strcat(nomim3, "_roughness.raw");
        std::strcat(nomdescr3, "_roughness.txt");
        check_result(nomim3, false);
        check_result(nomdescr3, true);
        std::strcat(nomim4, "_roughness_str.raw");
        std::strcat(nomdescr4, "_roughness_str.txt");
        check_result(nomim4, false);
        check_result(nomdescr4, true);
    }
}

void opening()
{
    char nomim1[128], nomdescr1[128];
    print_banner();
    roughness_type = 0;
    ask_dem_location(nomim1, nomdescr1);
    open_dem_raster(nomim1);
    read_or_create_dem_descriptor(nomdescr1);
    scan_dem_raster();
    report_dem_range();
    ask_interval_and_report_size(nomim1);
    name_and_check_results();
    // The conversion of the raw values to metres (the scan bounds every one of them).
    prepare_metres(dem, interv, mind, maxd);
}

// ---------------------------------------------------------------------------------------
// treatment: the computing passes over the DEM lines
// ---------------------------------------------------------------------------------------
static std::atomic<int> dem_read_error;

// Elevations in metres of DEM lines, for the passes (from any of their threads).
static bool dem_lines(int first, int count, double *out, unsigned char *)
{
    for (int k = 0; k < count; k++)
        if (!metres_line(dem, first + k, out + static_cast<size_t>(k) * nb_col)) {
            dem_read_error = errno;
            return false;
        }
    return true;
}

static RasterInput dem_input()
{
    RasterInput input;
    input.nb_lig = nb_lig;
    input.nb_col = nb_col;
    input.read = dem_lines;
    input.any_thread = true;
    return input;
}

static PassOptions pass_options()
{
    PassOptions options;
    options.threads = nb_threads;
    options.progress = show_pass;
    return options;
}

[[noreturn]] static void pass_failed()
{
    if (dem_read_error == ESTALE) dem_changed(dem_raster_id, "DEM raster");
    if (dem_read_error != 0) fail_on_file("cannot read the DEM raster", dem_raster_id.path, dem_read_error);
    fail("not enough memory for the computing passes");
}

// The range of the ratios, the maximum stretch, and their reports.
static double report_ratio_range_and_stretch(double dmin, double dmax)
{
    std::printf("\n\n\tStretch : Min. = %lf Max. = %lf dif %lf \n", dmin, dmax, difference(dmax, dmin));
    double first;
    const double max_estir = maximum_stretch(dmin, dmax, &first);
    std::printf("\n\n\tmaximum stretch 1 = %lf ", first);
    std::printf("\n\tmaximum stretch 2 = %lf ", max_estir);
    return max_estir;
}

// The progress line, at the start of every hundredth line, shown as the work goes on.
static void show_progress_line(int line)
{
    if (line % 100 != 0) return;
    before_stdout_progress();
    std::printf("\tline %d                   \r", line);
    std::fflush(stdout);
}

// The centred grey level of every pixel (the border 255), written to the centred result a
// block of lines at a time, and the histogram of the interior levels. A result that cannot
// be written is told only once the dialogue has asked its last question, as when the
// results were written at the end: the pass goes on for the histogram.
static void scale_around_128(double max_estir, LevelTally &tally, std::unique_ptr<RunFailure> &write_failure)
{
    std::printf("\n\n");
    try {
        f3 = std::make_unique<ResultImage>(local_path(nomim3), format == 0, nb_lig, nb_col);
    } catch (const RunFailure &failure) {
        write_failure = std::make_unique<RunFailure>(failure);
    }
    LevelRequest request;
    request.sink = [&](const LevelLines &lines) {
        if (write_failure) return;
        try {
            f3->write_lines(lines.first, lines.count, lines.centred);
        } catch (const RunFailure &failure) {
            write_failure = std::make_unique<RunFailure>(failure);
        }
    };
    request.line_progress = show_progress_line;
    if (!levels_pass(dem_input(), max_estir, pass_options(), request, tally)) pass_failed();
}

// The report of the scaled range (dmin, dmax) and of its truncation (min, max).
static void report_scaled_range(double dmin, double dmax, int &min, int &max)
{
    min = static_cast<int>(dmin);
    max = static_cast<int>(dmax);
    std::printf("\n\n\tmin %lf max %lf\n\tmin %d max %d ", dmin, dmax, min, max);
}

// Asks the coefficient of stretching and makes the mapping of every grey level of the
// centred image to its stretched level, from the histogram of the interior levels.
static void stretch_contrast(const LevelTally &tally, int min, int max, unsigned char mapping[256])
{
    stretch = ask_real("\n\n\tCoefficient of stretching ? ", "coefficient of stretching");
    const int64_t iseuil = stretch_iseuil(threshold_pixel_count(nb_lig, nb_col, tally.without_ratio), stretch);
    const int64_t *tab_hist = tally.tab_hist;
    stretch_mapping(lower_cutoff(tab_hist, min, max, iseuil), upper_cutoff(tab_hist, min, max, iseuil), mapping);
}

// ---------------------------------------------------------------------------------------
// treatment: writing the results
// ---------------------------------------------------------------------------------------
// A result descriptor: six integers, then the maximum stretch, the coefficient of
// stretching (stretched result only) and the final dynamic scale.
static std::string result_descriptor(double max_estir, bool with_coefficient, double dmin, double dmax)
{
    char text[512];
    int n = std::snprintf(text, sizeof text, "%d\n%d\n%d\n%d\n%d\n%d\n", nb_lig, nb_col, 1, 0, 255, pix_size1);
    n += std::snprintf(text + n, sizeof text - n, "\n\tmaximum stretch = %lf ", max_estir);
    if (with_coefficient) n += std::snprintf(text + n, sizeof text - n, "\n\tcoefficient of stretching = %lf ", stretch);
    std::snprintf(text + n, sizeof text - n, "\n\tFinal dynamic scale : Min. = %lf  Max. = %lf ", dmin, dmax);
    return text;
}

// The stretched image (the centred one with every byte mapped), the descriptors of raster
// results, and the whole set put in place.
static void write_results(double max_estir, double dmin, double dmax, const unsigned char *mapping)
{
    f4 = std::make_unique<ResultImage>(local_path(nomim4), format == 0, nb_lig, nb_col);
    f4->write_mapped(*f3, mapping);
    f3->finish();
    f4->finish();
    if (format == 1) {
        write_result_text(local_path(nomdescr3), result_descriptor(max_estir, false, dmin, dmax));
        write_result_text(local_path(nomdescr4), result_descriptor(max_estir, true, dmin, dmax));
    }
    put_results_in_place();
}

void treatment()
{
    PartialRange ratios_met;
    if (!ratio_range_pass(dem_input(), pass_options(), ratios_met)) pass_failed();
    const ValueRange ratios = tool_range(ratios_met);
    const double max_estir = report_ratio_range_and_stretch(ratios.dmin, ratios.dmax);
    LevelTally tally;
    std::unique_ptr<RunFailure> write_failure;
    scale_around_128(max_estir, tally, write_failure);
    check_dem_unchanged(dem, dem_raster_id, dem_descriptor_id);
    const ValueRange scaled = tool_range(centred_range(ratios_met, max_estir));
    int min, max;
    report_scaled_range(scaled.dmin, scaled.dmax, min, max);
    unsigned char mapping[256];
    stretch_contrast(tally, min, max, mapping);
    if (write_failure) throw *write_failure;
    write_results(max_estir, scaled.dmin, scaled.dmax, mapping);
}

// ---------------------------------------------------------------------------------------
// The top of a run
// ---------------------------------------------------------------------------------------
// Gives back every file of the run and sets the whole run state to zero.
static void release_run_state()
{
    f3.reset();
    f4.reset();
    forget_results();
    if (f1 != nullptr) std::fclose(f1);
    f1 = nullptr;
    dem = DemRaster{};
    nb_threads = 0;
    dem_read_error = 0;
    nb_lig = nb_col = mind = maxd = pix_size1 = itype_dem1 = format = roughness_type = interv = 0;
    stretch = 0.0;
    nomim3[0] = nomdescr3[0] = nomim4[0] = nomdescr4[0] = '\0';
    unmapped_names = false;
    dem_raster_id = dem_descriptor_id = FileId{};
}

int run_dialogue(const RunLimits &run_limits)
{
    release_run_state();
    limits = run_limits;
    int status = 0;
    try {
        opening();
        treatment();
    } catch (const RunFailure &failure) {
        if (failure.what()[0] != '\0') std::fprintf(stderr, "%s: %s\n", tool_name, failure.what());
        status = failure.status();
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "%s: not enough memory\n", tool_name);
        status = 1;
    } catch (const std::exception &e) { // no thread could be started, or a fault of the tool's own
        std::fprintf(stderr, "%s: %s\n", tool_name, e.what());
        status = 1;
    }
    std::fflush(stdout);
    restore_terminal();
    release_run_state();
    return status;
}
