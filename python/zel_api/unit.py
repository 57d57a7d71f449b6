"""The Pythonic layer: one :class:`Unit` object per test unit.

The C library reaches a unit through two families of functions. The ``zel_`` family works on an
instance of the host's own; the ``API`` family works on one of the library's 32 table entries.
Neither family offers every operation:

* only an instance sets and reads the attenuation in dB and reads the calibrated optical power,
  and only an instance hands back a single EEPROM byte;
* only a table entry reads and writes calibration (VOA coefficients, defined values, insertion
  losses, TAP factors, user TX/RX values), adds wavelengths, sets the VOA drive code, reads
  the raw power count, and reaches registers, records and the board serial number.

Both select a wavelength (an instance to choose the calibration its dB and power calls use).

A :class:`Unit` is built on one of the two (its *primary* handle) and offers every operation.
An operation that the primary family lacks runs on a *companion* handle of the other family,
which the unit connects to the same address the first time it is needed: ``Unit(ip)`` claims a
free table entry, ``Unit.from_table(index, ip)`` creates an instance. The companion lives until
the unit disconnects. Two rules keep the two handles in step:

* The instance reads the calibration of every wavelength slot when it connects. After the
  table handle stores a VOA calibration, a TAP factor or the board type, or adds a wavelength,
  the instance is reconnected before its next call, so it works from what was just stored.
* The instance follows the table handle's wavelength: every selection
  (:meth:`Unit.set_wavelength`, :meth:`Unit.add_wavelength`,
  :meth:`Unit.set_default_wavelength`) is repeated on the instance with
  ``zel_SelectWavelength``, which makes the slot's TAP factors and VOA coefficients the ones dB
  attenuation and calibrated power use. An instance created or reconnected later selects the
  unit's wavelength again before its first dB or power call.

Table entries are claimed by this module only. The library's table is one per loaded library
and knows nothing of claims: the module keeps a set of the entries its live :class:`Unit`
objects hold (their own entry or a companion), shared by every thread of the interpreter and
taken without a lock; a unit frees its own entry when closed and a companion entry when it
disconnects. The set does not see entries used by anything else in the process -- a C host or
another binding loading the same library, direct calls of the ``API`` functions through
``ctypes``, or a second copy of this module -- so such users must keep to entries the units
here do not claim. Creating units from several threads at once may claim one free entry twice;
create them from one thread (each unit may then be driven from its own thread).

Frame tracing (:meth:`Unit.trace_frames`) covers both handles, the companion included from
the moment it connects.

Time-out: every unit has one, in seconds (``Unit(ip, timeout=5.0)``, the default 5 s; the
companion gets the same). It bounds the connect, the sending of each request and the wait for
each reply, and once one exchange of a call has timed out the rest of that call fails at once,
so no call runs much longer than one time-out plus the EEPROM settling pauses it makes. The
library runs each call in C without the interpreter's lock; Ctrl-C takes effect when the call
returns, that is within about one time-out.
"""

from __future__ import annotations

import ctypes
from typing import Callable, Dict, List, NamedTuple, Optional, Sequence, Set, Union

from . import _library
from .errors import ErrorCode, ZelError

#: Number of entries in the library's unit table.
TABLE_SIZE = 32
#: Coefficients of one channel's VOA calibration polynomial.
VOA_COEFFICIENTS = 4
#: VOA defined values per channel and wavelength.
VOA_DEFINED_VALUES = 30

#: Direction values handed to a frame trace callback.
FRAME_SENT = 0
FRAME_RECEIVED = 1

FrameCallback = Callable[[int, bytes], None]

# Board types whose default wavelength (the one slot 0 is calibrated for) is 850 nm; every other
# board type's is 1310 nm.
_MULTIMODE_BOARD_TYPES = (1, 4)


def default_wavelength(board_type: int) -> int:
    """The default wavelength (nm) of a board type: the one its wavelength slot 0 serves."""
    return 850 if board_type in _MULTIMODE_BOARD_TYPES else 1310


class SerialNumber(NamedTuple):
    """A unit's serial number and whether the unit's check word confirmed the extended form
    (``extended`` False: ``value`` is the 32-bit board serial number, sign-extended)."""

    value: int
    extended: bool


