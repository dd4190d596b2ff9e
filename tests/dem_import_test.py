"""dem-import on hostile and unusual rasters, made here with GDAL's Python bindings.

Each refusal is checked for its status, one clear message on standard error, no traceback,
and a work folder left exactly as it was (no file changed, no temporary left behind).
Run by tests/dem_import.sh with a python3 that has GDAL's bindings and numpy.
"""

import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np
from osgeo import gdal, osr

gdal.UseExceptions()
SRC = os.environ.get("ORVANDE_SOURCE_DIR") or os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
IMPORT = os.path.join(SRC, "scripts", "dem-import")
sys.path.insert(0, os.path.join(SRC, "scripts", "lib"))
import dem_import  # noqa: E402

UTM = (500000.0, 30.0, 0.0, 4000000.0, 0.0, -30.0)
results = {"passed": 0, "failed": 0}


def check(what, ok, detail=""):
    if ok:
        results["passed"] += 1
    else:
        results["failed"] += 1
        print(f"FAIL: {what}" + (f"\n      {detail}" if detail else ""))


def srs(text):
    r = osr.SpatialReference()
    r.SetFromUserInput(text)
    return r


def make(path, values, dtype=gdal.GDT_Int16, gt=UTM, crs="EPSG:32633", driver="GTiff",
         nodata=None, unit=None, options=(), bands=1, then=None):
    """Writes VALUES as a raster with GDAL and closes it; THEN(ds) may add to it first."""
    values = np.asarray(values)
    ds = gdal.GetDriverByName(driver).Create(path, values.shape[1], values.shape[0], bands, dtype,
                                             list(options))
    if gt:
        ds.SetGeoTransform(gt)
    if crs:
        ds.SetSpatialRef(srs(crs))
    band = ds.GetRasterBand(1)
    band.WriteArray(values)
    if nodata is not None:
        band.SetNoDataValue(nodata)
    if unit:
        band.SetUnitType(unit)
    if then:
        then(ds)
    ds = None


def snapshot(top):
    """Every file and link below TOP with its contents (or target) and mode."""
    seen = {}
    for d, dirs, files in os.walk(top):
        for n in dirs + files:
            p = os.path.join(d, n)
            st = os.lstat(p)
            if os.path.islink(p):
                seen[p] = ("link", os.readlink(p))
            elif os.path.isfile(p):
                with open(p, "rb") as f:
                    seen[p] = ("file", f.read(), st.st_mode)
            else:
                seen[p] = ("dir", st.st_mode)
    return seen


