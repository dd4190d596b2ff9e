// The result files of one run of the tool (see tool_results.h).
#include "tool_results.h"

#include "asking.h"
#include "image.h"
#include "result_files.h"
#include "run_failure.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <unistd.h>

namespace {

struct Result {
    std::string shown;  // the local path named by the result's path text
    std::string target; // the local file that receives it (links followed)
    bool is_descriptor = false;
    int temporary = -1; // its slot once its temporary is created
};
std::vector<Result> results;

Result &result_of(const std::string &shown)
{
    for (Result &r : results)
        if (r.shown == shown) return r;
    throw std::logic_error("a result that was not checked at the format answer: " + shown);
}

[[noreturn]] void write_failed(const std::string &shown, int error)
{
    fail("could not write the result file " + shown + ": " + (error != 0 ? std::strerror(error) : "write error") +
         "; earlier results are left as they were");
}

// A new temporary for a recorded result, open for reading and writing.
int create_result_temporary(const std::string &shown)
{
    Result &r = result_of(shown);
    const int fd = create_temporary_beside(r.target, r.temporary);
    if (fd < 0) write_failed(shown, errno);
    return fd;
}

} // namespace

// Whether a result's name leads through links to a file named as a DEM raster or
// descriptor is ("..._m2.raw", "..._m4.txt"), of this run's DEM or of another one.
static bool leads_to_a_dem_file(const std::string &shown, const std::string &target)
{
    if (target == shown) return false;
    for (const char *suffix : {"_m2.raw", "_m4.raw", "_m2.txt", "_m4.txt"}) {
        const size_t n = std::strlen(suffix);
        if (target.size() >= n && target.compare(target.size() - n, n, suffix) == 0) return true;
    }
    return false;
}

void add_result(const std::string &shown, bool is_descriptor, const FileId &raster, const FileId &descriptor)
{
    Result r;
    r.shown = shown, r.target = link_target(shown), r.is_descriptor = is_descriptor;
    struct stat st;
    if (stat(r.target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) fail_on_file("cannot create the result file", shown, EISDIR);
        for (const FileId *dem : {&raster, &descriptor})
            if (same_file(*dem, st))
                fail("the result file " + shown + " is the DEM file " + dem->path + " under another name; nothing "
                     "is written");
        if (!S_ISREG(st.st_mode)) fail("the result file " + shown + " is not a regular file; nothing is written");
    }
    if (leads_to_a_dem_file(shown, r.target))
        fail("the result file " + shown + " leads to " + r.target + ", a DEM file; nothing is written");
    const bool earlier = lstat(r.target.c_str(), &st) == 0;
    const int error = check_replaceable(r.target);
    if (error != 0 && earlier) fail_on_file("cannot replace the earlier result file", shown, error);
    if (error != 0) fail_on_file("cannot create the result file", shown, error);
    results.push_back(r);
}

void write_result_text(const std::string &shown, const std::string &text)
{
    const int fd = create_result_temporary(shown);
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = errno;
            close(fd);
            write_failed(shown, error);
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0) write_failed(shown, errno);
}

bool bmp_describable(int nb_lig, int nb_col)
{
    unsigned char head[1078];
    return EnteteBMP(head, nb_col, nb_lig, 0, nullptr) > 0;
}

// ---------------------------------------------------------------------------------------
// Images
// ---------------------------------------------------------------------------------------
ResultImage::ResultImage(const std::string &shown, bool bmp, int nb_lig, int nb_col)
    : shown_(shown), bmp_(bmp), nb_lig_(nb_lig), nb_col_(nb_col),
      stride_(bmp ? (static_cast<size_t>(nb_col) + 3) / 4 * 4 : static_cast<size_t>(nb_col))
{
    Result &r = result_of(shown);
    fd_ = create_unnamed_beside(r.target, r.temporary);
    if (fd_ < 0) write_failed(shown, errno);
    if (!bmp_) return;
    unsigned char head[1078];
    const int size = EnteteBMP(head, nb_col, nb_lig, 0, nullptr);
    if (size < 0) write_failed(shown_, EFBIG);
    head_ = size;
    write_at(head, static_cast<size_t>(size), 0);
}

