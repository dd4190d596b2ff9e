// BMP writer and reader for byte grids: 8-bit with a 256-entry palette, or 24-bit without.
//
// Layout of a file: the 54-byte header, then (8-bit only) 256 palette entries of 4 bytes,
// then the pixel rows, the grid's last line first. Each row holds NbCol x taille data
// bytes (taille 1 or 3) followed by zero bytes up to the row stride, the smallest multiple
// of 4 that is not below the data bytes. Every multi-byte value is little-endian and is
// placed at its offset one field at a time; the BMP_Header struct is never copied whole.
#include "image.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

const int HEADER_SIZE = 54;
const int PALETTE_ENTRIES = 256;
const int PALETTE_SIZE = PALETTE_ENTRIES * 4;
const uint16_t BMP_MAGIC = 19778; // "BM"
const uint32_t OFFSET_8BIT = HEADER_SIZE + PALETTE_SIZE; // 1078
const uint32_t OFFSET_24BIT = HEADER_SIZE;               // 54
// The reader accepts at most this many columns and lines: a height with its top bit set
// (rows stored top line first) lies above it, and so does any width whose row size could
// overflow.
const uint32_t MAX_SIDE = 32767;

void put16(unsigned char *p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v & 0xFF);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char *p, uint32_t v)
{
    for (int k = 0; k < 4; k++) p[k] = static_cast<unsigned char>((v >> (8 * k)) & 0xFF);
}

uint16_t get16(const unsigned char *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t get32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void encode_header(const BMP_Header &h, unsigned char *b)
{
    put16(b + 0, h.BfType);
    put32(b + 2, h.BfSize);
    put16(b + 6, h.Res1);
    put16(b + 8, h.Res2);
    put32(b + 10, h.BfOffBits);
    put32(b + 14, h.BiSize);
    put32(b + 18, h.BiWidth);
    put32(b + 22, h.BiHeight);
    put16(b + 26, h.BiPlanes);
    put16(b + 28, h.BiBitCount);
    put32(b + 30, h.BiCompression);
    put32(b + 34, h.BiSizeImage);
    put32(b + 38, h.BiXPelsPerMeter);
    put32(b + 42, h.BiYPelsPerMeter);
    put32(b + 46, h.BiClrUsed);
    put32(b + 50, h.BiClrImportant);
}

void decode_header(const unsigned char *b, BMP_Header &h)
{
    h.BfType = get16(b + 0);
    h.BfSize = get32(b + 2);
    h.Res1 = get16(b + 6);
    h.Res2 = get16(b + 8);
    h.BfOffBits = get32(b + 10);
    h.BiSize = get32(b + 14);
    h.BiWidth = get32(b + 18);
    h.BiHeight = get32(b + 22);
    h.BiPlanes = get16(b + 26);
    h.BiBitCount = get16(b + 28);
    h.BiCompression = get32(b + 30);
    h.BiSizeImage = get32(b + 34);
    h.BiXPelsPerMeter = get32(b + 38);
    h.BiYPelsPerMeter = get32(b + 42);
    h.BiClrUsed = get32(b + 46);
    h.BiClrImportant = get32(b + 50);
}

// Row stride: the smallest multiple of 4 that is not below the data bytes of a row.
size_t row_stride(size_t larg)
{
    return (larg + 3) / 4 * 4;
}

// Gives back a grid made by ChargeBMP: every line that was obtained, then the row pointers.
void release_lines(unsigned char **grid, uint32_t nb_lig)
{
    if (grid == nullptr) return;
    for (uint32_t i = 0; i < nb_lig; i++) delete[] grid[i];
    delete[] grid;
}

} // namespace

// Whether SauveBMP can describe and write the image: the arguments make sense and the
// header's 32-bit sizes hold it.
static bool writable_bmp(unsigned char **Buff, int NbCol, int NbLig, int Type)
{
    if (Type < 0 || Type > 2 || NbCol < 0 || NbLig < 0) return false;
    if (NbLig > 0 && Buff == nullptr) return false;
    const size_t larg = static_cast<size_t>(NbCol) * ((Type == 2) ? 3 : 1);
    const uint32_t off_bits = (Type == 2) ? OFFSET_24BIT : OFFSET_8BIT;
    if (static_cast<unsigned long long>(NbLig) * row_stride(larg) + off_bits > 0xFFFFFFFFull) return false;
    for (int i = 0; larg > 0 && i < NbLig; i++)
        if (Buff[i] == nullptr) return false;
    return true;
}

