"""Converts a DEM that GDAL reads into the roughness tool's DEM format.

The result is NAME_m2.raw (16-bit unsigned samples) or NAME_m4.raw (32-bit signed samples),
little-endian and headerless, first line first, and its descriptor NAME_m2.txt / NAME_m4.txt
with six whole numbers, one per line: lines, columns, bytes per pixel, minimum, maximum,
pixel size in metres.

The conversion itself is import_dem(), shared by the dem-import and dem-roughness commands;
main() is dem-import's command line. GDAL is used through its Python bindings (Debian
packages python3-gdal and python3-numpy), which scripts/dem-import installs when missing.
"""

import argparse
import contextlib
import json
import math
import os
import shlex
import shutil
import signal
import stat
import sys
import tempfile
from dataclasses import dataclass
from fractions import Fraction

import numpy as np
from osgeo import gdal, osr

gdal.UseExceptions()
osr.UseExceptions()

PROG = "dem-import"
TOOL = "orvande_3d_roughness"

# Elevation units of the tool's hypsometric-interval menu: answer, name, samples per metre.
UNITS = {
    "m": (0, "metres", 1),
    "dm": (1, "decimetres", 10),
    "cm": (2, "centimetres", 100),
    "mm": (3, "millimetres", 1000),
}
MENU_LABEL = {0: "in meters", 1: "in decimeters", 2: "in centimeters", 3: "in millimeters"}
INT32_MIN, INT32_MAX = -(2 ** 31), 2 ** 31 - 1

# The tool's paths (c:\images\FOLDER\NAME_m2.raw and its results) hold 127 bytes.
PATH_LIMIT = 127
IMAGES_PREFIX = "c:\\images\\"
LONGEST_RESULT_SUFFIX = "_roughness_str.raw"

# The tool reads the DEM a line at a time: about this many bytes of memory a pixel.
TOOL_BYTES_PER_PIXEL = 2
# A DEM with fewer pixels than this is never refused for the tool's memory.
PIXELS_ALWAYS_TAKEN = 2 ** 31

# Limits of the options: beyond them a value is a typing slip, not a DEM.
ELEVATION_LIMIT = 1e6        # metres, for --add and --fill
Z_FACTOR_RANGE = (1e-6, 1e6)

# Pixels read at once (a block of whole lines).
CHUNK_PIXELS = 1 << 20

# Vertical units with their exact size in metres, by the names GDAL and the CRS give.
FOOT = Fraction(3048, 10000)
US_SURVEY_FOOT = Fraction(1200, 3937)
VERTICAL_UNITS = {
    "m": (Fraction(1), "metres"), "metre": (Fraction(1), "metres"),
    "meter": (Fraction(1), "metres"), "metres": (Fraction(1), "metres"),
    "meters": (Fraction(1), "metres"),
    "dm": (Fraction(1, 10), "decimetres"), "cm": (Fraction(1, 100), "centimetres"),
    "mm": (Fraction(1, 1000), "millimetres"), "km": (Fraction(1000), "kilometres"),
    "ft": (FOOT, "feet"), "foot": (FOOT, "feet"), "feet": (FOOT, "feet"),
    "international foot": (FOOT, "feet"), "intl foot": (FOOT, "feet"),
    "us ft": (US_SURVEY_FOOT, "US survey feet"), "ftus": (US_SURVEY_FOOT, "US survey feet"),
    "us survey foot": (US_SURVEY_FOOT, "US survey feet"),
    "us survey feet": (US_SURVEY_FOOT, "US survey feet"),
    "foot us": (US_SURVEY_FOOT, "US survey feet"), "us foot": (US_SURVEY_FOOT, "US survey feet"),
    "us feet": (US_SURVEY_FOOT, "US survey feet"), "survey foot": (US_SURVEY_FOOT, "US survey feet"),
}


class Refusal(Exception):
    """A reason not to write anything; str(e) is the one-line reason."""


class Interrupted(Refusal):
    """SIGINT, SIGTERM or SIGHUP arrived; `written` tells whether the DEM was complete."""

    def __init__(self, signum, written=False):
        self.signum, self.written = signum, written
        super().__init__(f"stopped by {signal.Signals(signum).name}")


@dataclass
class Imported:
    raster: str
    descriptor: str
    storage: int
    interval: int
    lines: int
    columns: int
    pixel_size: int
    geotransform: tuple
    srs_wkt: str
    nodata: object


# ---------------------------------------------------------------- signals

_signals = {"critical": False, "deferred": None}


def _on_signal(signum, _frame):
    if _signals["critical"]:
        _signals["deferred"] = signum
        return
    raise Interrupted(signum)


def handle_signals():
    """SIGINT, SIGTERM and SIGHUP raise Interrupted (deferred while files are created or
    renamed)."""
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, _on_signal)


@contextlib.contextmanager
def _signals_deferred():
    _signals["critical"] = True
    try:
        yield
    finally:
        _signals["critical"] = False


