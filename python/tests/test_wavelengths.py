"""dB attenuation and calibrated power follow the selected wavelength's calibration."""

from __future__ import annotations

import math

import pytest

import zel_api
from test_unit import evaluate

CHANNEL = 3
DB = 12.0


def code_for(unit, db=DB):
    """The VOA drive code a dB setting leaves on CHANNEL."""
    unit.set_attenuation_db(CHANNEL, db)
    return unit.voa_code(CHANNEL)


def test_db_and_power_use_the_selected_slot(start_sim):
    with zel_api.Unit(start_sim("--wavelengths", "1550", "1625", "--power", f"{CHANNEL}=400")) as unit:
        assert unit.wavelengths == [1310, 1550, 1625]
        default_curve = unit.voa_calibration(CHANNEL)
        default_tap = unit.tap_calibration(CHANNEL)
        unit.set_wavelength(1550)
        curve = unit.voa_calibration(CHANNEL)
        tap = unit.tap_calibration(CHANNEL)
        assert curve != default_curve and abs(tap / default_tap - 1) > 0.01

        code = code_for(unit)
        assert evaluate(curve, code) == pytest.approx(DB, abs=0.01)
        assert unit.attenuation_db(CHANNEL) == pytest.approx(DB, abs=0.01)
        raw = unit.raw_optical_power(CHANNEL)
        assert unit.optical_power(CHANNEL) == pytest.approx(raw * tap, rel=0.005)
        assert unit.power_dbm(CHANNEL) == pytest.approx(10 * math.log10(raw * tap / 1000), abs=0.03)

        # An unknown wavelength changes nothing.
        with pytest.raises(zel_api.ZelValueError) as info:
            unit.set_wavelength(1490)
        assert info.value.code == zel_api.ErrorCode.NOT_FOUND
        assert info.value.reason == ("cannot select 1490 nm: the unit is not calibrated for it (calibrated: "
                                     + ", ".join(str(nm) for nm in unit.wavelengths) + ")")
        assert info.value.wavelength == 1490
        assert info.value.operation == "zel_SelectWavelength"
        assert unit.wavelength == 1550
        assert code_for(unit) == code

        # Calibration stored for the selected slot is used at once, in that slot.
        unit.set_voa_calibration(CHANNEL, [0.0, 0.0, 0.01, 0.0])
        unit.set_tap_calibration(CHANNEL, 0.002)
        assert code_for(unit, 10.0) == 1000
        raw = unit.raw_optical_power(CHANNEL)
        assert unit.optical_power(CHANNEL) == pytest.approx(raw * 0.002, rel=0.005)

        unit.set_default_wavelength()
        default_code = code_for(unit)
        assert default_code != code
        assert evaluate(default_curve, default_code) == pytest.approx(DB, abs=0.01)
        raw = unit.raw_optical_power(CHANNEL)
        assert unit.optical_power(CHANNEL) == pytest.approx(raw * default_tap, rel=0.005)

        unit.set_wavelength(1625)
        assert code_for(unit) not in (code, default_code)

        # Back at 1550 nm, what was stored there on this link is what is used.
        unit.set_wavelength(1550)
        assert code_for(unit, 10.0) == 1000
        raw = unit.raw_optical_power(CHANNEL)
        assert unit.optical_power(CHANNEL) == pytest.approx(raw * 0.002, rel=0.005)


def test_default_wavelength_of_an_850_nm_board(start_sim):
    # Board type 4 calibrates slot 0 for 850 nm; 1310 nm is an extra slot on it.
    with zel_api.Unit(start_sim("--board-type", "4", "--wavelengths", "1310")) as unit:
        assert unit.default_wavelength == 850
        assert unit.wavelengths == [850, 1310]
        default_code = code_for(unit)
        unit.set_wavelength(1310)
        assert code_for(unit) != default_code
        unit.set_default_wavelength()
        assert code_for(unit) == default_code
        unit.set_wavelength(850)
        assert code_for(unit) == default_code


def test_a_wavelength_without_calibration_is_refused_by_name(unit):
    unit.set_voa_code(CHANNEL, 123)
    unit.add_wavelength(1550)  # the simulator's free slots are erased
    for call, item in ((lambda: unit.set_attenuation_db(CHANNEL, 10.0), "VOA"),
                       (lambda: unit.attenuation_db(CHANNEL), "VOA"),
                       (lambda: unit.optical_power(CHANNEL), "TAP")):
        with pytest.raises(zel_api.ZelError) as info:
            call()
        assert info.value.code == zel_api.ErrorCode.NOT_CALIBRATED
        assert (info.value.channel, info.value.wavelength) == (CHANNEL, 1550)
        assert f"channel {CHANNEL} has no {item} calibration at 1550 nm" in str(info.value)
    assert unit.voa_code(CHANNEL) == 123  # nothing reached the attenuator

    unit.set_voa_calibration(CHANNEL, [0.0, 0.0, 0.01, 0.0])
    unit.set_tap_calibration(CHANNEL, 0.002)
    assert code_for(unit, 10.0) == 1000
    assert unit.optical_power(CHANNEL) >= 0.0
