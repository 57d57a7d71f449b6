"""Build hooks of the zel_api package: its version is the CMake project version.

``pip install ./python`` (with Debian's python3-pip and python3-setuptools, offline:
``--no-build-isolation --no-index``) runs this from the source tree. The version is read from
``../CMakeLists.txt`` and written into the installed ``zel_api/_version.py`` as a literal, so an
installed package knows it without the source tree.
"""

import runpy
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = Path(__file__).resolve().parent


def _project_version() -> str:
    # _version.py runs on its own: importing the package would load the C library.
    version_module = runpy.run_path(str(HERE / "zel_api" / "_version.py"))
    return version_module["project_version"](HERE.parent / "CMakeLists.txt")


VERSION = _project_version()


class BuildPyWithVersion(build_py):
    """Copies the package, then replaces _version.py by the version as a literal."""

    def run(self) -> None:
        super().run()
        target = Path(self.build_lib) / "zel_api" / "_version.py"
        target.write_text('"""The package version: the CMake project version it was built from."""\n\n'
                          f'__version__ = "{VERSION}"\n', encoding="utf-8")


setup(version=VERSION, cmdclass={"build_py": BuildPyWithVersion})
