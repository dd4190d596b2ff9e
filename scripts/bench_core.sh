#!/usr/bin/env bash
# Benchmark of the roughness core's own cases, printing figures (not a test: nothing in ctest
# or CI runs it):
#   1. near-flat DEMs of 4000 x 4000 (every ratio within a few ulps of 1): flat at 2559 dm,
#      a plane in dm, a plane in mm (_m4); the tool on 1 thread, user CPU seconds;
#   2. a very wide DEM, 66 x 200000: the tool's peak resident memory with 1, 2 and 64 threads;
#   3. maps() of the Python module on a 4000 x 4000 int32 array (the fractal DEM of
#      scripts/tools/make_dem.cpp, in whole metres) against a complete run of the tool on the
#      same DEM as _m4 with raster results, wall and user CPU seconds.
# Each figure is the median of BENCH_REPS runs (default 3). BENCH_OLD_BIN=PATH runs cases 1
# and 2 with another build of the tool too (e.g. scripts/golden_compare.sh's build of an
# older commit). Works in build-bench-core/ (BENCH_WORK); the tool and the module come from
# build/ (built when needed). Installs what it needs from Debian when it is missing.
#
#   scripts/bench_core.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/packages.sh"
need_packages g++ cmake time python3-numpy pybind11-dev python3-pybind11 python3-dev
reps=${BENCH_REPS:-3}
[[ $reps =~ ^[0-9]+$ ]] && [ "$reps" -ge 1 ] || { echo "bench_core.sh: BENCH_REPS must be >= 1" >&2; exit 2; }
work=${BENCH_WORK:-$root/build-bench-core}
mkdir -p "$work/c:/images/b"
work=$(cd "$work" && pwd)
[ -f "$root/build/CMakeCache.txt" ] || cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" --target orvande_3d_roughness orvande_roughness -j 2 >/dev/null
bin=$root/build/orvande_3d_roughness
old=${BENCH_OLD_BIN:-}
gen=$work/make_dem
[ -x "$gen" ] && [ "$gen" -nt "$root/scripts/tools/make_dem.cpp" ] ||
  g++ -O2 -std=c++17 -ffp-contract=off -o "$gen" "$root/scripts/tools/make_dem.cpp"

# The DEMs: near-flat ones, the wide one, the fractal one as _m2 and _m4 (answers beside them).
dir=$work/c:/images/b
"$gen" 4000 "$dir/fractal_m2.raw" "$dir/fractal_m2.txt" 20261208 25 >/dev/null
/usr/bin/python3 - "$dir" <<'PY'
import sys, numpy as np
d = sys.argv[1] + "/"
def put(name, a, width):
    a.astype("<u2" if width == 2 else "<i4").tofile(d + name + ".raw")
    open(d + name + ".txt", "w").write("%d\n%d\n%d\n0\n0\n25\n" % (a.shape[0], a.shape[1], width))
n = 4000
i, j = np.arange(n)[:, None], np.arange(n)[None, :]
put("flatdm_m2", np.full((n, n), 2559), 2)
put("planedm_m2", 10000 + 2 * i + 3 * j, 2)
put("planemm_m4", 1000000 + 5 * i + 7 * j, 4)
put("wide_m2", 1000 + np.random.default_rng(1).integers(0, 50, (66, 200000)), 2)
put("fractal_m4", np.fromfile(d + "fractal_m2.raw", "<u2").reshape(n, n).astype(np.int32), 4)
PY

median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) printf "%.2f\n", v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# One run of a tool: prints "wall user maxrss_kB". name type unit threads tool
run() {
  printf 'b\n%s\n%s\n%s\nr\n1\n2\n' "$1" "$2" "$3" >"$work/answers"
  (cd "$work" && ORVANDE_THREADS=$4 /usr/bin/time -f '%e %U %M' -o "$work/time" "$5" <"$work/answers" >/dev/null)
  cat "$work/time"
}
# Median figures of BENCH_REPS runs: field (1 wall, 2 user, 3 kB) name type unit threads tool
figure() {
  local field=$1 values=() k; shift
  for ((k = 0; k < reps; k++)); do values+=("$(run "$@" | cut -d' ' -f"$field")"); done
  median "${values[@]}"
}

echo "== near-flat DEMs, 4000 x 4000, 1 thread: user CPU s (median of $reps) =="
for c in "flatdm 0 1" "planedm 0 1" "planemm 1 3"; do
  set -- $c
  line="  $1: this tree $(figure 2 "$1" "$2" "$3" 1 "$bin")"
  [ -n "$old" ] && line="$line, $old $(figure 2 "$1" "$2" "$3" 1 "$old")"
  echo "$line"
done

echo "== 66 x 200000 DEM: peak resident memory, MB =="
for t in 1 2 64; do
  line="  $t threads: this tree $(( $(run wide 0 0 "$t" "$bin" | cut -d' ' -f3) / 1024 ))"
  [ -n "$old" ] && line="$line, $old $(( $(run wide 0 0 "$t" "$old" | cut -d' ' -f3) / 1024 ))"
  echo "$line"
done

echo "== maps() on 4000 x 4000 int32 against the tool (_m4, raster results), $(nproc) threads =="
threads=$(nproc)
echo "  tool: wall $(figure 1 fractal 1 0 "$threads" "$bin") s, user $(figure 2 fractal 1 0 "$threads" "$bin") s"
PYTHONPATH=$root/build/python /usr/bin/python3 - "$dir/fractal_m4.raw" "$reps" <<'PY'
import resource, sys, time
import numpy as np
import orvande_roughness as orr
dem = np.fromfile(sys.argv[1], "<i4").reshape(4000, 4000)
walls, users = [], []
for _ in range(int(sys.argv[2])):
    u0, t0 = resource.getrusage(resource.RUSAGE_SELF).ru_utime, time.perf_counter()
    m = orr.maps(dem, 2.0)
    walls.append(time.perf_counter() - t0)
    users.append(resource.getrusage(resource.RUSAGE_SELF).ru_utime - u0)
print("  maps(): wall %.2f s, user %.2f s (the array in memory; the tool reads and writes files)"
      % (float(np.median(walls)), float(np.median(users))))
PY