def run(args, cwd, env=None, preexec=None, timeout=60):
    e = dict(os.environ, **(env or {}))
    p = subprocess.run([IMPORT] + args, cwd=cwd, env=e, capture_output=True, text=True,
                       preexec_fn=preexec, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def refused(what, work, args, status, message, cwd=None, **kw):
    """Runs dem-import in WORK and checks a refusal that leaves WORK as it was."""
    before = snapshot(work)
    rc, out, err = run(args, cwd or work, **kw)
    check(f"{what}: status {status}", rc == status, f"rc {rc}, stderr: {err.strip()}")
    check(f"{what}: message '{message}'", message in err, err.strip())
    check(f"{what}: no traceback", "Traceback" not in err + out, err)
    after = snapshot(work)
    changed = sorted(p for p in set(before) | set(after) if before.get(p) != after.get(p))
    check(f"{what}: nothing changed or left behind", not changed, changed)
    return err


def samples(path, dtype):
    return np.fromfile(path, dtype=dtype).tolist()


WORKDIRS = []


def workdir():
    d = tempfile.mkdtemp(prefix="dem_import_test.")
    WORKDIRS.append(d)
    os.makedirs(os.path.join(d, "root", "c:", "images"))
    return d


def dest(work, name):
    return os.path.join(work, "root", "c:", "images", "zone", name)


GRID = [[100, 101, 102, 103], [104, 105, 106, 107], [108, 109, 110, 111]]


# ---------------------------------------------------------------- files it must not lose

def test_existing_destination_and_source():
    w = workdir()
    src, root = os.path.join(w, "a.tif"), ["--root", os.path.join(w, "root")]
    make(src, GRID)
    rc, _, err = run([src, "zone", "site"] + root, w)
    check("first import", rc == 0, err)
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


def test_failed_write_keeps_the_old_pair():
    w = workdir()
    src, root = os.path.join(w, "a.tif"), ["--root", os.path.join(w, "root")]
    make(src, GRID)
    run([src, "zone", "site"] + root, w)
    make(os.path.join(w, "big.tif"), np.full((200, 200), 7))

    def small_files():
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
    refused("a write that fails half-way", w, [os.path.join(w, "big.tif"), "zone", "site",
            "--overwrite"] + root, 1, "could not write", preexec=small_files)


def test_rename_failure_restores_the_first_file():
    d = tempfile.mkdtemp(prefix="dem_import_test.")
    WORKDIRS.append(d)
    paths = {n: os.path.join(d, n) for n in ("r", "t", "r.new", "t.new")}
    for n, p in paths.items():
        with open(p, "w") as f:
            f.write(n)
    real, calls = os.replace, []

    def second_fails(a, b):
        calls.append(a)
        if len(calls) == 2:
            raise OSError(28, "No space left on device")
        real(a, b)
    os.replace = second_fails
    try:
        dem_import.commit_pair([(paths["r.new"], paths["r"]), (paths["t.new"], paths["t"])])
        check("a failed rename is reported", False)
    except OSError:
        pass
    finally:
        os.replace = real
    kept = {n: open(os.path.join(d, n)).read() for n in sorted(os.listdir(d))}
    check("a failed rename leaves the old pair", kept == {"t": "t", "t.new": "t.new", "r": "r"}, kept)


def test_temporaries_never_follow_links():
    w = workdir()
    src, root = os.path.join(w, "a.tif"), ["--root", os.path.join(w, "root")]
    make(src, GRID)
    victim = os.path.join(w, "victim")
    with open(victim, "w") as f:
        f.write("keep me")
    os.makedirs(dest(w, ""))
    for planted in ("x_m2.raw.part", ".x_m2.raw.part", "x_m2.txt.part"):
        os.symlink(victim, dest(w, planted))
    rc, _, err = run([src, "zone", "x"] + root, w)
    check("links beside the destination: converted", rc == 0, err)
    check("links beside the destination: their target unchanged", open(victim).read() == "keep me")


def test_size_checks_come_first():
    w = workdir()
    huge = os.path.join(w, "huge.vrt")
    with open(huge, "w") as f:
        f.write('<VRTDataset rasterXSize="1000000" rasterYSize="1000000"><GeoTransform>0,30,0,0,0,-30'
                '</GeoTransform><VRTRasterBand dataType="Int16" band="1"/></VRTDataset>')
    refused("10^6 x 10^6 pixels", w, [huge, "zone", "huge", "--root", "root"], 1,
            "needs about 1907349 MiB of memory in the tool", timeout=30)
    small = os.path.join(w, "small")
    os.makedirs(small)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", small],
                      capture_output=True).returncode != 0:
        print("note: no tmpfs could be mounted (not root?): the full-disk cases are left out")
        return
    try:
        make(os.path.join(w, "fits.tif"), np.full((128, 256), 9))
        make(os.path.join(w, "big.tif"), np.full((200, 200), 9))
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
    with open(os.path.join(w, "slow.vrt"), "w") as f:
        f.write('<VRTDataset rasterXSize="8000" rasterYSize="8000"><GeoTransform>0,30,0,0,0,-30'
                '</GeoTransform><VRTRasterBand dataType="Float32" band="1"><SimpleSource>'
                '<SourceFilename relativeToVRT="1">tile.tif</SourceFilename><SourceBand>1</SourceBand>'
                '<SrcRect xOff="0" yOff="0" xSize="3" ySize="3"/>'
                '<DstRect xOff="0" yOff="0" xSize="8000" ySize="8000"/></SimpleSource>'
                '</VRTRasterBand></VRTDataset>')
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
        after = snapshot(w)
        check(f"{name}: nothing left behind", after == before,
              sorted(p for p in set(before) | set(after) if before.get(p) != after.get(p)))


# ---------------------------------------------------------------- DEMs the tool would misread

def _masked(kind, path):
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


def test_masks_are_nodata():
    w = workdir()
    for i, kind in enumerate(("external .msk", "internal mask", "alpha")):
        src = os.path.join(w, f"m{i}.tif")
        _masked(kind, src)
        refused(f"{kind}", w, [src, "zone", f"m{i}", "--root", "root"], 1, "1 of 12 pixels")
        rc, _, err = run([src, "zone", f"m{i}", "--root", "root", "--fill", "min"], w)
        filled = np.array(GRID).ravel()
        filled[5] = 100
        check(f"{kind} filled with --fill min", rc == 0 and samples(dest(w, f"m{i}_m2.raw"), "<u2")
              == filled.tolist(), err)
    check(".msk case really had a sidecar", os.path.exists(os.path.join(w, "m0.tif.msk")))