def _raise_deferred(written):
    deferred, _signals["deferred"] = _signals["deferred"], None
    if deferred:
        raise Interrupted(deferred, written)


# ---------------------------------------------------------------- options

def _number(option, low, high, low_open=False):
    def parse(text):
        try:
            v = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{option} takes a number, not {text!r}")
        above = v > low if low_open else v >= low
        if not (math.isfinite(v) and above and v <= high):
            sign = ">" if low_open else ">="
            raise argparse.ArgumentTypeError(
                f"{option} must be a finite number {sign} {low:g} and <= {high:g}, not {text!r}")
        return v
    return parse


def _fill(text):
    if text == "min":
        return text
    try:
        return _number("--fill", -ELEVATION_LIMIT, ELEVATION_LIMIT)(text)
    except argparse.ArgumentTypeError:
        raise argparse.ArgumentTypeError(
            f"--fill takes 'min' or a number of metres from {-ELEVATION_LIMIT:g} to "
            f"{ELEVATION_LIMIT:g}, not {text!r}")


def _band(text):
    try:
        v = int(text)
    except ValueError:
        v = 0
    if not 1 <= v <= INT32_MAX:
        raise argparse.ArgumentTypeError(f"--band takes a band number from 1, not {text!r}")
    return v


def add_conversion_options(parser):
    """Adds the conversion options that dem-import and dem-roughness share."""
    parser.add_argument("--band", type=_band, default=1, metavar="N", help="band to read (default 1)")
    parser.add_argument("--unit", choices=sorted(UNITS, key=lambda u: UNITS[u][2]),
                        help="store elevations in this unit (rounded to the nearest one); "
                             "_m2 when they fit 0..65535, else _m4")
    parser.add_argument("--fill", type=_fill, metavar="VALUE|min",
                        help="put VALUE (metres) or the lowest valid elevation ('min') into "
                             "nodata and masked pixels")
    parser.add_argument("--pixel-size", type=_number("--pixel-size", 0, INT32_MAX, True),
                        metavar="METRES",
                        help="pixel size to write, instead of the one taken from the georeferencing")
    parser.add_argument("--z-factor", type=_number("--z-factor", *Z_FACTOR_RANGE), metavar="F",
                        help="multiply the elevations by F to get metres, instead of the "
                             "vertical unit that the band or the coordinate system gives")
    parser.add_argument("--add", type=_number("--add", -ELEVATION_LIMIT, ELEVATION_LIMIT),
                        default=0.0, metavar="METRES",
                        help="add METRES to every elevation (after the unit conversion), e.g. "
                             "to lift a DEM with sea at 0 m: the ratio divides by the elevation")


# ---------------------------------------------------------------- small helpers

def round_half_away(x):
    """Nearest integer, halves away from zero (Python's round() goes to even)."""
    return int(math.copysign(math.floor(abs(x) + 0.5), x))


def _gdal_reason(e):
    return str(e).strip().splitlines()[0] if str(e).strip() else "unknown GDAL error"


def _mib(n):
    return f"{n / 2 ** 20:.0f} MiB"


# ---------------------------------------------------------------- the source

def open_source(source):
    """Opens SOURCE with GDAL after checking that it is a regular file (or a GDAL name)."""
    try:
        st = os.stat(source)
    except FileNotFoundError:
        if source.startswith("/vsi") or ":" in source:
            st = None
        else:
            raise Refusal(f"{source}: no such file")
    except OSError as e:
        raise Refusal(f"{source}: {e.strerror}")
    if st is not None and not (stat.S_ISREG(st.st_mode) or stat.S_ISDIR(st.st_mode)):
        raise Refusal(f"{source} is not a regular file (a pipe, a device or a socket): "
                      "save the DEM to a file first")
    try:
        return gdal.OpenEx(source, gdal.OF_RASTER | gdal.OF_READONLY)
    except RuntimeError as e:
        raise Refusal(f"GDAL cannot read {source}: {_gdal_reason(e)}")


def pick_band(ds, source, number):
    count = ds.RasterCount
    if not 1 <= number <= count:
        raise Refusal(f"{source} has {count} band(s); there is no band {number}")
    band = ds.GetRasterBand(number)
    type_name = gdal.GetDataTypeName(band.DataType)
    if gdal.DataTypeIsComplex(band.DataType):
        raise Refusal(f"band {number} holds complex numbers ({type_name}), not elevations")
    return band, type_name


