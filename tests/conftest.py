"""Fixtures the test modules share. Helpers that read a recording back live
in reading.py, recordings the modules share in recordings.py,
make_recordings.py and table_recordings.py: a test module imports from
those, never from another test module."""

import sys
import threading
import time

import pytest

from mdf_writer import make_sample


@pytest.fixture(scope="session")
def sample(tmp_path_factory):
    """The project's sample recording, written once per run: its path and
    the Recording that knows what a reader must yield for it."""
    path = tmp_path_factory.mktemp("sample") / "sample.mf4"
    rec = make_sample(str(path))
    return path, rec


def _progress_during(call):
    """How often a second thread ran while `call` ran. The switch interval is
    made so long that the calling thread gives the lock away only where it
    releases it itself, and the second thread gives it back every step."""
    count = [0]
    stop = threading.Event()
    started = threading.Event()

    def spin():
        started.set()
        while not stop.is_set():
            count[0] += 1
            time.sleep(0)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    thread = threading.Thread(target=spin)
    try:
        thread.start()
        started.wait()
        before = count[0]
        call()
        during = count[0] - before
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        thread.join()
    return during


@pytest.fixture
def progress_during():
    """A function of a call: how often another thread ran while it ran (the
    interpreter lock released where the call releases it)."""
    return _progress_during
