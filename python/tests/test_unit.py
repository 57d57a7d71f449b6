"""Every Unit operation against a simulated unit: through its own instance, and those both
families offer through a table entry too."""

from __future__ import annotations

import os
import struct

import pytest

import zel_api
from conftest import accepted_connections, open_unit

CHANNEL = 2


def evaluate(coefficients, code):
    """Attenuation of a drive code on a cubic-calibrated board."""
    c0, c1, c2, c3 = coefficients
    return ((c0 * code + c1) * code + c2) * code + c3


def test_identity(family, start_sim):
    address = start_sim("--board-id", "4660", "--firmware", "45.6", "--serial", "81985529216486895")
    with open_unit(family, address) as unit:
        assert unit.connected
        assert unit.api_revision == zel_api.EXPECTED_API_REVISION
        assert unit.board_id == 4660
        assert unit.firmware_revision == pytest.approx(45.6)
        assert unit.serial_number == zel_api.SerialNumber(81985529216486895, True)
        assert unit.board_type == 6
        unit.board_serial = -2
        assert unit.board_serial == -2
        # Writing the board serial replaces the low two serial words only.
        assert unit.serial_number.value & 0xFFFFFFFF == 0xFFFFFFFE
    assert not unit.connected


def test_switches_screen_and_registers(any_unit):
    unit = any_unit
    unit.set_switch_2x2(0, 1)
    unit.set_switch_2x2(5, 1)
    unit.set_switch_2x2(0, 0)
    assert (unit.switch_2x2(0), unit.switch_2x2(5)) == (0, 1)
    assert unit.read_register(5, 33) == 1  # the 2x2 switch register of channel 5's bank
    unit.write_register(3, 33, 1)
    assert unit.switch_2x2(3) == 1
    unit.mems_switch = 6
    unit.lbmm_switch = 3
    assert (unit.mems_switch, unit.lbmm_switch) == (6, 3)
    unit.set_screen(0x5A)
    assert unit.read_register(0, 38) == 0x5A
    # The unit's word is hundredths of a degree Celsius; the simulator's units run warm.
    for select in (0, CHANNEL):
        word = unit.temperature_word(select)
        assert 1500 < word < 4000
        assert unit.temperature(select) == pytest.approx(word / 100, abs=0.5)


@pytest.mark.parametrize("board_type, selector_ports",
                         [(0, 1), (1, 1), (2, 4), (3, 4), (4, 4), (5, 4), (6, 8), (7, 8)])
def test_switch_positions_the_board_lacks_are_refused_before_anything_is_sent(start_sim, board_type,
                                                                               selector_ports):
    with zel_api.Unit(start_sim("--board-type", str(board_type))) as unit:
        assert unit.switch_ports == zel_api.SwitchPorts(2, selector_ports, selector_ports)
        last = selector_ports - 1
        unit.set_switch_2x2(0, 1)
        unit.mems_switch = last
        unit.lbmm_switch = last
        frames = []
        unit.trace_frames(lambda direction, data: frames.append(direction))
        for what, op, export in (
                ("2x2 switch position 2 is outside 0..1", lambda: unit.set_switch_2x2(0, 2),
                 "zel_SwitchSelect_2x2"),
                (f"MEMS switch position {selector_ports} is outside 0..{last}",
                 lambda: setattr(unit, "mems_switch", selector_ports), "zel_SwitchSelect_MEMS_4x1"),
                (f"LBMM switch position 9 is outside 0..{last}",
                 lambda: setattr(unit, "lbmm_switch", 9), "zel_SwitchSelect_LBMM_4x1")):
            with pytest.raises(zel_api.ZelError) as info:
                op()
            assert (info.value.operation, info.value.reason) == (export, what)
            assert info.value.code == zel_api.ErrorCode.BAD_ARGUMENT
        assert frames == []  # nothing reached the unit
        unit.trace_frames(None)
        assert (unit.switch_2x2(0), unit.mems_switch, unit.lbmm_switch) == (1, last, last)