def check_size(lines, columns, source):
    if lines < 3 or columns < 3:
        raise Refusal(f"{source} has {lines} line(s) and {columns} column(s): the tool needs at "
                      "least 3 x 3 pixels (the outer frame has no ratio)")
    if lines > INT32_MAX or columns > INT32_MAX:
        raise Refusal(f"{source} has {lines} lines and {columns} columns: the descriptor holds "
                      f"at most {INT32_MAX} of each")
    pixels = lines * columns
    need = pixels * TOOL_BYTES_PER_PIXEL
    have = _physical_memory()
    if pixels >= PIXELS_ALWAYS_TAKEN and need > have:
        raise Refusal(f"a DEM of {lines} lines and {columns} columns ({pixels} pixels) needs about "
                      f"{_mib(need)} of memory in the tool ({TOOL_BYTES_PER_PIXEL} bytes a pixel); "
                      f"this machine has {_mib(have)}")


def _physical_memory():
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError):
        return 1 << 62


def check_free_space(dest_dir, nbytes):
    st = os.statvfs(dest_dir)
    free = st.f_bavail * st.f_frsize
    if nbytes > free:
        raise Refusal(f"the DEM raster needs {nbytes} bytes ({_mib(nbytes)}) and {dest_dir} has "
                      f"{free} bytes ({_mib(free)}) free")


# ---------------------------------------------------------------- georeferencing

def _ellipsoid_pixel(srs, gt, lines, columns, w_units, h_units):
    """Pixel sides in metres in geographic coordinates, on the CRS's own ellipsoid."""
    a, b = srs.GetSemiMajor(), srs.GetSemiMinor()
    rad = srs.GetAngularUnits()            # radians per angular unit
    e2 = 1 - (b * b) / (a * a)
    lat = math.degrees((gt[3] + gt[4] * columns / 2 + gt[5] * lines / 2) * rad)
    lat = max(-90.0, min(90.0, lat))
    phi = math.radians(lat)
    w = 1 - e2 * math.sin(phi) ** 2
    meridional = a * (1 - e2) / w ** 1.5   # radius of curvature north-south
    normal = a / math.sqrt(w)              # radius of curvature east-west
    width_m = w_units * rad * normal * math.cos(phi)
    height_m = h_units * rad * meridional
    w_sec, h_sec = math.degrees(w_units * rad) * 3600, math.degrees(h_units * rad) * 3600
    note = (f"geographic coordinates: a pixel of {w_sec:.4g}\" x {h_sec:.4g}\" is {width_m:.1f} m "
            f"east-west and {height_m:.1f} m north-south at the centre latitude {lat:.4f} "
            f"(ellipsoid of {a:.0f} m); the pixel size written is the side of a square of the "
            "same area, rounded (the tool only records it)")
    return width_m, height_m, [note]


def pixel_size_metres(ds, gt, lines, columns):
    """Returns (size in whole metres, list of notes) from the georeferencing."""
    if gt is None:
        raise Refusal("the source has no georeferencing, so its pixel size is unknown: "
                      "give it with --pixel-size METRES")
    srs = ds.GetSpatialRef()
    if srs is None:
        raise Refusal("the source has no coordinate reference system, so the unit of its "
                      "pixel size is unknown: give the size with --pixel-size METRES")
    w_units, h_units = math.hypot(gt[1], gt[4]), math.hypot(gt[2], gt[5])
    notes = []
    if srs.IsGeographic():
        width_m, height_m, notes = _ellipsoid_pixel(srs, gt, lines, columns, w_units, h_units)
    else:
        factor = srs.GetLinearUnits()
        width_m, height_m = w_units * factor, h_units * factor
        if abs(width_m - height_m) > 0.01 * max(width_m, height_m):
            notes.append(f"pixels are {width_m:.2f} m x {height_m:.2f} m; the pixel size "
                         "written is the side of a square of the same area, rounded")
    return _whole_pixel_size(math.sqrt(width_m * height_m), notes)


def _whole_pixel_size(size, notes):
    if not math.isfinite(size) or size >= INT32_MAX + 0.5:
        raise Refusal(f"a pixel size of {size:g} m does not fit the descriptor (at most "
                      f"{INT32_MAX} m): give one with --pixel-size METRES")
    whole = round_half_away(size)
    if whole < 1:
        notes.append(f"pixels of {size:.3g} m: the descriptor holds whole metres, 1 is written")
        whole = 1
    elif abs(size - whole) > 1e-6 and not notes:
        notes.append(f"pixel size {size:.4g} m rounded to {whole} m (the descriptor holds whole metres)")
    return whole, notes


def orientation(ds, lines, columns):
    """(geotransform of the written grid, flip lines?, flip columns?, notes, source's
    geotransform or None)."""
    gt = ds.GetGeoTransform(can_return_null=True)
    if gt is None:
        return (0.0, 1.0, 0.0, 0.0, 0.0, 1.0), False, False, [], None
    gt = tuple(float(v) for v in gt)
    flip_lines, flip_columns = gt[5] > 0, gt[1] < 0
    out, notes = list(gt), []
    if flip_lines:
        out[0], out[2], out[3], out[5] = gt[0] + lines * gt[2], -gt[2], gt[3] + lines * gt[5], -gt[5]
        notes.append("the source is south-up (its first line is the southernmost): the lines "
                     "are written north first, so that the results are not mirrored")
    if flip_columns:
        g = tuple(out)
        out[0], out[1], out[3], out[4] = g[0] + columns * g[1], -g[1], g[3] + columns * g[4], -g[4]
        notes.append("the source is east-left (its first column is the easternmost): the "
                     "columns are written west first, so that the results are not mirrored")
    return tuple(out), flip_lines, flip_columns, notes, gt