FEET_CASES = [
    # what, driver, crs, band unit, extra options, samples, dtype, message
    ("band unit ft", "GTiff", "EPSG:32633", "ft", [], [30480] * 9, "<u2",
     "in feet (the band says so): converted to metres with the factor 0.3048"),
    ("band unit US survey foot", "GTiff", "EPSG:32633", "US survey foot", [], [1200] * 9, "<u2",
     "factor 1200/3937"),
    ("compound CRS in US feet, ENVI", "ENVI", "EPSG:2227+6360", None, [], [1200] * 9, "<u2",
     "US survey feet (the coordinate system says so)"),
    ("compound CRS in US feet, HFA", "HFA", "EPSG:2227+6360", None, [], [1200] * 9, "<u2",
     "US survey feet (the coordinate system says so)"),
    ("--z-factor wins", "GTiff", "EPSG:32633", "ft", ["--z-factor", "1"], [3937] * 9, "<u2",
     "--z-factor 1; the band says feet"),
]


def test_feet_are_converted():
    w = workdir()
    for i, (what, driver, crs, unit, extra, want, dtype, message) in enumerate(FEET_CASES):
        src = os.path.join(w, f"f{i}" + {"GTiff": ".tif", "ENVI": ".bin", "HFA": ".img"}[driver])
        value = 100 if unit == "ft" and not extra else 3937
        gt = (1e6, 100, 0, 5e5, 0, -100)
        make(src, np.full((3, 3), value), dtype=gdal.GDT_Float32, driver=driver, crs=crs,
                   unit=unit, gt=gt)
        rc, out, err = run([src, "zone", f"f{i}", "--root", "root"] + extra, w)
        suffix = "_m2" if dtype == "<u2" else "_m4"
        got = samples(dest(w, f"f{i}{suffix}.raw"), dtype) if rc == 0 else err
        check(f"{what}: samples", got == want, got)
        check(f"{what}: said", message in out, out)


BAD_OPTIONS = [("--pixel-size", v) for v in ("3e9", "inf", "nan", "0", "-5")] + \
    [("--z-factor", v) for v in ("inf", "nan", "0", "1e300")] + \
    [("--add", v) for v in ("inf", "-inf", "nan", "1e300")] + \
    [("--fill", v) for v in ("inf", "nan", "-1e300", "low")] + [("--band", "0")]


def test_absurd_options_and_sizes():
    w = workdir()
    src = os.path.join(w, "a.tif")
    make(src, GRID)
    for option, value in BAD_OPTIONS:
        refused(f"{option} {value}", w, [src, "zone", "x", "--root", "root", option, value], 2,
                f"argument {option}:")
    make(os.path.join(w, "wide.tif"), GRID, gt=(0, 3e9, 0, 0, 0, -3e9))
    refused("a pixel of 3e9 m from the georeferencing", w, ["wide.tif", "zone", "x", "--root", "root"],
            1, "does not fit the descriptor")
    for lines, columns in ((2, 2), (3, 2), (2, 3), (1, 5)):
        make(os.path.join(w, "tiny.tif"), np.ones((lines, columns)))
        refused(f"a DEM of {lines} x {columns}", w, ["tiny.tif", "zone", "x", "--root", "root"], 1,
                "at least 3 x 3 pixels")


def test_names_are_measured_in_bytes():
    w = workdir()
    make(os.path.join(w, "a.tif"), GRID)
    refused("a folder of 49 two-byte letters", w, ["a.tif", "é" * 49, "x", "--root", "root"], 1,
            "takes 98 bytes")
    rc, out, err = run(["a.tif", "é" * 48, "x", "--root", "root"], w)
    check("a folder of 48 two-byte letters is taken", rc == 0, err)
    refused("a DEM name of 60 two-byte letters", w, ["a.tif", "zone", "é" * 60, "--root", "root"], 1,
            "is longer than 127 bytes")
    tool = os.environ.get("ORVANDE_BIN")
    if tool and rc == 0:
        p = subprocess.run([tool], input="\n".join(["é" * 48, "x", "0", "0", "r", "1", "2"]) + "\n",
                           cwd=os.path.join(w, "root"), capture_output=True, text=True)
        check("the tool takes the 48-letter folder too", p.returncode == 0 and
              os.path.exists(os.path.join(w, "root", "c:", "images", "é" * 48, "r_roughness.raw")),
              p.stderr)


def test_orientation_and_ellipsoid():
    w = workdir()
    make(os.path.join(w, "s.tif"), GRID, gt=(500000, 30, 0, 3999910, 0, 30))
    rc, out, err = run(["s.tif", "zone", "s", "--root", "root"], w)
    check("south-up: lines written north first", rc == 0 and samples(dest(w, "s_m2.raw"), "<u2")
          == GRID[2] + GRID[1] + GRID[0], err)
    check("south-up: said", "south-up" in out, out)
    arc3 = 1 / 1200
    make(os.path.join(w, "mars.tif"), np.full((3, 3), 5), crs="+proj=longlat +R=3396190 +no_defs",
               gt=(10, arc3, 0, 1.5 * arc3, 0, -arc3))
    rc, out, err = run(["mars.tif", "zone", "mars", "--root", "root"], w)
    size = open(dest(w, "mars_m2.txt")).read().split()[5] if rc == 0 else err
    check("a sphere of 3396190 m: 3\" pixels of 49 m", size == "49", size)


