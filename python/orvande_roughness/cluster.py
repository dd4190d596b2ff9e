"""The roughness GeoTIFFs of a raster too big for one machine, computed on a Dask cluster.

    from orvande_roughness.cluster import maps_to_geotiffs
    maps_to_geotiffs("mosaic.vrt", "out/mosaic", 2.0, "tcp://scheduler:8786")   # or "local:4"

reads SOURCE (a GeoTIFF, a VRT: anything rasterio opens) with rioxarray in chunks on the
workers, runs maps_dataset() there, and writes OUTPUT_roughness.vrt (centred levels) and
OUTPUT_roughness_str.vrt (stretched levels), and OUTPUT_ratio.vrt with ratio=True: each a VRT
over tiled, deflated GeoTIFF tiles (one a chunk, with SOURCE's CRS and georeferencing and a
mask band hiding the pixels without a ratio) in the folder OUTPUT_tiles.RUN beside them.

Why tiles under a VRT rather than one GeoTIFF written by every worker under a lock: each tile
is written, compressed, by its own task in parallel, to a temporary renamed into place, so a
task that is run again (its worker was killed) simply writes its tile again; a single file
would serialize the writing and the compression of the whole mosaic behind one lock, and a
worker killed while holding it or in the middle of a write would leave the lock taken or the
file damaged. `gdal_translate OUTPUT_roughness.vrt one.tif` gathers a VRT into one file.

Nothing is written before the scheduler answers. The tiles go to a hidden folder, renamed
when every tile is written; the VRTs are written to temporaries and renamed over the earlier
results last, and only then are the tile folders of earlier runs removed: an interrupted run
leaves the earlier results as they were.
"""
import os
import re
import secrets
import shutil
from xml.sax.saxutils import escape

import numpy as np

from . import datasets

CONNECT_TIMEOUT = 5  # seconds
RESULTS = (("_roughness", "centred"), ("_roughness_str", "stretched"))
RATIO_RESULT = ("_ratio", "ratio")


class SchedulerUnreachable(ConnectionError):
    """The Dask scheduler did not answer: str(e) names its address. Nothing was written."""


def maps_to_geotiffs(source_path, output_prefix, coefficient, address, chunks=4096, unit="m", ratio=False,
                     overwrite=False, timeout=CONNECT_TIMEOUT):
    """Computes the roughness maps of SOURCE on the Dask cluster at `address` ("tcp://host:port",
    or "local:N" for a cluster of N worker processes on this machine) and writes them under
    OUTPUT (see the module's documentation). `chunks`: lines and columns of a block (and of a
    tile). `unit` of integer samples as for maps(); the source's nodata value marks invalid
    pixels. Returns the paths of the VRTs written. Raises SchedulerUnreachable when the
    scheduler does not answer within `timeout` seconds, FileExistsError when an output exists
    and overwrite is false."""
    results = RESULTS + ((RATIO_RESULT,) if ratio else ())
    out = Outputs(output_prefix, results)
    out.check(overwrite)
    client, cluster = connect(address, timeout)
    try:
        import rioxarray
        source = rioxarray.open_rasterio(source_path, chunks={"y": chunks, "x": chunks})
        values, mask = elevations(source)
        maps = computed_maps(values, coefficient, unit, mask)
        out.start()
        try:
            geo = Georeference(source)
            names = write_tiles(maps, results, out.part, geo)
            out.finish(names, values.shape[0], values.shape[1], geo, overwrite)
        except BaseException:
            out.abandon()
            raise
        return out.finals
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


# ---------------------------------------------------------------- the cluster

def connect(address, timeout):
    """(client, local cluster or None)."""
    from distributed import Client, LocalCluster
    local = re.fullmatch(r"local:(\d+)", address)
    if local:
        n = int(local.group(1))
        if n < 1:
            raise ValueError("local:N needs at least one worker, not %d" % n)
        cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None)
        return Client(cluster), cluster
    try:
        return Client(address, timeout=timeout), None
    except (OSError, TimeoutError) as e:
        raise SchedulerUnreachable("the Dask scheduler at %s cannot be reached (%s); nothing was written"
                                   % (address, str(e).splitlines()[0] if str(e) else type(e).__name__)) from None


# ---------------------------------------------------------------- the source

