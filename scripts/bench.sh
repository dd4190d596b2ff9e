#!/usr/bin/env bash
# Benchmark of orvande_3d_roughness against `gdaldem TPI` (GDAL's topographic position index,
# the usual 3x3 neighbourhood tool) on large synthetic DEMs.
#
#   scripts/bench.sh [SIZE...]          default size: 4000
#
# For every SIZE it writes a deterministic fractal DEM of SIZE x SIZE (whole metres,
# 200..2500 m, 25 m pixels) as c:/images/bench/dem<SIZE>_m2.raw plus its descriptor inside the
# work folder, converts it once to a GeoTIFF for GDAL (not timed), then runs REPS times, in
# alternation, one complete scripted run of the tool (raster results) and `gdaldem TPI`, and
# once more the tool with bitmap results. Each run is measured with `/usr/bin/time -v`. It
# prints, per size, the median wall and user CPU seconds, the throughput in Mpixel/s (per wall
# second and per user CPU second), the peak resident set in bytes per pixel, and the ratios
# tool/gdaldem; then the two computing passes alone (scripts/tools/pass_timing.cpp) with 1 and
# 2 threads.
#
# Then the large DEM (BENCH_LARGE x BENCH_LARGE, default 16000: 512 MB of samples): one run of
# the tool with bitmap results and one of gdaldem TPI, both under an address-space limit of
# 2 GiB (`prlimit --as=2147483648`), and the tool's Mpixel/s against that of the first size.
# A run that fails under the limit is reported as such and the benchmark goes on.
#
# Big files are deleted after each size; the /usr/bin/time reports, the tool's console logs and
# a tab-separated summary (results.tsv) stay in the work folder.
#
# Environment:
#   ORVANDE_BIN   the tool to measure (default: build/orvande_3d_roughness, configured in
#                 Release and built with CMake when it is missing or out of date)
#   BENCH_WORK    work folder (default: build-bench/, ignored by git)
#   BENCH_REPS    repetitions of each tool/gdaldem pair (default 3, at least 1)
#   BENCH_LARGE   side of the large DEM run under the limit (default 16000; 0: none)
#   ORVANDE_THREADS is passed on to the tool as it is.
#
# This is a benchmark, not a test: nothing in ctest or CI runs it. Installs the Debian packages
# it needs (g++, cmake, gdal-bin, time, util-linux) when they are missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/packages.sh"

