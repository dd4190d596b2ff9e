// BMP writer and reader: exact file layout, padding and row order, palettes, round trips,
// the files the reader refuses, the palette hand-over, and the writer's refusals and
// write failures.
#include "NRUTIL.h"
#include "image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

namespace {

Bytes read_file(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path &p, const Bytes &b)
{
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
}

uint32_t le32(const Bytes &b, size_t off)
{
    return b[off] | (b[off + 1] << 8) | (b[off + 2] << 16) | (static_cast<uint32_t>(b[off + 3]) << 24);
}

uint16_t le16(const Bytes &b, size_t off)
{
    return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}

void set32(Bytes &b, size_t off, uint32_t v)
{
    for (int k = 0; k < 4; k++) b[off + k] = static_cast<unsigned char>(v >> (8 * k));
}

void set16(Bytes &b, size_t off, uint16_t v)
{
    b[off] = static_cast<unsigned char>(v);
    b[off + 1] = static_cast<unsigned char>(v >> 8);
}

// Pixel byte k of grid line l, column c: varied, and never all equal along a row.
unsigned char pattern(int l, int c, int k = 0)
{
    return static_cast<unsigned char>(l * 31 + c * 7 + k * 89 + 3);
}

// A grid of NbLig lines of NbCol x taille bytes filled with the pattern.
unsigned char **patterned_grid(int NbCol, int NbLig, int taille)
{
    unsigned char **g = ucmatrice(NbCol * taille, NbLig);
    for (int l = 0; l < NbLig; l++)
        for (int c = 0; c < NbCol; c++)
            for (int k = 0; k < taille; k++) g[l][c * taille + k] = pattern(l, c, k);
    return g;
}

// A palette that is no grey ramp and has non-zero fourth bytes.
void coloured_palette(Color32 *pal)
{
    for (int i = 0; i < 256; i++)
        pal[i] = Color32{static_cast<unsigned char>(255 - i), static_cast<unsigned char>(i * 3),
                         static_cast<unsigned char>(i ^ 0x5A), static_cast<unsigned char>(i + 1)};
}

// Releases a grid made by ChargeBMP.
void free_loaded(unsigned char **g, int NbLig)
{
    if (g == nullptr) return;
    for (int l = 0; l < NbLig; l++) delete[] g[l];
    delete[] g;
}

class BmpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (fs::temp_directory_path() / "orvande_bmp_XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string path(const char *name) const { return (dir / name).string(); }

    // Writes a patterned grid and returns the file's bytes.
    Bytes save(int NbCol, int NbLig, int Type, Color32 *pal = nullptr)
    {
        const int taille = Type == 2 ? 3 : 1;
        unsigned char **g = patterned_grid(NbCol, NbLig, taille);
        EXPECT_EQ(SauveBMP(path("w.bmp").c_str(), g, NbCol, NbLig, Type, pal), 0);
        frucmatrice(g, NbLig);
        return read_file(path("w.bmp"));
    }

    // Reads bytes through ChargeBMP, expecting a refusal; the palette is asked for.
    void expect_refused(const Bytes &b, const char *why)
    {
        write_file(path("r.bmp"), b);
        int NbCol = -9, NbLig = -9, Type = -9;
        Color32 *pal = nullptr;
        unsigned char **g = ChargeBMP(path("r.bmp").c_str(), NbCol, NbLig, Type, pal);
        EXPECT_EQ(g, nullptr) << why;
        free_loaded(g, NbLig);
        Color32 dummy;
        Color32 *asked = &dummy;
        g = ChargeBMP(path("r.bmp").c_str(), NbCol, NbLig, Type, asked);
        EXPECT_EQ(g, nullptr) << why << " (palette asked)";
        EXPECT_NE(asked, &dummy) << why;
        free_loaded(g, NbLig);
        delete[] asked;
    }

    fs::path dir;
};

TEST_F(BmpTest, HeaderOfOneColumnTwoLinesIsByteExact)
{
    const Bytes b = save(1, 2, 0);
    const Bytes header = {0x42, 0x4D, 0x3E, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x36, 0x04, 0x00, 0x00,
                          0x28, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,
                          0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00,
                          0x10, 0x27, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    ASSERT_EQ(b.size(), 1086u);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 54), header);
    // Rows: line 1 first, each one data byte and three zero bytes.
    const Bytes rows = {pattern(1, 0), 0, 0, 0, pattern(0, 0), 0, 0, 0};
    EXPECT_EQ(Bytes(b.begin() + 1078, b.end()), rows);
}

