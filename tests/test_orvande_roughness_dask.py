"""Tests of the cluster mode of orvande_roughness: maps_dataset() on Dask arrays of every
chunking against maps() and ratio() on the whole array (voids from NaN and from a mask, the
fold of equal extremes 0.0 and -0.0 across column chunks), the block steps, and
cluster.maps_to_geotiffs() on a local cluster of two processes, with a worker killed during
the run, an earlier result replaced, and a scheduler that cannot be reached.

Run by ctest with ORVANDE_PYTHON_DIR (the build's python/ folder); exits with 77 (skipped)
when the module was not built there or Dask, xarray or rioxarray is missing."""
import os
import signal
import socket
import sys
import tempfile
import threading
import time
import unittest

import numpy as np

PYTHON_DIR = os.environ.get("ORVANDE_PYTHON_DIR", "")


def imports():
    """(module, reason it is missing)."""
    if not PYTHON_DIR or not os.path.isdir(PYTHON_DIR):
        return None, "the module is not built in %r" % PYTHON_DIR
    sys.path.insert(0, PYTHON_DIR)
    try:
        import orvande_roughness
    except ImportError as e:
        return None, "orvande_roughness does not import (%s)" % e
    try:
        import dask.array  # noqa: F401
        import distributed  # noqa: F401
        import rioxarray  # noqa: F401
        import xarray  # noqa: F401
    except ImportError as e:
        return None, "%s is missing (apt-get install python3-dask python3-distributed python3-xarray " \
                     "python3-rioxarray)" % e.name
    return orvande_roughness, None


orr, MISSING = imports()
FIGURES = ("ratio_min", "ratio_max", "max_stretch", "centred_min", "centred_max", "histogram", "threshold",
           "pixel_count", "lower_cutoff", "upper_cutoff", "coefficient", "mapping")


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def dataset_of(values, chunks, mask=None, unit="m", coefficient=2.0):
    import dask.array as dsa
    import xarray as xr
    data = values if chunks is None else dsa.from_array(values, chunks=chunks)
    da = xr.DataArray(data, dims=("y", "x"), coords={"y": np.arange(values.shape[0]), "x": np.arange(values.shape[1])})
    return orr.maps_dataset(da, coefficient, unit=unit, mask=mask)


class Compare:
    def assert_like_maps(self, ds, values, mask=None, unit="m", coefficient=2.0):
        want = orr.maps(values, coefficient, unit=unit, mask=mask)
        ratio = orr.ratio(values, unit=unit, mask=mask).astype(np.float32)
        self.assertTrue(same_bits(ds.centred.values, want.centred), "centred")
        self.assertTrue(same_bits(ds.stretched.values, want.stretched), "stretched")
        self.assertTrue(same_bits(ds.ratio.values, ratio), "ratio")
        for name in FIGURES:
            self.assertTrue(same_bits(ds.attrs[name], getattr(want, name)), name)


