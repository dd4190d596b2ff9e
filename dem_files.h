// The DEM's files as the tool meets them: the raster and its text descriptor, opened only
// for reading (a missing descriptor is created, never rewritten), their identities (so that
// no result can be another name of them and a change under the run is seen), and the scan
// of the raster's raw range. Failures are thrown as RunFailure; warnings go to stderr.
#ifndef DEM_FILES_H
#define DEM_FILES_H

#include "dem_lines.h"

#include <cstdio>
#include <string>

#include <sys/stat.h>

// Which file a DEM file is, with the size and modification time it had when it was read.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool known = false;
    std::string path; // local path, for messages
    off_t size = 0;
    timespec mtime{};
};

FileId file_id(const struct stat &st, const std::string &path);

// Whether `st` is the file `id` (device and inode).
bool same_file(const FileId &id, const struct stat &st);

// Opens a DEM file for reading. A file that is missing (or unreadable) gives null and the
// reason in `error`; one that is not a regular file (a folder, a FIFO, a device) is refused
// before it is opened, since opening a FIFO would wait forever.
FILE *open_dem_file(const std::string &path, const char *what, const char *mode, int &error);

// A hint for a raster that is missing at `path` (local, ending in _m2.raw or _m4.raw): a
// raster of the other storage type under the same name, or a name typed with its storage
// suffix; "" when there is none.
std::string missing_raster_hint(const std::string &path, int itype_dem1);

// Reads the numbers of an open DEM descriptor into *values[0..5] (lines, columns, bytes per
// pixel, minimum, maximum, pixel size); reading stops at the first item that is not a whole
// number as "%d" reads it, and every value not read keeps what it held. Closes f, records
// its identity in `id`, and returns how many were read. A read error ends the run.
int read_dem_descriptor(FILE *f, const std::string &path, int *const values[6], FileId &id);

// Writes "lines\ncolumns\nval\n" into a new DEM descriptor created for it (never through a
// link or over a file that appeared meanwhile) and records its identity; false when that
// fails.
bool write_new_dem_descriptor(const std::string &path, int lines, int columns, int val, FileId &id);

// Reads the whole raster once, a block of lines at a time, for the range of its raw values,
// from the start values 10000000 and 0 (so that a DEM of values 0 or below shows a maximum
// of 0), the missing samples of a short raster counted as 0, with the pass display "reading
// the DEM"; warns about a raster shorter or longer than nb_lig lines. Records the raster's
// identity and length (dem.held) first. A read error or a change under the scan ends the run.
void scan_raw_range(DemRaster &dem, int nb_lig, FileId &raster_id, int &mind, int &maxd);

// Ends the run, saying so, when a DEM file changed while the run read it.
[[noreturn]] void dem_changed(const FileId &id, const char *what);

// Ends the run when a DEM file is no longer what the range scan read: another file under
// its name, or a size or modification time of its own that changed since.
void check_dem_unchanged(const DemRaster &dem, const FileId &raster, const FileId &descriptor);

#endif
