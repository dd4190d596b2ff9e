// libFuzzer target for a whole run of the tool: DEM descriptor, DEM raster and typed answers
// all come from the input. Whatever they are, a run must end with status 0 or 1 (never a
// signal, a sanitizer report, a leak or a hang), a run that ends with 1 must say why on
// stderr and name every result it leaves empty, a run that ends with 0 leaves no result
// empty, and the run may create files only where the tool documents them: the DEM
// descriptor when it is missing and the result files, all inside the run's folder, with
// the DEM files unchanged.
//
// Input layout:  FLAGS DESCRIPTOR SEP RASTER SEP ANSWERS     (SEP is the 4 bytes "~~~~")
//   FLAGS   one byte: bit 0 set = no DEM descriptor file (the tool asks for the size and
//           creates one); bit 1 set = no DEM raster file (the run ends after one key);
//           bit 2 set = the DEM files carry their path text as a file name
//           ("c:\images\z\d_m2.raw" in the working folder) instead of c:/images/z/d_m2.raw;
//           bit 3 set = folders take the names of the second results of the result name r
//           (r_roughness_str.bmp, r_roughness_str.txt), which then cannot be created;
//           bit 4 set = links to /dev/full stand at r_roughness.bmp and r_roughness_str.raw
//           (a full disk); bit 5 set = folders take the names of the DEM descriptors, which
//           then can neither be read nor created.
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
// the files written, stdin reopened on the answers, opening() and treatment() called. Every
// end of the run goes through end_run, whose hook throws back here (an exception, not a
// longjmp, so that the tool's strings are destroyed on the way and no leak is reported),
// and release_run_state() then gives back every grid and file, so that the next input
// starts from the zero state. The memory budget keeps huge descriptors from exhausting
// memory: they are refused as on a small machine.
#include "orvande_3d_roughness.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char separator[] = "~~~~";
const size_t separator_size = 4;
const unsigned long long run_memory_budget = 16ULL << 20; // DEMs above ~500k pixels are refused

std::string root;     // private folder; holds the working folder only
std::string work_dir; // the run's working folder (root/work), the current directory of a run
std::string home_dir; // the current directory between runs, where libFuzzer keeps its files
std::string answers_path; // root/answers: the answers sit outside the folder the run sees
std::vector<std::string> full_disk_links; // relative to work_dir, made for flag bit 4

struct RunEnded {
    int status;
};

void end_hook(int status)
{
    throw RunEnded{status};
}

[[noreturn]] void broken(const char *what, const std::string &detail = std::string())
{
    std::fprintf(stderr, "run_fuzz: %s%s\n", what, detail.c_str());
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

void write_file(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) broken("cannot write ", path);
    if (size > 0 && std::fwrite(data, 1, size, f) != size) broken("cannot write ", path);
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

// Every regular file below the working folder, by path relative to it.
void collect_files(const std::string &dir, const std::string &rel, std::map<std::string, bool> &files)
{
    for (const std::string &name : list_dir(dir)) {
        const std::string path = dir + "/" + name, r = rel.empty() ? name : rel + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) broken("cannot stat ", path);
        if (S_ISDIR(st.st_mode))
            collect_files(path, r, files);
        else if (S_ISREG(st.st_mode))
            files[r] = true;
        else if (S_ISLNK(st.st_mode) &&
                 std::find(full_disk_links.begin(), full_disk_links.end(), r) != full_disk_links.end())
            continue;
        else
            broken("the run made something that is not a regular file: ", r);
    }
}

// A file that the run may create: a DEM descriptor of its own (a missing one is created) or
// a result file.
bool documented_new_file(const std::string &rel)
{
    static const char *const suffixes[] = {"_m2.txt", "_m4.txt", "_roughness.bmp", "_roughness_str.bmp",
                                           "_roughness.raw", "_roughness.txt", "_roughness_str.raw",
                                           "_roughness_str.txt"};
    for (const char *s : suffixes)
        if (ends_with(rel, s)) return true;
    return false;
}

struct Input {
    bool no_descriptor, no_raster, unmapped, names_taken, full_disk, descriptor_taken;
    std::string descriptor, raster, answers;
};

