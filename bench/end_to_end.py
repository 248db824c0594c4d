#!/usr/bin/env python3
"""End-to-end reading rate of python_can_tolvar_mf4, against the floor any
reader pays and against python-can's own readers, on the same frames.

    python bench/end_to_end.py [--frames N] [--repeat R] [--groups G]
                               [--no-peers] [--workdir DIR]

It writes one recording of N frames (half classic CAN, half CAN FD with
VLSD payloads, over G data groups), then times, R times each, interleaved,
and keeps the best:

  (a) iterating MdfFile over it: the whole read, from opening to the last
      frame, for a str path, a pathlib.Path, an io.BytesIO and an open file;
  (b) the floor: the same messages made with can.Message(...) from prepared
      Python values (keyword arguments), one generator per data group, merged
      with heapq.merge (by the timestamp attribute, as can.Message has no
      ordering of its own); for information, (b') the same with the
      arguments passed by position;
  (c) where the packages install: the same frames written with python-can's
      MF4Writer (uncompressed) and read back with its MF4Reader, and written
      with its BLFWriter (default compression) and read back with its
      BLFReader.

Rates are frames per second of wall-clock time and of this process's CPU
time (the machine may be shared: CPU time is the steadier figure). It
prints, never asserts: the target is (a) for a str path at least 1.5 times
as fast as (b), and at least 2.5 times as fast as python-can's BLFReader.
Run it with PYTHONPATH pointing at a build directory to measure that build
instead of the installed module.
"""

from __future__ import annotations

import argparse
import gc
import heapq
import io
import operator
import os
import pathlib
import platform
import re
import shutil
import statistics
import sys
import tempfile
import time
from itertools import islice
from typing import Any, Callable, Dict, Iterable, List, Optional, Tuple

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import can  # noqa: E402

import make_recordings  # noqa: E402
import python_can_tolvar_mf4 as tolvar  # noqa: E402

# How many times as fast as (b) and as python-can's BLFReader (a) should be.
TARGET_OVER_FLOOR = 1.5
TARGET_OVER_BLF = 2.5

# The keyword arguments the reader gives can.Message for a CAN data frame,
# in one fixed order: the prepared values of (b) are tuples in this order.
DATA_FRAME_FIELDS = ("timestamp", "arbitration_id", "dlc", "data", "is_fd", "error_state_indicator",
                     "bitrate_switch", "is_rx", "is_extended_id", "channel")


# ---------------------------------------------------------------------------
# What ran where.

def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def build_type() -> str:
    """The CMake build type of the module being measured: from the CMake cache
    of the build directory it was loaded from, or, for an installed wheel,
    the build type the project's wheel configuration names."""
    module_dir = pathlib.Path(tolvar.__file__).resolve().parent
    for d in (module_dir, *module_dir.parents[:2]):
        cache = d / "CMakeCache.txt"
        if cache.is_file():
            for line in cache.read_text(errors="replace").splitlines():
                if line.startswith("CMAKE_BUILD_TYPE:"):
                    return f"{line.split('=', 1)[1] or '(none)'} (build directory {d})"
    pyproject = HERE.parent / "pyproject.toml"
    if pyproject.is_file():
        m = re.search(r'^cmake\.build-type\s*=\s*"([^"]*)"', pyproject.read_text(), re.M)
        if m:
            return f"{m.group(1)} (installed package; wheel builds use cmake.build-type)"
    return "unknown"


def package_version(name: str) -> str:
    try:
        from importlib.metadata import version
        return version(name)
    except Exception:  # noqa: BLE001 - any failure means "not known"
        return "not installed"


def print_setting(args: argparse.Namespace, recording: pathlib.Path, size: int) -> None:
    print("machine:      ", cpu_model(), f"({os.cpu_count()} logical cores)", platform.platform())
    try:
        print("load average: ", " ".join(f"{x:.2f}" for x in os.getloadavg()))
    except OSError:
        pass
    print("python:       ", platform.python_implementation(), platform.python_version())
    print("python-can:   ", can.__version__, " asammdf:", package_version("asammdf"),
          " numpy:", package_version("numpy"))
    print("module:       ", tolvar.__file__)
    print("build type:   ", build_type())
    print(f"recording:     {args.frames} frames ({args.frames // 2} classic, {args.frames - args.frames // 2}"
          f" CAN FD), {args.groups} data groups, {size / 1e6:.1f} MB")
    print(f"repetitions:   best of {args.repeat}, interleaved")
    print()


