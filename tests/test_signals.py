"""Signals decoded from a CAN database: decode_to_numpy, decode_to_pandas and
decode_to_arrow give, for every frame iteration gives, what the reference
decoder and cantools' own decoding give of it, on databases of every feature
and on every kind of test recording, filters included; the rules of keys,
signals, choices and channels; bad input; the interpreter lock."""

from __future__ import annotations

import io
import logging
import math
import pathlib
import random
import struct
import subprocess
import sys
import textwrap

import pytest

cantools = pytest.importorskip("cantools")
np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")

import make_recordings as mr  # noqa: E402
import python_can_tolvar_mf4 as mod  # noqa: E402
import signal_databases as sd  # noqa: E402
import signal_reference as ref  # noqa: E402
from cantools.database.can import Database, Message  # noqa: E402
from mdf_writer import CanFrame  # noqa: E402
from reading import RELEASED_LOCK_STEPS, exact  # noqa: E402
from signal_frames import expected_tables, frames_of, is_can_data, write_recording  # noqa: E402
from table_recordings import RECORDINGS as TABLE_RECORDINGS  # noqa: E402

# -- what decoding must give -------------------------------------------------------


def by_name(message):
    return message.name


def assert_numpy(got, expected, choices=False):
    assert list(got) == list(expected)
    for key, columns in expected.items():
        table = got[key]
        assert list(table) == list(columns), key
        for name, values in columns.items():
            array = table[name]
            assert len(array) == len(values), (key, name)
            if name == "timestamp":
                assert array.dtype == np.float64
                assert [exact(v) for v in array.tolist()] == [exact(v) for v in values], key
            elif name == "channel":
                assert array.dtype.kind == "U" and array.tolist() == values, key
            elif name == "source_address":
                assert array.dtype == np.uint8 and array.tolist() == values, key
            elif array.dtype.kind == "U":
                assert choices
                assert array.tolist() == ["" if v is None else v for v in values], (key, name)
            else:
                assert array.dtype == np.float64, (key, name)
                for i, (a, b) in enumerate(zip(array.tolist(), values)):
                    same = math.isnan(a) if b is None else ref.same_value(a, b)
                    assert same, (key, name, i, a, b)


def decoded_against_reference(path, database, served=None, choices=False, signals=None, chosen=None, **options):
    """decode_to_numpy of the recording against the reference tables of the
    frames its iteration gives; returns the tables."""
    with mod.MdfFile(path, **options) as reader:
        got = reader.decode_to_numpy(database, signals=signals, choices=choices)
        messages = list(reader)
    if served is None:
        served = [(None, database, by_name)]
    expected, checked = expected_tables(messages, served, choices, chosen)
    assert_numpy(got, expected, choices)
    # cantools decoded most frames the same (it refuses a few multiplexer values).
    decoded = sum(len(t["timestamp"]) for t in expected.values())
    assert checked >= decoded * 0.7 if chosen is None else checked > 0
    return got


# -- databases of every feature --------------------------------------------------


DATABASES = {
    "every position": lambda: sd.every_position((1, 2, 7, 8, 9, 15, 16, 17, 31, 32, 33, 53, 63, 64)),
    "floats, scale and offset": sd.numbers,
    "multiplexed": sd.multiplexed,
    "J1939": sd.j1939,
    "value tables": sd.value_tables,
}


@pytest.mark.parametrize("name", DATABASES)
def test_every_feature_against_cantools_and_the_reference(tmp_path, name):
    db = DATABASES[name]()
    per_message = 2 if name == "every position" else 60
    path = write_recording(tmp_path / "frames.mf4", frames_of(db, per_message))
    got = decoded_against_reference(path, db)
    assert sum(len(t["timestamp"]) for t in got.values()) >= len(db.messages)


def test_value_tables_as_names(tmp_path):
    db = sd.value_tables()
    path = write_recording(tmp_path / "gear.mf4", frames_of(db, 200))
    got = decoded_against_reference(path, db, choices=True)
    position = got["Gear"]["Position"]
    assert set(position.tolist()) <= {"Park", "Reverse", "Neutral", "Drive", "Invalid", ""}
    assert {"Park", ""} <= set(position.tolist())
    # A signal without a value table stays a number.
    assert got["Gear"]["Plain"].dtype == np.float64


