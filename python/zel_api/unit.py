"""The Pythonic layer: one :class:`Unit` object per test unit, over one link.

``Unit(ip)`` drives the unit through an instance of its own (the library's ``zel_`` family),
which offers every operation: dB attenuation, calibrated power, calibration records,
registers, wavelengths, block EEPROM reads and what the library knows of the unit (its channel
count, its wavelength table and where each calibration record lies). One instance is one TCP
connection to the unit.

``Unit.from_table(index, ip)`` drives it through entry ``index`` of the library's unit table
(the ``API`` family), for hosts that share that table with C code. It too opens one
connection; the operations the table family lacks (dB attenuation, calibrated power, EEPROM
byte and block reads, the channel count, the switch ports and the wavelength table, record
locations) raise :class:`ZelError` saying so. Without the switch ports, a table unit passes a
switch position on to the unit unchecked.

Table entries are claimed by this module only. The library's table is one per loaded library
and knows nothing of claims: the module keeps a set of the entries its live
:meth:`Unit.from_table` units hold, shared by every thread of the interpreter and taken without
a lock; a unit frees its entry when closed. The set does not see entries used by anything else
in the process -- a C host or another binding loading the same library, direct calls of the
``API`` functions through ``ctypes``, or a second copy of this module -- so such users must keep
to entries the units here do not claim. Creating table units from several threads at once may
claim one entry twice; create them from one thread (each unit may then be driven from its own
thread).

Time-out: every unit has one, in seconds (``Unit(ip, timeout=5.0)``, the default 5 s). It
bounds the connect, the sending of each request and the wait for each reply, and once one
exchange of a call has timed out the rest of that call fails at once, so no call runs much
longer than one time-out plus the EEPROM settling pauses it makes.

Ctrl-C: the library runs each call in C without the interpreter's lock, so Python's SIGINT
handler would run only once the call returns. Instead the binding cancels the call in flight on
every unit (``zel_Cancel``) as soon as SIGINT arrives; the call ends within about 50 ms and
raises :class:`KeyboardInterrupt` (not :class:`ZelError`), and the link is reopened by the next
call. This needs the first :class:`Unit` to be made on the main thread while SIGINT has a Python
handler (the default), and reaches instances only: a unit driven through a table entry still
waits for its call to return.
"""

from __future__ import annotations

import ctypes
import enum
import math
import os
import warnings
from typing import Callable, Dict, List, NamedTuple, Optional, Sequence, Set, Tuple

from . import _interrupt, _library
from .errors import CaptureWarning, ErrorCode, LinkReopenedWarning, ZelError, ZelTypeError, ZelValueError

#: Number of entries in the library's unit table.
TABLE_SIZE = 32
#: Coefficients of one channel's VOA calibration polynomial.
VOA_COEFFICIENTS = 4
#: VOA defined values per channel and wavelength.
VOA_DEFINED_VALUES = 30
#: Size of the unit's EEPROM in bytes; :meth:`Unit.read_eeprom` reads below it.
EEPROM_SIZE = 0x20000
#: A unit holds at most this many wavelength slots.
MAX_WAVELENGTHS = 6

#: Direction values handed to a frame trace callback.
FRAME_SENT = 0
FRAME_RECEIVED = 1

FrameCallback = Callable[[int, bytes], None]


class Record(enum.IntEnum):
    """Calibration items whose EEPROM place :meth:`Unit.record_location` gives."""

    TAP = 0          #: TAP factor, scaled, 8 bytes, per slot and channel
    VOA = 1          #: VOA coefficients c0..c3, raw doubles, 32 bytes, per slot and channel
    DEFINED = 2      #: VOA defined values, 30 words, 60 bytes, per slot and channel
    VOA_LOSS = 3     #: VOA insertion loss, scaled, 8 bytes, per slot and channel
    SWITCH_LOSS = 4  #: 4x1 switch insertion loss, scaled, 8 bytes, per slot and channel
    USER_TX = 5      #: user TX calibration, scaled, 8 bytes, per channel (no slot)
    USER_RX = 6      #: user RX calibration, scaled, 8 bytes, per channel (no slot)
    SLOT = 7         #: a slot's whole calibration area (the channel is not read)


RECORD_TAP, RECORD_VOA, RECORD_DEFINED, RECORD_VOA_LOSS = Record.TAP, Record.VOA, Record.DEFINED, Record.VOA_LOSS
RECORD_SWITCH_LOSS, RECORD_USER_TX, RECORD_USER_RX, RECORD_SLOT = (
    Record.SWITCH_LOSS, Record.USER_TX, Record.USER_RX, Record.SLOT)

# What a scaled record (value x 10^12 in a signed 64-bit word) holds.
_SCALED_RANGE = "0 up to (not including) 9223372.036854775808"


class SerialNumber(NamedTuple):
    """A unit's serial number and whether the unit's check word confirmed the extended form
    (``extended`` False: ``value`` is the 32-bit board serial number, sign-extended)."""

    value: int
    extended: bool


class SwitchPorts(NamedTuple):
    """The switch make-up of a board (by its board type): the positions of each channel's 2x2
    switch and the ports of the MEMS and LBMM selector switches, positions counting from 0. All
    three are 0 on a board type of unknown make-up."""

    two_by_two: int
    mems: int
    lbmm: int


