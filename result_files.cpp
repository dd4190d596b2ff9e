// Files that replace earlier ones only once complete (see result_files.h).
#include "result_files.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

// The temporaries are read by the signal handler: plain arrays, each name filled before it
// is counted, with the signals held back meanwhile.
static const int max_temporaries = 8;
static char temporaries[max_temporaries][PATH_MAX];
static volatile sig_atomic_t nb_temporaries;
static const char *interrupted_program = "";
static void (*also_on_interrupt)() = nullptr;

std::string link_target(const std::string &path)
{
    std::string target = path;
    for (int hops = 0; hops < 40; hops++) {
        char link[PATH_MAX];
        const ssize_t n = readlink(target.c_str(), link, sizeof link - 1);
        if (n < 0) break;
        link[n] = '\0';
        const size_t slash = target.rfind('/');
        target = (link[0] == '/' || slash == std::string::npos) ? std::string(link)
                                                                 : target.substr(0, slash + 1) + link;
    }
    return target;
}

int create_temporary_beside(const std::string &target, int &slot)
{
    const size_t slash = target.rfind('/');
    const std::string dir = (slash == std::string::npos) ? "" : target.substr(0, slash + 1);
    const std::string base = target.substr(dir.size());
    int fd = -1;
    hold_interrupting_signals(true);
    for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
        const std::string name = dir + "." + base + "." + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".part";
        if (name.size() >= PATH_MAX || nb_temporaries >= max_temporaries) {
            errno = ENAMETOOLONG;
            break;
        }
        std::memcpy(temporaries[nb_temporaries], name.c_str(), name.size() + 1);
        fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    const int error = errno;
    if (fd >= 0) slot = nb_temporaries++;
    hold_interrupting_signals(false);
    errno = error;
    return fd;
}

const char *temporary_path(int slot)
{
    return temporaries[slot];
}

bool put_in_place(int slot, const std::string &target)
{
    if (rename(temporaries[slot], target.c_str()) != 0) return false;
    temporaries[slot][0] = '\0';
    return true;
}

void remove_temporaries()
{
    for (int k = 0; k < nb_temporaries; k++)
        if (temporaries[k][0] != '\0') (void)unlink(temporaries[k]);
    nb_temporaries = 0;
}

void hold_interrupting_signals(bool hold)
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
    sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

static void write_stderr(const char *text)
{
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t done = write(STDERR_FILENO, text, left);
        if (done <= 0) return;
        text += done;
        left -= static_cast<size_t>(done);
    }
}

extern "C" void end_on_signal(int sig)
{
    remove_temporaries();
    if (also_on_interrupt != nullptr) also_on_interrupt();
    write_stderr(interrupted_program);
    write_stderr(sig == SIGINT ? ": interrupted (SIGINT)" : sig == SIGTERM ? ": interrupted (SIGTERM)"
                                                                           : ": interrupted (SIGHUP)");
    write_stderr("; no result was written, earlier results are left as they were\n");
    signal(sig, SIG_DFL);
    raise(sig);
}

void handle_interrupting_signals(const char *program, void (*also)())
{
    interrupted_program = program;
    also_on_interrupt = also;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = end_on_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, sig);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction before;
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        sigaction(sig, &action, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}
