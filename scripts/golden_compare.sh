#!/usr/bin/env bash
# Compares the tool of this tree with the tool built from another commit, run for run: the
# same DEMs, the same answers, and then stdout, the exit status and every result file must
# be equal byte for byte.
#
#   scripts/golden_compare.sh [COMMIT] [--quick]        default commit: 5cc9552
#
# COMMIT is extracted with `git archive` into the work folder and built there (once per
# commit; the build is kept). The tool of this tree is built in build-golden/ from the
# working files as they are (or taken from ORVANDE_BIN). The DEMs come from
# scripts/tools/make_dem.cpp and scripts/tools/dem_variant.cpp:
#   m2_4000_raster, m2_4000_bitmap   4000 x 4000 _m2 in metres, raster and bitmap results
#   m2_16000_bitmap                  16000 x 16000 _m2 in metres, bitmap results (not with --quick;
#                                    the older tool holds every grid: about 8 GB of memory)
#   m4mm_3000x2500_raster            _m4 in millimetres, negative and positive elevations
#   small ones                       3 x 3, 1 x 1, 2 x 7, 7 x 2, 5 x 1003 (raster), 37 x 41 (bitmap),
#                                    a coast at 0 m (ratios in the millions), coefficients 0 and 50
# The tool of this tree runs once for each value of GOLDEN_THREADS (default "1 2", given to it
# as ORVANDE_THREADS), and every run is compared with the older tool's.
#
# Prints one line per case and run ("same" or what differs) and exits 1 when anything differs
# or a run could not be made. Environment: GOLDEN_WORK (default build-golden/work),
# ORVANDE_BIN, GOLDEN_THREADS. Installs g++ and cmake when missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/packages.sh"

commit=5cc9552
quick=0
for arg in "$@"; do
  case $arg in
    --quick) quick=1 ;;
    -*) echo "golden_compare.sh: unknown option $arg" >&2; exit 2 ;;
    *) commit=$arg ;;
  esac
done
need_packages g++ cmake
jobs=2
work=${GOLDEN_WORK:-$root/build-golden/work}
mkdir -p "$work"
work=$(cd "$work" && pwd)
threads_list=${GOLDEN_THREADS:-1 2}

# The older tool, built once per commit.
hash=$(git -C "$root" rev-parse --verify "$commit^{commit}") ||
  { echo "golden_compare.sh: no commit $commit" >&2; exit 2; }
old_dir=$work/old-${hash:0:12}
old_bin=$old_dir/build/orvande_3d_roughness
if [ ! -x "$old_bin" ]; then
  echo "== building $commit (${hash:0:12}) ==" >&2
  rm -rf "$old_dir" && mkdir -p "$old_dir/src"
  git -C "$root" archive "$hash" | tar -x -C "$old_dir/src"
  cmake -S "$old_dir/src" -B "$old_dir/build" -DCMAKE_BUILD_TYPE=Release -DORVANDE_TESTS=OFF >/dev/null
  cmake --build "$old_dir/build" --target orvande_3d_roughness -j "$jobs" >/dev/null
fi

# The tool of this tree.
new_bin=${ORVANDE_BIN:-}
if [ -z "$new_bin" ]; then
  echo "== building this tree in build-golden/ ==" >&2
  cmake -S "$root" -B "$root/build-golden/tree" -DCMAKE_BUILD_TYPE=Release -DORVANDE_TESTS=OFF >/dev/null
  cmake --build "$root/build-golden/tree" --target orvande_3d_roughness -j "$jobs" >/dev/null
  new_bin=$root/build-golden/tree/orvande_3d_roughness
fi
new_bin=$(cd "$(dirname "$new_bin")" && pwd)/$(basename "$new_bin")

# The DEM makers.
tools=$work/tools
mkdir -p "$tools"
for t in make_dem dem_variant; do
  if [ ! -x "$tools/$t" ] || [ "$root/scripts/tools/$t.cpp" -nt "$tools/$t" ]; then
    g++ -O2 -std=c++17 -Wall -Wextra -ffp-contract=off -o "$tools/$t" "$root/scripts/tools/$t.cpp"
  fi
done

dems=$work/dems
mkdir -p "$dems"
# A square fractal DEM: size [seed [min max]] -> $dems/sq<size>_<seed>_m2.{raw,txt}
square() {
  local size=$1 seed=${2:-20261208} lo=${3:-200} hi=${4:-2500} base
  base=$dems/sq${size}_${seed}_${lo}_m2
  [ -f "$base.raw" ] || "$tools/make_dem" "$size" "$base.raw" "$base.txt" "$seed" 25 "$lo" "$hi"
  echo "$base"
}
# A cut of a square DEM: name size lines cols m2|m4mm [offset] -> $dems/<name>_m2|_m4.{raw,txt}
variant() {
  local name=$1 size=$2 lines=$3 cols=$4 kind=$5 offset=${6:-0} src suffix
  src=$(square "$size")
  suffix=_m2; [ "$kind" = m4mm ] && suffix=_m4
  "$tools/dem_variant" "$src.raw" "$size" "$lines" "$cols" "$dems/$name$suffix.raw" "$dems/$name$suffix.txt" \
    "$kind" "$offset"
  echo "$dems/$name$suffix"
}