sizes=("$@")
[ ${#sizes[@]} -eq 0 ] && sizes=(4000)
for s in "${sizes[@]}"; do
  [[ $s =~ ^[0-9]+$ ]] && [ "$s" -ge 3 ] && [ "$s" -le 32768 ] ||
    { echo "bench.sh: a size is a whole number from 3 to 32768, not '$s'" >&2; exit 2; }
done
large=${BENCH_LARGE:-16000}
[[ $large =~ ^[0-9]+$ ]] && { [ "$large" = 0 ] || [ "$large" -ge 3 ] && [ "$large" -le 32768 ]; } ||
  { echo "bench.sh: BENCH_LARGE is 0 or a whole number from 3 to 32768" >&2; exit 2; }
as_limit=2147483648  # bytes of address space for the large runs
reps=${BENCH_REPS:-3}
[[ $reps =~ ^[0-9]+$ ]] && [ "$reps" -ge 1 ] || { echo "bench.sh: BENCH_REPS must be >= 1" >&2; exit 2; }
work=${BENCH_WORK:-$root/build-bench}
stretch=2   # coefficient of stretching answered to the tool
pixel=25    # pixel size in metres written into the DEM descriptor

need_packages g++ cmake gdal-bin time util-linux

# The tool: the given binary, or the Release build in build/.
bin=${ORVANDE_BIN:-}
if [ -z "$bin" ]; then
  bin=$root/build/orvande_3d_roughness
  if [ ! -f "$root/build/CMakeCache.txt" ]; then
    echo "== configuring build/ (Release) ==" >&2
    need_packages libgtest-dev   # the project's configure step also sets up the tests
    cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  # Builds the tool when it is missing or older than its sources.
  cmake --build "$root/build" --target orvande_3d_roughness -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
  btype=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$root/build/CMakeCache.txt" 2>/dev/null || true)
  [ "$btype" = Release ] || echo "bench.sh: warning: build/ is configured as '${btype:-?}', not Release" >&2
fi
[ -x "$bin" ] || { echo "bench.sh: no tool at $bin" >&2; exit 1; }
bin=$(cd "$(dirname "$bin")" && pwd)/$(basename "$bin")

mkdir -p "$work/logs"
work=$(cd "$work" && pwd)

# The DEM generator and the pass timer, rebuilt when a source is newer.
gen=$work/make_dem
if [ ! -x "$gen" ] || [ "$root/scripts/tools/make_dem.cpp" -nt "$gen" ]; then
  g++ -O2 -std=c++17 -Wall -Wextra -ffp-contract=off -o "$gen" "$root/scripts/tools/make_dem.cpp"
fi
# The pass timer links the core library: built by CMake in build/.
[ -f "$root/build/CMakeCache.txt" ] || cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" --target pass_timing -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
passes=$root/build/pass_timing

# /usr/bin/time -v report -> "wall user sys maxrss_kB".
time_fields() {
  awk -F': ' '
    /User time \(seconds\)/      { u = $2 }
    /System time \(seconds\)/    { s = $2 }
    /Maximum resident set size/  { m = $2 }
    /Elapsed \(wall clock\) time/ {
      n = split($NF, p, ":"); w = 0
      for (k = 1; k <= n; k++) w = w * 60 + p[k]
    }
    END { printf "%s %s %s %s\n", w, u, s, m }' "$1"
}

# Median of the numbers given as arguments.
median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) printf "%.6f\n", v[(NR + 1) / 2]; else printf "%.6f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Runs the tool once in the work folder on dem<size>; format 1 = raster, 0 = bitmap. With
# `limited`, under the address-space limit, and a failure returns 1 instead of ending the script.
run_tool() { # size format tag [limited]
  local size=$1 format=$2 tag=$3 limited=${4:-} dir="$work/c:/images/bench"
  rm -f "$dir"/r_roughness*
  printf 'bench\ndem%d\n0\n0\nr\n%d\n%s\n' "$size" "$format" "$stretch" >"$work/logs/answers"
  local rc=0 limit=()
  [ -n "$limited" ] && limit=(prlimit --as="$as_limit" --)
  (cd "$work" && timeout 3600 /usr/bin/time -v -o "$work/logs/$tag.time" "${limit[@]}" "$bin" \
      <"$work/logs/answers" >"$work/logs/$tag.out" 2>"$work/logs/$tag.err") || rc=$?
  local want got f
  if [ "$format" = 1 ]; then
    want=$((size * size)); f=(r_roughness.raw r_roughness_str.raw)
  else
    want=$((1078 + (size + 3) / 4 * 4 * size)); f=(r_roughness.bmp r_roughness_str.bmp)
  fi
  for x in "${f[@]}"; do
    got=$(stat -c %s "$dir/$x" 2>/dev/null || echo missing)
    if [ "$rc" != 0 ] || [ "$got" != "$want" ]; then
      echo "bench.sh: the tool's run $tag failed (exit $rc; $x: $got bytes, expected $want)" >&2
      tail -c 1000 "$work/logs/$tag.err" >&2 || true
      rm -f "$dir"/r_roughness*
      [ -n "$limited" ] && return 1
      exit 1
    fi
  done
  rm -f "$dir"/r_roughness*
}

run_gdaldem() { # size tag [limited]
  local size=$1 tag=$2 limited=${3:-} rc=0 limit=()
  [ -n "$limited" ] && limit=(prlimit --as="$as_limit" --)
  rm -f "$work/tpi$size.tif"
  /usr/bin/time -v -o "$work/logs/$tag.time" "${limit[@]}" gdaldem TPI -q "$work/dem$size.tif" "$work/tpi$size.tif" \
    >"$work/logs/$tag.out" 2>&1 || rc=$?
  if [ "$rc" != 0 ] || [ ! -s "$work/tpi$size.tif" ]; then
    echo "bench.sh: gdaldem TPI run $tag failed (exit $rc)" >&2; cat "$work/logs/$tag.out" >&2
    rm -f "$work/tpi$size.tif"
    [ -n "$limited" ] && return 1
    exit 1
  fi
  rm -f "$work/tpi$size.tif"
}

# The DEM of a size and its GeoTIFF for GDAL, both in the page cache.
make_inputs() { # size
  local size=$1 dir="$work/c:/images/bench"
  rm -rf "$work/c:"
  mkdir -p "$dir"
  "$gen" "$size" "$dir/dem${size}_m2.raw" "$dir/dem${size}_m2.txt" 20261208 "$pixel"
  cat >"$work/dem$size.vrt" <<VRT
<VRTDataset rasterXSize="$size" rasterYSize="$size">
  <GeoTransform>0, $pixel, 0, $((size * pixel)), 0, -$pixel</GeoTransform>
  <VRTRasterBand dataType="UInt16" band="1" subClass="VRTRawRasterBand">
    <SourceFilename relativeToVRT="0">$dir/dem${size}_m2.raw</SourceFilename>
    <ImageOffset>0</ImageOffset>
    <PixelOffset>2</PixelOffset>
    <LineOffset>$((size * 2))</LineOffset>
    <ByteOrder>LSB</ByteOrder>
  </VRTRasterBand>
</VRTDataset>
VRT
  gdal_translate -q "$work/dem$size.vrt" "$work/dem$size.tif"
  cat "$dir/dem${size}_m2.raw" "$work/dem$size.tif" >/dev/null   # both inputs in the page cache
}

remove_inputs() { # size
  rm -rf "$work/c:" "$work/dem$1.tif" "$work/dem$1.vrt" "$work/tpi$1.tif"
}

# One table row, and the same in results.tsv: size label runs wall user sys maxrss_kB
row() {
  local px=$(($1 * $1))
  awk -v l="$2" -v n="$3" -v w="$4" -v u="$5" -v s="$6" -v m="$7" -v px="$px" 'BEGIN {
    mw = w > 0 ? sprintf("%.2f", px / 1e6 / w) : "-"   # below the timer resolution
    mu = u > 0 ? sprintf("%.2f", px / 1e6 / u) : "-"
    printf "  %-26s %4d %8.2f %8.2f %7.2f %11s %11s %9.2f\n", l, n, w, u, s, mw, mu, m * 1024 / px }'
  awk -v d="$(date -u +%FT%TZ)" -v z="$1" -v l="$2" -v n="$3" -v w="$4" -v u="$5" -v s="$6" -v m="$7" -v px="$px" 'BEGIN {
    mw = w > 0 ? px / 1e6 / w : 0; mu = u > 0 ? px / 1e6 / u : 0
    printf "%s\t%d\t%s\t%d\t%.2f\t%.2f\t%.2f\t%.3f\t%.3f\t%.2f\n", d, z, l, n, w, u, s, mw, mu, m * 1024 / px }' >>"$summary"
}

