"""A station: the units of one test bench, by name, driven in parallel.

A station file is TOML::

    timeout_ms = 2000              # optional: every unit that names none
    [units.bay3]
    address = "127.0.0.7"
    label = "DUT rack A, slot 3"   # optional
    timeout_ms = 5000              # optional

``Station("bench.toml")`` holds one :class:`~zel_api.Unit` per unit, in file order::

    with Station("bench.toml") as station:          # connects every unit, in parallel
        serials = station.map(lambda unit: unit.serial_number())
        station["bay3"].set_attenuation_db(0, 12.5)

A station can also be made from addresses and names: ``Station(["127.0.0.5", ("bay3",
"127.0.0.7")])`` or ``Station({"bay3": "127.0.0.7"})``; a bare address is named by itself.
"""

from __future__ import annotations

import concurrent.futures
import ctypes
import os
import re
import tomllib
from typing import (Callable, Dict, Iterable, Iterator, List, Mapping, NamedTuple, Optional,
                    Sequence, Tuple, TypeVar, Union)

from .errors import ZelError
from .unit import DEFAULT_TIMEOUT, Unit

T = TypeVar("T")

_DOTTED_QUAD = re.compile(r"(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)(\.(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)){3}")
_NAME = re.compile(r"[A-Za-z0-9_-]+")


class StationFileError(ValueError):
    """A station file that cannot be read or is malformed; the message names the file."""


class StationUnit(NamedTuple):
    """One unit of a station as its file (or list) gives it."""

    name: str
    address: str
    label: str
    timeout: float  # seconds


def is_dotted_quad(text: str) -> bool:
    """True for an IPv4 address written as four numbers 0..255 without leading zeros."""
    return isinstance(text, str) and _DOTTED_QUAD.fullmatch(text) is not None


def _timeout_of(where: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, int):
        raise StationFileError(f"{where}: 'timeout_ms' must be a whole number of milliseconds, "
                               f"not {type(value).__name__}")
    if not 0 < value <= 0xFFFFFFFF:
        raise StationFileError(f"{where}: 'timeout_ms' = {value} is outside 1..4294967295 ms")
    return value / 1000


def read_station_file(path: Union[str, os.PathLike]) -> List[StationUnit]:
    """The units of a station file, in file order. Raises :class:`StationFileError` for a file
    that cannot be read, is not TOML, or holds an unknown key, a unit without an address, a
    malformed address, a value of the wrong type, or two units of one name or address."""
    path = os.fspath(path)
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as e:
        raise StationFileError(f"cannot read the station file {path}: {e.strerror}") from None
    except tomllib.TOMLDecodeError as e:
        raise StationFileError(f"{path}: {e}") from None
    default = DEFAULT_TIMEOUT
    for key, value in data.items():
        if key == "timeout_ms":
            default = _timeout_of(path, value)
        elif key != "units":
            raise StationFileError(f"{path}: unknown key {key!r} (a station has timeout_ms and "
                                   f"[units.NAME] tables)")
    units = data.get("units")
    if not isinstance(units, dict) or not units:
        raise StationFileError(f"{path}: no units: add a [units.NAME] table with an address")
    out = []
    for name, table in units.items():  # tomllib keeps the file's order
        where = f"{path}: unit {name}"
        if not isinstance(table, dict):
            raise StationFileError(f"{path}: 'units.{name}' must be a table")
        unknown = sorted(set(table) - {"address", "label", "timeout_ms"})
        if unknown:
            raise StationFileError(f"{where}: unknown key {unknown[0]!r} (a unit has address, label "
                                   f"and timeout_ms)")
        if "address" not in table:
            raise StationFileError(f"{where} has no address")
        address, label = table["address"], table.get("label", "")
        for key, value in (("address", address), ("label", label)):
            if not isinstance(value, str):
                raise StationFileError(f"{where}: {key!r} must be a string, not {type(value).__name__}")
        timeout = _timeout_of(where, table["timeout_ms"]) if "timeout_ms" in table else default
        out.append(StationUnit(name, address, label, timeout))
    _check_units(out, path)
    return out


def _check_units(units: Sequence[StationUnit], where: str) -> None:
    addresses: Dict[str, str] = {}
    names = set()
    for unit in units:
        if not is_dotted_quad(unit.address):
            raise StationFileError(f"{where}: address {unit.address!r} of unit {unit.name} is not an "
                                   f"IPv4 address (four numbers 0..255, e.g. 10.0.0.7)")
        if unit.name != unit.address and (not _NAME.fullmatch(unit.name) or unit.name == "all"
                                          or unit.name.isdigit()):
            raise StationFileError(f"{where}: unit name {unit.name!r} must be letters, digits, '_' "
                                   f"and '-' (and neither 'all' nor an address)")
        if unit.name in names:
            raise StationFileError(f"{where}: two units are called {unit.name}")
        if unit.address in addresses:
            raise StationFileError(f"{where}: unit {unit.name} has the address {unit.address} of "
                                   f"unit {addresses[unit.address]} (one unit, one name)")
        names.add(unit.name)
        addresses[unit.address] = unit.name


