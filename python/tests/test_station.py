"""Stations: units of one simulator told apart, station files read and refused, and map() over a
station that has a unit with nothing behind it."""

from __future__ import annotations

import time

import pytest

import zel_api


def write(tmp_path, text: str):
    path = tmp_path / "bench.toml"
    path.write_text(text)
    return path


def test_units_of_one_simulator_have_serials_and_calibration_of_their_own(start_units):
    addresses = start_units(8)
    with zel_api.Station(addresses) as station:
        assert not station.failed
        serials = station.map(lambda unit: unit.serial_number.value)
        taps = station.map(lambda unit: unit.tap_calibration(0))
    assert len(set(serials)) == 8
    assert all(not isinstance(s, BaseException) for s in serials), serials
    # Reproducible: the serial follows from the address.
    a, b, c, d = (int(x) for x in addresses[0].split("."))
    assert serials[0] == 0x0007_2024_0000_0000 | a << 24 | b << 16 | c << 8 | d
    assert len(set(taps)) == 8  # the factory calibration differs slightly per unit ...
    assert max(taps) / min(taps) < 1.1  # ... and stays the same physics


def test_a_station_file_names_units_keeps_their_order_and_time_outs(start_units, tmp_path):
    first, second = start_units(2)
    path = write(tmp_path, f'''timeout_ms = 1500
[units.bay3]
address = "{second}"
label = "DUT rack A, slot 3"
timeout_ms = 4000
[units.bay1]
address = "{first}"
''')
    units = zel_api.read_station_file(path)
    assert [(u.name, u.address, u.label, u.timeout) for u in units] == [
        ("bay3", second, "DUT rack A, slot 3", 4.0), ("bay1", first, "", 1.5)]
    with zel_api.Station(path) as station:
        assert station.names == ["bay3", "bay1"]
        assert [u.ip for u in station] == [second, first]
        assert station["bay1"].timeout == 1.5
        assert station["bay1"].connected and "bay3" in station
        with pytest.raises(KeyError, match="no unit 'bay2'.*bay3, bay1"):
            station["bay2"]
    with zel_api.Station(path, names=["bay1"], timeout=2) as station:
        assert station.names == ["bay1"] and station["bay1"].timeout == 2


@pytest.mark.parametrize("text, message", [
    ("[units.a\n", "bench.toml: "),
    ('timeout = 5\n[units.a]\naddress = "127.0.0.1"\n', "unknown key 'timeout'"),
    ('[units.a]\naddress = "127.0.0.1"\nport = 6653\n', "unit a: unknown key 'port'"),
    ('[units.a]\naddress = "127.0.0.1"\n[units.a]\naddress = "127.0.0.2"\n', "bench.toml: "),
    ('[units.a]\naddress = "127.0.0.1"\n[units.b]\naddress = "127.0.0.1"\n', "unit b has the address 127.0.0.1"),
    ('[units.a]\naddress = "127.0.0.256"\n', "'127.0.0.256' of unit a is not an IPv4 address"),
    ('[units.a]\nlabel = "x"\n', "unit a has no address"),
    ('[units.a]\naddress = 127\n', "'address' must be a string, not int"),
    ('[units.a]\naddress = "127.0.0.1"\ntimeout_ms = "5s"\n', "whole number of milliseconds, not str"),
    ('[units.all]\naddress = "127.0.0.1"\n', "unit name 'all'"),
    ("timeout_ms = 5\n", "no units"),
])
def test_malformed_station_files_are_refused_with_the_file_and_the_fault(tmp_path, text, message):
    with pytest.raises(zel_api.StationFileError, match=message.replace(".", r"\.").replace("(", r"\(")) as e:
        zel_api.Station(write(tmp_path, text))
    assert str(tmp_path / "bench.toml") in str(e.value)


def test_one_unit_without_a_listener_fails_alone_within_its_time_out(start_units):
    live = start_units(3)
    dead = live[0].rsplit(".", 1)[0] + ".255"  # nothing listens there
    station = zel_api.Station([*live[:2], ("gone", dead), live[2]], timeout=0.5)
    with station:
        assert list(station.failed) == ["gone"]
        assert station.failed["gone"].code == zel_api.ErrorCode.CONNECTION_REFUSED
        for jobs in (None, 1):
            start = time.monotonic()
            results = station.map(lambda unit: unit.board_id, jobs=jobs)
            assert time.monotonic() - start < 5
            assert isinstance(results[2], zel_api.ZelError)
            assert results[2].code == zel_api.ErrorCode.NOT_CONNECTED
            assert [r for i, r in enumerate(results) if i != 2] == [results[0]] * 3
    assert not any(unit.connected for unit in station)


def test_map_runs_units_in_parallel(start_units):
    # Ten power samples of 10 ms each per call: 8 units one after another would take 8 times one.
    addresses = start_units(8)
    with zel_api.Station(addresses) as station:
        start = time.monotonic()
        station.map(lambda unit: unit.optical_power(0), jobs=1)
        serial = time.monotonic() - start
        start = time.monotonic()
        powers = station.map(lambda unit: unit.optical_power(0))
        parallel = time.monotonic() - start
    assert all(isinstance(p, float) for p in powers), powers
    assert parallel < serial / 2


@pytest.mark.parametrize("source, message", [
    ([], "at least one unit"),
    (["127.0.0.1", "127.0.0.1"], "two units are called 127.0.0.1"),
    ([("a", "127.0.0.1"), ("b", "127.0.0.1")], "unit b has the address 127.0.0.1 of unit a"),
    ({"x,y": "127.0.0.1"}, "unit name 'x,y'"),
    (["localhost"], "'localhost' of unit localhost is not an IPv4 address"),
])
def test_lists_of_addresses_are_checked_as_files_are(lib, source, message):
    with pytest.raises(ValueError, match=message):
        zel_api.Station(source)
