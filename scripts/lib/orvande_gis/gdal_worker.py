"""One thread for every GDAL call of a run's passes, so that decoding the source and
compressing the outputs go on while the roughness passes compute on the other threads.

GDAL's calls release the GIL, and so do the passes; the work of a run is then: the passes on
the main thread (and the module's threads), GDAL on this one. From the first pass on, every
GDAL call stays on this thread, never two at once: the block cache that all datasets share
is then never entered by a reader and a writer together (a thread reading the source can
otherwise be made to flush the blocks of an output that another thread is writing). Before,
only early_strips reads beside the main thread, on a handle of its own, and it is joined
before the first output is written.
"""

import collections
import concurrent.futures
import threading


class GdalWorker:
    """call(fn, *args): fn run on the worker, its result (or its exception) returned here;
    ahead(fn, *args): fn started on the worker, its future returned; put(fn, *args): fn
    started on the worker without waiting, at most `backlog` of them pending (an earlier
    one's exception is raised by a later put() or by drain()). close(): waits for what runs,
    drops what has not started."""

    def __init__(self, backlog=2):
        self.pool = concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="gdal")
        self.backlog = backlog
        self.pending = collections.deque()
        self.ident = self.pool.submit(threading.get_ident).result()

    def on_worker(self):
        return threading.get_ident() == self.ident

    def call(self, fn, *args):
        if self.on_worker():
            return fn(*args)
        return self.pool.submit(fn, *args).result()

    def ahead(self, fn, *args):
        return self.pool.submit(fn, *args)

    def put(self, fn, *args):
        while self.pending and (self.pending[0].done() or len(self.pending) >= self.backlog):
            self.pending.popleft().result()
        self.pending.append(self.pool.submit(fn, *args))

    def drain(self):
        while self.pending:
            self.pending.popleft().result()

    def close(self):
        self.pending.clear()
        self.pool.shutdown(wait=True, cancel_futures=True)