def _units_of(source: Union[str, os.PathLike, Mapping[str, str], Iterable[Union[str, Tuple[str, str]]]],
              timeout: float) -> List[StationUnit]:
    if isinstance(source, (str, os.PathLike)) and not is_dotted_quad(os.fspath(source)):
        return read_station_file(source)
    if isinstance(source, str):
        source = [source]
    pairs = source.items() if isinstance(source, Mapping) else (
        (item, item) if isinstance(item, str) else tuple(item) for item in source)
    units = [StationUnit(name, address, "", timeout) for name, address in pairs]
    if not units:
        raise ValueError("a station needs at least one unit")
    try:
        _check_units(units, "station")
    except StationFileError as e:
        raise ValueError(str(e)) from None
    return units


class Station:
    """The units of a station, one :class:`~zel_api.Unit` (one instance, one link) each.

    ``source`` is a station file, a mapping of names to addresses, or a list of addresses and
    ``(name, address)`` pairs. ``names`` picks and orders some of its units; ``timeout``
    (seconds) replaces every unit's own. Units are created unconnected; :meth:`connect` (or
    the ``with`` block) connects them all in parallel.
    """

    def __init__(self, source, *, names: Optional[Sequence[str]] = None,
                 timeout: Optional[float] = None, library: Optional[ctypes.CDLL] = None) -> None:
        units = _units_of(source, DEFAULT_TIMEOUT if timeout is None else timeout)
        if names is not None:
            by_name = {u.name: u for u in units}
            missing = [n for n in names if n not in by_name]
            if missing:
                raise KeyError(f"no unit {missing[0]!r} in the station (it has {', '.join(by_name)})")
            units = [by_name[n] for n in dict.fromkeys(names)]
        if timeout is not None:
            units = [u._replace(timeout=timeout) for u in units]
        self.units: List[StationUnit] = units
        self._units: Dict[str, Unit] = {}
        try:
            for u in units:
                self._units[u.name] = Unit(u.address, library=library, timeout=u.timeout)
        except BaseException:
            self.close()
            raise
        #: The exception each unit's last :meth:`connect` raised, by name (absent: it connected).
        self.failed: Dict[str, BaseException] = {}

    # ---- access ------------------------------------------------------------------------------

    @property
    def names(self) -> List[str]:
        """The units' names, in order."""
        return [u.name for u in self.units]

    def __getitem__(self, name: str) -> Unit:
        try:
            return self._units[name]
        except KeyError:
            raise KeyError(f"no unit {name!r} in the station (it has {', '.join(self.names)})") from None

    def __iter__(self) -> Iterator[Unit]:
        return iter([self._units[u.name] for u in self.units])

    def __len__(self) -> int:
        return len(self.units)

    def __contains__(self, name: object) -> bool:
        return name in self._units

    def __repr__(self) -> str:
        return f"<Station of {len(self)} units: {', '.join(self.names)}>"

    # ---- running on every unit --------------------------------------------------------------

    def map(self, fn: Callable[[Unit], T], *, jobs: Optional[int] = None) -> List[Union[T, BaseException]]:
        """Run ``fn(unit)`` on every unit, at most ``jobs`` at once (default: all), each on a
        thread of its own; the library releases the GIL while a unit is waited for. Returns, in
        the station's order, each call's result or the exception it raised: one unit that
        fails does not stop the others."""
        if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
            raise ValueError(f"jobs must be a whole number of at least 1, not {jobs!r}")
        units = list(self)
        workers = min(jobs or len(units), len(units))

        def call(unit: Unit) -> Union[T, BaseException]:
            try:
                return fn(unit)
            except Exception as e:  # handed back in its place
                return e

        with concurrent.futures.ThreadPoolExecutor(max_workers=workers,
                                                   thread_name_prefix="zel-station") as pool:
            return list(pool.map(call, units))

    def connect(self, *, jobs: Optional[int] = None) -> List[Optional[BaseException]]:
        """Connect every unit in parallel. Returns, in order, None for each unit that connected
        and the exception of each that did not; those are also kept in :attr:`failed`."""
        results = self.map(lambda unit: unit.connect(), jobs=jobs)
        self.failed = {name: r for name, r in zip(self.names, results) if isinstance(r, BaseException)}
        return [r if isinstance(r, BaseException) else None for r in results]

    def close(self) -> None:
        """Disconnect and release every unit. Calling it again does nothing."""
        for unit in self._units.values():
            try:
                unit.close()
            except ZelError:
                pass

    def __enter__(self) -> "Station":
        """Connects every unit; a unit that cannot be reached stays unconnected and its reason
        is in :attr:`failed`, so that the others can be driven."""
        self.connect()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
