// The result files of one run of the tool: decided at the format answer, written under
// temporaries as the results come (the images a block of lines at a time, the stretched one
// from the centred one), and put in place as one set once every one is complete. Failures
// are thrown as RunFailure; the temporaries of a failed run are removed by the caller's
// forget_results.
#ifndef TOOL_RESULTS_H
#define TOOL_RESULTS_H

#include "dem_files.h"

#include <string>

// Decides whether the result `shown` (the local file a result path names) can be made: its
// name is not taken by a folder or by something that is not a regular file, is not another
// name of the DEM raster or descriptor, its folder takes a new file, and an earlier result
// there can be replaced. Then records it; descriptors are put in place after the images.
void add_result(const std::string &shown, bool is_descriptor, const FileId &raster, const FileId &descriptor);

// Writes the whole text of a recorded result (a result descriptor) to its temporary.
void write_result_text(const std::string &shown, const std::string &text);

// Whether an 8-bit BMP of nb_lig x nb_col pixels fits the BMP header's 32-bit sizes.
bool bmp_describable(int nb_lig, int nb_col);

// An image result written a block of lines at a time, in line order, into a new file that
// has no name until it is finished (or a hidden temporary where the file system cannot):
// a raw raster (the lines one after another) or an 8-bit grey BMP (header, grey palette,
// rows from the last line to the first, each padded with zeros to a multiple of 4 bytes).
class ResultImage {
public:
    ResultImage(const std::string &shown, bool bmp, int nb_lig, int nb_col);
    ~ResultImage();
    ResultImage(const ResultImage &) = delete;
    ResultImage &operator=(const ResultImage &) = delete;

    // Lines first .. first + count - 1, nb_col bytes each, one after the other.
    void write_lines(int first, int count, const unsigned char *lines);
    // Every line of `source` (of the same size and kind, complete) with each pixel byte
    // mapped: the stretched image from the centred one, read back from its temporary.
    void write_mapped(const ResultImage &source, const unsigned char mapping[256]);
    // Gives the temporary its hidden name and closes it; a failure ends the run.
    void finish();

private:
    void write_at(const unsigned char *bytes, size_t count, long long offset);
    long long row_offset(int line) const;
    std::string shown_;
    bool bmp_;
    int nb_lig_, nb_col_, fd_ = -1;
    size_t stride_;
    long long head_ = 0;
};

// Renames every recorded result over its final name as one set, images first and
// descriptors last: all of them, or none and the earlier results as they were.
void put_results_in_place();

// Removes the temporaries still recorded and forgets every result.
void forget_results();

#endif
