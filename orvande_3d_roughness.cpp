// orvande_3d_roughness: reads a DEM, computes the 3x3 roughness ratio of every pixel and
// writes it as two 8-bit greyscale images, one centred on grey 128 and one
// contrast-stretched, as BMP files or as raw rasters with a text descriptor.
//
// One run is one pass of questions and answers on the console: main calls opening (the
// dialogue, the loading of the DEM, the creation of the result files) and then treatment
// (the computation and the writing). Both work on the run state below. stdout carries the
// dialogue only; every diagnostic goes to stderr.
#include "orvande_3d_roughness.h"

#include "NRUTIL.h"
#include "image.h"
#include "dem_lines.h"
#include "memory_limits.h"
#include "pixel_arithmetic.h"
#include "result_files.h"
#include "roughness_passes.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>


// ---------------------------------------------------------------------------------------
// Run state: every variable is zero at process start (and again after release_run_state).
// ---------------------------------------------------------------------------------------
static int nb_lig, nb_col;          // lines and columns of the DEM and of every grid
static int mind, maxd;              // range of the raw DEM values
static int pix_size1;               // pixel size in metres
static int itype_dem1;              // 0: _m2 (16-bit samples), 1: _m4 (32-bit samples)
static int format;                  // 0: bitmap results, 1: raster results
static int roughness_type;          // variant of the ratio; 0 is the only one
static int interv;                  // unit of the raw values: 0 m, 1 dm, 2 cm, 3 mm
static double stretch;              // coefficient of stretching
// The grids are held as windows of a few lines, except the centred image: the raw values
// (itab1) and the elevations in metres (dtab1) are read from the raster a line at a time
// (dem), the ratios (dtab) and the centred values (dtab_out) live in the computing passes
// only, and the stretched image (tab_out_str) is the centred one with every byte mapped,
// made once the centred one is written.
static unsigned char **tab_out;     // centred 8-bit roughness image
static DemRaster dem;               // the DEM raster, open for reading while the run lasts
static int nb_threads;              // threads of the computing passes
static char nomim3[128], nomdescr3[128], nomim4[128], nomdescr4[128];
static FILE *f1, *f1d, *f3, *f3d, *f4, *f4d;

// Kept beside the documented state: whether this run uses the path texts as file names
// as they stand (a DEM found under its unmapped name), and which files the DEM is (so that
// no result can be another name of it, and a DEM changed while the run reads it is seen).
static bool unmapped_names;
struct FileId {
    dev_t dev;
    ino_t ino;
    bool known;
    std::string path; // local path, for messages
    off_t size;
    timespec mtime;
};
static FileId dem_raster_id, dem_descriptor_id;

void (*end_run_hook)(int status);
unsigned long long memory_budget;

static const char *const tool_name = "orvande_3d_roughness";
static const int path_room = 127; // characters a 128-character path buffer holds

// ---------------------------------------------------------------------------------------
// The terminal: the key wait puts it in raw mode, and every way out puts it back. Read by
// the signal handler, so the state is plain.
// ---------------------------------------------------------------------------------------
static termios saved_terminal, raw_terminal;
static volatile sig_atomic_t terminal_is_raw;

// Puts the terminal back as the key wait found it (async-signal-safe).
static void restore_terminal()
{
    if (terminal_is_raw) (void)tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
    terminal_is_raw = 0;
}

// Sets raw mode again when the tool is the terminal's foreground (a process in the
// background would be stopped for changing the terminal) and the terminal is not raw.
static void raw_again_in_foreground()
{
    termios now;
    if (terminal_is_raw && tcgetpgrp(STDIN_FILENO) == getpgrp() && tcgetattr(STDIN_FILENO, &now) == 0 &&
        (now.c_lflag & (ICANON | ECHO)))
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &raw_terminal);
}

// Ctrl-Z during the key wait: the terminal as it was while the tool is stopped, raw again
// when it is continued (fg), which the shell does not do.
extern "C" void stop_during_key_wait(int)
{
    const int saved_errno = errno;
    if (terminal_is_raw) (void)tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
    struct sigaction mine;
    sigaction(SIGTSTP, nullptr, &mine);
    signal(SIGTSTP, SIG_DFL);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    raise(SIGTSTP);
    sigaction(SIGTSTP, &mine, nullptr);
    raw_again_in_foreground();
    errno = saved_errno;
}

extern "C" void continue_key_wait(int)
{
    const int saved_errno = errno;
    raw_again_in_foreground();
    errno = saved_errno;
}