def test_a_database_given_as_a_path_and_as_a_dbc_file(tmp_path):
    db = sd.multiplexed()
    path = write_recording(tmp_path / "mux.mf4", frames_of(db, 40))
    dbc = tmp_path / "mux.dbc"
    dbc.write_text(sd.MULTIPLEXED_DBC)
    from_object = decoded_against_reference(path, db)
    with mod.MdfFile(path) as reader:
        for given in (str(dbc), dbc):
            from_path = reader.decode_to_numpy(given)
            assert list(from_path) == list(from_object)
            for key in from_path:
                for name in from_path[key]:
                    np.testing.assert_array_equal(from_path[key][name], from_object[key][name])


# -- databases per channel -------------------------------------------------------


def test_one_database_per_channel_keys_shared_names_by_channel(tmp_path):
    one, two = sd.per_channel()
    frames = frames_of(one, 30, seed=2, channels=(1, 3)) + frames_of(two, 30, seed=3, channels=(2, 3))
    path = write_recording(tmp_path / "buses.mf4", frames)

    def keyed(channel):
        return lambda m: f"{channel}.{m.name}" if m.name == "Status" else m.name

    served = [(["CAN 1"], one, keyed("CAN 1")), (["CAN 2"], two, keyed("CAN 2"))]
    got = decoded_against_reference(path, {"CAN 1": one, "CAN 2": two}, served)
    assert list(got) == ["CAN 1.Status", "OnlyOne", "CAN 2.Status", "OnlyTwo"]
    assert set(got["CAN 1.Status"]) == {"timestamp", "channel", "a", "b"}
    assert set(got["CAN 2.Status"]["channel"].tolist()) == {"CAN 2"}
    # Frames of CAN 3 were in the recording, and nothing decoded them.
    with mod.MdfFile(path) as reader:
        assert sum(m.channel == "CAN 3" for m in reader) > 0


def test_one_database_on_two_channels_shares_a_name_with_another(tmp_path):
    one, two = sd.per_channel()
    frames = frames_of(one, 20, seed=2, channels=(1, 2)) + frames_of(two, 20, seed=3, channels=(3,))
    path = write_recording(tmp_path / "buses.mf4", frames)
    with mod.MdfFile(path) as reader:
        got = reader.decode_to_numpy({"CAN 1": one, "CAN 2": one, "CAN 3": two})
    assert list(got) == ["CAN 1.Status", "CAN 1.OnlyOne", "CAN 2.Status", "CAN 2.OnlyOne", "CAN 3.Status", "OnlyTwo"]
    assert set(got["CAN 2.OnlyOne"]["channel"].tolist()) == {"CAN 2"}


def test_two_messages_of_one_name_in_one_database(tmp_path):
    db = Database([Message(0x10, "Twin", 8, [sd.signal("a", 0, 8)]),
                   Message(0x11, "Twin", 8, [sd.signal("b", 0, 8)])], strict=False)
    path = write_recording(tmp_path / "twins.mf4", [CanFrame(0, 0x10, b"\x01"), CanFrame(0, 0x11, b"\x02")])
    with mod.MdfFile(path) as reader:
        got = reader.decode_to_numpy(db)
    assert {k: list(t) for k, t in got.items()} == {"Twin": ["timestamp", "channel", "a"],
                                                    "Twin#2": ["timestamp", "channel", "b"]}


# -- the choice of signals --------------------------------------------------------


def test_chosen_signals_alone_with_the_multiplexers_that_select_them(tmp_path):
    db = sd.multiplexed()
    path = write_recording(tmp_path / "mux.mf4", frames_of(db, 80))
    chosen = {"Cascaded": {"Deepest", "Other"}}
    got = decoded_against_reference(path, db, signals=["Deepest", "Cascaded.Other"], chosen=chosen)
    assert list(got) == ["Cascaded"]
    assert list(got["Cascaded"]) == ["timestamp", "channel", "Other", "Deepest"]
    assert not np.isnan(got["Cascaded"]["Deepest"]).all()


