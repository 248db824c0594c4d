"""Fixtures the test modules share. Helpers that read a recording back live
in reading.py, recordings the modules share in recordings.py and
make_recordings.py: a test module imports from those, never from another
test module."""

import pytest

from mdf_writer import make_sample


@pytest.fixture(scope="session")
def sample(tmp_path_factory):
    """The project's sample recording, written once per run: its path and
    the Recording that knows what a reader must yield for it."""
    path = tmp_path_factory.mktemp("sample") / "sample.mf4"
    rec = make_sample(str(path))
    return path, rec
