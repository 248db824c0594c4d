"""Columnar reads and filters: rates of to_numpy, to_arrow and to_pandas
against iteration and asammdf, peak memory, filtered iteration, a start/stop
window and two threads on two recordings, each beside the target the feature
request sets. Prints a table and the targets with what was measured;
asserts nothing.

    python bench/columns.py                       # 10 million frames, half CAN FD
    python bench/columns.py --frames 1000000 --python-can-frames 100000
    python bench/columns.py --workdir DIR         # keep (and reuse) the recordings

The recording is written with the project's test writer (write_large: half
classic CAN, half CAN FD over four data groups). asammdf reads a recording
that python-can's own MF4Writer wrote from the first --python-can-frames of
the same frames (python-can's writer takes minutes per million frames, so
its recording is smaller; rates are compared per frame). The machine's load
average is printed at the start and the end: on a shared machine, figures
taken under load are not comparable.
"""

from __future__ import annotations

import argparse
import gc
import itertools
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
import python_can_tolvar_mf4 as mod  # noqa: E402


def best(fn, repeat=3):
    """The shortest of `repeat` runs, and the last result."""
    times = []
    result = None
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t)
        del result
        result = None
    return min(times)


def row(name, frames, seconds, note=""):
    print(f"{name:<48} {frames:>12,} {seconds:>9.3f} s {frames / seconds / 1e6:>9.2f} M frames/s  {note}")


def python_can_recording(path, frames):
    """The first `frames` frames of write_large, written by python-can."""
    import can

    groups = 4
    per_group = frames // groups
    with can.io.MF4Writer(path) as writer:
        for k in range(per_group):
            for g in range(groups):
                f = mr.large_frame(g, k, groups)
                writer.on_message_received(can.Message(
                    timestamp=(k * groups + g) * mr.LARGE_TIME_STEP, arbitration_id=f.arbitration_id,
                    data=f.data, is_fd=f.is_fd, is_extended_id=f.is_extended_id,
                    bitrate_switch=f.bitrate_switch, channel=f.channel))
    return per_group * groups


