#!/usr/bin/env python3
"""What finding VLSD values by their offset costs: one recording of N frames
(half classic CAN, half CAN FD whose payloads are VLSD records), written
twice, once with each VLSD record right after the record that refers to it
(the ordinary layout) and once with the VLSD records in an order of their
own, each at a place of its own among the fixed records; both read with
any_writer=True, by iteration and by to_numpy(), best of R runs, CPU time.

    python bench/completeness.py [--frames N] [--repeat R] [--workdir DIR]

Prints a table and the memory the index of VLSD records takes (8 bytes a
record); never asserts. The target: the shuffled layout within 1.5 times
the ordinary one.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import resource
import sys
import tempfile
import time
from typing import Callable, Dict, List

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import make_recordings  # noqa: E402
import python_can_tolvar_mf4 as tolvar  # noqa: E402


def iterate(path: str) -> int:
    with tolvar.MdfFile(path, any_writer=True) as reader:
        return sum(1 for _ in reader)


def to_numpy(path: str) -> int:
    with tolvar.MdfFile(path, any_writer=True) as reader:
        return len(reader.to_numpy()["timestamp"])


def best_cpu(run: Callable[[], int], repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.process_time()
        run()
        best = min(best, time.process_time() - start)
    return best


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=1_000_000, help="frames in all (half CAN FD)")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--workdir", default=None)
    args = ap.parse_args()
    workdir = pathlib.Path(args.workdir or tempfile.mkdtemp(prefix="tolvar-completeness-"))
    workdir.mkdir(parents=True, exist_ok=True)
    half = args.frames // 2
    paths: Dict[str, str] = {}
    for name, shuffle in (("ordinary", False), ("shuffled", True)):
        path = workdir / f"{name}.mf4"
        if not path.exists():
            make_recordings.write_large(str(path), half, groups=2, shuffle_vlsd=shuffle)
        paths[name] = str(path)
    frames = iterate(paths["ordinary"])
    assert frames == iterate(paths["shuffled"]) == to_numpy(paths["shuffled"])
    print(f"frames: {frames:,} ({half:,} CAN FD with VLSD payloads); load average {os.getloadavg()[0]:.1f}")
    print(f"{'read':<12}{'layout':<12}{'CPU s':>8}{'M frames/s':>12}{'ratio':>8}")
    for label, run in (("iteration", iterate), ("to_numpy", to_numpy)):
        times: List[float] = []
        for name in ("ordinary", "shuffled"):
            times.append(best_cpu(lambda: run(paths[name]), args.repeat))
            print(f"{label:<12}{name:<12}{times[-1]:8.3f}{frames / times[-1] / 1e6:12.2f}"
                  f"{times[-1] / times[0]:8.2f}")
    print(f"index of VLSD records: {half:,} records x 8 bytes = {half * 8 / 2**20:.1f} MiB "
          f"(the pages of values read where they lie are kept up to 128 MiB a walk)")
    print(f"peak RSS of this process: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