def test_attenuation_in_db_agrees_with_the_drive_code(unit):
    coefficients = unit.voa_calibration(CHANNEL)
    for db in (0.0, 7.5, 30.0):
        unit.set_attenuation_db(CHANNEL, db)
        assert unit.attenuation_db(CHANNEL) == pytest.approx(db, abs=0.01)
        assert evaluate(coefficients, unit.voa_code(CHANNEL)) == pytest.approx(db, abs=0.01)
    unit.set_voa_code(CHANNEL, 0x234)
    assert unit.voa_code(CHANNEL) == 0x234
    assert unit.attenuation_db(CHANNEL) == pytest.approx(evaluate(coefficients, 0x234))
    # A code the attenuator cannot take is refused, not cut to its low 12 bits.
    with pytest.raises(zel_api.ZelError, match="VOA code 4660 is outside 0..4095"):
        unit.set_voa_code(CHANNEL, 0x1234)
    assert unit.voa_code(CHANNEL) == 0x234


def test_optical_power_follows_attenuation_and_tap_factor(start_sim):
    with zel_api.Unit(start_sim("--power", f"{CHANNEL}=400")) as unit:
        unit.set_attenuation_db(CHANNEL, 0.0)
        assert unit.optical_power(CHANNEL) == pytest.approx(400, rel=0.05)
        unit.set_attenuation_db(CHANNEL, 10.0)
        factor = unit.tap_calibration(CHANNEL)
        raw = unit.raw_optical_power(CHANNEL)
        assert unit.optical_power(CHANNEL) == pytest.approx(40, rel=0.05)
        assert unit.optical_power(CHANNEL) == pytest.approx(raw * factor, rel=0.02)


def test_a_saturated_detector_raises_naming_the_lower_bound(start_sim):
    with zel_api.Unit(start_sim("--power", f"{CHANNEL}=5000")) as unit:
        unit.set_attenuation_db(CHANNEL, 0.0)
        assert unit.raw_optical_power(CHANNEL) == 65535  # the raw form still hands back the count
        with pytest.raises(zel_api.ZelError, match=r"over range \(at least [0-9.]+ uW\)") as info:
            unit.optical_power(CHANNEL)
        assert info.value.code == zel_api.ErrorCode.OVER_RANGE
        assert info.value.channel == CHANNEL


def test_stored_calibration_is_used_at_once(unit):
    unit.set_attenuation_db(CHANNEL, 5.0)
    unit.set_voa_calibration(CHANNEL, [0.0, 0.0, 0.01, 0.0])  # 1 dB per 100 codes
    assert unit.voa_calibration(CHANNEL) == [0.0, 0.0, 0.01, 0.0]
    unit.set_attenuation_db(CHANNEL, 10.0)
    assert unit.voa_code(CHANNEL) == 1000
    assert unit.attenuation_db(CHANNEL) == pytest.approx(10.0)

    unit.set_tap_calibration(CHANNEL, 0.002)
    assert unit.tap_calibration(CHANNEL) == pytest.approx(0.002)
    raw = unit.raw_optical_power(CHANNEL)
    assert unit.optical_power(CHANNEL) == pytest.approx(raw * 0.002, rel=0.02)


def test_records_live_in_the_selected_wavelength(start_sim):
    with zel_api.Unit(start_sim("--wavelengths", "1550")) as unit:
        default_tap = unit.tap_calibration(CHANNEL)
        unit.set_wavelength(1550)
        assert unit.wavelength == 1550
        unit.set_tap_calibration(CHANNEL, 0.5)
        unit.set_voa_insertion_loss(CHANNEL, 1.25)
        unit.set_switch_insertion_loss(CHANNEL, 0.75)
        assert unit.tap_calibration(CHANNEL) == pytest.approx(0.5)
        assert unit.voa_insertion_loss(CHANNEL) == pytest.approx(1.25)
        assert unit.switch_insertion_loss(CHANNEL) == pytest.approx(0.75)

        unit.set_default_wavelength()
        assert unit.wavelength is None
        assert unit.tap_calibration(CHANNEL) == pytest.approx(default_tap)
        assert unit.voa_insertion_loss(CHANNEL) != pytest.approx(1.25)

        unit.add_wavelength(1490)
        assert unit.wavelength == 1490
        assert unit.wavelengths == [1310, 1550, 1490]
        # The new slot's two wavelength bytes open its area, high byte first.
        address, _ = unit.record_location(zel_api.RECORD_SLOT, slot=2)
        assert unit.read_eeprom(address, 2) == bytes([0x05, 0xD2])
        assert [unit.read_eeprom_byte(address), unit.read_eeprom_byte(address + 1)] == [0x05, 0xD2]
        with pytest.raises(zel_api.ZelError) as info:
            unit.set_wavelength(1625)
        assert info.value.code == zel_api.ErrorCode.NOT_FOUND