def test_unknown_signal_names_raise_naming_them(tmp_path):
    path = write_recording(tmp_path / "mux.mf4", frames_of(sd.multiplexed(), 5))
    with mod.MdfFile(path) as reader:
        with pytest.raises(ValueError, match="'Nowhere'"):
            reader.decode_to_numpy(sd.multiplexed(), signals=["Leaf", "Nowhere"])
        with pytest.raises(ValueError, match="'Simple.Leaf'"):
            reader.decode_to_numpy(sd.multiplexed(), signals=["Simple.Leaf"])
        with pytest.raises(TypeError, match="signals"):
            reader.decode_to_numpy(sd.multiplexed(), signals="Leaf")


# -- the tables' forms -----------------------------------------------------------


def test_pandas_and_arrow_hold_what_numpy_holds(tmp_path):
    db = sd.numbers()
    frames = frames_of(db, 50)
    # A float NaN decoded from a frame is a value; only absent signals are null.
    nan = bytearray(32)
    nan[4:8] = struct.pack("<f", float("nan"))
    frames.append(CanFrame(0, 0x101, bytes(nan), is_fd=True))
    path = write_recording(tmp_path / "numbers.mf4", frames)
    with mod.MdfFile(path) as reader:
        arrays = reader.decode_to_numpy(db)
        frame = reader.decode_to_pandas(db)
        table = reader.decode_to_arrow(db)
    assert list(arrays) == list(frame) == list(table) == ["Floats", "Scaled", "Wide"]
    for key, columns in arrays.items():
        assert list(frame[key].columns) == list(columns) == table[key].column_names
        for name, array in columns.items():
            series, column = frame[key][name], table[key].column(name)
            if name == "channel":
                assert series.dtype == "category" and series.astype(str).tolist() == array.tolist()
                assert pa.types.is_dictionary(column.type) and column.to_pylist() == array.tolist()
                continue
            np.testing.assert_array_equal(series.to_numpy(), array)
            assert column.type == pa.from_numpy_dtype(array.dtype)
            values = column.to_pylist()
            absent = np.isnan(array) & (array.view(np.uint64) == 0x7FF80000DEC0DE00)
            assert [v is None for v in values] == absent.tolist(), (key, name)
            present = [v for v, a in zip(values, absent) if not a]
            np.testing.assert_array_equal(np.array(present, dtype=np.float64), array[~absent])
    assert math.isnan(table["Floats"].column("f_le").to_pylist()[-1])


def test_choices_in_pandas_and_arrow(tmp_path):
    db = sd.value_tables()
    path = write_recording(tmp_path / "gear.mf4", frames_of(db, 100))
    with mod.MdfFile(path) as reader:
        names = reader.decode_to_numpy(db, choices=True)["Gear"]
        frame = reader.decode_to_pandas(db, choices=True)["Gear"]
        table = reader.decode_to_arrow(db, choices=True)["Gear"]
    position = frame["Position"]
    assert position.dtype == "category"
    assert list(position.cat.categories) == ["Park", "Reverse", "Neutral", "Drive", "Invalid"]
    assert [None if pd.isna(v) else v for v in position] == [v or None for v in names["Position"].tolist()]
    column = table.column("Signed")
    assert pa.types.is_dictionary(column.type)
    assert column.to_pylist() == [v or None for v in names["Signed"].tolist()]
    assert table.column("Plain").type == pa.float64()


def test_j1939_tables_carry_the_source_address(tmp_path):
    db = sd.j1939()
    path = write_recording(tmp_path / "j1939.mf4", frames_of(db, 40))
    with mod.MdfFile(path) as reader:
        table = reader.decode_to_arrow(db)
    assert table["EEC1"].column_names == ["timestamp", "channel", "source_address", "EngineSpeed"]
    assert table["EEC1"].column("source_address").type == pa.uint8()
    assert table["Plain"].column_names == ["timestamp", "channel", "Value"]
    # The source addresses of the frames, whatever they were.
    assert len(set(table["EEC1"].column("source_address").to_pylist())) > 5


