// The command orvande_3d_roughness: a run of the dialogue (orvande_3d_roughness.cpp) on the
// standard streams, or --help and --version. Exit status: 0 for a finished run, 1 for any
// failure, 2 for a bad command-line option; an interrupting signal ends the process as that
// signal would, leaving earlier results as they were.
#include "asking.h"
#include "orvande_3d_roughness.h"
#include "result_files.h"
#include "run_failure.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <unistd.h>

// A standard stream closed by the caller is opened on /dev/null, so that no file of the run
// takes its number and receives the dialogue or the messages.
static void reopen_closed_standard_streams()
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) (void)open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
}

// ---------------------------------------------------------------------------------------
// Command line: none for a run; --help and --version only.
// ---------------------------------------------------------------------------------------
static const char *const version_text = "orvande_3d_roughness 1.0\n";

static void print_usage(FILE *to)
{
    std::fputs("Usage: orvande_3d_roughness            (the run: questions on stdin, dialogue on stdout)\n"
               "       orvande_3d_roughness --help | --version\n", to);
}

static void print_help()
{
    print_usage(stdout);
    std::fputs(
        "\nComputes the 3x3 roughness ratio of every pixel of a DEM and writes it as two 8-bit\n"
        "greyscale images: one centred on grey 128, one contrast-stretched.\n"
        "\nQuestions, in order (answers are words separated by blanks or line ends):\n"
        "  folder below c:\\images\\;  DEM name (without _m2/_m4);  storage type 0 (_m2, 16-bit\n"
        "  unsigned) or 1 (_m4, 32-bit signed);  when the DEM has no descriptor: lines,\n"
        "  columns, pixel size;  pixel size in metres, when it is 0;  unit of the values\n"
        "  0 m, 1 dm, 2 cm, 3 mm;  generic name of the results;  format 0 (bitmap) or\n"
        "  1 (raster);  coefficient of stretching (percent cut at each end).\n"
        "\nFiles, below the working directory (c:\\images\\F\\ is the folder c:/images/F/):\n"
        "  reads   NAME_m2.raw or NAME_m4.raw (little-endian, headerless) and its descriptor\n"
        "          NAME_m2.txt / NAME_m4.txt (lines, columns, bytes per pixel, min, max,\n"
        "          pixel size); a missing descriptor is created with three numbers\n"
        "  writes  RESULT_roughness.bmp and RESULT_roughness_str.bmp, or RESULT_roughness.raw,\n"
        "          RESULT_roughness.txt, RESULT_roughness_str.raw, RESULT_roughness_str.txt;\n"
        "          earlier results are replaced only once the new ones are complete\n"
        "\nExit status: 0 finished run; 1 any failure (missing raster, unreadable or unusable\n"
        "DEM, end of input, a result that cannot be written); 2 bad command-line option.\n"
        "An interrupting signal (SIGINT, SIGTERM, SIGHUP) ends the run as that signal does,\n"
        "leaving earlier results as they were.\n", stdout);
}

// Answers --help and --version (status 0) and refuses any other argument (status 2); -1
// when there is no argument: a run.
static int answer_command_line(int argc, char **argv)
{
    if (argc < 2) return -1;
    const std::string arg = argv[1];
    int status = 2;
    if (argc == 2 && (arg == "--help" || arg == "-h")) {
        print_help();
        status = 0;
    } else if (argc == 2 && arg == "--version") {
        std::fputs(version_text, stdout);
        status = 0;
    } else {
        std::fprintf(stderr, "%s: unknown argument %s\n", tool_name, arg.c_str());
        print_usage(stderr);
    }
    if (std::fflush(stdout) != 0) status = 1;
    return status;
}

int main(int argc, char **argv)
{
    reopen_closed_standard_streams();
    const int answered = answer_command_line(argc, argv);
    if (answered >= 0) return answered;
    handle_interrupting_signals(tool_name, restore_terminal);
    return run_dialogue();
}