# ---------------------------------------------------------------- vertical unit

def _unit_key(text):
    key = text.strip().lower().replace("_", " ").replace("-", " ").rstrip(".")
    return " ".join(key.split())


def _crs_vertical_unit(srs):
    """The unit of the CRS's upward axis as (factor, name), or None."""
    if srs is None:
        return None
    try:
        crs = json.loads(srs.ExportToPROJJSON())
    except (RuntimeError, ValueError):
        return None
    for part in crs.get("components", [crs]):
        for axis in part.get("coordinate_system", {}).get("axis", []):
            if axis.get("direction") != "up":
                continue
            unit = axis.get("unit", "metre")
            name = unit if isinstance(unit, str) else unit.get("name", "")
            known = VERTICAL_UNITS.get(_unit_key(name))
            if known:
                return known
            if isinstance(unit, dict) and unit.get("conversion_factor"):
                return Fraction(unit["conversion_factor"]), name
    return None


def vertical_unit(ds, band, z_factor):
    """(factor to metres, notes): --z-factor, else the band's unit, else the CRS's."""
    band_text = band.GetUnitType() or ""
    from_band = VERTICAL_UNITS.get(_unit_key(band_text)) if band_text else None
    from_crs = _crs_vertical_unit(ds.GetSpatialRef())
    found = (from_band, "the band") if from_band else (from_crs, "the coordinate system")
    if z_factor is not None:
        said = f"; {found[1]} says {found[0][1]}" if found[0] else ""
        return Fraction(z_factor), [f"elevations multiplied by --z-factor {z_factor:g}{said}"]
    if band_text and not from_band:
        return Fraction(1), [f"the band says its unit is '{band_text}', which is not a length "
                             "unit known here; elevations are taken as metres (--z-factor F "
                             "converts them)"]
    (factor, name), where = found if found[0] else ((Fraction(1), "metres"), None)
    if factor == 1:
        return factor, []
    return factor, [f"elevations are in {name} ({where} says so): converted to metres with the "
                    f"factor {_factor_text(factor)}"]


def _factor_text(factor):
    """0.3048 for a decimal factor, 1200/3937 = 0.304800609601219 for another."""
    d = factor.denominator
    for p in (2, 5):
        while d % p == 0:
            d //= p
    decimal = f"{float(factor):.15g}"
    return decimal if d == 1 else f"{factor.numerator}/{factor.denominator} = {decimal}"


# ---------------------------------------------------------------- reading the pixels

