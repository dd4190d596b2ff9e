// Grid and vector allocators: zero fill, shape (columns first), separate lines, refusals of
// empty or negative sizes, releases, and the clean-up of an allocation that fails midway.
#include "NRUTIL.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <sys/resource.h>

namespace {

// True when every byte of the n elements at p is zero (+0.0 for the floating types).
template <typename T> bool all_bits_zero(const T *p, int n)
{
    const unsigned char *b = reinterpret_cast<const unsigned char *>(p);
    for (size_t k = 0; k < static_cast<size_t>(n) * sizeof(T); k++)
        if (b[k] != 0) return false;
    return true;
}

// Makes a NbCol x NbLig grid, checks every element is zero and every line is usable to its
// last column (a short line shows under AddressSanitizer), then releases it.
template <typename T>
void check_grid(T **(*make)(int, int), void (*release)(T **, int), int NbCol, int NbLig)
{
    T **g = make(NbCol, NbLig);
    ASSERT_NE(g, nullptr);
    for (int l = 0; l < NbLig; l++) {
        ASSERT_NE(g[l], nullptr) << "line " << l;
        EXPECT_TRUE(all_bits_zero(g[l], NbCol)) << "line " << l;
        g[l][NbCol - 1] = static_cast<T>(l + 1);
    }
    for (int l = 0; l < NbLig; l++) EXPECT_EQ(g[l][NbCol - 1], static_cast<T>(l + 1));
    release(g, NbLig);
}

template <typename T> void check_vector(T *(*make)(int), void (*release)(T *), int n)
{
    T *v = make(n);
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(all_bits_zero(v, n));
    v[n - 1] = static_cast<T>(1);
    release(v);
}

} // namespace

TEST(Nrutil, EveryGridTypeIsZeroFilledWithColumnsFirst)
{
    // 5 columns, 3 lines: every line must hold 5 elements.
    check_grid<float>(fmatrice, frfmatrice, 5, 3);
    check_grid<unsigned char>(ucmatrice, frucmatrice, 5, 3);
    check_grid<unsigned short>(usmatrice, frusmatrice, 5, 3);
    check_grid<short>(smatrice, frsmatrice, 5, 3);
    check_grid<int>(imatrice, frimatrice, 5, 3);
    check_grid<double>(dmatrice, frdmatrice, 5, 3);
    check_grid<long double>(ldmatrice, frldmatrice, 5, 3);
    // A wide single line and a tall single column.
    check_grid<double>(dmatrice, frdmatrice, 1000, 1);
    check_grid<unsigned char>(ucmatrice, frucmatrice, 1, 1000);
}

TEST(Nrutil, EveryVectorTypeIsZeroFilled)
{
    check_vector<unsigned char>(ucvecteur, frucvecteur, 17);
    check_vector<unsigned short>(usvecteur, frusvecteur, 17);
    check_vector<short>(svecteur, frsvecteur, 17);
    check_vector<int>(ivecteur, frivecteur, 17);
    check_vector<double>(dvecteur, frdvecteur, 17);
    check_vector<float>(fvecteur, frfvecteur, 17);
}

TEST(Nrutil, LinesAreSeparateBlocks)
{
    unsigned char **g = ucmatrice(3, 2);
    ASSERT_NE(g, nullptr);
    g[1][2] = 0xAB;
    const unsigned char zero[3] = {0, 0, 0};
    EXPECT_EQ(std::memcmp(g[0], zero, 3), 0);
    EXPECT_NE(g[0], g[1]);
    // Lines do not overlap: neither begins inside the other.
    std::uintptr_t a = reinterpret_cast<std::uintptr_t>(g[0]), b = reinterpret_cast<std::uintptr_t>(g[1]);
    EXPECT_TRUE(a + 3 <= b || b + 3 <= a);
    frucmatrice(g, 2);
}

TEST(Nrutil, ZeroOrNegativeCountsGiveNull)
{
    EXPECT_EQ(imatrice(4, 0), nullptr);
    EXPECT_EQ(imatrice(0, 4), nullptr);
    EXPECT_EQ(imatrice(-1, 4), nullptr);
    EXPECT_EQ(imatrice(4, -1), nullptr);
    EXPECT_EQ(imatrice(-5, -5), nullptr);
    EXPECT_EQ(fmatrice(0, 0), nullptr);
    EXPECT_EQ(ucmatrice(0, 2), nullptr);
    EXPECT_EQ(usmatrice(2, 0), nullptr);
    EXPECT_EQ(smatrice(-3, 2), nullptr);
    EXPECT_EQ(dmatrice(2, -3), nullptr);
    EXPECT_EQ(ldmatrice(0, 1), nullptr);
    EXPECT_EQ(ivecteur(0), nullptr);
    EXPECT_EQ(ivecteur(-7), nullptr);
    EXPECT_EQ(ucvecteur(0), nullptr);
    EXPECT_EQ(usvecteur(-1), nullptr);
    EXPECT_EQ(svecteur(0), nullptr);
    EXPECT_EQ(dvecteur(0), nullptr);
    EXPECT_EQ(fvecteur(-1), nullptr);
}

TEST(Nrutil, ReleasingNullOrWithoutLinesIsHarmless)
{
    frimatrice(nullptr, 0);
    frdmatrice(nullptr, 5); // a null grid is never read, whatever NbLig says
    frucvecteur(nullptr);
    frdvecteur(nullptr);
    // NbLig 0 gives back the row-pointer array only; the line is released by hand.
    int **g = imatrice(2, 1);
    ASSERT_NE(g, nullptr);
    int *line = g[0];
    frimatrice(g, 0);
    std::free(line); // the leak checker of the sanitizer build would flag a double release
}

#if defined(__SANITIZE_ADDRESS__)
#define ORVANDE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVANDE_ASAN 1
#endif
#endif

// A grid allocation that runs out of memory after some lines gives them all back: with the
// address space capped, a failed 64-line request must leave room for a 24-line one that
// fits only if nothing of the first was kept. Run in a child process, whose limit goes with it.
TEST(NrutilDeathTest, FailedAllocationMidwayGivesEverythingBack)
{
#ifdef ORVANDE_ASAN
    GTEST_SKIP() << "address-space limits do not mix with AddressSanitizer's shadow memory";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto child = []() {
        long pages = 0;
        FILE *f = std::fopen("/proc/self/statm", "r");
        if (f == nullptr || std::fscanf(f, "%ld", &pages) != 1) _exit(3);
        std::fclose(f);
        const rlim_t one_mb = 1 << 20;
        const rlim_t now = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
        struct rlimit lim = {now + 40 * one_mb, now + 40 * one_mb};
        if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(3);
        const int cols = static_cast<int>(one_mb / sizeof(int)); // 1 MiB lines
        if (imatrice(cols, 64) != nullptr) _exit(4);              // must fail midway
        int **g = imatrice(cols, 24);
        if (g == nullptr) _exit(5); // the failed request kept its lines
        frimatrice(g, 24);
        _exit(0);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
#endif
}
