#!/usr/bin/env python3
"""Reading a recording of another writer: python_can_tolvar_mf4 with
any_writer=True against python-can's own MF4Reader on the same file, and
against this reader on the same frames in its usual layout.

    python bench/other_writers.py [--frames N] [--repeat R] [--workdir DIR]

It writes N CAN frames (classic and CAN FD, standard and extended ids) with
python-can's MF4Writer at its default compression (transposed deflate, in
data lists of compressed blocks), and the same frames with the project's
test writer in its usual layout (one uncompressed data block, FD payloads
in a VLSD group). Then it times, R times each, interleaved, keeping the
best:

  (a) MdfFile(path, any_writer=True) over python-can's file, open to last frame;
  (b) python-can's MF4Reader over the same file;
  (c) MdfFile(path) over the usual layout.

Rates are frames per second of wall-clock and of CPU time. It prints, never
asserts; the targets are (b)/(a) at least 10 and (a)/(c) at most 1.3.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import platform
import random
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import can  # noqa: E402

import python_can_tolvar_mf4 as tolvar  # noqa: E402
from mdf_writer import CanFrame, RecordingWriter  # noqa: E402


def frames(n: int, seed: int = 11):
    rnd = random.Random(seed)
    t = 1_700_000_000.0
    for i in range(n):
        t += rnd.choice((0.0001, 0.0002, 0.0005))
        fd = i % 4 == 0
        ext = i % 3 == 0
        length = rnd.choice((8, 12, 16, 32, 64)) if fd else rnd.randrange(9)
        yield (t, rnd.randrange(1 << 29) if ext else rnd.randrange(0x800), ext, fd,
               rnd.getrandbits(8 * length).to_bytes(length, "little"), 1 + i % 2)


def write_python_can(path: pathlib.Path, n: int) -> float:
    start = time.perf_counter()
    writer = can.MF4Writer(str(path))
    for t, ident, ext, fd, data, channel in frames(n):
        writer.on_message_received(can.Message(timestamp=t, arbitration_id=ident, is_extended_id=ext, is_fd=fd,
                                               bitrate_switch=fd, data=data, channel=channel))
    writer.stop()
    return time.perf_counter() - start


def write_usual(path: pathlib.Path, n: int, start_ns: int) -> None:
    w = RecordingWriter(start_time_ns=start_ns)
    g = w.data_group(record_id_size=1)
    g.can_channel_group(fd=False)
    g.can_channel_group(fd=True, payload="vlsd")
    start = start_ns * 1e-9
    for t, ident, ext, fd, data, channel in frames(n):
        g.add_frame(CanFrame(t - start, ident, data, is_extended_id=ext, is_fd=fd, bitrate_switch=fd,
                             channel=channel))
    w.write(str(path))


def timed(run) -> tuple:
    wall, cpu = time.perf_counter(), time.process_time()
    count = run()
    return count, time.perf_counter() - wall, time.process_time() - cpu


def ours(path: pathlib.Path, **kwargs) -> int:
    count = 0
    with tolvar.MdfFile(str(path), **kwargs) as reader:
        for _ in reader:
            count += 1
    return count


def theirs(path: pathlib.Path) -> int:
    count = 0
    reader = can.io.MF4Reader(str(path))
    for _ in reader:
        count += 1
    reader.stop()
    return count


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--workdir", type=pathlib.Path, default=None)
    args = parser.parse_args()

    workdir = args.workdir or pathlib.Path(tempfile.mkdtemp(prefix="other_writers_"))
    workdir.mkdir(parents=True, exist_ok=True)
    other = workdir / f"python_can_{args.frames}.mf4"
    usual = workdir / f"usual_{args.frames}.mf4"
    if not other.exists():
        took = write_python_can(other, args.frames)
        print(f"wrote {other} with python-can's MF4Writer in {took:.1f} s")
    if not usual.exists():
        start_ns = 0
        with tolvar.MdfFile(str(other), any_writer=True) as reader:
            start_ns = int(round(next(iter(reader)).timestamp)) * 10**9
        write_usual(usual, args.frames, start_ns)

    runs = {
        "(a) MdfFile(any_writer=True), python-can's file": lambda: ours(other, any_writer=True),
        "(b) python-can MF4Reader, python-can's file": lambda: theirs(other),
        "(c) MdfFile, usual layout": lambda: ours(usual),
    }
    best = {name: None for name in runs}
    for _ in range(args.repeat):
        for name, run in runs.items():
            count, wall, cpu = timed(run)
            if count != args.frames:
                print(f"{name}: read {count} frames, not {args.frames}")
            if best[name] is None or cpu < best[name][1]:
                best[name] = (wall, cpu)

    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
          f"python-can {can.__version__}")
    print(f"files: {other.stat().st_size / 1e6:.1f} MB (python-can, default compression), "
          f"{usual.stat().st_size / 1e6:.1f} MB (usual layout); {args.frames:,} frames, best of {args.repeat}")
    print(f"{'reader':52} {'wall s':>8} {'cpu s':>8} {'frames/s (cpu)':>16}")
    for name, (wall, cpu) in best.items():
        print(f"{name:52} {wall:8.2f} {cpu:8.2f} {args.frames / cpu:16,.0f}")
    a, b, c = (best[name][1] for name in runs)
    print(f"(b)/(a) = {b / a:.1f} (target at least 10); (a)/(c) = {a / c:.2f} (target at most 1.3)")


if __name__ == "__main__":
    main()