class Pixels:
    """The band's elevations in metres, in the written order (north-up, west-left), read a
    block at a time, with the pixels that are nodata, masked or not finite."""

    def __init__(self, band, lines, columns, flips, factor, add):
        self.band, self.lines, self.columns = band, lines, columns
        self.flip_lines, self.flip_columns = flips
        flags = band.GetMaskFlags()
        self.mask = None if flags == gdal.GMF_ALL_VALID else band.GetMaskBand()
        self.mask_kind = _mask_kind(band, flags)
        scale, offset = band.GetScale(), band.GetOffset()
        self.scale = 1.0 if scale is None else float(scale)
        self.offset = 0.0 if offset is None else float(offset)
        self.factor, self.add = factor, add

    def windows(self):
        """(first line, lines, first column, columns) of each block, in the written order."""
        if self.columns <= CHUNK_PIXELS:
            step = max(1, CHUNK_PIXELS // self.columns)
            for r0 in range(0, self.lines, step):
                yield r0, min(step, self.lines - r0), 0, self.columns
            return
        for r0 in range(self.lines):
            for c0 in range(0, self.columns, CHUNK_PIXELS):
                yield r0, 1, c0, min(CHUNK_PIXELS, self.columns - c0)

    def blocks(self):
        """(first written line, metres, invalid) for each block."""
        for r0, n, c0, m in self.windows():
            y0 = self.lines - r0 - n if self.flip_lines else r0
            x0 = self.columns - c0 - m if self.flip_columns else c0
            try:
                raw = self.band.ReadAsArray(x0, y0, m, n, buf_type=gdal.GDT_Float64)
                hidden = None if self.mask is None else self.mask.ReadAsArray(x0, y0, m, n) == 0
            except RuntimeError as e:
                raise Refusal(f"GDAL could not read the pixels of the source: {_gdal_reason(e)}")
            metres = self._metres(raw)
            invalid = ~np.isfinite(metres)
            if hidden is not None:
                invalid |= hidden
            if self.flip_lines:
                metres, invalid = metres[::-1], invalid[::-1]
            if self.flip_columns:
                metres, invalid = metres[:, ::-1], invalid[:, ::-1]
            yield r0, c0, metres, invalid

    def _metres(self, raw):
        with np.errstate(all="ignore"):
            v = raw
            if self.scale != 1.0 or self.offset != 0.0:
                v = v * self.scale + self.offset
            if self.factor != 1:
                v = v * float(self.factor.numerator) / float(self.factor.denominator)
            if self.add:
                v = v + self.add
            return v

    def source_line(self, written_line):
        return self.lines - 1 - written_line if self.flip_lines else written_line


def _mask_kind(band, flags):
    if flags == gdal.GMF_ALL_VALID:
        return ""
    if flags & gdal.GMF_ALPHA:
        return "hidden by the alpha band"
    if flags & gdal.GMF_NODATA:
        return f"equal to the band's nodata value {band.GetNoDataValue():g}"
    return "hidden by the dataset's mask"


@dataclass
class Survey:
    invalid: int = 0
    first_invalid: int = -1
    vmin: float = math.inf
    vmax: float = -math.inf
    whole: bool = True
    nonpositive: int = 0


def survey(pixels):
    """First pass: nodata count, range and whether every elevation is a whole metre."""
    s = Survey()
    for r0, _c0, metres, invalid in pixels.blocks():
        bad = int(np.count_nonzero(invalid))
        valid = metres[~invalid] if bad else metres.ravel()
        if bad:
            s.invalid += bad
            rows = np.nonzero(invalid.any(axis=1))[0]
            lines = [pixels.source_line(r0 + int(r)) for r in (rows[0], rows[-1])]
            s.first_invalid = min([x for x in [s.first_invalid] + lines if x >= 0])
        if valid.size == 0:
            continue
        s.vmin, s.vmax = min(s.vmin, float(valid.min())), max(s.vmax, float(valid.max()))
        s.nonpositive += int(np.count_nonzero(valid <= 0))
        if s.whole:
            s.whole = bool(np.all(np.floor(valid) == valid))
    return s


# ---------------------------------------------------------------- fill and storage

def choose_fill(s, fill, total):
    """(what the invalid pixels are, the value put there), both None when there are none;
    the survey takes the fill value into account."""
    if not s.invalid:
        return None, None
    where = (f"{s.invalid} of {total} pixels ({100.0 * s.invalid / total:.3g} %) are nodata "
             f"or masked, the first on line {s.first_invalid}")
    if fill is None:
        raise Refusal(where + ". The tool cannot skip pixels: give --fill VALUE (metres) or "
                      "--fill min to put a value there, or cut the area to the valid part "
                      "first (gdal_translate -srcwin ...)")
    if fill == "min":
        if s.vmin == math.inf:
            raise Refusal(where + "; every pixel is nodata, so there is no minimum (give --fill VALUE)")
        fill = s.vmin
    s.vmin, s.vmax = min(s.vmin, fill), max(s.vmax, fill)
    s.whole = s.whole and float(fill).is_integer()
    if fill <= 0:
        s.nonpositive += s.invalid
    return where, fill


@dataclass
class Storage:
    suffix: str
    storage: int
    interval: int
    unit_name: str
    per_metre: int
    dtype: str
    width: int
    smin: int
    smax: int


def choose_storage(s, unit):
    if s.vmin == math.inf:
        raise Refusal("the source holds no elevation at all")
    if unit is None:
        unit = "m" if s.whole and s.vmin >= 0 and s.vmax <= 65535 else "mm"
    interval, unit_name, per_metre = UNITS[unit]
    lo, hi = s.vmin * per_metre, s.vmax * per_metre
    if not (math.isfinite(lo) and math.isfinite(hi)):
        raise Refusal(f"elevations {s.vmin:g} .. {s.vmax:g} m are beyond any sample")
    smin, smax = round_half_away(lo), round_half_away(hi)
    if smin >= 0 and smax <= 65535:
        return Storage("_m2", 0, interval, unit_name, per_metre, "<u2", 2, smin, smax)
    if smin >= INT32_MIN and smax <= INT32_MAX:
        return Storage("_m4", 1, interval, unit_name, per_metre, "<i4", 4, smin, smax)
    raise Refusal(f"elevations {s.vmin:g} .. {s.vmax:g} m do not fit 32-bit samples in "
                  f"{unit_name}: choose a coarser --unit")


def sea_level_warning(s, add):
    if not s.nonpositive:
        return []
    lift = add + 1 - s.vmin
    return [f"warning: {s.nonpositive} pixel(s) are at 0 m or below (lowest {s.vmin:g} m): the "
            "ratio divides by the elevation, so sea level gives ratios of millions and a flat "
            f"grey image; --add {lift:.10g} lifts the lowest to 1 m (the conversion goes on)"]


# ---------------------------------------------------------------- destination

def check_destination(paths, source_files, overwrite):
    """Refuses a destination that is the source or one of its files, a folder, or an
    existing file without `overwrite`."""
    for path in paths:
        if not os.path.lexists(path):
            continue
        for f in source_files:
            try:
                if os.path.samefile(path, f):
                    raise Refusal(f"{path} is the source or one of its files: choose another "
                                  "NAME or folder")
            except OSError:
                pass
        if os.path.isdir(path):
            raise Refusal(f"{path} is a folder")
        if not overwrite:
            raise Refusal(f"{path} exists: give --overwrite to replace it")


def _source_files(ds, source):
    files = list(ds.GetFileList() or [])
    return files + [source] if os.path.exists(source) else files


def temporary_beside(dest_dir, final):
    """A new file beside FINAL, created exclusively (never through a link), with the
    permissions of a file made the ordinary way; returns (open file, path)."""
    fd, path = tempfile.mkstemp(dir=dest_dir, prefix="." + os.path.basename(final) + ".",
                                suffix=".part")
    os.chmod(path, 0o666 & ~_umask())
    return os.fdopen(fd, "wb"), path


def commit_pair(pairs):
    """Renames each (temporary, final) into place; when a rename fails, the finals renamed
    before it get their old files back, so the pair stays as it was."""
    done, backups = [], []
    try:
        for tmp, final in pairs:
            backup = _backup(final, tmp + ".old")
            if backup:
                backups.append(backup)
            os.replace(tmp, final)
            done.append((final, backup))
    except OSError:
        for final, backup in reversed(done):
            _restore(final, backup)
        raise
    finally:
        _remove(b for b in backups if os.path.lexists(b))


def _backup(final, backup):
    """A second name (hard link) for an existing FINAL, or None."""
    if not os.path.lexists(final):
        return None
    try:
        os.link(final, backup, follow_symlinks=False)
        return backup
    except OSError:
        return None


def _restore(final, backup):
    try:
        if backup:
            os.replace(backup, final)
        else:
            os.unlink(final)
    except OSError:
        pass


def _remove(paths):
    for p in paths:
        try:
            os.unlink(p)
        except OSError:
            pass


# ---------------------------------------------------------------- writing

def write_raster(out, pixels, fill, st, want_mask):
    """Second pass: the samples; returns (nodata array or None, rounded count, worst change)."""
    mask = np.zeros((pixels.lines, pixels.columns), dtype=bool) if want_mask else None
    rounded, worst = 0, 0.0
    for r0, c0, metres, invalid in pixels.blocks():
        if mask is not None:
            mask[r0:r0 + invalid.shape[0], c0:c0 + invalid.shape[1]] = invalid
            metres = np.where(invalid, fill, metres)
        s = metres * st.per_metre if st.per_metre != 1 else metres
        r = np.where(s >= 0, np.floor(s + 0.5), -np.floor(0.5 - s))
        change = np.abs(r - s)
        changed = int(np.count_nonzero(change))
        if changed:
            rounded += changed
            worst = max(worst, float(change.max()) / st.per_metre)
        out.write(r.astype(st.dtype).tobytes())
    return mask, rounded, worst


def write_pair(dest_dir, raster, descriptor, pixels, fill, st, pix):
    """Writes both files under temporary names, then renames them into place together."""
    temps = []
    try:
        out = _new_temporary(dest_dir, raster, temps)
        with out:
            result = write_raster(out, pixels, fill, st, fill is not None)
        out = _new_temporary(dest_dir, descriptor, temps)
        with out:
            out.write(f"{pixels.lines}\n{pixels.columns}\n{st.width}\n{st.smin}\n{st.smax}\n{pix}\n"
                      .encode())
        with _signals_deferred():
            commit_pair(list(zip(temps, (raster, descriptor))))
            temps.clear()
    except OSError as e:
        raise Refusal(f"could not write {e.filename or raster}: {e.strerror or e}")
    finally:
        with _signals_deferred():
            _remove(temps)
    _raise_deferred(written=True)
    return result


def _new_temporary(dest_dir, final, temps):
    """Opens a new temporary beside FINAL and records it in TEMPS, as one step."""
    with _signals_deferred():
        out, path = temporary_beside(dest_dir, final)
        temps.append(path)
    _raise_deferred(written=False)
    return out


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


# ---------------------------------------------------------------- the conversion

def import_dem(source, dest_dir, name, opts, overwrite=False, log=None):
    """Converts SOURCE into dest_dir/NAME_m2.raw|NAME_m4.raw and its descriptor (dest_dir
    must exist). `opts` holds the conversion options (add_conversion_options). `log(text)`
    receives each note and warning line (default: print). Raises Refusal, with nothing
    written and no temporary left, on any refusal. Returns an Imported."""
    try:
        return _import(source, dest_dir, name, opts, overwrite, log or print)
    except OSError as e:
        raise Refusal(f"{e.filename or dest_dir}: {e.strerror or e}")


def _import(source, dest_dir, name, opts, overwrite, log):
    ds = open_source(source)
    band, type_name = pick_band(ds, source, opts.band)
    lines, columns = ds.RasterYSize, ds.RasterXSize
    log(f"{PROG}: {source}: {lines} lines x {columns} columns, band {opts.band} of "
        f"{ds.RasterCount} ({type_name})")
    check_size(lines, columns, source)
    check_free_space(dest_dir, lines * columns * 2)
    written_gt, flip_lines, flip_columns, flip_notes, source_gt = orientation(ds, lines, columns)
    factor, unit_notes = vertical_unit(ds, band, opts.z_factor)
    pix, pix_notes = _pixel_size(opts, ds, source_gt, lines, columns)
    pixels = Pixels(band, lines, columns, (flip_lines, flip_columns), factor, opts.add)
    _notes(log, _source_notes(ds, opts, pixels) + unit_notes + flip_notes)
    log(f"  pixel size: {pix} m")
    _notes(log, pix_notes)

    s = survey(pixels)
    where, fill = choose_fill(s, opts.fill, lines * columns)
    log(f"  nodata: {where}; filled with {fill:g} m" if where else "  nodata: none")
    st = choose_storage(s, opts.unit)
    log(f"  elevations: {s.vmin:g} .. {s.vmax:g} m" + (", whole metres" if s.whole else ""))
    for line in sea_level_warning(s, opts.add):
        log(line)

    raster = os.path.join(dest_dir, name + st.suffix + ".raw")
    descriptor = os.path.join(dest_dir, name + st.suffix + ".txt")
    check_destination([raster, descriptor], _source_files(ds, source), overwrite)
    check_free_space(dest_dir, lines * columns * st.width)
    mask, rounded, worst = write_pair(dest_dir, raster, descriptor, pixels, fill, st, pix)
    if rounded:
        log(f"  note: {rounded} pixel(s) rounded to the nearest {st.unit_name[:-1]} "
            f"(largest change {worst:.3g} m)")
    return Imported(raster, descriptor, st.storage, st.interval, lines, columns, pix,
                    written_gt, ds.GetProjection() or "", mask)


def _pixel_size(opts, ds, gt, lines, columns):
    if opts.pixel_size is None:
        return pixel_size_metres(ds, gt, lines, columns)
    whole = round_half_away(opts.pixel_size)
    if whole < 1:
        return 1, [f"pixel size {opts.pixel_size:g} m: whole metres are written, 1"]
    return whole, []


def _source_notes(ds, opts, pixels):
    notes = []
    if ds.RasterCount > 1 and opts.band == 1:
        notes.append("only band 1 is read (--band N chooses another)")
    if pixels.scale != 1.0 or pixels.offset != 0.0:
        notes.append(f"the band's scale {pixels.scale:g} and offset {pixels.offset:g} are applied")
    if opts.add:
        notes.append(f"{opts.add:g} m is added to every elevation")
    if pixels.mask_kind:
        notes.append(f"pixels {pixels.mask_kind} are nodata")
    return notes


def _notes(log, notes):
    for n in notes:
        log("  note: " + n)


# ---------------------------------------------------------------- dem-import's command line

def parse_args(argv):
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Convert a DEM that GDAL reads (GeoTIFF, ASCII grid, ...) into "
                    "c:/images/FOLDER/NAME_m2.raw or NAME_m4.raw with its six-number "
                    f"descriptor, for {TOOL}.",
        epilog="Without --unit: whole metres within 0..65535 give NAME_m2 in metres, "
               "anything else NAME_m4 in millimetres. Nodata and masked pixels are refused "
               "unless --fill says what to put there. Elevations in feet (said by the band "
               "or the coordinate system) are converted to metres. An existing DEM is only "
               "replaced with --overwrite. A SOURCE whose name begins with '-' goes after "
               "'--' (or as ./-name.tif).")
    p.add_argument("source", metavar="SOURCE", help="the DEM file, any raster GDAL reads")
    p.add_argument("folder", metavar="FOLDER", help="folder name to type at the tool's folder question")
    p.add_argument("name", metavar="NAME", help="DEM name to type at the tool's DEM-name question")
    p.add_argument("--root", default=".", metavar="DIR",
                   help="the directory the tool will run in (default: the current one); "
                        "the files go to DIR/c:/images/FOLDER/")
    p.add_argument("--overwrite", action="store_true",
                   help="replace an existing DEM of that name")
    add_conversion_options(p)
    args = p.parse_args(argv)
    for what, word in (("FOLDER", args.folder), ("NAME", args.name)):
        if not word or any(c.isspace() or c in "/\\" for c in word):
            p.error(f"{what} must be one word without blanks, slashes or backslashes: {word!r}")
    return args