header() {
  printf '  %-26s %4s %8s %8s %7s %11s %11s %9s\n' "" runs "wall s" "user s" "sys s" "Mpx/s wall" "Mpx/s user" "RSS B/px"
}

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)
echo "orvande_3d_roughness vs gdaldem TPI — $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, ${cpu:-unknown CPU}"
echo "tool: $bin${ORVANDE_THREADS:+ (ORVANDE_THREADS=$ORVANDE_THREADS)}"
echo "gdal: $(gdalinfo --version)"
echo "repetitions: $reps per size (tool and gdaldem alternating), plus one bitmap run of the tool"
summary=$work/results.tsv
[ -f "$summary" ] || printf 'date\tsize\twhat\truns\twall_s\tuser_s\tsys_s\tmpx_per_wall_s\tmpx_per_user_s\trss_bytes_per_px\n' >"$summary"
first_mpx="" first_size=""

for size in "${sizes[@]}"; do
  make_inputs "$size"
  tw=(); tu=(); ts=(); tm=(); gw=(); gu=(); gs=(); gm=()
  for ((r = 1; r <= reps; r++)); do
    run_tool "$size" 1 "tool_${size}_$r"
    read -r w u s m < <(time_fields "$work/logs/tool_${size}_$r.time")
    tw+=("$w"); tu+=("$u"); ts+=("$s"); tm+=("$m")
    run_gdaldem "$size" "gdaldem_${size}_$r"
    read -r w u s m < <(time_fields "$work/logs/gdaldem_${size}_$r.time")
    gw+=("$w"); gu+=("$u"); gs+=("$s"); gm+=("$m")
  done
  run_tool "$size" 0 "tool_bmp_$size"
  read -r bw bu bs bm < <(time_fields "$work/logs/tool_bmp_$size.time")

  mtw=$(median "${tw[@]}"); mtu=$(median "${tu[@]}"); mts=$(median "${ts[@]}")
  mgw=$(median "${gw[@]}"); mgu=$(median "${gu[@]}"); mgs=$(median "${gs[@]}")
  ptm=$(printf '%s\n' "${tm[@]}" | sort -g | tail -n1)
  pgm=$(printf '%s\n' "${gm[@]}" | sort -g | tail -n1)
  echo
  echo "== ${size} x ${size} = $(awk -v p=$((size * size)) 'BEGIN { printf "%.1f", p / 1e6 }') Mpixel (medians; RSS = peak over the runs) =="
  header
  row "$size" "tool, raster results" "$reps" "$mtw" "$mtu" "$mts" "$ptm"
  row "$size" "gdaldem TPI" "$reps" "$mgw" "$mgu" "$mgs" "$pgm"
  row "$size" "tool, bitmap results" 1 "$bw" "$bu" "$bs" "$bm"
  awk -v tu="$mtu" -v gu="$mgu" -v tw="$mtw" -v gw="$mgw" 'BEGIN {
    ru = (gu > 0 && tu > 0) ? sprintf("%.2f", tu / gu) : "-"
    rw = (gw > 0 && tw > 0) ? sprintf("%.2f", tw / gw) : "-"
    printf "  tool/gdaldem: user CPU %s, wall %s\n", ru, rw }'
  echo "  the two passes alone (scripts/tools/pass_timing.cpp, medians of 5):"
  "$passes" "$work/c:/images/bench/dem${size}_m2.raw" "$size" "$size" 1 2 | sed 's/^/    /'
  if [ -z "$first_size" ]; then
    first_size=$size
    first_mpx=$(awk -v p=$((size * size)) -v w="$mtw" 'BEGIN { r = w > 0 ? p / 1e6 / w : 0; printf "%.3f", r }')
  fi
  remove_inputs "$size"
