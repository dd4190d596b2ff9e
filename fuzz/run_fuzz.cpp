// libFuzzer target for a whole run of the tool: DEM descriptor, DEM raster and typed answers
// all come from the input. Whatever they are, a run must end with status 0 or 1 (never a
// signal, a sanitizer report, a leak or a hang), a run that ends with 1 must say why on
// stderr and name every result it leaves empty, a run that ends with 0 leaves no result
// empty, and the run may create files only where the tool documents them: the DEM
// descriptor when it is missing and the result files, all inside the run's folder, with
// the DEM files unchanged. The checks are all in check_run, one paragraph each.
//
// Input layout:  FLAGS [FLAGS2] DESCRIPTOR SEP RASTER SEP ANSWERS   (SEP is the 4 bytes "~~~~")
//   FLAGS   one byte: bit 0 set = no DEM descriptor file (the tool asks for the size and
//           creates one); bit 1 set = no DEM raster file (the run ends after one key);
//           bit 2 set = the DEM files carry their path text as a file name
//           ("c:\images\z\d_m2.raw" in the working folder) instead of c:/images/z/d_m2.raw;
//           bit 3 set = folders take the names of the second results of the result name r
//           (r_roughness_str.bmp, r_roughness_str.txt), which then cannot be created;
//           bit 4 set = links to /dev/full stand at r_roughness.bmp and r_roughness_str.raw
//           (a full disk); bit 5 set = folders take the names of the DEM descriptors, which
//           then can neither be read nor created; bit 6 set = the raster exists only as
//           d_m4.raw (no d_m2.raw); bit 7 set = FLAGS2 follows.
//   FLAGS2  one byte, for the result names of r and the kind of DEM files (names taken by
//           bits 3 and 4 of FLAGS stay as they are; the DEM files and the result names are
//           in the DEM files' folder):
//           bit 0 = earlier results: the six result files of r hold a text of their own;
//           bit 1 = r_roughness.bmp and r_roughness_str.raw are other names of the DEM
//           raster; bit 2 = r_roughness_str.bmp and r_roughness.txt are other names of the
//           DEM descriptor; bit 3 = those other names are hard links (else symbolic links);
//           bit 4 = the DEM rasters are FIFOs; bit 5 = the DEM descriptors are FIFOs;
//           bit 6 = the DEM rasters are symbolic links to /proc/self/mem (reading fails
//           with EIO); bit 7 = the same for the DEM descriptors. A FIFO wins over a link.
//   DESCRIPTOR, RASTER  the bytes of the DEM files d_m2.txt / d_m2.raw of folder z, also
//           written as d_m4.txt / d_m4.raw; a part whose separator is missing is empty.
//   ANSWERS the console input, word by word ("z d 0 1 r 0 5" types folder z, DEM d, ...).
// fuzz/seeds-run/ holds complete runs of small DEMs of both types in both result formats,
// and runs that stop at each kind of refusal. With RUN_FUZZ_VERBOSE set in the environment
// the target prints each run's exit status and what the tool said on stderr.
// The tool follows any path the user types (a folder "../x" leaves the base folder, as
// it should), so the answers lose their '/' and '\' characters here: the fuzzer then can
// reach every file of the run's folder but nothing outside it.
//
// Each input runs in-process in a private folder below /tmp: the working folder is emptied,
// the files written, stdin reopened on the answers, and run_dialogue called, which gives
// back every file and sets the run state to zero, so that the next input starts from the
// zero state. A pixel limit keeps huge descriptors from taking minutes and gigabytes of
// results, and a memory budget from exhausting memory: they are refused as on a small
// machine. A FIFO blocks a tool that opens it for
// reading; the fuzzer's -timeout (or ctest's TIMEOUT for a replayed seed) reports that.
#include "orvande_3d_roughness.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char separator[] = "~~~~";
const size_t separator_size = 4;
const unsigned long long run_memory_budget = 64ULL << 20;
const unsigned long long run_max_pixels = 500000;

std::string root;     // private folder; holds the working folder only
std::string work_dir; // the run's working folder (root/work), the current directory of a run
std::string home_dir; // the current directory between runs, where libFuzzer keeps its files
std::string answers_path; // root/answers: the answers sit outside the folder the run sees

void remove_root();