def peak_memory(path, method):
    """Peak resident memory above the interpreter's baseline (after import and
    open) during one call, against the bytes of the arrays it returns."""
    # The high-water mark of this process's own memory (VmHWM): ru_maxrss
    # would start at the forking parent's.
    code = f"""
import numpy, pandas, pyarrow
import python_can_tolvar_mf4 as mod
def high_water():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
reader = mod.MdfFile({path!r})
base = high_water()
table = reader.{method}()
peak = high_water()
if isinstance(table, dict):
    own = sum(a.nbytes for a in table.values())
elif hasattr(table, "nbytes") and hasattr(table, "schema"):
    own = table.nbytes
else:
    own = int(table.memory_usage(deep=False, index=False).sum())
print((peak - base) * 1024, own)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.split()
    return int(out[0]), int(out[1])


def versions():
    out = []
    for name in ("numpy", "pandas", "pyarrow", "asammdf", "can"):
        try:
            out.append(f"{name} {__import__(name).__version__}")
        except ImportError:
            out.append(f"{name} missing")
    return ", ".join(out)


class Targets:
    """The request's targets, each printed with the figure measured."""

    def __init__(self):
        self.lines = []

    def check(self, what, value, target, unit, at_most=False):
        met = value <= target if at_most else value >= target
        self.lines.append(f"{what:<58} {value:>9.2f}{unit:<2} target {'<=' if at_most else '>='} "
                          f"{target:g}{unit:<2} {'met' if met else 'NOT MET'}")

    def print(self):
        print("\ntargets")
        for line in self.lines:
            print(line)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--frames", type=int, default=10_000_000, help="frames in all (half CAN FD)")
    ap.add_argument("--python-can-frames", type=int, default=1_000_000,
                    help="frames of the python-can-written recording asammdf reads")
    ap.add_argument("--workdir", default=None)
    args = ap.parse_args()
    import numpy  # noqa: F401
    import pandas  # noqa: F401
    import pyarrow  # noqa: F401

    work = args.workdir or tempfile.mkdtemp(prefix="columns-bench-")
    os.makedirs(work, exist_ok=True)
    path = os.path.join(work, "large.mf4")
    second = os.path.join(work, "large2.mf4")
    n = args.frames
    if not os.path.exists(path):
        mr.write_large(path, n // 2)
        shutil.copy(path, second)
    pc_path = os.path.join(work, f"python_can_{args.python_can_frames}.mf4")
    if not os.path.exists(pc_path):
        python_can_recording(pc_path, args.python_can_frames)
    pc_frames = (args.python_can_frames // 4) * 4

    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
          f"{versions()}")
    print(f"load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"recording: {os.path.getsize(path) / 1e6:.0f} MB, {n:,} frames (half CAN FD), written by the test "
          f"writer; asammdf reads a recording of the first {pc_frames:,} of the same frames written by "
          f"python-can's MF4Writer ({os.path.getsize(pc_path) / 1e6:.0f} MB): rates compare per frame")
    print(f"times: the best of 3 runs, wall clock, except where it says 1 run")
    print(f"\n{'what':<48} {'frames':>12} {'time':>11} {'rate':>20}")
    targets = Targets()

    reader = mod.MdfFile(path)
    with mod.MdfFile(path) as check:
        counted = len(check.to_numpy()["timestamp"])
    if counted != n:
        print(f"the recording holds {counted:,} frames, not {n:,}")
    sample = min(n, 1_000_000)
    t_iter_sample = best(lambda: sum(1 for _ in itertools.islice(reader, sample)), 1)
    row(f"iteration (first {sample:,} frames, 1 run)", sample, t_iter_sample)
    iteration_rate = sample / t_iter_sample
    rates = {}
    for name, call in (("to_numpy()", reader.to_numpy), ("to_arrow()", reader.to_arrow),
                       ("to_pandas() (Arrow-backed data)", reader.to_pandas),
                       ("to_pandas(data='bytes')", lambda: reader.to_pandas(data="bytes"))):
        seconds = best(call)
        row(name, n, seconds)
        rates[name] = n / seconds

    # asammdf on a python-can-written recording of the same frames.
    from asammdf import MDF

    def asammdf_numpy():
        mdf = MDF(pc_path)
        out = {}
        for index, group in enumerate(mdf.groups):
            names = [(None, index, ch) for ch in range(len(group.channels))]
            for signal in mdf.select(names):
                out[(index, signal.name)] = signal.samples
        mdf.close()
        return out

    def asammdf_frame():
        mdf = MDF(pc_path)
        frame = mdf.to_dataframe()
        mdf.close()
        return frame

    t_asammdf_numpy = best(asammdf_numpy)
    t_asammdf_frame = best(asammdf_frame)
    row("asammdf, python-can recording -> numpy", pc_frames, t_asammdf_numpy,
        f"to_numpy() {rates['to_numpy()'] / (pc_frames / t_asammdf_numpy):.1f} x per frame")
    row("asammdf, python-can recording -> DataFrame", pc_frames, t_asammdf_frame,
        f"to_pandas() {rates['to_pandas() (Arrow-backed data)'] / (pc_frames / t_asammdf_frame):.1f} x per frame")
    with mod.MdfFile(pc_path, any_writer=True) as pc_reader:
        row("to_numpy(), python-can recording (any_writer)", pc_frames, best(pc_reader.to_numpy))
        row("to_pandas(), python-can recording (any_writer)", pc_frames, best(pc_reader.to_pandas))

    # Filtered iteration: five CAN FD identifiers, about 1% of the frames.
    filters = [{"can_id": 0x100 + i, "can_mask": 0x1FFFFFFF, "extended": True} for i in range(5)]
    t_all = best(lambda: sum(1 for _ in reader), 1)
    row("iteration, every frame (1 run)", n, t_all)
    with mod.MdfFile(path, can_filters=filters) as filtered:
        kept = sum(1 for _ in filtered)
        t_filtered = best(lambda: sum(1 for _ in filtered))
    row(f"iteration, can_filters keeping {kept / n:.2%}", n, t_filtered, f"{t_all / t_filtered:.1f} x faster")

    # A window of 1% of the recording, in its middle.
    origin = reader.start_timestamp
    span = n * mr.LARGE_TIME_STEP
    start, stop = origin + 0.5 * span, origin + 0.51 * span
    t_whole = best(reader.to_numpy)
    with mod.MdfFile(path, start=start, stop=stop) as window:
        in_window = len(window.to_numpy()["timestamp"])
        t_window = best(window.to_numpy)
        t_window_iter = best(lambda: sum(1 for _ in window))
    row(f"to_numpy(), start/stop window ({in_window:,} frames)", n, t_window,
        f"{t_whole / t_window:.1f} x faster than whole")
    row("iteration, start/stop window", n, t_window_iter, f"{t_all / t_window_iter:.1f} x faster than whole")

    # Two threads on two recordings against one thread reading both in turn.
    other = mod.MdfFile(second)
    t_serial = best(lambda: (reader.to_numpy(), other.to_numpy()))

    def parallel():
        threads = [threading.Thread(target=r.to_numpy) for r in (reader, other)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()

    t_parallel = best(parallel)
    row("to_numpy() of two recordings, one thread", 2 * n, t_serial)
    row("to_numpy() of two recordings, two threads", 2 * n, t_parallel, f"{t_serial / t_parallel:.2f} x throughput")
    other.close()
    reader.close()

    print()
    memory = {}
    for method in ("to_numpy", "to_arrow", "to_pandas"):
        peak, own = peak_memory(path, method)
        memory[method] = peak / own
        print(f"peak memory {method:<36} {peak / 1e6:>12,.0f} MB above baseline, arrays {own / 1e6:,.0f} MB: "
              f"{peak / own:.2f} x")
    print(f"load average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")

    numpy_rate = rates["to_numpy()"]
    targets.check("to_numpy(), M frames/s", numpy_rate / 1e6, 15, "")
    targets.check("to_numpy() against iteration, x", numpy_rate / iteration_rate, 15, "")
    targets.check("to_numpy() against asammdf's numpy columns (per frame), x",
                  numpy_rate / (pc_frames / t_asammdf_numpy), 6, "")
    targets.check("to_arrow(), M frames/s", rates["to_arrow()"] / 1e6, 10, "")
    targets.check("to_pandas(), M frames/s", rates["to_pandas() (Arrow-backed data)"] / 1e6, 5, "")
    targets.check("to_pandas(data='bytes'), M frames/s", rates["to_pandas(data='bytes')"] / 1e6, 3, "")
    for method, ratio in memory.items():
        targets.check(f"peak memory of {method}() over its arrays, x", ratio, 1.3, "", at_most=True)
    targets.check("filter keeping 1% against unfiltered iteration, x", t_all / t_filtered, 10, "")
    targets.check("window of 1% against the whole (to_numpy), x", t_whole / t_window, 20, "")
    targets.check("window of 1% against the whole (iteration), x", t_all / t_window_iter, 20, "")
    targets.check("two threads on two recordings against one, x", t_serial / t_parallel, 1.6, "")
    targets.print()


if __name__ == "__main__":
    main()
