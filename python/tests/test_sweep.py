"""The sweep example runs against a unit and writes a sensible CSV; its mistakes are named."""

from __future__ import annotations

import csv
import os
import subprocess
import sys

import pytest

from conftest import PYTHON_DIR, _random_loopback

SWEEP = str(PYTHON_DIR / "examples" / "sweep.py")


def run_sweep(lib, *args, env=None):
    environment = {k: v for k, v in os.environ.items() if k != "ZEL_UNIT"}
    environment.update(env or {})
    return subprocess.run([sys.executable, SWEEP, "--library", lib._name, *args],
                          capture_output=True, text=True, timeout=60, env=environment)


def test_sweep_writes_power_falling_with_attenuation(lib, start_sim, tmp_path):
    address = start_sim("--power", "1=800")
    out = tmp_path / "sweep.csv"
    result = run_sweep(lib, "--channel", "1", "--step", "2.5", "--output", str(out),
                       env={"ZEL_UNIT": address})  # the address from the environment
    assert result.returncode == 0, result.stderr
    with out.open() as f:
        rows = list(csv.DictReader(f))
    set_db = [float(r["set_db"]) for r in rows]
    assert set_db == [2.5 * i for i in range(13)]
    for row in rows:
        assert float(row["read_db"]) == pytest.approx(float(row["set_db"]), abs=0.01)
    power = [float(r["power_uw"]) for r in rows]
    assert all(a > b for a, b in zip(power, power[1:]))
    assert power[0] == pytest.approx(800, rel=0.05)
    assert power[-1] == pytest.approx(0.8, rel=0.1)  # 30 dB down


def test_sweep_names_its_mistakes_before_any_output(lib, start_sim, tmp_path):
    address = start_sim()
    for step in ("0", "-1", "31", "x"):
        result = run_sweep(lib, "--ip", address, "--step", step)
        assert result.returncode == 2 and "Traceback" not in result.stderr
        assert "argument --step" in result.stderr and result.stdout == ""

    # A channel the board lacks: the unit's refusal, and neither a header nor a file.
    out = tmp_path / "none.csv"
    for extra in ([], ["--output", str(out)]):
        result = run_sweep(lib, "--ip", address, "--channel", "9", *extra)
        assert result.returncode == 1
        assert "NO_SUCH_CHANNEL" in result.stderr and result.stdout == ""
    assert not out.exists()

    result = run_sweep(lib)
    assert result.returncode == 2 and "give --ip or set $ZEL_UNIT" in result.stderr

    result = run_sweep(lib, "--ip", _random_loopback(), "--step", "10")
    assert result.returncode == 1 and "refused" in result.stderr


def test_sweep_help_is_whole():
    result = subprocess.run([sys.executable, SWEEP, "--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0
    text = " ".join(result.stdout.split())
    assert ("write a CSV of the set attenuation, the attenuation read back and the calibrated "
            "optical power.") in text
    for option in ("--ip", "--channel", "--step", "--output", "--library"):
        assert option in text
    assert "$ZEL_UNIT" in text and "Exit status" in text