TEST_F(BmpTest, GreyRampPaletteForTypesZeroAndOne)
{
    for (int Type : {0, 1}) {
        const Bytes b = save(2, 2, Type);
        ASSERT_GE(b.size(), 1078u);
        for (int i = 0; i < 256; i++) {
            const Bytes entry(b.begin() + 54 + 4 * i, b.begin() + 58 + 4 * i);
            EXPECT_EQ(entry, (Bytes{static_cast<unsigned char>(i), static_cast<unsigned char>(i),
                                    static_cast<unsigned char>(i), 0}))
                << "Type " << Type << " entry " << i;
        }
    }
}

TEST_F(BmpTest, GivenPaletteIsWrittenByteForByte)
{
    Color32 pal[256];
    coloured_palette(pal);
    const Bytes b = save(3, 1, 1, pal);
    ASSERT_GE(b.size(), 1078u);
    EXPECT_EQ(std::memcmp(b.data() + 54, pal, 1024), 0);
    // Type 2 writes no palette even when one is given.
    const Bytes c = save(3, 1, 2, pal);
    EXPECT_EQ(le32(c, 10), 54u);
    EXPECT_EQ(c.size(), 54u + 12u);
}

// Every width from 1 to 9 in both depths: stride, sizes, header fields, data in place,
// zero padding, last line first.
TEST_F(BmpTest, RowPaddingAndBottomUpOrder)
{
    for (int Type : {0, 2}) {
        const int taille = Type == 2 ? 3 : 1;
        const size_t off = Type == 2 ? 54 : 1078;
        for (int NbCol = 1; NbCol <= 9; NbCol++) {
            const int NbLig = 3;
            SCOPED_TRACE("Type " + std::to_string(Type) + " NbCol " + std::to_string(NbCol));
            const Bytes b = save(NbCol, NbLig, Type);
            const size_t larg = static_cast<size_t>(NbCol) * taille;
            const size_t TBuff = (larg + 3) / 4 * 4;
            ASSERT_EQ(b.size(), off + NbLig * TBuff);
            EXPECT_EQ(le16(b, 0), 19778);
            EXPECT_EQ(le32(b, 2), b.size());
            EXPECT_EQ(le32(b, 10), off);
            EXPECT_EQ(le32(b, 18), static_cast<uint32_t>(NbCol));
            EXPECT_EQ(le32(b, 22), static_cast<uint32_t>(NbLig));
            EXPECT_EQ(le16(b, 28), Type == 2 ? 24 : 8);
            EXPECT_EQ(le32(b, 34), NbLig * TBuff);
            for (int r = 0; r < NbLig; r++) {
                const int l = NbLig - 1 - r; // file row r holds grid line l
                const unsigned char *row = b.data() + off + r * TBuff;
                for (int c = 0; c < NbCol; c++)
                    for (int k = 0; k < taille; k++) ASSERT_EQ(row[c * taille + k], pattern(l, c, k));
                for (size_t p = larg; p < TBuff; p++) ASSERT_EQ(row[p], 0) << "padding byte " << p;
            }
        }
    }
}

