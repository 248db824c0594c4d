"""What iteration yields: the fields of every kind of message, the merge over
data groups, ordering, comparison and hash of CanMsgExtension."""

import copy
import math
import pickle
import weakref

import can
import pytest

import make_recordings
import python_can_tolvar_mf4 as mod
from mdf_writer import CanFrame, LinError, LinFrame, RecordingWriter
from reading import read

START_NS = 1_500_000_000 * 1_000_000_000


def expected(rec, data=None):
    out = rec.expected_merged(data)
    for e in out:
        # can.Message keeps no data for a remote frame, whatever it is given.
        if e.kind == "remote":
            e.data = b""
    return out


def group_iterators(reader):
    """The MdfFileIterators that iteration hands to heapq.merge."""
    merged = iter(reader)
    return list(merged.gi_frame.f_locals["iterables"])


def single_frame(tmp_path, make_group, frame, **writer_options):
    w = RecordingWriter(start_time_ns=START_NS, **writer_options)
    g = w.data_group()
    make_group(g)
    g.add_frame(frame)
    rec = w.build()
    path = tmp_path / "one.mf4"
    rec.write(str(path))
    return rec, read(path)


# -- fields per kind ---------------------------------------------------------------

KINDS = {
    "classic data frame": (lambda g: g.can_channel_group(fd=False),
                           CanFrame(0.25, 0x123, bytes(range(8)), is_rx=False, channel=2),
                           dict(dlc=8, is_fd=False, is_rx=False, channel="CAN 2", is_extended_id=False)),
    "FD frame, 64 bytes": (lambda g: g.can_channel_group(fd=True),
                           CanFrame(0.5, 0x7FF, bytes(range(64)), is_fd=True, bitrate_switch=True,
                                    error_state_indicator=True, channel=3),
                           dict(dlc=64, is_fd=True, bitrate_switch=True, error_state_indicator=True,
                                channel="CAN 3")),
    "extended id with flag bit": (lambda g: g.can_channel_group(fd=False),
                                  CanFrame(0.0, 0x123, b"\x01", is_extended_id=True, id_flags=0x80000000),
                                  dict(arbitration_id=0x123, is_extended_id=True, dlc=1)),
    "remote frame": (lambda g: g.can_remote_channel_group(),
                     CanFrame(1.0, 0x7DF, is_remote_frame=True, data_length=8, channel=1),
                     dict(is_remote_frame=True, dlc=8, data=bytearray(), channel="CAN 1")),
    "error frame": (lambda g: g.can_error_channel_group(),
                    CanFrame(2.0, is_error_frame=True, error_type=2, channel=4),
                    dict(is_error_frame=True, dlc=0, data=bytearray(), channel="CAN 4",
                         is_rx=True, is_extended_id=True)),
    "LIN frame sent": (lambda g: g.lin_channel_group(),
                       LinFrame(3.0, frame_id=0x21, data=b"\x0a\x0b", is_rx=False, channel=1),
                       dict(arbitration_id=0x21, dlc=2, data=bytearray(b"\x0a\x0b"), is_rx=False,
                            is_extended_id=False, channel="LIN 1")),
    "LIN frame received": (lambda g: g.lin_channel_group(),
                           LinFrame(3.0, frame_id=0x3C, data=bytes(8), is_rx=True, channel=2),
                           dict(is_rx=True, channel="LIN 2", dlc=8)),
}


@pytest.mark.parametrize("kind", KINDS)
def test_message_fields_per_kind(tmp_path, kind):
    make_group, frame, fields = KINDS[kind]
    rec, messages = single_frame(tmp_path, make_group, frame)
    assert len(messages) == 1
    message = messages[0]
    assert type(message) is mod.CanMsgExtension
    assert message.timestamp == 1_500_000_000 + frame.timestamp
    for name, value in fields.items():
        assert getattr(message, name) == value, name
    for e in expected(rec):
        assert e.differences(message) == []


def wide(name):
    """A DataLength channel of 8 bits, so it can say 255."""
    return {"overrides": {name: {"bits": 8}}}


@pytest.mark.parametrize("make_group, frame, payload", [
    (lambda g: g.can_channel_group(fd=False, **wide("CAN_DataFrame.DataLength")),
     CanFrame(0.0, 1, bytes(range(8)), data_length=255, dlc=15), 64),
    (lambda g: g.can_channel_group(fd=True, **wide("CAN_DataFrame.DataLength")),
     CanFrame(0.0, 1, bytes(64), is_fd=True, data_length=255), 64),
    (lambda g: g.can_remote_channel_group(**wide("CAN_RemoteFrame.DataLength")),
     CanFrame(0.0, 1, is_remote_frame=True, data_length=255, dlc=15), 64),
    (lambda g: g.lin_channel_group(**wide("LIN_Frame.DataLength")),
     LinFrame(0.0, 1, bytes(8), data_length=255), 8),
], ids=["classic", "fd", "remote", "lin"])
def test_recorded_length_beyond_the_payload_never_reads_past_it(tmp_path, make_group, frame, payload):
    w = RecordingWriter()
    g = w.data_group()
    make_group(g)
    g.add_frame(frame)
    path = tmp_path / "long.mf4"
    w.write(str(path))
    try:
        messages = read(path)
    except RuntimeError as error:
        assert str(error) == "Unknown bus type"
        return
    for m in messages:
        assert len(m.data) <= payload and m.dlc <= payload


