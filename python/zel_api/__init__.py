"""Python binding of ``libzel_api``: drive fibre-optic test units over TCP.

``Unit`` is the Pythonic way in::

    from zel_api import Unit

    with Unit("127.0.0.1") as unit:
        unit.set_attenuation_db(0, 12.5)
        print(unit.attenuation_db(0), unit.optical_power(0))

The C functions stay reachable with their C semantics (status results, out-pointers) through
``zel_api.raw``, the loaded ``ctypes.CDLL`` with every prototype declared::

    zel_api.raw.APIConnect(0, b"127.0.0.1")

The library is looked for by :func:`load_library`: an explicit path, then ``$ZEL_API_LIBRARY``,
then next to the package (its own directory, then ``build/`` of the source tree holding it),
then through the system's loader (``libzel_api.so.1``; ``ZEL_API.dll`` on Windows).
"""

from ._library import (EXPECTED_API_REVISION, FRAME_TRACE_FN, LIBRARY_ENV, PROTOTYPES,
                       candidate_paths, library, load_library, use_library)
from ._version import __version__
from .errors import (CaptureWarning, ErrorCode, LibraryNotFoundError, LinkReopenedWarning, ZelError, ZelTypeError,
                     ZelValueError)
from .station import Station, StationFileError, StationUnit, read_station_file
from .unit import (EEPROM_SIZE, FRAME_RECEIVED, FRAME_SENT, RECORD_DEFINED, RECORD_SLOT,
                   RECORD_SWITCH_LOSS, RECORD_TAP, RECORD_USER_RX, RECORD_USER_TX, RECORD_VOA,
                   RECORD_VOA_LOSS, TABLE_SIZE, Record, SerialNumber, SwitchPorts, Unit)

__all__ = [
    "EEPROM_SIZE", "EXPECTED_API_REVISION", "FRAME_RECEIVED", "FRAME_SENT", "FRAME_TRACE_FN",
    "LIBRARY_ENV", "PROTOTYPES", "RECORD_DEFINED", "RECORD_SLOT", "RECORD_SWITCH_LOSS",
    "RECORD_TAP", "RECORD_USER_RX", "RECORD_USER_TX", "RECORD_VOA", "RECORD_VOA_LOSS",
    "TABLE_SIZE", "CaptureWarning", "ErrorCode", "LibraryNotFoundError", "LinkReopenedWarning", "Record",
    "SerialNumber", "Station", "StationFileError", "StationUnit", "SwitchPorts", "Unit",
    "ZelError", "ZelTypeError", "ZelValueError", "__version__", "candidate_paths", "error_text",
    "library", "load_library", "read_station_file", "use_library",
]


def error_text(code: int) -> str:
    """The library's English description of an :class:`ErrorCode`."""
    return library().zel_ErrorText(int(code)).decode("ascii", "replace")


def __getattr__(name: str) -> object:
    # ``zel_api.raw`` / ``zel_api.lib``: the library, loaded on first use.
    if name in ("raw", "lib"):
        return library()
    raise AttributeError(f"module 'zel_api' has no attribute {name!r}")