# Runs one tool on one DEM in its own folder: dir bin dem_base answers [threads]
run_one() {
  local dir=$1 bin=$2 base=$3 answers=$4 threads=${5:-}
  rm -rf "$dir" && mkdir -p "$dir/c:/images/g"
  ln -s "$base.raw" "$dir/c:/images/g/$(basename "$base").raw"
  ln -s "$base.txt" "$dir/c:/images/g/$(basename "$base").txt"
  local rc=0
  (cd "$dir" && printf '%b' "$answers" | env ${threads:+ORVANDE_THREADS=$threads} "$bin" >stdout 2>stderr) || rc=$?
  echo "$rc" >"$dir/status"
}

# What differs between two runs' folders ("" when nothing does).
differences() {
  local a=$1 b=$2 what="" f
  cmp -s "$a/stdout" "$b/stdout" || what+=" stdout"
  cmp -s "$a/status" "$b/status" || what+=" status($(cat "$a/status")/$(cat "$b/status"))"
  local fa fb
  fa=$(cd "$a/c:/images/g" && ls | sort | tr '\n' ' ')
  fb=$(cd "$b/c:/images/g" && ls | sort | tr '\n' ' ')
  [ "$fa" = "$fb" ] || what+=" files[$fa|$fb]"
  for f in $fa; do
    [ -L "$a/c:/images/g/$f" ] && continue
    [ -f "$b/c:/images/g/$f" ] && ! cmp -s "$a/c:/images/g/$f" "$b/c:/images/g/$f" && what+=" $f"
  done
  echo "$what"
}

failures=0
# One case: name dem_base answers (the answers after the folder and DEM name)
compare_case() {
  local name=$1 base=$2 rest=$3 dem
  dem=$(basename "$base"); dem=${dem%_m?}
  local answers="g\n$dem\n$rest"
  local runs=$work/runs/$name differs=0
  run_one "$runs/old" "$old_bin" "$base" "$answers"
  for t in $threads_list; do
    run_one "$runs/new$t" "$new_bin" "$base" "$answers" "$t"
    local d
    d=$(differences "$runs/old" "$runs/new$t")
    if [ -z "$d" ]; then
      printf 'same       %-24s threads %-3s exit %s\n' "$name" "$t" "$(cat "$runs/old/status")"
    else
      printf 'DIFFERENT  %-24s threads %-3s:%s\n' "$name" "$t" "$d"
      failures=$((failures + 1)) differs=1
    fi
  done
  # Runs that agree leave nothing behind; a difference keeps its folders to look at.
  [ "$differs" = 1 ] || rm -rf "$runs"
}

echo "old: $commit (${hash:0:12}) $old_bin"
echo "new: $new_bin"
# Answers after the name: type, unit, result name, format, coefficient.
compare_case m2_4000_raster "$(square 4000)" '0\n0\nr\n1\n2\n'
compare_case m2_4000_bitmap "$(square 4000)" '0\n0\nr\n0\n2\n'
compare_case m4mm_3000x2500_raster "$(variant mm 4000 3000 2500 m4mm 1200)" '1\n3\nr\n1\n2\n'
compare_case m2_3x3 "$(square 3)" '0\n0\nr\n1\n2\n'
compare_case m2_1x1 "$(variant one 3 1 1 m2)" '0\n0\nr\n1\n2\n'
compare_case m2_2x7 "$(variant flat2 16 2 7 m2)" '0\n0\nr\n1\n2\n'
compare_case m2_7x2 "$(variant tall2 16 7 2 m2)" '0\n0\nr\n1\n2\n'
compare_case m2_5x1003_raster "$(variant strip 1100 5 1003 m2)" '0\n0\nr\n1\n2\n'
compare_case m2_37x41_bitmap "$(variant odd 64 37 41 m2)" '0\n0\nr\n0\n2\n'
compare_case m2_coast_zeros "$(square 301 7 0 40)" '0\n0\nr\n1\n5\n'
compare_case m2_coef_0 "$(variant c0 300 257 299 m2)" '0\n0\nr\n1\n0\n'
compare_case m2_coef_50 "$(variant c50 300 257 299 m2)" '0\n0\nr\n0\n50\n'
rm -f "$dems"/*4000* "$dems"/mm_*
if [ "$quick" = 0 ]; then
  compare_case m2_16000_bitmap "$(square 16000)" '0\n0\nr\n0\n2\n'
  rm -f "$dems"/*16000*
fi

if [ "$failures" -gt 0 ]; then
  echo "golden_compare.sh: $failures run(s) differ (their folders are kept in $work/runs)" >&2
  exit 1
fi
echo "every run the same"
