#!/usr/bin/env bash
# Complete runs of the tool on a 500 x 400 DEM under valgrind's memcheck: a 16-bit DEM with
# bitmap results and a 32-bit DEM with raster results, and a run that input ends before the
# last question (exit status 1 with every grid allocated). Memcheck must report no invalid read
# or write, no use of an uninitialised value and no definitely lost block, and the results
# must have their full size.
# Skipped (77) without valgrind, and for a sanitizer build, which valgrind cannot run.
set -euo pipefail

bin=${ORVANDE_BIN:?ORVANDE_BIN must name the tool}
if ! command -v valgrind >/dev/null; then
  echo "skipped: valgrind is not installed (Debian package valgrind)"
  exit 77
fi
if [[ ${ORVANDE_BUILD_DIR:-} == *asan* ]] || grep -q __asan_init "$bin"; then
  echo "skipped: $bin is built with AddressSanitizer, which does not run under valgrind"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p c:/images/vg

lines=500 cols=400
# A smooth surface with a few pits: values 1000..~1400, positive so that no ratio divides by
# the 1e-7 stand-in for a zero centre.
perl -e '($l,$c,$fmt)=@ARGV; for $i (0..$l-1) { print pack("$fmt*", map { 1000 + int(200*sin($i/37)*cos($_/23)) + 200 + (($i*7+$_*13)%11) } 0..$c-1) }' \
  $lines $cols v > c:/images/vg/dem_m2.raw
perl -e '($l,$c,$fmt)=@ARGV; for $i (0..$l-1) { print pack("$fmt*", map { 1000 + int(200*sin($i/37)*cos($_/23)) + 200 + (($i*7+$_*13)%11) } 0..$c-1) }' \
  $lines $cols 'l<' > c:/images/vg/dem_m4.raw
printf '%d\n%d\n2\n0\n0\n25\n' $lines $cols > c:/images/vg/dem_m2.txt
printf '%d\n%d\n4\n0\n0\n25\n' $lines $cols > c:/images/vg/dem_m4.txt

status=0
run() { # label, expected exit status, answers
  local label=$1 want=$2 answers=$3 rc=0
  printf '%s\n' "$answers" | valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
    --show-leak-kinds=definite --errors-for-leak-kinds=definite --track-origins=yes \
    --log-file="$work/$label.valgrind" "$bin" >"$work/$label.out" 2>"$work/$label.err" || rc=$?
  local summary
  summary=$(grep -E 'ERROR SUMMARY|definitely lost' "$work/$label.valgrind" | sed 's/^==[0-9]*== *//' | tr '\n' ' ')
  echo "$label: exit $rc; $summary"
  if [ $rc -ne "$want" ] || ! grep -q 'ERROR SUMMARY: 0 errors' "$work/$label.valgrind"; then
    echo "FAIL: $label" >&2
    cat "$work/$label.valgrind" "$work/$label.err" >&2
    status=1
  fi
}

# folder, DEM, type, interval, generic name, format, coefficient of stretching
run m2_bitmap 0 "vg dem 0 0 bm 0 2"
run m4_raster 0 "vg dem 1 1 rs 1 2"
run m2_input_ends 1 "vg dem 0 0 cut 1"

# The results are complete: BMP rows padded to 4 bytes after the 1078-byte header and
# palette; raw rasters of exactly lines x columns bytes.
expect_size() { # path, bytes
  local got
  got=$(stat -c %s "$1" 2>/dev/null || echo missing)
  if [ "$got" != "$2" ]; then
    echo "FAIL: $1 is $got bytes, expected $2" >&2
    status=1
  fi
}
bmp_size=$((1078 + lines * ((cols + 3) / 4 * 4)))
expect_size c:/images/vg/bm_roughness.bmp $bmp_size
expect_size c:/images/vg/bm_roughness_str.bmp $bmp_size
expect_size c:/images/vg/rs_roughness.raw $((lines * cols))
expect_size c:/images/vg/rs_roughness_str.raw $((lines * cols))
exit $status
