"""dem-import on hostile and unusual rasters, made here with GDAL's Python bindings: a
standard unittest module.

Each refusal is checked for its status, one clear message on standard error, no traceback,
and a work folder left exactly as it was (no file changed, no temporary left behind).
Run by tests/dem_import.sh with a python3 that has GDAL's bindings and numpy
(python3 -m unittest dem_import_test, in tests/).
"""

import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import warnings

import numpy as np
from osgeo import gdal, osr

gdal.UseExceptions()
SRC = os.environ.get("ORVANDE_SOURCE_DIR") or os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
IMPORT = os.path.join(SRC, "scripts", "dem-import")
sys.path.insert(0, os.path.join(SRC, "scripts", "lib"))
from orvande_gis import safe_files, tool_format  # noqa: E402

UTM = (500000.0, 30.0, 0.0, 4000000.0, 0.0, -30.0)
GRID = [[100, 101, 102, 103], [104, 105, 106, 107], [108, 109, 110, 111]]
ARC3 = 1 / 1200
WORKDIRS = []
CASE = []  # the running TestCase, whose check() the helpers below call


def check(what, ok, detail=""):
    """One checked fact: a failure is reported with WHAT and DETAIL, and the test goes on."""
    with CASE[-1].subTest(what):
        CASE[-1].assertTrue(ok, f"{what}: {detail}")


def make(path, values, dtype=gdal.GDT_Int16, gt=UTM, crs="EPSG:32633", driver="GTiff",
         nodata=None, unit=None, options=(), bands=1, then=None):
    """Writes VALUES as a raster with GDAL and closes it; THEN(ds) may add to it first."""
    values = np.asarray(values)
    ds = gdal.GetDriverByName(driver).Create(path, values.shape[1], values.shape[0], bands, dtype,
                                             list(options))
    ds.SetGeoTransform(gt)
    ref = osr.SpatialReference()
    ref.SetFromUserInput(crs)
    ds.SetSpatialRef(ref)
    band = ds.GetRasterBand(1)
    band.WriteArray(values)
    if nodata is not None:
        band.SetNoDataValue(nodata)
    if unit:
        band.SetUnitType(unit)
    if then:
        then(ds)


def vrt(path, size, body="", dtype="Int16"):
    """A SIZE x SIZE VRT whose band holds BODY (its sources; none: all zeros)."""
    with open(path, "w") as f:
        f.write(f'<VRTDataset rasterXSize="{size}" rasterYSize="{size}"><GeoTransform>0,30,0,0,0,-30'
                f'</GeoTransform><VRTRasterBand dataType="{dtype}" band="1">{body}</VRTRasterBand>'
                '</VRTDataset>')


def snapshot(top):
    """Every file, link and folder below TOP with its contents (or target) and mode."""
    seen = {}
    for d, dirs, files in os.walk(top):
        for p in (os.path.join(d, n) for n in dirs + files):
            if os.path.islink(p):
                seen[p] = os.readlink(p)
            elif os.path.isfile(p):
                with open(p, "rb") as f:
                    seen[p] = (f.read(), os.stat(p).st_mode)
            else:
                seen[p] = os.stat(p).st_mode
    return seen


def differences(before, after):
    return sorted(p for p in set(before) | set(after) if before.get(p) != after.get(p))