# Table entries held by live Unit objects (their own entry or a companion): this module's own
# claims, unlocked and unknown to the library (see the module docstring).
_claimed_entries: Set[int] = set()


def _claim_free_entry() -> int:
    for index in range(TABLE_SIZE):
        if index not in _claimed_entries:
            _claimed_entries.add(index)
            return index
    raise ZelError("APIConnect", ErrorCode.BAD_UNIT_INDEX,
                   f"all {TABLE_SIZE} table entries are in use by other units")


class _Handle:
    """One family's way to a unit: the first argument of its calls and its error reporting."""

    INSTANCE, TABLE = 0, 1
    family: int
    REFUSED: int  # why the library refuses a handle outright (no reason is recorded then)

    def __init__(self, lib: ctypes.CDLL, timeout_ms: int) -> None:
        self.lib = lib
        self.connected = False
        self.timeout_ms = timeout_ms

    @property
    def arg(self) -> Union[int, None]:
        raise NotImplementedError

    def last_error(self) -> int:
        raise NotImplementedError

    def fail(self, name: str, code: int) -> ZelError:
        reason = self.lib.zel_ErrorText(code).decode("ascii", "replace")
        if code == ErrorCode.OK:
            reason = "the call reported failure without a reason"
        return ZelError(name, code, reason)

    def call(self, name: str, *args: object, status: bool = True) -> object:
        """Call export ``name`` with this handle first. Raises :class:`ZelError` when the
        library recorded a failure, or (``status`` True) when the result is 0."""
        result = getattr(self.lib, name)(self.arg, *args)
        code = self.last_error()
        if code != ErrorCode.OK or (status and not result):
            raise self.fail(name, code)
        return result

    def read(self, name: str, ctype: type, *args: object) -> object:
        """Call an export whose last parameter is one out-value and return that value."""
        out = ctype()
        self.call(name, *args, ctypes.byref(out))
        return out.value

    def connect(self, ip: str) -> None:
        # The time-out covers the connect itself. A table index the library refuses is
        # reported by the connect below.
        getattr(self.lib, _COMMON["timeout"][self.family])(self.arg, self.timeout_ms)
        self.call(_COMMON["connect"][self.family], ip.encode("ascii"))
        self.connected = True

    def disconnect(self) -> None:
        self.connected = False
        self.call(_COMMON["disconnect"][self.family])

    def set_trace(self, c_callback: Optional[object]) -> None:
        """Install a C frame trace callback; None stops tracing."""
        if c_callback is None:
            c_callback = ctypes.cast(None, _library.FRAME_TRACE_FN)
        name = _COMMON["trace"][self.family]
        if not getattr(self.lib, name)(self.arg, c_callback, None):
            raise self.fail(name, self.REFUSED)


class _InstanceHandle(_Handle):
    family = _Handle.INSTANCE
    REFUSED = ErrorCode.BAD_ARGUMENT

    def __init__(self, lib: ctypes.CDLL, timeout_ms: int) -> None:
        super().__init__(lib, timeout_ms)
        self.pointer: Optional[int] = lib.zel_createInstance()
        if not self.pointer:
            raise MemoryError("zel_createInstance returned no instance")
        self.stale = False
        # The wavelength this instance has selected; None: the default, as after a connect.
        self.selected: Optional[int] = None

    @property
    def arg(self) -> Optional[int]:
        return self.pointer

    def last_error(self) -> int:
        return self.lib.zel_LastError(self.pointer)

    def connect(self, ip: str) -> None:
        super().connect(ip)
        self.selected = None

    def destroy(self) -> None:
        if self.pointer:
            self.lib.zel_destroyInstance(self.pointer)
        self.pointer = None
        self.connected = False


class _TableHandle(_Handle):
    family = _Handle.TABLE
    REFUSED = ErrorCode.BAD_UNIT_INDEX

    def __init__(self, lib: ctypes.CDLL, index: int, timeout_ms: int) -> None:
        super().__init__(lib, timeout_ms)
        self.index = index

    @property
    def arg(self) -> int:
        return self.index

    def last_error(self) -> int:
        return self.lib.APILastError(self.index)


