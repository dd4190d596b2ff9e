// Progress on stderr (see pass_display.h).
#include "pass_display.h"

#include "run_failure.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

namespace {

struct PassDisplay {
    std::chrono::steady_clock::time_point last;
    int width = 0;                  // characters shown, 0 when nothing is
    bool stdout_line_shown = false; // the pass's "line N" progress is on stdout
};
PassDisplay pass_display;

// Whether stdout and stderr are the same terminal.
bool same_terminal()
{
    struct stat out, err;
    return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 && S_ISCHR(out.st_mode) &&
           out.st_rdev == err.st_rdev;
}

} // namespace

void clear_pass_display()
{
    if (pass_display.width == 0) return;
    std::fprintf(stderr, "\r%*s\r", pass_display.width, "");
    std::fflush(stderr);
    pass_display.width = 0;
}

void before_stdout_progress()
{
    clear_pass_display();
    pass_display.stdout_line_shown = true;
}

// A pass whose progress stdout shows on the same terminal is not shown over it.
void show_pass(const char *pass, double fraction)
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