def run(args, cwd, env=None, preexec=None, timeout=60):
    p = subprocess.run([IMPORT] + args, cwd=cwd, env=env, capture_output=True, text=True,
                       preexec_fn=preexec, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def refused(what, work, args, status, message, **kw):
    """Runs dem-import in WORK and checks a refusal that leaves WORK as it was."""
    before = snapshot(work)
    rc, out, err = run(args, work, **kw)
    check(f"{what}: status {status}", rc == status, f"rc {rc}, stderr: {err.strip()}")
    check(f"{what}: message '{message}'", message in err, err.strip())
    check(f"{what}: no traceback", "Traceback" not in err + out, err)
    check(f"{what}: nothing changed or left behind", not differences(before, snapshot(work)),
          differences(before, snapshot(work)))


def samples(path, dtype):
    return np.fromfile(path, dtype=dtype).tolist()


def workdir():
    d = tempfile.mkdtemp(prefix="dem_import_test.")
    WORKDIRS.append(d)
    os.makedirs(os.path.join(d, "root", "c:", "images"))
    return d


def dest(work, name):
    return os.path.join(work, "root", "c:", "images", "zone", name)


# ---------------------------------------------------------------- the rasters of the tables

MASKS = ("external .msk", "internal mask", "alpha")


def masked(kind, path):
    """A GeoTIFF of GRID whose pixel (1, 1) is hidden by a mask of KIND."""
    hidden = np.full((3, 4), 255)
    hidden[1, 1] = 0
    if kind == "alpha":
        return make(path, GRID, dtype=gdal.GDT_UInt16, bands=2, options=["ALPHA=YES"],
                    then=lambda ds: ds.GetRasterBand(2).WriteArray(hidden))

    def add_mask(ds):
        ds.CreateMaskBand(gdal.GMF_PER_DATASET)
        ds.GetRasterBand(1).GetMaskBand().WriteArray(hidden)
    gdal.SetConfigOption("GDAL_TIFF_INTERNAL_MASK", "YES" if kind == "internal mask" else "NO")
    make(path, GRID, then=add_mask)
    gdal.SetConfigOption("GDAL_TIFF_INTERNAL_MASK", None)


def sources(w):
    """Writes every raster that the tables name into W."""
    j = lambda n: os.path.join(w, n)  # noqa: E731
    make(j("grid.tif"), GRID)
    make(j("-d.tif"), GRID)
    make(j("wide.tif"), GRID, gt=(0, 3e9, 0, 0, 0, -3e9))
    make(j("south.tif"), GRID, gt=(500000, 30, 0, 3999910, 0, 30))
    make(j("mars.tif"), np.full((3, 3), 5), crs="+proj=longlat +R=3396190 +no_defs",
         gt=(10, ARC3, 0, 1.5 * ARC3, 0, -ARC3))
    make(j("sea.tif"), [[-2, 0, 5], [1, 2, 3], [4, 0, 6]])
    make(j("dm.tif"), GRID, then=lambda ds: ds.GetRasterBand(1).SetScale(0.1))
    make(j("big32.tif"), np.full((3, 3), 3000000), dtype=gdal.GDT_Int32)
    make(j("rotated.tif"), GRID, gt=(500000, 7.0711, 7.0711, 4000000, 7.0711, -7.0711))
    for shape in TINY:
        make(j("%dx%d.tif" % shape), np.ones(shape))
    for kind in MASKS:
        masked(kind, j(kind + ".tif"))
    for i, (_, driver, crs, unit, value) in enumerate(FEET):
        make(j(f"feet{i}.{driver}"), np.full((3, 3), value), dtype=gdal.GDT_Float32,
             driver=driver, crs=crs, unit=unit, gt=(1e6, 100, 0, 5e5, 0, -100))
    vrt(j("huge.vrt"), 10 ** 6)
    os.mkfifo(j("fifo.tif"))


TINY = ((2, 2), (3, 2), (2, 3), (1, 5))
# what, driver, coordinate system, band unit, elevation
FEET = [("band unit ft", "GTiff", "EPSG:32633", "ft", 100),
        ("band unit US survey foot", "GTiff", "EPSG:32633", "US survey foot", 3937),
        ("compound CRS in US feet, ENVI", "ENVI", "EPSG:2227+6360", None, 3937),
        ("compound CRS in US feet, HFA", "HFA", "EPSG:2227+6360", None, 3937)]
BAD_OPTIONS = [("--pixel-size", v) for v in ("3e9", "inf", "nan", "0", "-5")] + \
    [("--z-factor", v) for v in ("inf", "nan", "0", "1e300")] + \
    [("--add", v) for v in ("inf", "-inf", "nan", "1e300")] + \
    [("--fill", v) for v in ("inf", "nan", "-1e300", "low")] + [("--band", "0")]

# what, source, FOLDER NAME and options, status, message on standard error
REFUSALS = [(f"{o} {v}", "grid.tif", ["zone", "x", o, v], 2, f"argument {o}:") for o, v in BAD_OPTIONS] + [
    ("a pixel of 3e9 m", "wide.tif", ["zone", "x"], 1, "does not fit the descriptor"),
    ("a folder of 49 two-byte letters", "grid.tif", ["é" * 49, "x"], 1, "takes 98 bytes"),
    ("a DEM name of 60 two-byte letters", "grid.tif", ["zone", "é" * 60], 1, "is longer than 127 bytes"),
    ("a FIFO source", "fifo.tif", ["zone", "x"], 1, "is not a regular file"),
    ("10^6 x 10^6 pixels", "huge.vrt", ["zone", "x"], 1, "needs about 1907349 MiB of memory in the tool"),
] + [(f"a DEM of {r} x {c}", f"{r}x{c}.tif", ["zone", "x"], 1, "at least 3 x 3 pixels") for r, c in TINY] + \
    [(kind, kind + ".tif", ["zone", "x"], 1, "1 of 12 pixels") for kind in MASKS]

SAMPLES = np.array(GRID).ravel().tolist()
FILLED = SAMPLES[:5] + [100] + SAMPLES[6:]
# what, source and arguments, written file, its samples (or descriptor numbers), text said
CONVERSIONS = [(f"{k} filled with --fill min", [k + ".tif", "zone", f"m{i}", "--fill", "min"],
                f"m{i}_m2.raw", FILLED, "are nodata") for i, k in enumerate(MASKS)] + [
    ("band unit ft", ["feet0.GTiff", "zone", "f0"], "f0_m2.raw", [30480] * 9,
     "in feet (the band says so): converted to metres with the factor 0.3048"),
    ("band unit US survey foot", ["feet1.GTiff", "zone", "f1"], "f1_m2.raw", [1200] * 9, "factor 1200/3937"),
    ("US feet in an ENVI compound CRS", ["feet2.ENVI", "zone", "f2"], "f2_m2.raw", [1200] * 9,
     "US survey feet (the coordinate system says so)"),
    ("US feet in an HFA compound CRS", ["feet3.HFA", "zone", "f3"], "f3_m2.raw", [1200] * 9,
     "US survey feet (the coordinate system says so)"),
    ("--z-factor wins", ["feet1.GTiff", "zone", "f4", "--z-factor", "1"], "f4_m2.raw", [3937] * 9,
     "--z-factor 1; the band says US survey feet"),
    ("south-up", ["south.tif", "zone", "s"], "s_m2.raw", GRID[2] + GRID[1] + GRID[0], "south-up"),
    ("a sphere of 3396190 m: 3\" pixels of 49 m", ["mars.tif", "zone", "mars"], "mars_m2.txt",
     [3, 3, 2, 5, 5, 49], "ellipsoid of 3396190 m"),
    ("a source named -d.tif", ["--", "-d.tif", "zone", "dash"], "dash_m2.raw", SAMPLES, ""),
    ("sea level", ["sea.tif", "zone", "sea"], "sea_m4.txt", [3, 3, 4, -2000, 6000, 30],
     "warning: 3 pixel(s) are at 0 m or below (lowest -2 m): the ratio divides by the elevation, "
     "so sea level gives ratios of millions and a flat grey image; --add 3 lifts the lowest to 1 m"),
    ("sea level: the --add it gives", ["sea.tif", "zone", "lifted", "--add", "3"], "lifted_m2.txt",
     [3, 3, 2, 1, 9, 30], ""),
    ("--fill 0: advice that --add cannot follow is not given",
     ["internal mask.tif", "zone", "fz", "--fill", "0", "--add", "5"], "fz_m2.raw",
     [105, 106, 107, 108, 109, 0, 111, 112, 113, 114, 115, 116],
     "warning: 1 pixel(s) are at 0 m or below (lowest 0 m): the ratio divides by the elevation, "
     "so sea level gives ratios of millions and a flat grey image; the 1 nodata pixel(s) are "
     "filled with 0 m, which --add does not lift: --fill min, or a --fill value above 0 "
     "(the conversion goes on)"),
    ("a band scale of 0.1: whole decimetres stored as such", ["dm.tif", "zone", "dm"], "dm_m2.raw",
     SAMPLES, "hypsometric interval 1"),
    ("whole metres beyond 32-bit millimetres: _m4 in metres", ["big32.tif", "zone", "big"],
     "big_m4.txt", [3, 3, 4, 3000000, 3000000, 30], "hypsometric interval 0"),
    ("a rotated 10 m grid: no rounding note", ["rotated.tif", "zone", "rot"], "rot_m2.txt",
     [3, 4, 2, 100, 111, 10], "!rounded"),
    ("a folder of 48 two-byte letters", ["grid.tif", "é" * 48, "x"], "../" + "é" * 48 + "/x_m2.raw",
     SAMPLES, ""),
]


def test_tables():
    w = workdir()
    sources(w)
    for what, source, args, status, message in REFUSALS:
        refused(what, w, [source] + args + ["--root", "root"], status, message)
    for what, args, written, want, said in CONVERSIONS:
        rc, out, err = run(["--root", "root"] + args, w)
        path = dest(w, written)
        got = ([int(x) for x in open(path).read().split()] if path.endswith(".txt") else
               samples(path, "<u2" if "_m2" in written else "<i4")) if rc == 0 else err
        check(f"{what}: written", got == want, got)
        shown = said[1:] not in out + err if said.startswith("!") else said in out + err
        advised = re.search(r"--add -?[0-9]", err)  # no --add advice once --add is given
        check(f"{what}: said", shown and ("--add" not in args or not advised), out + err)
    check(".msk case had its sidecar", os.path.exists(os.path.join(w, "external .msk.tif.msk")))
    tool = os.environ.get("ORVANDE_BIN")
    if tool:
        p = subprocess.run([tool], input="\n".join(["é" * 48, "x", "0", "0", "r", "1", "2"]) + "\n",
                           cwd=os.path.join(w, "root"), capture_output=True, text=True)
        check("the tool takes the 48-letter folder too", p.returncode == 0 and os.path.exists(
            os.path.join(w, "root", "c:", "images", "é" * 48, "r_roughness.raw")), p.stderr)


# ---------------------------------------------------------------- files it must not lose

def test_existing_destination_and_source():
    w = workdir()
    src, root = os.path.join(w, "a.tif"), ["--root", os.path.join(w, "root")]
    make(src, GRID)
    check("first import", run([src, "zone", "site"] + root, w)[0] == 0)
    refused("an existing DEM without --overwrite", w, [src, "zone", "site"] + root, 1,
            "site_m2.raw exists: give --overwrite")
    make(src, np.array(GRID) + 1)
    rc, _, err = run([src, "zone", "site", "--overwrite"] + root, w)
    check("--overwrite replaces the DEM", rc == 0 and samples(dest(w, "site_m2.raw"), "<u2")
          == (np.array(GRID) + 1).ravel().tolist(), err)
    # An ENVI DEM of two bands that is itself zone/src_m2.raw, imported as src --band 2.
    envi = dest(w, "src_m2.raw")
    make(envi, GRID, dtype=gdal.GDT_UInt16, driver="ENVI", bands=2,
         then=lambda ds: ds.GetRasterBand(2).WriteArray(np.array(GRID) * 2))
    refused("the source as destination", w, [envi, "zone", "src", "--band", "2", "--overwrite"]
            + root, 1, "is the source or one of its files")
    os.symlink(src, dest(w, "link_m2.raw"))
    refused("a destination linked to the source", w, [src, "zone", "link", "--overwrite"] + root,
            1, "is the source or one of its files")
    # Links planted where temporaries might go: their target stays as it was.
    with open(os.path.join(w, "victim"), "w") as f:
        f.write("keep me")
    for planted in ("x_m2.raw.part", ".x_m2.raw.part", "x_m2.txt.part"):
        os.symlink(os.path.join(w, "victim"), dest(w, planted))
    check("links beside the destination: converted", run([src, "zone", "x"] + root, w)[0] == 0)
    check("links beside the destination: target unchanged",
          open(os.path.join(w, "victim")).read() == "keep me")


def test_failed_writes_keep_the_old_pair():
    w = workdir()
    make(os.path.join(w, "a.tif"), GRID)
    make(os.path.join(w, "big.tif"), np.full((200, 200), 7))
    run(["a.tif", "zone", "site", "--root", "root"], w)
    refused("a write that fails half-way", w, ["big.tif", "zone", "site", "--overwrite", "--root", "root"],
            1, "could not write", preexec=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096)))
    # The second rename fails: the first file gets its old contents back.
    for n in ("r", "t", "r.new", "t.new"):
        with open(os.path.join(w, n), "w") as f:
            f.write(n)
    real, calls = os.replace, []

    def second_fails(a, b):
        calls.append(a)
        if len(calls) == 2:
            raise OSError(28, "No space left on device")
        real(a, b)
    os.replace = second_fails
    try:
        safe_files.commit_set([(os.path.join(w, "r.new"), os.path.join(w, "r")),
                                (os.path.join(w, "t.new"), os.path.join(w, "t"))])
        check("a failed rename is reported", False)
    except OSError:
        pass
    finally:
        os.replace = real
    kept = {n: open(os.path.join(w, n)).read() for n in os.listdir(w)
            if n in ("r", "t", "r.new", "t.new") or n.endswith(".old")}
    check("a failed rename leaves the old pair", kept == {"t": "t", "t.new": "t.new", "r": "r"}, kept)


