"""The command line's --dbc: decoded frames printed one line each in
iteration's order (time, channel, message, signal=value unit), or one CSV
file per message into a folder written in place; databases per bus, filters,
and the errors told in one line."""

from __future__ import annotations

import csv
import math
import os
import sys

import pytest

cantools = pytest.importorskip("cantools")
pytest.importorskip("numpy")

import python_can_tolvar_mf4 as mod  # noqa: E402
import signal_databases as sd  # noqa: E402
from mdf_writer import CanFrame  # noqa: E402
from reading import cli_source_module, run_cli  # noqa: E402
from signal_frames import expected_tables, frames_of, write_recording  # noqa: E402


def number(value):
    return str(int(value)) if value == int(value) and abs(value) < 1e16 else repr(value)


def expected_lines(path, served, units, **options):
    """The lines of every decoded frame in iteration's order, from the
    reference decoder's tables."""
    with mod.MdfFile(str(path), **options) as reader:
        messages = list(reader)
    tables, _ = expected_tables(messages, served, positions=True)
    lines = []
    for key, columns in tables.items():
        names = [n for n in columns if n not in ("timestamp", "channel", "source_address", "row")]
        for i, k in enumerate(columns["row"]):
            fields = [f"{n}={number(columns[n][i])}{' ' + units[n] if units.get(n) else ''}"
                      for n in names if columns[n][i] is not None]
            lines.append((k, "  ".join([f"{columns['timestamp'][i]:.6f}", columns["channel"][i], key] + fields)))
    return [line for _, line in sorted(lines)]


@pytest.fixture(scope="module")
def cli():
    """The program's source in this tree, to run main() in this process."""
    with cli_source_module("signal_cli_under_test") as module:
        yield module


@pytest.fixture(scope="module")
def multiplexed(tmp_path_factory):
    folder = tmp_path_factory.mktemp("dbc")
    dbc = folder / "mux.dbc"
    dbc.write_text(sd.MULTIPLEXED_DBC)
    path = write_recording(folder / "mux.mf4", frames_of(sd.multiplexed(), 60))
    return path, dbc


def test_prints_one_line_per_decoded_frame_in_order(multiplexed):
    path, dbc = multiplexed
    out = run_cli(path, "--dbc", dbc)
    assert out.returncode == 0, out.stderr
    expected = expected_lines(path, [(None, sd.multiplexed(), lambda m: m.name)], {})
    assert out.stdout.splitlines() == expected
    assert len(expected) > 100 and out.stderr == ""


def test_units_follow_values(tmp_path):
    db = sd.j1939()
    path = write_recording(tmp_path / "j1939.mf4", frames_of(db, 20))
    dbc = tmp_path / "j1939.dbc"
    dbc.write_text(sd.J1939_DBC)
    out = run_cli(path, "--dbc", dbc)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    speed = [line for line in lines if "  EEC1  " in line]
    assert speed and all(line.endswith(" rpm") and "EngineSpeed=" in line for line in speed)
    assert all(line.split("  ")[1] in ("CAN 1", "CAN 2") for line in lines)


def test_filters_apply_to_what_is_decoded(multiplexed):
    path, dbc = multiplexed
    out = run_cli(path, "--dbc", dbc, "--channel", "CAN 2", "--start", "0.01", "--filter", "201:7FF")
    assert out.returncode == 0, out.stderr
    with mod.MdfFile(str(path)) as reader:
        origin = reader.start_timestamp
    served = [(None, sd.multiplexed(), lambda m: m.name)]
    expected = expected_lines(path, served, {}, channels=["CAN 2"], start=origin + 0.01,
                              can_filters=[{"can_id": 0x201, "can_mask": 0x7FF}])
    assert out.stdout.splitlines() == expected
    assert expected and all("  CAN 2  Cascaded" in line for line in expected)


def read_csv(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.reader(f))


def test_one_csv_file_per_message_into_a_new_folder(multiplexed, tmp_path):
    path, dbc = multiplexed
    folder = tmp_path / "out" / "signals"
    out = run_cli(path, "--dbc", dbc, "-o", folder)
    assert out.returncode == 0, out.stderr
    assert sorted(os.listdir(folder)) == ["Cascaded.csv", "Simple.csv"]
    with mod.MdfFile(str(path)) as reader:
        tables = reader.decode_to_numpy(str(dbc))
    for key, table in tables.items():
        rows = read_csv(folder / f"{key}.csv")
        assert rows[0] == list(table)
        assert len(rows) == len(table["timestamp"]) + 1
        for i, row in enumerate(rows[1:]):
            for name, cell in zip(rows[0], row):
                value = table[name][i]
                if name == "channel":
                    assert cell == value
                elif math.isnan(value):
                    assert cell == ""
                else:
                    assert float(cell) == value, (key, name, i)