# Operation -> (instance export, table export or None where the table family lacks it).
_EXPORTS: Dict[str, Tuple[str, Optional[str]]] = {
    # The instance's quick connect leaves it as zel_Connect would, without the settling pauses.
    "connect": ("zel_QuickConnect", "APIConnect"),
    "disconnect": ("zel_Disconnect", "APIDisconnect"),
    "timeout": ("zel_SetTimeout", "APISetTimeout"),
    "trace": ("zel_SetFrameTrace", "APISetFrameTrace"),
    "board_id": ("zel_ReadBoardID", "APIReadBoardID"),
    "firmware": ("zel_ReadFirmwareRevision", "APIReadFirmwareRevision"),
    "serial": ("zel_ReadSerialNumber", "APIReadSerialNumber"),
    "read_board_sn": ("zel_ReadBoardSN", "APIReadBoardSN"),
    "write_board_sn": ("zel_WriteBoardSN", "APIWriteBoardSN"),
    "read_type": ("zel_ReadTypeFromEEPROM", "APIReadTypeFromEEPROM"),
    "write_type": ("zel_WriteTypeToEEPROM", "APIWriteTypeToEEPROM"),
    "read_2x2": ("zel_ReadSwitchSelect_2x2", "APIReadSwicthSelect_2x2"),
    "set_2x2": ("zel_SwitchSelect_2x2", "APISwicthSelect_2x2"),
    "read_mems": ("zel_ReadSwitchSelect_MEMS_4x1", "APIReadSwicthSelect_MEMS_1x4"),
    "set_mems": ("zel_SwitchSelect_MEMS_4x1", "APISwicthSelect_MEMS_1x4"),
    "read_lbmm": ("zel_ReadSwitchSelect_LBMM_4x1", "APIReadSwicthSelect_LBMM_1x4"),
    "set_lbmm": ("zel_SwitchSelect_LBMM_4x1", "APISwicthSelect_LBMM_1x4"),
    "screen": ("zel_ScreenControl", "APIScreenControl"),
    "temperature": ("zel_TempRead", "APITempRead"),
    "register": ("zel_AccessBoardRegister", "APIAccessBoardRegister"),
    "set_db": ("zel_SetVOAAttenuation", None),
    "read_db": ("zel_ReadVOAAttenuation", None),
    "set_code": ("zel_SetVOACode", "APISetVOAAttenuation"),
    "read_code": ("zel_ReadVOACode", "APIReadVOAAttenuation"),
    "read_voa_cal": ("zel_ReadVOACalibration", "APIReadVOACalibration"),
    "write_voa_cal": ("zel_WriteVOACalibration", "APIWriteVOACalibration"),
    "read_defined": ("zel_ReadVOADefinedValues", "APIReadVOADefinedValues"),
    "write_defined": ("zel_WriteVOADefinedValues", "APIWriteVOADefinedValues"),
    "read_voa_loss": ("zel_ReadVOAInsertionLoss", "APIReadVOAInsertionLoss"),
    "write_voa_loss": ("zel_WriteVOAInsertionLoss", "APIWriteVOAInsertionLoss"),
    "read_switch_loss": ("zel_Read4x1SwitchInsertionLoss", "APIRead4x1SwitchInsertionLoss"),
    "write_switch_loss": ("zel_Write4x1SwitchInsertionLoss", "APIWrite4x1SwitchInsertionLoss"),
    "power": ("zel_ReadOpticalPower", None),
    "power_count": ("zel_ReadOpticalPowerCount", "APIReadOpticalPower"),
    "read_tap": ("zel_ReadTAPCalibration", "APIReadTAPCalibration"),
    "write_tap": ("zel_WriteTAPCalibration", "APIWriteTAPCalibration"),
    "read_user_tx": ("zel_ReadUserTXCalibration", "APIReadUserTXCalibration"),
    "write_user_tx": ("zel_WriteUserTXCalibration", "APIWriteUserTXCalibration"),
    "read_user_rx": ("zel_ReadUserRXCalibration", "APIReadUserRXCalibration"),
    "write_user_rx": ("zel_WriteUserRXCalibration", "APIWriteUserRXCalibration"),
    # The instance selects the slot and loads its calibration for the dB and power calls; a
    # table entry has neither, so selecting the slot is all it needs.
    "select_wavelength": ("zel_SelectWavelength", "APISetWavelength"),
    "add_wavelength": ("zel_AddWavelength", "APIAddWavelength"),
    "default_wavelength": ("zel_SelectWavelength", "APISetDefaultWavelength"),
    "wavelengths": ("zel_GetWavelengths", None),
    "channel_count": ("zel_GetChannelCount", None),
    "link_reopens": ("zel_GetLinkReopens", None),
    "auto_reopen": ("zel_SetAutoReopen", None),
    "switch_ports": ("zel_GetSwitchPorts", None),
    "record_location": ("zel_GetRecordLocation", None),
    "read_byte": ("zel_ReadEEPromByte", None),
    "write_byte": ("zel_WriteValueToEEProm", "APIWriteValueToEEProm"),
    "read_block": ("zel_ReadEEProm", None),
    "read_double": ("zel_ReadDoubleValueFromEEProm", "APIReadDoubleValueFromEEProm"),
    "write_double": ("zel_WriteDoubleValueToEEProm", "APIWriteDoubleValueToEEProm"),
    "read_status": ("zel_Monitor", "APIMonitor"),
    "write_status": ("zel_WriteStatusToEEProm", "APIWriteStatusToEEProm"),
}

# The integer types of C parameters and the values each holds. ctypes would pass any Python
# int, keeping only its low bits: 65536 would reach the unit as 0.
_INT_RANGES = {
    ctypes.c_uint8: (0, 0xFF), ctypes.c_uint16: (0, 0xFFFF), ctypes.c_uint32: (0, 0xFFFFFFFF),
    ctypes.c_int32: (-0x80000000, 0x7FFFFFFF), ctypes.c_size_t: (0, ctypes.c_size_t(-1).value),
}

# Failures that say the unit is not there (any more): the link is closed, silent or refused.
_GONE = frozenset({ErrorCode.NOT_CONNECTED, ErrorCode.CONNECTION_REFUSED, ErrorCode.CONNECT_FAILED,
                   ErrorCode.TIMEOUT, ErrorCode.PEER_CLOSED, ErrorCode.SEND_FAILED, ErrorCode.SOCKET})

# Table entries held by live Unit objects, process-wide.
_claimed_entries: Set[int] = set()

DEFAULT_TIMEOUT = 5.0  # seconds