def check_tool_words(folder, name):
    """Refuses a FOLDER or NAME that would make one of the tool's paths too long (bytes)."""
    room = len(os.fsencode(IMAGES_PREFIX + folder + "\\" + "x" + LONGEST_RESULT_SUFFIX))
    if room > PATH_LIMIT:
        raise Refusal(f"the folder name {folder} takes {len(os.fsencode(folder))} bytes, too "
                      f"many for the tool's {PATH_LIMIT}-byte paths: choose a shorter FOLDER")
    text = IMAGES_PREFIX + folder + "\\" + name + "_m2.raw"
    if len(os.fsencode(text)) > PATH_LIMIT:
        raise Refusal(f"the tool's path for this DEM, {text}, is longer than {PATH_LIMIT} "
                      "bytes: choose a shorter FOLDER or NAME")


def make_folders(path):
    """Creates PATH and its missing parents; returns those it created, deepest first."""
    made = []
    while path and not os.path.isdir(path):
        made.append(path)
        path = os.path.dirname(path)
    for d in reversed(made):
        os.mkdir(d)
    return made


def tool_command():
    """The tool as a command that works as printed, and from any folder: ORVANDE_BIN (a
    relative path made absolute, a bare name looked up on PATH), else the installed tool
    (<prefix>/bin beside <prefix>/share/<project>/), else the project's build/ (beside
    scripts/lib/), else the tool on PATH; None when there is none."""
    env = os.environ.get("ORVANDE_BIN")
    if env:
        return os.path.abspath(env) if os.sep in env else shutil.which(env) or env
    up = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    for cand in (os.path.join(up, "bin", TOOL), os.path.join(up, "build", TOOL)):
        if os.path.isfile(cand) and os.access(cand, os.X_OK):
            return cand
    on_path = shutil.which(TOOL)
    return os.path.abspath(on_path) if on_path else None


