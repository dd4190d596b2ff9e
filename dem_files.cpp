// The DEM's files as the tool meets them (see dem_files.h).
#include "dem_files.h"

#include "pass_display.h"
#include "run_failure.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

FileId file_id(const struct stat &st, const std::string &path)
{
    FileId id;
    id.dev = st.st_dev, id.ino = st.st_ino, id.known = true, id.path = path;
    id.size = st.st_size, id.mtime = st.st_mtim;
    return id;
}

bool same_file(const FileId &id, const struct stat &st)
{
    return id.known && id.dev == st.st_dev && id.ino == st.st_ino;
}

// Whether `st` is the file `id` with the size and modification time it had.
static bool unchanged(const FileId &id, const struct stat &st)
{
    return same_file(id, st) && st.st_size == id.size && st.st_mtim.tv_sec == id.mtime.tv_sec &&
           st.st_mtim.tv_nsec == id.mtime.tv_nsec;
}

void dem_changed(const FileId &id, const char *what)
{
    fail(std::string("the ") + what + " " + id.path + " changed while the run was reading it; no result is "
         "written, earlier results are left as they were");
}

FILE *open_dem_file(const std::string &path, const char *what, const char *mode, int &error)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        error = errno;
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) fail(std::string("the ") + what + " " + path + " is not a regular file; it is not read");
    FILE *f = std::fopen(path.c_str(), mode);
    error = (f == nullptr) ? errno : 0;
    return f;
}

std::string missing_raster_hint(const std::string &path, int itype_dem1)
{
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

int read_dem_descriptor(FILE *f, const std::string &path, int *const values[6], FileId &id)
{
    int count = 0;
    while (count < 6 && scan_whole_number(f, *values[count])) count++;
    const bool failed = std::ferror(f);
    const int error = errno;
    struct stat st;
    if (fstat(fileno(f), &st) == 0) id = file_id(st, path);
    std::fclose(f);
    if (failed) fail_on_file("cannot read the DEM descriptor", path, error);
    return count;
}

bool write_new_dem_descriptor(const std::string &path, int lines, int columns, int val, FileId &id)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) return false;
    FILE *f = fdopen(fd, "w");
    if (f == nullptr) {
        close(fd);
        return false;
    }
    std::fprintf(f, "%d\n%d\n%d\n", lines, columns, val);
    bool written = std::fflush(f) == 0 && !std::ferror(f);
    struct stat st;
    if (fstat(fd, &st) == 0) id = file_id(st, path);
    written = (std::fclose(f) == 0) && written;
    return written;
}

// Warns about a raster shorter or longer than its descriptor says.
static void check_raster_length(const DemRaster &dem, int nb_lig, const std::string &path, unsigned long long bytes_read)
{
    const unsigned long long expected = static_cast<unsigned long long>(nb_lig) * static_cast<unsigned long long>(dem.nb_col);
    const size_t sample = static_cast<size_t>(dem.sample);
    if (bytes_read < expected * sample) {
        std::fprintf(stderr, "%s: warning: the raster %s holds %llu of the %llu samples expected "
                     "(%d lines, %d columns); the missing ones are 0\n", tool_name,
                     path.c_str(), bytes_read / sample, expected, nb_lig, dem.nb_col);
        return;
    }
    const int more = raster_goes_on(dem, nb_lig);
    if (more < 0) fail_on_file("cannot read the DEM raster", path, errno);
    if (more > 0)
        std::fprintf(stderr, "%s: warning: the raster %s is longer than %llu samples; the rest is ignored\n",
                     tool_name, path.c_str(), expected);
}

void scan_raw_range(DemRaster &dem, int nb_lig, FileId &raster_id, int &mind, int &maxd)
{
    struct stat st;
    if (fstat(dem.fd, &st) == 0) {
        raster_id = file_id(st, raster_id.path);
        dem.held = st.st_size;
    }
    const size_t line_bytes = static_cast<size_t>(dem.nb_col) * static_cast<size_t>(dem.sample);
    const int block = static_cast<int>(std::max<size_t>(1, std::min<size_t>(nb_lig, (1u << 20) / line_bytes)));
    std::vector<unsigned char> scratch(line_bytes * static_cast<size_t>(block));
    int32_t lowest = 10000000, highest = 0;
    unsigned long long bytes = 0;
    show_pass("reading the DEM", 0.0);
    for (int i = 0; i < nb_lig; i += block) {
        const long long got = widen_raw_range(dem, i, std::min(block, nb_lig - i), scratch.data(), lowest, highest);
        if (got < 0 && errno == ESTALE) dem_changed(raster_id, "DEM raster");
        if (got < 0) fail_on_file("cannot read the DEM raster", raster_id.path, errno);
        bytes += static_cast<unsigned long long>(got);
        show_pass("reading the DEM", (i + 1.0) / nb_lig);
    }
    show_pass("reading the DEM", 1.0);
    mind = lowest;
    maxd = highest;
    check_raster_length(dem, nb_lig, raster_id.path, bytes);
}

void check_dem_unchanged(const DemRaster &dem, const FileId &raster, const FileId &descriptor)
{
    struct stat st;
    if (fstat(dem.fd, &st) != 0 || !unchanged(raster, st) || stat(raster.path.c_str(), &st) != 0 ||
        !unchanged(raster, st))
        dem_changed(raster, "DEM raster");
    if (descriptor.known && (stat(descriptor.path.c_str(), &st) != 0 || !unchanged(descriptor, st)))
        dem_changed(descriptor, "DEM descriptor");
}