// A failed check: the message, the private folder removed (an abort skips atexit), abort.
[[noreturn]] void broken(const char *what, const std::string &detail = std::string())
{
    std::fprintf(stderr, "run_fuzz: %s%s\n", what, detail.c_str());
    remove_root();
    std::abort();
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *ftw)
{
    if (ftw->level == 0) return 0; // the working folder itself stays
    if (std::remove(path) != 0) broken("cannot remove ", path);
    return 0;
}

void empty_work_dir()
{
    if (nftw(work_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS) != 0) broken("cannot empty ", work_dir);
}

int remove_any(const char *path, const struct stat *, int, struct FTW *)
{
    std::remove(path);
    return 0;
}

// At the end of fuzzing (libFuzzer ends through exit), the private folder goes.
void remove_root()
{
    nftw(root.c_str(), remove_any, 16, FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> list_dir(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) broken("cannot list ", dir);
    while (dirent *e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

void write_file(const std::string &path, const std::string &content)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) broken("cannot write ", path);
    if (!content.empty() && std::fwrite(content.data(), 1, content.size(), f) != content.size())
        broken("cannot write ", path);
    if (std::fclose(f) != 0) broken("cannot write ", path);
}

bool read_file(const std::string &path, std::string &content)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    content.clear();
    char buf[4096];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, got);
    std::fclose(f);
    return true;
}

