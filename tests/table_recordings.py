"""The recordings the table and stream tests read, one entry per kind (plain
shapes, layered, read through a file object, other writers' recordings),
each a function of a temporary folder giving a source and the reader's
keywords it needs.

    from table_recordings import RECORDINGS, open_reader
"""

import io

import pytest

import make_recordings as mr
import python_can_tolvar_mf4 as mod
from layer_tools import compressed_layer, encrypted_layer
from mdf_writer import CanFrame, RecordingWriter
from recordings import SHAPES, asammdf_recording, asammdf_small_blocks, mixed_recording, python_can_messages, write_python_can

PASSWORD = "column-Pa55"


# -- recordings: one entry per kind; a new kind of recording is one more entry ------


def named(name):
    def make(tmp_path):
        return str(mr.write_named(tmp_path, name)), {}
    return make


def ties(tmp_path):
    """Two data groups with frames at equal timestamps (ties in group order)."""
    w = RecordingWriter(mr.START_NS)
    for channel in (1, 2):
        g = w.data_group()
        g.can_channel_group(fd=False)
        g.add_frames([CanFrame(0.001 * (k // 2), 0x100 + channel, bytes([k]), channel=channel) for k in range(40)])
    path = tmp_path / "ties.mf4"
    w.write(str(path))
    return str(path), {}


def compressed(tmp_path):
    _, data = mr.build("record_ids_1")
    path = tmp_path / "compressed.mf4"
    path.write_bytes(compressed_layer(data))
    return str(path), {}


def encrypted(tmp_path):
    _, data = mr.build("vlsd")
    path = tmp_path / "encrypted.mf4"
    path.write_bytes(encrypted_layer(compressed_layer(data), PASSWORD))
    return str(path), {"passwords": {"default": PASSWORD}}


def file_object(tmp_path):
    """Read through a file object's methods: the walk keeps the lock."""
    _, data = mr.build("several_groups")
    return io.BytesIO(data), {}


# Recordings of other writers, read with any_writer: python-can's MF4Writer,
# asammdf's API, and the shapes only the test writer makes.


def python_can_written(level):
    def make(tmp_path):
        # python-can's MF4Writer writes through asammdf, which not every
        # platform's test run installs.
        pytest.importorskip("asammdf")
        # Written once per test: the writer stamps its own start time.
        path = tmp_path / f"python_can_{level}.mf4"
        if not path.exists():
            write_python_can(path, python_can_messages(400), level)
        return str(path), {"any_writer": True}
    return make


def asammdf_written(tmp_path):
    pytest.importorskip("asammdf")
    path = tmp_path / "asammdf.mf4"
    if not path.exists():
        # Small blocks make the short recording a list of compressed blocks.
        with asammdf_small_blocks():
            asammdf_recording(path, "4.20", 2)
    return str(path), {"any_writer": True}


def other_writer_shape(shape):
    def make(tmp_path):
        recording = mixed_recording().build()
        SHAPES[shape](recording)
        path = tmp_path / "shape.mf4"
        recording.write(str(path))
        return str(path), {"any_writer": True}
    return make


RECORDINGS = {
    **{name: named(name) for name in (
        "plain", "record_ids_1", "record_ids_2", "record_ids_4", "record_ids_8", "single_group_with_ids",
        "vlsd", "sd", "several_groups", "composed", "conversions", "unfinalised", "unfinalised_zero_length",
        "metadata", "no_history")},
    "ties": ties,
    "compressed": compressed,
    "encrypted": encrypted,
    "file_object": file_object,
    "python-can, stored": python_can_written(0),
    "python-can, compressed": python_can_written(2),
    "asammdf, compressed list": asammdf_written,
    **{"other writer: " + shape: other_writer_shape(shape) for shape in (
        "data list of compressed blocks", "header list, transposed", "VLSD group first", "maximum-length payload")},
}


def open_reader(tmp_path, kind, **filters):
    source, options = RECORDINGS[kind](tmp_path)
    return mod.MdfFile(source, **options, **filters)