# Operations both families offer: key -> (instance export, table export).
_COMMON: Dict[str, tuple] = {
    "connect": ("zel_Connect", "APIConnect"),
    "disconnect": ("zel_Disconnect", "APIDisconnect"),
    "board_id": ("zel_ReadBoardID", "APIReadBoardID"),
    "firmware": ("zel_ReadFirmwareRevision", "APIReadFirmwareRevision"),
    "serial": ("zel_ReadSerialNumber", "APIReadSerialNumber"),
    "read_2x2": ("zel_ReadSwitchSelect_2x2", "APIReadSwicthSelect_2x2"),
    "set_2x2": ("zel_SwitchSelect_2x2", "APISwicthSelect_2x2"),
    "read_mems": ("zel_ReadSwitchSelect_MEMS_4x1", "APIReadSwicthSelect_MEMS_1x4"),
    "set_mems": ("zel_SwitchSelect_MEMS_4x1", "APISwicthSelect_MEMS_1x4"),
    "read_lbmm": ("zel_ReadSwitchSelect_LBMM_4x1", "APIReadSwicthSelect_LBMM_1x4"),
    "set_lbmm": ("zel_SwitchSelect_LBMM_4x1", "APISwicthSelect_LBMM_1x4"),
    "read_type": ("zel_ReadTypeFromEEPROM", "APIReadTypeFromEEPROM"),
    "screen": ("zel_ScreenControl", "APIScreenControl"),
    "temperature": ("zel_TempRead", "APITempRead"),
    "trace": ("zel_SetFrameTrace", "APISetFrameTrace"),
    "timeout": ("zel_SetTimeout", "APISetTimeout"),
}

DEFAULT_TIMEOUT = 5.0  # seconds


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


