"""Files that replace earlier ones only once complete, and the signals that would cut a run.

A result is written to a temporary beside its final name and renamed over it at the end;
a set of results (a DEM raster and its descriptor, the maps of dem-roughness) is renamed
as one: when one rename fails the others get their old files back. SIGINT, SIGTERM and
SIGHUP raise Interrupted, except while temporaries are created or the set is renamed:
then the signal is held and raised right after, saying whether the set was complete.
"""

import contextlib
import os
import signal
import tempfile


class Refusal(Exception):
    """A reason not to write anything; str(e) is the one-line reason."""


class Interrupted(Refusal):
    """SIGINT, SIGTERM or SIGHUP arrived; `written` tells whether the results were complete."""

    def __init__(self, signum, written=False):
        self.signum, self.written = signum, written
        super().__init__(f"stopped by {signal.Signals(signum).name}")


# Bytes of a file name (NAME_MAX on Linux file systems).
NAME_MAX = 255
# Bytes of the final name kept in a temporary's name: room for the dot, the random part,
# ".part" and the backup's ".old".
TEMPORARY_STEM = 200

_signals = {"critical": False, "deferred": None}


def _on_signal(signum, _frame):
    if _signals["critical"]:
        _signals["deferred"] = signum
        return
    raise Interrupted(signum)


def handle_signals():
    """SIGINT, SIGTERM and SIGHUP raise Interrupted (held while files are created or renamed)."""
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, _on_signal)


@contextlib.contextmanager
def signals_held():
    """Signals held (deferred) inside; may be nested."""
    before, _signals["critical"] = _signals["critical"], True
    try:
        yield
    finally:
        _signals["critical"] = before


def raise_held(written):
    """Raises Interrupted for a signal held meanwhile; WRITTEN: were the results complete."""
    held, _signals["deferred"] = _signals["deferred"], None
    if held:
        raise Interrupted(held, written)


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def temporary_beside(final):
    """A new empty file in FINAL's folder, created exclusively (never through a link), with
    the permissions of a file made the ordinary way and a name that fits NAME_MAX whatever
    FINAL's length; returns its path."""
    folder, base = os.path.split(final)
    stem = os.fsdecode(os.fsencode(base)[:TEMPORARY_STEM])
    fd, path = tempfile.mkstemp(dir=folder or ".", prefix="." + stem + ".", suffix=".part")
    os.close(fd)
    os.chmod(path, 0o666 & ~_umask())
    return path


def new_temporary(final, temps):
    """A temporary beside FINAL, recorded in TEMPS in the same step (signals held)."""
    with signals_held():
        path = temporary_beside(final)
        temps.append(path)
    raise_held(written=False)
    return path


def commit_set(pairs, side_suffixes=()):
    """Renames each (temporary, final) into place; when a rename fails, the finals renamed
    before it get their old files back, so the set stays as it was. Then removes each
    final's side files (FINAL + suffix: an earlier file's overviews, statistics, mask),
    which would otherwise be read with the new file."""
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
        remove(b for b in backups if os.path.lexists(b))
    remove(final + s for _, final in pairs for s in side_suffixes)


def commit_held(pairs, temps, side_suffixes=()):
    """commit_set with the signals held; the temporaries in TEMPS are removed whatever
    happens. A signal that came meanwhile is raised after, with written=True."""
    try:
        with signals_held():
            commit_set(pairs, side_suffixes)
            temps.clear()
    finally:
        with signals_held():
            remove(temps)
    raise_held(written=True)


def same_file(path, others):
    """The first of OTHERS that is PATH under any name (a link, the same file), or None."""
    for other in others:
        try:
            if os.path.samefile(path, other):
                return other
        except OSError:
            pass
    return None


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


def remove(paths):
    for p in paths:
        try:
            os.unlink(p)
        except OSError:
            pass
