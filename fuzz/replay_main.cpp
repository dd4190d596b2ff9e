// Replays fuzz inputs without libFuzzer: every file named on the command line is read and
// handed once to the fuzz target it is linked with. A fault shows as the target's abort, a
// sanitizer report or a crash; a clean replay ends with status 0.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    for (int k = 1; k < argc; k++) {
        std::ifstream in(argv[k], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "replay: cannot read %s\n", argv[k]);
            return 1;
        }
        const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replay: %s (%zu bytes)\n", argv[k], data.size());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    return 0;
}
