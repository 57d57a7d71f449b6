// Optical power: ten averaged readings of the power register, scaled by the channel's TAP factor;
// TAP calibration per wavelength slot and the user TX/RX calibration values kept for the host.
#include "instrument/record_codec.h"
#include "instrument/zel_api_class.h"

namespace {
constexpr int kPowerSamples = 10;
// A power sample at the top of the 16-bit reading: the detector is saturated and the light stronger.
constexpr std::uint16_t kFullScaleCount = 0xFFFF;
using zel::layout::kTAPOffset;
using zel::layout::kUserRXBase;
using zel::layout::kUserTXBase;

std::uint16_t UserAddress(std::uint16_t base, std::uint16_t select) {
    return static_cast<std::uint16_t>((select + base) * 8);
}
}  // namespace

std::uint8_t ZEL_API::ReadPowerSum(std::uint16_t select, std::uint32_t& sum, bool* full_scale) {
    // The status field steers the loop: after the first failed read no further reads are made, and
    // each remaining pass counts the word that the failed read left.
    status_ = 1;
    sum = 0;
    bool saturated = false;
    std::uint16_t word = 0;
    for (int i = 0; i < kPowerSamples; ++i) {
        Settle(kSettleMs);
        if (status_ == 1) {
            status_ = ReadRegister(select, zel::reg::kOpticalPower, word) ? 1 : 0;
            saturated = saturated || (status_ == 1 && word == kFullScaleCount);
        }
        sum += word;
    }
    if (full_scale) *full_scale = saturated;
    return status_;
}

bool ZEL_API::RequireTAPCalibration(std::uint16_t select) {
    if (!active_[select].tap_uncalibrated) return true;
    RecordError(ZEL_ERR_NOT_CALIBRATED);
    return false;
}

std::uint8_t ZEL_API::ReadOpticalPower(std::uint16_t channel, double* power) {
    return OnChannel(channel, Status::Recorded, [&](std::uint16_t select) {
        if (!RequireTAPCalibration(select)) return false;
        std::uint32_t sum = 0;
        bool full_scale = false;
        const bool ok = ReadPowerSum(select, sum, &full_scale) != 0;
        *power = (sum / 10.0) * active_[select].tap;
        // A saturated sample makes the figure a lower bound, not a reading: refused, figure kept.
        if (ok && full_scale) {
            RecordError(ZEL_ERR_OVER_RANGE);
            return false;
        }
        return ok;
    });
}

std::uint8_t ZEL_API::ReadOpticalPower(std::uint16_t channel, std::uint16_t* power) {
    return OnChannel(channel, Status::Recorded, [&](std::uint16_t select) {
        std::uint32_t sum = 0;
        const bool ok = ReadPowerSum(select, sum) != 0;
        *power = static_cast<std::uint16_t>(sum / 10);
        return ok;
    });
}

std::uint8_t ZEL_API::ReadTAPCalibration(std::uint16_t channel, double* factor) {
    if (cache_valid_) {
        // From the cache: nothing is sent and the status field is left alone.
        return OnChannel(channel, Status::Untouched, [&](std::uint16_t s) {
            ChannelCalibration& active = active_[s];
            const ChannelCalibration& cached = cache_[current_slot_][s];
            *factor = active.tap = cached.tap;
            active.tap_uncalibrated = cached.tap_uncalibrated;
            return true;
        });
    }
    return OnChannel(channel, Status::Recorded, [&](std::uint16_t s) {
        zel::records::Bytes8 bytes{};
        const bool ok = ReadRecordBytes(0, SlotRecord(kTAPOffset + s), bytes.data());
        *factor = active_[s].tap = zel::records::DecodeScaled(bytes);
        // A factor from a failed read is no calibration: the calibrated power refuses the
        // channel until a read goes through.
        active_[s].tap_uncalibrated = !ok || zel::records::IsErased(bytes);
        return ok;
    });
}

std::uint8_t ZEL_API::WriteTAPCalibration(std::uint16_t channel, double factor) {
    return OnChannel(channel, Status::Recorded, [&](std::uint16_t s) {
        // Refused before anything is written, as the other scaled records refuse such a value:
        // the active and cached factors stay as they are.
        if (!zel::records::ScaledCanHold(factor)) {
            RecordError(ZEL_ERR_BAD_ARGUMENT);
            return false;
        }
        const bool ok = WriteScaledRecord(0, SlotRecord(kTAPOffset + s), factor) != 0;
        active_[s].tap = factor;
        active_[s].tap_uncalibrated = false;  // a factor the encoding holds is never the erased pattern
        if (ok && cache_valid_) {
            cache_[current_slot_][s].tap = factor;
            cache_[current_slot_][s].tap_uncalibrated = false;
        }
        return ok;
    });
}

std::uint8_t ZEL_API::WriteUserValue(std::uint16_t base, std::uint16_t channel, double value) {
    return OnChannel(channel, Status::Untouched, [&](std::uint16_t select) {
        return WriteDoubleValueToEEProm(UserAddress(base, select), value) != 0;
    });
}

std::uint8_t ZEL_API::ReadUserValue(std::uint16_t base, std::uint16_t channel, double* value) {
    return OnChannel(channel, Status::Untouched, [&](std::uint16_t select) {
        return ReadDoubleValueFromEEProm(UserAddress(base, select), value) != 0;
    });
}

std::uint8_t ZEL_API::WriteUserTXCalibration(std::uint16_t channel, double value) {
    return WriteUserValue(kUserTXBase, channel, value);
}

std::uint8_t ZEL_API::ReadUserTXCalibration(std::uint16_t channel, double* value) {
    return ReadUserValue(kUserTXBase, channel, value);
}

std::uint8_t ZEL_API::WriteUserRXCalibration(std::uint16_t channel, double value) {
    return WriteUserValue(kUserRXBase, channel, value);
}

std::uint8_t ZEL_API::ReadUserRXCalibration(std::uint16_t channel, double* value) {
    return ReadUserValue(kUserRXBase, channel, value);
}