def test_user_calibration_and_defined_values(any_unit):
    unit = any_unit
    unit.set_user_tx_calibration(CHANNEL, 2.5)
    unit.set_user_rx_calibration(CHANNEL, 0.125)
    assert unit.user_tx_calibration(CHANNEL) == pytest.approx(2.5)
    assert unit.user_rx_calibration(CHANNEL) == pytest.approx(0.125)
    # Both are per channel bank, in the unit's user area at 0x5000 / 0x5100.
    assert unit.read_eeprom_double(0x5000 + 8 * CHANNEL) == pytest.approx(2.5)
    assert unit.read_eeprom_double(0x5100 + 8 * CHANNEL) == pytest.approx(0.125)

    values = [(j * 2311 + 17) & 0xFFFF for j in range(30)]
    values[0] = 0xFFFF
    unit.set_voa_defined_values(CHANNEL, values)
    assert unit.voa_defined_values(CHANNEL) == values
    with pytest.raises(ValueError):
        unit.set_voa_defined_values(CHANNEL, values[:29])
    with pytest.raises(ValueError):
        unit.set_voa_calibration(CHANNEL, [1.0, 2.0, 3.0])


def test_eeprom_bytes_values_and_status_records(unit):
    unit.write_eeprom_byte(0x6010, 0xAB)
    assert unit.read_eeprom_byte(0x6010) == 0xAB
    unit.write_eeprom_double(0x6020, 1.5)
    assert unit.read_eeprom_double(0x6020) == pytest.approx(1.5)
    # A status record keeps the double bit for bit, negative values included.
    unit.write_status_record(1, 5, -1.25)
    assert unit.read_status_record(1, 5) == -1.25
    # Group 1 starts 768 bytes after group 0: record 5 of group 1 is at 0x2300 + 40.
    stored = bytes(unit.read_eeprom_byte(0x2328 + i) for i in range(8))
    assert struct.unpack("<d", stored)[0] == -1.25
    # A block read across a 128-byte boundary gives the same bytes as single-byte reads.
    block = unit.read_eeprom(0x2328, 100)
    assert block == bytes(unit.read_eeprom_byte(0x2328 + i) for i in range(100))
    assert block[:8] == stored
    assert unit.read_eeprom(zel_api.EEPROM_SIZE - 8, 8) and unit.read_eeprom(0x10, 0) == b""
    for address, length in ((zel_api.EEPROM_SIZE - 4, 8), (0, 1 << 40), (-1, 4)):
        with pytest.raises(zel_api.ZelError, match=r"reach beyond .* \(0x0\.\.0x1FFFF\)") as info:
            unit.read_eeprom(address, length)
        assert info.value.code == zel_api.ErrorCode.BAD_ARGUMENT