def test_sample_recording_yields_what_the_writer_wrote(sample):
    path, rec = sample
    messages = read(path)
    want = expected(rec)
    assert len(messages) == len(want) > 0
    for e, m in zip(want, messages):
        assert e.differences(m) == []
    assert {m.channel for m in messages} >= {"CAN 1", "CAN 2", "CAN 3", "LIN 1"}


@pytest.mark.parametrize("name", list(make_recordings.RECORDINGS))
def test_named_recordings_yield_what_the_writer_expects(tmp_path, name):
    """Every recording of the test writer's named set: a broken one is
    refused, a record that gives no frame ends the iteration, and every other
    recording yields exactly the messages the writer expects of it."""
    rec, data = make_recordings.build(name)
    path = tmp_path / f"{name}.mf4"
    path.write_bytes(data)
    document = make_recordings.expected_document(name, rec, data)
    if not document["opens"]:
        with pytest.raises(RuntimeError, match="^Could not open data source$"):
            mod.MdfFile(str(path))
    elif any(m["kind"] is None for group in document["groups"] for m in group):
        with pytest.raises(RuntimeError, match="^Unknown bus type$"):
            read(path)
    else:
        messages = read(path)
        want = expected(rec, data)
        assert len(messages) == len(want) > 0
        for e, m in zip(want, messages):
            assert e.differences(m) == []


# -- messages hold what can.Message(**kwargs) holds ---------------------------------

SLOTS = [s for s in can.Message.__slots__ if s != "__weakref__"]
FLAGS = ("is_fd", "error_state_indicator", "bitrate_switch", "is_rx", "is_extended_id", "is_remote_frame",
         "is_error_frame")


def keywords(e):
    """The keyword arguments a reader written in Python would give
    can.Message for the writer's expectation `e`: plain ints, bools, a float,
    the channel's name and the payload as bytes."""
    kwargs = {name: getattr(e, name) for name in e.FIELDS}
    for name in FLAGS:
        kwargs[name] = bool(kwargs[name])
    kwargs["data"] = bytes(kwargs["data"])
    return kwargs


def state(message):
    """Every slot of a message with the exact type of its value; a slot left
    unset raises AttributeError here."""
    return {s: (type(getattr(message, s)), getattr(message, s)) for s in SLOTS}


@pytest.mark.parametrize("name", ["sample", "record_ids_1", "record_ids_8", "vlsd", "sd", "several_groups"])
def test_messages_hold_exactly_what_can_message_would(tmp_path, name):
    """Data, remote, error, FD, LIN and extended frames: each message read
    has the slots can.Message(**kwargs) fills from the same values (types
    included: a bytearray, bools, a float), and python-can's own code reads
    both alike."""
    path = make_recordings.write_named(tmp_path, name)
    rec, data = make_recordings.build(name)
    messages = read(path)
    want = expected(rec, data)
    assert len(messages) == len(want) > 0
    for e, m in zip(want, messages):
        kwargs = keywords(e)
        reference = can.Message(**kwargs)
        assert state(m) == state(reference), kwargs
        assert type(m).__mro__ == (mod.CanMsgExtension, can.Message, object)
        assert not hasattr(m, "__dict__")
        assert (str(m), repr(m)) == (str(reference), repr(reference))
        assert m.equals(reference, timestamp_delta=None) and reference.equals(m, timestamp_delta=None)
        # The type's own initialiser (can.Message.__init__) gives the same.
        made = mod.CanMsgExtension(**kwargs)
        assert state(made) == state(m) and hash(made) == hash(m)


def test_every_kind_is_among_the_compared_messages():
    rec, data = make_recordings.build("record_ids_1")
    want = expected(rec, data)
    assert {e.kind for e in want} == {"data", "remote", "error", "lin"}
    assert any(e.is_fd for e in want) and any(e.is_extended_id and e.kind == "data" for e in want)


