"""Signals decoded from a CAN database: rates of decode_to_numpy,
decode_to_pandas and decode_to_arrow against asammdf's extract_bus_logging
followed by its to_dataframe() and against a loop of cantools'
decode_message, peak memory, and two threads on two recordings, each beside
the target the feature request sets. Prints a table and the targets with
what was measured; asserts nothing.

    python bench/signals.py                       # 10 million frames, 50 messages
    python bench/signals.py --frames 1000000 --python-can-frames 100000 --cantools-frames 100000
    python bench/signals.py --workdir DIR         # keep (and reuse) the database and recordings

The database (bench.dbc) has 50 messages of 8 signals: 25 classic of 8 bytes
with standard identifiers, 25 CAN FD of 64 bytes with extended ones, 4 of
them multiplexed; signals of both byte orders, signed and unsigned, scaled
and not, of 4 to 32 bits. The recording is written with the project's test
writer: four data groups, two of classic and two of CAN FD frames, each
message with the same share of frames, random payloads whose multiplexers
hold values that select. asammdf decodes only recordings of the layout
python-can's MF4Writer writes, so it reads one of the first
--python-can-frames of the same frames written by that writer (minutes per
million frames): rates compare per frame. cantools decodes the first
--cantools-frames frames one by one. Each row gives the wall-clock time and
rate, and the process's CPU time and rate (on a machine shared with other
work, the CPU rate is the one that tells the work).
"""

from __future__ import annotations

import argparse
import gc
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

import make_recordings as mr  # noqa: E402
import mdf_writer as mw  # noqa: E402
import python_can_tolvar_mf4 as mod  # noqa: E402

MESSAGES = 50
SIGNALS = 8
MULTIPLEXED = (5, 17, 30, 42)
GROUPS = 4
TIME_STEP = 1e-5


