"""A source's lines as the roughness passes read them: any range of lines, as many times as
the passes ask, in the written order (north-up, west-left).

The band is decoded in strips of whole lines aligned on its blocks (a tiled GeoTIFF's tile
rows): when the whole decoded raster fits the cache's budget, each strip is decoded once and
kept for all the passes; else only the last three decoded are kept (a block's halo lines
and the next block share them) and the passes decode the strips again. So the memory is
bounded by the budget whatever the raster's size. Given a GdalWorker, the strips are decoded
on its thread, the next two ahead of the one the passes ask for.

Samples go to the passes in one of two forms:
- whole numbers of a unit (Dem.exact_unit): uint16 or int32 samples in that unit, with a
  mask of the valid pixels (None when a strip has none invalid);
- metres: float32 when the band is float32 samples in metres as they are, else float64;
  an invalid pixel is NaN.
Invalid pixels: the band's nodata value, NaN and infinities, the mask band or the alpha
band; --fill puts its value there (they are then valid).
"""

import collections

import numpy as np
from osgeo import gdal, gdal_array

from .early_strips import strip_lines as strip_height
from .safe_files import Refusal
from .source import INT32_MAX, INT32_MIN, UNITS, gdal_reason, round_half_away

RECENT_STRIPS = 3


class SourceLines:
    """read(first, count) for orvande_roughness.stream, with the survey of what it read
    (lowest valid elevation, count at 0 m or below) for the sea-level warning."""

    def __init__(self, dem, exact, fill, cache_bytes, strip_lines=None, worker=None, early=None):
        """EXACT: (unit, shift) or None (metres); FILL: metres or None; WORKER: the
        GdalWorker that decodes (the next strips ahead of the passes), or None: here;
        EARLY: the EarlyStrips of the command (stopped here; its strips are taken), or None."""
        self.dem, self.pixels, self.band = dem, dem.pixels, dem.band
        self.lines, self.columns = dem.lines, dem.columns
        self.exact = exact
        self.unit = exact[0] if exact else "m"
        self.fill = fill
        self.per_metre = UNITS[self.unit][1] if exact else 1
        self.fill_samples = None
        if exact and fill is not None:
            self.fill_samples = round_half_away(fill * self.per_metre)
        self.strip_lines = strip_lines or self._strip_lines()
        self.kept, self.kept_bytes = {}, 0
        self.recent = collections.OrderedDict()
        self.worker, self.coming = worker, {}  # strip index: its decoding under way
        self.strips = -(-self.lines // self.strip_lines)
        self.surveyed = set()
        self.lowest, self.at_or_below_zero, self.invalid = np.inf, 0, 0
        nodata = self.band.GetNoDataValue()
        flags = self.band.GetMaskFlags()
        self.nodata = nodata if flags & gdal.GMF_NODATA else None
        self.mask = (self.band.GetMaskBand()
                     if flags not in (gdal.GMF_ALL_VALID, gdal.GMF_NODATA) else None)
        self.raw_float32 = (self.band.DataType == gdal.GDT_Float32 and not exact
                            and self.pixels.scale == 1.0 and self.pixels.offset == 0.0
                            and dem.factor == 1 and not self.pixels.add
                            and (fill is None or float(np.float32(fill)) == fill))
        self.cache_bytes = cache_bytes if self._whole_bytes() <= cache_bytes else 0
        self.early, self.early_end = early, 0
        if early:
            usable = (strip_lines is None and not self.pixels.flip_lines
                      and early.matches(dem.source, self.band.GetBand(), self.lines, self.columns,
                                        self.strip_lines))
            if usable:
                self.early_end = early.stop()
            else:
                early.drop()

    def _whole_bytes(self):
        """The bytes of the whole raster decoded (at most: a mask counted whenever there
        may be one)."""
        if self.exact:
            per_pixel = 4 + (0 if self.band.GetMaskFlags() == gdal.GMF_ALL_VALID else 1)
        else:
            per_pixel = 4 if self.raw_float32 else 8
        return self.lines * self.columns * per_pixel

    def _strip_lines(self):
        return strip_height(self.columns, self.band.GetBlockSize()[1])

    # ------------------------------------------------------------ what the passes call

    def read(self, first, count):
        strips = self._strips(first, count)
        if self.exact:
            values = self._join([s[0] for s in strips], first, count)
            if all(s[1] is None for s in strips):
                return values
            masks = [np.ones(s[0].shape, bool) if s[1] is None else s[1] for s in strips]
            return values, self._join(masks, first, count)
        return self._join([s[0] for s in strips], first, count)

    def valid(self, first, count):
        """True where a pixel of lines FIRST .. FIRST+COUNT-1 is valid (computed on those
        lines only)."""
        parts = []
        for k, (values, mask) in enumerate(self._strips(first, count)):
            base = (first // self.strip_lines + k) * self.strip_lines
            lo, hi = max(first - base, 0), min(first + count - base, len(values))
            if self.exact:
                parts.append(np.ones((hi - lo, self.columns), bool) if mask is None else mask[lo:hi])
            else:
                parts.append(~np.isnan(values[lo:hi]))
        return parts[0] if len(parts) == 1 else np.concatenate(parts)

    # ------------------------------------------------------------ strips

    def _strips(self, first, count):
        s0 = first // self.strip_lines
        s1 = (first + count - 1) // self.strip_lines
        return [self._strip(s) for s in range(s0, s1 + 1)]

    def _join(self, parts, first, count):
        """Lines FIRST.. of the strips PARTS (the first holds FIRST): a view into one strip,
        else a copy of only the lines asked for."""
        a = first - (first // self.strip_lines) * self.strip_lines
        if len(parts) == 1:
            return parts[0][a:a + count]
        end = (first + count) - ((first + count - 1) // self.strip_lines) * self.strip_lines
        return np.concatenate([parts[0][a:]] + parts[1:-1] + [parts[-1][:end]])

    def _strip(self, index):
        got = self.kept.get(index) or self.recent.get(index)
        if got is not None:
            self.recent.move_to_end(index, last=True) if index in self.recent else None
            return got
        if index in self.coming:
            got = self.coming.pop(index).result()
        elif self.worker:
            got = self.worker.call(self._decode, index)
        else:
            got = self._decode(index)
        if self.worker and not self.worker.on_worker():
            for ahead in (index + 1, index + 2):  # a block and its halo need the next strip
                if ahead < self.strips and ahead not in self.kept and ahead not in self.recent \
                        and ahead not in self.coming:
                    self.coming[ahead] = self.worker.ahead(self._decode, ahead)
        size = sum(a.nbytes for a in got if a is not None)
        if self.kept_bytes + size <= self.cache_bytes:
            self.kept[index] = got
            self.kept_bytes += size
        else:
            self.recent[index] = got
            while len(self.recent) > RECENT_STRIPS:
                self.recent.popitem(last=False)
        return got

    def _decode(self, index):
        a = index * self.strip_lines
        n = min(self.strip_lines, self.lines - a)
        raw, invalid = self._raw(a, n)
        if self.exact:
            got = self._samples(raw, invalid)
        else:
            got = (self._metres(raw, invalid), None)
        if index not in self.surveyed:
            self.surveyed.add(index)
            self._survey(got[0], invalid)
        return got

    def _raw(self, a, n):
        p = self.pixels
        y0 = self.lines - a - n if p.flip_lines else a
        try:
            raw = self._early_raw(a, n)
            if raw is None:
                raw = self.band.ReadAsArray(0, y0, self.columns, n)
            hidden = None if self.mask is None else self.mask.ReadAsArray(0, y0, self.columns, n) == 0
        except RuntimeError as e:
            raise Refusal(f"GDAL could not read the pixels of the source: {gdal_reason(e)}")
        invalid = None
        if raw.dtype.kind == "f":
            invalid = ~np.isfinite(raw)
        if self.nodata is not None and _representable(self.nodata, raw.dtype):
            same = raw == raw.dtype.type(self.nodata)
            invalid = same if invalid is None else invalid | same
        if hidden is not None:
            invalid = hidden if invalid is None else invalid | hidden
        if p.flip_lines:
            raw, invalid = raw[::-1], None if invalid is None else invalid[::-1]
        if p.flip_columns:
            raw, invalid = raw[:, ::-1], None if invalid is None else invalid[:, ::-1]
        if invalid is not None and not invalid.any():
            invalid = None
        return raw, invalid

    def _early_raw(self, a, n):
        """Lines A.. of the band decoded early (EarlyStrips), or None."""
        if a // self.strip_lines >= self.early_end:
            return None
        buf = self.early.take(a // self.strip_lines)
        if buf is None:
            return None
        dtype = gdal_array.GDALTypeCodeToNumericTypeCode(self.band.DataType)
        return np.frombuffer(buf, dtype).reshape(n, self.columns)

    def _samples(self, raw, invalid):
        shift = self.exact[1]
        if shift is None:  # --unit: metres rounded to the unit, halves away from zero
            with np.errstate(all="ignore"):
                s = self.pixels.metres(raw.astype(np.float64)) * self.per_metre
                raw = np.where(s >= 0, np.floor(s + 0.5), -np.floor(0.5 - s))
            bad = ~np.isfinite(raw)
            if bad.any():
                invalid = bad if invalid is None else invalid | bad
                raw[bad] = 0
            raw, shift = raw.astype(np.int64), 0
        if raw.dtype in (np.uint8, np.uint16) and shift == 0 and self.fill_samples is None:
            values = raw.astype(np.uint16)
        else:
            wide = raw.astype(np.int64) + shift
            if invalid is not None and self.fill_samples is not None:
                wide[invalid] = self.fill_samples
                invalid = None
            check = wide if invalid is None else wide[~invalid]
            if check.size and (check.min() < INT32_MIN or check.max() > INT32_MAX):
                raise Refusal(f"elevations in {UNITS[self.unit][0]} beyond 32-bit samples: "
                              "give --unit with a coarser unit")
            values = wide.astype(np.int32)
        if invalid is not None and self.fill_samples is not None:
            values[invalid] = self.fill_samples
            invalid = None
        return values, None if invalid is None else ~invalid

    def _metres(self, raw, invalid):
        if self.raw_float32:
            metres = raw  # a fresh array of GDAL's (or a view of one): NaN set in place
        else:
            metres = self.pixels.metres(raw.astype(np.float64))
            bad = ~np.isfinite(metres)
            if bad.any():
                invalid = bad if invalid is None else invalid | bad
        if invalid is not None:
            metres[invalid] = np.nan if self.fill is None else self.fill
        return metres

    def _survey(self, values, invalid):
        """Counts the invalid pixels (filled or not) and the valid elevations at 0 m or below
        (reductions in place: no copy of the valid values)."""
        valid = True
        if invalid is not None:
            count = int(np.count_nonzero(invalid))
            self.invalid += count
            if count == invalid.size:
                return
            valid = ~invalid
        big = np.inf if values.dtype.kind == "f" else np.iinfo(values.dtype).max
        lowest = values.min(initial=big, where=valid)
        if lowest <= 0:
            self.at_or_below_zero += int(np.count_nonzero((values <= 0) & valid))
        self.lowest = min(self.lowest, float(lowest) / self.per_metre)


def _representable(value, dtype):
    if dtype.kind == "f":
        return True
    info = np.iinfo(dtype)
    return float(value).is_integer() and info.min <= value <= info.max
