"""Tests of the Python module orvande_roughness: its images against the tool's raw results on
random DEMs in every unit, stream() against maps() and ratio() for several block sizes and
readers, the nodata rules, and its errors.

Run by ctest with ORVANDE_PYTHON_DIR (the build's python/ folder) and ORVANDE_BIN (the tool);
exits with 77 (skipped) when the module was not built there."""
import os
import re
import subprocess
import sys
import tempfile
import threading
import unittest
from fractions import Fraction

import numpy as np

PYTHON_DIR = os.environ.get("ORVANDE_PYTHON_DIR", "")
TOOL = os.path.abspath(os.environ["ORVANDE_BIN"]) if os.environ.get("ORVANDE_BIN") else ""


def import_module():
    if not PYTHON_DIR or not os.path.isdir(PYTHON_DIR):
        return None
    sys.path.insert(0, PYTHON_DIR)
    try:
        import orvande_roughness
    except ImportError:
        return None
    package = os.path.dirname(os.path.abspath(orvande_roughness.__file__))  # <build>/python/orvande_roughness
    if os.path.dirname(package) != os.path.abspath(PYTHON_DIR):
        return None
    return orvande_roughness


orr = import_module()
UNITS = ["m", "dm", "cm", "mm"]


def round_bits(x, bits):
    """x (a Fraction) rounded to `bits` significant bits, ties to even."""
    if x == 0:
        return x
    sign, x = (-1 if x < 0 else 1), abs(x)
    e = x.numerator.bit_length() - x.denominator.bit_length()
    if Fraction(2) ** e > x:
        e -= 1
    scale = Fraction(2) ** (bits - 1 - e)
    y = x * scale
    n = y.numerator // y.denominator
    rest = y - n
    if rest > Fraction(1, 2) or (rest == Fraction(1, 2) and n % 2):
        n += 1
    return sign * n / scale


def metres(raw, unit):
    """The tool's metres of raw samples: raw x factor in a 64-bit significand, then a double."""
    factor = Fraction([1.0, 0.1, 0.01, 0.001][UNITS.index(unit)])
    exact = [float(round_bits(round_bits(int(v) * factor, 64), 53)) for v in raw.ravel()]
    return np.array(exact).reshape(raw.shape)


def random_dem(rng, shape, dtype, low, high):
    return rng.integers(low, high, shape).astype(dtype)


def run_tool(work, dem, unit, coefficient):
    """The tool's raw results (centred, stretched) and stdout for dem (uint16 or int32)."""
    lines, cols = dem.shape
    storage = 0 if dem.dtype == np.uint16 else 1
    suffix = "_m2" if storage == 0 else "_m4"
    folder = os.path.join(work, "c:", "images", "t")
    os.makedirs(folder, exist_ok=True)
    dem.astype("<u2" if storage == 0 else "<i4").tofile(os.path.join(folder, "d" + suffix + ".raw"))
    with open(os.path.join(folder, "d" + suffix + ".txt"), "w") as f:
        f.write("%d\n%d\n%d\n0\n0\n25\n" % (lines, cols, 2 if storage == 0 else 4))
    answers = "t\nd\n%d\n%d\nr\n1\n%s\n" % (storage, UNITS.index(unit), repr(coefficient))
    run = subprocess.run([TOOL], input=answers.encode(), cwd=work, capture_output=True, timeout=120)
    if run.returncode != 0:
        raise AssertionError("the tool failed: " + run.stderr.decode())
    read = lambda name: np.fromfile(os.path.join(folder, name), np.uint8).reshape(lines, cols)
    return read("r_roughness.raw"), read("r_roughness_str.raw"), run.stdout.decode()


