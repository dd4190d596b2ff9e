"""The GeoTIFF outputs of dem-roughness, written a block of lines at a time.

OUTPUT_roughness.tif (centred levels) and OUTPUT_roughness_str.tif (stretched levels): Byte,
with a mask stored in the TIFF that hides every pixel without a ratio (all 256 levels are
values). OUTPUT_ratio.tif: the ratio as Float32, NaN (the nodata value) where a pixel has
none. All tiled and deflate-compressed (on every core), with the source's coordinate system
and the geotransform of the written grid; the two maps and the ratio carry the figures of
the stretch in their metadata, as Python's repr() of each number (exact), so that a grey
level can be turned back into a ratio interval.

Each output is written to a temporary beside its final name; commit() renames the set.
The centred map and the ratio are written as the second pass gives them (put_results, on
the run's GDAL thread: gdal_worker), the stretched map after it from the centred map read
back (stretch), since its mapping needs the whole histogram. Lines go to GDAL in whole rows
of tiles, so that no tile is written twice and GDAL's cache holds at most a few rows of
tiles: each row is compressed and written as soon as it is complete.
"""

import os
import resource
import sys

import numpy as np
from osgeo import gdal

from . import safe_files
from .safe_files import Refusal

TILE = 256
# Pixels of the stretched map written at once (whole rows of tiles): fewer, larger writes
# compress on every core with fewer waits.
STEP_PIXELS = 4 << 20
CREATION = ["TILED=YES", f"BLOCKXSIZE={TILE}", f"BLOCKYSIZE={TILE}", "COMPRESS=DEFLATE", "ZLEVEL=1",
            "BIGTIFF=IF_SAFER", "NUM_THREADS=ALL_CPUS"]
# GDAL's side files of a raster: overviews, statistics and other auxiliary data, a mask.
SIDE_SUFFIXES = (".aux.xml", ".ovr", ".ovr.aux.xml", ".msk", ".aux")
# (suffix of the output name, what it holds, GDAL type)
KINDS = {"centred": ("_roughness.tif", gdal.GDT_Byte), "stretched": ("_roughness_str.tif", gdal.GDT_Byte),
         "ratio": ("_ratio.tif", gdal.GDT_Float32)}
FIGURES = ("coefficient", "ratio_min", "ratio_max", "max_stretch", "centred_min", "centred_max",
           "threshold", "lower_cutoff", "upper_cutoff", "pixel_count")


def output_paths(prefix, ratio):
    """{kind: final path} of the outputs of PREFIX."""
    return {k: prefix + suffix for k, (suffix, _) in KINDS.items() if ratio or k != "ratio"}


def figures_metadata(figures, kind):
    """The metadata items of one output: the stretch's figures, exactly (repr)."""
    items = {"ROUGHNESS_MAP": kind}
    for name in FIGURES:
        items["ROUGHNESS_" + name.upper()] = repr(getattr(figures, name))
    items["ROUGHNESS_HISTOGRAM"] = " ".join(str(int(c)) for c in figures.histogram)
    return items