def test_signals_named_as_a_tables_own_columns_keep_both(tmp_path):
    db = Database([Message(0x20, "Clock", 8, [sd.signal("timestamp", 0, 32), sd.signal("channel", 32, 8)])])
    path = write_recording(tmp_path / "clock.mf4", [CanFrame(0, 0x20, bytes([1, 0, 0, 0, 7]))])
    with mod.MdfFile(path) as reader:
        table = reader.decode_to_numpy(db)["Clock"]
    assert list(table) == ["timestamp", "channel", "Clock.timestamp", "Clock.channel"]
    assert table["Clock.timestamp"].tolist() == [1.0] and table["channel"].tolist() == ["CAN 1"]


def test_messages_longer_than_a_frame_are_left_out_with_a_log_line(tmp_path, caplog):
    db = Database([Message(0x30, "Transport", 100, [sd.signal("a", 0, 8)], strict=False),
                   Message(0x31, "Short", 8, [sd.signal("b", 0, 8)])], strict=False)
    path = write_recording(tmp_path / "long.mf4", [CanFrame(0, 0x30, b"\x01"), CanFrame(0, 0x31, b"\x02")])
    with caplog.at_level(logging.WARNING, logger="python_can_tolvar_mf4"):
        with mod.MdfFile(path) as reader:
            got = reader.decode_to_numpy(db)
    assert list(got) == ["Short"]
    assert any("'Transport'" in r.getMessage() and "100 bytes" in r.getMessage() for r in caplog.records)


# -- every kind of recording: plain, layered, other writers, with filters ------------


def database_for(messages, seed=5):
    """A database of the recording's identifiers: a message for each of up to
    30 identifiers of CAN data frames, as long as its longest frame less a
    byte (so some frames are long), with signals of both byte orders, signed,
    scaled and one multiplexed."""
    rng = random.Random(seed)
    longest = {}
    for m in messages:
        if is_can_data(m):
            key = (m.arbitration_id, m.is_extended_id)
            longest[key] = max(longest.get(key, 0), len(m.data))
    out = []
    for i, ((frame_id, extended), n) in enumerate(sorted(longest.items())[:30]):
        length = max(1, n - 1)
        signals = [sd.signal("mux", 0, 2, is_multiplexer=True)]
        bits = 8 * length
        signals.append(sd.signal("lo", 2, min(6, bits - 2), scale=0.5, offset=-1))
        if bits >= 16:
            signals.append(sd.signal("x1", 8, min(bits - 8, 12), multiplexer_ids=[1, 2], multiplexer_signal="mux"))
            signals.append(sd.signal("x0", sd.sawtooth(8), min(bits - 8, 24), "big_endian", is_signed=True,
                                     multiplexer_ids=[0], multiplexer_signal="mux"))
        if bits >= 40:
            signals.append(sd.signal("wide", sd.sawtooth(bits - rng.randrange(9, 33)), 8, "big_endian"))
        out.append(Message(frame_id, f"M{i}", length, signals, is_extended_frame=extended, strict=False))
    return Database(out, strict=False)


# The kinds of recording the table tests read, but for the filler shapes.
RECORDINGS = {name: TABLE_RECORDINGS[name] for name in (
    "plain", "record_ids_2", "vlsd", "sd", "several_groups", "composed", "conversions", "unfinalised", "encrypted",
    "file_object", "python-can, compressed", "asammdf, compressed list", "other writer: data list of compressed blocks",
    "other writer: header list, transposed", "other writer: VLSD group first")}


@pytest.mark.parametrize("kind", RECORDINGS)
def test_every_recording_decodes_as_its_frames(tmp_path, kind):
    source, options = RECORDINGS[kind](tmp_path)
    with mod.MdfFile(source, **options) as reader:
        db = database_for(list(reader))
    if isinstance(source, io.BytesIO):
        source.seek(0)
    got = decoded_against_reference(source, db, **options)
    assert got, "no frame of the recording decoded"