ResultImage::~ResultImage()
{
    if (fd_ >= 0) close(fd_);
}

void ResultImage::write_at(const unsigned char *bytes, size_t count, long long offset)
{
    size_t done = 0;
    while (done < count) {
        const ssize_t n = pwrite(fd_, bytes + done, count - done, static_cast<off_t>(offset + static_cast<long long>(done)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) write_failed(shown_, errno);
        done += static_cast<size_t>(n);
    }
}

// Where line `line` starts in the file.
long long ResultImage::row_offset(int line) const
{
    const int row = bmp_ ? nb_lig_ - 1 - line : line;
    return head_ + static_cast<long long>(row) * static_cast<long long>(stride_);
}

void ResultImage::write_lines(int first, int count, const unsigned char *lines)
{
    if (count <= 0) return;
    const size_t cols = static_cast<size_t>(nb_col_);
    if (!bmp_) {
        write_at(lines, cols * static_cast<size_t>(count), row_offset(first));
        return;
    }
    // A BMP holds the block's rows in the opposite order, each padded: one region of the file.
    std::vector<unsigned char> rows(stride_ * static_cast<size_t>(count), 0);
    for (int k = 0; k < count; k++)
        std::memcpy(rows.data() + stride_ * static_cast<size_t>(count - 1 - k), lines + cols * static_cast<size_t>(k), cols);
    write_at(rows.data(), rows.size(), row_offset(first + count - 1));
}

void ResultImage::write_mapped(const ResultImage &source, const unsigned char mapping[256])
{
    const int block = static_cast<int>(std::max<size_t>(1, (size_t(1) << 20) / std::max<size_t>(stride_, 1)));
    std::vector<unsigned char> rows(stride_ * static_cast<size_t>(std::min(block, std::max(nb_lig_, 1))));
    if (bmp_) {
        unsigned char head[1078];
        write_at(head, static_cast<size_t>(EnteteBMP(head, nb_col_, nb_lig_, 0, nullptr)), 0);
    }
    for (int row = 0; row < nb_lig_; row += block) {
        const int count = std::min(block, nb_lig_ - row);
        const size_t bytes = stride_ * static_cast<size_t>(count);
        const long long offset = head_ + static_cast<long long>(row) * static_cast<long long>(stride_);
        const ssize_t got = pread(source.fd_, rows.data(), bytes, static_cast<off_t>(offset));
        if (got != static_cast<ssize_t>(bytes)) write_failed(source.shown_, got < 0 ? errno : EIO);
        for (int k = 0; k < count; k++) {
            unsigned char *line = rows.data() + stride_ * static_cast<size_t>(k);
            for (int j = 0; j < nb_col_; j++) line[j] = mapping[line[j]];
        }
        write_at(rows.data(), bytes, offset);
    }
}

void ResultImage::finish()
{
    Result &r = result_of(shown_);
    if (!name_temporary(fd_, r.target, r.temporary)) write_failed(shown_, errno);
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) write_failed(shown_, errno);
}

// ---------------------------------------------------------------------------------------
// The set
// ---------------------------------------------------------------------------------------
void put_results_in_place()
{
    check_dialogue_written();
    std::vector<SetMember> set;
    std::vector<const Result *> order;
    for (int descriptors = 0; descriptors < 2; descriptors++)
        for (const Result &r : results)
            if (r.is_descriptor == (descriptors == 1) && r.temporary >= 0) {
                set.push_back(SetMember{r.temporary, r.target});
                order.push_back(&r);
            }
    SetFailure failure;
    if (put_set_in_place(set, failure)) return;
    const std::string &shown = order[static_cast<size_t>(failure.member)]->shown;
    if (failure.displaced)
        fail("the result file " + shown + " was replaced by another file while it was put in place (that entry "
             "was removed); earlier results are left as they were");
    fail("could not put in place the result file " + shown + ": " + std::strerror(failure.error) +
         "; earlier results are left as they were");
}

void forget_results()
{
    remove_temporaries();
    results.clear();
}