done

if [ "$large" != 0 ]; then
  make_inputs "$large"
  echo
  echo "== ${large} x ${large}, under prlimit --as=$as_limit (one run each) =="
  header
  if run_tool "$large" 0 "tool_large_$large" limited; then
    read -r w u s m < <(time_fields "$work/logs/tool_large_$large.time")
    row "$large" "tool, bitmap, limited" 1 "$w" "$u" "$s" "$m"
    awk -v p=$((large * large)) -v w="$w" -v f="$first_mpx" -v z="$first_size" -v L="$large" 'BEGIN {
      if (z == "") exit
      r = (w > 0 && f > 0) ? sprintf("%.0f%%", 100 * p / 1e6 / w / f) : "-"
      printf "  tool Mpixel/s per wall second at %d: %s of that at %d (raster results)\n", L, r, z }'
  else
    echo "  tool, bitmap, limited: the run failed under the limit (see above)"
  fi
  if run_gdaldem "$large" "gdaldem_large_$large" limited; then
    read -r w u s m < <(time_fields "$work/logs/gdaldem_large_$large.time")
    row "$large" "gdaldem TPI, limited" 1 "$w" "$u" "$s" "$m"
  else
    echo "  gdaldem TPI, limited: the run failed under the limit (see above)"
  fi
  remove_inputs "$large"
fi
echo "summary rows appended to $summary"