def test_read_messages_copy_pickle_and_refer_weakly(sample):
    path, _ = sample
    for m in read(path):
        for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
            back = pickle.loads(pickle.dumps(m, protocol))
            assert type(back) is mod.CanMsgExtension and state(back) == state(m)
        for copied in (copy.copy(m), copy.deepcopy(m)):
            # can.Message's own copies are plain can.Messages.
            assert type(copied) is can.Message and state(copied) == state(m)
        assert weakref.ref(m)() is m
        m.data[:0] = b"\x00"  # a bytearray of its own, as can.Message keeps it
        assert isinstance(m.data, bytearray)


# -- iteration, merge and ties -------------------------------------------------------

def two_groups(tmp_path, times_a, times_b):
    w = RecordingWriter()
    a = w.data_group()
    a.can_channel_group(fd=False)
    a.add_frames(CanFrame(t, 0xA, b"a") for t in times_a)
    b = w.data_group()
    b.lin_channel_group()
    b.add_frames(LinFrame(t, 0xB, b"b") for t in times_b)
    path = tmp_path / "two.mf4"
    w.write(str(path))
    return path


def test_groups_merge_by_timestamp_and_ties_keep_group_order(tmp_path):
    path = two_groups(tmp_path, [0.1, 0.3, 0.5, 0.5], [0.0, 0.3, 0.4, 0.5])
    messages = read(path)
    assert [(round(m.timestamp % 1, 3), m.arbitration_id) for m in messages] == [
        (0.0, 0xB), (0.1, 0xA), (0.3, 0xA), (0.3, 0xB), (0.4, 0xB), (0.5, 0xA), (0.5, 0xA), (0.5, 0xB)]


def test_iterating_twice_yields_everything_twice(tmp_path):
    path = two_groups(tmp_path, [0.1, 0.2], [0.15])
    with mod.MdfFile(path) as reader:
        first = [(m.timestamp, m.arbitration_id) for m in reader]
        second = [(m.timestamp, m.arbitration_id) for m in reader]
    assert first == second and len(first) == 3


def test_recording_without_data_group_yields_nothing(tmp_path):
    path = tmp_path / "empty.mf4"
    RecordingWriter().write(str(path))
    assert read(path) == []


def test_iterator_keeps_raising_stop_iteration(tmp_path):
    path = two_groups(tmp_path, [0.1], [])
    with mod.MdfFile(path) as reader:
        iterators = group_iterators(reader)
        assert [type(i) for i in iterators] == [mod.MdfFileIterator] * 2
        assert iter(iterators[0]) is iterators[0]
        assert next(iterators[0]).arbitration_id == 0xA
        for _ in range(3):
            with pytest.raises(StopIteration):
                next(iterators[0])
        with pytest.raises(StopIteration):
            next(iterators[1])


def test_record_without_frame_raises_and_the_iterator_goes_on(tmp_path):
    w = RecordingWriter()
    g = w.data_group(record_id_size=1)
    g.lin_error_channel_group("ChecksumError")
    g.lin_channel_group()
    g.add_frame(LinError(0.1))
    g.add_frame(LinFrame(0.2, 0x11, b"\x01"))
    path = tmp_path / "lin_errors.mf4"
    w.write(str(path))
    with mod.MdfFile(path) as reader:
        (iterator,) = group_iterators(reader)
        with pytest.raises(RuntimeError, match="^Unknown bus type$"):
            next(iterator)
        assert next(iterator).arbitration_id == 0x11
        # Through the merge, the error ends the whole iteration.
        with pytest.raises(RuntimeError, match="^Unknown bus type$"):
            list(reader)


# -- comparison and hash --------------------------------------------------------------

def message(**fields):
    return mod.CanMsgExtension(**fields)


def test_constructor_takes_can_message_arguments():
    m = message(timestamp=2.0, arbitration_id=0x10, data=[1, 2], is_extended_id=False, channel="CAN 9")
    assert (m.timestamp, m.arbitration_id, bytes(m.data), m.dlc, m.channel) == (2.0, 0x10, b"\x01\x02", 2, "CAN 9")
    positional = mod.CanMsgExtension(3.0, 0x11)
    assert (positional.timestamp, positional.arbitration_id) == (3.0, 0x11)
    with pytest.raises(TypeError):
        mod.CanMsgExtension(no_such_field=1)


@pytest.mark.parametrize("other", [5, None, "text", 1.0])
def test_comparing_with_a_non_message_raises(other):
    m = message(timestamp=1.0)
    for compare in (lambda a, b: a == b, lambda a, b: a != b, lambda a, b: a < b,
                    lambda a, b: a <= b, lambda a, b: a > b, lambda a, b: a >= b):
        with pytest.raises(TypeError, match="^Attempting to compare incompatible classes$"):
            compare(m, other)


def test_comparisons_use_timestamps_only():
    m = message(timestamp=1.0, arbitration_id=1, data=b"x")
    same_time = can.Message(timestamp=1.0, arbitration_id=2, data=b"yy")
    later = can.Message(timestamp=2.0)
    assert m == same_time and not (m != same_time)
    assert m < later and m <= later and not (m > later) and not (m >= later)
    assert m <= same_time and m >= same_time
    assert later > m  # reflected through the message's own operation


