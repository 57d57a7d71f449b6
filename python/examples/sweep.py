#!/usr/bin/python3
"""Sweep one channel's attenuation from 0 to 30 dB and write a CSV of the set attenuation,
the attenuation read back and the calibrated optical power.

    /usr/bin/python3 python/examples/sweep.py --ip 127.0.0.1 --channel 0 --output sweep.csv
"""

from __future__ import annotations

import argparse
import csv
import sys
from pathlib import Path
from typing import List, Optional, TextIO

try:
    import zel_api
except ImportError:  # run from the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
    import zel_api

MAX_DB = 30.0


def attenuation_steps(step: float) -> List[float]:
    """0, step, 2*step, ... up to and including 30 dB."""
    if step <= 0:
        raise ValueError("the step must be positive")
    count = int(MAX_DB / step + 1e-9)
    steps = [round(i * step, 6) for i in range(count + 1)]
    if steps[-1] < MAX_DB:
        steps.append(MAX_DB)
    return steps


def sweep(unit: zel_api.Unit, channel: int, step: float, out: TextIO) -> int:
    """Write the CSV header and one row per attenuation; return the number of rows."""
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["set_db", "read_db", "power_uw"])
    rows = 0
    for db in attenuation_steps(step):
        unit.set_attenuation_db(channel, db)
        writer.writerow([f"{db:.2f}", f"{unit.attenuation_db(channel):.4f}",
                         f"{unit.optical_power(channel):.6g}"])
        rows += 1
    return rows


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ip", default="127.0.0.1", help="address of the unit")
    parser.add_argument("--channel", type=int, default=0, help="channel to sweep (default 0)")
    parser.add_argument("--step", type=float, default=1.0, help="attenuation step in dB (default 1)")
    parser.add_argument("--output", help="CSV file to write (default: standard output)")
    parser.add_argument("--library", help="path of libzel_api.so")
    args = parser.parse_args(argv)

    if args.library:
        zel_api.use_library(zel_api.load_library(args.library))
    try:
        with zel_api.Unit(args.ip) as unit:
            if args.output:
                with open(args.output, "w", newline="") as out:
                    sweep(unit, args.channel, args.step, out)
            else:
                sweep(unit, args.channel, args.step, sys.stdout)
    except zel_api.ZelError as exc:
        print(f"sweep: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
