// libFuzzer target for ChargeBMP: whatever the bytes, the reader must not crash, read out of
// bounds or leak. Each input is written to a temporary file and read twice, without and with
// the palette asked for; everything handed back is released. The file goes at exit.
#include "image.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string temp_path()
{
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/charge_bmp_fuzz." +
           std::to_string(static_cast<long>(getpid())) + ".bmp";
}

void release(unsigned char **g, int NbLig)
{
    if (g == nullptr) return;
    for (int l = 0; l < NbLig; l++) delete[] g[l];
    delete[] g;
}

// Touches every byte of the grid so that a short line shows under AddressSanitizer.
unsigned check(unsigned char **g, int NbCol, int NbLig, int Type)
{
    if (NbCol < 0 || NbLig < 0 || Type < 0 || Type > 2) std::abort();
    const int taille = Type == 2 ? 3 : 1;
    unsigned sum = 0;
    for (int l = 0; l < NbLig; l++)
        for (int c = 0; c < NbCol * taille; c++) sum += g[l][c];
    return sum;
}

std::string path;

void remove_temp()
{
    std::remove(path.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (path.empty()) {
        path = temp_path();
        std::atexit(remove_temp);
    }
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    if (size > 0 && std::fwrite(data, 1, size, f) != size) {
        std::fclose(f);
        return 0;
    }
    std::fclose(f);

    volatile unsigned sink = 0;
    int NbCol = -1, NbLig = -1, Type = -1;
    Color32 *none = nullptr;
    unsigned char **g = ChargeBMP(path.c_str(), NbCol, NbLig, Type, none);
    if (none != nullptr) std::abort(); // a null request must stay null
    if (g != nullptr) sink = sink + check(g, NbCol, NbLig, Type);
    release(g, NbLig);

    Color32 marker;
    Color32 *pal = &marker;
    g = ChargeBMP(path.c_str(), NbCol, NbLig, Type, pal);
    if (pal == &marker || pal == nullptr) std::abort(); // the palette block is always handed over
    if (g != nullptr) {
        sink = sink + check(g, NbCol, NbLig, Type);
        if (Type != 2)
            for (int i = 0; i < 256; i++) sink = sink + pal[i].R + pal[i].G + pal[i].B + pal[i].O;
    }
    release(g, NbLig);
    delete[] pal;
    return 0;
}