def elevations(source):
    """Band 1 of the source as maps_dataset() takes it, and its validity from the nodata value."""
    if "band" in source.dims:
        source = source.isel(band=0, drop=True)
    kind = source.dtype
    if kind in (np.int8, np.uint8, np.int16):
        source = source.astype(np.int32)  # exact
    elif kind not in (np.uint16, np.int32, np.float32, np.float64):
        raise TypeError("samples of type %s are not taken: uint16, int32, float32 or float64 (int16, int8 and "
                        "uint8 are widened)" % kind)
    nodata = source.rio.nodata
    mask = None
    if nodata is not None and not (isinstance(nodata, float) and np.isnan(nodata)):
        mask = source != source.dtype.type(nodata)
    return source, mask


def computed_maps(values, coefficient, unit, mask):
    """{"ratio", "centred", "stretched", "has_ratio": lazy Dask arrays}, the figures computed."""
    datasets.check_arguments(values.dtype, unit, coefficient)
    ratio, centred, stretched, _, blocks = datasets.dask_maps(values.data, coefficient, unit,
                                                              None if mask is None else mask.data, np.float32)
    return {"ratio": ratio, "centred": centred, "stretched": stretched, "has_ratio": blocks.has_ratio()}


class Georeference:
    def __init__(self, source):
        t = source.rio.transform()
        self.gt = (t.c, t.a, t.b, t.f, t.d, t.e)
        crs = source.rio.crs
        self.wkt = crs.to_wkt() if crs is not None else ""

    def of_tile(self, line, col):
        c, a, b, f, d, e = self.gt
        return (c + col * a + line * b, a, b, f + col * d + line * e, d, e)


# ---------------------------------------------------------------- tiles

def write_tiles(maps, results, folder, geo):
    """Every block of every result as a tile in `folder`, by the workers: {(i, j): (line, col,
    lines, cols)}."""
    from dask.delayed import Delayed
    from dask.highlevelgraph import HighLevelGraph
    import dask
    arrays = [maps[what] for _, what in results]
    rows, cols = arrays[0].chunks
    line_starts, col_starts = np.cumsum((0,) + rows).tolist(), np.cumsum((0,) + cols).tolist()
    name = "orvande-tiles-" + secrets.token_hex(8)
    has_ratio = maps["has_ratio"]
    dsk = {}
    for i in range(len(rows)):
        for j in range(len(cols)):
            dsk[name, i, j] = (write_tile, folder, [what for _, what in results], i, j,
                               [(a.name, i, j) for a in arrays], (has_ratio.name, i, j),
                               list(geo.of_tile(line_starts[i], col_starts[j])), geo.wkt)
    dsk[name] = (len, list(dsk))
    graph = HighLevelGraph.from_collections(name, dsk, dependencies=arrays + [has_ratio])
    dask.compute(Delayed(name, graph, layer=name))
    return {(i, j): (line_starts[i], col_starts[j], rows[i], cols[j]) for i in range(len(rows))
            for j in range(len(cols))}


def tile_name(what, i, j):
    return "%s_%05d_%05d.tif" % (what, i, j)


def write_tile(folder, whats, i, j, blocks, has_ratio, gt, wkt):
    """One tile of each result: deflated, tiled GeoTIFF with a mask band (255 where a pixel has
    a ratio), written to a temporary and renamed."""
    import rasterio
    from rasterio.transform import Affine
    valid = np.where(has_ratio, np.uint8(255), np.uint8(0))
    with rasterio.Env(GDAL_TIFF_INTERNAL_MASK=True):
        for what, block in zip(whats, blocks):
            final = os.path.join(folder, tile_name(what, i, j))
            tmp = "%s.%d.tmp" % (final, os.getpid())
            profile = dict(driver="GTiff", width=block.shape[1], height=block.shape[0], count=1, dtype=block.dtype,
                           compress="deflate", tiled=True, blockxsize=256, blockysize=256, BIGTIFF="IF_SAFER",
                           transform=Affine.from_gdal(*gt), crs=wkt or None)
            if what == "ratio":
                profile["nodata"] = float("nan")
            with rasterio.open(tmp, "w", **profile) as dst:
                dst.write(block, 1)
                dst.write_mask(valid)
            os.replace(tmp, final)


# ---------------------------------------------------------------- the outputs

