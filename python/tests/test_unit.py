"""Every Unit operation against a simulated unit, through an instance and a table entry."""

from __future__ import annotations

import struct

import pytest

import zel_api
from conftest import open_unit

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


def test_switches_screen_and_registers(unit):
    unit.set_switch_2x2(0, 1)
    unit.set_switch_2x2(5, 2)
    assert (unit.switch_2x2(0), unit.switch_2x2(5)) == (1, 2)
    assert unit.read_register(5, 33) == 2  # the 2x2 switch register of channel 5's bank
    unit.write_register(3, 33, 1)
    assert unit.switch_2x2(3) == 1
    unit.mems_switch = 6
    unit.lbmm_switch = 3
    assert (unit.mems_switch, unit.lbmm_switch) == (6, 3)
    unit.set_screen(0x5A)
    assert unit.read_register(0, 38) == 0x5A
    assert unit.temperature(0) >= 0.0
    assert unit.temperature(CHANNEL) >= 0.0


def test_attenuation_in_db_agrees_with_the_drive_code(unit):
    coefficients = unit.voa_calibration(CHANNEL)
    for db in (0.0, 7.5, 30.0):
        unit.set_attenuation_db(CHANNEL, db)
        assert unit.attenuation_db(CHANNEL) == pytest.approx(db, abs=0.01)
        assert evaluate(coefficients, unit.voa_code(CHANNEL)) == pytest.approx(db, abs=0.01)
    unit.set_voa_code(CHANNEL, 0x1234)
    assert unit.voa_code(CHANNEL) == 0x234
    assert unit.attenuation_db(CHANNEL) == pytest.approx(evaluate(coefficients, 0x234))


def test_optical_power_follows_attenuation_and_tap_factor(family, start_sim):
    with open_unit(family, start_sim("--power", f"{CHANNEL}=400")) as unit:
        unit.set_attenuation_db(CHANNEL, 0.0)
        assert unit.optical_power(CHANNEL) == pytest.approx(400, rel=0.05)
        unit.set_attenuation_db(CHANNEL, 10.0)
        factor = unit.tap_calibration(CHANNEL)
        raw = unit.raw_optical_power(CHANNEL)
        assert unit.optical_power(CHANNEL) == pytest.approx(40, rel=0.05)
        assert unit.optical_power(CHANNEL) == pytest.approx(raw * factor, rel=0.02)


def test_stored_calibration_is_used_at_once(unit):
    # Use the instance side first, so a table unit's companion has read the old calibration.
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


def test_records_live_in_the_selected_wavelength(family, start_sim):
    with open_unit(family, start_sim("--wavelengths", "1550")) as unit:
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
        # The new slot's two wavelength bytes sit 2048 bytes after slot 1, high byte first.
        assert [unit.read_eeprom_byte(0x3000), unit.read_eeprom_byte(0x3001)] == [0x05, 0xD2]
        with pytest.raises(zel_api.ZelError) as info:
            unit.set_wavelength(1625)
        assert info.value.code == zel_api.ErrorCode.NOT_FOUND


def test_user_calibration_and_defined_values(unit):
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


def test_board_type_change_rebuilds_the_channel_layout(unit):
    unit.set_attenuation_db(1, 4.0)
    unit.board_type = 7  # one channel, on bank 3, for every channel index
    assert unit.board_type == 7
    unit.set_switch_2x2(0, 1)
    unit.set_switch_2x2(6, 2)
    assert unit.switch_2x2(0) == 2 and unit.read_register(5, 33) == 2
    unit.set_voa_code(1, 700)
    assert unit.voa_code(4) == 700


def test_frame_trace_covers_primary_and_companion_links(family, sim):
    frames = []
    with open_unit(family, sim) as unit:
        unit.attenuation_db(CHANNEL)  # instance side
        unit.voa_code(CHANNEL)        # table side: both links are up now
        unit.trace_frames(lambda direction, data: frames.append((direction, data)))
        unit.attenuation_db(CHANNEL)
        unit.voa_code(CHANNEL)
        assert [d for d, _ in frames] == [zel_api.FRAME_SENT, zel_api.FRAME_RECEIVED] * 2
        assert all(len(data) == 128 for _, data in frames) and frames[0][1][0] == 0xF0
        unit.trace_frames(None)
        unit.attenuation_db(CHANNEL)
        unit.voa_code(CHANNEL)
        assert len(frames) == 4

    # Traced before connecting: the connect and a companion's own connect are seen too.
    frames.clear()
    unit = open_unit(family, sim)
    unit.trace_frames(lambda direction, data: frames.append(direction))
    with unit:
        after_connect = len(frames)
        assert after_connect > 2
        unit.voa_code(CHANNEL) if family == "instance" else unit.attenuation_db(CHANNEL)
        assert len(frames) - after_connect > 2
        companion = unit.table_index
    # The released table entry no longer reports to this unit's callback.
    seen = len(frames)
    with zel_api.Unit.from_table(companion, sim) as other:
        other.voa_code(CHANNEL)
    assert len(frames) == seen