@unittest.skipIf(orr is None, MISSING)
class Chunkings(unittest.TestCase, Compare):
    """Every chunking gives the bytes and figures of maps() and ratio() on the whole array."""

    CHUNKINGS = [None, (17, 19), (4, 19), (17, 5), ((3, 1, 10, 3), (6, 1, 2, 10)), (1, 2), (2, 1), (7, 9)]

    def test_voids_units_and_types(self):
        rng = np.random.default_rng(7)
        shape = (17, 19)
        floats = rng.uniform(-50, 2500, shape).astype(np.float32)
        floats[rng.random(shape) < 0.04] = np.nan
        cases = [("float32, NaN", floats, None, "m"),
                 ("int32 in dm, mask", rng.integers(-500, 25000, shape).astype(np.int32),
                  rng.random(shape) > 0.05, "dm"),
                 ("uint16 in cm", rng.integers(0, 65535, shape).astype(np.uint16), None, "cm"),
                 ("float64, NaN and mask", floats.astype(np.float64), rng.random(shape) > 0.1, "m")]
        for what, values, mask, unit in cases:
            for chunks in self.CHUNKINGS:
                with self.subTest(what=what, chunks=chunks):
                    ds = dataset_of(values, chunks, mask=mask, unit=unit, coefficient=3.5)
                    self.assertEqual(ds.centred.dtype, np.uint8)
                    self.assertEqual(ds.ratio.dtype, np.float32)
                    self.assertEqual(chunks is not None, hasattr(ds.centred.data, "dask"))
                    self.assert_like_maps(ds, values, mask=mask, unit=unit, coefficient=3.5)

    def test_tiles_mask_is_where_a_pixel_has_a_ratio(self):
        """The mask of the cluster's tiles, from the validity alone, against the ratios."""
        import dask.array as dsa
        from orvande_roughness import datasets
        rng = np.random.default_rng(9)
        values = rng.uniform(0, 900, (15, 16))
        values[rng.random(values.shape) < 0.05] = np.nan
        mask = rng.random(values.shape) > 0.05
        want = np.isfinite(orr.ratio(values, mask=mask))
        for chunks in ((15, 16), (2, 1), ((4, 11), (1, 2, 13))):
            with self.subTest(chunks=chunks):
                data = dsa.from_array(values, chunks=chunks)
                blocks = datasets.dask_maps(data, 2.0, "m", dsa.from_array(mask, chunks=chunks), np.float32)[4]
                self.assertTrue((blocks.has_ratio().compute() == want).all())

    def test_signed_zero_extremes_follow_pixel_order(self):
        """Ratios 0.0 and -0.0 are the smallest: the one met first, line by line and column by
        column, is kept, even when a column chunk to its left holds the other one on a later line."""
        for first_sign in (1, -1):
            values = np.full((12, 40), 100.0)
            zero_pixel(values, 1, 30, first_sign)           # line 1, right column chunk
            zero_pixel(values, 10, 5, -first_sign)          # line 10, left column chunk
            got = orr.ratio(values)
            self.assertEqual(np.nanmin(got), 0.0)
            self.assertEqual((np.signbit(got[1, 30]), np.signbit(got[10, 5])), (first_sign < 0, first_sign > 0))
            self.assertEqual(np.signbit(orr.maps(values, 2.0).ratio_min), first_sign < 0)
            for chunks in ((12, 20), (4, 20), (12, 7), (1, 1), ((2, 10), (6, 34))):
                with self.subTest(first_sign=first_sign, chunks=chunks):
                    self.assert_like_maps(dataset_of(values, chunks), values)

    def test_block_steps_and_folds(self):
        """The order keys make merging order-free; fold_ranges keeps the first met in the order given."""
        a = orr.PartialRange(-0.0, 5.0, min_key=900, max_key=3)
        b = orr.PartialRange(0.0, 5.0, min_key=40, max_key=7)
        empty = orr.PartialRange()
        self.assertTrue(empty.empty)
        for ranges in ([a, b, empty], [empty, b, a], [b, a]):
            merged = orr.merge_ranges(ranges)
            self.assertEqual((np.signbit(merged.dmin), merged.min_key, merged.max_key), (False, 40, 3))
        self.assertTrue(np.signbit(orr.fold_ranges([a, b]).dmin))
        self.assertEqual(orr.ratio_figures(empty)[:2], (10000000.0, 0.0))
        import pickle
        self.assertEqual(pickle.loads(pickle.dumps(a)).min_key, 900)
        values = np.random.default_rng(3).integers(0, 3000, (9, 10)).astype(np.int32)
        block = orr.Block(values[2:6, 3:10], 2, 3, 9, 10)   # lines 3 .. 4, columns 4 .. 9 computed
        centred, ratio, tally = block.levels(1.5, ratio=True)
        whole = orr.maps(values, 2.0)
        self.assertEqual(centred.shape, (2, 6))
        self.assertTrue(same_bits(ratio, orr.ratio(values)[3:5, 4:10]))
        self.assertTrue(same_bits(pickle.loads(pickle.dumps(tally)).histogram, tally.histogram))
        self.assertEqual(orr.stretch_levels(whole.mapping, whole.centred).tobytes(), whole.stretched.tobytes())
        for lines, cols in (((1, 8), (4, 10)), ((3, 5), (2, 9))):
            with self.assertRaisesRegex(ValueError, "holds|needed"):
                block.levels(1.5, lines=lines, cols=cols)