# ---------------------------------------------------------------------------
# The readers under test. Each entry makes a fresh iterable of messages; the
# timing covers making it (opening the file) and consuming it.

def count(messages: Iterable[Any]) -> int:
    n = 0
    for _ in messages:
        n += 1
    return n


def read_all(source: Any) -> int:
    """Opens an MdfFile on source and counts its frames."""
    reader = tolvar.MdfFile(source)
    try:
        return count(reader)
    finally:
        reader.close()


def tolvar_str(path: pathlib.Path) -> Callable[[], int]:
    return lambda: read_all(str(path))


def tolvar_path(path: pathlib.Path) -> Callable[[], int]:
    return lambda: read_all(path)


def tolvar_bytesio(data: bytes) -> Callable[[], int]:
    # One BytesIO, made before timing: the rate is the reader's, not the copy's.
    buffer = io.BytesIO(data)

    def run() -> int:
        buffer.seek(0)
        return read_all(buffer)
    return run


def tolvar_open_file(path: pathlib.Path) -> Callable[[], int]:
    def run() -> int:
        with open(path, "rb") as f:
            return read_all(f)
    return run


def prepare_floor(path: pathlib.Path) -> List[List[Tuple[Any, ...]]]:
    """The values of every frame, per data group (told apart by channel, one
    per group in this recording), as the reader passes them to can.Message."""
    groups: Dict[Any, List[Tuple[Any, ...]]] = {}
    other = 0
    reader = tolvar.MdfFile(path)
    try:
        for m in reader:
            if m.is_remote_frame or m.is_error_frame:
                other += 1
                continue
            groups.setdefault(m.channel, []).append(
                (m.timestamp, m.arbitration_id, m.dlc, bytes(m.data), m.is_fd, m.error_state_indicator,
                 m.bitrate_switch, m.is_rx, m.is_extended_id, m.channel))
    finally:
        reader.close()
    if other:
        print(f"note: (b) leaves out {other} remote and error frames", file=sys.stderr)
    return list(groups.values())


def floor(groups: List[List[Tuple[Any, ...]]], positional: bool = False) -> Callable[[], int]:
    """(b): keyword arguments, as can.Message documents and python-can's own
    readers call it. With positional set, the same values by position in
    can.Message.__init__'s order (all twelve): CPython makes a keyword call
    of a Python class build a dict on the way to __init__, which costs
    about as much as the rest of the construction."""
    Message = can.Message
    by_timestamp = operator.attrgetter("timestamp")

    def messages(rows: List[Tuple[Any, ...]]) -> Iterable[can.Message]:
        for ts, aid, dlc, data, fd, esi, brs, rx, ext, ch in rows:
            yield Message(timestamp=ts, arbitration_id=aid, dlc=dlc, data=data, is_fd=fd,
                          error_state_indicator=esi, bitrate_switch=brs, is_rx=rx, is_extended_id=ext,
                          channel=ch)

    def by_position(rows: List[Tuple[Any, ...]]) -> Iterable[can.Message]:
        for ts, aid, dlc, data, fd, esi, brs, rx, ext, ch in rows:
            yield Message(ts, aid, ext, False, False, ch, dlc, data, fd, rx, brs, esi)

    make = by_position if positional else messages

    def run() -> int:
        return count(heapq.merge(*[make(rows) for rows in groups], key=by_timestamp))
    return run


def peer_reader(cls: Any, path: pathlib.Path) -> Callable[[], int]:
    def run() -> int:
        reader = cls(str(path))
        try:
            return count(reader)
        finally:
            reader.stop()
    return run


# ---------------------------------------------------------------------------
# Writing the same frames for python-can's readers.

def write_blf(recording: pathlib.Path, out: pathlib.Path) -> None:
    writer = can.io.BLFWriter(str(out))
    try:
        reader = tolvar.MdfFile(recording)
        try:
            for m in reader:
                writer.on_message_received(m)
        finally:
            reader.close()
    finally:
        writer.stop()