def test_record_locations_hold_what_the_record_operations_store(start_sim):
    with zel_api.Unit(start_sim("--wavelengths", "1550")) as unit:
        unit.set_wavelength(1550)
        unit.set_tap_calibration(CHANNEL, 0.002)
        unit.set_voa_calibration(CHANNEL, [0.0, -1.5e-9, 0.01, 0.25])
        unit.set_user_rx_calibration(CHANNEL, 0.125)
        tap = unit.read_record(zel_api.RECORD_TAP, CHANNEL, slot=1)
        assert int.from_bytes(tap, "little") == 2_000_000_000  # 0.002 x 10^12
        voa = unit.read_record(zel_api.RECORD_VOA, CHANNEL, slot=1)
        assert list(struct.unpack("<4d", voa)) == [0.0, -1.5e-9, 0.01, 0.25]
        rx = unit.read_record(zel_api.RECORD_USER_RX, CHANNEL)
        assert int.from_bytes(rx, "little") == 125_000_000_000
        # Slot 1's area holds its records; the default slot kept its own TAP factor.
        area, size = unit.record_location(zel_api.RECORD_SLOT, slot=1)
        tap_at, tap_len = unit.record_location(zel_api.RECORD_TAP, CHANNEL, slot=1)
        assert area <= tap_at and tap_at + tap_len <= area + size
        assert unit.read_record(zel_api.RECORD_TAP, CHANNEL, slot=0) != tap
        # A slot the unit does not use is erased.
        assert set(unit.read_record(zel_api.RECORD_SLOT, slot=5)) == {0xFF}
        for args, reason in (((8,), "record item 8 is outside 0..7"),
                             ((zel_api.RECORD_TAP, 0, 6), "wavelength slot 6 is outside 0..5")):
            with pytest.raises(zel_api.ZelError, match=reason) as info:
                unit.record_location(*args)
            assert info.value.code == zel_api.ErrorCode.BAD_ARGUMENT


def test_board_type_change_rebuilds_the_channel_layout(unit):
    unit.set_attenuation_db(1, 4.0)
    assert unit.channel_count == 8
    unit.board_type = 7  # one channel, on bank 3, for every channel index
    assert unit.board_type == 7 and unit.channel_count == 1
    unit.set_switch_2x2(6, 1)
    assert unit.switch_2x2(0) == 1 and unit.read_register(5, 33) == 1
    unit.set_voa_code(1, 700)
    assert unit.voa_code(4) == 700


def test_a_unit_holds_one_connection(family, start_sim, sim_log):
    address = start_sim("--verbose", "--wavelengths", "1550")
    before = accepted_connections(lambda: sim_log(address), at_least=1)  # start_sim's own probe
    with open_unit(family, address) as unit:
        # Operations that used to need the other family's link, calibration writes and
        # wavelength changes among them.
        unit.set_wavelength(1550)
        unit.set_tap_calibration(CHANNEL, 0.002)
        unit.set_voa_calibration(CHANNEL, [0.0, 0.0, 0.01, 0.0])
        unit.set_voa_code(CHANNEL, 1000)
        unit.read_register(CHANNEL, 33)
        unit.board_type = unit.board_type
        if family == "instance":
            assert unit.attenuation_db(CHANNEL) == pytest.approx(10.0)
            unit.optical_power(CHANNEL)
            unit.add_wavelength(1490)
            unit.read_eeprom(0, 512)
        unit.set_default_wavelength()
        assert unit.voa_code(CHANNEL) == 1000
        assert accepted_connections(lambda: sim_log(address), at_least=before + 1) - before == 1
    assert accepted_connections(lambda: sim_log(address)) - before == 1


def test_table_unit_refuses_what_its_family_lacks(sim):
    with open_unit("table", sim) as unit:
        assert unit.table_index is not None and unit.instance_pointer is None
        for call in (lambda: unit.set_attenuation_db(0, 1.0), lambda: unit.optical_power(0),
                     lambda: unit.read_eeprom(0, 8), lambda: unit.wavelengths, lambda: unit.switch_ports):
            with pytest.raises(zel_api.ZelError, match=r"table entry 7 cannot do this.*Unit\(ip\)") as info:
                call()
            assert info.value.code is None and info.value.operation.startswith("zel_")
        assert unit.connected  # nothing was sent: the link is as it was


