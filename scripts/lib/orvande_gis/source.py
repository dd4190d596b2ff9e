"""Reading a DEM source with GDAL: the band, its orientation, units, nodata and mask, and
its pixels in metres a block of lines at a time.

Shared by dem-import (which writes the tool's format) and dem-roughness (which gives the
blocks to the roughness passes). The pixels come in the written order: north-up and
west-left whatever the source's orientation.
"""

import argparse
import json
import math
import os
import stat
from fractions import Fraction

import numpy as np
from osgeo import gdal, osr

from .safe_files import Refusal

gdal.UseExceptions()
osr.UseExceptions()

INT32_MIN, INT32_MAX = -(2 ** 31), 2 ** 31 - 1
# Elevation units of the tool: name, samples per metre.
UNITS = {"m": ("metres", 1), "dm": ("decimetres", 10), "cm": ("centimetres", 100),
         "mm": ("millimetres", 1000)}
# The unit of an integer band by its scale (none counts as 1).
UNIT_OF_SCALE = {1.0: "m", 0.1: "dm", 0.01: "cm", 0.001: "mm"}
# Integer band types whose samples fit 32-bit signed integers.
INTEGER_TYPES = {gdal.GDT_Byte: np.uint8, gdal.GDT_UInt16: np.uint16, gdal.GDT_Int16: np.int16,
                 gdal.GDT_Int32: np.int32}
if hasattr(gdal, "GDT_Int8"):
    INTEGER_TYPES[gdal.GDT_Int8] = np.int8

# Limits of the options: beyond them a value is a typing slip, not a DEM.
ELEVATION_LIMIT = 1e6        # metres, for --add and --fill
Z_FACTOR_RANGE = (1e-6, 1e6)

# Pixels read at once by dem-import (a block of whole lines).
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


def add_conversion_options(parser, unit_help, pixel_size_help):
    """Adds the conversion options that dem-import and dem-roughness share; the help of
    --unit and --pixel-size is each command's own."""
    parser.add_argument("--band", type=_band, default=1, metavar="N", help="band to read (default 1)")
    parser.add_argument("--unit", choices=sorted(UNITS, key=lambda u: UNITS[u][1]), help=unit_help)
    parser.add_argument("--fill", type=_fill, metavar="VALUE|min",
                        help="put VALUE (metres) or the lowest valid elevation ('min') into "
                             "nodata and masked pixels")
    parser.add_argument("--pixel-size", type=_number("--pixel-size", 0, INT32_MAX, True),
                        metavar="METRES", help=pixel_size_help)
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


def gdal_reason(e):
    return str(e).strip().splitlines()[0] if str(e).strip() else "unknown GDAL error"


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
        raise Refusal(f"GDAL cannot read {source}: {gdal_reason(e)}")


def pick_band(ds, source, number):
    count = ds.RasterCount
    if not 1 <= number <= count:
        raise Refusal(f"{source} has {count} band(s); there is no band {number}")
    band = ds.GetRasterBand(number)
    type_name = gdal.GetDataTypeName(band.DataType)
    if gdal.DataTypeIsComplex(band.DataType):
        raise Refusal(f"band {number} holds complex numbers ({type_name}), not elevations")
    return band, type_name


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
                raise Refusal(f"GDAL could not read the pixels of the source: {gdal_reason(e)}")
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

    def metres(self, raw):
        """RAW samples (float64) in metres: scale, offset, vertical unit, --add."""
        return self._metres(raw)

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



# ---------------------------------------------------------------- one source, described

class Dem:
    """SOURCE's band opened and described: size, written geotransform and orientation,
    factor to metres, the reader of its pixels and the notes to print about it."""

    def __init__(self, source, opts):
        self.source = source
        self.ds = open_source(source)
        self.band, self.type_name = pick_band(self.ds, source, opts.band)
        self.lines, self.columns = self.ds.RasterYSize, self.ds.RasterXSize
        (self.geotransform, flip_lines, flip_columns, flip_notes,
         self.source_geotransform) = orientation(self.ds, self.lines, self.columns)
        self.factor, unit_notes = vertical_unit(self.ds, self.band, opts.z_factor)
        self.pixels = Pixels(self.band, self.lines, self.columns, (flip_lines, flip_columns),
                             self.factor, opts.add)
        self.srs_wkt = self.ds.GetProjection() or ""
        self.notes = self._source_notes(opts) + unit_notes + flip_notes

    def heading(self, prog, band_number):
        return (f"{prog}: {self.source}: {self.lines} lines x {self.columns} columns, band "
                f"{band_number} of {self.ds.RasterCount} ({self.type_name})")

    def files(self):
        """SOURCE's files (the raster and its side files), and SOURCE itself."""
        files = list(self.ds.GetFileList() or [])
        return files + [self.source] if os.path.exists(self.source) else files

    def exact_unit(self, opts):
        """(unit, shift) when every elevation is a whole number of a unit: an integer band
        whose scale is 1, 0.1, 0.01 or 0.001 (none counts as 1), in metres, with an offset
        and --add whole in that unit; the samples are then the band's plus SHIFT. None for
        any other source."""
        p = self.pixels
        unit = UNIT_OF_SCALE.get(p.scale)
        if self.band.DataType not in INTEGER_TYPES or unit is None or self.factor != 1:
            return None
        shift = (p.offset + opts.add) * UNITS[unit][1]
        whole = round_half_away(shift)
        if abs(shift - whole) > 1e-6 * max(1.0, abs(shift)):
            return None
        return unit, whole

    def _source_notes(self, opts):
        notes, p = [], self.pixels
        if self.ds.RasterCount > 1 and opts.band == 1:
            notes.append("only band 1 is read (--band N chooses another)")
        if p.scale != 1.0 or p.offset != 0.0:
            notes.append(f"the band's scale {p.scale:g} and offset {p.offset:g} are applied")
        if opts.add:
            notes.append(f"{opts.add:g} m is added to every elevation")
        if p.mask_kind:
            notes.append(f"pixels {p.mask_kind} are nodata")
        return notes