def print_next_step(args, done):
    root = os.path.abspath(args.root)
    shown = "c:/images/" + args.folder + "/" + os.path.basename(done.raster)[:-4]
    width = 2 if done.storage == 0 else 4
    with open(done.descriptor) as d:
        numbers = " ".join(d.read().split())
    print(f"Wrote {shown}.raw ({8 * width}-bit, {UNITS_BY_INTERVAL[done.interval]}) and "
          f"{shown}.txt ({numbers})")
    print(f"  in {root}")
    other = done.raster[:-7] + ("_m4" if done.storage == 0 else "_m2") + ".raw"
    if os.path.exists(other):
        print(f"  note: {os.path.basename(other)} is also in that folder: the type answer "
              "picks which one the tool reads")
    print()
    print(f"Run {TOOL} in {root} and answer:")
    print(f"  folder ............. {args.folder}")
    print(f"  DEM name ........... {args.name}")
    print(f"  type of MNT ........ {done.storage}   ({'_m2' if done.storage == 0 else '_m4'})")
    print(f"  hypsometric interval {done.interval}   ({MENU_LABEL[done.interval]})")
    tool = tool_command()
    print("For example, with results named rough, bitmap format and a 2 % stretch:")
    print(f"  cd {shlex.quote(root)} && printf '%s\\n' {shlex.quote(args.folder)} "
          f"{shlex.quote(args.name)} {done.storage} {done.interval} rough 0 2 "
          f"| {shlex.quote(tool or TOOL)}")
    if tool is None:
        print(f"  ({TOOL} is neither installed nor built: cmake -S . -B build && "
              "cmake --build build gives build/" + TOOL + ")")