TEST_F(BmpTest, NoLinesGivesHeaderAndPaletteOnly)
{
    for (int Type : {0, 2}) {
        EXPECT_EQ(SauveBMP(path("e.bmp").c_str(), nullptr, 5, 0, Type, nullptr), 0);
        const Bytes b = read_file(path("e.bmp"));
        const size_t off = Type == 2 ? 54 : 1078;
        ASSERT_EQ(b.size(), off);
        EXPECT_EQ(le32(b, 2), off);
        EXPECT_EQ(le32(b, 34), 0u);
        // Read back: a grid without lines.
        int NbCol = -1, NbLig = -1, Type2 = -1;
        Color32 *pal = nullptr;
        unsigned char **g = ChargeBMP(path("e.bmp").c_str(), NbCol, NbLig, Type2, pal);
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(NbLig, 0);
        EXPECT_EQ(NbCol, 5);
        EXPECT_EQ(Type2, Type);
        free_loaded(g, NbLig);
    }
}

// Round trips of the three types, odd and even sizes.
TEST_F(BmpTest, RoundTripsKeepSizeTypeAndBytes)
{
    Color32 pal[256];
    coloured_palette(pal);
    for (int Type : {0, 1, 2}) {
        for (int NbCol : {1, 4, 7}) {
            const int NbLig = 5, taille = Type == 2 ? 3 : 1;
            SCOPED_TRACE("Type " + std::to_string(Type) + " NbCol " + std::to_string(NbCol));
            unsigned char **g = patterned_grid(NbCol, NbLig, taille);
            ASSERT_EQ(SauveBMP(path("t.bmp").c_str(), g, NbCol, NbLig, Type, Type == 1 ? pal : nullptr), 0);
            int c2 = 0, l2 = 0, t2 = -1;
            Color32 *got = reinterpret_cast<Color32 *>(&c2); // any non-null value asks for it
            unsigned char **r = ChargeBMP(path("t.bmp").c_str(), c2, l2, t2, got);
            ASSERT_NE(r, nullptr);
            EXPECT_EQ(c2, NbCol);
            EXPECT_EQ(l2, NbLig);
            EXPECT_EQ(t2, Type);
            for (int l = 0; l < NbLig; l++)
                EXPECT_EQ(std::memcmp(r[l], g[l], static_cast<size_t>(NbCol) * taille), 0) << "line " << l;
            if (Type == 1) {
                EXPECT_EQ(std::memcmp(got, pal, sizeof pal), 0);
            }
            free_loaded(r, l2);
            delete[] got;
            frucmatrice(g, NbLig);
        }
    }
}

TEST_F(BmpTest, PaletteTestLooksAtRedGreenBlueOnly)
{
    Color32 ramp[256];
    for (int i = 0; i < 256; i++) {
        const unsigned char v = static_cast<unsigned char>(i);
        ramp[i] = Color32{v, v, v, static_cast<unsigned char>(0xFF - i)}; // O bytes differ
    }
    unsigned char **g = ucmatrice(2, 2);
    auto type_of = [&](const Color32 *p) {
        Color32 copy[256];
        std::memcpy(copy, p, sizeof copy);
        EXPECT_EQ(SauveBMP(path("p.bmp").c_str(), g, 2, 2, 0, copy), 0);
        int c = 0, l = 0, t = -1;
        Color32 *none = nullptr;
        unsigned char **r = ChargeBMP(path("p.bmp").c_str(), c, l, t, none);
        EXPECT_NE(r, nullptr);
        EXPECT_EQ(none, nullptr);
        free_loaded(r, l);
        return t;
    };
    EXPECT_EQ(type_of(ramp), 0);
    for (int entry : {0, 1, 128, 255}) {
        for (int channel = 0; channel < 3; channel++) {
            Color32 p[256];
            std::memcpy(p, ramp, sizeof p);
            unsigned char *field = channel == 0 ? &p[entry].R : channel == 1 ? &p[entry].G : &p[entry].B;
            *field ^= 1;
            EXPECT_EQ(type_of(p), 1) << "entry " << entry << " channel " << channel;
        }
    }
    frucmatrice(g, 2);
}

