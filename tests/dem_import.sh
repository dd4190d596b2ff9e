#!/usr/bin/env bash
# scripts/dem-import on small GeoTIFFs made here with GDAL: integer and real samples, with
# and without nodata, projected and geographic. Checks the raw bytes, the descriptor and
# the answers printed, then runs the tool (ORVANDE_BIN) on converted DEMs; then
# tests/dem_import_test.py checks the refusals and the unusual rasters. Skipped (77) without
# GDAL's command-line tools (Debian package gdal-bin) or a python3 with GDAL's bindings and
# numpy (python3-gdal, python3-numpy).
set -u
src=${ORVANDE_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
import=$src/scripts/dem-import
for t in gdalinfo gdal_translate python3; do
  if ! command -v "$t" >/dev/null; then
    echo "SKIP: $t is not installed (gdal-bin provides GDAL's tools: apt-get install gdal-bin)"
    exit 77
  fi
done
. "$src/scripts/lib/packages.sh"
if ! py=$(gdal_python); then
  echo "SKIP: no python3 with GDAL's bindings and numpy (apt-get install python3-gdal python3-numpy)"
  exit 77
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root
fails=0 passes=0
ok()  { passes=$((passes + 1)); }
bad() { fails=$((fails + 1)); echo "FAIL: $*"; }
check() { # description, command...
  local what=$1; shift
  if "$@"; then ok; else bad "$what"; fi
}

# asc NAME NCOLS NROWS XLL YLL CELL NODATA ROW... : an ASCII grid, the source of each GeoTIFF.
asc() {
  local name=$1 nc=$2 nr=$3 x=$4 y=$5 cell=$6 nd=$7; shift 7
  {
    printf 'ncols %s\nnrows %s\nxllcorner %s\nyllcorner %s\ncellsize %s\n' "$nc" "$nr" "$x" "$y" "$cell"
    [ "$nd" != - ] && printf 'NODATA_value %s\n' "$nd"
    printf '%s\n' "$@"
  } >"$tmp/$name.asc"
}
# tif NAME TYPE SRS [more gdal_translate options]: NAME.asc -> NAME.tif
tif() {
  local name=$1 type=$2 srs=$3; shift 3
  gdal_translate -q -of GTiff -ot "$type" -a_srs "$srs" "$@" "$tmp/$name.asc" "$tmp/$name.tif" \
    || { bad "gdal_translate could not make $name.tif"; return 1; }
}
# imp ARGS...: runs dem-import with --root, output in $out/$err/$rc.
imp() {
  "$import" "$@" --root "$root" >"$tmp/out" 2>"$tmp/err"
  rc=$?
  out=$(cat "$tmp/out") err=$(cat "$tmp/err")
}
values() { # FILE od-type: the samples as one line
  od -An -v -t "$2" "$1" | tr -s ' \n' '  ' | sed 's/^ //; s/ $//'
}
desc() { tr '\n' ' ' <"$1" | sed 's/ $//'; }
has() { grep -qF -- "$2" <<<"$1"; }
dir=$root/c:/images

# --- 16-bit integers, UTM metres: whole metres in range give _m2, interval 0 --------------
asc int 4 3 500000 4000000 30 - '100 101 102 103' '104 105 106 65535' '0 109 110 111'
tif int Int32 EPSG:32633
imp "$tmp/int.tif" zone site
check "integer DEM converts (rc $rc: $err)" [ "$rc" = 0 ]
check "integer DEM: raw samples" [ "$(values "$dir/zone/site_m2.raw" u2)" = "100 101 102 103 104 105 106 65535 0 109 110 111" ]
check "integer DEM: descriptor" [ "$(desc "$dir/zone/site_m2.txt")" = "3 4 2 0 65535 30" ]
check "integer DEM: no _m4 file" [ ! -e "$dir/zone/site_m4.raw" ]
check "integer DEM: type answer 0" has "$out" "type of MNT ........ 0"
check "integer DEM: interval answer 0" has "$out" "hypsometric interval 0"
check "integer DEM: no nodata reported" has "$out" "nodata: none"
check "descriptor lines end with a line end" [ "$(tail -c 1 "$dir/zone/site_m2.txt" | od -An -t x1 | tr -d ' ')" = 0a ]

# --- a value above 65535 or below 0 needs 32-bit millimetres ------------------------------
asc big 3 3 500000 4000000 30 - '70000 1 2' '3 4 5' '6 7 8'
tif big Int32 EPSG:32633
imp "$tmp/big.tif" zone big
check "70000 m goes to _m4 in millimetres" [ "$(values "$dir/zone/big_m4.raw" d4)" = "70000000 1000 2000 3000 4000 5000 6000 7000 8000" ]
check "70000 m: descriptor" [ "$(desc "$dir/zone/big_m4.txt")" = "3 3 4 1000 70000000 30" ]
check "70000 m: type 1, interval 3" eval 'has "$out" "type of MNT ........ 1" && has "$out" "hypsometric interval 3"'

# --- real samples with fractions and negatives: _m4 millimetres, rounded ------------------
asc real 3 3 600000 5000000 25 - '-1.5 0.25 1234.567' '0.0625 -0.0625 -0.0006' '2.0006 7 8'
tif real Float32 EPSG:32633
imp "$tmp/real.tif" zone real
check "real DEM converts (rc $rc: $err)" [ "$rc" = 0 ]
check "real DEM: millimetres, halves away from zero" [ "$(values "$dir/zone/real_m4.raw" d4)" = "-1500 250 1234567 63 -63 -1 2001 7000 8000" ]
check "real DEM: descriptor" [ "$(desc "$dir/zone/real_m4.txt")" = "3 3 4 -1500 1234567 25" ]
check "real DEM: rounding noted" has "$out" "rounded to the nearest millimetre"

# --- real samples that are whole metres still make _m2 ------------------------------------
asc wholereal 3 3 600000 5000000 10 - '0 1 2' '3 4000 5' '6 7 8'
tif wholereal Float64 EPSG:32633
imp "$tmp/wholereal.tif" zone wr
check "whole real metres: _m2" [ "$(values "$dir/zone/wr_m2.raw" u2)" = "0 1 2 3 4000 5 6 7 8" ]
imp "$tmp/wholereal.tif" zone lifted --add 1000
check "--add 1000 lifts every elevation" [ "$(values "$dir/zone/lifted_m2.raw" u2)" = "1000 1001 1002 1003 5000 1005 1006 1007 1008" ]

# --- --unit ------------------------------------------------------------------------------
imp "$tmp/real.tif" zone realdm --unit dm
check "--unit dm: decimetres, 32-bit for negatives" [ "$(values "$dir/zone/realdm_m4.raw" d4)" = "-15 3 12346 1 -1 0 20 70 80" ]
check "--unit dm: interval 1" has "$out" "hypsometric interval 1"
imp "$tmp/wholereal.tif" zone wrcm --unit cm
check "--unit cm: 400000 cm needs 32 bits" [ "$(values "$dir/zone/wrcm_m4.raw" d4)" = "0 100 200 300 400000 500 600 700 800" ]
check "--unit cm: interval 2" has "$out" "hypsometric interval 2"
imp "$tmp/int.tif" zone intmm --unit mm
check "--unit mm on integers: 32-bit" [ "$(desc "$dir/zone/intmm_m4.txt")" = "3 4 4 0 65535000 30" ]

# --- nodata: refused by default, filled on request -----------------------------------------
asc nd 4 3 500000 4000000 30 -9999 '100 101 102 103' '104 -9999 106 107' '108 109 -9999 111'
tif nd Int16 EPSG:32633
imp "$tmp/nd.tif" zone nd
check "nodata refused (exit 1)" [ "$rc" = 1 ]
check "nodata refusal counts the pixels" has "$err" "2 of 12 pixels"
check "nodata refusal suggests --fill" has "$err" "--fill"
check "nodata refusal writes nothing" eval '[ ! -e "$dir/zone/nd_m2.raw" ] && [ ! -e "$dir/zone/nd_m2.txt" ]'
imp "$tmp/nd.tif" zone nd --fill min
check "--fill min converts (rc $rc: $err)" [ "$rc" = 0 ]
check "--fill min: lowest valid value in the holes" [ "$(values "$dir/zone/nd_m2.raw" u2)" = "100 101 102 103 104 100 106 107 108 109 100 111" ]
check "--fill min: count reported" has "$out" "2 of 12 pixels"
imp "$tmp/nd.tif" zone ndv --fill 150.5
check "--fill 150.5: fraction makes millimetres" [ "$(values "$dir/zone/ndv_m4.raw" d4)" = "100000 101000 102000 103000 104000 150500 106000 107000 108000 109000 150500 111000" ]
check "--fill 150.5: descriptor range" [ "$(desc "$dir/zone/ndv_m4.txt")" = "3 4 4 100000 150500 30" ]
imp "$tmp/nd.tif" zone ndx --fill low
check "--fill with a word is a usage error" [ "$rc" = 2 ]

# NaN samples are nodata even without a nodata value (a 3 x 3 Float64 ENVI raster with one NaN).
d64() { python3 -c 'import struct,sys; sys.stdout.buffer.write(struct.pack("<%dd" % len(sys.argv[1:]), *map(float, sys.argv[1:])))' "$@"; }
d64 100 nan 101 102 103 104 105 106 107 >"$tmp/nan.bin"
printf 'ENVI\nsamples = 3\nlines = 3\nbands = 1\nheader offset = 0\nfile type = ENVI Standard\ndata type = 5\ninterleave = bsq\nbyte order = 0\n' >"$tmp/nan.hdr"
gdal_translate -q -of GTiff -a_srs EPSG:32633 -a_ullr 0 30 30 0 "$tmp/nan.bin" "$tmp/nan.tif"
imp "$tmp/nan.tif" zone nan
check "NaN pixel refused" eval '[ "$rc" = 1 ] && has "$err" "1 of 9 pixels"'
imp "$tmp/nan.tif" zone nan --fill min
check "NaN pixel filled with the minimum" [ "$(values "$dir/zone/nan_m2.raw" u2)" = "100 100 101 102 103 104 105 106 107" ]
check "NaN DEM: pixel size from the corners" [ "$(desc "$dir/zone/nan_m2.txt")" = "3 3 2 100 107 10" ]

# --- geographic coordinates: metres at the centre latitude --------------------------------
# 3 arc-second cells centred on 60 N: 46.5 m east-west, 92.8 m north-south, square of the
# same area 65.7 m; on the equator 92.8 m x 92.1 m, 92.5 m.
cell=0.000833333333333333
asc geo60 3 3 10 59.99875 $cell - '100 100 100' '100 100 100' '100 100 100'
tif geo60 Int16 EPSG:4326
imp "$tmp/geo60.tif" zone geo60
check "geographic at 60 N: pixel size 66 m" [ "$(sed -n 6p "$dir/zone/geo60_m2.txt")" = 66 ]
check "geographic: note with both sizes" eval 'has "$out" "46.5 m east-west" && has "$out" "92.8 m north-south"'
asc geo0 3 3 10 -0.00125 $cell - '1 2 3' '4 5 6' '7 8 9'
tif geo0 Int16 EPSG:4326
imp "$tmp/geo0.tif" zone geo0
check "geographic at the equator: pixel size 92 m" [ "$(sed -n 6p "$dir/zone/geo0_m2.txt")" = 92 ]
# A projected CRS in US survey feet: 100 ft cells are 30.48 m.
asc ft 3 3 1000000 500000 100 - '1 2 3' '4 5 6' '7 8 9'
tif ft Int16 EPSG:2227
imp "$tmp/ft.tif" zone ft
check "US-feet CRS: 100 ft pixels are 30 m" [ "$(sed -n 6p "$dir/zone/ft_m2.txt")" = 30 ]
# Elevations in feet, converted with --z-factor.
imp "$tmp/int.tif" zone feet --z-factor 0.3048
check "--z-factor 0.3048: 100 ft is 30480 mm" [ "$(values "$dir/zone/feet_m4.raw" d4 | cut -d' ' -f1)" = 30480 ]

# --- refusals ------------------------------------------------------------------------------
imp "$tmp/nothere.tif" zone x
check "missing source: exit 1" eval '[ "$rc" = 1 ] && has "$err" "no such file"'
imp "$tmp/int.tif" 'a/b' x
check "folder with a slash: usage error" [ "$rc" = 2 ]
imp "$tmp/int.tif" zone "$(printf 'n%.0s' {1..120})"
check "a path over 127 characters is refused" eval '[ "$rc" = 1 ] && has "$err" "127"'
imp "$tmp/int.tif" "$(printf 'f%.0s' {1..100})" x
check "a folder the tool would refuse is refused" eval '[ "$rc" = 1 ] && has "$err" "shorter FOLDER"'
printf '\x01\x00\x02\x00\x03\x00\x04\x00\x05\x00\x06\x00\x07\x00\x08\x00\x09\x00' >"$tmp/plain.bin"
printf 'ENVI\nsamples = 3\nlines = 3\nbands = 1\nheader offset = 0\nfile type = ENVI Standard\ndata type = 12\ninterleave = bsq\nbyte order = 0\n' >"$tmp/plain.hdr"
imp "$tmp/plain.bin" zone plain
check "no georeferencing: asks for --pixel-size" eval '[ "$rc" = 1 ] && has "$err" "--pixel-size"'
imp "$tmp/plain.bin" zone plain --pixel-size 5
check "--pixel-size 5" [ "$(desc "$dir/zone/plain_m2.txt")" = "3 3 2 1 9 5" ]

# --- a real DEM there and back: the example DEM as a GeoTIFF converts to the same bytes ----
ex=$src/examples/jacksboro_m2.raw
if [ -f "$ex" ]; then
  cp "$ex" "$tmp/jb.bin"
  printf 'ENVI\nsamples = 403\nlines = 344\nbands = 1\nheader offset = 0\nfile type = ENVI Standard\ndata type = 12\ninterleave = bsq\nbyte order = 0\n' >"$tmp/jb.hdr"
  gdal_translate -q -of GTiff -a_srs EPSG:4326 -a_ullr -84.38 36.49 -84.0442 36.2033 "$tmp/jb.bin" "$tmp/jb.tif"
  imp "$tmp/jb.tif" demo jacksboro
  check "example DEM round trip: same samples" cmp -s "$ex" "$dir/demo/jacksboro_m2.raw"
  check "example DEM round trip: descriptor" [ "$(desc "$dir/demo/jacksboro_m2.txt" | cut -d' ' -f1-5)" = "344 403 2 236 1076" ]
fi

# --- the tool reads what dem-import wrote --------------------------------------------------
bin=${ORVANDE_BIN:-}
if [ -z "$bin" ]; then
  echo "note: ORVANDE_BIN is not set; the runs of the tool are left out"
elif [ ! -x "$bin" ]; then
  bad "ORVANDE_BIN=$bin is not an executable"
else
  run_tool() { # answers...: runs the tool in $root
    (cd "$root" && printf '%s\n' "$@" | "$bin" >"$tmp/tool.out" 2>"$tmp/tool.err")
  }
  size() { stat -c %s "$1" 2>/dev/null || echo missing; }
  run_tool zone site 0 0 rough 0 2
  check "tool on the _m2 result: exit 0 ($(tail -c 300 "$tmp/tool.err"))" [ $? = 0 ]
  # 8-bit BMP: 1078 bytes of header and palette, 3 rows of 4 bytes.
  check "tool: first BMP size" [ "$(size "$dir/zone/rough_roughness.bmp")" = 1090 ]
  check "tool: second BMP size" [ "$(size "$dir/zone/rough_roughness_str.bmp")" = 1090 ]
  check "tool reports the DEM's range" grep -qF "Min : 0	Max : 65535" "$tmp/tool.out"
  run_tool zone real 1 3 rr 1 2
  check "tool on the _m4 result: exit 0" [ $? = 0 ]
  check "tool: raster results of 9 bytes" eval '[ "$(size "$dir/zone/rr_roughness.raw")" = 9 ] && [ "$(size "$dir/zone/rr_roughness_str.raw")" = 9 ]'
  check "tool: result descriptor begins with the DEM's size and pixel size" \
    [ "$(head -n 6 "$dir/zone/rr_roughness.txt" | tr '\n' ' ')" = "3 3 1 0 255 25 " ]
  check "tool reports the millimetre range" grep -qF "Min : -1500	Max : 1234567" "$tmp/tool.out"
  if [ -f "$dir/demo/jacksboro_m2.raw" ]; then
    run_tool demo jacksboro 0 0 jb 0 2
    check "tool on the round-tripped example: exit 0" [ $? = 0 ]
    # 403 columns pad to 404 bytes a row.
    check "tool: example BMP size" [ "$(size "$dir/demo/jb_roughness_str.bmp")" = $((1078 + 344 * 404)) ]
  fi
fi

echo "dem_import: $passes passed, $fails failed"
(cd "$src/tests" && "$py" -m unittest dem_import_test) || fails=$((fails + 1))
[ "$fails" = 0 ]
