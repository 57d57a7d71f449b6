"""The package version: the version the project's CMakeLists.txt declares.

In the source tree it is read from ``CMakeLists.txt`` beside ``python/`` at import. An installed
package carries it as a literal: the build (setup.py) writes this module anew with the version
it read from the same place.
"""

from __future__ import annotations

import re
from pathlib import Path

PROJECT_FILE = Path(__file__).resolve().parent.parent.parent / "CMakeLists.txt"

# project(zel_api VERSION 1.2.3 ...), over one or several lines.
_PROJECT = re.compile(r"\bproject\s*\(\s*zel_api\b[^)]*?\bVERSION\s+(\d+(?:\.\d+){0,3})\b", re.I)


def project_version(cmake_lists: Path = PROJECT_FILE) -> str:
    """The version in the ``project(zel_api VERSION ...)`` call of ``cmake_lists``. Raises
    ``LookupError`` when the file holds none, ``OSError`` when it cannot be read."""
    text = re.sub(r"#[^\n]*", "", cmake_lists.read_text(encoding="utf-8"))
    match = _PROJECT.search(text)
    if match is None:
        raise LookupError(f"{cmake_lists} declares no project(zel_api VERSION ...)")
    return match.group(1)


try:
    __version__ = project_version()
except (OSError, LookupError):
    # A copy of the package without its source tree and not installed: no version to tell.
    __version__ = "0+unknown"
