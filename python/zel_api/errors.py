"""Exceptions of the binding and the library's failure codes."""

from __future__ import annotations

import enum
from typing import Optional


class ErrorCode(enum.IntEnum):
    """Why the last call on a unit failed (``zel_error`` in the C interface)."""

    OK = 0
    NOT_CONNECTED = 1
    BAD_ADDRESS = 2
    CONNECTION_REFUSED = 3
    CONNECT_FAILED = 4
    TIMEOUT = 5
    PEER_CLOSED = 6
    SHORT_REPLY = 7
    SEND_FAILED = 8
    SOCKET = 9
    NO_SUCH_CHANNEL = 10
    BAD_ARGUMENT = 11
    BAD_UNIT_INDEX = 12
    NOT_FOUND = 13
    TABLE_FULL = 14
    INTERNAL = 15
    NOT_CALIBRATED = 16
    BUSY = 17
    BAD_REPLY = 18
    OVER_RANGE = 19
    CANCELLED = 20
    CAPTURE = 21


class ZelError(Exception):
    """An operation on a unit failed.

    ``operation`` is the name of the C export that failed (``"zel_SetVOAAttenuation"``),
    ``code`` the library's :class:`ErrorCode` (or ``None`` when the binding itself refused the
    call: an operation the unit's family lacks) and ``reason`` the library's English
    description of the code, or what the binding can say more precisely: for
    :attr:`ErrorCode.BAD_ARGUMENT` the value and the range it left ("35 dB is outside 0..30
    dB"). For :attr:`ErrorCode.NOT_CALIBRATED`, ``channel`` and ``wavelength`` (nm) say which
    channel lacks calibration at which wavelength; otherwise they are ``None``.
    """

    def __init__(self, operation: str, code: Optional[int], reason: str, *,
                 channel: Optional[int] = None, wavelength: Optional[int] = None) -> None:
        self.operation = operation
        self.channel = channel
        self.wavelength = wavelength
        self.code: Optional[ErrorCode] = None
        if code is not None:
            try:
                self.code = ErrorCode(code)
            except ValueError:
                self.code = None
        self.reason = reason
        suffix = f" [{self.code.name}]" if self.code is not None else ""
        super().__init__(f"{operation} failed: {reason}{suffix}")


class ZelValueError(ZelError, ValueError):
    """A value the operation refuses before or at the unit: a channel the board lacks, a
    number outside its range, a wavelength the unit holds no calibration for."""


class ZelTypeError(ZelError, TypeError):
    """An argument of the wrong type (``optical_power("1")``), refused before anything is sent."""


class LibraryNotFoundError(ImportError):
    """The zel_api library could not be loaded, or it is not the expected revision."""


class CaptureWarning(RuntimeWarning):
    """A unit's capture file (``Unit(ip, capture=...)``) cannot be opened, or part of it could
    not be written. The unit's calls go on; issued once at the start or once at the close."""


class LinkReopenedWarning(RuntimeWarning):
    """The library reopened the link to a unit: the unit closed it or stopped answering (it may
    have restarted and lost its settings). Issued once per unit, on the first reopen."""