bool ends_with(const std::string &s, const char *suffix)
{
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// The name of a file without its folders (the path text names keep theirs after the last
// backslash).
std::string base_name(const std::string &path)
{
    const size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

const char *const result_suffixes[] = {"_roughness.bmp", "_roughness_str.bmp", "_roughness.raw",
                                       "_roughness.txt", "_roughness_str.raw", "_roughness_str.txt"};

bool is_result_name(const std::string &rel)
{
    for (const char *s : result_suffixes)
        if (ends_with(rel, s)) return true;
    return false;
}

// ---------------------------------------------------------------------------------------
// The input and the folder it makes
// ---------------------------------------------------------------------------------------
struct Input {
    bool no_descriptor, no_raster, unmapped, names_taken, full_disk, descriptor_taken, raster_m4_only;
    bool earlier_results, raster_aliases, descriptor_aliases, hard_aliases;
    bool raster_fifo, descriptor_fifo, raster_mem, descriptor_mem;
    std::string descriptor, raster, answers;
};

void set_flags(Input &in, uint8_t flags, uint8_t flags2)
{
    in.no_descriptor = flags & 1;
    in.no_raster = flags & 2;
    in.unmapped = flags & 4;
    in.names_taken = flags & 8;
    in.full_disk = flags & 16;
    in.descriptor_taken = flags & 32;
    in.raster_m4_only = flags & 64;
    if (in.descriptor_taken) in.no_descriptor = true;
    in.earlier_results = flags2 & 1;
    in.raster_aliases = flags2 & 2;
    in.descriptor_aliases = flags2 & 4;
    in.hard_aliases = flags2 & 8;
    in.raster_fifo = flags2 & 16;
    in.descriptor_fifo = flags2 & 32;
    in.raster_mem = flags2 & 64;
    in.descriptor_mem = flags2 & 128;
}

Input split(const uint8_t *data, size_t size)
{
    Input in{};
    if (size == 0) return in;
    const size_t head = (data[0] & 128) && size >= 2 ? 2 : 1;
    set_flags(in, data[0], head == 2 ? data[1] : 0);
    const std::string rest(reinterpret_cast<const char *>(data + head), size - head);
    std::string *parts[3] = {&in.descriptor, &in.raster, &in.answers};
    size_t start = 0;
    for (int k = 0; k < 3; k++) {
        const size_t sep = (k < 2) ? rest.find(separator, start, separator_size) : std::string::npos;
        if (sep == std::string::npos) {
            *parts[k] = rest.substr(start);
            break;
        }
        *parts[k] = rest.substr(start, sep - start);
        start = sep + separator_size;
    }
    for (char &ch : in.answers)
        if (ch == '/' || ch == '\\') ch = '_';
    return in;
}

// What the harness put in the working folder, by path relative to it.
struct Layout {
    std::map<std::string, std::string> dem_files;  // regular DEM files -> content
    std::map<std::string, std::string> dem_links;  // DEM files that are symbolic links -> target
    std::set<std::string> dem_fifos;               // DEM files that are FIFOs
    std::map<std::string, std::string> earlier;    // earlier results -> content
    std::set<std::string> made;                    // every other entry the harness made
    std::string raster, descriptor;                // the _m2 (else _m4) DEM files, if any
};

// One DEM file: a FIFO, a link to /proc/self/mem, or the given bytes.
void make_dem_file(Layout &lay, const std::string &path, const std::string &content, bool fifo, bool mem)
{
    if (fifo) {
        if (mkfifo(path.c_str(), 0600) != 0) broken("cannot make the FIFO ", path);
        lay.dem_fifos.insert(path);
    } else if (mem) {
        if (symlink("/proc/self/mem", path.c_str()) != 0) broken("cannot link ", path);
        lay.dem_links[path] = "/proc/self/mem";
    } else {
        write_file(path, content);
        lay.dem_files[path] = content;
    }
}

void make_dem_files(const Input &in, Layout &lay, const std::string &folder)
{
    for (const char *type : {"_m2", "_m4"}) {
        const std::string base = folder + "d" + type;
        const bool raster = !in.no_raster && !(in.raster_m4_only && std::strcmp(type, "_m2") == 0);
        if (!in.no_descriptor) {
            make_dem_file(lay, base + ".txt", in.descriptor, in.descriptor_fifo, in.descriptor_mem);
            if (lay.descriptor.empty()) lay.descriptor = base + ".txt";
        }
        if (raster) {
            make_dem_file(lay, base + ".raw", in.raster, in.raster_fifo, in.raster_mem);
            if (lay.raster.empty()) lay.raster = base + ".raw";
        }
        if (in.descriptor_taken && mkdir((base + ".txt").c_str(), 0700) != 0) broken("cannot create ", base + ".txt");
    }
}

// Another name for a DEM file: a hard link, or a symbolic link beside it.
void make_alias(const Input &in, Layout &lay, const std::string &alias, const std::string &dem,
                const std::string &folder)
{
    if (dem.empty() || lay.made.count(alias)) return;
    // A symbolic link's target is relative to the link's folder: c:/images/z/ for the mapped
    // names, the working folder for the path text names.
    const std::string target = folder.back() == '/' ? dem.substr(folder.size()) : dem;
    const int made = in.hard_aliases ? link(dem.c_str(), alias.c_str()) : symlink(target.c_str(), alias.c_str());
    if (made != 0) broken("cannot make the other name ", alias);
    lay.made.insert(alias);
}

// The result names of r: taken by folders, links to /dev/full, other names of the DEM files,
// earlier results; the first of these that applies to a name wins.
void make_result_names(const Input &in, Layout &lay, const std::string &folder)
{
    if (in.names_taken)
        for (const char *taken : {"c:/images/z/r_roughness_str.bmp", "c:/images/z/r_roughness_str.txt"}) {
            if (mkdir(taken, 0700) != 0) broken("cannot create ", taken);
            lay.made.insert(taken);
        }
    if (in.full_disk)
        for (const char *full : {"c:/images/z/r_roughness.bmp", "c:/images/z/r_roughness_str.raw"}) {
            if (symlink("/dev/full", full) != 0) broken("cannot link ", full);
            lay.made.insert(full);
        }
    if (in.raster_aliases)
        for (const char *name : {"r_roughness.bmp", "r_roughness_str.raw"})
            make_alias(in, lay, folder + name, lay.raster, folder);
    if (in.descriptor_aliases)
        for (const char *name : {"r_roughness_str.bmp", "r_roughness.txt"})
            make_alias(in, lay, folder + name, lay.descriptor, folder);
    if (in.earlier_results)
        for (const char *suffix : result_suffixes) {
            const std::string path = folder + "r" + suffix;
            if (lay.made.count(path)) continue;
            lay.earlier[path] = std::string("an earlier result: r") + suffix + "\n";
            write_file(path, lay.earlier[path]);
        }
}

Layout make_folder(const Input &in)
{
    Layout lay;
    if (mkdir("c:", 0700) != 0 || mkdir("c:/images", 0700) != 0 || mkdir("c:/images/z", 0700) != 0)
        broken("cannot create c:/images/z");
    const std::string folder = in.unmapped ? "c:\\images\\z\\" : "c:/images/z/";
    make_dem_files(in, lay, folder);
    make_result_names(in, lay, folder);
    return lay;
}

// ---------------------------------------------------------------------------------------
// One run
// ---------------------------------------------------------------------------------------
void setup()
{
    char tmpl[] = "/tmp/orvande-run-fuzz.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) broken("cannot create a temporary folder");
    root = tmpl;
    work_dir = root + "/work";
    answers_path = root + "/answers";
    if (mkdir(work_dir.c_str(), 0700) != 0) broken("cannot create ", work_dir);
    char *cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) broken("cannot read the current directory");
    home_dir = cwd;
    std::free(cwd);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) broken("cannot silence stdout");
    std::atexit(remove_root);
}

