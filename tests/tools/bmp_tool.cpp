// Test helper for the shell tests: calls SauveBMP and ChargeBMP from the command line.
//
//   bmp_tool write FILE.bmp TYPE WIDTH HEIGHT EXPECTED.rgb
//       Writes a patterned image with SauveBMP (Type 0 grey ramp, 1 a coloured palette,
//       2 24-bit) and the pixels it should show, top line first, as raw R G B bytes.
//   bmp_tool read FILE.bmp PIXELS.rgb
//       Reads FILE.bmp with ChargeBMP, prints "WIDTH HEIGHT TYPE" and writes its pixels,
//       top line first, as raw R G B bytes. Prints "null" and exits 1 when refused.
// Exit status 2 for a usage or file error.
#include "image.h"
#include "NRUTIL.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

unsigned char pattern(int line, int col, int k)
{
    return static_cast<unsigned char>((line * 37 + col * 11 + k * 101 + 5) & 0xFF);
}

Color32 coloured_entry(int i)
{
    Color32 c;
    c.R = static_cast<unsigned char>(i);
    c.G = static_cast<unsigned char>(255 - i);
    c.B = static_cast<unsigned char>((i * 7) & 0xFF);
    c.O = 0;
    return c;
}

int write_cmd(const char *bmp, int type, int w, int h, const char *rgb)
{
    const int taille = (type == 2) ? 3 : 1;
    unsigned char **g = ucmatrice(w * taille, h);
    if (g == nullptr) return 2;
    Color32 pal[256];
    for (int i = 0; i < 256; i++) pal[i] = coloured_entry(i);
    FILE *out = std::fopen(rgb, "wb");
    if (out == nullptr) return 2;
    for (int l = 0; l < h; l++) {
        for (int c = 0; c < w; c++) {
            unsigned char px[3];
            if (type == 2) {
                for (int k = 0; k < 3; k++) g[l][3 * c + k] = pattern(l, c, k);
                px[0] = g[l][3 * c + 2]; // stored blue, green, red
                px[1] = g[l][3 * c + 1];
                px[2] = g[l][3 * c];
            } else {
                unsigned char v = pattern(l, c, 0);
                g[l][c] = v;
                Color32 e = (type == 1) ? pal[v] : Color32{v, v, v, 0};
                px[0] = e.R;
                px[1] = e.G;
                px[2] = e.B;
            }
            std::fwrite(px, 1, 3, out);
        }
    }
    std::fclose(out);
    int rc = SauveBMP(bmp, g, w, h, type, type == 1 ? pal : nullptr);
    frucmatrice(g, h);
    return rc == 0 ? 0 : 2;
}

int read_cmd(const char *bmp, const char *rgb)
{
    int w = 0, h = 0, type = -1;
    Color32 *pal = reinterpret_cast<Color32 *>(1); // asks for the palette
    unsigned char **g = ChargeBMP(bmp, w, h, type, pal);
    if (g == nullptr) {
        delete[] pal;
        std::printf("null\n");
        return 1;
    }
    std::printf("%d %d %d\n", w, h, type);
    FILE *out = std::fopen(rgb, "wb");
    for (int l = 0; l < h; l++) {
        for (int c = 0; c < w && out != nullptr; c++) {
            unsigned char px[3];
            if (type == 2) {
                px[0] = g[l][3 * c + 2];
                px[1] = g[l][3 * c + 1];
                px[2] = g[l][3 * c];
            } else {
                const Color32 &e = pal[g[l][c]];
                px[0] = e.R;
                px[1] = e.G;
                px[2] = e.B;
            }
            std::fwrite(px, 1, 3, out);
        }
        delete[] g[l];
    }
    delete[] g;
    delete[] pal;
    if (out == nullptr || std::fclose(out) != 0) return 2;
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 7 && std::strcmp(argv[1], "write") == 0)
        return write_cmd(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]), argv[6]);
    if (argc == 4 && std::strcmp(argv[1], "read") == 0) return read_cmd(argv[2], argv[3]);
    std::fprintf(stderr, "usage: bmp_tool write FILE.bmp TYPE WIDTH HEIGHT EXPECTED.rgb\n"
                         "       bmp_tool read FILE.bmp PIXELS.rgb\n");
    return 2;
}