Input split(const uint8_t *data, size_t size)
{
    Input in{};
    if (size == 0) return in;
    const uint8_t flags = data[0];
    in.no_descriptor = flags & 1;
    in.no_raster = flags & 2;
    in.unmapped = flags & 4;
    in.names_taken = flags & 8;
    in.full_disk = flags & 16;
    in.descriptor_taken = flags & 32;
    if (in.descriptor_taken) in.no_descriptor = true;
    const std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
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
    end_run_hook = end_hook;
    memory_budget = run_memory_budget;
    std::atexit(remove_root);
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
    std::map<std::string, std::string> dem_files; // path relative to work_dir -> content
    for (const char *type : {"_m2", "_m4"}) {
        const std::string base =
            in.unmapped ? std::string("c:\\images\\z\\d") + type : std::string("c:/images/z/d") + type;
        if (!in.no_descriptor) dem_files[base + ".txt"] = in.descriptor;
        if (!in.no_raster) dem_files[base + ".raw"] = in.raster;
    }
    if (mkdir("c:", 0700) != 0 || mkdir("c:/images", 0700) != 0 || mkdir("c:/images/z", 0700) != 0)
        broken("cannot create c:/images/z");
    for (const auto &f : dem_files)
        write_file(f.first, reinterpret_cast<const uint8_t *>(f.second.data()), f.second.size());
    if (in.descriptor_taken)
        for (const char *type : {"_m2", "_m4"}) {
            const std::string taken =
                (in.unmapped ? std::string("c:\\images\\z\\d") : std::string("c:/images/z/d")) + type + ".txt";
            if (mkdir(taken.c_str(), 0700) != 0) broken("cannot create ", taken);
        }
    if (in.names_taken)
        for (const char *taken : {"c:/images/z/r_roughness_str.bmp", "c:/images/z/r_roughness_str.txt"})
            if (mkdir(taken, 0700) != 0) broken("cannot create ", taken);
    full_disk_links.clear();
    if (in.full_disk)
        for (const char *full : {"c:/images/z/r_roughness.bmp", "c:/images/z/r_roughness_str.raw"}) {
            if (symlink("/dev/full", full) != 0) broken("cannot link ", full);
            full_disk_links.push_back(full);
        }
    write_file(answers_path, reinterpret_cast<const uint8_t *>(in.answers.data()), in.answers.size());
    if (std::freopen(answers_path.c_str(), "r", stdin) == nullptr) broken("cannot reopen stdin");

    // The tool's diagnostics go to memory: a run that ends with 1 must have said something.
    char *errors = nullptr;
    size_t errors_size = 0;
    FILE *const saved_stderr = stderr;
    FILE *capture = open_memstream(&errors, &errors_size);
    if (capture == nullptr) broken("cannot capture stderr");
    stderr = capture;

    int status = 0;
    try {
        opening();
        treatment();
    } catch (const RunEnded &e) {
        status = e.status;
    }
    release_run_state();
    stderr = saved_stderr;
    std::fclose(capture);
    const std::string said(errors, errors_size);
    std::free(errors);

    if (std::getenv("RUN_FUZZ_VERBOSE") != nullptr)
        std::fprintf(stderr, "run_fuzz: status %d\n%s", status, said.c_str());
    if (status != 0 && status != 1) broken("exit status other than 0 and 1: ", std::to_string(status));
    if (status == 1 && said.empty()) broken("a run ended with status 1 without a message on stderr");

    // Nothing outside the working folder, nothing undocumented inside it, and the DEM files
    // as they were written.
    const std::vector<std::string> outside = list_dir(root);
    if (outside != std::vector<std::string>{"answers", "work"}) broken("the run created a file outside its folder");
    std::map<std::string, bool> files;
    collect_files(work_dir, "", files);
    for (const auto &f : files) {
        const auto dem = dem_files.find(f.first);
        if (dem == dem_files.end()) {
            if (!documented_new_file(f.first)) broken("the run created an undocumented file: ", f.first);
            // No finished result is empty; a run that ends with 1 names each one it leaves
            // empty (the link to /dev/full aside).
            struct stat st;
            if (stat((work_dir + "/" + f.first).c_str(), &st) != 0) broken("cannot stat ", f.first);
            if (st.st_size == 0 && f.first.find("_roughness") != std::string::npos) {
                if (status == 0) broken("a run that ended with 0 left an empty result: ", f.first);
                const size_t slash = f.first.rfind('/');
                const std::string name = f.first.substr(slash == std::string::npos ? 0 : slash + 1);
                if (said.find(name + " is left empty or incomplete") == std::string::npos)
                    broken("an empty result not named on stderr: ", f.first);
            }
            continue;
        }
        std::string now;
        if (!read_file(work_dir + "/" + f.first, now) || now != dem->second)
            broken("the run changed a DEM file: ", f.first);
    }
    for (const auto &f : dem_files)
        if (files.find(f.first) == files.end()) broken("the run removed a DEM file: ", f.first);
    if (chdir(home_dir.c_str()) != 0) broken("cannot go back to ", home_dir);
    return 0;
}
