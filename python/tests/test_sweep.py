"""The sweep example runs against a unit and writes a sensible CSV."""

from __future__ import annotations

import csv
import subprocess
import sys

import pytest

from conftest import PYTHON_DIR, _random_loopback


def test_sweep_writes_power_falling_with_attenuation(lib, start_sim, tmp_path):
    address = start_sim("--power", "1=800")
    out = tmp_path / "sweep.csv"
    subprocess.run([sys.executable, str(PYTHON_DIR / "examples" / "sweep.py"), "--ip", address,
                    "--channel", "1", "--step", "2.5", "--output", str(out), "--library", lib._name],
                   check=True, timeout=60)
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


def test_sweep_reports_an_unreachable_unit(lib, tmp_path):
    result = subprocess.run([sys.executable, str(PYTHON_DIR / "examples" / "sweep.py"),
                             "--ip", _random_loopback(), "--library", lib._name, "--step", "10"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 1
    assert "refused" in result.stderr