def zero_pixel(values, line, col, sign):
    """Makes the ratio at (line, col) a zero of the sign given: centre sign x 1, the five
    interior neighbours 2, the three on the frame line beside it summing to what is left."""
    values[line, col] = sign
    frame = 0 if line == 1 else values.shape[0] - 1
    inner = 2 * line - frame
    values[line, col - 1] = values[line, col + 1] = 2.0
    values[inner, col - 1:col + 2] = 2.0
    rest = -10.0 * sign - 10.0
    values[frame, col - 1:col + 2] = (rest / 3, rest / 3, rest - 2 * (rest / 3))


# ---------------------------------------------------------------- the cluster

def write_geotiff(path, values, nodata):
    import rasterio
    from rasterio.transform import from_origin
    with rasterio.open(path, "w", driver="GTiff", width=values.shape[1], height=values.shape[0], count=1,
                       dtype=values.dtype, crs="EPSG:32631", transform=from_origin(500000, 4000000, 25, 25),
                       nodata=nodata, tiled=True, blockxsize=128, blockysize=128) as d:
        d.write(values, 1)


def read(path):
    import rasterio
    with rasterio.open(path) as s:
        return s.read(1), s.read_masks(1), s.crs.to_epsg(), s.transform


@unittest.skipIf(orr is None, MISSING)
class Cluster(unittest.TestCase):
    """maps_to_geotiffs on a local cluster of two worker processes."""

    @classmethod
    def setUpClass(cls):
        from distributed import LocalCluster
        cls.work = tempfile.TemporaryDirectory()
        rng = np.random.default_rng(21)
        cls.dem = rng.integers(100, 3000, (600, 700)).astype(np.int16)
        cls.dem[200:230, 300:340] = -9999
        cls.source = os.path.join(cls.work.name, "dem.tif")
        write_geotiff(cls.source, cls.dem, -9999)
        valid = cls.dem != -9999
        cls.want = orr.maps(cls.dem.astype(np.int32), 2.0, unit="dm", mask=valid)
        cls.has_ratio = np.isfinite(orr.ratio(cls.dem.astype(np.int32), mask=valid))
        cls.cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)

    @classmethod
    def tearDownClass(cls):
        cls.cluster.close()
        cls.work.cleanup()

    def run_maps(self, prefix, **options):
        from orvande_roughness.cluster import maps_to_geotiffs
        return maps_to_geotiffs(self.source, prefix, 2.0, self.cluster.scheduler_address, chunks=128, unit="dm",
                                **options)

    def assert_outputs(self, prefix):
        for suffix, want in (("_roughness.vrt", self.want.centred), ("_roughness_str.vrt", self.want.stretched)):
            pixels, mask, epsg, transform = read(prefix + suffix)
            self.assertTrue(same_bits(pixels, want), suffix)
            self.assertTrue(((mask == 255) == self.has_ratio).all(), suffix)
            self.assertEqual((epsg, transform.c, transform.a), (32631, 500000.0, 25.0))

    def test_rioxarray_band_keeps_coordinates_and_crs(self):
        import rioxarray
        source = rioxarray.open_rasterio(self.source, chunks=256)    # (band, y, x)
        ds = orr.maps_dataset(source.astype(np.int32), 2.0, unit="dm", mask=source != -9999)
        self.assertTrue(hasattr(ds.centred.data, "dask"))
        self.assertEqual((ds.rio.crs.to_epsg(), ds.centred.rio.crs.to_epsg()), (32631, 32631))
        self.assertTrue((ds.x.values == source.x.values).all() and (ds.y.values == source.y.values).all())
        self.assertTrue(same_bits(ds.stretched.values, self.want.stretched))

    def test_outputs_replaced_as_a_set(self):
        folder = os.path.join(self.work.name, "set")
        os.mkdir(folder)
        prefix = os.path.join(folder, "r")
        self.run_maps(prefix)
        self.assert_outputs(prefix)
        with self.assertRaises(FileExistsError):
            self.run_maps(prefix)
        first = sorted(os.listdir(folder))
        paths = self.run_maps(prefix, overwrite=True, ratio=True)
        self.assert_outputs(prefix)
        ratio, _, _, _ = read(paths[2])
        self.assertTrue(same_bits(ratio, orr.ratio(self.dem.astype(np.int32), unit="dm",
                                                   mask=self.dem != -9999).astype(np.float32)))
        later = sorted(os.listdir(folder))
        self.assertEqual(len(later), 4)  # three VRTs and one tile folder: the earlier one removed
        self.assertNotEqual([e for e in first if "_tiles." in e], [e for e in later if "_tiles." in e])
        # A run that fails (its source gone) leaves the results as they were.
        from orvande_roughness.cluster import maps_to_geotiffs
        with self.assertRaises(Exception):
            maps_to_geotiffs(os.path.join(self.work.name, "gone.tif"), prefix, 2.0,
                             self.cluster.scheduler_address, overwrite=True)
        self.assertEqual(sorted(os.listdir(folder)), later)
        self.assert_outputs(prefix)

    def test_worker_killed_during_the_run(self):
        from distributed import Client
        folder = os.path.join(self.work.name, "killed")
        os.mkdir(folder)
        with Client(self.cluster.scheduler_address) as client:
            pids = list(client.run(os.getpid).values())
        killed = []

        def kill_when_tiles_appear():
            deadline = time.time() + 120
            while time.time() < deadline and not killed:
                for entry in os.listdir(folder):
                    if entry.endswith(".part") and os.listdir(os.path.join(folder, entry)):
                        os.kill(pids[0], signal.SIGKILL)
                        killed.append(time.time())
                        return
                time.sleep(0.002)
        watcher = threading.Thread(target=kill_when_tiles_appear)
        watcher.start()
        prefix = os.path.join(folder, "r")
        self.run_maps(prefix)
        watcher.join()
        self.assertTrue(killed, "no worker was killed during the run")
        self.assert_outputs(prefix)
        self.assertEqual(len(os.listdir(folder)), 3)

    def test_local_cluster_of_its_own(self):
        from orvande_roughness.cluster import maps_to_geotiffs
        folder = os.path.join(self.work.name, "local")
        os.mkdir(folder)
        maps_to_geotiffs(self.source, os.path.join(folder, "r"), 2.0, "local:1", chunks=300, unit="dm")
        self.assert_outputs(os.path.join(folder, "r"))
        with self.assertRaisesRegex(ValueError, "at least one worker"):
            maps_to_geotiffs(self.source, os.path.join(folder, "s"), 2.0, "local:0")

    def test_unreachable_scheduler(self):
        from orvande_roughness.cluster import SchedulerUnreachable, maps_to_geotiffs
        folder = os.path.join(self.work.name, "unreachable")
        os.mkdir(folder)
        with socket.socket() as s:  # a port nobody listens on
            s.bind(("127.0.0.1", 0))
            address = "tcp://127.0.0.1:%d" % s.getsockname()[1]
        start = time.time()
        with self.assertRaisesRegex(SchedulerUnreachable, address):
            maps_to_geotiffs(self.source, os.path.join(folder, "r"), 2.0, address, timeout=2)
        self.assertLess(time.time() - start, 15)
        self.assertEqual(os.listdir(folder), [])


if __name__ == "__main__":
    if orr is None:
        print("%s: skipped" % MISSING)
        sys.exit(77)
    unittest.main()