def write_mf4(recording: pathlib.Path, out: pathlib.Path, groups: List[List[Tuple[Any, ...]]],
              per_message: bool) -> str:
    """Writes the frames with MF4Writer, uncompressed (as the recording is).
    Handing it one message at a time costs about 0.2 ms a frame; unless
    per_message is set, the data frames go to the writer's document in one
    block, filled exactly as its per-message path fills one record, and the
    writer saves and closes as usual."""
    writer = can.io.MF4Writer(str(out), compression_level=0)
    try:
        mdf = getattr(writer, "_mdf", None)
        import can.io.mf4 as mf4
        dtype = getattr(mf4, "STD_DTYPE", None)
        if per_message or mdf is None or dtype is None or not hasattr(writer, "_start_time"):
            reader = tolvar.MdfFile(recording)
            try:
                for m in reader:
                    writer.on_message_received(m)
            finally:
                reader.close()
            return "MF4Writer.on_message_received per message"
        import numpy as np
        from can.util import channel2int, len2dlc
        rows = list(heapq.merge(*groups, key=operator.itemgetter(0)))
        n = len(rows)
        records = np.zeros(n, dtype=dtype)
        ts, aid, dlc, data, fd, esi, brs, rx, ext, ch = zip(*rows) if n else ((),) * 10
        times = np.array(ts, dtype="<f8") - writer._start_time
        records["CAN_DataFrame.BusChannel"] = [channel2int(c) or 0 for c in ch]
        records["CAN_DataFrame.ID"] = aid
        records["CAN_DataFrame.IDE"] = ext
        records["CAN_DataFrame.Dir"] = [0 if r else 1 for r in rx]
        records["CAN_DataFrame.DataLength"] = [len(d) for d in data]
        records["CAN_DataFrame.DataBytes"] = np.frombuffer(
            b"".join(d.ljust(64, b"\0") for d in data), dtype=np.uint8).reshape(n, 64)
        records["CAN_DataFrame.DLC"] = [len2dlc(c) if f else c for c, f in zip(dlc, fd)]
        records["CAN_DataFrame.ESI"] = [int(e) and int(f) for e, f in zip(esi, fd)]
        records["CAN_DataFrame.BRS"] = [int(b) and int(f) for b, f in zip(brs, fd)]
        records["CAN_DataFrame.EDL"] = [int(f) for f in fd]
        if n:
            writer.last_timestamp = max(writer.last_timestamp, max(ts))
            mdf.extend(0, [(times, None), (records, None)])
        return "MF4Writer, data frames handed over in one block"
    finally:
        writer.stop()


# ---------------------------------------------------------------------------
# Checking that every reader yields the same frames (on a sample).

def normal(m: can.Message) -> Tuple[Any, ...]:
    from can.util import channel2int
    return (m.arbitration_id, m.is_extended_id, m.is_remote_frame, m.is_error_frame, channel2int(m.channel),
            m.dlc, bytes(m.data), m.is_fd, m.is_rx, m.bitrate_switch, m.error_state_indicator)


def compare(reference: List[can.Message], other: List[can.Message]) -> str:
    if len(reference) != len(other):
        return f"DIFFERENT: {len(other)} frames in the sample instead of {len(reference)}"
    for i, (a, b) in enumerate(zip(reference, other)):
        if normal(a) != normal(b) or abs(a.timestamp - b.timestamp) > 1e-6:
            return f"DIFFERENT at frame {i}: {b!r} instead of {a!r}"
    return f"same frames (first {len(reference)} compared field by field, timestamps within 1 us)"


def sample(make: Callable[[], Any], close: str, n: int) -> List[can.Message]:
    reader = make()
    try:
        return list(islice(reader, n))
    finally:
        getattr(reader, close)()


# ---------------------------------------------------------------------------

