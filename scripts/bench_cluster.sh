#!/usr/bin/env bash
# Benchmark of the cluster mode: a SIZE x SIZE mosaic (default 16000) of 4 x 4 tiled GeoTIFF tiles
# under a VRT (gdalbuildvrt), its two roughness GeoTIFFs computed
#   - in one process: maps() on the whole mosaic, the two images written as tiled GeoTIFFs;
#   - on a local Dask cluster of BENCH_WORKERS (default 2) worker processes of one thread:
#     orvande_roughness.cluster.maps_to_geotiffs, blocks of BENCH_CHUNK (default 2000) pixels;
# and the outputs compared pixel for pixel. Prints the wall time, Mpixel per wall second, the peak
# resident memory of the single process and of each worker, the scheduler's overhead per task
# (wall x workers less the tasks' compute time, over the tasks). A benchmark: no test runs it.
#   scripts/bench_cluster.sh [SIZE]       (the build in build/, or BUILD=folder)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh
need_packages gdal-bin python3-rasterio python3-dask python3-distributed python3-xarray python3-rioxarray time
size=${1:-16000}
chunk=${BENCH_CHUNK:-2000}
workers=${BENCH_WORKERS:-2}
build=$(cd "${BUILD:-build}" && pwd)
export ORVANDE_PYTHON_DIR=$build/python
[ -f "$ORVANDE_PYTHON_DIR/orvande_roughness/__init__.py" ] || { echo "no module in $ORVANDE_PYTHON_DIR: build first" >&2; exit 1; }
work=$(pwd)/build-bench/cluster$size
mkdir -p "$work"
py=scripts/tools/bench_cluster.py
[ -f "$work/mosaic.vrt" ] || { echo "making the $size x $size mosaic (not timed)..."; /usr/bin/python3 $py "$work" "$size" "$chunk" "$workers" make; }

echo "== one process: maps() on the whole mosaic"
/usr/bin/time -v -o "$work/single.time" /usr/bin/python3 $py "$work" "$size" "$chunk" "$workers" single >"$work/single.json"
echo "== local Dask cluster: $workers worker processes, blocks of $chunk x $chunk"
/usr/bin/python3 $py "$work" "$size" "$chunk" "$workers" cluster >"$work/cluster.json" 2>"$work/cluster.log"
/usr/bin/python3 $py "$work" "$size" "$chunk" "$workers" compare >"$work/compare.json"

/usr/bin/python3 - "$work" "$size" <<'EOF'
import json, re, sys
work, size = sys.argv[1], int(sys.argv[2])
mpx = size * size / 1e6
single = json.load(open(work + "/single.json"))
cluster = json.load(open(work + "/cluster.json"))
same = json.load(open(work + "/compare.json"))["identical"]
rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", open(work + "/single.time").read()).group(1)) * 1024
print("| run | wall s | Mpx/s | peak RSS |")
print("|---|---:|---:|---|")
print("| one process (read %.1f, compute %.1f, write %.1f) | %.1f | %.0f | %.0f MB |"
      % (single["read"], single["compute"], single["write"], single["wall"], mpx / single["wall"], rss / 1e6))
print("| local cluster (startup %.1f s not counted) | %.1f | %.0f | %s |"
      % (cluster["startup"], cluster["wall"], mpx / cluster["wall"],
         ", ".join("%.0f MB" % (r / 1e6) for r in cluster["worker_peak_rss"])))
print("tasks %d, compute time in tasks %.1f s, scheduler overhead %.1f ms a task; outputs identical: %s"
      % (cluster["tasks"], cluster["busy"], 1000 * cluster["overhead_per_task"], same))
print("compute time by task: " + ", ".join("%s %.1f s" % kv for kv in cluster["busy_by_kind"].items()))
EOF