class Outputs:
    """The outputs under temporary names: put(first, ...) for each block in line order,
    finish(figures), then commit() (or discard())."""

    def __init__(self, finals, dem, keep_bytes=0):
        """KEEP_BYTES: the centred levels and their mask (9 bits a pixel) are kept for the
        stretched map when they fit in that many bytes; else it reads the centred map back."""
        self.finals, self.lines, self.columns = finals, dem.lines, dem.columns
        self.temps, self.datasets, self.bands = [], {}, {}
        self.tmp_of = {}
        try:
            self._create(dem)
        except BaseException:
            self.discard()
            raise
        self.streamed = [k for k in finals if k != "stretched"]  # put() gives these
        self.pending = {k: np.empty((TILE, dem.columns), np.float32 if k == "ratio" else np.uint8)
                        for k in self.streamed + ["mask"]}
        self.held, self.start = 0, 0
        self.kept = None
        if "stretched" in finals and dem.lines * (dem.columns + -(-dem.columns // 8)) <= keep_bytes:
            self.kept = (np.empty((dem.lines, dem.columns), np.uint8),
                         np.empty((dem.lines, -(-dem.columns // 8)), np.uint8))

    def _create(self, dem):
        for kind, final in self.finals.items():
            tmp = safe_files.new_temporary(final, self.temps)
            self.tmp_of[kind] = tmp
            failed = self._create_one(kind, tmp, dem)
            if failed:
                raise Refusal(_failure(final, tmp, failed))

    def _create_one(self, kind, tmp, dem):
        try:
            ds = gdal.GetDriverByName("GTiff").Create(tmp, dem.columns, dem.lines, 1,
                                                       KINDS[kind][1], options=CREATION)
        except RuntimeError as e:
            return e
        ds.SetGeoTransform(dem.geotransform)
        if dem.srs_wkt:
            ds.SetProjection(dem.srs_wkt)
        band = ds.GetRasterBand(1)
        if kind == "ratio":
            band.SetNoDataValue(float("nan"))
        else:
            band.CreateMaskBand(gdal.GMF_PER_DATASET)
        self.datasets[kind], self.bands[kind] = ds, band
        return None

    def put_results(self, first, centred, ratio, mask):
        """The results of lines FIRST.. as the passes give them: centred levels, ratios
        (float64, NaN without a ratio; None without the ratio output) and the mask (None: the
        pixels with a ratio)."""
        arrays = {"centred": centred}
        if ratio is not None:
            arrays["ratio"] = ratio.astype(np.float32)
            if mask is None:
                mask = (~np.isnan(ratio)).view(np.uint8) * np.uint8(255)
        arrays["mask"] = mask
        if self.kept:
            self.kept[0][first:first + len(centred)] = centred
            self.kept[1][first:first + len(centred)] = np.packbits(mask, axis=1)
        self.put(first, arrays)

    def put(self, first, arrays):
        """ARRAYS: {kind: lines FIRST.. of that output, "mask": 255 where a ratio is}, for
        the centred map and the ratio (the stretched map comes from the centred: stretch())."""
        count = len(arrays["mask"])
        pos = 0
        while pos < count:
            line = first + pos
            if self.held == 0 and line % TILE == 0 and count - pos >= TILE:
                n = (count - pos) // TILE * TILE
                self._write(line, {k: a[pos:pos + n] for k, a in arrays.items()})
                pos += n
                continue
            if self.held == 0:
                self.start = line
            n = min(TILE - self.held, count - pos)
            for k, a in arrays.items():
                self.pending[k][self.held:self.held + n] = a[pos:pos + n]
            self.held += n
            pos += n
            if self.held == TILE or self.start + self.held == self.lines:
                self._write(self.start, {k: a[:self.held] for k, a in self.pending.items()})
                self.held = 0

    def stretch(self, mapping, progress=None):
        """The stretched map: the centred levels (kept, or read back from the centred map)
        in whole rows of tiles of about 4 million pixels, each level c written as
        mapping[c], under the same mask."""
        if "stretched" not in self.bands:
            return
        centred = self.bands["centred"]
        lut = np.asarray(mapping, np.uint8)
        step = max(1, STEP_PIXELS // (TILE * self.columns)) * TILE
        for line in range(0, self.lines, step):
            n = min(step, self.lines - line)
            if self.kept:
                levels = self.kept[0][line:line + n]
                bits = np.unpackbits(self.kept[1][line:line + n], axis=1, count=self.columns)
                mask = bits * np.uint8(255)
            else:
                try:
                    levels = centred.ReadAsArray(0, line, self.columns, n)
                    mask = centred.GetMaskBand().ReadAsArray(0, line, self.columns, n)
                except RuntimeError as e:
                    raise Refusal(_failure(self.finals["centred"], self.tmp_of["centred"], e))
            self._write(line, {"stretched": lut[levels], "mask": mask})
            if progress:
                progress("stretched levels", (line + n) / self.lines)

    def _write(self, line, arrays):
        """Whole rows of tiles of the outputs in ARRAYS: written, then compressed and flushed
        to the file."""
        failed = None
        for kind in (k for k in self.bands if k in arrays):
            try:
                self.bands[kind].WriteArray(arrays[kind], 0, line)
                if kind != "ratio":
                    self.bands[kind].GetMaskBand().WriteArray(arrays["mask"], 0, line)
                self.datasets[kind].FlushCache()
            except RuntimeError as e:
                failed = _failure(self.finals[kind], self.tmp_of[kind], e)
                break
        if failed:  # raised here, where no frame holds a dataset that discard() must close
            raise Refusal(failed)

    def finish(self, figures):
        """The metadata, then every output completed and closed."""
        for kind, ds in self.datasets.items():
            for key, value in figures_metadata(figures, kind).items():
                ds.SetMetadataItem(key, value)
        for kind in list(self.datasets):
            failed = None
            try:
                self.datasets[kind].FlushCache()
            except RuntimeError as e:
                failed = _failure(self.finals[kind], self.tmp_of[kind], e)
            if failed:
                raise Refusal(failed)
            self.bands.pop(kind)
            self.datasets.pop(kind)  # closes the file

    def commit(self):
        """Renames the set into place (signals held) and removes the side files of the
        outputs it replaces."""
        pairs = [(self.tmp_of[k], f) for k, f in self.finals.items()]
        try:
            safe_files.commit_held(pairs, self.temps, SIDE_SUFFIXES)
        except OSError as e:
            raise Refusal(f"could not rename the outputs into place: {e.filename}: {e.strerror}; "
                          "the earlier outputs are as they were")

    def discard(self):
        """Closes what is open without a word (a failed write already said why) and removes
        the temporaries."""
        if self.datasets:
            # An output whose write failed may be closed only when the failure's frames go,
            # and closing it fails again: that was said already.
            sys.unraisablehook = lambda _: None
        gdal.PushErrorHandler("CPLQuietErrorHandler")
        try:
            self.bands.clear()
            self.datasets.clear()
        finally:
            gdal.PopErrorHandler()
        with safe_files.signals_held():
            safe_files.remove(self.temps + [t + s for t in self.temps for s in SIDE_SUFFIXES])
        self.temps.clear()


def has_ratio(valid, first, count, lines):
    """255 where a pixel of lines FIRST..FIRST+COUNT-1 has a ratio: interior, with its nine
    pixels valid. VALID holds lines FIRST-1..FIRST+COUNT (those that exist)."""
    v = valid
    if first == 0:
        v = np.concatenate([np.zeros((1, v.shape[1]), bool), v])
    if first + count == lines:
        v = np.concatenate([v, np.zeros((1, v.shape[1]), bool)])
    rows = v[:-2] & v[1:-1] & v[2:]
    out = np.zeros((count, v.shape[1]), bool)
    out[:, 1:-1] = rows[:, :-2] & rows[:, 1:-1] & rows[:, 2:]
    return out.view(np.uint8) * np.uint8(255)


def _failure(final, tmp, e):
    """One line: the output and the cause of a failed GDAL write (the system's reason when
    the disk or the file-size limit is the cause)."""
    return f"could not write {final}: {_cause(tmp) or _first_line(e)}"


def _cause(tmp):
    try:
        size = os.stat(tmp).st_size
    except OSError:
        size = 0
    limit = resource.getrlimit(resource.RLIMIT_FSIZE)[0]
    if limit != resource.RLIM_INFINITY and size >= limit - (1 << 16):
        return os.strerror(27)  # EFBIG: File too large
    try:
        fd = os.open(os.path.dirname(tmp) or ".", os.O_TMPFILE | os.O_WRONLY, 0o600)
    except (OSError, AttributeError):
        return None
    try:
        os.write(fd, bytes(1 << 16))
        os.fsync(fd)
        return None
    except OSError as e:
        return e.strerror
    finally:
        os.close(fd)


def _first_line(e):
    text = str(e).strip()
    return text.splitlines()[0] if text else "GDAL write error"
