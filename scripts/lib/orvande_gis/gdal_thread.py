"""One thread for every GDAL call of a run, beside the roughness passes.

The passes run in the module's own threads without Python's lock; GDAL lets go of it too.
So the source's strips are decoded and the outputs' tiles compressed on this thread while
the passes compute, instead of in turn. Every GDAL call of the run goes through it (none on
another thread meanwhile): GDAL's block cache is shared by all datasets, and a dataset
written on one thread while another is read on a second can deadlock there.
"""

from concurrent.futures import ThreadPoolExecutor


class GdalThread:
    def __init__(self):
        self.pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="gdal")

    def call(self, fn, *args):
        """FN(*ARGS) on the thread; its result, or its exception raised here."""
        return self.pool.submit(fn, *args).result()

    def submit(self, fn, *args):
        """FN(*ARGS) queued on the thread; a future."""
        return self.pool.submit(fn, *args)

    def stop(self):
        """Waits for the call under way, drops the queued ones."""
        self.pool.shutdown(wait=True, cancel_futures=True)