// Installs (or, with `on` false, takes back) the handlers of the key wait's stops.
static void handle_stops_during_key_wait(bool on)
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_flags = SA_RESTART;
    // SIGTTOU held: a handler that runs once the shell has taken the terminal back (after
    // the shell saw the job stop) must not be stopped halfway, and then stop again after fg.
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGTTOU);
    action.sa_handler = on ? stop_during_key_wait : SIG_DFL;
    sigaction(SIGTSTP, &action, nullptr);
    action.sa_handler = on ? continue_key_wait : SIG_DFL;
    sigaction(SIGCONT, &action, nullptr);
}

// ---------------------------------------------------------------------------------------
// Ends of the run
// ---------------------------------------------------------------------------------------
static std::string local_path(const char *text);

void end_run(int status)
{
    std::fflush(stdout);
    remove_temporaries();
    restore_terminal();
    if (end_run_hook) {
        end_run_hook(status);
        std::abort(); // a hook must not return
    }
    std::exit(status);
}

[[noreturn]] static void fail(const char *message, const char *detail)
{
    std::fprintf(stderr, "%s: %s%s\n", tool_name, message, detail);
    end_run(1);
}

// The same, naming a file and the system's reason.
[[noreturn]] static void fail_on_file(const char *what, const std::string &path, int error)
{
    std::fprintf(stderr, "%s: %s %s: %s\n", tool_name, what, path.c_str(), std::strerror(error));
    end_run(1);
}

// The console output cannot be written (a closed pipe, a full disk): the dialogue is over.
static void check_dialogue_written()
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
    const int error = errno;
    std::clearerr(stdout);
    std::fprintf(stderr, "%s: the dialogue cannot be written on the standard output (%s); the run ends\n",
                 tool_name, std::strerror(error));
    end_run(1);
}

// ---------------------------------------------------------------------------------------
// Files: a path text such as c:\images\zone1\site_m2.raw names the local file
// c:/images/zone1/site_m2.raw below the working directory (the folder c: stands for the
// drive), unless the run keeps unmapped names.
// ---------------------------------------------------------------------------------------
static std::string local_path(const char *text)
{
    std::string path(text);
    if (!unmapped_names)
        for (char &ch : path)
            if (ch == '\\') ch = '/';
    return path;
}

static FileId file_id(const struct stat &st, const std::string &path)
{
    return FileId{st.st_dev, st.st_ino, true, path, st.st_size, st.st_mtim};
}

static bool same_file(const FileId &id, const struct stat &st)
{
    return id.known && id.dev == st.st_dev && id.ino == st.st_ino;
}

// Whether `st` is the file `id` with the size and modification time it had.
static bool unchanged(const FileId &id, const struct stat &st)
{
    return same_file(id, st) && st.st_size == id.size && st.st_mtim.tv_sec == id.mtime.tv_sec &&
           st.st_mtim.tv_nsec == id.mtime.tv_nsec;
}

// A DEM file that changed while the run read it ends the run.
[[noreturn]] static void dem_changed(const FileId &id, const char *what)
{
    std::fprintf(stderr, "%s: the %s %s changed while the run was reading it; no result is written, earlier "
                 "results are left as they were\n", tool_name, what, id.path.c_str());
    end_run(1);
}

// Opens a DEM file for reading. A file that is missing (or unreadable) gives null and the
// reason in `error`; one that is not a regular file (a folder, a FIFO, a device) is refused
// before it is opened, since opening a FIFO would wait forever.
static FILE *open_dem_file(const std::string &path, const char *what, const char *mode, int &error)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        error = errno;
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "%s: the %s %s is not a regular file; it is not read\n", tool_name, what, path.c_str());
        end_run(1);
    }
    FILE *f = std::fopen(path.c_str(), mode);
    error = (f == nullptr) ? errno : 0;
    return f;
}

// ---------------------------------------------------------------------------------------
// Progress on stderr, when it is a terminal: the name of the pass at work and how much of
// it is done, in place, at most four times a second, and cleared when the pass ends and
// before anything is written on stdout (which may be the same terminal). Nothing for a pass
// that ends within a quarter of a second; nothing on stdout.
// ---------------------------------------------------------------------------------------
struct PassDisplay {
    std::chrono::steady_clock::time_point last;
    int width;              // characters shown, 0 when nothing is
    bool stdout_line_shown; // the pass's "line N" progress is on stdout
};
static PassDisplay pass_display;

static void clear_pass_display()
{
    if (pass_display.width == 0) return;
    std::fprintf(stderr, "\r%*s\r", pass_display.width, "");
    std::fflush(stderr);
    pass_display.width = 0;
}