class _Link:
    """The unit's one way in: an instance of its own or an entry of the unit table. Knows the
    handle its family's calls take first and how that family reports failures."""

    def __init__(self, lib: ctypes.CDLL, timeout_ms: int, *, index: Optional[int] = None) -> None:
        self.lib = lib
        self.timeout_ms = timeout_ms
        self.connected = False
        self.gone = False  # the last call found the unit gone (connected stays True: the next may reopen)
        self.reopens = 0  # the library's count of reopens as last seen
        self.on_reopen: Optional[Callable[[int], None]] = None  # told the count when it grows
        self.index = index
        self.pointer: Optional[int] = None
        self.calls = 0  # calls made, and whether one is in flight: Ctrl-C cancels it (_interrupt)
        self.in_call = False
        if index is None:
            self.pointer = lib.zel_createInstance()
            if not self.pointer:
                raise MemoryError("zel_createInstance returned no instance")
            _interrupt.watch(self)
        self.arg = self.pointer if index is None else index
        # Why the library refuses the handle outright (it records no reason then).
        self.refused = ErrorCode.BAD_ARGUMENT if index is None else ErrorCode.BAD_UNIT_INDEX

    @property
    def is_table(self) -> bool:
        return self.index is not None

    def export(self, op: str) -> str:
        """The name of this family's export for operation ``op``; :class:`ZelError` (without a
        code) when the family has none."""
        instance_name, table_name = _EXPORTS[op]
        if not self.is_table:
            return instance_name
        if table_name is None:
            raise ZelError(instance_name, None,
                           f"a unit driven through table entry {self.index} cannot do this "
                           "(the table family has no such operation); open it with Unit(ip)")
        return table_name

    def last_error(self) -> int:
        if self.is_table:
            return self.lib.APILastError(self.index)
        return self.lib.zel_LastError(self.pointer)

    def fail(self, name: str, code: int, reason: Optional[str] = None) -> ZelError:
        if reason is None:
            reason = self.lib.zel_ErrorText(code).decode("ascii", "replace")
            if code == ErrorCode.OK:
                reason = "the call reported failure without a reason"
        # A value the unit or the library refuses is a ValueError as well.
        refused = code in (ErrorCode.BAD_ARGUMENT, ErrorCode.NO_SUCH_CHANNEL)
        return (ZelValueError if refused else ZelError)(name, code, reason)

    def call(self, op: str, *args: object, status: bool = True,
             out_of_range: Optional[str] = None) -> object:
        """Call operation ``op`` with this link's handle first. Raises :class:`ZelError` when
        the library recorded a failure, or (``status`` True) when the result is 0.
        ``out_of_range`` replaces the library's reason for a refused argument: it names the
        value and the range it left."""
        name = self.export(op)
        fn = getattr(self.lib, name)
        if op in _CHANNEL_OPS and args:
            channel = args[0]
            if isinstance(channel, bool) or not isinstance(channel, int):
                raise ZelTypeError(name, ErrorCode.BAD_ARGUMENT, f"channel {channel!r} is not an integer")
            if channel < 0:
                raise self.no_such_channel(name, channel)
        _check_integers(name, fn.argtypes[1:], args)
        self.calls += 1
        self.in_call = True
        try:
            result = fn(self.arg, *args)
        finally:
            self.in_call = False
        code = self.last_error()
        if code == ErrorCode.CANCELLED:
            # Ctrl-C ended the call (on the main thread the interpreter's handler has usually
            # raised this already, as the call returned).
            raise KeyboardInterrupt
        failed = code != ErrorCode.OK or (status and not result)
        if self.connected:
            self.gone = failed and code in _GONE
            self.note_reopens()
        if code == ErrorCode.NO_SUCH_CHANNEL and op in _CHANNEL_OPS:
            raise self.no_such_channel(name, args[0])
        if failed:
            raise self.fail(name, code, out_of_range if code == ErrorCode.BAD_ARGUMENT else None)
        return result

    def no_such_channel(self, name: str, channel: int) -> ZelError:
        """The board lacks ``channel``: the error names the channels it has, as zelctl does."""
        reason = f"channel {channel}: the board has no such channel"
        if not self.is_table and self.connected:
            try:
                board_type = self.read("read_type", ctypes.c_uint16)
                count = self.read("channel_count", ctypes.c_uint8)
                reason = f"channel {channel}: the board (type {board_type}) has channels 0..{count - 1}"
            except ZelError:
                pass
        return ZelValueError(name, ErrorCode.NO_SUCH_CHANNEL, reason)

    def reopen_count(self) -> int:
        """The library's count of link reopens (instances only; a table entry has none)."""
        count = ctypes.c_uint32()
        if not self.lib.zel_GetLinkReopens(self.pointer, ctypes.byref(count)):
            raise self.fail("zel_GetLinkReopens", self.last_error())
        return count.value

    def note_reopens(self) -> None:
        if self.is_table:
            return
        count = self.reopen_count()
        if count != self.reopens:
            self.reopens = count
            if self.on_reopen is not None:
                self.on_reopen(count)

    def read(self, op: str, ctype: type, *args: object, out_of_range: Optional[str] = None) -> object:
        """Call an operation whose last parameter is one out-value and return that value."""
        out = ctype()
        self.call(op, *args, ctypes.byref(out), out_of_range=out_of_range)
        return out.value

    def connect(self, ip: str) -> None:
        # The time-out covers the connect itself. A table index the library refuses is
        # reported by the connect below.
        getattr(self.lib, self.export("timeout"))(self.arg, self.timeout_ms)
        try:
            self.call("connect", ip.encode("ascii"))
        except (ZelError, KeyboardInterrupt):
            # A connect that failed after the TCP connection was made (no answer, a short
            # reply) leaves that connection open; close it, so a failed connect holds nothing.
            getattr(self.lib, self.export("disconnect"))(self.arg)
            raise
        self.connected = True
        self.gone = False

    def disconnect(self) -> None:
        self.connected = False
        self.call("disconnect")

    def set_trace(self, c_callback: Optional[object]) -> None:
        """Install a C frame trace callback; None stops tracing."""
        if c_callback is None:
            c_callback = ctypes.cast(None, _library.FRAME_TRACE_FN)
        name = self.export("trace")
        if not getattr(self.lib, name)(self.arg, c_callback, None):
            raise self.fail(name, self.refused)

    def release(self) -> None:
        """Close the link and give the handle back: destroy the instance, free the entry."""
        if self.pointer:
            with _interrupt.lock:  # not while Ctrl-C is cancelling it
                self.lib.zel_destroyInstance(self.pointer)
                self.pointer = None
        if self.is_table:
            _claimed_entries.discard(self.index)
        self.connected = False


