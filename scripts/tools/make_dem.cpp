// Writes a deterministic fractal DEM for benchmarking: a SIZE x SIZE headerless raster of
// little-endian 16-bit unsigned elevations in whole metres (line after line, the first line
// first) and its six-number descriptor (lines, columns, 2, minimum, maximum, pixel size).
//
//   make_dem SIZE RAW_PATH DESCRIPTOR_PATH [SEED [PIXEL_SIZE [MIN_M MAX_M]]]
//
// The terrain comes from the diamond-square midpoint displacement on the smallest
// 2^k + 1 square that holds SIZE x SIZE, cropped to its top-left corner; it is rescaled to
// MIN_M..MAX_M metres (default 200..2500) with a gentle power curve, so that valleys are
// wider and flatter than crests. The pseudo-random generator is a fixed splitmix64, so the
// same arguments give the same bytes from run to run (and on every machine whose compiler
// and C library round std::pow alike).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

uint64_t rng_state;

uint64_t next_u64() {
  uint64_t z = (rng_state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// Uniform in [-1, 1).
float jitter() { return static_cast<float>(static_cast<double>(next_u64() >> 11) * (2.0 / 9007199254740992.0) - 1.0); }

int usage() {
  std::fprintf(stderr, "usage: make_dem SIZE RAW_PATH DESCRIPTOR_PATH [SEED [PIXEL_SIZE [MIN_M MAX_M]]]\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4 || argc > 8 || argc == 7) return usage();
  const long size = std::strtol(argv[1], nullptr, 10);
  const char *raw_path = argv[2];
  const char *txt_path = argv[3];
  rng_state = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 20261208ULL;
  const long pixel = argc > 5 ? std::strtol(argv[5], nullptr, 10) : 25;
  const long lo = argc > 6 ? std::strtol(argv[6], nullptr, 10) : 200;
  const long hi = argc > 7 ? std::strtol(argv[7], nullptr, 10) : 2500;
  if (size < 3 || size > 32768 || pixel < 0 || lo < 0 || hi > 65535 || lo >= hi) return usage();

  std::size_t n = 2;
  while (n + 1 < static_cast<std::size_t>(size)) n *= 2;
  const std::size_t side = n + 1;
  std::vector<float> h(side * side, 0.0f);
  auto at = [&](std::size_t i, std::size_t j) -> float & { return h[i * side + j]; };

  // Relief: steps of 512 pixels and more (13 km at 25 m) all get the full displacement, so
  // every size has ranges and valleys of the same scale; below that the displacement halves
  // with the step (a Hurst exponent of 1), which keeps the slopes plausible at fine scale.
  float amp = 1.0f;
  at(0, 0) = jitter();
  at(0, n) = jitter();
  at(n, 0) = jitter();
  at(n, n) = jitter();
  for (std::size_t step = n; step > 1; step /= 2) {
    const std::size_t half = step / 2;
    // Diamond: the centre of each square from its four corners.
    for (std::size_t i = half; i < side; i += step)
      for (std::size_t j = half; j < side; j += step)
        at(i, j) = (at(i - half, j - half) + at(i - half, j + half) + at(i + half, j - half) +
                    at(i + half, j + half)) * 0.25f + amp * jitter();
    // Square: the midpoint of each edge from the up to four cells around it.
    for (std::size_t i = 0; i < side; i += half) {
      for (std::size_t j = (i / half) % 2 == 0 ? half : 0; j < side; j += step) {
        float sum = 0.0f;
        int count = 0;
        if (i >= half) { sum += at(i - half, j); ++count; }
        if (i + half < side) { sum += at(i + half, j); ++count; }
        if (j >= half) { sum += at(i, j - half); ++count; }
        if (j + half < side) { sum += at(i, j + half); ++count; }
        at(i, j) = sum / static_cast<float>(count) + amp * jitter();
      }
    }
    if (step <= 512) amp *= 0.5f;
  }

  float fmin = at(0, 0), fmax = at(0, 0);
  for (long i = 0; i < size; ++i)
    for (long j = 0; j < size; ++j) {
      const float v = at(i, j);
      if (v < fmin) fmin = v;
      if (v > fmax) fmax = v;
    }
  const double range = fmax > fmin ? static_cast<double>(fmax) - fmin : 1.0;

  std::FILE *raw = std::fopen(raw_path, "wb");
  if (!raw) { std::perror(raw_path); return 1; }
  std::vector<unsigned char> line(static_cast<std::size_t>(size) * 2);
  long vmin = 65535, vmax = 0;
  for (long i = 0; i < size; ++i) {
    for (long j = 0; j < size; ++j) {
      const double t = (static_cast<double>(at(i, j)) - fmin) / range;  // 0..1
      const long v = lo + std::lround(std::pow(t, 1.4) * static_cast<double>(hi - lo));
      if (v < vmin) vmin = v;
      if (v > vmax) vmax = v;
      line[2 * j] = static_cast<unsigned char>(v & 0xFF);
      line[2 * j + 1] = static_cast<unsigned char>(v >> 8);
    }
    if (std::fwrite(line.data(), 1, line.size(), raw) != line.size()) { std::perror(raw_path); return 1; }
  }
  if (std::fclose(raw) != 0) { std::perror(raw_path); return 1; }

  std::FILE *txt = std::fopen(txt_path, "w");
  if (!txt) { std::perror(txt_path); return 1; }
  std::fprintf(txt, "%ld\n%ld\n2\n%ld\n%ld\n%ld\n", size, size, vmin, vmax, pixel);
  if (std::fclose(txt) != 0) { std::perror(txt_path); return 1; }
  return 0;
}