@unittest.skipIf(orr is None or not TOOL, "the module or the tool is not built")
class AgainstTheTool(unittest.TestCase):
    """maps() without a mask gives the tool's raw results byte for byte, and its figures."""

    def test_random_dems_in_every_unit_and_storage(self):
        rng = np.random.default_rng(16)
        cases = [(np.uint16, 0, 65536), (np.uint16, 200, 260), (np.int32, -50000, 3000000), (np.int32, 1, 9)]
        with tempfile.TemporaryDirectory() as work:
            for k, (dtype, low, high) in enumerate(cases):
                for unit in UNITS:
                    shape = (3 + (k * 7 + len(unit)) % 29, 3 + (k * 5 + 3 * len(unit)) % 31)
                    dem = random_dem(rng, shape, dtype, low, high)
                    coefficient = [2.0, 0.5, 10.0, 35.0][k]
                    with self.subTest(dtype=dtype.__name__, low=low, unit=unit, shape=shape):
                        centred, stretched, stdout = run_tool(work, dem, unit, coefficient)
                        m = orr.maps(dem, coefficient, unit=unit, threads=1 + k % 3)
                        np.testing.assert_array_equal(m.centred, centred)
                        np.testing.assert_array_equal(m.stretched, stretched)
                        stretch = re.search(r"Stretch : Min\. = (\S+) Max\. = (\S+)", stdout)
                        self.assertEqual(stretch.groups(), ("%f" % m.ratio_min, "%f" % m.ratio_max))
                        self.assertIn("maximum stretch 2 = %f " % m.max_stretch, stdout)
                        self.assertIn("min %f max %f\n\tmin %d max %d " % (m.centred_min, m.centred_max,
                                      int(m.centred_min), int(m.centred_max)), stdout)

    def test_float_metres_give_the_tools_bytes(self):
        """Float input in metres, the tool's own metres of the samples in each unit, gives the
        tool's raw results; whole metres as float32 too."""
        rng = np.random.default_rng(3)
        with tempfile.TemporaryDirectory() as work:
            for k, unit in enumerate(UNITS):
                dem = random_dem(rng, (19 + k, 23), np.int32, -40000 if k else 100, 90000)
                centred, stretched, _ = run_tool(work, dem, unit, 3.0)
                inputs = [metres(dem, unit)] + ([dem.astype(np.float32)] if unit == "m" else [])
                for values in inputs:
                    with self.subTest(unit=unit, dtype=values.dtype.name):
                        m = orr.maps(values, 3.0)
                        np.testing.assert_array_equal(m.centred, centred)
                        np.testing.assert_array_equal(m.stretched, stretched)
                        np.testing.assert_array_equal(orr.ratio(values), orr.ratio(dem, unit=unit))