# Operations whose first argument is a channel of the board.
_CHANNEL_OPS = frozenset({
    "set_db", "read_db", "set_code", "read_code", "read_voa_cal", "write_voa_cal", "read_defined",
    "write_defined", "read_voa_loss", "write_voa_loss", "read_switch_loss", "write_switch_loss", "power",
    "power_count", "read_tap", "write_tap", "read_user_tx", "write_user_tx", "read_user_rx",
    "write_user_rx", "read_2x2", "set_2x2"})


def _check_integers(name: str, argtypes: Sequence[object], args: Sequence[object]) -> None:
    """Refuse an int the C parameter cannot hold, rather than let ctypes cut it down."""
    for ctype, value in zip(argtypes, args):
        bounds = _INT_RANGES.get(ctype)
        if bounds is None or isinstance(value, bool) or not isinstance(value, int):
            continue
        low, high = bounds
        if not low <= value <= high:
            raise ZelValueError(name, ErrorCode.BAD_ARGUMENT, f"{value} is outside {low}..{high}")


def _timeout_ms(timeout: float) -> int:
    """A time-out in seconds as the library's milliseconds (at least 1 ms)."""
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"the time-out is a number of seconds, not {timeout!r}")
    if not 0 < timeout <= 0xFFFFFFFF / 1000:
        raise ValueError(f"the time-out must be more than 0 and at most 4294967 s, not {timeout}")
    return max(1, round(timeout * 1000))


def _check_values(name: str, values: Sequence[float], count: int) -> List[float]:
    values = list(values)
    if len(values) != count:
        raise ValueError(f"{name} needs exactly {count} values, got {len(values)}")
    return values


def _scaled(what: str, value: float) -> str:
    """Why a scaled record refused ``value``."""
    return f"{what} {value:g} is outside what the record holds, {_SCALED_RANGE}"