TEST_F(BmpTest, ReaderRefusesWhatItDoesNotRead)
{
    const Bytes g8 = save(3, 2, 0);  // 8-bit, stride 4
    const Bytes g24 = save(3, 2, 2); // 24-bit, stride 12
    Bytes b;

    expect_refused(Bytes(g8.begin(), g8.begin() + 53), "shorter than the header");
    expect_refused(Bytes(), "empty file");
    b = g8; b[0] = 'M'; b[1] = 'B';
    expect_refused(b, "not BM");
    b = g8; set32(b, 10, 54 + 16 * 4);
    expect_refused(b, "8-bit with a 16-entry palette offset");
    b = g24; set16(b, 28, 16);
    expect_refused(b, "16-bit");
    b = g24; set16(b, 28, 32);
    expect_refused(b, "32-bit");
    b = g8; set16(b, 28, 4);
    expect_refused(b, "4-bit");
    b = g8; set16(b, 28, 24);
    expect_refused(b, "24-bit at the 8-bit offset");
    b = g8; set32(b, 30, 1);
    expect_refused(b, "8-bit RLE");
    b = g24; set32(b, 30, 1);
    expect_refused(b, "24-bit with compression 1");
    b = g8; set32(b, 22, static_cast<uint32_t>(-2));
    expect_refused(b, "top-down rows (negative height)");
    // Complete files, one pixel too tall or too wide: refused for their size alone.
    b = g8; b.resize(1078); set32(b, 18, 1); set32(b, 22, 32768); b.resize(1078 + 4 * 32768, 7);
    expect_refused(b, "taller than 32767");
    b = g8; b.resize(1078); set32(b, 18, 32768); set32(b, 22, 1); b.resize(1078 + 32768, 7);
    expect_refused(b, "wider than 32767");
    b = g24; set32(b, 18, 0xFFFFFFFFu);
    expect_refused(b, "row size overflow");
    b = g8; set32(b, 22, 32767); set32(b, 18, 32767);
    expect_refused(b, "header claiming far more rows than the file holds");

    // Cut short anywhere in the palette or the rows.
    for (size_t len : {54u, 55u, 600u, 1077u, 1078u, 1081u, 1082u, 1085u})
        expect_refused(Bytes(g8.begin(), g8.begin() + len), ("8-bit cut at " + std::to_string(len)).c_str());
    for (size_t len : {54u, 60u, 65u, 66u, 77u})
        expect_refused(Bytes(g24.begin(), g24.begin() + len), ("24-bit cut at " + std::to_string(len)).c_str());

    int NbCol, NbLig, Type;
    Color32 *pal = nullptr;
    EXPECT_EQ(ChargeBMP(path("missing.bmp").c_str(), NbCol, NbLig, Type, pal), nullptr);
    EXPECT_EQ(ChargeBMP(dir.c_str(), NbCol, NbLig, Type, pal), nullptr); // a folder
}

TEST_F(BmpTest, ReaderRefusesEveryCompressionButNoneAndIgnoresTrailingBytes)
{
    const Bytes g8 = save(3, 2, 0), g24 = save(3, 2, 2);
    for (uint32_t comp : {2u, 3u, 4u, 0xFFFFFFFFu}) {
        Bytes b = g8;
        set32(b, 30, comp);
        expect_refused(b, ("8-bit with compression " + std::to_string(comp)).c_str());
        b = g24;
        set32(b, 30, comp);
        expect_refused(b, ("24-bit with compression " + std::to_string(comp)).c_str());
    }
    Bytes b = g8;
    b.push_back(0xEE); // bytes after the last row are not read
    write_file(path("c.bmp"), b);
    int NbCol = 0, NbLig = 0, Type = -1;
    Color32 *pal = nullptr;
    unsigned char **g = ChargeBMP(path("c.bmp").c_str(), NbCol, NbLig, Type, pal);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(NbCol, 3);
    EXPECT_EQ(NbLig, 2);
    EXPECT_EQ(Type, 0);
    EXPECT_EQ(g[1][2], pattern(1, 2));
    free_loaded(g, NbLig);
}