// Runs the tool on the answers; its stderr goes to `said`. Returns the exit status.
int run_tool(const std::string &answers, std::string &said)
{
    write_file(answers_path, answers);
    if (std::freopen(answers_path.c_str(), "r", stdin) == nullptr) broken("cannot reopen stdin");
    char *errors = nullptr;
    size_t errors_size = 0;
    FILE *const saved_stderr = stderr;
    FILE *capture = open_memstream(&errors, &errors_size);
    if (capture == nullptr) broken("cannot capture stderr");
    stderr = capture;

    RunLimits limits;
    limits.memory_budget = run_memory_budget;
    limits.max_pixels = run_max_pixels;
    const int status = run_dialogue(limits);
    stderr = saved_stderr;
    std::fclose(capture);
    said.assign(errors, errors_size);
    std::free(errors);
    return status;
}

// ---------------------------------------------------------------------------------------
// The checks after a run
// ---------------------------------------------------------------------------------------
struct Entry {
    mode_t type;
    off_t size;
};

// Every entry below the working folder but the folders, by path relative to it.
void collect_entries(const std::string &dir, const std::string &rel, std::map<std::string, Entry> &entries)
{
    for (const std::string &name : list_dir(dir)) {
        const std::string path = dir + "/" + name, r = rel.empty() ? name : rel + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) broken("cannot stat ", path);
        if (S_ISDIR(st.st_mode)) collect_entries(path, r, entries);
        else entries[r] = Entry{static_cast<mode_t>(st.st_mode & S_IFMT), st.st_size};
    }
}

// The words of the answers, as the tool splits them.
std::set<std::string> answer_words(const std::string &answers)
{
    std::set<std::string> words;
    std::string w;
    for (char ch : answers + " ") {
        if (!std::isspace(static_cast<unsigned char>(ch))) w += ch;
        else if (!w.empty()) {
            words.insert(w);
            w.clear();
        }
    }
    return words;
}

// A file the run may leave: a DEM descriptor or a result of a typed name.
bool documented_new_file(const std::string &rel, const std::set<std::string> &words)
{
    const std::string name = base_name(rel);
    for (const char *s : {"_m2.txt", "_m4.txt", "_roughness.bmp", "_roughness_str.bmp", "_roughness.raw",
                          "_roughness.txt", "_roughness_str.raw", "_roughness_str.txt"})
        if (ends_with(name, s) && words.count(name.substr(0, name.size() - std::strlen(s)))) return true;
    return false;
}

// The DEM files as the harness made them.
void check_dem_files(const Layout &lay, const std::map<std::string, Entry> &entries)
{
    for (const auto &f : lay.dem_files) {
        std::string now;
        const auto e = entries.find(f.first);
        if (e == entries.end() || e->second.type != S_IFREG || !read_file(work_dir + "/" + f.first, now) ||
            now != f.second)
            broken("the run changed or removed a DEM file: ", f.first);
    }
    for (const std::string &f : lay.dem_fifos) {
        const auto e = entries.find(f);
        if (e == entries.end() || e->second.type != S_IFIFO) broken("the run changed or removed a DEM file: ", f);
    }
    for (const auto &f : lay.dem_links) {
        char target[256] = {0};
        if (readlink((work_dir + "/" + f.first).c_str(), target, sizeof target - 1) < 0 || f.second != target)
            broken("the run changed or removed a DEM file: ", f.first);
    }
}

