// Helpers for the end-to-end tests: a scratch working directory, DEM files below its
// c:/images/<folder>/, snapshots of a folder compared byte for byte, one run of the real
// tool with answers on stdin (stdout, stderr and the exit status or ending signal captured
// apart; optionally stdin kept open until stdout shows a question, then a signal sent or
// stdout or stdin closed; a standard stream closed or the user changed before it starts),
// the documented console texts from which a test builds the whole stdout it expects, and
// the sample DEMs, assertions and fixture the test files share.
#ifndef RUN_TOOL_H
#define RUN_TOOL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

// ---------------------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------------------

// A fresh directory below the system's temporary folder, removed with its contents.
class TempDir {
public:
    TempDir()
    {
        std::string templ = (fs::temp_directory_path() / "orvande-e2e-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = templ;
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

// The local folder that the path text c:\images\<folder>\ names below the working directory.
inline fs::path images_folder(const fs::path &root, const std::string &folder)
{
    return root / "c:" / "images" / folder;
}

inline void write_bytes(const fs::path &p, const Bytes &b)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    if (!out) throw std::runtime_error("cannot write " + p.string());
}

inline void write_text(const fs::path &p, const std::string &s)
{
    write_bytes(p, Bytes(s.begin(), s.end()));
}

inline Bytes read_bytes(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string read_text(const fs::path &p)
{
    const Bytes b = read_bytes(p);
    return std::string(b.begin(), b.end());
}

// Samples of an _m2 raster (16-bit, least significant byte first) or an _m4 raster (32-bit
// two's complement, least significant byte first), line after line.
inline Bytes samples_m2(const std::vector<int> &v)
{
    Bytes b;
    for (int x : v) {
        b.push_back(static_cast<unsigned char>(x & 0xFF));
        b.push_back(static_cast<unsigned char>((x >> 8) & 0xFF));
    }
    return b;
}

inline Bytes samples_m4(const std::vector<int> &v)
{
    Bytes b;
    for (int x : v) {
        const uint32_t u = static_cast<uint32_t>(x);
        for (int k = 0; k < 4; k++) b.push_back(static_cast<unsigned char>(u >> (8 * k)));
    }
    return b;
}

// A DEM below root: c:/images/<folder>/<name>_m2.raw (or _m4) and, when descriptor is not
// null, its descriptor text.
inline void write_dem(const fs::path &root, const std::string &folder, const std::string &name, int type,
                      const std::vector<int> &values, const char *descriptor)
{
    const fs::path dir = images_folder(root, folder);
    fs::create_directories(dir);
    const std::string stem = name + (type == 0 ? "_m2" : "_m4");
    write_bytes(dir / (stem + ".raw"), type == 0 ? samples_m2(values) : samples_m4(values));
    if (descriptor != nullptr) write_text(dir / (stem + ".txt"), descriptor);
}

// Every entry below root, as relative path -> contents: the bytes of a regular file,
// "<dir>" for a folder, "<link> target" for a symbolic link (not followed), "<other>" for
// anything else (a FIFO, a device).
using Snapshot = std::map<std::string, std::string>;

inline Snapshot snapshot(const fs::path &root)
{
    Snapshot m;
    for (const auto &e : fs::recursive_directory_iterator(root)) {
        const std::string rel = fs::relative(e.path(), root).string();
        const fs::file_status st = e.symlink_status();
        if (fs::is_symlink(st)) m[rel] = "<link> " + fs::read_symlink(e.path()).string();
        else if (fs::is_directory(st)) m[rel] = "<dir>";
        else if (fs::is_regular_file(st)) m[rel] = read_text(e.path());
        else m[rel] = "<other>";
    }
    return m;
}

// Two snapshots of a folder compared byte for byte, naming every entry that was removed,
// added or changed.
inline ::testing::AssertionResult same_files(const Snapshot &before, const Snapshot &after)
{
    std::string diff;
    for (const auto &b : before) {
        const auto a = after.find(b.first);
        if (a == after.end()) diff += "\n  removed: " + b.first;
        else if (a->second != b.second)
            diff += "\n  changed: " + b.first + " (" + std::to_string(b.second.size()) + " -> " +
                    std::to_string(a->second.size()) + " bytes)";
    }
    for (const auto &a : after)
        if (before.find(a.first) == before.end()) diff += "\n  added: " + a.first;
    if (diff.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the folder changed:" << diff;
}

// Names of the entries of one folder.
inline std::vector<std::string> names_in(const fs::path &dir)
{
    std::vector<std::string> v;
    for (const auto &e : fs::directory_iterator(dir)) v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
}

// A grid of bytes, line 0 first.
using Grid = std::vector<Bytes>;

inline Grid filled_grid(int lines, int cols, unsigned char v)
{
    return Grid(static_cast<size_t>(lines), Bytes(static_cast<size_t>(cols), v));
}

// A raw result: the lines one after the other, no header, no padding.
inline Bytes raw_of(const Grid &g)
{
    Bytes b;
    for (const Bytes &line : g) b.insert(b.end(), line.begin(), line.end());
    return b;
}

// An 8-bit BMP with the grey ramp palette: the 54-byte header, 256 entries i i i 0, then the
// lines from the last to the first, each padded with zero bytes to a multiple of 4.
inline Bytes bmp_of(const Grid &g)
{
    const uint32_t lines = static_cast<uint32_t>(g.size());
    const uint32_t cols = lines ? static_cast<uint32_t>(g[0].size()) : 0;
    const uint32_t stride = (cols + 3) / 4 * 4;
    Bytes b;
    auto put16 = [&b](uint32_t v) {
        for (int k = 0; k < 2; k++) b.push_back(static_cast<unsigned char>(v >> (8 * k)));
    };
    auto put32 = [&b](uint32_t v) {
        for (int k = 0; k < 4; k++) b.push_back(static_cast<unsigned char>(v >> (8 * k)));
    };
    put16(19778);                        // "BM"
    put32(1078 + lines * stride);        // file size
    put16(0);                            // reserved
    put16(0);
    put32(1078);                         // first pixel row
    put32(40);                           // info header size
    put32(cols);
    put32(lines);
    put16(1);                            // planes
    put16(8);                            // bits per pixel
    put32(0);                            // no compression
    put32(lines * stride);               // image size
    put32(10000);                        // pixels per metre
    put32(10000);
    put32(0);                            // colours used
    put32(0);                            // colours important
    for (int i = 0; i < 256; i++) {
        const unsigned char c = static_cast<unsigned char>(i);
        b.insert(b.end(), {c, c, c, 0});
    }
    for (uint32_t l = lines; l-- > 0;) {
        b.insert(b.end(), g[l].begin(), g[l].end());
        b.insert(b.end(), stride - cols, 0);
    }
    return b;
}

// ---------------------------------------------------------------------------------------
// Running the tool
// ---------------------------------------------------------------------------------------
struct RunResult {
    std::string out, err;
    int status = -1;        // exit status, when the process exited
    bool exited = false;    // ended through exit (not a signal)
    int signal = 0;         // the signal that ended it, when it did not exit
    bool timed_out = false; // killed by the runner
    bool waited = false;    // stdout showed RunOptions::wait_for
};

// Also reachable as e2e::Run (inside a test body a plain "Run" names testing::Test::Run).
using Run = RunResult;

struct RunOptions {
    // When not empty: after `input` is written, stdin stays open until stdout ends with this
    // text (or ends); then `while_waiting` is called, the actions at the wait below are
    // taken, and `late_input` is written before stdin is closed.
    std::string wait_for;
    std::function<void(const std::string &out_so_far, pid_t pid)> while_waiting;
    std::string late_input;
    int timeout_s = 60;
    // Actions at the wait: a signal sent to the tool (SIGINT, SIGTERM, SIGHUP...); its stdout
    // closed by the reader (its next write meets a pipe without reader); its stdin left open
    // until it ends instead of closed after the late input.
    int signal_at_wait = 0;
    bool close_stdout_at_wait = false;
    bool keep_stdin_open = false;
    // In the child, before the tool starts: one standard stream closed (0, 1 or 2; -1 for
    // none), and the user changed to nobody (uid and gid 65534, for whom file permissions
    // count; status 126 when that is not possible).
    int closed_stream = -1;
    bool as_nobody = false;
    // Command-line arguments after the program name, and a file-size limit in bytes
    // (RLIMIT_FSIZE; 0 for none: a write beyond it fails with EFBIG).
    std::vector<std::string> args;
    long long file_size_limit = 0;
    // Environment variables set for the tool ("NAME=value"), and an address-space limit in
    // bytes (RLIMIT_AS; 0 for none).
    std::vector<std::string> env;
    long long address_space_limit = 0;
};

inline RunOptions with_timeout(int seconds)
{
    RunOptions opt;
    opt.timeout_s = seconds;
    return opt;
}

// True while the process pid has not ended (it is not reaped here).
inline bool still_running(pid_t pid)
{
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    return info.si_pid == 0;
}

namespace detail {

// The child side: the pipes as standard streams, then the tool.
// The build's tool, unless ORVANDE_BIN names another one.
inline const char *tool_binary()
{
    const char *bin = std::getenv("ORVANDE_BIN");
    return (bin == nullptr || *bin == '\0') ? ORVANDE_BIN : bin;
}

// A copy of the tool that the user nobody may run, whatever folders the build lies in (a
// clone made with mktemp -d is private): in a folder of its own below the temporary folder,
// removed when the test program ends.
class ToolForNobody {
public:
    ToolForNobody()
    {
        std::string templ = (fs::temp_directory_path() / "orvande-nobody-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) return;
        dir_ = templ;
        fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
        std::error_code ec;
        fs::copy_file(tool_binary(), dir_ / "orvande_3d_roughness", ec);
        fs::permissions(dir_ / "orvande_3d_roughness", fs::perms::owner_all | fs::perms::group_read |
                            fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec, ec);
    }
    ~ToolForNobody()
    {
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    std::string path() const { return (dir_ / "orvande_3d_roughness").string(); }

private:
    fs::path dir_;
};

[[noreturn]] inline void exec_tool(const fs::path &cwd, const RunOptions &opt, const int in[2], const int out[2],
                                   const int err[2], const std::string &nobody_bin)
{
    if (chdir(cwd.c_str()) != 0) _exit(126);
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (opt.closed_stream >= 0 && opt.closed_stream <= 2) close(opt.closed_stream);
    if (opt.as_nobody && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
    std::signal(SIGPIPE, SIG_DFL); // ignored in the runner; the tool starts as from a shell
    const char *bin = opt.as_nobody ? nobody_bin.c_str() : tool_binary();
    for (const auto &[resource, bytes] : {std::pair<int, long long>{RLIMIT_FSIZE, opt.file_size_limit},
                                          std::pair<int, long long>{RLIMIT_AS, opt.address_space_limit}}) {
        const rlimit lim{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
        if (bytes > 0 && setrlimit(resource, &lim) != 0) _exit(126);
    }
    for (const std::string &e : opt.env) putenv(const_cast<char *>(e.c_str()));
    std::vector<char *> argv{const_cast<char *>(bin)};
    for (const std::string &a : opt.args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(bin, argv.data());
    _exit(127);
}

// The parent side of one run: the three pipe ends, what is left to write, what was read.
struct Session {
    pid_t pid = -1;
    int fd_in = -1, fd_out = -1, fd_err = -1;
    std::string pending;
    int stage = 0; // 0: writing input, 1: waiting for wait_for, 2: writing late input, 3: done
    RunResult r;

    void close_fd(int &fd)
    {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    bool out_ends_with(const std::string &w) const
    {
        return r.out.size() >= w.size() && r.out.compare(r.out.size() - w.size(), w.size(), w) == 0;
    }
    void at_wait(const RunOptions &opt)
    {
        r.waited = out_ends_with(opt.wait_for);
        if (opt.while_waiting) opt.while_waiting(r.out, pid);
        if (opt.close_stdout_at_wait) close_fd(fd_out);
        if (opt.signal_at_wait != 0) kill(pid, opt.signal_at_wait);
        pending = opt.late_input;
        stage = 2;
    }
    // Moves through the stages; stdin is closed once all input is written.
    void advance(const RunOptions &opt)
    {
        if (stage == 0 && pending.empty()) {
            if (opt.wait_for.empty()) stage = 2;
            else stage = 1;
        }
        if (stage == 1 && (out_ends_with(opt.wait_for) || fd_out < 0)) at_wait(opt);
        if (stage == 2 && pending.empty()) {
            if (!opt.keep_stdin_open) close_fd(fd_in);
            stage = 3;
        }
    }
    void write_some()
    {
        const ssize_t w = write(fd_in, pending.data(), pending.size());
        if (w > 0) pending.erase(0, static_cast<size_t>(w));
        else if (w < 0 && errno != EAGAIN) { // the tool has stopped reading
            pending.clear();
            close_fd(fd_in);
        }
    }
    void read_some(int &fd, std::string &dest)
    {
        char buf[65536];
        const ssize_t got = read(fd, buf, sizeof buf);
        if (got > 0) dest.append(buf, static_cast<size_t>(got));
        else if (got == 0 || errno != EAGAIN) close_fd(fd);
    }
    // One round of poll (at most 100 ms); false on a poll failure.
    bool pump(int left_ms)
    {
        pollfd fds[3];
        int n = 0;
        if (fd_out >= 0) fds[n++] = pollfd{fd_out, POLLIN, 0};
        if (fd_err >= 0) fds[n++] = pollfd{fd_err, POLLIN, 0};
        if (fd_in >= 0 && !pending.empty()) fds[n++] = pollfd{fd_in, POLLOUT, 0};
        const int wait_ms = std::min(left_ms, n == 0 ? 5 : 100); // nothing open: the tool is ending
        if (poll(fds, static_cast<nfds_t>(n), wait_ms) < 0) return errno == EINTR;
        for (int k = 0; k < n; k++) {
            if (fds[k].revents == 0) continue;
            if (fds[k].fd == fd_in) write_some();
            else if (fds[k].fd == fd_out) read_some(fd_out, r.out);
            else read_some(fd_err, r.err);
        }
        return true;
    }
    void reap()
    {
        close_fd(fd_in);
        close_fd(fd_out);
        close_fd(fd_err);
        int st = 0;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        r.exited = WIFEXITED(st);
        r.status = r.exited ? WEXITSTATUS(st) : -1;
        r.signal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
    }
};

} // namespace detail

// Runs the tool in the working directory cwd with `input` on its stdin (a pipe, not a
// terminal); stdout and stderr are read apart until both are closed and the tool has
// ended, or the timeout kills it.
inline RunResult run_tool(const fs::path &cwd, const std::string &input, const RunOptions &opt = {})
{
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    static std::unique_ptr<detail::ToolForNobody> for_nobody; // made before the fork, removed at the end
    if (opt.as_nobody && !for_nobody) for_nobody = std::make_unique<detail::ToolForNobody>();
    const std::string nobody_bin = for_nobody ? for_nobody->path() : std::string();
    detail::Session s;
    s.pid = fork();
    if (s.pid < 0) throw std::runtime_error("fork failed");
    if (s.pid == 0) detail::exec_tool(cwd, opt, in, out, err, nobody_bin);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    s.fd_in = in[1];
    s.fd_out = out[0];
    s.fd_err = err[0];
    s.pending = input;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opt.timeout_s);
    while (s.fd_out >= 0 || s.fd_err >= 0 || still_running(s.pid)) {
        s.advance(opt);
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            s.r.timed_out = true;
            kill(s.pid, SIGKILL);
            break;
        }
        if (!s.pump(static_cast<int>(left))) break;
    }
    s.reap();
    return s.r;
}

// ---------------------------------------------------------------------------------------
// The documented console texts
// ---------------------------------------------------------------------------------------
namespace say {

// The five credit lines (banner lines 6, 7, 9, 10 and 12) as this tool words them.
inline const std::vector<std::string> &credit_lines()
{
    static const std::vector<std::string> lines = {
        "      3x3 roughness ratio of digital elevation models       ",
        "      by the orvande_3d_roughness developers                ",
        "      Version 1.0, December 2026                            ",
        "      C++17 console edition for Linux                       ",
        "      Free to use and to share with its sources             ",
    };
    return lines;
}

inline std::string framed(const std::string &inside) { return "\n\t*" + inside + "*"; }

inline std::string banner()
{
    const std::string stars(62, '*'), blank(60, ' ');
    const auto &c = credit_lines();
    std::string s = "\n\n\t" + stars;
    s += framed(blank);
    s += framed("                     ORVANDE_3D                             ");
    s += framed(blank) + framed(blank);
    s += framed(c[0]) + framed(c[1]);
    s += framed(blank);
    s += framed(c[2]) + framed(c[3]);
    s += framed(blank);
    s += framed(c[4]);
    s += framed(blank);
    s += "\n\t" + stars;
    s += "\n\n\tAdaptive version of Orvande in order to calculate the DEM roughness";
    return s;
}

inline std::string folder_q() { return "\n\n\tName of the File Folder located in the Directory c:\\images\\ ? "; }
inline std::string dem_q() { return "\n\tName of the DEM (whitout extension _m4.raw or _m2.raw) ? "; }
inline std::string type_menu() { return "\n\tType of MNT\n\t\t0 ====> _m2\n\t\t1 ====> _m4\n\t\t"; }
inline std::string unknown(const std::string &path) { return "\n\tFile " + path + " unknown\n"; }
inline std::string no_file(const std::string &path) { return "\n\tNo File " + path + " \n"; }
inline std::string lines_q() { return "\n\t\tNumber of lines   ? "; }
inline std::string columns_q() { return "\t\tNumber of columns ? "; }
inline std::string pixel_q() { return "\t\tPixel size ? "; }
inline std::string pixel_metres_q() { return "\n\tPixel Size (in meters) ? "; }
inline std::string dem_range(const std::string &min, const std::string &max)
{
    return "\n\tDynamic scale of the DEM : \n\tMin : " + min + "\tMax : " + max + " ";
}
inline std::string interval_menu()
{
    return "\n\n\tHypsometric Interval of the DEM : \n\t\t0 ====> in meters\n\t\t1 ====> in decimeters"
           "\n\t\t2 ====> in centimeters\n\t\t3 ====> in millimeters\n\t\t";
}
inline std::string dem_size(const std::string &path, int lines, int cols)
{
    return "\n\n\tTHE DEM NAMED " + path + " HAS : \n\t            " + std::to_string(lines) +
           " LINES\n\t        AND " + std::to_string(cols) + " COLUMNS\n";
}
inline std::string generic_q() { return "\n\n\tGeneric name of the two resulting images (without any extension) ? "; }
inline std::string format_menu() { return "\n\n\tType of format ? \n\t\t0 ====> bitmap\n\t\t1 ====> raster\n\t\t"; }
// Range of the ratios and the two maximum-stretch reports, then the "\n\n" that opens the
// scaling.
inline std::string ratio_reports(const std::string &dmin, const std::string &dmax, const std::string &dif,
                                 const std::string &stretch1, const std::string &stretch2)
{
    return "\n\n\tStretch : Min. = " + dmin + " Max. = " + dmax + " dif " + dif + " \n" +
           "\n\n\tmaximum stretch 1 = " + stretch1 + " " + "\n\tmaximum stretch 2 = " + stretch2 + " " + "\n\n";
}
inline std::string progress(int line)
{
    return "\tline " + std::to_string(line) + "                   \r";
}
inline std::string scaled_range(const std::string &dmin, const std::string &dmax, int min, int max)
{
    return "\n\n\tmin " + dmin + " max " + dmax + "\n\tmin " + std::to_string(min) + " max " + std::to_string(max) + " ";
}
inline std::string coefficient_q() { return "\n\n\tCoefficient of stretching ? "; }

// Banner, folder and DEM-name questions, and the type menu shown `menus` times.
inline std::string up_to_type(int menus = 1)
{
    std::string s = banner() + folder_q() + dem_q();
    for (int k = 0; k < menus; k++) s += type_menu();
    return s;
}

// A result descriptor: six integers, the maximum stretch, the coefficient (stretched result
// only) and the final dynamic scale; no line end at the end.
inline std::string result_descriptor(int lines, int cols, int pix, const std::string &max_estir,
                                     const char *coefficient, const std::string &dmin, const std::string &dmax)
{
    std::string s = std::to_string(lines) + "\n" + std::to_string(cols) + "\n1\n0\n255\n" + std::to_string(pix) + "\n";
    s += "\n\tmaximum stretch = " + max_estir + " ";
    if (coefficient != nullptr) s += std::string("\n\tcoefficient of stretching = ") + coefficient + " ";
    s += "\n\tFinal dynamic scale : Min. = " + dmin + "  Max. = " + dmax + " ";
    return s;
}

} // namespace say


// ---------------------------------------------------------------------------------------
// Shared by the end-to-end tests: assertions, sample DEMs and the small-DEM fixture
// ---------------------------------------------------------------------------------------

inline const std::vector<int> peak_3x4 = {100, 100, 100, 100, 100, 110, 100, 100, 100, 100, 100, 100};
inline const std::vector<int> hollow_3x4 = {100, 100, 100, 100, 100, 90, 100, 100, 100, 100, 100, 100};

// Byte-for-byte comparison of a file with what it should hold, naming the first difference.
inline ::testing::AssertionResult file_holds(const fs::path &p, const Bytes &want)
{
    if (!fs::is_regular_file(p)) return ::testing::AssertionFailure() << p << " is missing";
    const Bytes got = read_bytes(p);
    if (got == want) return ::testing::AssertionSuccess();
    size_t k = 0;
    while (k < got.size() && k < want.size() && got[k] == want[k]) k++;
    auto at = [](const Bytes &b, size_t i) { return i < b.size() ? std::to_string(b[i]) : std::string("(end)"); };
    return ::testing::AssertionFailure() << p << ": " << got.size() << " bytes, expected " << want.size()
                                         << "; first difference at offset " << k << ": " << at(got, k)
                                         << " instead of " << at(want, k);
}

inline ::testing::AssertionResult file_holds(const fs::path &p, const std::string &want)
{
    return file_holds(p, Bytes(want.begin(), want.end()));
}

inline bool mentions(const std::string &text, const std::string &word)
{
    auto lower = [](std::string s) {
        for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    return lower(text).find(lower(word)) != std::string::npos;
}

// A 3-line grid whose middle line is `middle` and whose other lines hold `edge` everywhere.
inline Grid three_lines(const Bytes &middle, unsigned char edge)
{
    return Grid{Bytes(middle.size(), edge), middle, Bytes(middle.size(), edge)};
}

// The dialogue of a run on the peak DEM from the range report to the coefficient question.
inline std::string peak_middle(const std::string &raster_path, int cols)
{
    return say::dem_range("100", "110") + say::interval_menu() + say::dem_size(raster_path, 3, cols) +
           say::generic_q() + say::format_menu() +
           say::ratio_reports("0.959596", "1.005556", "0.045960", "0.040404", "0.040404") +
           say::scaled_range("0.000000", "145.600000", 0, 145) + say::coefficient_q();
}

inline const char *const site_m2 = "c:\\images\\zone1\\site_m2.raw";

using namespace e2e;

inline const int kLines = 5, kCols = 6;

inline std::vector<int> dem_values()
{
    std::vector<int> v;
    for (int i = 0; i < kLines; i++)
        for (int j = 0; j < kCols; j++) v.push_back(100 + (i * 7 + j * 13) % 23 + (i * j) % 5);
    return v;
}

inline const char *const kDescriptor = "5\n6\n2\n0\n0\n10\n";

inline bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

inline size_t count_of(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) n++;
    return n;
}

// A 5 x 6 DEM d in folder z (type 0) below a fresh working folder.
class BadInput : public ::testing::Test {
protected:
    TempDir tmp;
    fs::path root() const { return tmp.path(); }
    fs::path folder() const { return images_folder(root(), "z"); }
    void dem(const char *descriptor = kDescriptor, int type = 0)
    {
        write_dem(root(), "z", "d", type, dem_values(), descriptor);
    }
    RunResult run(const std::string &answers) { return run_tool(root(), answers); }
};

// The four raster results of a run (descriptors and rasters), by file name.
inline std::map<std::string, std::string> raster_results(const fs::path &dir, const std::string &name)
{
    std::map<std::string, std::string> m;
    for (const char *suffix : {"_roughness.raw", "_roughness.txt", "_roughness_str.raw", "_roughness_str.txt"})
        m[suffix] = read_text(dir / (name + suffix));
    return m;
}

} // namespace e2e

#endif
