#!/usr/bin/python3
"""Sweep one channel's attenuation from 0 to 30 dB and write a CSV of the set attenuation, the
attenuation read back and the calibrated optical power.

    /usr/bin/python3 python/examples/sweep.py --ip 127.0.0.1 --channel 0 --output sweep.csv
"""

from __future__ import annotations

import argparse
import csv
import itertools
import os
import sys
import textwrap
from pathlib import Path
from typing import Iterator, List, Optional, TextIO, Tuple

try:
    import zel_api
except ImportError:  # run from the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
    import zel_api

MAX_DB = 30.0
UNIT_ENV = "ZEL_UNIT"

Row = Tuple[float, float, float]


def attenuation_steps(step: float) -> List[float]:
    """0, step, 2*step, ... up to and including 30 dB."""
    if not 0 < step <= MAX_DB:
        raise ValueError(f"the step must be more than 0 and at most {MAX_DB:g} dB, not {step:g}")
    count = int(MAX_DB / step + 1e-9)
    steps = [round(i * step, 6) for i in range(count + 1)]
    if steps[-1] < MAX_DB:
        steps.append(MAX_DB)
    return steps


def measure(unit: zel_api.Unit, channel: int, step: float) -> Iterator[Row]:
    """(set dB, read dB, power in microwatts) for each attenuation step."""
    for db in attenuation_steps(step):
        unit.set_attenuation_db(channel, db)
        yield db, unit.attenuation_db(channel), unit.optical_power(channel)


def write_csv(rows: Iterator[Row], open_out) -> int:
    """Write the CSV header and one line per row; return the number of rows. The output is
    opened (``open_out()``) only once the first row is measured, so a channel the unit refuses
    leaves no header and no file behind."""
    first = next(rows)
    out: TextIO = open_out()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["set_db", "read_db", "power_uw"])
    count = 0
    for db, read_db, power in itertools.chain([first], rows):
        writer.writerow([f"{db:.2f}", f"{read_db:.4f}", f"{power:.6g}"])
        count += 1
    out.flush()
    return count


def _step(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of dB: {text!r}") from None
    if not 0 < value <= MAX_DB:
        raise argparse.ArgumentTypeError(f"the step must be more than 0 and at most {MAX_DB:g} dB, not {text}")
    return value


def parser() -> argparse.ArgumentParser:
    doc = __doc__.strip().split("\n\n")
    status = ("Exit status: 0 when every step was measured, 1 when the unit refused or failed "
              "(the message names why), 2 for wrong arguments.")
    p = argparse.ArgumentParser(
        description=textwrap.fill(" ".join(doc[0].split()), 78),
        epilog=textwrap.fill(status, 78) + "\n\nExample:\n" + doc[1],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--ip", default=os.environ.get(UNIT_ENV) or None,
                   help=f"IPv4 address of the unit (default: ${UNIT_ENV})")
    p.add_argument("--channel", type=int, default=0, help="channel to sweep, 0..7 (default 0)")
    p.add_argument("--step", type=_step, default=1.0,
                   help=f"attenuation step in dB, more than 0 and at most {MAX_DB:g} (default 1); "
                        f"the last step is {MAX_DB:g} dB")
    p.add_argument("--output", help="CSV file to write (default: standard output)")
    p.add_argument("--library", help="path of the zel_api library (default: $ZEL_API_LIBRARY, "
                                     "next to the package, then the system's loader)")
    return p


def main(argv: Optional[List[str]] = None) -> int:
    p = parser()
    args = p.parse_args(argv)
    if not args.ip:
        p.error(f"no unit address: give --ip or set ${UNIT_ENV}")

    try:
        if args.library:
            zel_api.use_library(zel_api.load_library(args.library))
        with zel_api.Unit(args.ip) as unit:
            rows = measure(unit, args.channel, args.step)
            if args.output:
                files: List[TextIO] = []

                def open_file() -> TextIO:
                    files.append(open(args.output, "w", newline=""))
                    return files[-1]
                try:
                    write_csv(rows, open_file)
                finally:
                    for f in files:
                        f.close()
            else:
                write_csv(rows, lambda: sys.stdout)
    except (zel_api.ZelError, zel_api.LibraryNotFoundError, OSError) as exc:
        print(f"sweep: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
