#!/usr/bin/env bash
# `cmake --install` into a temporary prefix: the tool, dem-import and dem-roughness, their
# Python package and the manual pages land where they belong, and the installed
# dem-roughness, run from elsewhere without PYTHONPATH, finds its package and the installed
# roughness module and makes the three GeoTIFFs (when the build installs that module; else
# it must say that the module is not found). Also: a configuration without GoogleTest works
# and says how to get the tests. Skipped (77) without cmake, GDAL's Python bindings or
# numpy, or outside a build (ORVANDE_BUILD_DIR).
set -u
src=${ORVANDE_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
build=${ORVANDE_BUILD_DIR:-}
gdal_python() {
  for cand in python3 /usr/bin/python3; do
    command -v "$cand" >/dev/null && "$cand" -c 'from osgeo import gdal; import numpy' 2>/dev/null && return 0
  done
  return 1
}
if [ -z "$build" ] || ! command -v cmake >/dev/null || ! gdal_python || ! command -v gdal_translate >/dev/null; then
  echo "SKIP: needs ORVANDE_BUILD_DIR, cmake, gdal-bin, python3-gdal and python3-numpy"
  exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fails=0
bad() { fails=$((fails + 1)); echo "FAIL: $*"; }
check() { # description, command...
  local what=$1; shift
  "$@" || bad "$what"
}

# --- the installed files -----------------------------------------------------------------
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 || bad "cmake --install: $(cat "$tmp/install.log")"
for f in bin/orvande_3d_roughness bin/dem-import bin/dem-roughness; do
  check "$f installed and executable" [ -x "$prefix/$f" ]
done
for f in orvande_gis/__init__.py orvande_gis/dem_import.py orvande_gis/dem_roughness.py packages.sh; do
  check "share/orvande_3d_roughness/$f installed" [ -f "$prefix/share/orvande_3d_roughness/$f" ]
done
for f in orvande_3d_roughness dem-import dem-roughness; do
  check "manual page $f.1 installed" [ -f "$prefix/share/man/man1/$f.1" ]
done

# --- the installed commands, run from elsewhere without the tool on PATH ------------------
printf 'ncols 5\nnrows 4\nxllcorner 500000\nyllcorner 4000000\ncellsize 30\n%s\n%s\n%s\n%s\n' \
  '100 104 101 107 103' '102 99 108 100 105' '106 101 97 104 102' '103 108 100 106 101' >"$tmp/dem.asc"
gdal_translate -q -of GTiff -ot Int16 -a_srs EPSG:32633 "$tmp/dem.asc" "$tmp/dem.tif"
mkdir "$tmp/elsewhere" "$tmp/scratch"
run_installed() { # command, arguments...
  (cd "$tmp/elsewhere" && env -u ORVANDE_BIN -u PYTHONPATH PATH=/usr/bin:/bin TMPDIR="$tmp/scratch" "$prefix/bin/$@")
}
run_installed dem-roughness "$tmp/dem.tif" "$tmp/map" >"$tmp/out" 2>"$tmp/err"
rc=$?
if [ -z "$(find "$prefix" -name 'orvande_roughness*' -print -quit)" ]; then
  echo "note: this build installs no roughness module: the installed dem-roughness must say so"
  check "installed dem-roughness without a module: status 1 ($(cat "$tmp/err"))" [ "$rc" = 1 ]
  check "installed dem-roughness without a module: says so" grep -q "roughness module orvande_roughness is not found" "$tmp/err"
else
  check "installed dem-roughness: status 0 ($(cat "$tmp/err"))" [ "$rc" = 0 ]
  for f in map_roughness.tif map_roughness_str.tif map_ratio.tif; do
    check "installed dem-roughness: $f" [ -s "$tmp/$f" ]
  done
  check "installed dem-roughness: GDAL reads them" gdalinfo "$tmp/map_roughness_str.tif" >/dev/null
fi
check "installed dem-roughness: no scratch folder" [ -z "$(ls -A "$tmp/scratch")" ]
for cmd in dem-import dem-roughness; do
  run_installed "$cmd" --help >"$tmp/out" 2>&1
  rc=$?
  check "installed $cmd --help: status 0 ($(head -n 3 "$tmp/out"))" [ "$rc" = 0 ]
done

# --- configuring without GoogleTest -------------------------------------------------------
cmake -S "$src" -B "$tmp/no-gtest" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$tmp/cfg" 2>&1
rc=$?
check "configures without GoogleTest: $(tail -n 3 "$tmp/cfg")" [ "$rc" = 0 ]
check "says how to get the tests" grep -q "apt-get install libgtest-dev" "$tmp/cfg"
check "configures no tests" [ ! -e "$tmp/no-gtest/tests" ]

[ "$fails" = 0 ] || { echo "$fails failure(s)"; exit 1; }
echo "all install checks passed"
