// Files that replace earlier ones only once complete, as one set (see result_files.h).
#include "result_files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

// The temporaries are read by the signal handler: plain arrays, each name filled before it
// is counted, with the signals held back meanwhile.
static const int max_temporaries = 8;
static char temporaries[max_temporaries][PATH_MAX];
static struct stat written[max_temporaries]; // the file each temporary was created as
static volatile sig_atomic_t nb_temporaries;
static volatile sig_atomic_t set_in_place;
static const char *interrupted_program = "";
static void (*also_on_interrupt)() = nullptr;

// What a temporary's name adds to the tag: ".", ".", a pid, "-", an attempt, ".part".
static const size_t name_overhead = 24;

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

// The folder part of a path ("" or ending in '/') and the name after it.
static std::pair<std::string, std::string> split_path(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const std::string dir = (slash == std::string::npos) ? "" : path.substr(0, slash + 1);
    return {dir, path.substr(dir.size())};
}

// The part of the hidden names that stands for a file name: the name itself, or, when the
// hidden names would be too long for a file name, its start and a hash of the whole.
static std::string name_tag(const std::string &name)
{
    if (name.size() + name_overhead <= NAME_MAX) return name;
    uint64_t hash = 14695981039346656037ULL;
    for (unsigned char ch : name) hash = (hash ^ ch) * 1099511628211ULL;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return name.substr(0, NAME_MAX - name_overhead - 17) + "~" + hex;
}

// The hidden name ".<tag>.<pid>-<attempt><suffix>" beside `target`.
static std::string hidden_name(const std::string &target, int attempt, const char *suffix)
{
    const auto [dir, name] = split_path(target);
    return dir + "." + name_tag(name) + "." + std::to_string(getpid()) + "-" + std::to_string(attempt) + suffix;
}

// Whether `entry` is a hidden file ".<tag>.<pid>-<n>.part" or ".old" of a process that no
// longer exists.
static bool left_by_ended_run(const std::string &entry, const std::string &tag)
{
    const std::string start = "." + tag + ".";
    if (entry.compare(0, start.size(), start) != 0) return false;
    unsigned long pid = 0, attempt = 0;
    char suffix[8] = "";
    int used = 0;
    const std::string rest = entry.substr(start.size());
    if (std::sscanf(rest.c_str(), "%lu-%lu.%5[a-z]%n", &pid, &attempt, suffix, &used) != 3 ||
        static_cast<size_t>(used) != rest.size() || !std::isdigit(static_cast<unsigned char>(rest[0])))
        return false;
    if (std::strcmp(suffix, "part") != 0 && std::strcmp(suffix, "old") != 0) return false;
    if (pid == 0 || pid > static_cast<unsigned long>(INT_MAX) || static_cast<pid_t>(pid) == getpid()) return false;
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Removes the hidden files that ended runs left for the name `target`.
static void remove_files_of_ended_runs(const std::string &target)
{
    const auto [dir, name] = split_path(target);
    DIR *folder = opendir(dir.empty() ? "." : dir.c_str());
    if (folder == nullptr) return;
    const std::string tag = name_tag(name);
    while (const dirent *e = readdir(folder))
        if (left_by_ended_run(e->d_name, tag)) (void)unlinkat(dirfd(folder), e->d_name, 0);
    closedir(folder);
}

// Whether the file `st` (at `path`, in the folder `dir_st`) can be renamed over and kept
// aside: 0 or an errno value.
static int replaceable(const std::string &path, const struct stat &st, const struct stat &dir_st)
{
    const uid_t me = geteuid();
    if ((dir_st.st_mode & S_ISVTX) && me != 0 && st.st_uid != me && dir_st.st_uid != me) return EPERM;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return 0; // its flags cannot be read; the set is put back if a rename fails
    int flags = 0;
    const bool known = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    close(fd);
    return (known && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL))) ? EPERM : 0;
}

