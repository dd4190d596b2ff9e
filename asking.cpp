// The tool's questions and answers on the console (see asking.h).
#include "asking.h"

#include "pass_display.h"
#include "run_failure.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

// ---------------------------------------------------------------------------------------
// The terminal: the key wait puts it in raw mode, and every way out puts it back. Read by
// the signal handlers, so the state is plain.
// ---------------------------------------------------------------------------------------
static termios saved_terminal, raw_terminal;
static volatile sig_atomic_t terminal_is_raw;

// Puts the terminal back as the key wait found it (async-signal-safe).
void restore_terminal()
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
// Reading answers
// ---------------------------------------------------------------------------------------
void check_dialogue_written()
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
    const int error = errno;
    std::clearerr(stdout);
    fail(std::string("the dialogue cannot be written on the standard output (") + std::strerror(error) +
         "); the run ends");
}

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
    fail(std::string("end of input at the question: ") + what);
}

// Prints a question (and whatever the dialogue printed before it) and makes sure it
// reached the standard output.
void show(const char *text)
{
    clear_pass_display();
    std::fputs(text, stdout);
    check_dialogue_written();
}

// A whole number from lowest to highest; any other answer, or one that is not a number,
// is discarded and the question (a whole menu, for a menu) shown again.
int ask_number(const char *question, const char *what, int lowest, int highest)
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
int ask_count(const char *question, const char *what)
{
    for (;;) {
        const int value = ask_number(question, what);
        if (value >= 1) return value;
        std::fprintf(stderr, "%s: the %s must be at least 1\n", tool_name, what);
    }
}

double ask_real(const char *question, const char *what)
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
void ask_name(const char *question, const char *what, char *dest, size_t prefix, size_t suffix)
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
void wait_for_key()
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