def test_full_disk():
    w = workdir()
    small = os.path.join(w, "small")
    os.makedirs(small)
    make(os.path.join(w, "fits.tif"), np.full((128, 256), 9))
    make(os.path.join(w, "big.tif"), np.full((200, 200), 9))
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", small],
                      capture_output=True).returncode != 0:
        print("note: no tmpfs could be mounted (not root?): the full-disk cases are left out")
        return
    try:
        refused("a DEM larger than the free space", w, ["big.tif", "z", "big", "--root", small], 1,
                "the DEM raster needs 80000 bytes")
        refused("a disk that fills up", w, ["fits.tif", "z", "fits", "--root", small], 1,
                "No space left on device")
    finally:
        subprocess.run(["umount", small])


def test_signals_stop_cleanly():
    w = workdir()
    make(os.path.join(w, "tile.tif"), [[100.25, 101.5, 102], [103, 104, 105], [106, 107, 108]],
         dtype=gdal.GDT_Float32)
    vrt(os.path.join(w, "slow.vrt"), 8000, dtype="Float32", body='<SimpleSource><SourceFilename '
        'relativeToVRT="1">tile.tif</SourceFilename><SourceBand>1</SourceBand><SrcRect xOff="0" '
        'yOff="0" xSize="3" ySize="3"/><DstRect xOff="0" yOff="0" xSize="8000" ySize="8000"/></SimpleSource>')
    zone = os.path.join(w, "root", "c:", "images", "zone")
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        before = snapshot(w)
        p = subprocess.Popen([IMPORT, "slow.vrt", "zone", "slow", "--pixel-size", "30", "--root",
                              "root"], cwd=w, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.time() + 60
        while time.time() < deadline and p.poll() is None and not (
                os.path.isdir(zone) and any(n.endswith(".part") for n in os.listdir(zone))):
            time.sleep(0.01)
        p.send_signal(sig)
        out, err = p.communicate(timeout=60)
        name = signal.Signals(sig).name
        check(f"{name}: status 1", p.returncode == 1, f"rc {p.returncode}: {err}")
        check(f"{name}: says so", f"stopped by {name}; nothing written" in err, err)
        check(f"{name}: no traceback", "Traceback" not in err, err)
        check(f"{name}: nothing left behind", not differences(before, snapshot(w)),
              differences(before, snapshot(w)))


# ---------------------------------------------------------------- what it prints and returns

def test_printed_command_works():
    tool = os.environ.get("ORVANDE_BIN")
    w = workdir()
    make(os.path.join(w, "a.tif"), GRID)
    env = {k: v for k, v in os.environ.items() if k != "ORVANDE_BIN"}
    out = run(["a.tif", "zone", "plain", "--root", "root"], w, env=env)[1]
    line = [x for x in out.splitlines() if x.startswith("  cd ")]
    shown = line[0].rsplit("| ", 1)[-1] if line else ""
    check("without ORVANDE_BIN: an existing tool or a note on building it",
          os.access(shown, os.X_OK) or "neither installed nor built" in out, out)
    if not tool:
        print("note: ORVANDE_BIN is not set; the printed command is not run")
        return
    out = run(["a.tif", "zone", "site", "--root", "root"], w)[1]
    line = [x for x in out.splitlines() if x.startswith("  cd ")]
    check("the command names ORVANDE_BIN", bool(line) and line[0].endswith(tool), out)
    done = subprocess.run(["bash", "-c", line[0] if line else "false"], capture_output=True, text=True)
    check("the printed command runs the tool", done.returncode == 0 and
          os.path.exists(dest(w, "rough_roughness_str.bmp")), done.stderr)


class Opts:
    band, unit, fill, pixel_size, z_factor, add = 1, None, "min", None, None, 0.0


def test_import_dem_interface():
    w = workdir()
    values = np.array(GRID, dtype=float) + 0.5
    values[0, 3] = -9999
    make(os.path.join(w, "s.tif"), values, dtype=gdal.GDT_Float32, nodata=-9999,
         gt=(500000, 30, 0, 3999910, 0, 30))
    notes = []
    got = tool_format.import_dem(os.path.join(w, "s.tif"), w, "s", Opts(), log=notes.append)
    check("interface: _m4 millimetres", (got.storage, got.interval) == (1, 3) and
          got.raster == os.path.join(w, "s_m4.raw") and got.descriptor == os.path.join(w, "s_m4.txt"))
    check("interface: size and pixel", (got.lines, got.columns, got.pixel_size) == (3, 4, 30))
    check("interface: north-up geotransform", got.geotransform == (500000, 30, 0, 4000000, 0, -30),
          got.geotransform)
    check("interface: the coordinate system", "UTM zone 33N" in got.srs_wkt)
    want = np.zeros((3, 4), dtype=bool)
    want[2, 3] = True  # the first source line is written last
    check("interface: nodata in the written order", got.nodata is not None and
          got.nodata.tolist() == want.tolist(), got.nodata)
    check("interface: notes through log", any("south-up" in n for n in notes), notes)
    try:
        tool_format.import_dem(os.path.join(w, "s.tif"), w, "s", Opts(), log=notes.append)
        check("interface: an existing DEM raises Refusal", False)
    except safe_files.Refusal as e:
        check("interface: an existing DEM raises Refusal", "exists" in str(e), str(e))
    Opts.fill = None
    make(os.path.join(w, "n.tif"), GRID)
    got = tool_format.import_dem(os.path.join(w, "n.tif"), w, "n", Opts(), log=notes.append)
    check("interface: no nodata gives None", got.nodata is None and got.storage == 0)


class DemImport(unittest.TestCase):
    """Each test_* function above, as a test of its own."""

    def setUp(self):
        CASE.append(self)
        warnings.simplefilter("ignore", ResourceWarning)

    def tearDown(self):
        CASE.pop()
        for d in WORKDIRS:
            shutil.rmtree(d, ignore_errors=True)
        WORKDIRS.clear()


for _name, _test in sorted(globals().copy().items()):
    if _name.startswith("test_") and callable(_test):
        setattr(DemImport, _name, lambda self, _t=_test: _t())


if __name__ == "__main__":
    unittest.main(verbosity=2)