FILTERS = {
    "identifiers": lambda origin: {"can_filters": [{"can_id": 0x201, "can_mask": 0x7FF}]},
    "channels": lambda origin: {"channels": ["CAN 2"]},
    "window": lambda origin: {"start": origin + 0.05, "stop": origin + 0.15},
    "all": lambda origin: {"can_filters": [{"can_id": 0, "can_mask": 0}], "channels": ["CAN 1", "LIN 1"],
                           "start": origin + 0.02},
}


@pytest.mark.parametrize("which", FILTERS)
def test_filters_select_what_is_decoded(tmp_path, which):
    db = sd.multiplexed()
    frames = frames_of(db, 150, channels=(1, 2))
    frames += [CanFrame(0, 0x100 + k, bytes(8), channel=1 + k % 2) for k in range(40)]
    path = write_recording(tmp_path / "filtered.mf4", frames)
    with mod.MdfFile(path) as reader:
        origin = reader.start_timestamp
        everything = reader.decode_to_numpy(db)
    filtered = decoded_against_reference(path, db, **FILTERS[which](origin))
    rows = sum(len(t["timestamp"]) for t in filtered.values())
    assert 0 < rows < sum(len(t["timestamp"]) for t in everything.values())


# -- bad input ---------------------------------------------------------------------


@pytest.fixture
def gear_reader(tmp_path):
    path = write_recording(tmp_path / "gear.mf4", frames_of(sd.value_tables(), 20))
    with mod.MdfFile(path) as reader:
        yield reader


def bad_dbc(tmp_path):
    path = tmp_path / "bad.dbc"
    path.write_text("this is no database\n")
    return str(path)


BAD_DATABASES = {
    "missing path": (lambda tmp: str(tmp / "missing.dbc"), FileNotFoundError, "missing.dbc"),
    "not a database": (lambda tmp: 42, TypeError, "database"),
    "mapping to no database": (lambda tmp: {"CAN 1": 3.5}, TypeError, "database"),
    "channel that is no str": (lambda tmp: {1: sd.value_tables()}, TypeError, "channel"),
    "channel that is no CAN channel": (lambda tmp: {"CAN1": sd.value_tables()}, ValueError, "'CAN1'"),
    "LIN channel": (lambda tmp: {"LIN 1": sd.value_tables()}, ValueError, "'LIN 1'"),
    "unreadable file": (bad_dbc, cantools.database.UnsupportedDatabaseFormatError, "Invalid syntax"),
    "undecodable signal": (lambda tmp: Database([Message(0x300, "Odd", 8, [
        sd.signal("half", 0, 12, is_float=True)], strict=False)], strict=False), ValueError, "'half' of message 'Odd'"),
}


@pytest.mark.parametrize("case", BAD_DATABASES)
def test_bad_databases_raise_and_leave_the_reader_as_it_was(tmp_path, gear_reader, case):
    make, error, text = BAD_DATABASES[case]
    before = [str(m) for m in gear_reader]
    tables = gear_reader.decode_to_numpy(sd.value_tables())
    with pytest.raises(error, match=text):
        gear_reader.decode_to_numpy(make(tmp_path))
    assert [str(m) for m in gear_reader] == before
    again = gear_reader.decode_to_numpy(sd.value_tables())
    np.testing.assert_array_equal(again["Gear"]["Position"], tables["Gear"]["Position"])


def test_arguments(gear_reader):
    with pytest.raises(TypeError):
        gear_reader.decode_to_numpy()
    with pytest.raises(TypeError):
        gear_reader.decode_to_pandas(sd.value_tables(), None)  # signals is a keyword
    with pytest.raises(TypeError, match="decode_to_arrow"):
        gear_reader.decode_to_arrow(sd.value_tables(), colour=True)
    assert gear_reader.decode_to_numpy(database=sd.value_tables(), signals=None, choices=1)