def make_database(seed: int = 7):
    """The benchmark's database (see the module's text)."""
    import random

    from cantools.database.can import Database, Message, Signal
    from cantools.database.conversion import BaseConversion

    rng = random.Random(seed)
    messages = []
    for index in range(MESSAGES):
        fd = index >= MESSAGES // 2
        length = 64 if fd else 8
        big = rng.random() < 0.4
        muxed = index in MULTIPLEXED
        signals = []
        bit = 0
        if muxed:
            signals.append(Signal("Mux", 0, 4, is_multiplexer=True))
            bit = 8
        room = length * 8 - bit
        count = SIGNALS - len(signals)
        slot = room // count
        for j in range(count):
            width = rng.randint(4, 8) if not fd else rng.randint(8, 32)
            width = min(width, slot)
            first = bit + j * slot + rng.randint(0, slot - width)  # network order for big-endian
            start = 8 * (first // 8) + 7 - first % 8 if big else first
            scaled = rng.random() < 0.5
            conversion = BaseConversion.factory(scale=rng.choice((0.1, 0.25, 0.5, 2)) if scaled else 1,
                                                offset=rng.choice((-40, 0, 10.5)) if scaled else 0)
            extra = {"multiplexer_ids": [j % 3], "multiplexer_signal": "Mux"} if muxed else {}
            signals.append(Signal(f"Sig{j}", start, width, byte_order="big_endian" if big else "little_endian",
                                  is_signed=rng.random() < 0.25, conversion=conversion, **extra))
        frame_id = 0x18FF0000 + index if fd else 0x100 + 3 * index
        messages.append(Message(frame_id, f"Msg{index:02d}", length, signals, is_extended_frame=fd, is_fd=fd))
    return Database(messages)


def frame_messages(group: int, count: int):
    """The message index of frames 0 .. count-1 of a data group: classic
    groups take the classic messages in turn, FD groups the FD ones."""
    import numpy as np

    half = MESSAGES // 2
    k = np.arange(count, dtype=np.int64)
    first = 0 if group < GROUPS // 2 else half
    return first + (k * (GROUPS // 2) + group % (GROUPS // 2)) % half


def group_frames(db, group: int, count: int, seed: int):
    """Times, identifiers, lengths and payloads (count x width bytes) of a
    data group's frames."""
    import numpy as np

    rng = np.random.default_rng(seed + group)
    fd = group >= GROUPS // 2
    width = 64 if fd else 8
    which = frame_messages(group, count)
    ids = np.array([m.frame_id for m in db.messages], dtype=np.uint32)[which]
    payloads = rng.integers(0, 256, size=(count, width), dtype=np.uint8)
    # Multiplexers (low nibble of byte 0) hold 0, 1 or 2, which select.
    muxed = np.isin(which, MULTIPLEXED)
    selector = (np.arange(count) // MESSAGES % 3).astype(np.uint8)
    payloads[muxed, 0] = (payloads[muxed, 0] & 0xF0) | selector[muxed]
    times = (np.arange(count, dtype=np.float64) * GROUPS + group) * TIME_STEP
    return times, ids, payloads


def write_recording(path: str, db, frames: int, seed: int = 11) -> None:
    """`frames` frames over four data groups (see the module's text)."""
    import numpy as np

    w = mw.RecordingWriter(mr.START_NS)
    for g in range(GROUPS):
        dg = w.data_group(record_id_size=0)
        if g < GROUPS // 2:
            dg.can_channel_group(fd=False)
        else:
            dg.can_channel_group(fd=True, payload="record", payload_bytes=64)
    rec = w.build()
    per_group = [frames // GROUPS + (1 if g < frames % GROUPS else 0) for g in range(GROUPS)]
    for g, built in enumerate(rec.groups):
        count = per_group[g]
        cg = built.channel_groups[0]
        pos = {c.name: c.position // 8 for c in cg.channels}
        times, ids, payloads = group_frames(db, g, count, seed)
        fd = g >= GROUPS // 2
        buf = np.zeros((count, cg.record_length), dtype=np.uint8)
        buf[:, pos["Timestamp"]:pos["Timestamp"] + 8] = times.view(np.uint8).reshape(count, 8)
        buf[:, pos["CAN_DataFrame.BusChannel"]] = 1
        buf[:, pos["CAN_DataFrame.IDE"]] = 1 if fd else 0
        buf[:, pos["CAN_DataFrame.ID"]:pos["CAN_DataFrame.ID"] + 4] = ids.astype("<u4").view(np.uint8).reshape(count, 4)
        buf[:, pos["CAN_DataFrame.DLC"]] = mw.dlc_of_length(payloads.shape[1])
        buf[:, pos["CAN_DataFrame.DataLength"]] = payloads.shape[1]
        buf[:, pos["CAN_DataFrame.EDL"]] = 1 if fd else 0
        buf[:, pos["CAN_DataFrame.BRS"]] = 1 if fd else 0
        data = pos["CAN_DataFrame.DataBytes"]
        buf[:, data:data + payloads.shape[1]] = payloads
        cg.block.data = mw.cg_data(cg.record_id, count, cg.writer.flags, cg.writer.data_bytes,  # type: ignore[union-attr]
                                   cg.writer.inval_bytes)  # type: ignore[union-attr]
        built.data_block.data = buf.tobytes()  # type: ignore[union-attr]
    rec.write(path)


def first_frames(db, frames: int, seed: int = 11):
    """The first `frames` frames of the recording in time order, as
    (timestamp, identifier, extended, payload bytes)."""
    per_group = (frames + GROUPS - 1) // GROUPS
    columns = [group_frames(db, g, per_group, seed) for g in range(GROUPS)]
    out = []
    for k in range(per_group):
        for g in range(GROUPS):
            times, ids, payloads = columns[g]
            out.append((float(times[k]), int(ids[k]), g >= GROUPS // 2, payloads[k].tobytes()))
    return out[:frames]


def python_can_recording(path: str, frames) -> None:
    import can

    with can.io.MF4Writer(path) as writer:
        for t, frame_id, extended, data in frames:
            writer.on_message_received(can.Message(timestamp=t, arbitration_id=frame_id, data=data,
                                                   is_extended_id=extended, is_fd=len(data) > 8,
                                                   bitrate_switch=len(data) > 8, channel=1))


def best(fn, repeat=3):
    """The shortest of `repeat` runs: wall-clock seconds, and the process's
    CPU seconds in that run (every thread's: on a loaded machine the CPU
    time tells the work, the wall-clock time also the wait for a core)."""
    runs = []
    for _ in range(repeat):
        gc.collect()
        t, c = time.perf_counter(), time.process_time()
        result = fn()
        runs.append((time.perf_counter() - t, time.process_time() - c))
        del result
    return min(runs)


def row(name, frames, timing, note=""):
    seconds, cpu = timing
    rate = frames / seconds
    print(f"{name:<52} {frames:>11,} {seconds:>8.3f} s {rate / 1e6:>7.3f} M frames/s "
          f"{rate * SIGNALS / 1e6:>7.2f} M signals/s  cpu {cpu:>7.3f} s {frames / cpu / 1e6:>7.3f} M frames/s  {note}")


def peak_memory(path, dbc, method):
    """Peak resident memory above the interpreter's baseline (after import,
    open and one decode of another reader) during one call, against the
    bytes of the tables it returns."""
    code = f"""
import numpy, pandas, pyarrow, cantools
import python_can_tolvar_mf4 as mod
def high_water():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
db = cantools.database.load_file({dbc!r})
reader = mod.MdfFile({path!r})
base = high_water()
tables = reader.{method}(db)
peak = high_water()
own = 0
for table in tables.values():
    if isinstance(table, dict):
        own += sum(a.nbytes for a in table.values())
    elif hasattr(table, "schema"):
        own += table.nbytes
    else:
        own += int(table.memory_usage(deep=False, index=False).sum())
print((peak - base) * 1024, own)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.split()
    return int(out[0]), int(out[1])


class Targets:
    def __init__(self):
        self.lines = []

    def check(self, what, value, target, at_most=False):
        met = value <= target if at_most else value >= target
        self.lines.append(f"{what:<62} {value:>9.2f} target {'<=' if at_most else '>='} {target:g} "
                          f"{'met' if met else 'NOT MET'}")

    def print(self):
        print("\ntargets")
        for line in self.lines:
            print(line)


def versions():
    out = []
    for name in ("numpy", "pandas", "pyarrow", "asammdf", "cantools", "can"):
        try:
            out.append(f"{name} {__import__(name).__version__}")
        except ImportError:
            out.append(f"{name} missing")
    return ", ".join(out)


def prepare(work, frames, pc_frames):
    import cantools

    dbc = os.path.join(work, "bench.dbc")
    db = make_database()
    if not os.path.exists(dbc):
        cantools.database.dump_file(db, dbc)
    path = os.path.join(work, f"signals_{frames}.mf4")
    second = os.path.join(work, f"signals_{frames}_2.mf4")
    if not os.path.exists(path):
        write_recording(path, db, frames)
        shutil.copy(path, second)
    pc_path = os.path.join(work, f"signals_python_can_{pc_frames}.mf4")
    if not os.path.exists(pc_path):
        python_can_recording(pc_path, first_frames(db, pc_frames))
    return db, dbc, path, second, pc_path


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--frames", type=int, default=10_000_000)
    ap.add_argument("--python-can-frames", type=int, default=200_000,
                    help="frames of the python-can-written recording asammdf reads")
    ap.add_argument("--cantools-frames", type=int, default=300_000, help="frames cantools decodes one by one")
    ap.add_argument("--workdir", default=None)
    args = ap.parse_args()
    import cantools

    work = args.workdir or tempfile.mkdtemp(prefix="signals-bench-")
    os.makedirs(work, exist_ok=True)
    db, dbc, path, second, pc_path = prepare(work, args.frames, args.python_can_frames)
    n, pc_frames = args.frames, args.python_can_frames

    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, {versions()}")
    print(f"load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"database: {len(db.messages)} messages, {sum(len(m.signals) for m in db.messages)} signals; recording: "
          f"{os.path.getsize(path) / 1e6:.0f} MB, {n:,} frames (half CAN FD)")
    print(f"\n{'what':<52} {'frames':>11} {'time':>10} {'rate':>18} {'':>18}  {'CPU time and rate':>28}")
    targets = Targets()

    # A loop of cantools' decode_message over the first frames.
    sample = first_frames(db, args.cantools_frames)

    def cantools_loop():
        decode = db.decode_message
        for _, frame_id, extended, data in sample:
            decode(frame_id, data, force_extended_id=extended, decode_choices=False, allow_truncated=True)

    t_cantools = best(cantools_loop, 1)
    row("cantools decode_message loop (1 run)", len(sample), t_cantools)
    cantools_rate = len(sample) / t_cantools[0]

    # asammdf on python-can's recording of the first frames.
    from asammdf import MDF

    def asammdf_frame():
        mdf = MDF(pc_path)
        decoded = mdf.extract_bus_logging({"CAN": [(dbc, 0)]})
        frame = decoded.to_dataframe()
        mdf.close()
        return frame

    t_asammdf = best(asammdf_frame, 1)
    row("asammdf extract_bus_logging + to_dataframe (1 run)", pc_frames, t_asammdf)
    asammdf_rate = pc_frames / t_asammdf[0]

    reader = mod.MdfFile(path)
    # The frame tables of the same recording, for the rate of the walk and
    # merge on this machine.
    row("to_arrow() of the frames, for comparison (1 run)", n, best(reader.to_arrow, 1))
    rates = {}
    for method in ("decode_to_numpy", "decode_to_pandas", "decode_to_arrow"):
        call = getattr(reader, method)
        timing = best(lambda: call(db), 1)
        row(f"{method}(database) (1 run)", n, timing)
        rates[method] = n / timing[0]
    with mod.MdfFile(pc_path, any_writer=True) as pc_reader:
        row("decode_to_numpy, python-can recording (any_writer)", pc_frames, best(lambda: pc_reader.decode_to_numpy(db)))

    other = mod.MdfFile(second)
    t_serial = best(lambda: (reader.decode_to_numpy(db), other.decode_to_numpy(db)), 1)

    def parallel():
        threads = [threading.Thread(target=r.decode_to_numpy, args=(db,)) for r in (reader, other)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()

    t_parallel = best(parallel, 1)
    row("decode_to_numpy of two recordings, one thread", 2 * n, t_serial)
    row("decode_to_numpy of two recordings, two threads", 2 * n, t_parallel, f"{t_serial[0] / t_parallel[0]:.2f} x")
    other.close()
    reader.close()

    print()
    memory = {}
    for method in ("decode_to_numpy", "decode_to_pandas", "decode_to_arrow"):
        peak, own = peak_memory(path, dbc, method)
        memory[method] = peak / own
        print(f"peak memory {method:<20} {peak / 1e6:>10,.0f} MB above baseline, tables {own / 1e6:,.0f} MB: "
              f"{peak / own:.2f} x")
    print(f"load average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")

    numpy_rate = rates["decode_to_numpy"]
    targets.check("decode_to_numpy, M frames/s", numpy_rate / 1e6, 10)
    targets.check("decode_to_numpy, M signals/s", numpy_rate * SIGNALS / 1e6, 80)
    targets.check("decode_to_numpy against asammdf (per frame), x", numpy_rate / asammdf_rate, 20)
    targets.check("decode_to_numpy against a cantools loop (per frame), x", numpy_rate / cantools_rate, 20)
    targets.check("decode_to_pandas, M frames/s", rates["decode_to_pandas"] / 1e6, 8)
    targets.check("decode_to_arrow, M frames/s", rates["decode_to_arrow"] / 1e6, 8)
    for method, ratio in memory.items():
        targets.check(f"peak memory of {method} over its tables, x", ratio, 1.5, at_most=True)
    targets.check("two threads on two recordings against one, x", t_serial[0] / t_parallel[0], 1.6)
    targets.print()


if __name__ == "__main__":
    main()