bool is_dem_file(const Layout &lay, const std::string &rel)
{
    return lay.dem_files.count(rel) || lay.dem_links.count(rel) || lay.dem_fifos.count(rel);
}

// Every file the run created or emptied, and what it said about them.
void check_new_files(const Layout &lay, const std::map<std::string, Entry> &entries, int status,
                     const std::string &said, const std::set<std::string> &words)
{
    for (const auto &e : entries) {
        const std::string &rel = e.first;
        if (is_dem_file(lay, rel) || (lay.made.count(rel) && !lay.earlier.count(rel))) continue;
        const bool earlier = lay.earlier.count(rel) > 0;
        // Nothing undocumented: no temporary file, nothing under a name that was not typed.
        if (!earlier && (e.second.type != S_IFREG || !documented_new_file(rel, words)))
            broken("the run left a file that is neither a DEM descriptor nor a result of a typed name "
                   "(a temporary file?): ", rel);
        // No finished result is empty; a run that ends with 1 names each one it leaves empty.
        if (e.second.size == 0 && e.second.type == S_IFREG && is_result_name(rel)) {
            if (status == 0) broken("a run that ended with 0 left an empty result: ", rel);
            if (said.find(base_name(rel) + " is left empty or incomplete") == std::string::npos)
                broken("an empty result not named on stderr: ", rel);
        }
    }
}

// A run that fails leaves the earlier results byte for byte as they were.
void check_earlier_results(const Layout &lay, const std::map<std::string, Entry> &entries, int status)
{
    if (status == 0) return;
    for (const auto &f : lay.earlier) {
        std::string now;
        const auto e = entries.find(f.first);
        if (e == entries.end() || e->second.type != S_IFREG || !read_file(work_dir + "/" + f.first, now) ||
            now != f.second)
            broken("a run that failed changed or removed an earlier result: ", f.first);
    }
}

// A run that ends with 0 has read its raster and written its results.
void check_success(const Input &in, const Layout &lay, const std::map<std::string, Entry> &entries, int status)
{
    if (status != 0) return;
    if (in.raster_mem && !in.raster_fifo && !lay.raster.empty())
        broken("a run ended with 0 although its raster cannot be read (a link to /proc/self/mem)");
    for (const auto &e : entries) {
        if (!is_result_name(e.first) || is_dem_file(lay, e.first)) continue;
        const auto earlier = lay.earlier.find(e.first);
        std::string now;
        if (earlier == lay.earlier.end() ? !lay.made.count(e.first)
                                         : read_file(work_dir + "/" + e.first, now) && now != earlier->second)
            return;
    }
    broken("a run ended with 0 without writing a result");
}

void check_run(const Input &in, const Layout &lay, int status, const std::string &said)
{
    // The status: 0 or 1, and a run that ends with 1 says why.
    if (status != 0 && status != 1) broken("exit status other than 0 and 1: ", std::to_string(status));
    if (status == 1 && said.empty()) broken("a run ended with status 1 without a message on stderr");
    // Nothing outside the working folder.
    if (list_dir(root) != std::vector<std::string>{"answers", "work"}) broken("the run created a file outside its folder");
    std::map<std::string, Entry> entries;
    collect_entries(work_dir, "", entries);
    check_dem_files(lay, entries);
    check_new_files(lay, entries, status, said, answer_words(in.answers));
    check_earlier_results(lay, entries, status);
    check_success(in, lay, entries, status);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        setup();
        ready = true;
    }
    const Input in = split(data, size);

    // The run sees the working folder as its current directory; libFuzzer's corpus, given
    // by relative paths, needs the original one back as soon as the run is over. (A crash in
    // the middle of a run writes its artifact relative to the working folder, so
    // scripts/fuzz.sh gives an absolute -artifact_prefix.)
    if (chdir(work_dir.c_str()) != 0) broken("cannot enter ", work_dir);
    empty_work_dir();
    const Layout lay = make_folder(in);
    std::string said;
    const int status = run_tool(in.answers, said);
    if (std::getenv("RUN_FUZZ_VERBOSE") != nullptr)
        std::fprintf(stderr, "run_fuzz: status %d\n%s", status, said.c_str());
    check_run(in, lay, status, said);
    if (chdir(home_dir.c_str()) != 0) broken("cannot go back to ", home_dir);
    return 0;
}
