"""The first strips of the source decoded on a thread of their own while Python imports numpy
and the rest of dem-roughness and opens the source: that start takes a quarter of a second,
in which the other core would wait.

start(argv) runs before anything else is imported: it finds SOURCE and --band in the command
line as argparse will read it (when it cannot tell, it starts nothing), opens SOURCE with a
dataset handle of its own and decodes its strips from the top, raw, into bytearrays, until
stop() or EARLY_BYTES. source_lines takes a strip only when it reads the same file, band,
lines and columns, so a misreading costs time, never bytes. Reading from two handles at once
is safe in GDAL; the thread is joined before any output is written (see gdal_worker).
"""

import os
import threading

from osgeo import gdal

# Pixels a strip holds at least (whole lines, aligned on the band's blocks).
STRIP_PIXELS = 1 << 20
# Bytes of raw samples decoded early at most: the strips of a source whose decoded lines
# dem-roughness keeps anyway (at most KEPT_BYTES, its CACHE_BYTES); a single strip of a larger source,
# whose strips would otherwise add to the run's peak of memory.
EARLY_BYTES = 64 << 20
KEPT_BYTES = 256 << 20
# dem-roughness's options that take a value.
VALUED = ("--coef", "--dask", "--band", "--unit", "--fill", "--pixel-size", "--z-factor", "--add")
GDAL_CACHE_BYTES = 16 << 20


def gdal_settings():
    """GDAL's settings for a run, made before its first read: a block cache of a few rows of
    tiles of every output (the source's lines are kept decoded by source_lines), internal
    masks, and decoding and compressing on every core."""
    gdal.UseExceptions()
    gdal.SetConfigOption("GDAL_TIFF_INTERNAL_MASK", "YES")
    gdal.SetConfigOption("GDAL_CACHEMAX", str(GDAL_CACHE_BYTES))
    gdal.SetConfigOption("GDAL_NUM_THREADS", "ALL_CPUS")


def strip_lines(columns, block_lines):
    """The lines of a strip: at least STRIP_PIXELS pixels, whole blocks of lines."""
    want = max(1, STRIP_PIXELS // max(1, columns))
    block_lines = max(1, block_lines)
    return max(1, -(-want // block_lines)) * block_lines


def source_and_band(argv):
    """(SOURCE, band) as the command line gives them, or None when it does not tell plainly
    (or asks for what needs no source read here: help, version, a cluster, test blocks)."""
    if os.environ.get("ORVANDE_GIS_BLOCK_LINES"):
        return None
    positional, band, i = [], 1, 0
    while i < len(argv):
        a = argv[i]
        if a == "--":
            positional += argv[i + 1:]
            break
        if a.startswith("--"):
            name = a.split("=", 1)[0]
            known = [v for v in VALUED if v.startswith(name)]
            if name in ("--help", "--version") or "--dask".startswith(name) or len(known) > 1:
                return None
            if known and "=" not in a:
                i += 1
                if i == len(argv):
                    return None
                if known[0] == "--band":
                    band = argv[i]
            elif known and known[0] == "--band":
                band = a.split("=", 1)[1]
        elif a.startswith("-") and a != "-":
            if a not in ("-q",):
                return None
        else:
            positional.append(a)
        i += 1
    if not positional or not str(band).isdigit():
        return None
    return positional[0], int(band)


class EarlyStrips:
    def __init__(self, path, band):
        self.path, self.band = path, band
        self.done, self.current, self.stopping, self.finished = {}, None, False, False
        self.columns = self.lines = self.strip_lines = None
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._run, name="early strips")
        self.thread.start()

    def _run(self):
        try:
            # One core: the other is busy importing what the command needs.
            gdal.SetThreadLocalConfigOption("GDAL_NUM_THREADS", "1")
            ds = gdal.Open(self.path)
            band = ds.GetRasterBand(self.band)
            lines, columns = ds.RasterYSize, ds.RasterXSize
            height = strip_lines(columns, band.GetBlockSize()[1])
            size = gdal.GetDataTypeSize(band.DataType) // 8 * columns
            with self.cond:
                self.lines, self.columns, self.strip_lines = lines, columns, height
            strips = max(1, EARLY_BYTES // (height * size)) if lines * size <= KEPT_BYTES else 1
            for index in range(min(-(-lines // height), strips)):
                with self.cond:
                    if self.stopping:
                        break
                    self.current = index
                n = min(height, lines - index * height)
                buf = bytearray(n * size)
                band.ReadRaster(0, index * height, columns, n, buf_obj=buf)
                with self.cond:
                    self.done[index] = buf
                    self.cond.notify_all()
        except Exception:  # only an optimisation: the passes read what is missing
            pass
        finally:
            ds = band = None
            with self.cond:
                self.finished = True
                self.cond.notify_all()

    def stop(self):
        """No strip begun after this; returns the number of strips there will be (the one
        under way included)."""
        with self.cond:
            self.stopping = True
            return 0 if self.current is None else self.current + 1

    def take(self, index):
        """The raw bytes of strip INDEX (waiting while it is decoded), or None."""
        with self.cond:
            while index not in self.done and not self.finished and index == self.current:
                self.cond.wait()
            return self.done.pop(index, None)

    def matches(self, path, band, lines, columns, height):
        with self.cond:
            while self.strip_lines is None and not self.finished:
                self.cond.wait()
        return (os.path.abspath(path) == os.path.abspath(self.path) and band == self.band
                and (lines, columns, height) == (self.lines, self.columns, self.strip_lines))

    def join(self):
        self.stop()
        self.thread.join()

    def drop(self):
        """Stops, joins and forgets the strips (they do not match the run's reading)."""
        self.join()
        self.done.clear()


_started = []


def start(argv):
    """Starts the early strips of the command line ARGV, when it names a source plainly."""
    found = source_and_band(argv)
    if found and os.path.isfile(found[0]):
        gdal_settings()
        _started.append(EarlyStrips(*found))


def started():
    """The EarlyStrips started for this process, or None."""
    return _started[0] if _started else None


def join():
    """Stops and joins the early strips' thread, if any (before any output is written, and
    before the process ends)."""
    for e in _started:
        e.join()
