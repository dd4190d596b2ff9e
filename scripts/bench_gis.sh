#!/usr/bin/env bash
# Benchmark of dem-roughness against `gdaldem TPI`, GeoTIFF to GeoTIFF.
#
#   scripts/bench_gis.sh [SIZE...]          default sizes: 4000 8000
#
# For every SIZE it writes a deterministic Float32 GeoTIFF of SIZE x SIZE (tiled, deflate;
# hills with fractions of a metre, a nodata collar 20 pixels wide and a few voids) in the
# work folder (not timed), then runs BENCH_REPS times, in alternation:
#   dem-roughness SOURCE OUT                 (three outputs, tiled and deflate)
#   dem-roughness SOURCE OUT --no-ratio      (the two maps)
#   gdaldem TPI SOURCE out.tif -co TILED=YES -co COMPRESS=DEFLATE
# each measured with /usr/bin/time -v, and prints the median wall and user seconds, the
# peak RSS, and the ratios of dem-roughness to gdaldem (targets: at most 1.0 with the ratio,
# 0.5 without). One more run of dem-roughness prints where its time goes (decoding the
# source, the passes, encoding the outputs: ORVANDE_GIS_TIMES=1).
#
# Then the large source (BENCH_LARGE x BENCH_LARGE, default 16000; 0: none): one run of each
# command for its peak RSS (target: dem-roughness at most 512 MiB).
#
# The roughness module is found as dem-roughness finds it (PYTHONPATH first). Environment:
#   BENCH_WORK    work folder (default: build-bench-gis/, ignored by git)
#   BENCH_REPS    runs of each command per size (default 3)
#   BENCH_LARGE   side of the large source (default 16000; 0: none)
# A benchmark, not a test: nothing in ctest or CI runs it. Installs gdal-bin, python3-gdal,
# python3-numpy and time when they are missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/packages.sh"
need_packages gdal-bin python3-gdal python3-numpy time
sizes=("$@")
[ ${#sizes[@]} -eq 0 ] && sizes=(4000 8000)
for s in "${sizes[@]}" "${BENCH_LARGE:-16000}"; do
  [[ $s =~ ^[0-9]+$ ]] && [ "$s" -le 65536 ] || { echo "bench_gis.sh: bad size '$s'" >&2; exit 2; }
done
reps=${BENCH_REPS:-3}
large=${BENCH_LARGE:-16000}
work=${BENCH_WORK:-$root/build-bench-gis}
mkdir -p "$work"
cmd=$root/scripts/dem-roughness
py=$(gdal_python)

make_source() { # SIZE PATH
  "$py" - "$1" "$2" <<'PYTHON'
import sys
import numpy as np
from osgeo import gdal, osr
gdal.UseExceptions()
size, path = int(sys.argv[1]), sys.argv[2]
ds = gdal.GetDriverByName("GTiff").Create(path, size, size, 1, gdal.GDT_Float32,
                                          ["TILED=YES", "COMPRESS=DEFLATE", "BIGTIFF=IF_SAFER"])
ds.SetGeoTransform((500000, 10, 0, 5000000, 0, -10))
srs = osr.SpatialReference()
srs.ImportFromEPSG(32633)
ds.SetSpatialRef(srs)
band = ds.GetRasterBand(1)
band.SetNoDataValue(-9999)
rng = np.random.default_rng(17)
x = np.arange(size)
step = 512
for y0 in range(0, size, step):
    n = min(step, size - y0)
    y = np.arange(y0, y0 + n)[:, None]
    z = (800 + 300 * np.sin(x / 700.0) * np.cos(y / 900.0) + 40 * np.sin(x / 37.0 + y / 53.0)
         + rng.random((n, size)) * 2).astype(np.float32)
    collar = (y < 20) | (y >= size - 20)
    z[np.broadcast_to(collar, z.shape)] = -9999
    z[:, :20] = z[:, -20:] = -9999
    band.WriteArray(z, 0, y0)
for i in range(12):  # a few voids
    cy, cx = rng.integers(100, size - 100, 2)
    band.WriteArray(np.full((40, 60), -9999, np.float32), int(cx), int(cy))
ds = None
PYTHON
}

measure() { # LABEL COMMAND...: one run, its /usr/bin/time figures appended to $work/runs.tsv
  local label=$1; shift
  /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" ||
    { echo "bench_gis.sh: $label failed: $(tail -n 3 "$work/stderr.txt")" >&2; return 1; }
  awk -v label="$label" -F': ' '
    /Elapsed \(wall clock\)/ { n = split($2, t, ":"); wall = (n == 3) ? t[1] * 3600 + t[2] * 60 + t[3] : t[1] * 60 + t[2] }
    /User time/ { user = $2 } /System time/ { sys = $2 } /Maximum resident/ { rss = $2 }
    END { printf "%s\t%.3f\t%.3f\t%.3f\t%d\n", label, wall, user, sys, rss }' "$work/time.txt" >>"$work/runs.tsv"
}

report() { # SIZE
  awk -F'\t' -v size="$1" '
    function median(list, n,   i, j, t, a) { n = split(list, a, " ");
      for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
      return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2 }
    { wall[$1] = wall[$1] " " $2; user[$1] = user[$1] " " $3; rss[$1] = rss[$1] " " $5; seen[$1] = 1 }
    END {
      printf "\n%s x %s: medians of the runs\n", size, size
      printf "%-34s %8s %8s %12s\n", "run", "wall s", "user s", "peak RSS MiB"
      for (k in seen) { w[k] = median(wall[k]); printf "%-34s %8.2f %8.2f %12.0f\n", k, w[k], median(user[k]), median(rss[k]) / 1024 }
      g = w["gdaldem TPI"]
      if (g > 0) printf "dem-roughness / gdaldem wall: %.2f (three outputs, target 1.0), %.2f (--no-ratio, target 0.5)\n",
                        w["dem-roughness"] / g, w["dem-roughness --no-ratio"] / g
    }' "$work/runs.tsv"
}

echo "bench_gis.sh: $(date -u "+%Y-%m-%d %H:%M UTC"), $(nproc) cores, $(gdalinfo --version)"
for size in "${sizes[@]}"; do
  src=$work/src$size.tif
  [ -f "$src" ] || make_source "$size" "$src"
  : >"$work/runs.tsv"
  for ((i = 0; i < reps; i++)); do
    rm -f "$work"/out_*.tif "$work/tpi.tif"
    measure "dem-roughness" "$cmd" "$src" "$work/out" --overwrite -q
    measure "dem-roughness --no-ratio" "$cmd" "$src" "$work/out" --overwrite -q --no-ratio
    rm -f "$work/tpi.tif"
    measure "gdaldem TPI" gdaldem TPI "$src" "$work/tpi.tif" -q -co TILED=YES -co COMPRESS=DEFLATE
  done
  report "$size"
  echo "where the time of one run goes:"
  ORVANDE_GIS_TIMES=1 "$cmd" "$src" "$work/out" --overwrite -q 2>&1 | sed 's/^/  /'
  rm -f "$work"/out_*.tif "$work/tpi.tif"
done
if [ "$large" != 0 ]; then
  src=$work/src$large.tif
  [ -f "$src" ] || make_source "$large" "$src"
  : >"$work/runs.tsv"
  measure "dem-roughness" "$cmd" "$src" "$work/out" --overwrite -q
  measure "dem-roughness --no-ratio" "$cmd" "$src" "$work/out" --overwrite -q --no-ratio
  rm -f "$work/tpi.tif"
  measure "gdaldem TPI" gdaldem TPI "$src" "$work/tpi.tif" -q -co TILED=YES -co COMPRESS=DEFLATE
  report "$large"
  rm -f "$work"/out_*.tif "$work/tpi.tif"
fi