TEST_F(BmpTest, PaletteHandOver)
{
    Color32 pal[256];
    coloured_palette(pal);
    const Bytes b = save(2, 2, 1, pal);
    write_file(path("h.bmp"), b);
    int NbCol, NbLig, Type;

    // Null stays null.
    Color32 *none = nullptr;
    unsigned char **g = ChargeBMP(path("h.bmp").c_str(), NbCol, NbLig, Type, none);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(none, nullptr);
    free_loaded(g, NbLig);

    // The value held before is neither read nor freed: a block the caller still owns.
    Color32 *mine = new Color32[256];
    Color32 *asked = mine;
    g = ChargeBMP(path("h.bmp").c_str(), NbCol, NbLig, Type, asked);
    ASSERT_NE(g, nullptr);
    ASSERT_NE(asked, mine);
    EXPECT_EQ(std::memcmp(asked, pal, sizeof pal), 0);
    free_loaded(g, NbLig);
    delete[] asked;
    delete[] mine;

    // A new block also when the call fails, before or after the file is opened.
    for (const char *name : {"missing.bmp", "h.bmp"}) {
        if (std::string(name) == "h.bmp") write_file(path("h.bmp"), Bytes(b.begin(), b.begin() + 100));
        Color32 one;
        Color32 *p = &one;
        EXPECT_EQ(ChargeBMP(path(name).c_str(), NbCol, NbLig, Type, p), nullptr);
        EXPECT_NE(p, &one);
        EXPECT_NE(p, nullptr);
        delete[] p;
    }
}

TEST_F(BmpTest, WriterRefusesBadArgumentsBeforeOpening)
{
    unsigned char **g = ucmatrice(3, 2);
    const std::string out = path("no.bmp");
    EXPECT_EQ(SauveBMP(out.c_str(), g, 2, 2, 3, nullptr), -1);
    EXPECT_EQ(SauveBMP(out.c_str(), g, 2, 2, -1, nullptr), -1);
    EXPECT_EQ(SauveBMP(out.c_str(), g, -1, 2, 0, nullptr), -1);
    EXPECT_EQ(SauveBMP(out.c_str(), g, 2, -1, 0, nullptr), -1);
    EXPECT_EQ(SauveBMP(out.c_str(), nullptr, 2, 1, 0, nullptr), -1);
    EXPECT_EQ(SauveBMP(nullptr, g, 2, 2, 0, nullptr), -1);
    EXPECT_FALSE(fs::exists(out)) << "a refused call must not create the file";
    // A folder that does not exist.
    EXPECT_EQ(SauveBMP(path("nowhere/x.bmp").c_str(), g, 2, 2, 0, nullptr), -1);
    frucmatrice(g, 2);
}

TEST_F(BmpTest, WriteFailureOnFullDiskIsReported)
{
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    // Small enough to sit in the stream's buffer until it is closed, and large enough not to.
    for (int NbCol : {1, 3000}) {
        unsigned char **g = ucmatrice(NbCol * 3, 4);
        EXPECT_EQ(SauveBMP("/dev/full", g, NbCol, 4, 0, nullptr), -1) << NbCol;
        EXPECT_EQ(SauveBMP("/dev/full", g, NbCol, 4, 2, nullptr), -1) << NbCol;
        frucmatrice(g, 4);
    }
}

TEST_F(BmpTest, LargeImageRoundTrip)
{
    // Several thousand lines of an odd width: rows must not mix up across the buffer.
    const int NbCol = 1001, NbLig = 3001;
    unsigned char **g = patterned_grid(NbCol, NbLig, 1);
    ASSERT_EQ(SauveBMP(path("big.bmp").c_str(), g, NbCol, NbLig, 0, nullptr), 0);
    EXPECT_EQ(fs::file_size(path("big.bmp")), 1078u + 1004u * NbLig);
    int c = 0, l = 0, t = -1;
    Color32 *pal = nullptr;
    unsigned char **r = ChargeBMP(path("big.bmp").c_str(), c, l, t, pal);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(l, NbLig);
    int bad = 0;
    for (int i = 0; i < NbLig; i++) bad += std::memcmp(r[i], g[i], NbCol) != 0;
    EXPECT_EQ(bad, 0);
    free_loaded(r, l);
    frucmatrice(g, NbLig);
}

} // namespace
