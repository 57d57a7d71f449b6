"""Failures raise ZelError with the operation's name and the library's reason."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import threading
import time
import warnings

import pytest

import zel_api
from conftest import PYTHON_DIR, SIM, TABLE_INDEX, open_unit, _random_loopback, _wait_until_listening

E = zel_api.ErrorCode


def expect(code, call, *args, reason=None):
    """``call(*args)`` raises ZelError with ``code`` and the library's reason for it, or
    ``reason`` where the binding names what was wrong."""
    with pytest.raises(zel_api.ZelError) as info:
        call(*args)
    assert info.value.code == code
    assert info.value.reason == (zel_api.error_text(code) if reason is None else reason)
    assert info.value.operation in str(info.value) and info.value.reason in str(info.value)
    return info.value


def test_connection_refused(family, lib):
    unit = open_unit(family, _random_loopback())  # nothing listens there
    error = expect(E.CONNECTION_REFUSED, unit.__enter__)
    assert error.operation == ("zel_QuickConnect" if family == "instance" else "APIConnect")
    with pytest.raises(ValueError):  # a failed context entry releases the unit
        unit.connect()


def _silent_listener() -> socket.socket:
    """A listener on port 6653 of a random loopback address that answers nothing: connections
    are made (accepted or not), requests go out, nothing comes back."""
    silent = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    for _ in range(10):
        try:
            silent.bind((_random_loopback(), 6653))
            break
        except OSError:
            continue
    silent.listen(4)
    return silent


def test_time_out_bounds_a_unit_that_never_answers(family, lib):
    # A listener that never accepts.
    silent = _silent_listener()
    try:
        unit = open_unit(family, silent.getsockname()[0], timeout=0.3)
        assert unit.timeout == 0.3
        start = time.monotonic()
        expect(E.TIMEOUT, unit.__enter__)
        assert time.monotonic() - start < 2.0
        if family == "table":  # the entry outlives the unit; the failed connect left it closed
            assert lib.APIDisconnect(TABLE_INDEX) == 0
    finally:
        silent.close()
    for wrong in (0, -1.0):
        with pytest.raises(ValueError):
            open_unit(family, "127.0.0.1", timeout=wrong)
    with pytest.raises(TypeError):
        open_unit(family, "127.0.0.1", timeout="5")
    default = open_unit(family, "127.0.0.1")
    assert default.timeout == 5.0
    default.close()


def test_channel_the_board_does_not_have(start_sim):
    with zel_api.Unit(start_sim("--board-type", "4")) as unit:  # four channels, map of 8
        assert unit.channel_count == 4
        unit.set_switch_2x2(7, 1)
        for op, args in [(unit.set_attenuation_db, (8, 3.0)), (unit.attenuation_db, (8,)),
                         (unit.optical_power, (9,)), (unit.voa_code, (8,)),
                         (unit.switch_2x2, (8,)), (unit.tap_calibration, (100,)),
                         (unit.read_register, (8, 33))]:
            # zelctl's words: the channel and the ones the board has, as a ValueError.
            reason = (f"channel {args[0]}: the board (type 4) has channels 0..3" if op != unit.read_register
                      else None)
            assert isinstance(expect(E.NO_SUCH_CHANNEL, op, *args, reason=reason), ValueError)
        for op in (unit.optical_power, unit.power_dbm, unit.voa_code):
            # Below 0 the same words, not the range of the C parameter.
            error = expect(E.NO_SUCH_CHANNEL, op, -1, reason="channel -1: the board (type 4) has channels 0..3")
            assert isinstance(error, zel_api.ZelValueError)
            # A channel that is not a number is a TypeError of the binding, not a raw ctypes one.
            for wrong in ("1", 1.0, None):
                with pytest.raises(zel_api.ZelTypeError) as info:
                    op(wrong)
                assert isinstance(info.value, TypeError) and isinstance(info.value, zel_api.ZelError)
                assert info.value.reason == f"channel {wrong!r} is not an integer"
        # Channel 7 is bank 3 on this board: the switch set above shows on channel 3.
        assert unit.switch_2x2(3) == 1


def test_bad_arguments_name_the_range(unit):
    for db, reason in ((-0.5, "-0.5 dB is outside 0..30 dB"), (35, "35 dB is outside 0..30 dB"),
                       (float("nan"), "the attenuation is not a number; it must be 0..30 dB")):
        error = expect(E.BAD_ARGUMENT, unit.set_attenuation_db, 0, db, reason=reason)
        assert error.operation == "zel_SetVOAAttenuation"
    unit.set_attenuation_db(0, 30.0)
    expect(E.BAD_ARGUMENT, unit.temperature, 16, reason="temperature select 16 is outside 0..15")
    expect(E.BAD_ARGUMENT, unit.read_register, 0, 2048, reason="register address 2048 is outside 0..2047")
    expect(E.BAD_ARGUMENT, unit.set_tap_calibration, 0, -1.0,
           reason="TAP factor -1 is outside what the record holds, 0 up to (not including) "
                  "9223372.036854775808")
    expect(E.BAD_ARGUMENT, unit.add_wavelength, 0xFFFF, reason="65535 nm cannot be added: it is "
           "the board's default wavelength or 0xFFFF, the free-slot marker")
    # A number the C parameter cannot hold is refused, not cut down to its low bits (channel
    # 65536 would reach the unit as channel 0).
    unit.set_switch_2x2(0, 1)
    expect(E.BAD_ARGUMENT, unit.set_switch_2x2, 65536, 2, reason="65536 is outside 0..65535")
    expect(E.BAD_ARGUMENT, unit.write_eeprom_byte, 0x6000, 256, reason="256 is outside 0..255")
    assert unit.switch_2x2(0) == 1


def test_calibration_without_a_code_for_the_attenuation(unit):
    unit.set_voa_calibration(1, [0.0, 0.0, 0.0, 0.0])
    expect(E.NOT_FOUND, unit.set_attenuation_db, 1, 12.0)


def test_not_connected(family, sim):
    unit = open_unit(family, sim)
    try:
        expect(E.NOT_CONNECTED, lambda: unit.board_id)
        expect(E.NOT_CONNECTED, unit.voa_calibration, 0)
        if family == "instance":
            expect(E.NOT_CONNECTED, lambda: unit.channel_count)
        expect(E.NOT_CONNECTED, unit.disconnect)
        unit.connect()
        unit.disconnect()
        expect(E.NOT_CONNECTED, unit.disconnect)
        expect(E.NOT_CONNECTED, unit.set_voa_code, 0, 5)
    finally:
        unit.close()
    with pytest.raises(ValueError):
        unit.connect()


def test_unit_table_entries(lib, sim):
    expect(E.BAD_UNIT_INDEX, zel_api.Unit.from_table(40, sim).__enter__)
    with pytest.raises(ValueError):
        zel_api.Unit.from_table(256, sim)
    with zel_api.Unit.from_table(TABLE_INDEX, sim):
        with pytest.raises(ValueError, match="in use"):
            zel_api.Unit.from_table(TABLE_INDEX, sim)
    with zel_api.Unit.from_table(TABLE_INDEX, sim):  # released again
        pass


def test_a_unit_that_restarted_is_noticed(lib):
    # The unit restarts between two calls: the next call reopens the link (counted, warned once),
    # and with the automatic reopen off it fails until the host connects again.
    address, procs, channel = _random_loopback(), [], 1

    def start_unit():
        procs.append(subprocess.Popen([SIM, "--listen", address], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL))
        assert _wait_until_listening(procs[-1], address, time.monotonic() + 10)

    def restart_unit():
        procs[-1].terminate()
        procs[-1].wait()
        start_unit()

    start_unit()
    try:
        with zel_api.Unit(address, timeout=1) as unit:
            assert unit.link_reopens == 0 and unit.auto_reopen
            unit.set_attenuation_db(channel, 10.0)
            restart_unit()
            with pytest.warns(zel_api.LinkReopenedWarning, match=address):
                assert unit.voa_code(channel) == 0  # the restarted unit lost the setting
            assert unit.link_reopens == 1 and unit.connected
            restart_unit()
            with warnings.catch_warnings():
                warnings.simplefilter("error")  # warned on the first reopen only
                unit.voa_code(channel)
            assert unit.link_reopens == 2

            unit.auto_reopen = False
            restart_unit()
            for _ in range(2):
                expect(E.NOT_CONNECTED, unit.voa_code, channel)
                assert not unit.connected
            unit.connect()
            assert unit.connected and unit.voa_code(channel) == 0
            assert unit.link_reopens == 2
    finally:
        for proc in procs:
            proc.terminate()
            proc.wait()
    table_unit = open_unit("table", address)
    try:
        with pytest.raises(zel_api.ZelError, match="table family"):
            table_unit.link_reopens
    finally:
        table_unit.close()


# A child that makes one call on a unit and reports how it ended; SIGINT comes from the test.
_CTRL_C_CHILD = r"""
import os, signal, sys, time
sys.path.insert(0, sys.argv[1])
import zel_api
zel_api.use_library(zel_api.load_library())
silent, healthy = sys.argv[2], sys.argv[3]
unit = zel_api.Unit(healthy, timeout=8)
unit.connect()
# A Ctrl-C while no call is in flight is an ordinary KeyboardInterrupt, and costs the next call nothing.
try:
    os.kill(os.getpid(), signal.SIGINT)
    time.sleep(1)
