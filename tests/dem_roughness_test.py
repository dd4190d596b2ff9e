"""dem-roughness on GeoTIFFs and other rasters made here with GDAL: a standard unittest module.

Two kinds of test:
- SameBytes runs the real roughness module (orvande_roughness: through PYTHONPATH, with
  ORVANDE_BUILD_DIR/python put first when it exists, else the installed one, else the
  project's build/python) and checks every output pixel against maps() and ratio() of the
  module on the whole array, and the maps against the tool's own results (ORVANDE_BIN) on
  the DEM that dem-import makes. Skipped, saying so, when the module cannot be imported.
- Faults runs the command with a stand-in module written here (FAKE: it keeps the
  streaming contract, reads every line and writes plain levels), for what the command does
  with files, signals, pipes and names whatever the passes compute.
Run by tests/dem_roughness.sh with a python3 that has GDAL's bindings and numpy.
"""

import os
import pty
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import warnings

import numpy as np
from osgeo import gdal, osr

gdal.UseExceptions()
SRC = os.environ.get("ORVANDE_SOURCE_DIR") or os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CMD = os.path.join(SRC, "scripts", "dem-roughness")
IMPORT = os.path.join(SRC, "scripts", "dem-import")
BUILD_PYTHON = os.path.join(os.environ.get("ORVANDE_BUILD_DIR", ""), "python")
if os.environ.get("ORVANDE_BUILD_DIR") and os.path.isdir(BUILD_PYTHON):
    os.environ["PYTHONPATH"] = os.pathsep.join([BUILD_PYTHON] + [
        p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
sys.path.insert(0, os.path.join(SRC, "scripts", "lib"))
from orvande_gis import early_strips, maps, roughness_module, safe_files  # noqa: E402

try:
    CORE = roughness_module.load()
    NO_CORE = None
except safe_files.Refusal as e:
    CORE, NO_CORE = None, f"the roughness module cannot be imported ({e})"
    print(f"SKIP (the tests of the real passes): {NO_CORE}", file=sys.stderr)

UTM = ("EPSG:32633", (500000.0, 30.0, 0.0, 4000000.0, 0.0, -30.0))
OUTPUTS = ("_roughness.tif", "_roughness_str.tif", "_ratio.tif")

FAKE = '''"""Stand-in for the roughness module: the streaming contract, plain levels."""
import os, time
import numpy as np

class Figures:
    pass

def stream(read, nb_lig, nb_col, coefficient, write=None, unit="m", threads=None,
           progress=None, ratio=True, block_lines=None, stretched=True):
    if os.environ.get("FAKE_RAISE") == "memory":
        raise MemoryError()
    block = block_lines or 64
    for first in range(0, nb_lig, block):
        lo, hi = max(first - 1, 0), min(first + block + 1, nb_lig)
        got = read(lo, hi - lo)
        values = got[0] if isinstance(got, tuple) else got
        assert values.shape == (hi - lo, nb_col)
        if progress:
            progress("ratio range", hi / nb_lig)
        time.sleep(float(os.environ.get("FAKE_DELAY", "0")))
    f = Figures()
    f.ratio_min, f.ratio_max, f.max_stretch = 0.5, 1.5, 0.5
    f.centred_min, f.centred_max, f.histogram = 0.0, 255.0, np.zeros(256, np.int64)
    f.threshold, f.lower_cutoff, f.upper_cutoff = 0, 0, 255
    f.pixel_count, f.coefficient = nb_lig * nb_col, coefficient
    f.mapping = np.arange(256, dtype=np.uint8)
    for first in range(0, nb_lig, block):
        n = min(block, nb_lig - first)
        got = read(first, n)
        values = np.asarray(got[0] if isinstance(got, tuple) else got, np.float64)
        levels = (np.nan_to_num(values) * 1000 % 256).astype(np.uint8)
        r = values.copy() if ratio else None
        if r is not None:
            r[:, [0, -1]] = np.nan
        write(first, r, levels, levels if stretched else None)
    return f
'''


def make(path, values, dtype=gdal.GDT_Float32, crs=UTM, nodata=None, options=(), then=None,
         driver="GTiff"):
    """VALUES as a raster (crs None: neither CRS nor geotransform); THEN(ds) adds to it."""
    values = np.asarray(values)
    ds = gdal.GetDriverByName(driver).Create(path, values.shape[1], values.shape[0], 1, dtype,
                                             list(options))
    if crs:
        ds.SetGeoTransform(crs[1])
        ref = osr.SpatialReference()
        ref.SetFromUserInput(crs[0])
        ds.SetSpatialRef(ref)
    band = ds.GetRasterBand(1)
    if nodata is not None:
        band.SetNoDataValue(nodata)
    band.WriteArray(values)
    if then:
        then(ds)
    ds = None


def terrain(lines, cols, seed=1):
    """Hills and valleys in metres with fractions, above 0."""
    y, x = np.mgrid[0:lines, 0:cols]
    noise = np.random.default_rng(seed).random((lines, cols))
    return 300 + 40 * np.sin(x / 7.0) + 25 * np.cos(y / 5.5) + 3 * noise


def run(args, cwd, env=None, **kw):
    p = subprocess.run([CMD] + list(args), cwd=cwd, capture_output=True, text=True,
                       env=dict(os.environ, **(env or {})), timeout=120, **kw)
    return p.returncode, p.stdout, p.stderr


def listing(folder):
    return sorted(os.listdir(folder))


class Work(unittest.TestCase):
    def setUp(self):
        warnings.simplefilter("ignore", ResourceWarning)
        self.w = tempfile.mkdtemp(prefix="dem_roughness_test.")
        self.addCleanup(shutil.rmtree, self.w, True)

    def path(self, *names):
        return os.path.join(self.w, *names)


# ---------------------------------------------------------------- the real passes

def reference(path, band_number=1, unit_factor=None):
    """The source in float metres with its mask, read whole, independently of the command:
    the nodata value, the mask or alpha band and NaN mark invalid pixels; an integer band
    with a decimal scale is converted as the tool converts (extended precision)."""
    ds = gdal.Open(path)
    band = ds.GetRasterBand(band_number)
    raw = band.ReadAsArray()
    if unit_factor:
        z = (raw.astype(np.longdouble) * np.longdouble(unit_factor)).astype(np.float64)
    else:
        z = raw.astype(np.float64) * (band.GetScale() or 1.0) + (band.GetOffset() or 0.0)
    valid = np.isfinite(z) & (band.GetMaskBand().ReadAsArray() > 0)
    gt = ds.GetGeoTransform(can_return_null=True)
    if gt and gt[5] > 0:
        z, valid = z[::-1], valid[::-1]
    return z, valid


@unittest.skipIf(CORE is None, NO_CORE)
class SameBytes(Work):
    def check_outputs(self, prefix, z, valid, coef=2.0, ratio=True, crs=UTM):
        want = CORE.maps(z, coef, mask=valid)
        want_ratio = CORE.ratio(z, mask=valid)
        has = ~np.isnan(want_ratio)
        for suffix, pixels in zip(OUTPUTS, (want.centred, want.stretched, want_ratio)):
            what = os.path.basename(prefix + suffix)
            if suffix == "_ratio.tif" and not ratio:
                self.assertFalse(os.path.exists(prefix + suffix), what)
                continue
            ds = gdal.Open(prefix + suffix)
            band = ds.GetRasterBand(1)
            got = band.ReadAsArray()
            info = gdal.Info(ds, format="json")
            self.assertEqual(info["metadata"]["IMAGE_STRUCTURE"]["COMPRESSION"], "DEFLATE", what)
            self.assertEqual(info["bands"][0]["block"], [256, 256], what)
            if crs:
                self.assertEqual(ds.GetGeoTransform(), crs[1], what)
                self.assertIn("UTM zone 33N", ds.GetProjection(), what)
            if suffix == "_ratio.tif":
                self.assertTrue(np.isnan(band.GetNoDataValue()), what)
                np.testing.assert_array_equal(got, pixels.astype(np.float32), err_msg=what)
            else:
                np.testing.assert_array_equal(got, pixels, err_msg=what)
                self.assertEqual(band.GetMaskFlags(), gdal.GMF_PER_DATASET, what)
                np.testing.assert_array_equal(band.GetMaskBand().ReadAsArray() == 255, has,
                                              err_msg=what + ": mask")
            meta = ds.GetMetadata()
            for name in maps.FIGURES:
                self.assertEqual(meta["ROUGHNESS_" + name.upper()], repr(getattr(want, name)),
                                 f"{what}: {name}")
            self.assertEqual(meta["ROUGHNESS_HISTOGRAM"].split(), [str(c) for c in want.histogram])
            ds = None

    def test_outputs_equal_the_module_on_the_whole_array(self):
        """Float32 with a nodata collar, voids and NaN; south-up; a mask band; an alpha band;
        an integer band in decimetres; --fill; a source without georeferencing; read in
        blocks of 7 lines decoded again for the second pass (the decoded source not kept)
        and in the command's own blocks, kept."""
        z = terrain(300, 280).astype(np.float32)
        z[:4, :] = -9999
        z[:, -2:] = -9999
        z[100:104, 50:90] = -9999
        z[200, 200] = np.nan
        make(self.path("collar.tif"), z, nodata=-9999, options=["TILED=YES", "COMPRESS=DEFLATE"])
        tall = terrain(2200, 520, seed=3).astype(np.float32)  # two strips, decoded early
        tall[:3], tall[900:940, 100:300] = -9999, -9999
        make(self.path("tall.tif"), tall, nodata=-9999, options=["TILED=YES"])
        south = (UTM[0], (500000.0, 30.0, 0.0, 3991000.0, 0.0, 30.0))
        make(self.path("south.tif"), z, nodata=-9999, crs=south)
        hidden = np.full(z.shape, 255, np.uint8)
        hidden[150:160, 10:20] = 0

        def add_mask(ds):
            ds.CreateMaskBand(gdal.GMF_PER_DATASET)
            ds.GetRasterBand(1).GetMaskBand().WriteArray(hidden)
        make(self.path("mask.tif"), terrain(300, 280), dtype=gdal.GDT_Float64, then=add_mask)
        alpha = gdal.GetDriverByName("GTiff").Create(self.path("alpha.tif"), 280, 300, 2,
                                                     gdal.GDT_UInt16, ["ALPHA=YES"])
        alpha.GetRasterBand(1).WriteArray(np.round(terrain(300, 280)))
        alpha.GetRasterBand(2).WriteArray(hidden.astype(np.uint16) * 257)
        alpha = None
        dm = np.round(terrain(250, 260) * 10).astype(np.int16)
        make(self.path("dm.tif"), dm, dtype=gdal.GDT_Int16, nodata=-32768,
             then=lambda ds: ds.GetRasterBand(1).SetScale(0.1))
        with open(self.path("grid.asc"), "w") as f:
            f.write("ncols 40\nnrows 30\nxllcorner 0\nyllcorner 0\ncellsize 5\n")
            np.savetxt(f, np.round(terrain(30, 40), 2), fmt="%.2f")
        cases = [("collar.tif", [], None), ("tall.tif", ["--no-ratio"], None),
                 ("south.tif", ["--coef", "5"], None),
                 ("mask.tif", ["--no-ratio"], None), ("alpha.tif", ["--no-ratio"], None),
                 ("dm.tif", [], 0.1),
                 ("grid.asc", [], None)]
        for blocks in ("7", ""):
            for source, options, factor in cases:
                with self.subTest(source=source, blocks=blocks or "default"):
                    prefix = self.path(f"out-{source}-{blocks}")
                    rc, out, err = run([source, prefix] + options, self.w,
                                       env={"ORVANDE_GIS_BLOCK_LINES": blocks,
                                            "ORVANDE_GIS_CACHE_BYTES": "0" if blocks else ""})
                    self.assertEqual(rc, 0, err)
                    z2, valid = reference(self.path(source), unit_factor=factor)
                    coef = 5.0 if "--coef" in options else 2.0
                    self.check_outputs(prefix, z2, valid, coef, "--no-ratio" not in options,
                                       crs=UTM if source in ("collar.tif", "tall.tif", "mask.tif") else None)
        # --fill: the filled pixels count as valid.
        rc, _, err = run(["collar.tif", "filled", "--fill", "250"], self.w)
        self.assertEqual(rc, 0, err)
        z2, valid = reference(self.path("collar.tif"))
        z2[~valid] = 250.0
        self.check_outputs(self.path("filled"), z2, np.ones(z2.shape, bool))

    def test_on_a_dask_cluster(self):
        """--dask local:2 gives the single-process outputs' pixels and masks, as tiles under
        VRTs; an unreachable scheduler: one line naming it, status 1, nothing written."""
        try:
            import distributed  # noqa: F401
            import rioxarray  # noqa: F401
        except ImportError as e:
            self.skipTest(f"the cluster mode needs Dask, distributed and rioxarray ({e})")
        z = terrain(140, 130).astype(np.float32)
        z[:3, :] = -9999
        z[60:66, 20:40] = -9999
        make(self.path("src.tif"), z, nodata=-9999, options=["TILED=YES"])
        self.assertEqual(run(["-q", "src.tif", "one"], self.w)[0], 0)
        status, _, err = run(["-q", "--dask", "local:2", "src.tif", "many"], self.w)
        self.assertEqual(status, 0, err)
        for suffix in OUTPUTS:
            one, many = gdal.Open(self.path("one" + suffix)), gdal.Open(self.path("many" + suffix[:-4] + ".vrt"))
            np.testing.assert_array_equal(many.ReadAsArray(), one.ReadAsArray(), err_msg=suffix)
            np.testing.assert_array_equal(many.GetRasterBand(1).GetMaskBand().ReadAsArray() > 0,
                                          one.GetRasterBand(1).GetMaskBand().ReadAsArray() > 0, err_msg=suffix)
            one = many = None
        before = listing(self.w)
        start = time.monotonic()
        status, _, err = run(["--dask", "tcp://127.0.0.1:9", "src.tif", "none"], self.w)
        self.assertEqual(status, 1)
        self.assertIn("the Dask scheduler at tcp://127.0.0.1:9 cannot be reached", err)
        self.assertEqual(err.count("\n"), 1, err)
        self.assertLess(time.monotonic() - start, 30)
        self.assertEqual(listing(self.w), before)

    def test_maps_equal_the_tools_results_on_the_imported_dem(self):
        """Whole metres, decimetres (scale 0.1) and millimetres (scale 0.001, negative too):
        the two maps hold the tool's grey levels on the DEM that dem-import makes."""
        tool = os.environ.get("ORVANDE_BIN")
        if not tool:
            self.skipTest("ORVANDE_BIN is not set: the tool is not run")
        t = terrain(60, 70)
        for name, values, dtype, scale in [
                ("m", np.round(t), gdal.GDT_UInt16, None),
                ("dm", np.round(t * 10), gdal.GDT_Int16, 0.1),
                ("mm", np.round((t - 310) * 1000), gdal.GDT_Int32, 0.001)]:
            with self.subTest(name):
                make(self.path(name + ".tif"), values, dtype=dtype,
                     then=(lambda ds, s=scale: ds.GetRasterBand(1).SetScale(s)) if scale else None)
                rc, out, err = run([name + ".tif", name], self.w)
                self.assertEqual(rc, 0, err)
                imp = subprocess.run([IMPORT, name + ".tif", "z", name, "--root", "root"],
                                     cwd=self.w, capture_output=True, text=True)
                self.assertEqual(imp.returncode, 0, imp.stderr)
                storage = re.search(r"type of MNT \.+ (\d)", imp.stdout).group(1)
                interval = re.search(r"hypsometric interval (\d)", imp.stdout).group(1)
                p = subprocess.run([tool], cwd=self.path("root"), capture_output=True,
                                   input=f"z\n{name}\n{storage}\n{interval}\nr{name}\n1\n2\n", text=True)
                self.assertEqual(p.returncode, 0, p.stderr)
                for suffix in ("_roughness", "_roughness_str"):
                    raw = np.fromfile(self.path("root", "c:", "images", "z", f"r{name}{suffix}.raw"),
                                      np.uint8).reshape(values.shape)
                    got = gdal.Open(self.path(name + suffix + ".tif")).ReadAsArray()
                    np.testing.assert_array_equal(got, raw, err_msg=name + suffix)


# ---------------------------------------------------------------- files, names, signals

class Faults(Work):
    def setUp(self):
        super().setUp()
        fake = self.path("fake")
        os.mkdir(fake)
        with open(os.path.join(fake, "orvande_roughness.py"), "w") as f:
            f.write(FAKE)
        self.env = {"PYTHONPATH": fake, "TMPDIR": self.path("tmp")}
        os.mkdir(self.path("tmp"))
        os.mkdir(self.path("out"))
        make(self.path("dem.tif"), terrain(40, 50))

    def cmd(self, *args, env=None, **kw):
        return run(args, self.w, env=dict(self.env, **(env or {})), **kw)

    def assert_refused(self, args, message, leaves=None, status=1):
        """Status 1, one line naming MESSAGE, no traceback, the out/ folder as LEAVES."""
        rc, out, err = self.cmd(*args)
        self.assertEqual(rc, status, err)
        self.assertIn(message, err)
        self.assertEqual(len(err.strip().splitlines()), 1, err)
        self.assertEqual(listing(self.path("out")), leaves or [])
        return err

    def test_early_strips_are_the_bands_lines_or_none(self):
        """Strips decoded early are the band's own lines, each taken once; a source that
        cannot be read gives none (the run then reads everything itself)."""
        z = terrain(2200, 520, seed=4).astype(np.float32)
        make(self.path("t.tif"), z, options=["TILED=YES"])
        early = early_strips.EarlyStrips(self.path("t.tif"), 1)
        early.thread.join()  # every strip it decodes: two of 2048 lines
        self.assertTrue(early.matches(self.path("t.tif"), 1, 2200, 520, 2048))
        self.assertFalse(early.matches(self.path("t.tif"), 2, 2200, 520, 2048))
        self.assertEqual(early.stop(), 2)
        got = [np.frombuffer(early.take(k), np.float32).reshape(-1, 520) for k in (0, 1)]
        np.testing.assert_array_equal(np.concatenate(got), z)
        self.assertIsNone(early.take(0))
        missing = early_strips.EarlyStrips(self.path("none.tif"), 1)
        missing.join()
        self.assertEqual((missing.take(0), missing.matches(self.path("none.tif"), 1, 1, 1, 1)),
                         (None, False))

    def test_gdal_worker_calls_from_its_own_thread_and_raises_later(self):
        """A call made from the worker's own thread runs there at once (no deadlock); an
        exception of a job put earlier comes out of a later put() or drain()."""
        from orvande_gis.gdal_worker import GdalWorker
        worker = GdalWorker(backlog=2)
        try:
            self.assertEqual(worker.call(lambda: worker.call(threading.get_ident)), worker.ident)

            def fail():
                raise ValueError("disk full")
            with self.assertRaisesRegex(ValueError, "disk full"):
                worker.put(fail)
                for _ in range(3):
                    worker.put(lambda: None)
                worker.drain()
        finally:
            worker.close()

    def test_early_strips_find_the_source_as_argparse_does(self):
        """The source and band whose strips are decoded while Python starts: none when the
        command line does not tell plainly (the run then reads everything itself)."""
        cases = [(["a", "b"], ("a", 1)), (["--band", "2", "a", "b"], ("a", 2)),
                 (["--band=3", "-q", "a", "b"], ("a", 3)), (["--co", "5", "a", "b"], ("a", 1)),
                 (["--add", "-5", "a", "b"], ("a", 1)), (["--", "-a.tif", "b"], ("-a.tif", 1)),
                 (["--overwrite", "--no", "a", "b"], ("a", 1)), (["--help"], None),
                 (["--dask", "x", "a", "b"], None), (["--da=x", "a", "b"], None),
                 (["--band", "x", "a", "b"], None), (["-x", "a", "b"], None), (["--fill"], None)]
        for argv, want in cases:
            self.assertEqual(early_strips.source_and_band(argv), want, argv)

    def test_refusals_before_any_work(self):
        """A source that is one of the outputs (with --overwrite too); output folders that
        are missing, not a folder or read-only, named; names too long; a mistyped source."""
        make(self.path("out", "x_roughness.tif"), terrain(5, 5))
        with open(self.path("file.txt"), "w") as f:
            f.write("x")
        for args, message in [
                (["out/x_roughness.tif", "out/x"], "would be replaced by the output"),
                (["out/x_roughness.tif", "out/x", "--overwrite"], "would be replaced by the output"),
                (["dem.tif", "nowhere/x"], "the output folder nowhere does not exist"),
                (["dem.tif", "file.txt/x"], "the output folder file.txt is not a folder"),
                (["dem.tif", "out/" + "n" * 238], "is longer than 255 bytes"),
                (["missing.tif", "out/x"], "missing.tif: no such file")]:
            with self.subTest(args=args):
                err = self.assert_refused(args, message, ["x_roughness.tif"])
                self.assertNotIn("--overwrite", err)
        self.assertEqual(listing(self.path("tmp")), [], "nothing left in TMPDIR")
        ro = self.path("ro")
        os.mkdir(ro)
        mounted = os.geteuid() == 0 and subprocess.run(
            ["mount", "-t", "tmpfs", "-o", "ro,size=64k", "tmpfs", ro], capture_output=True).returncode == 0
        if not mounted:
            os.chmod(ro, 0o555)
        try:
            if mounted or os.geteuid() != 0:
                self.assert_refused(["dem.tif", "ro/x"], "the output folder ro is not writable",
                                    ["x_roughness.tif"])
        finally:
            if mounted:
                subprocess.run(["umount", ro])

    def test_outputs_names_and_side_files(self):
        """--overwrite removes the earlier outputs' side files; OUTPUT.tif is a prefix; a
        255-byte output name is written; 'link/..' is where the kernel resolves it; a
        source without CRS or geotransform gives outputs without them."""
        for s in (".aux.xml", ".ovr"):
            for o in OUTPUTS:
                with open(self.path("out", "a" + o + s), "w") as f:
                    f.write("stale")
        for o in OUTPUTS:
            make(self.path("out", "a" + o), terrain(5, 5))
        rc, out, err = self.cmd("dem.tif", "out/a", "--overwrite")
        self.assertEqual((rc, listing(self.path("out"))), (0, sorted("a" + o for o in OUTPUTS)), err)
        self.assertEqual(gdal.Open(self.path("out", "a_ratio.tif")).RasterXSize, 50)
        rc, out, err = self.cmd("dem.tif", "out/b.tif")
        self.assertEqual(rc, 0, err)
        self.assertTrue(all(os.path.exists(self.path("out", "b" + o)) for o in OUTPUTS))
        long_name = "n" * (255 - len("_roughness_str.tif"))
        rc, out, err = self.cmd("dem.tif", "out/" + long_name)
        self.assertEqual(rc, 0, err)
        self.assertTrue(os.path.exists(self.path("out", long_name + "_roughness_str.tif")))
        other = tempfile.mkdtemp(dir="/dev/shm") if os.path.isdir("/dev/shm") else None
        if other and os.stat(other).st_dev != os.stat(self.w).st_dev:
            self.addCleanup(shutil.rmtree, other, True)
            os.mkdir(os.path.join(other, "sub"))
            os.symlink(os.path.join(other, "sub"), self.path("lnk"))
            rc, out, err = self.cmd("dem.tif", "lnk/../x")
            self.assertEqual(rc, 0, err)
            self.assertEqual(sorted(os.listdir(other)), sorted(["sub"] + ["x" + o for o in OUTPUTS]))
        with open(self.path("plain.asc"), "w") as f:
            f.write("ncols 4\nnrows 3\nxllcorner 0\nyllcorner 0\ncellsize 1\n"
                    "1 2 3 4\n5 6 7 8\n9 10 11 12\n")
        rc, out, err = self.cmd("plain.asc", "out/plain")
        self.assertEqual(rc, 0, err)
        ds = gdal.Open(self.path("out", "plain_roughness.tif"))
        self.assertEqual((ds.GetProjection(), ds.GetGeoTransform()), ("", (0.0, 1.0, 0.0, 3.0, 0.0, -1.0)))

    def test_failures_leave_nothing(self):
        """A full disk, a file-size limit, no memory, a signal during the passes: one line
        naming the output and the cause, status 1, no file left."""
        make(self.path("big.tif"), np.random.default_rng(2).random((600, 600)) * 1000)
        cases = [("memory", {"FAKE_RAISE": "memory"}, None, "out of memory while computing the maps of out/x")]
        cases.append(("file size", {}, lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000)),
                      "could not write"))
        for what, env, limit, message in cases:
            with self.subTest(what):
                rc, out, err = self.cmd("big.tif", "out/x", env=env, preexec_fn=limit)
                self.assertEqual(rc, 1, err)
                self.assertIn(message, err)
                self.assertNotIn("Traceback", err)
                self.assertEqual(len(err.strip().splitlines()), 1, err)
                self.assertEqual(listing(self.path("out")), [])
        self.assertIn("File too large", err)
        small = self.path("small")
        os.mkdir(small)
        if os.geteuid() == 0 and subprocess.run(["mount", "-t", "tmpfs", "-o", "size=128k", "tmpfs", small],
                                                capture_output=True).returncode == 0:
            try:
                rc, out, err = self.cmd("big.tif", "small/x")
                self.assertEqual(rc, 1, err)
                self.assertRegex(err, r"could not write \S*small/x_\w+\.tif: No space left on device")
                self.assertEqual((len(err.strip().splitlines()), os.listdir(small)), (1, []), err)
            finally:
                subprocess.run(["umount", small])
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                p = subprocess.Popen([CMD, "big.tif", "out/x"], cwd=self.w, text=True,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=dict(os.environ, **self.env, FAKE_DELAY="0.05",
                                              ORVANDE_GIS_BLOCK_LINES="10"))
                deadline = time.time() + 30
                while time.time() < deadline and not any(n.endswith(".part") for n in os.listdir(self.path("out"))):
                    time.sleep(0.01)
                p.send_signal(sig)
                out, err = p.communicate(timeout=60)
                self.assertEqual(p.returncode, 1, err)
                self.assertIn(f"stopped by {sig.name}; nothing written", err)
                self.assertEqual(listing(self.path("out")), [])

    def test_a_signal_during_the_renames_is_held(self):
        """The set is renamed whole, then the signal is reported as coming after it."""
        temps, pairs = [], []
        for name in ("a", "b", "c"):
            final = self.path("out", name)
            with open(final, "w") as f:
                f.write("old")
            tmp = safe_files.new_temporary(final, temps)
            with open(tmp, "w") as f:
                f.write("new")
            pairs.append((tmp, final))
        real = os.replace

        def replace_then_signal(a, b):
            real(a, b)
            os.kill(os.getpid(), signal.SIGTERM)
        safe_files.handle_signals()
        os.replace = replace_then_signal
        try:
            with self.assertRaises(safe_files.Interrupted) as caught:
                safe_files.commit_held(pairs, temps)
        finally:
            os.replace = real
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
        self.assertTrue(caught.exception.written)
        contents = {n: open(self.path("out", n)).read() for n in listing(self.path("out"))}
        self.assertEqual(contents, {"a": "new", "b": "new", "c": "new"})

    def test_what_it_prints(self):
        """A reader that goes away (| head -1); progress only on a terminal and without -q;
        --help without the tool's file types; --version."""
        p = subprocess.run(["bash", "-c", f'"{CMD}" dem.tif out/p | head -1; exit ${{PIPESTATUS[0]}}'],
                           cwd=self.w, capture_output=True, text=True, env=dict(os.environ, **self.env))
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        self.assertEqual(len(p.stdout.splitlines()), 1)
        self.assertTrue(os.path.exists(self.path("out", "p_ratio.tif")))
        for args, shown in [(["dem.tif", "out/t1"], True), (["dem.tif", "out/t2", "-q"], False)]:
            pid, fd = pty.fork()
            if pid == 0:
                os.chdir(self.w)
                os.execve(CMD, [CMD] + args, dict(os.environ, **self.env))
            text = b""
            while True:
                try:
                    chunk = os.read(fd, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                text += chunk
            os.waitpid(pid, 0)
            self.assertEqual(b"ratio range 100 %" in text, shown, text)
            self.assertEqual(b"Wrote" in text, shown, text)
        rc, out, err = self.cmd("dem.tif", "out/t3")
        self.assertNotIn("%", err)
        rc, out, err = self.cmd("--help")
        self.assertEqual(rc, 0)
        self.assertNotRegex(out, "_m2|_m4")
        for command in (CMD, IMPORT):
            p = subprocess.run([command, "--version"], capture_output=True, text=True)
            self.assertRegex(p.stdout, r"^dem-\w+ \(orvande_3d_roughness\) \d")


if __name__ == "__main__":
    unittest.main(verbosity=2)