// ---------------------------------------------------------------------------------------
// Asking: every question goes through these helpers. Each prints its question, flushes
// stdout and reads one word of the answer. End of input at any question ends the run.
// ---------------------------------------------------------------------------------------
enum ReadOutcome { READ_OK, READ_NOT_A_NUMBER, READ_END };

// Reads one word: leading blanks and line ends are skipped, the word ends at the next
// blank or line end. Words longer than any path are kept in part (their length still
// tells that they are too long).
static ReadOutcome read_word(std::string &word)
{
    const size_t kept = 4 * path_room;
    int ch;
    do ch = std::getc(stdin);
    while (ch != EOF && std::isspace(ch));
    if (ch == EOF) return READ_END;
    word.clear();
    while (ch != EOF && !std::isspace(ch)) {
        if (word.size() <= kept) word.push_back(static_cast<char>(ch));
        ch = std::getc(stdin);
    }
    if (ch != EOF) std::ungetc(ch, stdin);
    return READ_OK;
}

// A whole number in the int range at the start of a word ("12" or "-3"; "12abc" is 12).
static ReadOutcome read_whole_number(int &value)
{
    std::string word;
    if (read_word(word) == READ_END) return READ_END;
    if (word.find('\0') != std::string::npos) return READ_NOT_A_NUMBER;
    errno = 0;
    char *end = nullptr;
    const long x = std::strtol(word.c_str(), &end, 10);
    if (end == word.c_str() || errno == ERANGE || x < INT_MIN || x > INT_MAX) return READ_NOT_A_NUMBER;
    value = static_cast<int>(x);
    return READ_OK;
}

// A finite real number at the start of a word.
static ReadOutcome read_real_number(double &value)
{
    std::string word;
    if (read_word(word) == READ_END) return READ_END;
    if (word.find('\0') != std::string::npos) return READ_NOT_A_NUMBER;
    char *end = nullptr;
    const double x = std::strtod(word.c_str(), &end);
    if (end == word.c_str() || !std::isfinite(x)) return READ_NOT_A_NUMBER;
    value = x;
    return READ_OK;
}

[[noreturn]] static void input_ended(const char *what)
{
    std::fprintf(stderr, "%s: end of input at the question: %s\n", tool_name, what);
    end_run(1);
}

// Prints a question (and whatever the dialogue printed before it) and makes sure it
// reached the standard output.
static void show(const char *text)
{
    clear_pass_display();
    std::fputs(text, stdout);
    check_dialogue_written();
}

// A whole number from lowest to highest; any other answer, or one that is not a number,
// is discarded and the question (a whole menu, for a menu) shown again.
static int ask_number(const char *question, const char *what, int lowest = INT_MIN, int highest = INT_MAX)
{
    for (;;) {
        show(question);
        int value = 0;
        const ReadOutcome got = read_whole_number(value);
        if (got == READ_END) input_ended(what);
        if (got == READ_OK && value >= lowest && value <= highest) return value;
    }
}

// A count of lines or columns: at least 1.
static int ask_count(const char *question, const char *what)
{
    for (;;) {
        const int value = ask_number(question, what);
        if (value >= 1) return value;
        std::fprintf(stderr, "%s: the %s must be at least 1\n", tool_name, what);
    }
}

static double ask_real(const char *question, const char *what)
{
    for (;;) {
        show(question);
        double value = 0.0;
        const ReadOutcome got = read_real_number(value);
        if (got == READ_END) input_ended(what);
        if (got == READ_OK) return value;
    }
}

// One word, appended later to a path that already holds `prefix` characters and will take
// a suffix of at most `suffix` characters: a word that would make the path longer than a
// path buffer holds is refused and the question asked again.
static void ask_name(const char *question, const char *what, char *dest, size_t prefix, size_t suffix)
{
    for (;;) {
        show(question);
        std::string word;
        if (read_word(word) == READ_END) input_ended(what);
        if (word.find('\0') != std::string::npos) {
            std::fprintf(stderr, "%s: the %s holds a NUL byte; type another\n", tool_name, what);
            continue;
        }
        if (prefix + word.size() + suffix <= static_cast<size_t>(path_room)) {
            std::memcpy(dest, word.c_str(), word.size() + 1);
            return;
        }
        std::fprintf(stderr, "%s: the %s \"%.40s...\" would make a path longer than %d characters; "
                     "type a shorter one\n", tool_name, what, word.c_str(), path_room);
    }
}