int EnteteBMP(unsigned char *Entete, int NbCol, int NbLig, int Type, const Color32 *ColorMAP)
{
    if (Entete == nullptr || Type < 0 || Type > 2 || NbCol < 0 || NbLig < 0) return -1;
    const size_t larg = static_cast<size_t>(NbCol) * ((Type == 2) ? 3 : 1);
    const uint32_t off_bits = (Type == 2) ? OFFSET_24BIT : OFFSET_8BIT;
    if (static_cast<unsigned long long>(NbLig) * row_stride(larg) + off_bits > 0xFFFFFFFFull) return -1;

    BMP_Header h;
    h.BfType = BMP_MAGIC;
    h.Res1 = 0;
    h.Res2 = 0;
    h.BfOffBits = off_bits;
    h.BiSize = 40;
    h.BiWidth = static_cast<uint32_t>(NbCol);
    h.BiHeight = static_cast<uint32_t>(NbLig);
    h.BiPlanes = 1;
    h.BiBitCount = static_cast<uint16_t>(Type == 2 ? 24 : 8);
    h.BiCompression = 0;
    h.BiSizeImage = static_cast<uint32_t>(static_cast<unsigned long long>(NbLig) * row_stride(larg));
    h.BfSize = h.BfOffBits + h.BiSizeImage;
    h.BiXPelsPerMeter = 10000;
    h.BiYPelsPerMeter = 10000;
    h.BiClrUsed = 0;
    h.BiClrImportant = 0;
    encode_header(h, Entete);
    if (Type == 2) return HEADER_SIZE;

    // The palette, serialised B, G, R, O per entry: the one given, or the grey ramp.
    for (int i = 0; i < PALETTE_ENTRIES; i++) {
        unsigned char *e = Entete + HEADER_SIZE + 4 * i;
        if (ColorMAP != nullptr) {
            e[0] = ColorMAP[i].B;
            e[1] = ColorMAP[i].G;
            e[2] = ColorMAP[i].R;
            e[3] = ColorMAP[i].O;
        } else {
            e[0] = e[1] = e[2] = static_cast<unsigned char>(i);
            e[3] = 0;
        }
    }
    return static_cast<int>(OFFSET_8BIT);
}

int SauveBMPFile(FILE *fd, unsigned char **Buff, int NbCol, int NbLig, int Type, Color32 *ColorMAP)
{
    if (fd == nullptr || !writable_bmp(Buff, NbCol, NbLig, Type)) return -1;
    const size_t larg = static_cast<size_t>(NbCol) * ((Type == 2) ? 3 : 1);
    const size_t TBuff = row_stride(larg);

    // Scratch row: data bytes at the start, zero fill after them that is never overwritten.
    unsigned char *BuffTmp = new (std::nothrow) unsigned char[TBuff > 0 ? TBuff : 1]();
    if (BuffTmp == nullptr) return -1;

    unsigned char head[OFFSET_8BIT];
    const int head_size = EnteteBMP(head, NbCol, NbLig, Type, ColorMAP);
    bool ok = std::fwrite(head, 1, static_cast<size_t>(head_size), fd) == static_cast<size_t>(head_size);
    for (int i = NbLig - 1; ok && i >= 0 && TBuff > 0; i--) {
        const unsigned char *row = Buff[i];
        if (TBuff != larg) {
            std::memcpy(BuffTmp, Buff[i], larg);
            row = BuffTmp;
        }
        ok = std::fwrite(row, 1, TBuff, fd) == TBuff;
    }
    if (ok) ok = std::fflush(fd) == 0 && !std::ferror(fd);
    delete[] BuffTmp;
    return ok ? 0 : -1;
}

int SauveBMP(const char *Nom, unsigned char **Buff, int NbCol, int NbLig, int Type, Color32 *ColorMAP)
{
    if (Nom == nullptr || !writable_bmp(Buff, NbCol, NbLig, Type)) return -1;
    FILE *fd = std::fopen(Nom, "wb");
    if (fd == nullptr) return -1;
    bool ok = SauveBMPFile(fd, Buff, NbCol, NbLig, Type, ColorMAP) == 0;
    if (std::fclose(fd) != 0) ok = false;
    return ok ? 0 : -1;
}