class RetimedMessage(can.Message):
    """A can.Message whose timestamp attribute is its own property: a
    CanMsgExtension reads another message's timestamp as that class says."""

    __slots__ = ()

    @property
    def timestamp(self):
        return 5.0

    @timestamp.setter
    def timestamp(self, value):
        pass


OPERATIONS = {"<": lambda a, b: a < b, "<=": lambda a, b: a <= b, "==": lambda a, b: a == b,
              "!=": lambda a, b: a != b, ">": lambda a, b: a > b, ">=": lambda a, b: a >= b}


@pytest.mark.parametrize("left, right", [(1.0, 2.0), (2.0, 1.0), (1.0, 1.0), (math.nan, 1.0), (1.0, math.nan),
                                         (math.nan, math.nan), (-0.0, 0.0), (math.inf, 1e308)])
@pytest.mark.parametrize("other_kind", ["read", "constructed", "can.Message", "subclass"])
def test_comparisons_are_those_of_the_timestamps(tmp_path, left, right, other_kind):
    rec, messages = single_frame(tmp_path, lambda g: g.can_channel_group(fd=False), CanFrame(0.0, 1, b"x"))
    (m,) = messages
    m.timestamp = left
    if other_kind == "read":
        other = read(tmp_path / "one.mf4")[0]
        other.timestamp = right
    elif other_kind == "constructed":
        other = message(timestamp=right)
    elif other_kind == "can.Message":
        other = can.Message(timestamp=right)
    else:
        other = RetimedMessage(timestamp=right)
        right = 5.0
    for name, operation in OPERATIONS.items():
        assert operation(m, other) is operation(left, right), name
        assert operation(other, m) is operation(right, left), name


def test_comparing_a_message_without_timestamp_raises_attribute_error():
    m = message(timestamp=1.0)
    other = message(timestamp=2.0)
    del other.timestamp
    with pytest.raises(AttributeError):
        m < other
    with pytest.raises(AttributeError):
        other == m
    m.timestamp = "soon"
    with pytest.raises(TypeError):
        m < message(timestamp=1.0)


def test_nan_timestamps_compare_unequal():
    m = message(timestamp=math.nan)
    other = message(timestamp=math.nan)
    assert [m < other, m <= other, m == other, m > other, m >= other] == [False] * 5
    assert m != other


def test_hash_covers_the_fields():
    fields = dict(timestamp=1.0, arbitration_id=0x42, is_extended_id=False, data=b"\x01\x02", channel="CAN 1",
                  is_fd=True, bitrate_switch=True)
    a, b = message(**fields), message(**fields)
    assert hash(a) == hash(b)
    assert hash(a) == hash((a.timestamp, a.arbitration_id, a.is_extended_id, a.is_remote_frame, a.is_error_frame,
                            a.channel, a.dlc, str(a.data), a.is_fd, a.is_rx, a.bitrate_switch,
                            a.error_state_indicator))
    assert hash(message(**dict(fields, data=b"\x01\x03"))) != hash(a)
    assert len({a, b}) == 1


def test_hash_fails_with_the_attribute_error():
    m = message(timestamp=1.0)
    m.channel = [1, 2]  # unhashable
    with pytest.raises(TypeError):
        hash(m)


# -- the record count a recording states ----------------------------------------------

@pytest.mark.parametrize("name", ["plain", "record_ids_2", "single_group_with_ids", "vlsd", "sd",
                                  "several_groups", "composed", "conversions", "metadata"])
def test_stated_record_count_is_the_frames_of_a_finished_recording(tmp_path, name):
    path = make_recordings.write_named(tmp_path, name)
    with mod.MdfFile(path) as reader:
        count = reader.get_record_count()
        assert count == len(list(reader)) > 0
        # Stated, not counted: iterating changes nothing.
        assert reader.get_record_count() == count


def test_stated_record_count_of_an_unfinished_recording_is_what_it_states(tmp_path):
    rec, data = make_recordings.build("unfinalised")
    path = tmp_path / "unfinalised.mf4"
    path.write_bytes(data)
    with mod.MdfFile(path) as reader:
        stated = reader.get_record_count()
        frames = len(list(reader))
    # The writer counted the records it meant to write; the cut file holds fewer.
    assert stated == sum(len(g.records) for g in rec.groups if g.records) > frames > 0


def test_stated_record_count_needs_an_open_reader(tmp_path):
    path = two_groups(tmp_path, [0.1], [0.2])
    reader = mod.MdfFile(path)
    assert reader.get_record_count() == 2
    reader.close()
    with pytest.raises(RuntimeError, match="^Handle has been closed$"):
        reader.get_record_count()