// Waits for one key in raw mode. A shell may put the terminal back as it was when the tool
// stopped (Ctrl-Z) after fg has continued it: raw mode is then set again.
static void read_key_in_raw_mode()
{
    for (;;) {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&in, 1, 200);
        char key;
        if (ready > 0 && (read(STDIN_FILENO, &key, 1) >= 0 || errno != EINTR)) return;
        if (ready < 0 && errno != EINTR) return;
        if (ready == 0) raw_again_in_foreground();
    }
}

// The one key that ends a run whose DEM raster is missing: on a terminal, raw mode without
// echo and without Enter (set again after Ctrl-Z and fg), and whatever else was typed is
// discarded, so that a line typed at the wait never reaches the shell; otherwise one byte
// of the input (end of input ends at once). The saved settings are put back on every way
// out (restore_terminal).
static void wait_for_key()
{
    std::fflush(stdout);
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved_terminal) == 0) {
        raw_terminal = saved_terminal;
        raw_terminal.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw_terminal.c_cc[VMIN] = 1;
        raw_terminal.c_cc[VTIME] = 0;
        terminal_is_raw = 1;
        handle_stops_during_key_wait(true);
        tcsetattr(STDIN_FILENO, TCSANOW, &raw_terminal);
        read_key_in_raw_mode();
        usleep(50000); // the rest of a line typed or pasted at once
        tcflush(STDIN_FILENO, TCIFLUSH);
        restore_terminal();
        handle_stops_during_key_wait(false);
        return;
    }
    (void)std::getc(stdin);
}

// Whether stdout and stderr are the same terminal.
static bool same_terminal()
{
    struct stat out, err;
    return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 && S_ISCHR(out.st_mode) &&
           out.st_rdev == err.st_rdev;
}

