// BMP files: writing and reading byte grids as uncompressed 8-bit (256-entry palette) or
// 24-bit (no palette) bitmaps. Multi-byte values are little-endian; pixel rows are stored
// last grid line first, each padded with zero bytes to a multiple of 4.
#ifndef IMAGE_H
#define IMAGE_H

#include <cstdint>
#include <cstdio>

// One palette entry, 4 bytes in the file: blue, green, red, and a fourth byte.
struct Color32 {
    unsigned char B, G, R, O;
};

// The 54-byte header. In the file each field sits at its offset, little-endian; the
// struct itself has padding and is never written or read as a whole.
struct BMP_Header {
    uint16_t BfType;          // offset 0: 19778, the characters "BM"
    uint32_t BfSize;          // offset 2: length of the whole file
    uint16_t Res1, Res2;      // offsets 6, 8
    uint32_t BfOffBits;       // offset 10: first pixel row, 1078 (8-bit) or 54 (24-bit)
    uint32_t BiSize;          // offset 14: 40
    uint32_t BiWidth;         // offset 18: pixels per line
    uint32_t BiHeight;        // offset 22: lines
    uint16_t BiPlanes;        // offset 26: 1
    uint16_t BiBitCount;      // offset 28: 8 or 24
    uint32_t BiCompression;   // offset 30: 0
    uint32_t BiSizeImage;     // offset 34: lines x row stride
    uint32_t BiXPelsPerMeter; // offset 38: 10000
    uint32_t BiYPelsPerMeter; // offset 42: 10000
    uint32_t BiClrUsed;       // offset 46: 0
    uint32_t BiClrImportant;  // offset 50: 0
};

// Writes Buff (NbLig lines of NbCol pixels) to the file Nom. Type 0 or 1: 8-bit with the
// palette ColorMAP (256 entries), or the grey ramp when ColorMAP is null. Type 2: 24-bit,
// each line holding 3 x NbCol bytes. Returns 0 when the whole file was written and closed,
// -1 otherwise (bad arguments are refused before any file is opened).
int SauveBMP(const char *Nom, unsigned char **Buff, int NbCol, int NbLig, int Type, Color32 *ColorMAP);

// The header of such a file and, for an 8-bit image, its palette, into Entete (at least
// 1078 bytes): the bytes that come before the first pixel row. Returns their number (1078,
// or 54 for 24-bit), or -1 for an image that the header's 32-bit sizes cannot describe (or
// bad arguments).
int EnteteBMP(unsigned char *Entete, int NbCol, int NbLig, int Type, const Color32 *ColorMAP);

// The same into a stream already open for writing, at its position; the stream is flushed,
// not closed. Returns 0 when every byte was written and flushed, -1 otherwise.
int SauveBMPFile(FILE *fd, unsigned char **Buff, int NbCol, int NbLig, int Type, Color32 *ColorMAP);

// Reads an 8-bit (offset 1078) or 24-bit (offset 54) uncompressed bottom-up BMP into a new
// grid of NbLig lines of NbCol x (1 or 3) bytes: Type 0 for the grey ramp palette, 1 for
// another palette, 2 for 24-bit. The grid's lines and row-pointer array come from new[] and
// go back with delete[]. When ColorMAP is non-null on entry, it is replaced by a new[] block
// of 256 entries that the caller owns whatever the outcome (the file's palette once read).
// Returns null for any file it does not accept, and never reads past the file.
unsigned char **ChargeBMP(const char *Name, int &NbCol, int &NbLig, int &Type, Color32 *&ColorMAP);

#endif