class Timing:
    def __init__(self, label: str, run: Callable[[], int]) -> None:
        self.label = label
        self.run = run
        self.frames: Optional[int] = None
        self.wall: List[float] = []
        self.cpu: List[float] = []
        self.error: Optional[str] = None

    def once(self) -> None:
        if self.error is not None:
            return
        try:
            w0, c0 = time.perf_counter(), time.process_time()
            frames = self.run()
            w1, c1 = time.perf_counter(), time.process_time()
        except Exception as e:  # noqa: BLE001 - a benchmark reports, it does not stop
            self.error = f"{type(e).__name__}: {e}"
            return
        self.frames = frames
        self.wall.append(w1 - w0)
        self.cpu.append(c1 - c0)

    def rate(self, which: str = "wall") -> float:
        times = self.wall if which == "wall" else self.cpu
        return (self.frames or 0) / min(times) if times and min(times) > 0 else 0.0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=1_000_000, help="frames in the recording (default 1000000)")
    parser.add_argument("--groups", type=int, default=4, help="data groups, even (default 4)")
    parser.add_argument("--repeat", type=int, default=3, help="repetitions, the best counts (default 3)")
    parser.add_argument("--no-peers", action="store_true", help="leave out python-can's MF4 and BLF readers")
    parser.add_argument("--mf4-per-message", action="store_true",
                        help="write the MF4Writer file one message at a time (slow: ~0.2 ms a frame)")
    parser.add_argument("--workdir", type=pathlib.Path, help="keep the files here (default: a temporary folder)")
    parser.add_argument("--sample", type=int, default=2000, help="frames compared between readers (default 2000)")
    args = parser.parse_args()
    if args.frames < 2 or args.groups < 2 or args.groups % 2 or args.repeat < 1:
        parser.error("--frames must be at least 2, --groups even and at least 2, --repeat at least 1")

    workdir = args.workdir or pathlib.Path(tempfile.mkdtemp(prefix="tolvar-e2e-"))
    workdir.mkdir(parents=True, exist_ok=True)
    try:
        return run(args, workdir)
    finally:
        if args.workdir is None:
            shutil.rmtree(workdir, ignore_errors=True)


