"""The cluster mode's benchmark (run by scripts/bench_cluster.sh): a SIZE x SIZE mosaic of 4 x 4
tiled GeoTIFF tiles under a VRT, its two roughness GeoTIFFs computed in one process (maps() on
the whole mosaic, written as two tiled deflated GeoTIFFs) and on a local Dask cluster of N worker
processes (cluster.maps_to_geotiffs), the outputs compared pixel for pixel.

    python3 bench_cluster.py WORK SIZE CHUNK WORKERS single|cluster|compare|make
"""
import json
import os
import re
import resource
import subprocess
import sys
import time

import numpy as np


def make(work, size):
    """16 tiles of size/4 lines and columns, uint16 metres of a smooth deterministic terrain
    with noise, and the VRT over them (gdalbuildvrt)."""
    import rasterio
    from rasterio.transform import from_origin
    side = size // 4
    names = []
    for ti in range(4):
        for tj in range(4):
            y, x = np.mgrid[ti * side:(ti + 1) * side, tj * side:(tj + 1) * side].astype(np.float64)
            rng = np.random.default_rng(ti * 4 + tj)
            z = 1300 + 600 * np.sin(x / 900) * np.cos(y / 1300) + 200 * np.sin((x + y) / 170) \
                + rng.normal(0, 4, (side, side))
            name = os.path.join(work, "tile_%d_%d.tif" % (ti, tj))
            with rasterio.open(name, "w", driver="GTiff", width=side, height=side, count=1, dtype="uint16",
                               crs="EPSG:32631", transform=from_origin(500000 + tj * side * 25,
                                                                     4000000 - ti * side * 25, 25, 25),
                               tiled=True, blockxsize=256, blockysize=256, compress="deflate") as d:
                d.write(np.clip(z, 0, 65535).astype(np.uint16), 1)
            names.append(name)
    subprocess.run(["gdalbuildvrt", "-q", os.path.join(work, "mosaic.vrt")] + names, check=True)


def single(work):
    """maps() on the whole mosaic, written as two GeoTIFFs (as the one-machine command writes)."""
    import rasterio
    sys.path.insert(0, os.environ["ORVANDE_PYTHON_DIR"])
    import orvande_roughness as orr
    t0 = time.time()
    with rasterio.open(os.path.join(work, "mosaic.vrt")) as src:
        dem, profile = src.read(1), src.profile
    t1 = time.time()
    m = orr.maps(dem, 2.0)
    t2 = time.time()
    profile.update(driver="GTiff", dtype="uint8", compress="deflate", tiled=True, blockxsize=256, blockysize=256,
                   BIGTIFF="IF_SAFER", nodata=None)
    for name, pixels in (("single_roughness.tif", m.centred), ("single_roughness_str.tif", m.stretched)):
        with rasterio.open(os.path.join(work, name), "w", **profile) as dst:
            dst.write(pixels, 1)
    t3 = time.time()
    print(json.dumps({"read": t1 - t0, "compute": t2 - t1, "write": t3 - t2, "wall": t3 - t0}))


def cluster(work, chunk, workers):
    """maps_to_geotiffs on a local cluster of `workers` processes (one thread each)."""
    sys.path.insert(0, os.environ["ORVANDE_PYTHON_DIR"])
    from distributed import Client, LocalCluster, get_task_stream
    from orvande_roughness.cluster import maps_to_geotiffs
    t0 = time.time()
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as lc, \
            Client(lc) as client:
        t1 = time.time()
        with get_task_stream(client) as stream:
            maps_to_geotiffs(os.path.join(work, "mosaic.vrt"), os.path.join(work, "cluster"), 2.0,
                             lc.scheduler_address, chunks=chunk, overwrite=True)
        t2 = time.time()
        peaks = client.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
    busy = sum(s["stop"] - s["start"] for task in stream.data for s in task["startstops"]
               if s["action"] == "compute")
    tasks = len(stream.data)
    by_kind = {}
    for task in stream.data:
        kind = re.sub(r"-[0-9a-f]{8,}.*", "", str(task["key"]).strip("(')"))
        by_kind[kind] = by_kind.get(kind, 0) + sum(s["stop"] - s["start"] for s in task["startstops"]
                                                   if s["action"] == "compute")
    print(json.dumps({"startup": t1 - t0, "wall": t2 - t1, "tasks": tasks, "busy": busy,
                      "overhead_per_task": (workers * (t2 - t1) - busy) / max(tasks, 1),
                      "worker_peak_rss": sorted(peaks.values()),
                      "busy_by_kind": {k: round(v, 2) for k, v in sorted(by_kind.items(), key=lambda kv: -kv[1])}}))


def compare(work):
    import rasterio
    same = True
    for single_name, cluster_name in (("single_roughness.tif", "cluster_roughness.vrt"),
                                      ("single_roughness_str.tif", "cluster_roughness_str.vrt")):
        with rasterio.open(os.path.join(work, single_name)) as a, rasterio.open(os.path.join(work, cluster_name)) as b:
            same = same and np.array_equal(a.read(1), b.read(1))
    print(json.dumps({"identical": bool(same)}))


if __name__ == "__main__":
    work, size, chunk, workers, what = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
    if what == "make":
        make(work, size)
    elif what == "single":
        single(work)
    elif what == "cluster":
        cluster(work, chunk, workers)
    else:
        compare(work)