def test_a_closed_reader_raises(tmp_path):
    path = write_recording(tmp_path / "gear.mf4", frames_of(sd.value_tables(), 5))
    reader = mod.MdfFile(path)
    reader.close()
    with pytest.raises(RuntimeError, match="Handle has been closed"):
        reader.decode_to_pandas(sd.value_tables())


def test_without_cantools_the_error_names_the_extra(tmp_path):
    path = write_recording(tmp_path / "gear.mf4", frames_of(sd.value_tables(), 5))
    code = textwrap.dedent(f"""
        import sys
        sys.modules["cantools"] = None
        import python_can_tolvar_mf4 as mod
        with mod.MdfFile({path!r}) as reader:
            try:
                reader.decode_to_numpy("any.dbc")
            except ImportError as error:
                print(error)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "python_can_tolvar_mf4[decode]" in out


def test_typed_example_decodes_the_sample(tmp_path):
    import typed_example

    dbc = tmp_path / "vehicle.dbc"
    dbc.write_text(sd.VEHICLE_DBC)
    sample = pathlib.Path(__file__).resolve().parent / "data" / "sample.mf4"
    assert typed_example.decoded(sample, dbc) == [
        "Engine: 1 rows of timestamp, channel, Speed",
        "Engine: 1 rows of timestamp, channel, Speed, Temperature, Gear",
        "Battery: 1 rows of timestamp, channel, Current, Voltage",
        "Engine: 1 rows of timestamp, channel, Gear",
        "Battery: 1 rows of timestamp, channel, Voltage",
        "Engine: 1 rows streamed",
        "Battery: 1 rows streamed",
    ]


# -- the interpreter lock --------------------------------------------------------------


def test_lock_is_released_while_frames_decode(tmp_path, progress_during):
    path = tmp_path / "large.mf4"
    mr.write_large(str(path), 150_000)
    db = Database([Message(k, f"C{k}", 8, [sd.signal("count", 0, 16), sd.signal("group", 56, 8)])
                   for k in range(0x800)] +
                  [Message(0x100 + k, f"F{k}", 64, [sd.signal("first", 0, 8), sd.signal("rest", 8, 32)],
                           is_extended_frame=True, is_fd=True) for k in range(0x100)])
    with mod.MdfFile(str(path)) as reader:
        assert progress_during(lambda: reader.decode_to_numpy(db)) > RELEASED_LOCK_STEPS


def rows_with_nan(table):
    """The table's values by column, NaN as a value that equals itself."""
    return {name: ["NaN" if isinstance(v, float) and math.isnan(v) else v for v in column.to_pylist()]
            for name, column in zip(table.column_names, table.columns)}


def test_decoded_batches_stream_each_message_in_batches(tmp_path):
    db = sd.numbers()
    path = write_recording(tmp_path / "numbers.mf4", frames_of(db, 40))
    with mod.MdfFile(path, batch_rows=7) as reader:
        tables = reader.decode_to_arrow(db)
        for name, table in tables.items():
            stream = reader.decoded_batches(db, name)
            batches = list(stream)
            assert batches and all(b.num_rows <= 7 for b in batches)
            got = pa.Table.from_batches(batches, schema=stream.schema)
            assert got.schema == table.schema and rows_with_nan(got) == rows_with_nan(table), name
        # A stream is what DuckDB queries and polars imports.
        duckdb = pytest.importorskip("duckdb")
        stream = reader.decoded_batches(db, "Scaled", choices=True)
        assert duckdb.sql("SELECT count(*) FROM stream").fetchall() == [(tables["Scaled"].num_rows,)]
        chosen = reader.decoded_batches(db, "Wide", signals=["Wide.s60_be"]).read_all()
        assert chosen.column_names == ["timestamp", "channel", "s60_be"]
        assert chosen.column("s60_be").equals(tables["Wide"].column("s60_be"))
        with pytest.raises(ValueError, match="unknown message 'Nowhere'"):
            reader.decoded_batches(db, "Nowhere")
        with pytest.raises(TypeError, match="single str"):
            reader.decoded_batches(db, "Wide", signals="s60_be")
    with pytest.raises(RuntimeError, match="Handle has been closed"):
        reader.decoded_batches(db, "Wide")