class Unit:
    """One fibre-optic test unit, reached over one link.

    ``Unit(ip)`` drives the unit through an instance of its own; :meth:`from_table` through an
    entry of the library's unit table (see the module documentation for what that family
    lacks). Use it as a context manager: ``with Unit("127.0.0.1") as unit:`` connects, and
    leaving the block disconnects and releases the instance or table entry.

    Channels are the host's channel numbers (0..7); a channel the board's layout lacks raises
    :class:`ZelError` with :attr:`ErrorCode.NO_SUCH_CHANNEL`. Every failed call raises
    :class:`ZelError` naming the C export and the reason (for a refused argument, the value and
    the range it left); every operation on a unit that is not connected raises it with
    :attr:`ErrorCode.NOT_CONNECTED`.
    """

    def __init__(self, ip: str, *, library: Optional[ctypes.CDLL] = None,
                 timeout: float = DEFAULT_TIMEOUT, capture: Optional[str] = None) -> None:
        ms = _timeout_ms(timeout)
        lib = library if library is not None else _library.library()
        self._setup(ip, lib, _Link(lib, ms))
        if capture is not None:
            self._start_capture(os.fspath(capture))

    def _start_capture(self, path: str) -> None:
        """Capture every frame of the unit to the pcapng file ``path`` (``zel_StartCapture``;
        units on one path share the file). A file that cannot be opened is a
        :class:`CaptureWarning`, and the unit works on without a capture."""
        if self._lib.zel_StartCapture(self._link.pointer, path.encode()):
            self._capture = path
            return
        reason = self._lib.zel_ErrorText(self._link.last_error()).decode("ascii", "replace")
        warnings.warn(f"cannot capture unit {self.ip} to {path}: {reason}", CaptureWarning, stacklevel=3)

    def _setup(self, ip: str, lib: ctypes.CDLL, link: _Link) -> None:
        self.ip = ip
        self._lib = lib
        self._link = link
        self._wavelength: Optional[int] = None  # None: the default wavelength is selected
        self._trace: Optional[object] = None  # the installed C trace callback, kept alive here
        self._closed = False
        self._warned_reopen = False
        self._auto_reopen = True
        self._capture: Optional[str] = None  # the capture file being written
        link.on_reopen = self._reopened

    def _reopened(self, count: int) -> None:
        if self._warned_reopen:
            return
        self._warned_reopen = True
        warnings.warn(f"the link to unit {self.ip} was reopened: the unit closed it or stopped answering "
                      "(a unit that restarted has lost its settings; see Unit.link_reopens)",
                      LinkReopenedWarning, stacklevel=4)

    @classmethod
    def from_table(cls, index: int, ip: str, *, library: Optional[ctypes.CDLL] = None,
                   timeout: float = DEFAULT_TIMEOUT) -> "Unit":
        """A unit driven through table entry ``index`` (0..31). Raises :class:`ValueError`
        when another live :class:`Unit` holds that entry or the index is not 0..255; an index
        of 32..255 is passed on and the library refuses it on connect."""
        if not 0 <= index <= 255:
            raise ValueError(f"table index {index} is not 0..255")
        ms = _timeout_ms(timeout)
        if index in _claimed_entries:
            raise ValueError(f"table entry {index} is in use by another unit")
        unit = cls.__new__(cls)
        lib = library if library is not None else _library.library()
        unit._setup(ip, lib, _Link(lib, ms, index=index))
        if index < TABLE_SIZE:
            _claimed_entries.add(index)
        return unit

    # ---- life cycle ---------------------------------------------------------------------------

    def __enter__(self) -> "Unit":
        try:
            self.connect()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        kind = f"table entry {self._link.index}" if self._link.is_table else "instance"
        state = "closed" if self._closed else ("connected" if self.connected else "not connected")
        return f"<Unit {self.ip} via {kind}, {state}>"

    @property
    def connected(self) -> bool:
        """True after a successful :meth:`connect` until :meth:`disconnect`, and False while
        the last call found the unit gone (closed link, no answer, refused: a later call that
        goes through, the library reopening the link, makes it True again)."""
        return not self._closed and self._link.connected and not self._link.gone

    @property
    def link_reopens(self) -> int:
        """How often the library has reopened the link since this unit was made (after the
        unit closed it or stopped answering; connects do not count). The first reopen also
        issues a :class:`LinkReopenedWarning`. Units driven through a table entry raise
        :class:`ZelError`: the table family keeps no count."""
        self._ensure_open()
        self._link.export("link_reopens")
        return self._link.reopen_count()

    @property
    def auto_reopen(self) -> bool:
        """Whether the library reopens a link that went out of step by itself (True, the
        default). Set False, a call after the unit closed the link or stopped answering raises
        :attr:`ErrorCode.NOT_CONNECTED` until :meth:`connect`. Instances only."""
        self._ensure_open()
        self._link.export("auto_reopen")
        return self._auto_reopen

    @auto_reopen.setter
    def auto_reopen(self, on: bool) -> None:
        self._ensure_open()
        name = self._link.export("auto_reopen")
        if not self._lib.zel_SetAutoReopen(self._link.pointer, 1 if on else 0):
            raise self._link.fail(name, self._link.last_error())
        self._auto_reopen = bool(on)

    @property
    def timeout(self) -> float:
        """The unit's time-out in seconds (see the module documentation)."""
        return self._link.timeout_ms / 1000

    @property
    def raw(self) -> ctypes.CDLL:
        """The loaded library, for calls with the C semantics."""
        return self._lib

    @property
    def instance_pointer(self) -> Optional[int]:
        """The ``zel_instance*`` of this unit, or None for a unit driven through a table entry."""
        return self._link.pointer

    @property
    def table_index(self) -> Optional[int]:
        """The table entry of a unit made by :meth:`from_table`, else None."""
        return self._link.index

    def connect(self) -> None:
        """Open the link, read the board ID, board type and the calibration of every wavelength
        the unit holds, and select the default wavelength (an instance by ``zel_QuickConnect``,
        a table entry by ``APIConnect``). Raises :class:`ZelError` (for example
        :attr:`ErrorCode.CONNECTION_REFUSED`)."""
        self._ensure_open()
        self._wavelength = None
        self._link.connect(self.ip)

    def disconnect(self) -> None:
        """Close the link. Raises :class:`ZelError` when no link was open."""
        self._on_link("disconnect").disconnect()

    def close(self) -> None:
        """Disconnect when connected and release the instance or table entry. The object
        cannot be used afterwards. Calling it again does nothing."""
        if self._closed:
            return
        if self._link.connected:
            try:
                self._link.disconnect()
            except ZelError:
                pass
        if self._trace is not None and self._link.is_table and self._link.index < TABLE_SIZE:
            # The entry outlives this object: it must not call back into a dead callback.
            self._link.set_trace(None)
        if self._capture is not None:
            path, self._capture = self._capture, None
            if not self._lib.zel_StopCapture(self._link.pointer):
                reason = self._lib.zel_ErrorText(self._link.last_error()).decode("ascii", "replace")
                warnings.warn(f"the capture {path} of unit {self.ip} is incomplete: {reason}", CaptureWarning,
                              stacklevel=2)
        self._link.release()
        self._closed = True

    def _ensure_open(self) -> None:
        if self._closed:
            raise ValueError("operation on a closed Unit")

    def _on_link(self, op: str) -> _Link:
        """The link, for operation ``op`` of a connected unit. The library alone would answer
        some calls on a unit that is not connected from what an earlier connection left behind
        (cached calibration, channel layout); the binding refuses them all alike."""
        self._ensure_open()
        name = self._link.export(op)
        if not self._link.connected:
            raise self._link.fail(name, ErrorCode.NOT_CONNECTED)
        return self._link

    def _call(self, op: str, *args: object, status: bool = True,
              out_of_range: Optional[str] = None) -> object:
        return self._on_link(op).call(op, *args, status=status, out_of_range=out_of_range)

    def _read(self, op: str, ctype: type, *args: object, out_of_range: Optional[str] = None) -> object:
        return self._on_link(op).read(op, ctype, *args, out_of_range=out_of_range)

    # ---- identity -----------------------------------------------------------------------------

    @property
    def api_revision(self) -> float:
        """The library revision (6926.0)."""
        return self._lib.APIGetAPIRev(self.instance_pointer)

    @property
    def board_id(self) -> int:
        """The unit's board ID."""
        return self._call("board_id", status=False)

    @property
    def firmware_revision(self) -> float:
        """The unit's firmware revision, e.g. 12.3."""
        return self._call("firmware", status=False)

    @property
    def serial_number(self) -> SerialNumber:
        """The extended serial number, or the board serial number when the unit's check word
        does not confirm the extended one."""
        serial, flag = ctypes.c_int64(), ctypes.c_int32()
        self._call("serial", ctypes.byref(serial), ctypes.byref(flag))
        return SerialNumber(serial.value, bool(flag.value))

    @property
    def board_serial(self) -> int:
        """The 32-bit board serial number (signed, as the unit's two serial words give it).
        Setting it writes both words."""
        return self._call("read_board_sn", status=False)

    @board_serial.setter
    def board_serial(self, serial: int) -> None:
        self._call("write_board_sn", serial)

    @property
    def board_type(self) -> int:
        """The board type stored in the EEPROM (0..7). Reading or setting it rebuilds the
        channel layout."""
        return self._read("read_type", ctypes.c_uint16)

    @board_type.setter
    def board_type(self, board_type: int) -> None:
        self._call("write_type", board_type)

    @property
    def channel_count(self) -> int:
        """The number of calibrated channels of the board (1, 4 or 8, by board type): channels
        0..count-1 each have calibration records of their own."""
        return self._read("channel_count", ctypes.c_uint8)

    # ---- switches, screen, temperature --------------------------------------------------------

    @property
    def switch_ports(self) -> SwitchPorts:
        """The board's switch make-up, from its board type: the positions each switch has."""
        counts = [ctypes.c_uint8() for _ in SwitchPorts._fields]
        self._call("switch_ports", *(ctypes.byref(c) for c in counts))
        return SwitchPorts(*(c.value for c in counts))

    def _set_switch(self, op: str, what: str, field: str, *args: int) -> None:
        """Set a switch (``args`` end with the position). A position the board's switch does
        not have (``field`` of :attr:`switch_ports`) is refused before anything is sent."""
        link = self._on_link(op)
        name = link.export(op)
        _check_integers(name, getattr(self._lib, name).argtypes[1:], args)
        position = args[-1]
        if not link.is_table and isinstance(position, int) and not isinstance(position, bool):
            ports = getattr(self.switch_ports, field)
            if ports and not 0 <= position < ports:
                raise ZelError(name, ErrorCode.BAD_ARGUMENT,
                               f"{what} position {position} is outside 0..{ports - 1}")
        link.call(op, *args)

    def switch_2x2(self, channel: int) -> int:
        """The position of the 2x2 switch of ``channel``."""
        return self._read("read_2x2", ctypes.c_uint16, channel)

    def set_switch_2x2(self, channel: int, position: int) -> None:
        """Set the 2x2 switch of ``channel`` to ``position``: 0 bar, 1 cross."""
        self._set_switch("set_2x2", "2x2 switch", "two_by_two", channel, position)

    @property
    def mems_switch(self) -> int:
        """The position of the MEMS selector switch (settable: a port of the board's switch)."""
        return self._read("read_mems", ctypes.c_uint16, 0)

    @mems_switch.setter
    def mems_switch(self, position: int) -> None:
        self._set_switch("set_mems", "MEMS switch", "mems", 0, position)

    @property
    def lbmm_switch(self) -> int:
        """The position of the LBMM selector switch (settable: a port of the board's switch)."""
        return self._read("read_lbmm", ctypes.c_uint16, 0)

    @lbmm_switch.setter
    def lbmm_switch(self, position: int) -> None:
        self._set_switch("set_lbmm", "LBMM switch", "lbmm", 0, position)

    def set_screen(self, control: int) -> None:
        """Write ``control`` (0..255) to the front-panel screen register."""
        self._call("screen", 0, control)

    def temperature_word(self, select: int = 0) -> int:
        """The raw temperature word of register bank ``select`` (0..15): hundredths of a
        degree Celsius."""
        return int(self._call("temperature", select, status=False,
                              out_of_range=f"temperature select {select} is outside 0..15"))

    def temperature(self, select: int = 0) -> float:
        """The temperature of register bank ``select`` (0..15) in degrees Celsius."""
        return self.temperature_word(select) / 100

    # ---- VOA ----------------------------------------------------------------------------------

    def _calibrated(self, item: str, channel: int, call: Callable[[], object]) -> object:
        """Run ``call``; a :attr:`ErrorCode.NOT_CALIBRATED` failure is raised again naming the
        channel and the wavelength whose ``item`` calibration is missing."""
        try:
            return call()
        except ZelError as error:
            if error.code != ErrorCode.NOT_CALIBRATED:
                raise
            nm = self._wavelength if self._wavelength is not None else self.default_wavelength
            reason = (f"channel {channel} has no {item} calibration at {nm} nm (its calibration "
                      f"records are erased or were never written; store them at that wavelength)")
            raise ZelError(error.operation, error.code, reason, channel=channel, wavelength=nm) from None

    def set_attenuation_db(self, channel: int, db: float) -> None:
        """Set the attenuation of ``channel`` to ``db`` (0..30 dB) through the channel's VOA
        calibration at the selected wavelength. Outside 0..30 dB raises
        :attr:`ErrorCode.BAD_ARGUMENT` naming the range; no drive code for ``db`` raises
        :attr:`ErrorCode.NOT_FOUND`; a channel without VOA calibration at that wavelength raises
        :attr:`ErrorCode.NOT_CALIBRATED` (with ``channel`` and ``wavelength`` set) and the
        attenuator is left alone."""
        if math.isnan(db):
            refused = "the attenuation is not a number; it must be 0..30 dB"
        else:
            refused = f"{db:g} dB is outside 0..30 dB"
        self._calibrated("VOA", channel, lambda: self._call("set_db", channel, db, out_of_range=refused))

    def attenuation_db(self, channel: int) -> float:
        """The attenuation of ``channel`` in dB, from its drive code through the VOA
        calibration at the selected wavelength (:attr:`ErrorCode.NOT_CALIBRATED` without
        one)."""
        return self._calibrated("VOA", channel, lambda: self._read("read_db", ctypes.c_double, channel))

    def set_voa_code(self, channel: int, code: int) -> None:
        """Set the VOA drive code (0..4095) of ``channel``. Through an instance a larger code
        raises :attr:`ErrorCode.BAD_ARGUMENT`; a table entry sends its low 12 bits."""
        self._call("set_code", channel, code, out_of_range=f"VOA code {code} is outside 0..4095")

    def voa_code(self, channel: int) -> int:
        """The VOA drive code of ``channel``."""
        return self._read("read_code", ctypes.c_uint16, channel)

    def voa_calibration(self, channel: int) -> List[float]:
        """The four calibration coefficients of ``channel`` at the selected wavelength."""
        out = (ctypes.c_double * VOA_COEFFICIENTS)()
        self._call("read_voa_cal", channel, out)
        return list(out)

    def set_voa_calibration(self, channel: int, coefficients: Sequence[float]) -> None:
        """Store the four calibration coefficients of ``channel`` at the selected wavelength;
        the dB calls use them at once."""
        values = _check_values("a VOA calibration", coefficients, VOA_COEFFICIENTS)
        self._call("write_voa_cal", channel, (ctypes.c_double * VOA_COEFFICIENTS)(*values))

    def voa_defined_values(self, channel: int) -> List[int]:
        """The 30 VOA defined values of ``channel`` at the selected wavelength."""
        out = (ctypes.c_uint16 * VOA_DEFINED_VALUES)()
        self._call("read_defined", channel, out)
        return list(out)

    def set_voa_defined_values(self, channel: int, values: Sequence[int]) -> None:
        """Store 30 VOA defined values (each 0..65535) of ``channel`` at the selected
        wavelength."""
        words = _check_values("the VOA defined values", values, VOA_DEFINED_VALUES)
        outside = [v for v in words if not 0 <= int(v) <= 0xFFFF]
        if outside:
            raise ValueError(f"VOA defined value {outside[0]} is outside 0..65535")
        self._call("write_defined", channel, (ctypes.c_uint16 * VOA_DEFINED_VALUES)(*words))

    def voa_insertion_loss(self, channel: int) -> float:
        """The stored VOA insertion loss (dB) of ``channel`` at the selected wavelength."""
        return self._read("read_voa_loss", ctypes.c_double, channel)

    def set_voa_insertion_loss(self, channel: int, loss: float) -> None:
        """Store the VOA insertion loss (dB) of ``channel`` at the selected wavelength."""
        self._call("write_voa_loss", channel, loss, out_of_range=_scaled("VOA insertion loss", loss))

    def switch_insertion_loss(self, channel: int) -> float:
        """The stored 4x1 switch insertion loss (dB) of ``channel`` at the selected wavelength."""
        return self._read("read_switch_loss", ctypes.c_double, channel)

    def set_switch_insertion_loss(self, channel: int, loss: float) -> None:
        """Store the 4x1 switch insertion loss (dB) of ``channel`` at the selected wavelength."""
        self._call("write_switch_loss", channel, loss, out_of_range=_scaled("switch insertion loss", loss))

    # ---- optical power and calibration --------------------------------------------------------

    def optical_power(self, channel: int) -> float:
        """The calibrated optical power of ``channel`` in microwatts: the average of ten
        readings times the channel's TAP factor at the selected wavelength
        (:attr:`ErrorCode.NOT_CALIBRATED` without one). A reading at the top of the detector's
        range raises :attr:`ErrorCode.OVER_RANGE`, naming the figure as a lower bound."""
        power = ctypes.c_double()
        try:
            self._calibrated("TAP", channel, lambda: self._call("power", channel, ctypes.byref(power)))
        except ZelError as error:
            if error.code != ErrorCode.OVER_RANGE:
                raise
            reason = f"channel {channel}: over range (at least {power.value:.2f} uW)"
            raise ZelError(error.operation, error.code, reason, channel=channel) from None
        return power.value

    def power_dbm(self, channel: int) -> float:
        """The calibrated optical power of ``channel`` in dBm (:meth:`optical_power` on the
        logarithmic scale: 1000 uW is 0 dBm); ``-math.inf`` when the power reads 0 uW."""
        microwatts = self.optical_power(channel)
        return 10.0 * math.log10(microwatts / 1000.0) if microwatts > 0 else -math.inf

    def raw_optical_power(self, channel: int) -> int:
        """The average of ten raw power readings of ``channel`` (truncated)."""
        return self._read("power_count", ctypes.c_uint16, channel)

    def tap_calibration(self, channel: int) -> float:
        """The TAP factor (microwatts per power count) of ``channel`` at the selected
        wavelength."""
        return self._read("read_tap", ctypes.c_double, channel)

    def set_tap_calibration(self, channel: int, factor: float) -> None:
        """Store the TAP factor of ``channel`` at the selected wavelength; the calibrated power
        uses it at once."""
        self._call("write_tap", channel, factor, out_of_range=_scaled("TAP factor", factor))

    def user_tx_calibration(self, channel: int) -> float:
        """The user TX calibration value of ``channel`` (the same for every wavelength)."""
        return self._read("read_user_tx", ctypes.c_double, channel)

    def set_user_tx_calibration(self, channel: int, value: float) -> None:
        """Store the user TX calibration value of ``channel``."""
        self._call("write_user_tx", channel, value, out_of_range=_scaled("user TX calibration", value))

    def user_rx_calibration(self, channel: int) -> float:
        """The user RX calibration value of ``channel`` (the same for every wavelength)."""
        return self._read("read_user_rx", ctypes.c_double, channel)

    def set_user_rx_calibration(self, channel: int, value: float) -> None:
        """Store the user RX calibration value of ``channel``."""
        self._call("write_user_rx", channel, value, out_of_range=_scaled("user RX calibration", value))

    # ---- wavelengths --------------------------------------------------------------------------

    def set_wavelength(self, nm: int) -> None:
        """Select the calibration of wavelength ``nm`` for every calibrated operation (dB
        attenuation and calibrated power included); :attr:`ErrorCode.NOT_FOUND` when the unit
        holds none for it, and the selection stays as it was. The board's default wavelength
        (:attr:`default_wavelength`) selects the default calibration."""
        try:
            self._call("select_wavelength", nm, out_of_range="0xFFFF marks a free slot; it is no wavelength")
        except ZelError as error:
            if error.code == ErrorCode.BAD_ARGUMENT:
                raise ZelValueError(error.operation, error.code, error.reason) from None
            if error.code != ErrorCode.NOT_FOUND or self._link.is_table:
                raise
            calibrated = ", ".join(str(w) for w in self.wavelengths)
            raise ZelValueError(error.operation, error.code,
                                f"cannot select {nm} nm: the unit is not calibrated for it "
                                f"(calibrated: {calibrated})", wavelength=nm) from None
        self._wavelength = nm

    def add_wavelength(self, nm: int) -> None:
        """Add ``nm`` to the unit's wavelength table (or select it when present) and select it.
        Where the unit's EEPROM holds no calibration in the new slot (erased bytes), a channel's
        dB and calibrated power calls raise :attr:`ErrorCode.NOT_CALIBRATED` until its VOA
        calibration and TAP factor are stored at the new wavelength."""
        self._call("add_wavelength", nm, out_of_range=(
            f"{nm} nm cannot be added: it is the board's default wavelength or 0xFFFF, the "
            "free-slot marker"))
        if not self._link.is_table:
            # Adding selects the slot for calibration records; selecting it makes its
            # calibration (none, for a fresh slot) the one the dB and power calls use.
            self._call("select_wavelength", nm)
        self._wavelength = nm

    def set_default_wavelength(self) -> None:
        """Return to the default wavelength and its calibration."""
        if self._link.is_table:
            self._call("default_wavelength")
        else:
            self._call("default_wavelength", self.default_wavelength)
        self._wavelength = None

    @property
    def wavelengths(self) -> List[int]:
        """The unit's wavelength table: the wavelength (nm) each used slot serves, in slot
        order; slot 0 holds the board's default wavelength."""
        nm = (ctypes.c_uint16 * MAX_WAVELENGTHS)()
        count = ctypes.c_size_t()
        self._call("wavelengths", nm, MAX_WAVELENGTHS, ctypes.byref(count))
        return list(nm[:count.value])

    @property
    def default_wavelength(self) -> int:
        """The board's default wavelength in nm, the one wavelength slot 0 serves."""
        return self.wavelengths[0]

    @property
    def wavelength(self) -> Optional[int]:
        """The wavelength last selected through this object, or None for the default."""
        return self._wavelength

    # ---- registers, EEPROM and records --------------------------------------------------------

    def read_register(self, channel: int, address: int) -> int:
        """Read register ``address`` (0..2047) in the register bank of ``channel``; a larger
        address raises :attr:`ErrorCode.BAD_ARGUMENT`."""
        value = ctypes.c_uint16()
        self._call("register", 0, channel, address, ctypes.byref(value),
                   out_of_range=f"register address {address} is outside 0..2047")
        return value.value

    def write_register(self, channel: int, address: int, value: int) -> None:
        """Write ``value`` (0..65535) to register ``address`` (0..2047) in the bank of
        ``channel``; a larger address raises :attr:`ErrorCode.BAD_ARGUMENT`."""
        if not 0 <= value <= 0xFFFF:
            raise ZelError(self._link.export("register"), ErrorCode.BAD_ARGUMENT,
                           f"register value {value} is outside 0..65535")
        word = ctypes.c_uint16(value)
        self._call("register", 1, channel, address, ctypes.byref(word),
                   out_of_range=f"register address {address} is outside 0..2047")

    def read_eeprom_byte(self, address: int) -> int:
        """The EEPROM byte at ``address``."""
        return self._read("read_byte", ctypes.c_uint8, address)

    def read_eeprom(self, address: int, length: int) -> bytes:
        """``length`` EEPROM bytes from ``address``, read 128 at a time with no settling
        pauses (about 0.1 ms per 128 bytes on a local link). ``address + length`` must not
        exceed :data:`EEPROM_SIZE`."""
        link = self._on_link("read_block")
        if length < 0:
            raise ValueError(f"cannot read {length} bytes")
        if not 0 <= address <= address + length <= EEPROM_SIZE:
            # Refused here, before a buffer of that size is made; the library would refuse too.
            raise link.fail(link.export("read_block"), ErrorCode.BAD_ARGUMENT, (
                f"{length} bytes from 0x{address:X} reach beyond the EEPROM's {EEPROM_SIZE} bytes "
                f"(0x0..0x{EEPROM_SIZE - 1:X})"))
        buffer = (ctypes.c_uint8 * max(length, 1))()
        link.call("read_block", address, buffer, length)
        return bytes(buffer[:length])

    def write_eeprom_byte(self, address: int, value: int) -> None:
        """Write ``value`` (0..255) through the EEPROM data register to the byte at ``address``
        (through an instance, the call waits the 10 ms the EEPROM needs to store it)."""
        self._call("write_byte", address, value)

    def record_location(self, item: int, channel: int = 0, slot: int = 0) -> Tuple[int, int]:
        """Where calibration item ``item`` (a :class:`Record`) of ``channel`` in wavelength
        slot ``slot`` (0..5; not read for the user items) lies in the EEPROM, as (address,
        length): the bytes the record operations read and write, for :meth:`read_eeprom`."""
        address, length = ctypes.c_uint32(), ctypes.c_uint32()
        if int(item) not in Record.__members__.values():
            refused = f"record item {int(item)} is outside 0..{len(Record) - 1}"
        else:
            refused = f"wavelength slot {slot} is outside 0..{MAX_WAVELENGTHS - 1}"
        self._call("record_location", slot, channel, int(item), ctypes.byref(address), ctypes.byref(length),
                   out_of_range=refused)
        return address.value, length.value

    def read_record(self, item: int, channel: int = 0, slot: int = 0) -> bytes:
        """The stored bytes of calibration item ``item`` of ``channel`` in ``slot`` (see
        :meth:`record_location`), read in block reads."""
        return self.read_eeprom(*self.record_location(item, channel, slot))

    def read_eeprom_double(self, address: int) -> float:
        """The scaled 8-byte value at EEPROM ``address``."""
        return self._read("read_double", ctypes.c_double, address)

    def write_eeprom_double(self, address: int, value: float) -> None:
        """Store ``value`` in the scaled 8-byte encoding (12 decimal places; negative values do
        not survive) at EEPROM ``address``."""
        self._call("write_double", address, value, out_of_range=_scaled("the value", value))

    def read_status_record(self, group: int, record: int) -> float:
        """The double stored in record ``record`` (0..255) of record group ``group`` (0..255),
        read back bit for bit (the monitor operation)."""
        return self._read("read_status", ctypes.c_double, group, record)

    def write_status_record(self, group: int, record: int, value: float) -> None:
        """Store ``value`` as a raw double in record ``record`` of record group ``group``."""
        self._call("write_status", group, record, value)

    # ---- diagnostics --------------------------------------------------------------------------

    def trace_frames(self, callback: Optional[FrameCallback]) -> None:
        """Pass every frame the unit sends (:data:`FRAME_SENT`) and every reply it receives
        (:data:`FRAME_RECEIVED`) to ``callback(direction, data)``; None stops. Calling it
        before :meth:`connect` traces the connect. The callback must not call into this
        unit."""
        self._ensure_open()
        c_callback = None
        if callback is not None:
            def trampoline(_user: Optional[int], direction: int, data: object, length: int) -> None:
                callback(direction, ctypes.string_at(data, length))
            c_callback = _library.FRAME_TRACE_FN(trampoline)
        self._link.set_trace(c_callback)
        self._trace = c_callback