def run(args: argparse.Namespace, workdir: pathlib.Path) -> int:
    recording = workdir / "large.mf4"
    t0 = time.perf_counter()
    info = make_recordings.write_large(str(recording), args.frames // 2, args.frames - args.frames // 2,
                                       args.groups)
    print_setting(args, recording, info["bytes"])
    print(f"setup: recording written in {time.perf_counter() - t0:.1f} s", flush=True)

    t0 = time.perf_counter()
    groups = prepare_floor(recording)
    print(f"setup: values for (b) prepared in {time.perf_counter() - t0:.1f} s", flush=True)
    data = recording.read_bytes()

    timings = [
        Timing("(a) MdfFile(str path)", tolvar_str(recording)),
        Timing("(a) MdfFile(pathlib.Path)", tolvar_path(recording)),
        Timing("(a) MdfFile(io.BytesIO)", tolvar_bytesio(data)),
        Timing("(a) MdfFile(open file)", tolvar_open_file(recording)),
        Timing("(b) can.Message + heapq.merge", floor(groups)),
        Timing("(b') the same, arguments by position", floor(groups, positional=True)),
    ]
    notes: List[str] = []
    checks: List[Tuple[str, Callable[[], Any], str]] = []
    if not args.no_peers:
        mf4_reader = getattr(can.io, "MF4Reader", None)
        mf4_writer = getattr(can.io, "MF4Writer", None)
        if mf4_reader is None or mf4_writer is None:
            notes.append(f"(c) MF4: skipped, python-can {can.__version__} has no MF4Reader/MF4Writer")
        else:
            out = workdir / "python_can.mf4"
            t0 = time.perf_counter()
            try:
                how = write_mf4(recording, out, groups, args.mf4_per_message)
            except Exception as e:  # noqa: BLE001
                notes.append(f"(c) MF4: skipped, writing failed: {type(e).__name__}: {e}")
            else:
                print(f"setup: {how}: {time.perf_counter() - t0:.1f} s, {out.stat().st_size / 1e6:.1f} MB",
                      flush=True)
                timings.append(Timing("(c) python-can MF4Reader", peer_reader(mf4_reader, out)))
                checks.append(("(c) python-can MF4Reader", lambda: mf4_reader(str(out)), "stop"))
        blf_reader = getattr(can.io, "BLFReader", None)
        if blf_reader is None:
            notes.append(f"(c) BLF: skipped, python-can {can.__version__} has no BLFReader")
        else:
            out_blf = workdir / "python_can.blf"
            t0 = time.perf_counter()
            try:
                write_blf(recording, out_blf)
            except Exception as e:  # noqa: BLE001
                notes.append(f"(c) BLF: skipped, writing failed: {type(e).__name__}: {e}")
            else:
                print(f"setup: BLFWriter: {time.perf_counter() - t0:.1f} s, {out_blf.stat().st_size / 1e6:.1f} MB",
                      flush=True)
                timings.append(Timing("(c) python-can BLFReader", peer_reader(blf_reader, out_blf)))
                checks.append(("(c) python-can BLFReader", lambda: blf_reader(str(out_blf)), "stop"))

    # The prepared values are a million long-lived objects: keep the
    # collector's full passes from walking them during the timed runs.
    gc.collect()
    if hasattr(gc, "freeze"):
        gc.freeze()

    print()
    for rep in range(args.repeat):
        for t in timings:
            t.once()
        done = ", ".join(f"{t.label.split(' ', 1)[0]} {t.wall[-1]:.2f}s" for t in timings if t.wall)
        print(f"repetition {rep + 1}/{args.repeat}: {done}", flush=True)

    print()
    floor_t = timings[4]
    width = max(len(t.label) for t in timings)
    print(f"{'reader':<{width}}  {'frames':>8}  {'best s':>7}  {'median s':>8}  {'frames/s':>10}"
          f"  {'CPU frames/s':>12}  {'cost/(b)':>8}  {'CPU cost/(b)':>12}")
    for t in timings:
        if t.error is not None:
            print(f"{t.label:<{width}}  failed: {t.error}")
            continue
        ratio = floor_t.rate() / t.rate() if t.rate() else float("nan")
        cpu_ratio = floor_t.rate("cpu") / t.rate("cpu") if t.rate("cpu") else float("nan")
        print(f"{t.label:<{width}}  {t.frames:>8}  {min(t.wall):>7.3f}  {statistics.median(t.wall):>8.3f}"
              f"  {t.rate():>10,.0f}  {t.rate('cpu'):>12,.0f}  {ratio:>8.2f}  {cpu_ratio:>12.2f}")
    for note in notes:
        print(note)

    print("(b) passes keyword arguments, as python-can's readers do; (b') is for information only.")
    a = timings[0]
    blf = next((t for t in timings if t.label == "(c) python-can BLFReader"), None)
    print()
    for label, other, target in (("(b)", floor_t, TARGET_OVER_FLOOR),
                                 ("python-can's BLFReader", blf, TARGET_OVER_BLF)):
        if a.error is not None or not a.rate() or other is None or other.error is not None or not other.rate():
            continue
        speed = a.rate() / other.rate()
        cpu_speed = a.rate("cpu") / other.rate("cpu")
        verdict = "met" if min(speed, cpu_speed) >= target else (
            "met on CPU time only" if cpu_speed >= target else "NOT met")
        print(f"(a) for a str path against {label}: {speed:.2f} times as fast wall-clock, {cpu_speed:.2f} on CPU"
              f" time (target at least {target}: {verdict})")

    # Same frames everywhere: the counts of every run, and a sample field by field.
    expected = args.frames
    for t in timings:
        if t.frames is not None and t.frames != expected:
            print(f"note: {t.label} gave {t.frames} frames, expected {expected}")
    reference = sample(lambda: tolvar.MdfFile(recording), "close", args.sample)
    floor_sample = list(islice(heapq.merge(*groups, key=operator.itemgetter(0)), args.sample))
    floor_messages = [can.Message(**dict(zip(DATA_FRAME_FIELDS, row))) for row in floor_sample]
    print(f"(b) against (a): {compare(reference, floor_messages)}")
    positional_messages = [can.Message(r[0], r[1], r[8], False, False, r[9], r[2], r[3], r[4], r[7], r[6], r[5])
                           for r in floor_sample]
    print(f"(b') against (a): {compare(reference, positional_messages)}")
    for label, make, close in checks:
        try:
            print(f"{label} against (a): {compare(reference, sample(make, close, args.sample))}")
        except Exception as e:  # noqa: BLE001
            print(f"{label} against (a): check failed: {type(e).__name__}: {e}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