UNITS_BY_INTERVAL = {v[0]: v[1] for v in UNITS.values()}


def _cli_log(text):
    print(text, file=sys.stderr if text.startswith("warning:") else sys.stdout, flush=True)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    handle_signals()
    made = []
    try:
        check_tool_words(args.folder, args.name)
        dest = os.path.join(args.root, "c:", "images", args.folder)
        made = make_folders(dest)
        done = import_dem(args.source, dest, args.name, args, overwrite=args.overwrite,
                          log=_cli_log)
    except Interrupted as e:
        _cleanup_folders(made, e.written)
        print(f"{PROG}: {e}; " + ("the DEM was written completely before it" if e.written
                                  else "nothing written"), file=sys.stderr)
        return 1
    except (Refusal, OSError) as e:
        _cleanup_folders(made, False)
        reason = e if isinstance(e, Refusal) else f"{e.filename}: {e.strerror}"
        sys.stdout.flush()
        print(f"{PROG}: {reason}", file=sys.stderr)
        print(f"{PROG}: nothing written", file=sys.stderr)
        return 1
    print_next_step(args, done)
    return 0


def _cleanup_folders(made, keep):
    if keep:
        return
    for d in made:
        try:
            os.rmdir(d)
        except OSError:
            break


if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    sys.exit(main())
