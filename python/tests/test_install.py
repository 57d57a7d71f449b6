"""``pip install ./python`` into a scratch target, offline, with Debian's Python; the installed
package then drives a simulated unit with the built library."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

import zel_api
from conftest import PYTHON_DIR, REPO

# Run by the installed package, from a directory outside the source tree.
DRIVE = """
import sys
from pathlib import Path
import zel_api
assert Path(zel_api.__file__).resolve().parent.parent == Path(sys.argv[1]).resolve(), zel_api.__file__
with zel_api.Unit(sys.argv[2]) as unit:
    unit.set_attenuation_db(1, 12.5)
    print(zel_api.__version__, f"{unit.attenuation_db(1):.2f}", unit.channel_count, zel_api.library()._name)
"""


def test_pip_install_then_drive_a_unit(lib, sim, tmp_path):
    # A copy of the source tree's package and project file: pip builds in the tree it is given.
    source = tmp_path / "src"
    shutil.copytree(PYTHON_DIR, source / "python",
                    ignore=shutil.ignore_patterns("tests", "build", "*.egg-info", "__pycache__"))
    shutil.copy(REPO / "CMakeLists.txt", source)
    target = tmp_path / "target"
    pip = subprocess.run([sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                          "--no-deps", "--no-cache-dir", "--disable-pip-version-check", "--quiet",
                          "--target", str(target), str(source / "python")],
                         capture_output=True, text=True, timeout=300)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    assert (target / "zel_api" / "unit.py").is_file()

    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", zel_api.LIBRARY_ENV)}
    env["PYTHONPATH"] = str(target)

    def drive(**extra):
        result = subprocess.run([sys.executable, "-c", DRIVE, str(target), sim], cwd=tmp_path,
                                env={**env, **extra}, capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        return result.stdout.split()

    expected = os.environ.get("ZEL_PROJECT_VERSION") or zel_api.__version__
    assert expected != "0+unknown"
    built = os.path.abspath(lib._name)
    version, db, channels, loaded = drive(**{zel_api.LIBRARY_ENV: built})
    assert (version, channels, loaded) == (expected, "8", built)
    assert abs(float(db) - 12.5) <= 0.01

    # Without $ZEL_API_LIBRARY the library is found next to the installed package.
    beside = target / "zel_api" / "libzel_api.so.1"
    shutil.copy(os.path.realpath(lib._name), beside)
    assert drive()[3] == str(beside)