def test_one_parquet_file_per_message(cli, multiplexed, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    path, dbc = multiplexed
    folder = tmp_path / "parquet"
    assert cli.main([str(path), "--dbc", str(dbc), "-o", str(folder), "--signal-format", "parquet"]) == 0
    assert sorted(os.listdir(folder)) == ["Cascaded.parquet", "Simple.parquet"]
    with mod.MdfFile(str(path)) as reader:
        tables = reader.decode_to_arrow(str(dbc))
    for key, table in tables.items():
        got = pq.read_table(folder / f"{key}.parquet")
        assert got.column_names == table.column_names and got.num_rows == table.num_rows
        for name in table.column_names:
            assert got.column(name).to_pylist() == table.column(name).to_pylist(), (key, name)


def test_databases_per_bus_name_shared_messages_by_channel(tmp_path):
    one, two = sd.per_channel()
    frames = frames_of(one, 20, seed=2, channels=(1,)) + frames_of(two, 20, seed=3, channels=(2, 3))
    path = write_recording(tmp_path / "buses.mf4", frames)
    paths = []
    for name, db in (("one.dbc", one), ("two.dbc", two)):
        paths.append(tmp_path / name)
        cantools.database.dump_file(db, str(paths[-1]))
    out = run_cli(path, "--dbc", f"CAN 1={paths[0]}", "--dbc", f"CAN 2={paths[1]}", "-o", tmp_path / "csv")
    assert out.returncode == 0, out.stderr
    assert sorted(os.listdir(tmp_path / "csv")) == ["CAN 1.Status.csv", "CAN 2.Status.csv", "OnlyOne.csv",
                                                    "OnlyTwo.csv"]
    assert {row[1] for row in read_csv(tmp_path / "csv" / "OnlyTwo.csv")[1:]} == {"CAN 2"}
    printed = run_cli(path, "--dbc", f"CAN 1={paths[0]}", "--dbc", f"CAN 2={paths[1]}")
    assert printed.returncode == 0, printed.stderr
    assert {line.split("  ")[2] for line in printed.stdout.splitlines()} == {
        "CAN 1.Status", "OnlyOne", "CAN 2.Status", "OnlyTwo"}


def test_csv_files_replace_older_ones_and_leave_nothing_partial(cli, multiplexed, tmp_path):
    path, dbc = multiplexed
    folder = tmp_path / "csv"
    folder.mkdir()
    (folder / "Simple.csv").write_text("old\n")
    assert cli.main([str(path), "--dbc", str(dbc), "-o", str(folder)]) == 0
    assert sorted(os.listdir(folder)) == ["Cascaded.csv", "Simple.csv"]
    assert read_csv(folder / "Simple.csv")[0][:2] == ["timestamp", "channel"]


@pytest.mark.parametrize("args, told", [
    (["--dbc", "{tmp}/missing.dbc"], "cannot read database {tmp}/missing.dbc: no such file"),
    (["--dbc", "{tmp}/bad.dbc"], "cannot read database {tmp}/bad.dbc: DBC: "),
    (["--dbc", "CAN 1={tmp}/mux.dbc", "--dbc", "{tmp}/mux.dbc"], "--dbc: give every database a channel"),
    (["--dbc", "{tmp}/mux.dbc", "--metadata"], "--dbc and --metadata cannot be given together"),
    (["--dbc", "CAN1={tmp}/mux.dbc"], "cannot read database CAN1={tmp}/mux.dbc: no such file"),
    (["--dbc", "{tmp}/mux.dbc", "--signal-format", "parquet"], "--signal-format chooses the files of --dbc"),
], ids=["missing", "unreadable", "mixed", "metadata", "channel misspelt", "parquet without a folder"])
def test_bad_databases_are_one_line(cli, multiplexed, tmp_path, capsys, args, told):
    path, dbc = multiplexed
    (tmp_path / "mux.dbc").write_text(dbc.read_text())
    (tmp_path / "bad.dbc").write_text("no database\n")
    assert cli.main([str(path)] + [a.format(tmp=tmp_path) for a in args]) == 1
    out = capsys.readouterr()
    assert out.out == ""
    lines = out.err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("tolvar-mf4: error: " + told.format(tmp=tmp_path)), out.err


FLOAT_MULTIPLEXER_DBC = """VERSION ""
BS_:
BU_: ECU
BO_ 16 Odd: 8 ECU
 SG_ Mode M : 0|32@1- (1,0) [0|0] "" ECU
 SG_ Value m1 : 32|8@1+ (1,0) [0|0] "" ECU
SIG_VALTYPE_ 16 Mode : 1;
"""


def test_a_database_the_program_cannot_compile_is_one_line(cli, tmp_path, capsys):
    path = write_recording(tmp_path / "odd.mf4", [CanFrame(0, 0x10, bytes(8))])
    dbc = tmp_path / "odd.dbc"
    dbc.write_text(FLOAT_MULTIPLEXER_DBC)
    assert cli.main([str(path), "--dbc", str(dbc)]) == 1
    told = "tolvar-mf4: error: --dbc: signal 'Value' of message 'Odd' is multiplexed by 'Mode', a floating-point signal"
    assert capsys.readouterr().err.startswith(told)