int check_replaceable(const std::string &target)
{
    remove_files_of_ended_runs(target);
    int slot = -1;
    const int fd = create_temporary_beside(target, slot);
    if (fd < 0) return errno;
    close(fd);
    remove_temporaries();
    struct stat st, dir_st;
    const std::string dir = split_path(target).first;
    if (stat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    if (stat(dir.empty() ? "." : dir.c_str(), &dir_st) != 0) return errno;
    return replaceable(target, st, dir_st);
}

// Gives a new file the permission bits and group of the file it is to replace, as far as
// this user may (a group it is not in, or a file system without them, leaves the defaults).
static void take_mode_and_group(int fd, const std::string &target)
{
    struct stat st;
    if (stat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    if (fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) { /* keep the default group */ }
    if (fchmod(fd, st.st_mode & 07777) != 0) { /* keep the default bits */ }
}

// Records as a temporary the first hidden name ".<tag>.<pid>-<n>.part" beside `target` that
// `make` creates (it returns 0, or an errno value: EEXIST tries the next n), with the
// interrupting signals held meanwhile. Returns its slot, or -1 with errno set.
template <typename Make> static int record_hidden_temporary(const std::string &target, Make make)
{
    int error = EEXIST, slot = -1;
    hold_interrupting_signals(true);
    for (int attempt = 0; attempt < 100 && error == EEXIST; attempt++) {
        const std::string name = hidden_name(target, attempt, ".part");
        if (name.size() >= PATH_MAX || nb_temporaries >= max_temporaries) {
            error = ENAMETOOLONG;
            break;
        }
        std::memcpy(temporaries[nb_temporaries], name.c_str(), name.size() + 1);
        error = make(temporaries[nb_temporaries]);
        if (error == 0) slot = nb_temporaries++;
    }
    hold_interrupting_signals(false);
    errno = error;
    return slot;
}

int create_temporary_beside(const std::string &target, int &slot)
{
    int fd = -1;
    slot = record_hidden_temporary(target, [&](const char *name) {
        fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        return fd < 0 ? errno : 0;
    });
    if (fd < 0) return -1;
    take_mode_and_group(fd, target);
    (void)fstat(fd, &written[slot]);
    return fd;
}

int create_unnamed_beside(const std::string &target, int &slot)
{
    const std::string dir = split_path(target).first;
    slot = -1;
    const int fd = open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) return create_temporary_beside(target, slot);
    if (fd >= 0) take_mode_and_group(fd, target);
    return fd;
}

bool name_temporary(int fd, const std::string &target, int &slot)
{
    if (slot >= 0) return true;
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    slot = record_hidden_temporary(target, [&](const char *name) {
        return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
    });
    if (slot < 0) return false;
    (void)fstat(fd, &written[slot]);
    return true;
}

void remove_temporaries()
{
    for (int k = 0; k < nb_temporaries; k++)
        if (temporaries[k][0] != '\0') (void)unlink(temporaries[k]);
    nb_temporaries = 0;
}

// ---------------------------------------------------------------------------------------
// Putting a set in place
// ---------------------------------------------------------------------------------------
namespace {

// One member while the set is put in place.
struct Placing {
    std::string temporary, target, kept; // kept: the earlier file's hidden name
    dev_t dev = 0;
    ino_t ino = 0;
    bool moved_aside = false, placed = false; // kept by a rename rather than a hard link
};

// Exclusive locks on the folders of the set, taken in one order (device, inode) so that two
// runs never wait for each other; released when it goes out of scope.
class FolderLocks {
public:
    explicit FolderLocks(const std::vector<Placing> &members)
    {
        std::vector<std::pair<std::pair<dev_t, ino_t>, int>> found;
        for (const Placing &m : members) {
            const std::string dir = split_path(m.target).first;
            const int fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            struct stat st;
            if (fd < 0) continue; // a folder this user may not list: no lock, the set still goes in whole
            if (fstat(fd, &st) != 0 || std::any_of(found.begin(), found.end(), [&](const auto &f) {
                    return f.first == std::make_pair(st.st_dev, st.st_ino);
                })) {
                close(fd);
                continue;
            }
            found.push_back({{st.st_dev, st.st_ino}, fd});
        }
        std::sort(found.begin(), found.end());
        for (const auto &f : found) {
            while (flock(f.second, LOCK_EX) != 0 && errno == EINTR) {
            }
            fds_.push_back(f.second);
        }
    }
    ~FolderLocks()
    {
        for (int fd : fds_) close(fd);
    }
    FolderLocks(const FolderLocks &) = delete;
    FolderLocks &operator=(const FolderLocks &) = delete;

private:
    std::vector<int> fds_;
};

// Keeps the earlier file of a member aside as a hidden hard link (or, on a file system
// without hard links, moves it aside). False with errno set when neither can be done.
bool keep_earlier_file(Placing &m)
{
    struct stat st;
    if (lstat(m.target.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EEXIST;
        return false;
    }
    for (int attempt = 0; attempt < 100; attempt++) {
        m.kept = hidden_name(m.target, attempt, ".old");
        if (link(m.target.c_str(), m.kept.c_str()) == 0) return true;
        if (errno == EEXIST) continue;
        if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK) break;
        m.moved_aside = rename(m.target.c_str(), m.kept.c_str()) == 0;
        if (m.moved_aside) return true;
        break;
    }
    m.kept.clear();
    return false;
}

// Whether the name `path` holds the very file that was written.
bool holds_written_file(const Placing &m, const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == m.dev && st.st_ino == m.ino;
}

// Gives every name back what it held before the set was begun.
void put_back(std::vector<Placing> &members)
{
    for (Placing &m : members) {
        if (m.kept.empty()) {
            if (m.placed) (void)unlink(m.target.c_str()); // a new name
        } else if (m.placed || m.moved_aside) {
            (void)rename(m.kept.c_str(), m.target.c_str());
        } else {
            (void)unlink(m.kept.c_str()); // a second name of the file still in place
        }
        m.kept.clear();
    }
}

// Keeps each earlier file aside, renames the temporary over its name and checks it, member
// after member.
bool place_all(std::vector<Placing> &members, SetFailure &failure)
{
    for (size_t k = 0; k < members.size(); k++) {
        Placing &m = members[k];
        if (!keep_earlier_file(m)) {
            failure = SetFailure{static_cast<int>(k), errno, false};
            return false;
        }
        if (!holds_written_file(m, m.temporary)) {
            failure = SetFailure{static_cast<int>(k), ENOENT, true};
            return false;
        }
        if (rename(m.temporary.c_str(), m.target.c_str()) != 0) {
            failure = SetFailure{static_cast<int>(k), errno, false};
            return false;
        }
        m.placed = true;
        if (!holds_written_file(m, m.target)) {
            (void)unlink(m.target.c_str()); // the entry, never what a link there points to
            failure = SetFailure{static_cast<int>(k), EEXIST, true};
            return false;
        }
    }
    return true;
}

} // namespace

bool put_set_in_place(const std::vector<SetMember> &set, SetFailure &failure)
{
    std::vector<Placing> members(set.size());
    for (size_t k = 0; k < set.size(); k++) {
        Placing &m = members[k];
        m.temporary = temporaries[set[k].slot];
        m.target = set[k].target;
        m.dev = written[set[k].slot].st_dev;
        m.ino = written[set[k].slot].st_ino;
    }
    hold_interrupting_signals(true);
    bool placed;
    {
        FolderLocks locks(members);
        placed = place_all(members, failure);
        if (placed) {
            for (Placing &m : members)
                if (!m.kept.empty()) (void)unlink(m.kept.c_str());
            for (const SetMember &s : set) temporaries[s.slot][0] = '\0';
            set_in_place = 1;
        } else {
            put_back(members);
        }
    }
    remove_temporaries();
    hold_interrupting_signals(false);
    return placed;
}

// ---------------------------------------------------------------------------------------
// Interrupting signals
// ---------------------------------------------------------------------------------------
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
    write_stderr(set_in_place ? " after every result was put in place; the new results are complete\n"
                              : "; no result was written, earlier results are left as they were\n");
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