except KeyboardInterrupt:
    pass
print("stale", unit.board_id, unit.link_reopens, flush=True)
blocked = zel_api.Unit(silent, timeout=8)
print("calling", flush=True)
start = time.monotonic()
try:
    blocked.connect()
except KeyboardInterrupt:
    print("KeyboardInterrupt after %.2f s" % (time.monotonic() - start), flush=True)
    print("after", unit.board_id, flush=True)
    sys.exit(42)
except zel_api.ZelError as e:
    print("ZelError", e, flush=True)
    sys.exit(1)
sys.exit(0)
"""


def test_ctrl_c_ends_a_blocked_call_with_keyboard_interrupt(lib, start_sim):
    healthy = start_sim()
    # A listener that accepts and never answers: the call waits for its 8 s time-out.
    silent = _silent_listener()
    accepted = []
    threading.Thread(target=lambda: accepted.append(silent.accept()), daemon=True).start()
    env = dict(os.environ, ZEL_API_LIBRARY=lib._name)
    child = subprocess.Popen([sys.executable, "-c", _CTRL_C_CHILD, str(PYTHON_DIR), silent.getsockname()[0], healthy],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        stale = child.stdout.readline().split()
        assert stale and stale[0] == "stale", (stale, child.wait(), child.stderr.read())  # the child's failure
        assert stale[2] == "0"  # the stale Ctrl-C reopened nothing
        assert child.stdout.readline().strip() == "calling"
        time.sleep(1)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=10)
        took = time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        silent.close()
        for connection, _ in accepted:
            connection.close()
    assert child.returncode == 42, (out, err)
    assert out.startswith("KeyboardInterrupt after"), out
    assert took < 3.0, took  # well within the 8 s time-out: a bound, not a speed target
    assert "after " + stale[1] in out  # the other unit is untouched
    assert "ZelError" not in err