def test_frame_trace(family, sim):
    frames = []
    with open_unit(family, sim) as unit:
        unit.trace_frames(lambda direction, data: frames.append((direction, data)))
        unit.voa_code(CHANNEL)
        unit.board_id
        assert [d for d, _ in frames] == [zel_api.FRAME_SENT, zel_api.FRAME_RECEIVED] * 2
        assert all(len(data) == 128 for _, data in frames) and frames[0][1][0] == 0xF0
        unit.trace_frames(None)
        unit.voa_code(CHANNEL)
        assert len(frames) == 4

    # Traced before connecting: the connect is seen too. An instance connects quickly: the board
    # ID, read twice, is its one register frame (0xF0), the EEPROM comes by block reads (0xF1),
    # none byte by byte.
    frames.clear()
    unit = open_unit(family, sim)
    unit.trace_frames(lambda direction, data: frames.append(direction))
    with unit:
        assert len(frames) > 2
    if family == "instance":
        sent = []
        quick = open_unit(family, sim)
        quick.trace_frames(lambda direction, data: sent.append(data[0]) if direction == zel_api.FRAME_SENT else None)
        with quick:
            assert sent[:2] == [0xF0, 0xF0] and sent[2:] and set(sent[2:]) == {0xF1}
    if family == "table":
        # A released table entry no longer reports to this unit's callback.
        seen = len(frames)
        with open_unit(family, sim) as other:
            other.voa_code(CHANNEL)
        assert len(frames) == seen


def _capture_streams(path):
    """The TCP payload bytes of a pcapng capture (raw IPv4 packets), by (unit address, direction):
    direction FRAME_SENT for host to unit (port 6653), FRAME_RECEIVED for the replies. Block
    framing is checked on the way."""
    data = path.read_bytes()
    streams, at, blocks = {}, 0, []
    while at < len(data):
        kind, total = struct.unpack_from("<II", data, at)
        assert total % 4 == 0 and struct.unpack_from("<I", data, at + total - 4)[0] == total
        blocks.append(kind)
        if kind == 6:
            length = struct.unpack_from("<I", data, at + 20)[0]
            packet = data[at + 28:at + 28 + length]
            source, destination = packet[12:16], packet[16:20]
            sport, dport = struct.unpack_from(">HH", packet, 20)
            payload = packet[40:]
            if dport == 6653:
                key = (".".join(map(str, destination)), zel_api.FRAME_SENT)
            else:
                assert sport == 6653
                key = (".".join(map(str, source)), zel_api.FRAME_RECEIVED)
            streams[key] = streams.get(key, b"") + payload
        at += total
    assert blocks[:2] == [0x0A0D0D0A, 1] and 0x0A0D0D0A not in blocks[1:] and 1 not in blocks[2:]
    return streams


def test_capture_of_several_units_goes_into_one_file_beside_the_trace(start_units, tmp_path):
    addresses = start_units(2)
    path = tmp_path / "units.pcapng"
    traced = {}
    units = [zel_api.Unit(address, capture=path) for address in addresses]  # a path-like object
    for unit in units:
        unit.trace_frames(lambda direction, data, ip=unit.ip: traced.update(
            {(ip, direction): traced.get((ip, direction), b"") + bytes(data)}))
        with unit:
            unit.set_voa_code(CHANNEL, 900)
            assert unit.voa_code(CHANNEL) == 900
    streams = _capture_streams(path)
    assert set(streams) == {(ip, d) for ip in addresses for d in (zel_api.FRAME_SENT, zel_api.FRAME_RECEIVED)}
    assert streams == traced


def test_a_capture_that_cannot_be_written_warns_and_the_unit_works_on(sim, tmp_path):
    missing = tmp_path / "no-such-folder" / "x.pcapng"
    with pytest.warns(zel_api.CaptureWarning, match="cannot capture unit .* the capture file cannot be written"):
        unit = zel_api.Unit(sim, capture=missing)
    with unit:
        unit.set_voa_code(CHANNEL, 5)
        assert unit.voa_code(CHANNEL) == 5
    assert not missing.exists()
    if os.path.exists("/dev/full"):  # opens, but every write fails
        unit = zel_api.Unit(sim, capture="/dev/full")
        with pytest.warns(zel_api.CaptureWarning, match="incomplete"):
            with unit:
                assert unit.voa_code(CHANNEL) == 5
