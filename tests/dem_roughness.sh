#!/usr/bin/env bash
# Runs the unittest module tests/dem_roughness_test.py (scripts/dem-roughness on rasters made
# there with GDAL) with the python3 that has GDAL's bindings and numpy, Debian's first. The
# tests of the real passes need the roughness module (PYTHONPATH, ORVANDE_BUILD_DIR/python,
# an installed one or the project's build/python) and say SKIP without it; the others run.
# Skipped (77) without GDAL's Python bindings and numpy.
set -u
src=${ORVANDE_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
. "$src/scripts/lib/packages.sh"
if ! py=$(gdal_python); then
  echo "SKIP: no python3 with GDAL's bindings and numpy (apt-get install python3-gdal python3-numpy)"
  exit 77
fi
cd "$src/tests" && exec "$py" -m unittest -v dem_roughness_test