@unittest.skipIf(orr is None, "the module is not built")
class Streaming(unittest.TestCase):
    """stream() gives the bytes and figures of maps() and ratio() for any reading in blocks."""

    def setUp(self):
        rng = np.random.default_rng(5)
        self.dem = random_dem(rng, (53, 29), np.int32, 1000, 1100)
        self.mask = rng.random(self.dem.shape) > 0.03

    def collect(self, dem, mask, block_lines, threads=2, ratio=True, fortran=False, stretched=True):
        reads, blocks = [], []

        def read(first, count):
            reads.append((first, count))
            values = np.asfortranarray(dem[first:first + count]) if fortran else dem[first:first + count]
            return values if mask is None else (values, mask[first:first + count])

        def write(first, r, c, s):
            self.assertEqual(s is None, not stretched)
            blocks.append((first, None if r is None else r.copy(), c.copy(), c.copy() if s is None else s.copy()))

        f = orr.stream(read, dem.shape[0], dem.shape[1], 2.0, write, unit="cm", threads=threads,
                       ratio=ratio, block_lines=block_lines, stretched=stretched)
        if not stretched:  # the caller maps the centred levels once the figures are known
            blocks = [(a, r, c, f.mapping[s]) for a, r, c, s in blocks]
        return f, reads, blocks

    def test_blocks_of_every_size_equal_maps_and_ratio(self):
        for mask in (None, self.mask):
            want = orr.maps(self.dem, 2.0, unit="cm", mask=mask)
            want_ratio = orr.ratio(self.dem, unit="cm", mask=mask)
            for block_lines, stretched in ((1, True), (2, True), (7, True), (53, True), (1000, True),
                                           (None, True), (1, False), (7, False), (None, False)):
                with self.subTest(masked=mask is not None, block_lines=block_lines, stretched=stretched):
                    f, reads, blocks = self.collect(self.dem, mask, block_lines, fortran=block_lines == 7,
                                                    stretched=stretched)
                    self.assertEqual([b[0] for b in blocks], sorted({b[0] for b in blocks}))
                    np.testing.assert_array_equal(np.concatenate([b[2] for b in blocks]), want.centred)
                    np.testing.assert_array_equal(np.concatenate([b[3] for b in blocks]), want.stretched)
                    np.testing.assert_array_equal(np.concatenate([b[1] for b in blocks]), want_ratio)
                    for name in ("ratio_min", "ratio_max", "max_stretch", "centred_min", "centred_max",
                                 "threshold", "lower_cutoff", "upper_cutoff", "pixel_count", "coefficient"):
                        self.assertEqual(getattr(f, name), getattr(want, name), name)
                    np.testing.assert_array_equal(f.histogram, want.histogram)
                    self.assertTrue(all(0 <= a and a + c <= 53 for a, c in reads))
                    if block_lines:  # no read crosses the first line of a block
                        self.assertEqual([a // block_lines for a, c in reads],
                                         [(a + c - 1) // block_lines for a, c in reads])

    def test_without_write_or_ratio(self):
        f, _, blocks = self.collect(self.dem, None, 5, ratio=False)
        self.assertTrue(blocks and all(b[1] is None for b in blocks))
        g = orr.stream(lambda a, c: self.dem[a:a + c], 53, 29, 2.0, unit="cm")
        self.assertEqual((f.ratio_min, f.threshold), (g.ratio_min, g.threshold))

    def test_other_threads_run_while_the_module_computes(self):
        """maps() and stream() release the GIL while they compute (and stream() while it
        converts what read() returned): a Python thread counts on meanwhile."""
        dem = random_dem(np.random.default_rng(2), (1500, 1500), np.float32, 100, 900)
        counted, stop = [0], threading.Event()

        def count():
            while not stop.is_set():
                counted[0] += 1

        counter = threading.Thread(target=count)
        counter.start()
        try:
            for name, call in (("maps", lambda: orr.maps(dem, 2.0)),
                               ("stream", lambda: orr.stream(lambda a, c: dem[a:a + c], 1500, 1500, 2.0,
                                                             block_lines=1500))):
                before = counted[0]
                call()
                self.assertGreater(counted[0] - before, 1000, name)
        finally:
            stop.set()
            counter.join()

    def test_callback_exceptions_propagate_and_progress_rises(self):
        class Stop(Exception):
            pass

        def bad_read(first, count):
            if first > 20:
                raise Stop("read")
            return self.dem[first:first + count]

        with self.assertRaises(Stop):
            orr.stream(bad_read, 53, 29, 2.0, block_lines=4)

        def bad_write(first, r, c, s):
            raise Stop("write")

        with self.assertRaises(Stop):
            orr.stream(lambda a, c: self.dem[a:a + c], 53, 29, 2.0, bad_write)
        seen = []
        orr.stream(lambda a, c: self.dem[a:a + c], 53, 29, 2.0, lambda *a: None,
                   progress=lambda name, x: seen.append((name, x)), block_lines=8)
        names = [n for n, _ in seen]
        self.assertEqual(sorted(set(names), key=names.index), ["ratio range", "centred levels", "stretched levels"])
        for name in set(names):
            xs = [x for n, x in seen if n == name]
            self.assertEqual((xs[0], xs[-1]), (0.0, 1.0))
            self.assertEqual(xs, sorted(xs))

    def test_bad_blocks_raise(self):
        cases = [(lambda a, c: self.dem[a:a + c, 1:], ValueError),
                 (lambda a, c: self.dem[a:a + c].astype(np.int64), TypeError),
                 (lambda a, c: (self.dem[a:a + c], self.mask[a:a + c, 1:]), ValueError),
                 (lambda a, c: (self.dem[a:a + c], None, None), ValueError),
                 (lambda a, c: self.dem[a:a + c].tolist(), TypeError)]
        for read, error in cases:
            with self.assertRaises(error):
                orr.stream(read, 53, 29, 2.0)


@unittest.skipIf(orr is None, "the module is not built")
class Nodata(unittest.TestCase):
    """A pixel has a ratio when interior and its nine window pixels are valid."""

    def test_nan_is_a_mask_and_an_all_valid_mask_is_no_mask(self):
        rng = np.random.default_rng(9)
        dem = rng.integers(300, 900, (30, 40)).astype(np.float64)
        mask = np.ones(dem.shape, bool)
        mask[10:14, 5:9] = False
        mask[:, :2] = False
        with_nan = dem.copy()
        with_nan[~mask] = np.nan
        a, b = orr.maps(dem, 2.0, mask=mask), orr.maps(with_nan, 2.0)
        np.testing.assert_array_equal(a.centred, b.centred)
        np.testing.assert_array_equal(a.stretched, b.stretched)
        r = orr.ratio(with_nan)
        has = np.zeros(dem.shape, bool)
        for i in range(1, 29):
            for j in range(1, 39):
                has[i, j] = mask[i - 1:i + 2, j - 1:j + 2].all()
        np.testing.assert_array_equal(~np.isnan(r), has)
        self.assertTrue((a.centred[~has] == 255).all())
        self.assertEqual(a.histogram.sum(), has.sum())
        self.assertEqual(a.pixel_count, 30 * 40 - (28 * 38 - has.sum()))
        plain, full = orr.maps(dem, 2.0), orr.maps(dem, 2.0, mask=np.ones(dem.shape, bool))
        np.testing.assert_array_equal(plain.stretched, full.stretched)
        self.assertEqual((plain.threshold, plain.ratio_min), (full.threshold, full.ratio_min))

    def test_no_valid_pixel(self):
        dem = np.full((6, 7), 100, np.uint16)
        m = orr.maps(dem, 2.0, mask=np.zeros(dem.shape, bool))
        self.assertEqual((m.ratio_min, m.ratio_max, m.centred_min, m.centred_max), (10000000.0, 0.0, 10000000.0, 0.0))
        self.assertEqual(m.histogram.sum(), 0)
        self.assertTrue((m.centred == 255).all())
        self.assertTrue(np.isnan(orr.ratio(dem.astype(np.float32) * np.nan)).all())


@unittest.skipIf(orr is None, "the module is not built")
class Arguments(unittest.TestCase):
    """Bad arguments raise clear exceptions; any strides are read right."""

    def test_errors(self):
        dem = np.ones((5, 5), np.uint16)
        cases = [(lambda: orr.ratio(np.ones(5, np.uint16)), ValueError, "2-D"),
                 (lambda: orr.ratio(np.ones((2, 2, 2), np.int32)), ValueError, "2-D"),
                 (lambda: orr.ratio([[1, 2], [3, 4]]), TypeError, "numpy array"),
                 (lambda: orr.ratio(dem.astype(np.int64)), TypeError, "uint16, int32"),
                 (lambda: orr.ratio(dem.astype(np.float16)), TypeError, "uint16, int32"),
                 (lambda: orr.ratio(dem.astype(">i4")), TypeError, "byte order"),
                 (lambda: orr.ratio(dem, unit="ft"), ValueError, "unit"),
                 (lambda: orr.maps(dem, 2.0, mask=np.ones((5, 4), bool)), ValueError, "shape"),
                 (lambda: orr.maps(dem, 2.0, mask=np.ones((5, 5), np.uint8)), TypeError, "bool"),
                 (lambda: orr.maps(dem, 2.0, threads=0), ValueError, "threads"),
                 (lambda: orr.maps(dem, 2.0, threads=1.5), TypeError, "threads"),
                 (lambda: orr.stream(None, 5, 5, 2.0), TypeError, "callable"),
                 (lambda: orr.stream(lambda a, c: dem, -1, 5, 2.0), ValueError, "nb_lig"),
                 (lambda: orr.stream(lambda a, c: dem, 5, 5, 2.0, block_lines=0), ValueError, "block_lines")]
        for call, error, words in cases:
            with self.subTest(words=words):
                with self.assertRaisesRegex(error, words):
                    call()

    def test_any_strides(self):
        rng = np.random.default_rng(11)
        big = rng.integers(0, 5000, (40, 60)).astype(np.int32)
        views = [big[::2, ::3], big[::-1, ::-2], np.asfortranarray(big), big.T]
        for view in views:
            with self.subTest(strides=view.strides):
                want = orr.maps(np.ascontiguousarray(view), 2.0, unit="dm")
                got = orr.maps(view, 2.0, unit="dm", mask=np.ones(view.shape, bool)[::-1])
                np.testing.assert_array_equal(got.centred, want.centred)
                np.testing.assert_array_equal(got.stretched, want.stretched)

    def test_small_shapes_and_docstrings(self):
        for shape in ((0, 0), (1, 5), (2, 2), (3, 3), (7, 1), (2, 9)):
            m = orr.maps(np.full(shape, 7, np.uint16), 2.0)
            self.assertEqual(m.centred.shape, shape)
            self.assertEqual((m.centred != 255).sum(), shape == (3, 3))  # flat: ratio 1, grey 128
            self.assertEqual(m.histogram.sum(), shape == (3, 3))
        for obj in (orr, orr.ratio, orr.maps, orr.stream, orr.Figures, orr.Maps):
            self.assertGreater(len(obj.__doc__ or ""), 40, obj)


if __name__ == "__main__":
    if orr is None:
        print("orvande_roughness is not built in %r (pybind11-dev, python3-pybind11 and python3-dev are "
              "needed): skipped" % PYTHON_DIR)
        sys.exit(77)
    unittest.main()