class Unit:
    """One fibre-optic test unit.

    ``Unit(ip)`` drives the unit through an instance of its own; :meth:`from_table` drives it
    through an entry of the library's unit table. Either way every operation is available (see
    the module documentation for how the other family's operations are reached). Use it as a
    context manager: ``with Unit("127.0.0.1") as unit:`` connects, and leaving the block
    disconnects and releases the instance and any table entry.

    Channels are the host's channel numbers (0..7); a channel the board's layout lacks raises
    :class:`ZelError` with :attr:`ErrorCode.NO_SUCH_CHANNEL`. Every failed call raises
    :class:`ZelError` naming the C export and the library's reason; every operation on a unit
    that is not connected raises it with :attr:`ErrorCode.NOT_CONNECTED`.
    """

    def __init__(self, ip: str, *, library: Optional[ctypes.CDLL] = None,
                 timeout: float = DEFAULT_TIMEOUT) -> None:
        ms = _timeout_ms(timeout)
        lib = library if library is not None else _library.library()
        self._setup(ip, lib, _InstanceHandle(lib, ms), None, ms)

    def _setup(self, ip: str, lib: ctypes.CDLL, instance: Optional[_InstanceHandle],
               table: Optional[_TableHandle], timeout_ms: int) -> None:
        self.ip = ip
        self._timeout_ms = timeout_ms
        self._lib = lib
        self._instance = instance
        self._table = table
        self._primary: _Handle = instance if instance is not None else table
        self._own_entry: Optional[int] = None if table is None else table.index
        self._wavelength: Optional[int] = None  # None: the default wavelength is selected
        self._trace: Optional[object] = None  # the installed C trace callback, kept alive here
        self._closed = False

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
        unit._setup(ip, lib, None, _TableHandle(lib, index, ms), ms)
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
        kind = f"table entry {self._own_entry}" if self._own_entry is not None else "instance"
        state = "closed" if self._closed else ("connected" if self.connected else "not connected")
        return f"<Unit {self.ip} via {kind}, {state}>"

    @property
    def connected(self) -> bool:
        """True after a successful :meth:`connect` until :meth:`disconnect`."""
        return not self._closed and self._primary.connected

    @property
    def timeout(self) -> float:
        """The unit's time-out in seconds (see the module documentation)."""
        return self._timeout_ms / 1000

    @property
    def raw(self) -> ctypes.CDLL:
        """The loaded library, for calls with the C semantics."""
        return self._lib

    @property
    def instance_pointer(self) -> Optional[int]:
        """The ``zel_instance*`` of this unit (primary or companion), or None when it has none."""
        return self._instance.pointer if self._instance is not None else None

    @property
    def table_index(self) -> Optional[int]:
        """The table entry of this unit (its own or the companion's), or None when it has none."""
        return self._table.index if self._table is not None else None

    def connect(self) -> None:
        """Open the link, read the board ID, board type and the calibration of every wavelength
        the unit holds, and select the default wavelength. Raises :class:`ZelError` (for
        example :attr:`ErrorCode.CONNECTION_REFUSED`)."""
        self._ensure_open()
        self._wavelength = None
        self._primary.connect(self.ip)

    def disconnect(self) -> None:
        """Close the link (and any companion link). Raises :class:`ZelError` when no link was
        open."""
        self._ensure_open()
        self._drop_companion()
        self._primary.disconnect()

    def close(self) -> None:
        """Disconnect when connected and release the instance and table entries. The object
        cannot be used afterwards. Calling it again does nothing."""
        if self._closed:
            return
        self._drop_companion()
        if self._primary.connected:
            try:
                self._primary.disconnect()
            except ZelError:
                pass
        if self._instance is not None:
            self._instance.destroy()
        if self._table is not None:
            self._release_entry(self._table)
        self._closed = True

    def _ensure_open(self) -> None:
        if self._closed:
            raise ValueError("operation on a closed Unit")

    def _release_entry(self, table: _TableHandle) -> None:
        """Stop tracing on a table entry (the callback dies with this object) and free it for
        other units."""
        if self._trace is not None and table.index < TABLE_SIZE:
            table.set_trace(None)
        _claimed_entries.discard(table.index)

    def _drop_companion(self) -> None:
        if self._primary is self._instance and self._table is not None:
            table, self._table = self._table, None
            if table.connected:
                try:
                    table.disconnect()
                except ZelError:
                    pass
            self._release_entry(table)
        elif self._primary is self._table and self._instance is not None:
            instance, self._instance = self._instance, None
            instance.destroy()

    def _ensure_connected(self, name: str) -> None:
        # The library alone would answer some calls on a unit that is not connected from what
        # an earlier connection left behind (cached calibration, channel layout); the binding
        # refuses them all alike.
        self._ensure_open()
        if not self._primary.connected:
            raise self._primary.fail(name, ErrorCode.NOT_CONNECTED)

    def _via_table(self, name: str) -> _TableHandle:
        """The table handle, claiming and connecting a companion entry when needed."""
        self._ensure_connected(name)
        if self._table is None:
            table = _TableHandle(self._lib, _claim_free_entry(), self._timeout_ms)
            try:
                if self._trace is not None:
                    table.set_trace(self._trace)
                table.connect(self.ip)
            except ZelError:
                self._release_entry(table)
                raise
            self._table = table
        return self._table

    def _via_instance(self, name: str, calibrated: bool = False) -> _InstanceHandle:
        """The instance handle, creating and connecting a companion when needed, and
        reconnecting it when the table handle changed what it read at connect. ``calibrated``:
        the call uses the active calibration, so the instance must have the unit's wavelength
        selected first."""
        self._ensure_connected(name)
        if self._instance is None:
            instance = _InstanceHandle(self._lib, self._timeout_ms)
            try:
                if self._trace is not None:
                    instance.set_trace(self._trace)
                instance.connect(self.ip)
            except ZelError:
                instance.destroy()
                raise
            self._instance = instance
        elif self._instance.stale and self._instance.connected:
            self._instance.disconnect()
            self._instance.connect(self.ip)
        self._instance.stale = False
        if calibrated:
            self._follow_wavelength(self._instance)
        return self._instance

    def _follow_wavelength(self, instance: _InstanceHandle) -> None:
        """Select the unit's wavelength on the instance, which makes that slot's TAP factors
        and VOA coefficients the active calibration."""
        if instance.selected == self._wavelength:
            return
        nm = self._wavelength
        if nm is None:
            nm = default_wavelength(instance.read("zel_ReadTypeFromEEPROM", ctypes.c_uint16))
        instance.call("zel_SelectWavelength", nm)
        instance.selected = self._wavelength

    def _common_handle(self, key: str) -> _Handle:
        """The primary handle for an operation both families offer (an instance made fresh
        when the table handle changed the board type or calibration)."""
        if self._primary is self._instance:
            return self._via_instance(_COMMON[key][0])
        self._ensure_connected(_COMMON[key][1])
        return self._primary

    def _common(self, key: str, *args: object, status: bool = True) -> object:
        handle = self._common_handle(key)
        return handle.call(_COMMON[key][handle.family], *args, status=status)

    def _read_common(self, key: str, ctype: type, *args: object) -> object:
        handle = self._common_handle(key)
        return handle.read(_COMMON[key][handle.family], ctype, *args)

    def _calibration_changed(self) -> None:
        if self._instance is not None:
            self._instance.stale = True

    # ---- identity -----------------------------------------------------------------------------

    @property
    def api_revision(self) -> float:
        """The library revision (6926.0)."""
        return self._lib.APIGetAPIRev(self.instance_pointer)

    @property
    def board_id(self) -> int:
        """The unit's board ID."""
        return self._common("board_id", status=False)

    @property
    def firmware_revision(self) -> float:
        """The unit's firmware revision, e.g. 12.3."""
        return self._common("firmware", status=False)

    @property
    def serial_number(self) -> SerialNumber:
        """The extended serial number, or the board serial number when the unit's check word
        does not confirm the extended one."""
        serial, flag = ctypes.c_int64(), ctypes.c_int32()
        self._common("serial", ctypes.byref(serial), ctypes.byref(flag))
        return SerialNumber(serial.value, bool(flag.value))

    @property
    def board_serial(self) -> int:
        """The 32-bit board serial number (signed, as the unit's two serial words give it).
        Setting it writes both words."""
        return self._via_table("APIReadBoardSN").call("APIReadBoardSN", status=False)

    @board_serial.setter
    def board_serial(self, serial: int) -> None:
        self._via_table("APIWriteBoardSN").call("APIWriteBoardSN", serial)

    @property
    def board_type(self) -> int:
        """The board type stored in the EEPROM (0..7). Reading or setting it rebuilds the
        channel layout; setting it makes the instance reread the unit before its next call."""
        return self._read_common("read_type", ctypes.c_uint16)

    @board_type.setter
    def board_type(self, board_type: int) -> None:
        self._via_table("APIWriteTypeToEEPROM").call("APIWriteTypeToEEPROM", board_type)
        self._calibration_changed()

    # ---- switches, screen, temperature --------------------------------------------------------

    def switch_2x2(self, channel: int) -> int:
        """The position of the 2x2 switch of ``channel``."""
        return self._read_common("read_2x2", ctypes.c_uint16, channel)

    def set_switch_2x2(self, channel: int, position: int) -> None:
        """Set the 2x2 switch of ``channel`` to ``position``."""
        self._common("set_2x2", channel, position)

    @property
    def mems_switch(self) -> int:
        """The position of the MEMS selector switch (settable)."""
        return self._read_common("read_mems", ctypes.c_uint16, 0)

    @mems_switch.setter
    def mems_switch(self, position: int) -> None:
        self._common("set_mems", 0, position)

    @property
    def lbmm_switch(self) -> int:
        """The position of the LBMM selector switch (settable)."""
        return self._read_common("read_lbmm", ctypes.c_uint16, 0)

    @lbmm_switch.setter
    def lbmm_switch(self, position: int) -> None:
        self._common("set_lbmm", 0, position)

    def set_screen(self, control: int) -> None:
        """Write ``control`` (0..255) to the front-panel screen register."""
        self._common("screen", 0, control)

    def temperature(self, select: int = 0) -> float:
        """The raw temperature word of register bank ``select`` (0..15), as a float; another
        select raises :attr:`ErrorCode.BAD_ARGUMENT`."""
        return self._common("temperature", select, status=False)

    # ---- VOA ----------------------------------------------------------------------------------

    def _calibrated(self, export: str, item: str, channel: int, call: Callable[[], object]) -> object:
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
            raise ZelError(export, error.code, reason, channel=channel, wavelength=nm) from None

    def set_attenuation_db(self, channel: int, db: float) -> None:
        """Set the attenuation of ``channel`` to ``db`` (0..30 dB) through the channel's VOA
        calibration at the selected wavelength. Outside 0..30 dB raises
        :attr:`ErrorCode.BAD_ARGUMENT`; no drive code for ``db`` raises
        :attr:`ErrorCode.NOT_FOUND`; a channel without VOA calibration at that wavelength raises
        :attr:`ErrorCode.NOT_CALIBRATED` (with ``channel`` and ``wavelength`` set) and the
        attenuator is left alone."""
        export = "zel_SetVOAAttenuation"
        self._calibrated(export, "VOA", channel,
                         lambda: self._via_instance(export, True).call(export, channel, db))

    def attenuation_db(self, channel: int) -> float:
        """The attenuation of ``channel`` in dB, from its drive code through the VOA
        calibration at the selected wavelength (:attr:`ErrorCode.NOT_CALIBRATED` without
        one)."""
        export = "zel_ReadVOAAttenuation"
        return self._calibrated(export, "VOA", channel,
                                lambda: self._via_instance(export, True).read(export, ctypes.c_double, channel))

    def set_voa_code(self, channel: int, code: int) -> None:
        """Set the VOA drive code of ``channel`` (the unit keeps its low 12 bits)."""
        self._via_table("APISetVOAAttenuation").call("APISetVOAAttenuation", channel, code)

    def voa_code(self, channel: int) -> int:
        """The VOA drive code of ``channel``."""
        return self._via_table("APIReadVOAAttenuation").read(
            "APIReadVOAAttenuation", ctypes.c_uint16, channel)

    def voa_calibration(self, channel: int) -> List[float]:
        """The four calibration coefficients of ``channel`` at the selected wavelength."""
        out = (ctypes.c_double * VOA_COEFFICIENTS)()
        self._via_table("APIReadVOACalibration").call("APIReadVOACalibration", channel, out)
        return list(out)

    def set_voa_calibration(self, channel: int, coefficients: Sequence[float]) -> None:
        """Store the four calibration coefficients of ``channel`` at the selected wavelength."""
        values = _check_values("a VOA calibration", coefficients, VOA_COEFFICIENTS)
        arg = (ctypes.c_double * VOA_COEFFICIENTS)(*values)
        self._via_table("APIWriteVOACalibration").call("APIWriteVOACalibration", channel, arg)
        self._calibration_changed()

    def voa_defined_values(self, channel: int) -> List[int]:
        """The 30 VOA defined values of ``channel`` at the selected wavelength."""
        out = (ctypes.c_uint16 * VOA_DEFINED_VALUES)()
        self._via_table("APIReadVOADefinedValues").call("APIReadVOADefinedValues", channel, out)
        return list(out)

    def set_voa_defined_values(self, channel: int, values: Sequence[int]) -> None:
        """Store 30 VOA defined values (each 0..65535) of ``channel`` at the selected
        wavelength."""
        words = _check_values("the VOA defined values", values, VOA_DEFINED_VALUES)
        if any(not 0 <= int(v) <= 0xFFFF for v in words):
            raise ValueError("VOA defined values must be 0..65535")
        arg = (ctypes.c_uint16 * VOA_DEFINED_VALUES)(*words)
        self._via_table("APIWriteVOADefinedValues").call("APIWriteVOADefinedValues", channel, arg)

    def voa_insertion_loss(self, channel: int) -> float:
        """The stored VOA insertion loss (dB) of ``channel`` at the selected wavelength."""
        return self._via_table("APIReadVOAInsertionLoss").read(
            "APIReadVOAInsertionLoss", ctypes.c_double, channel)

    def set_voa_insertion_loss(self, channel: int, loss: float) -> None:
        """Store the VOA insertion loss (dB) of ``channel`` at the selected wavelength."""
        self._via_table("APIWriteVOAInsertionLoss").call("APIWriteVOAInsertionLoss", channel, loss)

    def switch_insertion_loss(self, channel: int) -> float:
        """The stored 4x1 switch insertion loss (dB) of ``channel`` at the selected wavelength."""
        return self._via_table("APIRead4x1SwitchInsertionLoss").read(
            "APIRead4x1SwitchInsertionLoss", ctypes.c_double, channel)

    def set_switch_insertion_loss(self, channel: int, loss: float) -> None:
        """Store the 4x1 switch insertion loss (dB) of ``channel`` at the selected wavelength."""
        self._via_table("APIWrite4x1SwitchInsertionLoss").call(
            "APIWrite4x1SwitchInsertionLoss", channel, loss)

    # ---- optical power and calibration --------------------------------------------------------

    def optical_power(self, channel: int) -> float:
        """The calibrated optical power of ``channel`` in microwatts: the average of ten
        readings times the channel's TAP factor at the selected wavelength
        (:attr:`ErrorCode.NOT_CALIBRATED` without one)."""
        export = "zel_ReadOpticalPower"
        return self._calibrated(export, "TAP", channel,
                                lambda: self._via_instance(export, True).read(export, ctypes.c_double, channel))

    def raw_optical_power(self, channel: int) -> int:
        """The average of ten raw power readings of ``channel`` (truncated)."""
        return self._via_table("APIReadOpticalPower").read(
            "APIReadOpticalPower", ctypes.c_uint16, channel)

    def tap_calibration(self, channel: int) -> float:
        """The TAP factor (microwatts per power count) of ``channel`` at the selected
        wavelength."""
        return self._via_table("APIReadTAPCalibration").read(
            "APIReadTAPCalibration", ctypes.c_double, channel)

    def set_tap_calibration(self, channel: int, factor: float) -> None:
        """Store the TAP factor of ``channel`` at the selected wavelength."""
        self._via_table("APIWriteTAPCalibration").call("APIWriteTAPCalibration", channel, factor)
        self._calibration_changed()

    def user_tx_calibration(self, channel: int) -> float:
        """The user TX calibration value of ``channel`` (the same for every wavelength)."""
        return self._via_table("APIReadUserTXCalibration").read(
            "APIReadUserTXCalibration", ctypes.c_double, channel)

    def set_user_tx_calibration(self, channel: int, value: float) -> None:
        """Store the user TX calibration value of ``channel``."""
        self._via_table("APIWriteUserTXCalibration").call("APIWriteUserTXCalibration", channel, value)

    def user_rx_calibration(self, channel: int) -> float:
        """The user RX calibration value of ``channel`` (the same for every wavelength)."""
        return self._via_table("APIReadUserRXCalibration").read(
            "APIReadUserRXCalibration", ctypes.c_double, channel)

    def set_user_rx_calibration(self, channel: int, value: float) -> None:
        """Store the user RX calibration value of ``channel``."""
        self._via_table("APIWriteUserRXCalibration").call("APIWriteUserRXCalibration", channel, value)

    # ---- wavelengths --------------------------------------------------------------------------

    def set_wavelength(self, nm: int) -> None:
        """Select the calibration of wavelength ``nm`` for every calibrated operation (dB
        attenuation and calibrated power included); :attr:`ErrorCode.NOT_FOUND` when the unit
        holds none for it, and the selection stays as it was. The board's default wavelength
        (:attr:`default_wavelength`) selects the default calibration."""
        self._select_wavelength(nm, "APISetWavelength", nm)

    def add_wavelength(self, nm: int) -> None:
        """Add ``nm`` to the unit's wavelength table (or select it when present) and select it.
        Where the unit's EEPROM holds no calibration in the new slot (erased bytes), a channel's
        dB and calibrated power calls raise :attr:`ErrorCode.NOT_CALIBRATED` until its VOA
        calibration and TAP factor are stored at the new wavelength."""
        self._select_wavelength(nm, "APIAddWavelength", nm, new_slot=True)

    def set_default_wavelength(self) -> None:
        """Return to the default wavelength and its calibration."""
        self._select_wavelength(None, "APISetDefaultWavelength")

    def _select_wavelength(self, nm: Optional[int], export: str, *args: object,
                           new_slot: bool = False) -> None:
        """Select ``nm`` (None: the default) on the table handle through ``export``, then on a
        connected instance at once. ``new_slot``: the selection may have added a slot, which
        the instance learns of only by reconnecting."""
        self._via_table(export).call(export, *args)
        if new_slot:
            self._calibration_changed()
        self._wavelength = nm
        if self._instance is not None and self._instance.connected:
            self._via_instance("zel_SelectWavelength", calibrated=True)

    @property
    def default_wavelength(self) -> int:
        """The board's default wavelength in nm (850 or 1310, by board type)."""
        return default_wavelength(self.board_type)

    @property
    def wavelength(self) -> Optional[int]:
        """The wavelength last selected through this object, or None for the default."""
        return self._wavelength

    # ---- registers, EEPROM and records --------------------------------------------------------

    def read_register(self, channel: int, address: int) -> int:
        """Read register ``address`` (0..2047) in the register bank of ``channel``; a larger
        address raises :attr:`ErrorCode.BAD_ARGUMENT`."""
        value = ctypes.c_uint16()
        self._via_table("APIAccessBoardRegister").call(
            "APIAccessBoardRegister", 0, channel, address, ctypes.byref(value))
        return value.value

    def write_register(self, channel: int, address: int, value: int) -> None:
        """Write ``value`` (0..65535) to register ``address`` (0..2047) in the bank of
        ``channel``; a larger address raises :attr:`ErrorCode.BAD_ARGUMENT`."""
        word = ctypes.c_uint16(value)
        self._via_table("APIAccessBoardRegister").call(
            "APIAccessBoardRegister", 1, channel, address, ctypes.byref(word))

    def read_eeprom_byte(self, address: int) -> int:
        """The EEPROM byte at ``address``."""
        return self._via_instance("zel_ReadEEPromByte").read(
            "zel_ReadEEPromByte", ctypes.c_uint8, address)

    def write_eeprom_byte(self, address: int, value: int) -> None:
        """Write ``value`` through the EEPROM data register to the byte at ``address``."""
        self._via_table("APIWriteValueToEEProm").call("APIWriteValueToEEProm", address, value)

    def read_eeprom_double(self, address: int) -> float:
        """The scaled 8-byte value at EEPROM ``address``."""
        return self._via_table("APIReadDoubleValueFromEEProm").read(
            "APIReadDoubleValueFromEEProm", ctypes.c_double, address)

    def write_eeprom_double(self, address: int, value: float) -> None:
        """Store ``value`` in the scaled 8-byte encoding (12 decimal places; negative values do
        not survive) at EEPROM ``address``."""
        self._via_table("APIWriteDoubleValueToEEProm").call("APIWriteDoubleValueToEEProm", address, value)

    def read_status_record(self, group: int, record: int) -> float:
        """The double stored in record ``record`` (0..255) of record group ``group`` (0..255),
        read back bit for bit (the monitor operation)."""
        handle = self._via_table("APIMonitor")
        return handle.read("APIMonitor", ctypes.c_double, group, record)

    def write_status_record(self, group: int, record: int, value: float) -> None:
        """Store ``value`` as a raw double in record ``record`` of record group ``group``."""
        self._via_table("APIWriteStatusToEEProm").call("APIWriteStatusToEEProm", group, record, value)

    # ---- diagnostics --------------------------------------------------------------------------

    def trace_frames(self, callback: Optional[FrameCallback]) -> None:
        """Pass every frame the unit sends (:data:`FRAME_SENT`) and every reply it receives
        (:data:`FRAME_RECEIVED`) to ``callback(direction, data)``; None stops. Both links
        are traced: the primary handle's and the companion's, including a companion connected
        later (its connect exchanges too). Calling it before :meth:`connect` traces the
        connect. The callback must not call into this unit."""
        self._ensure_open()
        c_callback = None
        if callback is not None:
            def trampoline(_user: Optional[int], direction: int, data: object, length: int) -> None:
                callback(direction, ctypes.string_at(data, length))
            c_callback = _library.FRAME_TRACE_FN(trampoline)
        for handle in (self._instance, self._table):
            if handle is not None:
                handle.set_trace(c_callback)
        self._trace = c_callback
