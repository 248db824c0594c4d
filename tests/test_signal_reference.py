"""The reference decoder (signal_reference) against cantools' own decoding,
frame by frame, on the test databases (signal_databases): every value the
two give must agree, and where they part, it is only where our rules differ
from cantools' on purpose (a multiplexer value cantools does not know, a
scaled multiplexer)."""

import itertools

import pytest

cantools = pytest.importorskip("cantools")

import signal_databases as sd  # noqa: E402
import signal_reference as ref  # noqa: E402
from cantools.database.errors import DecodeError  # noqa: E402

LENGTHS = (1, 2, 7, 8, 9, 15, 16, 17, 31, 32, 33, 53, 63, 64)


def agree(db, payloads, choices=False):
    """Decodes every payload both ways; returns how many frames cantools
    decoded, and how many it refused (DecodeError)."""
    decoded = refused = 0
    for message in db.messages:
        for data in payloads(message):
            ours = ref.decode_row(message, data, choices)
            try:
                theirs = ref.cantools_row(message, data, choices)
            except DecodeError:
                refused += 1
                continue
            decoded += 1
            for name, value in ours.items():
                assert ref.same_value(value, theirs[name]), (message.name, name, data.hex(), value, theirs[name])
    return decoded, refused


@pytest.fixture(scope="module")
def positions():
    return sd.every_position(LENGTHS)


@pytest.mark.parametrize("lengths", [(), (0, 1, 5, 8, 9, 31, 63, 64, 65)], ids=["whole", "short and long"])
def test_every_position(positions, lengths):
    decoded, refused = agree(positions, lambda m: sd.random_payloads(m, 2, lengths=lengths))
    assert decoded == 2 * len(positions.messages) and refused == 0


@pytest.mark.parametrize("lengths", [(), tuple(range(70))], ids=["whole", "every length"])
def test_floats_scale_and_offset(lengths):
    decoded, refused = agree(sd.numbers(), lambda m: sd.random_payloads(m, 140, lengths=lengths))
    assert decoded == 3 * 140 and refused == 0


@pytest.mark.parametrize("cut", [False, True], ids=["whole", "short"])
def test_multiplexing(cut):
    def payloads(message):
        frames = sd.selecting_payloads(message, 400, seed=5, unknown=0.0)
        return (d[:n] for d, n in zip(frames, itertools.cycle(range(10)))) if cut else frames

    decoded, refused = agree(sd.multiplexed(), payloads)
    assert refused == 0 and decoded == 800


def test_unknown_multiplexer_values():
    # cantools refuses the whole frame; by our rules only what the unknown
    # value would select is absent.
    cascaded = sd.multiplexed().get_message_by_name("Cascaded")
    data = bytearray(8)
    sd.set_raw(data, cascaded.get_signal_by_name("Outer"), 1)
    sd.set_raw(data, cascaded.get_signal_by_name("Inner"), 9)
    with pytest.raises(DecodeError):
        cascaded.decode(bytes(data), allow_truncated=True)
    row = ref.decode_row(cascaded, bytes(data))
    assert row["Outer"] == 1.0 and row["Inner"] == 9.0
    assert row["Leaf"] is row["Other"] is row["Deep"] is row["Deepest"] is None


def test_scaled_multiplexer_selects_by_raw_value():
    mux = sd.signal("Mux", 0, 8, scale=2, offset=1, is_multiplexer=True)
    child = sd.signal("Child", 8, 8, multiplexer_ids=[3], multiplexer_signal="Mux")
    message = cantools.database.can.Message(0x10, "M", 8, [mux, child])
    ours = ref.decode_row(message, bytes([3, 0x42]))
    assert ours["Mux"] == 7.0 and ours["Child"] == 0x42
    # cantools compares int(2 * 3 + 1) = 7 with the selector 3.
    with pytest.raises(DecodeError):
        message.decode(bytes([3, 0x42]))


def test_j1939():
    db = sd.j1939()
    assert [m.protocol for m in db.messages] == ["j1939", "j1939", None]
    decoded, refused = agree(db, lambda m: sd.random_payloads(m, 50, lengths=(8, 3)))
    assert decoded == 150 and refused == 0


@pytest.mark.parametrize("choices", [False, True])
def test_value_tables(choices):
    decoded, refused = agree(sd.value_tables(), lambda m: sd.random_payloads(m, 300, lengths=(8, 1, 2)), choices)
    assert decoded == 300 and refused == 0
    gear = sd.value_tables().get_message_by_name("Gear")
    row = ref.decode_row(gear, bytes([3, 0xFF, 3, 9]), choices=True)
    assert row == {"Position": "Drive", "Signed": "Minus", "Scaled": "Three", "Plain": 9.0}
    assert ref.decode_row(gear, bytes([4, 5]), choices=True) == {
        "Position": None, "Signed": None, "Scaled": None, "Plain": None}


def test_per_channel_databases_share_a_name():
    one, two = sd.per_channel()
    status_one, status_two = one.get_message_by_name("Status"), two.get_message_by_name("Status")
    assert status_one.frame_id == status_two.frame_id
    assert ref.decode_row(status_one, b"\xff\xfe") == {"a": 255.0, "b": 254.0}
    assert ref.decode_row(status_two, b"\xff\xfe") == {"c": -257.0}


def test_set_raw_is_the_inverse_of_raw_bits(positions):
    rng = __import__("random").Random(3)
    for message in positions.messages[::17]:
        data = bytearray(64)
        values = {s.name: rng.getrandbits(s.length) for s in message.signals}
        for s in message.signals:
            sd.set_raw(data, s, values[s.name])
        for s in message.signals:
            assert ref.raw_bits(bytes(data), s.start, s.length, s.byte_order) == values[s.name]