unsigned char **ChargeBMP(const char *Name, int &NbCol, int &NbLig, int &Type, Color32 *&ColorMAP)
{
    // The palette block: handed to the caller at once when asked for, scratch otherwise.
    const bool palette_asked = (ColorMAP != nullptr);
    Color32 *CM = new (std::nothrow) Color32[PALETTE_ENTRIES];
    if (palette_asked) ColorMAP = CM;
    if (CM == nullptr) return nullptr;

    FILE *fd = nullptr;
    unsigned char *BuffTmp = nullptr;
    unsigned char **grid = nullptr;
    uint32_t nb_lig = 0;

    // Every failure goes through here: nothing the caller does not own survives.
    auto fail = [&]() -> unsigned char ** {
        if (fd != nullptr) std::fclose(fd);
        delete[] BuffTmp;
        release_lines(grid, nb_lig);
        if (!palette_asked) delete[] CM;
        return nullptr;
    };

    if (Name == nullptr) return fail();
    fd = std::fopen(Name, "rb");
    if (fd == nullptr) return fail();

    unsigned char BuffHeader[HEADER_SIZE];
    if (std::fseek(fd, 0, SEEK_SET) != 0) return fail();
    if (std::fread(BuffHeader, HEADER_SIZE, 1, fd) != 1) return fail();
    BMP_Header h;
    decode_header(BuffHeader, h);
    if (h.BfType != BMP_MAGIC) return fail();

    size_t taille;
    if (h.BiBitCount == 8 && h.BfOffBits == OFFSET_8BIT) {
        taille = 1;
        Type = 0;
    } else if (h.BiBitCount == 24 && h.BfOffBits == OFFSET_24BIT) {
        taille = 3;
        Type = 2;
    } else {
        return fail();
    }
    // Only uncompressed rows can be read: RLE (1, 2) and bit fields (3) are refused.
    if (h.BiCompression != 0) return fail();
    if (h.BiWidth > MAX_SIDE || h.BiHeight > MAX_SIDE) return fail();

    const size_t larg = static_cast<size_t>(h.BiWidth) * taille;
    const size_t TBuff = row_stride(larg);
    nb_lig = h.BiHeight;
    NbCol = static_cast<int>(h.BiWidth);
    NbLig = static_cast<int>(h.BiHeight);

    if (Type != 2) {
        unsigned char raw[PALETTE_SIZE];
        if (std::fread(raw, 4, PALETTE_ENTRIES, fd) != static_cast<size_t>(PALETTE_ENTRIES)) return fail();
        for (int i = 0; i < PALETTE_ENTRIES; i++) {
            CM[i].B = raw[4 * i];
            CM[i].G = raw[4 * i + 1];
            CM[i].R = raw[4 * i + 2];
            CM[i].O = raw[4 * i + 3];
        }
        for (int i = 0; i < PALETTE_ENTRIES; i++) {
            if (CM[i].R != i || CM[i].G != i || CM[i].B != i) {
                Type = 1;
                break;
            }
        }
    }

    // Row pointers first (all null), then each line once its row has been read whole, so
    // that a header claiming more rows than the file holds costs no more than the file.
    grid = new (std::nothrow) unsigned char *[nb_lig > 0 ? nb_lig : 1]();
    if (grid == nullptr) return fail();
    BuffTmp = new (std::nothrow) unsigned char[TBuff > 0 ? TBuff : 1]();
    if (BuffTmp == nullptr) return fail();

    for (uint32_t k = nb_lig; k-- > 0;) {
        if (TBuff > 0 && std::fread(BuffTmp, 1, TBuff, fd) != TBuff) return fail();
        grid[k] = new (std::nothrow) unsigned char[larg > 0 ? larg : 1];
        if (grid[k] == nullptr) return fail();
        if (larg > 0) std::memcpy(grid[k], BuffTmp, larg);
    }

    std::fclose(fd);
    delete[] BuffTmp;
    if (!palette_asked) delete[] CM;
    return grid;
}