class Outputs:
    """The VRTs of a run, its tile folder, and their replacing of earlier results."""

    def __init__(self, prefix, results):
        self.folder = os.path.dirname(os.path.abspath(prefix))
        self.base = os.path.basename(prefix)
        if not self.base:
            raise ValueError("the output prefix must end with a name, not a folder: %r" % prefix)
        self.results = results
        self.finals = [os.path.join(self.folder, self.base + suffix + ".vrt") for suffix, _ in results]
        self.run = secrets.token_hex(6)
        self.tiles = "%s_tiles.%s" % (self.base, self.run)
        self.part = os.path.join(self.folder, ".%s.part" % self.tiles)
        self.temps = []

    def check(self, overwrite):
        if not os.path.isdir(self.folder):
            raise FileNotFoundError("the folder %s does not exist" % self.folder)
        for path in self.finals:
            if os.path.isdir(path):
                raise IsADirectoryError("%s is a folder" % path)
            if os.path.lexists(path) and not overwrite:
                raise FileExistsError("%s exists (overwrite=True replaces it)" % path)

    def start(self):
        os.mkdir(self.part)

    def finish(self, tiles, nb_lig, nb_col, geo, overwrite):
        for (suffix, what), final in zip(self.results, self.finals):
            tmp = os.path.join(self.folder, ".%s%s.vrt.%s.tmp" % (self.base, suffix, self.run))
            self.temps.append(tmp)
            with open(tmp, "w") as f:
                f.write(vrt_text(what, tiles, self.tiles, nb_lig, nb_col, geo))
        os.rename(self.part, os.path.join(self.folder, self.tiles))
        self.part = os.path.join(self.folder, self.tiles)
        self.check(overwrite)  # nobody made them meanwhile
        for tmp, final in zip(self.temps, self.finals):
            os.replace(tmp, final)
        self.temps, self.part = [], None
        self.remove_earlier_tiles()

    def abandon(self):
        for tmp in self.temps:
            if os.path.exists(tmp):
                os.remove(tmp)
        if self.part and not any(self.referenced(self.part)):
            shutil.rmtree(self.part, ignore_errors=True)

    def referenced(self, folder):
        """The VRTs of this prefix that name `folder`."""
        name = os.path.basename(folder).encode()
        for suffix, _ in RESULTS + (RATIO_RESULT,):
            path = os.path.join(self.folder, self.base + suffix + ".vrt")
            try:
                with open(path, "rb") as f:
                    if name + b"/" in f.read():
                        yield path
            except OSError:
                pass

    def remove_earlier_tiles(self):
        """Tile folders of earlier runs (and leftovers of killed ones) no VRT names any more."""
        own = re.compile(r"\.?%s_tiles\.[0-9a-f]{12}(\.part)?" % re.escape(self.base))
        for entry in os.listdir(self.folder):
            path = os.path.join(self.folder, entry)
            if entry != self.tiles and own.fullmatch(entry) and os.path.isdir(path) and not any(self.referenced(path)):
                shutil.rmtree(path, ignore_errors=True)


def vrt_text(what, tiles, folder, nb_lig, nb_col, geo):
    kind = "Float32" if what == "ratio" else "Byte"

    def sources(band):
        out = []
        for (i, j), (line, col, lines, cols) in sorted(tiles.items()):
            rect = 'xOff="%d" yOff="%d" xSize="%d" ySize="%d"'
            out.append('      <SimpleSource>\n'
                       '        <SourceFilename relativeToVRT="1">%s/%s</SourceFilename>\n'
                       '        <SourceBand>%s</SourceBand>\n'
                       '        <SrcRect %s/>\n        <DstRect %s/>\n'
                       '      </SimpleSource>\n'
                       % (escape(folder), tile_name(what, i, j), band, rect % (0, 0, cols, lines),
                          rect % (col, line, cols, lines)))
        return "".join(out)
    nodata = '    <NoDataValue>nan</NoDataValue>\n' if what == "ratio" else ""
    return ('<VRTDataset rasterXSize="%d" rasterYSize="%d">\n' % (nb_col, nb_lig)
            + ('  <SRS>%s</SRS>\n' % escape(geo.wkt) if geo.wkt else "")
            + '  <GeoTransform>%s</GeoTransform>\n' % ", ".join(repr(float(v)) for v in geo.gt)
            + '  <VRTRasterBand dataType="%s" band="1">\n%s%s  </VRTRasterBand>\n' % (kind, nodata, sources("1"))
            + '  <MaskBand>\n    <VRTRasterBand dataType="Byte">\n%s    </VRTRasterBand>\n  </MaskBand>\n'
            % sources("mask,1")
            + '</VRTDataset>\n')
