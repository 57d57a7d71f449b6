"""Finding and loading the zel_api library and declaring the C prototype of every export."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple, Union

from .errors import LibraryNotFoundError

#: The revision the library must report through ``APIGetAPIRev``.
EXPECTED_API_REVISION = 6926.0

#: Environment variable naming the shared library to load.
LIBRARY_ENV = "ZEL_API_LIBRARY"

if os.name == "nt":
    #: File names of the library looked for next to the package.
    FILE_NAMES: Tuple[str, ...] = ("ZEL_API.dll",)
    #: Names handed to the system's loader (after ctypes.util.find_library).
    SYSTEM_NAMES: Tuple[str, ...] = ("ZEL_API.dll",)
else:
    FILE_NAMES = ("libzel_api.so.1", "libzel_api.so")
    SYSTEM_NAMES = ("libzel_api.so.1",)

c_uint8, c_uint16, c_int32, c_uint32 = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_int32, ctypes.c_uint32
c_int64, c_double, c_char_p, c_void_p = ctypes.c_int64, ctypes.c_double, ctypes.c_char_p, ctypes.c_void_p
P = ctypes.POINTER

#: ``zel_error`` is a C enum: an ``int`` on every platform the library is built for.
c_zel_error = ctypes.c_int

#: ``void (*)(void* user, int direction, const uint8_t* bytes, size_t length)``
FRAME_TRACE_FN = ctypes.CFUNCTYPE(None, c_void_p, ctypes.c_int, P(c_uint8), ctypes.c_size_t)

# Instance pointers travel as plain void pointers; the structure is opaque to the host.
_INST = c_void_p
_UNIT = c_uint8

#: name -> (restype, argtypes), exactly as declared in include/zel_api.h.
PROTOTYPES: Dict[str, Tuple[object, Sequence[object]]] = {
    # Unit-index family.
    "APIAccessBoardRegister": (c_uint8, [_UNIT, c_uint8, c_uint16, c_uint16, P(c_uint16)]),
    "APIAddWavelength": (c_uint8, [_UNIT, c_uint16]),
    "APIConnect": (c_uint8, [_UNIT, c_char_p]),
    "APIDisconnect": (c_uint8, [_UNIT]),
    "APIMonitor": (c_int32, [c_int32, c_uint8, c_uint8, P(c_double)]),
    "APIRead4x1SwitchInsertionLoss": (c_uint8, [_UNIT, c_uint16, P(c_double)]),
    "APIReadBoardID": (c_uint32, [_UNIT]),
    "APIReadBoardSN": (c_int32, [_UNIT]),
    "APIReadDoubleValueFromEEProm": (c_uint8, [_UNIT, c_uint16, P(c_double)]),
    "APIReadFirmwareRevision": (c_double, [_UNIT]),
    "APIReadOpticalPower": (c_uint8, [_UNIT, c_uint16, P(c_uint16)]),
    "APIReadSerialNumber": (c_uint8, [_UNIT, P(c_int64), P(c_int32)]),
    "APIReadSwicthSelect_2x2": (c_uint8, [_UNIT, c_uint16, P(c_uint16)]),
    "APIReadSwicthSelect_LBMM_1x4": (c_uint8, [_UNIT, c_uint16, P(c_uint16)]),
    "APIReadSwicthSelect_MEMS_1x4": (c_uint8, [_UNIT, c_uint16, P(c_uint16)]),
    "APIReadTAPCalibration": (c_uint8, [_UNIT, c_uint16, P(c_double)]),
    "APIReadTypeFromEEPROM": (c_uint8, [_UNIT, P(c_uint16)]),
    "APIReadUserRXCalibration": (c_uint8, [_UNIT, c_uint16, P(c_double)]),
    "APIReadUserTXCalibration": (c_uint8, [_UNIT, c_uint16, P(c_double)]),
    "APIReadVOAAttenuation": (c_uint8, [_UNIT, c_uint16, P(c_uint16)]),
    "APIReadVOACalibration": (c_uint8, [_UNIT, c_uint16, P(c_double)]),
    "APIReadVOADefinedValues": (c_uint8, [_UNIT, c_uint16, P(c_uint16)]),
    "APIReadVOAInsertionLoss": (c_uint8, [_UNIT, c_uint16, P(c_double)]),
    "APIReadValueFromEEProm": (c_uint8, [_UNIT, c_uint16]),
    "APIScreenControl": (c_uint8, [_UNIT, c_uint16, c_uint8]),
    "APISetDefaultWavelength": (c_uint8, [_UNIT]),
    "APISetVOAAttenuation": (c_uint8, [_UNIT, c_uint16, c_int32]),
    "APISetWavelength": (c_uint8, [_UNIT, c_uint16]),
    "APISwicthSelect_2x2": (c_uint8, [_UNIT, c_uint16, c_uint16]),
    "APISwicthSelect_LBMM_1x4": (c_uint8, [_UNIT, c_uint16, c_uint16]),
    "APISwicthSelect_MEMS_1x4": (c_uint8, [_UNIT, c_uint16, c_uint16]),
    "APITempRead": (c_double, [_UNIT, c_int32]),
    "APIWrite4x1SwitchInsertionLoss": (c_uint8, [_UNIT, c_uint16, c_double]),
    "APIWriteBoardSN": (c_uint8, [_UNIT, c_int32]),
    "APIWriteDoubleValueToEEProm": (c_uint8, [_UNIT, c_uint16, c_double]),
    "APIWriteStatusToEEProm": (c_uint8, [_UNIT, c_uint16, c_uint16, c_double]),
    "APIWriteTAPCalibration": (c_uint8, [_UNIT, c_uint16, c_double]),
    "APIWriteTypeToEEPROM": (c_uint8, [_UNIT, c_uint16]),
    "APIWriteUserRXCalibration": (c_uint8, [_UNIT, c_uint16, c_double]),
    "APIWriteUserTXCalibration": (c_uint8, [_UNIT, c_uint16, c_double]),
    "APIWriteVOACalibration": (c_uint8, [_UNIT, c_uint16, P(c_double)]),
    "APIWriteVOADefinedValues": (c_uint8, [_UNIT, c_uint16, P(c_uint16)]),
    "APIWriteVOAInsertionLoss": (c_uint8, [_UNIT, c_uint16, c_double]),
    "APIWriteValueToEEProm": (c_uint8, [_UNIT, c_uint16, c_uint16]),
    # Instance family.
    "APIGetAPIRev": (c_double, [_INST]),
    "zel_createInstance": (_INST, []),
    "zel_Connect": (c_uint8, [_INST, c_char_p]),
    "zel_Disconnect": (c_uint8, [_INST]),
    "zel_ReadBoardID": (c_uint32, [_INST]),
    "zel_ReadFirmwareRevision": (c_double, [_INST]),
    "zel_ReadOpticalPower": (c_uint8, [_INST, c_uint16, P(c_double)]),
    "zel_ReadSerialNumber": (c_uint8, [_INST, P(c_int64), P(c_int32)]),
    "zel_ReadSwitchSelect_2x2": (c_uint8, [_INST, c_uint16, P(c_uint16)]),
    "zel_ReadSwitchSelect_LBMM_4x1": (c_uint8, [_INST, c_uint16, P(c_uint16)]),
    "zel_ReadSwitchSelect_LBMM_8x1": (c_uint8, [_INST, c_uint16, P(c_uint16)]),
    "zel_ReadSwitchSelect_MEMS_4x1": (c_uint8, [_INST, c_uint16, P(c_uint16)]),
    "zel_ReadSwitchSelect_MEMS_8x1": (c_uint8, [_INST, c_uint16, P(c_uint16)]),
    "zel_ReadTypeFromEEPROM": (c_uint8, [_INST, P(c_uint16)]),
    "zel_ReadVOAAttenuation": (c_uint8, [_INST, c_uint16, P(c_double)]),
    "zel_ScreenControl": (c_uint8, [_INST, c_uint16, c_uint8]),
    "zel_SetVOAAttenuation": (c_uint8, [_INST, c_uint16, c_double]),
    "zel_SwitchSelect_2x2": (c_uint8, [_INST, c_uint16, c_uint16]),
    "zel_SwitchSelect_LBMM_4x1": (c_uint8, [_INST, c_uint16, c_uint16]),
    "zel_SwitchSelect_LBMM_8x1": (c_uint8, [_INST, c_uint16, c_uint16]),
    "zel_SwitchSelect_MEMS_4x1": (c_uint8, [_INST, c_uint16, c_uint16]),
    "zel_SwitchSelect_MEMS_8x1": (c_uint8, [_INST, c_uint16, c_uint16]),
    "zel_TempRead": (c_double, [_INST, c_int32]),
    # Diagnostics and instance release.
    "zel_destroyInstance": (None, [_INST]),
    "zel_LastError": (c_zel_error, [_INST]),
    "APILastError": (c_zel_error, [_UNIT]),
    "zel_ErrorText": (c_char_p, [c_zel_error]),
    "zel_ReadEEPromByte": (c_uint8, [_INST, c_uint16, P(c_uint8)]),
    "zel_SetFrameTrace": (c_uint8, [_INST, FRAME_TRACE_FN, c_void_p]),
    "APISetFrameTrace": (c_uint8, [_UNIT, FRAME_TRACE_FN, c_void_p]),
    "zel_SelectWavelength": (c_uint8, [_INST, c_uint16]),
    "zel_QuickConnect": (c_uint8, [_INST, c_char_p]),
    "zel_SetTimeout": (c_uint8, [_INST, c_uint32]),
    "zel_GetBoardType": (c_uint8, [_INST, P(c_uint16)]),
    "zel_GetLinkReopens": (c_uint8, [_INST, P(c_uint32)]),
    "zel_SetAutoReopen": (c_uint8, [_INST, c_uint8]),
    "zel_Cancel": (c_uint8, [_INST]),
    "zel_StartCapture": (c_uint8, [_INST, c_char_p]),
    "zel_StopCapture": (c_uint8, [_INST]),
    "APISetTimeout": (c_uint8, [_UNIT, c_uint32]),
    # Instance forms of the unit-index operations, unit knowledge and block EEPROM reads.
    "zel_AccessBoardRegister": (c_uint8, [_INST, c_uint8, c_uint16, c_uint16, P(c_uint16)]),
    "zel_AccessRegisterBank": (c_uint8, [_INST, c_uint8, c_uint16, c_uint16, P(c_uint16)]),
    "zel_AddWavelength": (c_uint8, [_INST, c_uint16]),
    "zel_GetChannelCount": (c_uint8, [_INST, P(c_uint8)]),
    "zel_GetRecordLocation": (c_uint8, [_INST, c_uint8, c_uint16, c_uint32, P(c_uint32), P(c_uint32)]),
    "zel_GetSwitchPorts": (c_uint8, [_INST, P(c_uint8), P(c_uint8), P(c_uint8)]),
    "zel_GetWavelengths": (c_uint8, [_INST, P(c_uint16), ctypes.c_size_t, P(ctypes.c_size_t)]),
    "zel_Monitor": (c_uint8, [_INST, c_uint8, c_uint8, P(c_double)]),
    "zel_Read4x1SwitchInsertionLoss": (c_uint8, [_INST, c_uint16, P(c_double)]),
    "zel_ReadBoardSN": (c_int32, [_INST]),
    "zel_ReadDoubleValueFromEEProm": (c_uint8, [_INST, c_uint16, P(c_double)]),
    "zel_ReadEEProm": (c_uint8, [_INST, c_uint32, P(c_uint8), ctypes.c_size_t]),
    "zel_ReadOpticalPowerCount": (c_uint8, [_INST, c_uint16, P(c_uint16)]),
    "zel_ReadTAPCalibration": (c_uint8, [_INST, c_uint16, P(c_double)]),
    "zel_ReadUserRXCalibration": (c_uint8, [_INST, c_uint16, P(c_double)]),
    "zel_ReadUserTXCalibration": (c_uint8, [_INST, c_uint16, P(c_double)]),
    "zel_ReadVOACalibration": (c_uint8, [_INST, c_uint16, P(c_double)]),
    "zel_ReadVOACode": (c_uint8, [_INST, c_uint16, P(c_uint16)]),
    "zel_ReadVOADefinedValues": (c_uint8, [_INST, c_uint16, P(c_uint16)]),
    "zel_ReadVOAInsertionLoss": (c_uint8, [_INST, c_uint16, P(c_double)]),
    "zel_SetDefaultWavelength": (c_uint8, [_INST]),
    "zel_SetVOACode": (c_uint8, [_INST, c_uint16, c_uint16]),
    "zel_SetWavelength": (c_uint8, [_INST, c_uint16]),
    "zel_Write4x1SwitchInsertionLoss": (c_uint8, [_INST, c_uint16, c_double]),
    "zel_WriteBoardSN": (c_uint8, [_INST, c_int32]),
    "zel_WriteDoubleValueToEEProm": (c_uint8, [_INST, c_uint16, c_double]),
    "zel_WriteStatusToEEProm": (c_uint8, [_INST, c_uint16, c_uint16, c_double]),
    "zel_WriteTAPCalibration": (c_uint8, [_INST, c_uint16, c_double]),
    "zel_WriteTypeToEEPROM": (c_uint8, [_INST, c_uint16]),
    "zel_WriteUserRXCalibration": (c_uint8, [_INST, c_uint16, c_double]),
    "zel_WriteUserTXCalibration": (c_uint8, [_INST, c_uint16, c_double]),
    "zel_WriteVOACalibration": (c_uint8, [_INST, c_uint16, P(c_double)]),
    "zel_WriteVOADefinedValues": (c_uint8, [_INST, c_uint16, P(c_uint16)]),
    "zel_WriteVOAInsertionLoss": (c_uint8, [_INST, c_uint16, c_double]),
    "zel_WriteValueToEEProm": (c_uint8, [_INST, c_uint16, c_uint8]),
}


def _package_dir() -> Path:
    return Path(__file__).resolve().parent


def _source_build_dir() -> Optional[Path]:
    """``<repo>/build`` when this package lives in ``<repo>/python/zel_api`` of a source tree
    (the project's CMakeLists.txt beside ``python/``), else None."""
    repo = _package_dir().parent.parent
    return repo / "build" if (repo / "CMakeLists.txt").is_file() else None


def candidate_paths(path: Union[str, os.PathLike, None] = None) -> List[Tuple[str, str]]:
    """The places searched, in order, as (description, path or name) pairs.

    An explicit ``path`` is the only candidate when given: asking for one library and
    silently getting another would hide a broken setup.
    """
    if path is not None:
        return [("explicit path", os.fspath(path))]
    places: List[Tuple[str, str]] = []
    env = os.environ.get(LIBRARY_ENV)
    if env:
        places.append((f"${LIBRARY_ENV}", env))
    beside = [_package_dir()]
    build = _source_build_dir()
    if build is not None:
        beside.append(build)
    for directory in beside:
        for name in FILE_NAMES:
            places.append(("next to the package", str(directory / name)))
    found = ctypes.util.find_library("zel_api")
    if found:
        places.append(("system loader (find_library)", found))
    for name in SYSTEM_NAMES:
        if name != found:
            places.append(("system loader", name))
    return places


def not_found_message(tried: Sequence[str]) -> str:
    """Why no library loaded: the three ways to provide one, then every place looked at."""
    ways = (f"set ${LIBRARY_ENV} to the library's path, put {' or '.join(FILE_NAMES)} next to the "
            f"package (in {_package_dir()}), or install it where the system's loader finds "
            f"{' or '.join(SYSTEM_NAMES)}")
    return f"cannot load the zel_api library: {ways}. Looked at:\n  " + "\n  ".join(tried)


def declare_prototypes(lib: ctypes.CDLL) -> ctypes.CDLL:
    """Set ``restype`` and ``argtypes`` of every export; a missing export is an error."""
    missing = [name for name in PROTOTYPES if not hasattr(lib, name)]
    if missing:
        raise LibraryNotFoundError(f"{lib._name} lacks the exports {', '.join(missing)}")
    for name, (restype, argtypes) in PROTOTYPES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = list(argtypes)
    return lib


def load_library(path: Union[str, os.PathLike, None] = None) -> ctypes.CDLL:
    """Load the library, declare its prototypes and check its revision.

    Looks at ``path`` when given; otherwise at ``$ZEL_API_LIBRARY``, next to the package (its
    own directory, then the ``build`` directory of the source tree holding it) and through the
    system's loader, in that order. Raises
    :class:`LibraryNotFoundError` naming every place looked at when none loads, or when the
    library found answers ``APIGetAPIRev`` with anything but 6926.0.
    """
    tried: List[str] = []
    for description, candidate in candidate_paths(path):
        is_file_path = os.sep in candidate or bool(os.altsep and os.altsep in candidate)
        if is_file_path and not os.path.exists(candidate):
            tried.append(f"{description}: {candidate} (no such file)")
            continue
        try:
            lib = ctypes.CDLL(candidate)
        except OSError as exc:
            tried.append(f"{description}: {candidate} ({exc})")
            continue
        declare_prototypes(lib)
        revision = lib.APIGetAPIRev(None)
        if revision != EXPECTED_API_REVISION:
            raise LibraryNotFoundError(
                f"{candidate} reports API revision {revision}, expected {EXPECTED_API_REVISION}")
        return lib
    raise LibraryNotFoundError(not_found_message(tried))


_loaded: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The process-wide library, loaded from the default places on first use."""
    global _loaded
    if _loaded is None:
        _loaded = load_library()
    return _loaded


def use_library(lib: ctypes.CDLL) -> None:
    """Make ``lib`` (from :func:`load_library`) the library the :class:`Unit` class drives."""
    global _loaded
    _loaded = lib