// The display of a pass at `fraction` of its work.
// A pass whose progress stdout shows on the same terminal is not shown over it.
static void show_pass(const char *pass, double fraction)
{
    static const bool on = isatty(STDERR_FILENO);
    if (!on) return;
    const auto now = std::chrono::steady_clock::now();
    if (fraction <= 0.0) pass_display.last = now, pass_display.stdout_line_shown = false;
    if (fraction >= 1.0) clear_pass_display();
    if (fraction <= 0.0 || fraction >= 1.0 || now - pass_display.last < std::chrono::milliseconds(250)) return;
    if (pass_display.stdout_line_shown && same_terminal()) return;
    pass_display.last = now;
    const int width = std::fprintf(stderr, "\r%s: %s %3d%% ", tool_name, pass, static_cast<int>(fraction * 100.0));
    std::fflush(stderr);
    pass_display.width = std::max(pass_display.width, width - 1);
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

// Ends the run, before anything is allocated, when the DEM cannot fit in memory.
static void check_memory_for_dem(int configured)
{
    const int threads = pass_threads_used(nb_lig, nb_col, configured);
    const unsigned long long needed = memory_needed(nb_lig, nb_col, threads);
    const MemoryLimit have = memory_available(threads, memory_budget);
    if (needed <= have.bytes) return;
    std::fprintf(stderr, "%s: a DEM of %d lines and %d columns needs about %llu MiB of memory "
                 "(1 byte a pixel, and a few lines on each of %d threads); %s allows %llu MiB\n", tool_name,
                 nb_lig, nb_col, needed >> 20, threads, have.what, have.bytes >> 20);
    end_run(1);
}

// A grid that could not be allocated ends the run.
template <typename T> static T **require_grid(T **grid, const char *name)
{
    if (grid == nullptr) {
        std::fprintf(stderr, "%s: not enough memory for the grid %s (%d lines, %d columns)\n",
                     tool_name, name, nb_lig, nb_col);
        end_run(1);
    }
    return grid;
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

// A hint for a raster that is missing: a raster of the other storage type under the same
// name, or a name typed with its storage suffix.
static std::string missing_raster_hint(const char *nomim1)
{
    std::string path = local_path(nomim1);
    const size_t suffix = std::strlen("_m2.raw");
    std::string other = path;
    other.replace(other.size() - 5, 1, itype_dem1 == 0 ? "4" : "2");
    struct stat st;
    if (stat(other.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return "; a raster of the other storage type exists: " + other + " (answer " +
               (itype_dem1 == 0 ? "1" : "0") + " at the type question)";
    const std::string name = path.substr(0, path.size() - suffix);
    for (const char *typed : {"_m2", "_m4", "_m2.raw", "_m4.raw"}) {
        const size_t n = std::strlen(typed);
        if (name.size() >= n && name.compare(name.size() - n, n, typed) == 0)
            return std::string("; type the DEM name without its ") + typed + " suffix";
    }
    return "";
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
                 std::strerror(error), missing_raster_hint(nomim1).c_str());
    wait_for_key();
    end_run(1);
}

// Reads a whole number as "%d" does: blanks skipped, an optional sign, digits. Anything
// else, or a number outside the int range, is not a whole number.
static bool scan_whole_number(FILE *f, int &value)
{
    int ch;
    do ch = std::getc(f);
    while (ch != EOF && std::isspace(ch));
    const bool negative = (ch == '-');
    if (ch == '-' || ch == '+') ch = std::getc(f);
    if (ch == EOF || !std::isdigit(ch)) return false;
    long long x = 0;
    while (ch != EOF && std::isdigit(ch)) {
        x = x * 10 + (ch - '0');
        if (x > 1LL + INT_MAX) return false;
        ch = std::getc(f);
    }
    if (ch != EOF) std::ungetc(ch, f);
    if (negative) x = -x;
    if (x < INT_MIN || x > INT_MAX) return false;
    value = static_cast<int>(x);
    return true;
}

// Reads the six numbers of an open DEM descriptor (lines, columns, bytes per pixel,
// minimum, maximum, pixel size); reading stops at the first item that is not a whole
// number, and every value not read stays 0. Returns how many were read. A descriptor that
// cannot be read to its end ends the run.
static int read_dem_descriptor(const std::string &path, int &val)
{
    int *targets[6] = {&nb_lig, &nb_col, &val, &mind, &maxd, &pix_size1};
    int count = 0;
    while (count < 6 && scan_whole_number(f1d, *targets[count])) count++;
    const bool failed = std::ferror(f1d);
    const int error = errno;
    struct stat st;
    if (fstat(fileno(f1d), &st) == 0) dem_descriptor_id = file_id(st, path);
    std::fclose(f1d);
    f1d = nullptr;
    if (failed) fail_on_file("cannot read the DEM descriptor", path, error);
    return count;
}

// Writes the three numbers of a new DEM descriptor into a file created for it (never
// through a link or over a file that appeared meanwhile); false when that fails.
static bool write_new_dem_descriptor(const std::string &path, int val)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) return false;
    f1d = fdopen(fd, "w");
    if (f1d == nullptr) {
        close(fd);
        return false;
    }
    std::fprintf(f1d, "%d\n%d\n%d\n", nb_lig, nb_col, val);
    bool written = std::fflush(f1d) == 0 && !std::ferror(f1d);
    struct stat st;
    if (fstat(fd, &st) == 0) dem_descriptor_id = file_id(st, path);
    written = (std::fclose(f1d) == 0) && written;
    f1d = nullptr;
    return written;
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
    if (!write_new_dem_descriptor(local_path(nomdescr1), val))
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
    f1d = open_dem_file(path, "DEM descriptor", "r", error);
    if (f1d == nullptr && error != ENOENT) fail_on_file("cannot read the DEM descriptor", path, error);
    if (f1d == nullptr) {
        create_dem_descriptor(nomdescr1, val);
    } else {
        const int values = read_dem_descriptor(path, val);
        if (nb_lig < 1 || nb_col < 1) {
            std::fprintf(stderr, "%s: the DEM descriptor %s gives %d lines and %d columns "
                         "(%d of its six numbers read); both must be at least 1\n", tool_name,
                         path.c_str(), nb_lig, nb_col, values);
            end_run(1);
        }
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

// Warns about a raster shorter or longer than its descriptor says.
static void check_raster_length(const char *nomim1, unsigned long long bytes_read)
{
    const unsigned long long expected = static_cast<unsigned long long>(nb_lig) * static_cast<unsigned long long>(nb_col);
    const size_t sample = static_cast<size_t>(dem.sample);
    if (bytes_read < expected * sample) {
        std::fprintf(stderr, "%s: warning: the raster %s holds %llu of the %llu samples expected "
                     "(%d lines, %d columns); the missing ones are 0\n", tool_name,
                     local_path(nomim1).c_str(), bytes_read / sample, expected, nb_lig, nb_col);
        return;
    }
    const int more = raster_goes_on(dem, nb_lig);
    if (more < 0) fail_on_file("cannot read the DEM raster", local_path(nomim1), errno);
    if (more > 0)
        std::fprintf(stderr, "%s: warning: the raster %s is longer than %llu samples; the rest is ignored\n",
                     tool_name, local_path(nomim1).c_str(), expected);
}

// Reads the raster once, line after line, for the range of the raw values: from the start
// values 10000000 and 0, so that a DEM of values 0 or below shows a maximum of 0, and with
// the missing samples of a short raster counted as 0. A read error ends the run. The
// raster stays open: the computing passes read it again, a few lines at a time.
static void scan_dem_raster(const char *nomim1)
{
    dem.fd = fileno(f1);
    dem.nb_col = nb_col;
    dem.sample = (itype_dem1 == 0) ? 2 : 4;
    struct stat st;
    if (fstat(dem.fd, &st) == 0) {
        dem_raster_id = file_id(st, dem_raster_id.path);
        dem.held = st.st_size;
    }
    const size_t line_bytes = static_cast<size_t>(nb_col) * static_cast<size_t>(dem.sample);
    const int block = static_cast<int>(std::max<size_t>(1, std::min<size_t>(nb_lig, (1u << 20) / line_bytes)));
    std::vector<unsigned char> scratch(line_bytes * static_cast<size_t>(block));
    int32_t lowest = 10000000, highest = 0;
    unsigned long long bytes = 0;
    show_pass("reading the DEM", 0.0);
    for (int i = 0; i < nb_lig; i += block) {
        const long long got = widen_raw_range(dem, i, std::min(block, nb_lig - i), scratch.data(), lowest, highest);
        if (got < 0 && errno == ESTALE) dem_changed(dem_raster_id, "DEM raster");
        if (got < 0) fail_on_file("cannot read the DEM raster", local_path(nomim1), errno);
        bytes += static_cast<unsigned long long>(got);
        show_pass("reading the DEM", (i + 1.0) / nb_lig);
    }
    show_pass("reading the DEM", 1.0);
    mind = lowest;
    maxd = highest;
    check_raster_length(nomim1, bytes);
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
// Result files. Each result is written under a temporary name beside its final name, and
// the results are renamed over their names as one set once every one is complete and
// closed, the descriptors last: a run that fails or is interrupted leaves earlier results
// byte for byte as they were. A result name that is a symbolic link is written where the
// link leads (the link stays).
// ---------------------------------------------------------------------------------------
struct Result {
    const char *path;    // nomim3, nomdescr3, nomim4 or nomdescr4
    std::string target;  // the local file that receives it
    bool is_descriptor;
    int temporary;       // its slot in temporaries once created, else -1
};
static Result results[4];
static int nb_results;

[[noreturn]] static void result_not_creatable(const char *path, int error)
{
    fail_on_file("cannot create the result file", local_path(path), error);
}

// Decides at the format answer whether a result can be made: its name is not taken by a
// folder or another file that is not a regular file, is not another name of the DEM
// raster or descriptor, its folder takes a new file, and an earlier result there can be
// replaced.
static void check_result(const char *path, bool is_descriptor)
{
    Result &r = results[nb_results++];
    r = Result{path, link_target(local_path(path)), is_descriptor, -1};
    struct stat st;
    if (stat(r.target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) result_not_creatable(path, EISDIR);
        for (const FileId *dem : {&dem_raster_id, &dem_descriptor_id})
            if (same_file(*dem, st)) {
                std::fprintf(stderr, "%s: the result file %s is the DEM file %s under another name; nothing "
                             "is written\n", tool_name, local_path(path).c_str(), dem->path.c_str());
                end_run(1);
            }
        if (!S_ISREG(st.st_mode)) {
            std::fprintf(stderr, "%s: the result file %s is not a regular file; nothing is written\n",
                         tool_name, local_path(path).c_str());
            end_run(1);
        }
    }
    const bool earlier = lstat(r.target.c_str(), &st) == 0;
    const int error = check_replaceable(r.target);
    if (error != 0 && earlier) fail_on_file("cannot replace the earlier result file", local_path(path), error);
    if (error != 0) result_not_creatable(path, error);
}

static Result &result_of(const char *path)
{
    for (int k = 0; k < nb_results; k++)
        if (results[k].path == path) return results[k];
    std::abort(); // every path written was checked at the format answer
}

[[noreturn]] static void write_failed(const char *path, int error)
{
    std::fprintf(stderr, "%s: could not write the result file %s: %s; earlier results are left as they were\n",
                 tool_name, local_path(path).c_str(), error != 0 ? std::strerror(error) : "write error");
    end_run(1);
}

// A stream on a new temporary file for the result `path`, with a buffer of 1 MiB.
static FILE *open_result(const char *path)
{
    Result &r = result_of(path);
    const int fd = create_temporary_beside(r.target, r.temporary);
    if (fd < 0) write_failed(path, errno);
    FILE *f = fdopen(fd, "wb");
    if (f == nullptr) {
        close(fd);
        write_failed(path, errno);
    }
    std::setvbuf(f, nullptr, _IOFBF, 1 << 20);
    return f;
}

// Closes a result stream; a write, flush or close that failed ends the run.
static void close_result(FILE *&f, const char *path)
{
    const bool ok = !std::ferror(f);
    const int error = errno;
    const bool closed = std::fclose(f) == 0;
    f = nullptr;
    if (!ok || !closed) write_failed(path, ok ? errno : error);
}

// Renames every complete result over its final name as one set, images and rasters first
// and the descriptors last: all of them, or none and the earlier results as they were.
static void put_results_in_place()
{
    check_dialogue_written();
    std::vector<SetMember> set;
    std::vector<const Result *> order;
    for (int descriptors = 0; descriptors < 2; descriptors++)
        for (int k = 0; k < nb_results; k++)
            if (results[k].is_descriptor == (descriptors == 1) && results[k].temporary >= 0) {
                set.push_back(SetMember{results[k].temporary, results[k].target});
                order.push_back(&results[k]);
            }
    SetFailure failure;
    if (put_set_in_place(set, failure)) return;
    const std::string shown = local_path(order[static_cast<size_t>(failure.member)]->path);
    if (failure.displaced)
        std::fprintf(stderr, "%s: the result file %s was replaced by another file while it was put in place "
                     "(that entry was removed); earlier results are left as they were\n", tool_name, shown.c_str());
    else
        std::fprintf(stderr, "%s: could not put in place the result file %s: %s; earlier results are left as "
                     "they were\n", tool_name, shown.c_str(), std::strerror(failure.error));
    end_run(1);
}

// ---------------------------------------------------------------------------------------
// opening: results and working grids
// ---------------------------------------------------------------------------------------
// Generic name and format of the results; whether each result file can be made is decided
// here (two BMP files, or two raw rasters and their descriptors), before any computation.
static void name_and_create_results()
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

// Allocates the centred image, the one grid kept whole, and prepares the conversion of
// the raw values to metres (the scan bounds every one of them: mind <= value <= maxd).
static void prepare_working_grids()
{
    tab_out = require_grid(ucmatrice(nb_col, nb_lig), "tab_out");
    prepare_metres(dem, interv, mind, maxd);
}

void opening()
{
    char nomim1[128], nomdescr1[128];
    print_banner();
    roughness_type = 0;
    ask_dem_location(nomim1, nomdescr1);
    open_dem_raster(nomim1);
    read_or_create_dem_descriptor(nomdescr1);
    scan_dem_raster(nomim1);
    report_dem_range();
    ask_interval_and_report_size(nomim1);
    name_and_create_results();
    prepare_working_grids();
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
    fail("not enough memory for ", "the computing passes");
}

// Ends the run when a DEM file is no longer what the range scan read: another file under
// its name, or a size or modification time of its own that changed since.
static void check_dem_unchanged()
{
    struct stat st;
    if (fstat(dem.fd, &st) != 0 || !unchanged(dem_raster_id, st) || stat(dem_raster_id.path.c_str(), &st) != 0 ||
        !unchanged(dem_raster_id, st))
        dem_changed(dem_raster_id, "DEM raster");
    if (dem_descriptor_id.known &&
        (stat(dem_descriptor_id.path.c_str(), &st) != 0 || !unchanged(dem_descriptor_id, st)))
        dem_changed(dem_descriptor_id, "DEM descriptor");
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
    clear_pass_display();
    pass_display.stdout_line_shown = true;
    std::printf("\tline %d                   \r", line);
    std::fflush(stdout);
}

// The centred grey level of every pixel into tab_out (the border 255), a block of lines at a
// time, and the histogram of the interior levels.
static void scale_around_128(double max_estir, LevelTally &tally)
{
    std::printf("\n\n");
    LevelRequest request;
    request.sink = [](const LevelLines &lines) {
        for (int k = 0; k < lines.count; k++)
            std::memcpy(tab_out[lines.first + k], lines.centred + static_cast<size_t>(k) * nb_col,
                        static_cast<size_t>(nb_col));
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
// Prints a result descriptor: six integers, then the maximum stretch, the coefficient of
// stretching (stretched result only) and the final dynamic scale.
static void write_result_descriptor(FILE *&f, const char *path, double max_estir, bool with_coefficient,
                                    double dmin, double dmax)
{
    f = open_result(path);
    std::fprintf(f, "%d\n%d\n%d\n%d\n%d\n%d\n", nb_lig, nb_col, 1, 0, 255, pix_size1);
    std::fprintf(f, "\n\tmaximum stretch = %lf ", max_estir);
    if (with_coefficient) std::fprintf(f, "\n\tcoefficient of stretching = %lf ", stretch);
    std::fprintf(f, "\n\tFinal dynamic scale : Min. = %lf  Max. = %lf ", dmin, dmax);
    close_result(f, path);
}

// Writes the centred image as a raw raster, one write per line, each byte mapped when a
// mapping is given (the stretched image, a line at a time: tab_out_str as a window).
static void write_raw_raster(FILE *&f, const char *path, const unsigned char *mapping)
{
    f = open_result(path);
    const size_t cols = static_cast<size_t>(nb_col);
    std::vector<unsigned char> tab_out_str(mapping != nullptr ? cols : 0);
    for (int i = 0; i < nb_lig; i++) {
        const unsigned char *line = tab_out[i];
        if (mapping != nullptr) {
            for (size_t j = 0; j < cols; j++) tab_out_str[j] = mapping[line[j]];
            line = tab_out_str.data();
        }
        if (std::fwrite(line, 1, cols, f) != cols) write_failed(path, errno);
    }
    close_result(f, path);
}

// Maps every byte of the centred image, which becomes the stretched one.
static void stretch_in_place(const unsigned char *mapping)
{
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++) tab_out[i][j] = mapping[tab_out[i][j]];
}

static void write_bitmap(FILE *&f, const char *path, unsigned char **grid)
{
    f = open_result(path);
    errno = 0;
    if (SauveBMPFile(f, grid, nb_col, nb_lig, 0, nullptr) != 0) write_failed(path, errno);
    close_result(f, path);
}

static void write_results(double max_estir, double dmin, double dmax, const unsigned char *mapping)
{
    if (format == 0) {
        write_bitmap(f3, nomim3, tab_out);
        stretch_in_place(mapping);
        write_bitmap(f4, nomim4, tab_out);
    } else {
        write_result_descriptor(f3d, nomdescr3, max_estir, false, dmin, dmax);
        write_raw_raster(f3, nomim3, nullptr);
        write_result_descriptor(f4d, nomdescr4, max_estir, true, dmin, dmax);
        write_raw_raster(f4, nomim4, mapping);
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
    scale_around_128(max_estir, tally);
    check_dem_unchanged();
    const ValueRange scaled = tool_range(centred_range(ratios_met, max_estir));
    int min, max;
    report_scaled_range(scaled.dmin, scaled.dmax, min, max);
    unsigned char mapping[256];
    stretch_contrast(tally, min, max, mapping);
    write_results(max_estir, scaled.dmin, scaled.dmax, mapping);
}

// ---------------------------------------------------------------------------------------
// Reset, for in-process drivers
// ---------------------------------------------------------------------------------------
template <typename T> static void release_grid(T **&grid, void (*release)(T **, int))
{
    release(grid, nb_lig);
    grid = nullptr;
}

static void close_file(FILE *&f)
{
    if (f != nullptr) std::fclose(f);
    f = nullptr;
}

void release_run_state()
{
    release_grid(tab_out, frucmatrice);
    dem = DemRaster{};
    nb_threads = 0;
    dem_read_error = 0;
    for (FILE **f : {&f1, &f1d, &f3, &f3d, &f4, &f4d}) close_file(*f);
    nb_lig = nb_col = mind = maxd = pix_size1 = itype_dem1 = format = roughness_type = interv = 0;
    stretch = 0.0;
    nomim3[0] = nomdescr3[0] = nomim4[0] = nomdescr4[0] = '\0';
    unmapped_names = false;
    dem_raster_id = dem_descriptor_id = FileId{};
    remove_temporaries();
    for (Result &r : results) r = Result{};
    nb_results = 0;
}

#ifndef ORVANDE_NO_MAIN
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

// Answers --help and --version (status 0) and refuses any other argument (status 2).
static void answer_command_line(int argc, char **argv)
{
    if (argc < 2) return;
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
    std::exit(status);
}

int main(int argc, char **argv)
{
    reopen_closed_standard_streams();
    answer_command_line(argc, argv);
    handle_interrupting_signals(tool_name, restore_terminal);
    opening();
    treatment();
    return 0;
}
#endif