def test_source_names():
    w = workdir()
    make(os.path.join(w, "-d.tif"), GRID)
    rc, _, err = run(["--root", "root", "--", "-d.tif", "zone", "dash"], w)
    check("a source named -d.tif", rc == 0 and os.path.exists(dest(w, "dash_m2.raw")), err)
    os.mkfifo(os.path.join(w, "fifo.tif"))
    refused("a FIFO source", w, ["fifo.tif", "zone", "x", "--root", "root"], 1,
            "is not a regular file", timeout=20)


# ---------------------------------------------------------------- advice it prints

def test_sea_level_warning():
    w = workdir()
    make(os.path.join(w, "sea.tif"), [[-2, 0, 5], [1, 2, 3], [4, 0, 6]])
    rc, out, err = run(["sea.tif", "zone", "sea", "--root", "root"], w)
    check("sea level: converted all the same", rc == 0, err)
    check("sea level: warned with the count", "warning: 3 pixel(s) are at 0 m or below" in err, err)
    check("sea level: the --add to lift the minimum to 1 m", "--add 3 lifts" in err, err)
    rc, out, err = run(["sea.tif", "zone", "lifted", "--root", "root", "--add", "3"], w)
    check("sea level lifted: no warning, minimum 1", rc == 0 and "warning" not in err and
          open(dest(w, "lifted_m2.txt")).read().split()[3] == "1", err)


def test_printed_command_works():
    tool = os.environ.get("ORVANDE_BIN")
    w = workdir()
    make(os.path.join(w, "a.tif"), GRID)
    env = {k: v for k, v in os.environ.items() if k != "ORVANDE_BIN"}
    p = subprocess.run([IMPORT, "a.tif", "zone", "plain", "--root", "root"], cwd=w, env=env,
                       capture_output=True, text=True)
    line = [x for x in p.stdout.splitlines() if x.startswith("  cd ")]
    shown = line[0].rsplit("| ", 1)[-1] if line else ""
    check("without ORVANDE_BIN: an existing tool or a note on building it",
          os.access(shown, os.X_OK) or "neither installed nor built" in p.stdout, p.stdout)
    if not tool:
        print("note: ORVANDE_BIN is not set; the printed command is not run")
        return
    rc, out, _ = run(["a.tif", "zone", "site", "--root", "root"], w)
    line = [x for x in out.splitlines() if x.startswith("  cd ")]
    check("the command names ORVANDE_BIN", bool(line) and line[0].endswith(tool), out)
    done = subprocess.run(["bash", "-c", line[0] if line else "false"], capture_output=True, text=True)
    check("the printed command runs the tool", done.returncode == 0 and
          os.path.exists(dest(w, "rough_roughness_str.bmp")), done.stderr)


# ---------------------------------------------------------------- the interface

class Opts:
    band, unit, fill, pixel_size, z_factor, add = 1, None, "min", None, None, 0.0


def test_import_dem_interface():
    w = workdir()
    values = np.array(GRID, dtype=float) + 0.5
    values[0, 3] = -9999
    make(os.path.join(w, "s.tif"), values, dtype=gdal.GDT_Float32, nodata=-9999,
               gt=(500000, 30, 0, 3999910, 0, 30))
    notes = []
    got = dem_import.import_dem(os.path.join(w, "s.tif"), w, "s", Opts(), log=notes.append)
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
        dem_import.import_dem(os.path.join(w, "s.tif"), w, "s", Opts(), log=notes.append)
        check("interface: an existing DEM raises Refusal", False)
    except dem_import.Refusal as e:
        check("interface: an existing DEM raises Refusal", "exists" in str(e), str(e))
    Opts.fill = None
    make(os.path.join(w, "n.tif"), GRID)
    got = dem_import.import_dem(os.path.join(w, "n.tif"), w, "n", Opts(), log=notes.append)
    check("interface: no nodata gives None", got.nodata is None and got.storage == 0)


def main():
    tests = [f for n, f in sorted(globals().items()) if n.startswith("test_")]
    for t in tests:
        try:
            t()
        except Exception as e:  # a test that breaks is one failure, the others still run
            check(f"{t.__name__} ran to its end", False, f"{type(e).__name__}: {e}")
    for d in WORKDIRS:
        shutil.rmtree(d, ignore_errors=True)
    print(f"dem_import_test: {results['passed']} passed, {results['failed']} failed")
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
