// Variable optical attenuators: drive codes, the calibration polynomial and its bisection inverse,
// and the per-slot VOA calibration, defined values and insertion loss in the EEPROM.
#include <algorithm>

#include "instrument/record_codec.h"
#include "instrument/voa_bisection.h"
#include "instrument/zel_api_class.h"

namespace {
using zel::layout::kVOACoefficientOffset;
using zel::reg::kVOACode;
constexpr double kMaxAttenuationDb = 30.0;
}  // namespace

double ZEL_API::Attenuation(const double* c, double x) const {
    const zel::board::BoardFacts* board = zel::board::FactsOf(board_type_);
    if (board != nullptr && board->voa_order == 4)
        return c[0] * x * x * x * x + c[1] * x * x * x + c[2] * x * x + c[3] * x;
    return c[0] * x * x * x + c[1] * x * x + c[2] * x + c[3];
}

bool ZEL_API::RequireVOACalibration(std::uint16_t select) {
    if (!ActiveVOAUncalibrated(select)) return true;
    RecordError(ZEL_ERR_NOT_CALIBRATED);
    return false;
}

std::uint16_t ZEL_API::InvertVOACalibration(double c0, double c1, double c2, double c3, double target) {
    const double c[4] = {c0, c1, c2, c3};
    return zel::voa::BisectCode([&](int code) { return Attenuation(c, code); }, target);
}

std::uint8_t ZEL_API::SetVOAAttenuation(std::uint16_t channel, double db) {
    // A refused channel, attenuation or calibration leaves the status field alone and sends
    // nothing; the code write records its outcome.
    return OnChannel(channel, Status::Untouched, [&](std::uint16_t select) {
        if (!(db >= 0.0 && db <= kMaxAttenuationDb)) {  // NaN included
            RecordError(ZEL_ERR_BAD_ARGUMENT);
            return false;
        }
        if (!RequireVOACalibration(select)) return false;
        const auto& c = active_[select].voa;
        const std::uint16_t code = InvertVOACalibration(c[0], c[1], c[2], c[3], db);
        const bool sent = WriteRegister(select, kVOACode, code);
        if (code == zel::voa::kNoCode) {
            // The calibration has no code for this attenuation: the unit gets the out-of-range
            // code as before, but the host is told that its attenuation was not set.
            if (sent) RecordError(ZEL_ERR_NOT_FOUND);
            return RecordStatus(false) != 0;
        }
        return RecordStatus(sent) != 0;
    });
}

std::uint8_t ZEL_API::SetVOAAttenuation(std::uint16_t channel, std::int32_t code) {
    return OnChannel(channel, Status::Recorded, [&](std::uint16_t select) {
        return WriteRegister(select, kVOACode, static_cast<std::uint16_t>(code & 0x0FFF));
    });
}

std::uint8_t ZEL_API::ReadVOAAttenuation(std::uint16_t channel, double* db) {
    return OnChannel(channel, Status::Recorded, [&](std::uint16_t select) {
        if (!RequireVOACalibration(select)) return false;
        std::uint16_t code = 0;
        const bool ok = ReadRegister(select, kVOACode, code);
        *db = code == 0 ? 0.0 : Attenuation(active_[select].voa.data(), code);
        return ok;
    });
}

std::uint8_t ZEL_API::ReadVOAAttenuation(std::uint16_t channel, std::uint16_t* code) {
    return OnChannel(channel, Status::Recorded,
                     [&](std::uint16_t select) { return ReadRegister(select, kVOACode, *code); });
}

std::uint8_t ZEL_API::WriteVOACalibration(std::uint16_t channel, const double* coefficients) {
    return OnChannel(channel, Status::Recorded, [&](std::uint16_t s) {
        ChannelCalibration& active = active_[s];
        ChannelCalibration& cached = cache_[current_slot_][s];
        bool all_ok = true;
        for (int k = 0; k < 4; ++k) {
            const bool ok = WriteStatusToEEProm(0, SlotRecord(kVOACoefficientOffset + 4 * s + k), coefficients[k]) != 0;
            all_ok = ok && all_ok;
            // A coefficient whose bytes are those of erased EEPROM is no calibration, written or not.
            const bool uncal = zel::records::IsErased(zel::records::EncodeRaw(coefficients[k]));
            active.voa[k] = coefficients[k];
            active.voa_uncalibrated[k] = uncal;
            if (ok && cache_valid_) {
                cached.voa[k] = coefficients[k];
                cached.voa_uncalibrated[k] = uncal;
            }
        }
        return all_ok;
    });
}

std::uint8_t ZEL_API::ReadVOACalibration(std::uint16_t channel, double* coefficients) {
    if (cache_valid_) {
        // From the cache: nothing is sent and the status field is left alone.
        return OnChannel(channel, Status::Untouched, [&](std::uint16_t s) {
            ChannelCalibration& active = active_[s];
            const ChannelCalibration& cached = cache_[current_slot_][s];
            active.voa = cached.voa;
            active.voa_uncalibrated = cached.voa_uncalibrated;
            std::copy(active.voa.begin(), active.voa.end(), coefficients);
            return true;
        });
    }
    return OnChannel(channel, Status::Recorded, [&](std::uint16_t s) {
        ChannelCalibration& active = active_[s];
        bool all_ok = true;
        for (int k = 0; k < 4; ++k) {
            zel::records::Bytes8 bytes{};
            all_ok = ReadRecordBytes(0, SlotRecord(kVOACoefficientOffset + 4 * s + k), bytes.data()) && all_ok;
            coefficients[k] = active.voa[k] = zel::records::DecodeRaw(bytes);
            active.voa_uncalibrated[k] = zel::records::IsErased(bytes);
        }
        // Bytes from a failed read are no calibration: the dB functions refuse the channel
        // until a read goes through.
        if (!all_ok) active.voa_uncalibrated.fill(true);
        return all_ok;
    });
}

std::uint8_t ZEL_API::WriteVOADefinedValues(std::uint16_t channel, const std::uint16_t* values) {
    return OnChannel(channel, Status::Untouched, [&](std::uint16_t select) {
        bool ok = true;
        for (int j = 0; j < kDefinedValues; ++j) {
            const std::uint16_t address = DefinedValueAddress(select, j);
            const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(values[j]),
                                           static_cast<std::uint8_t>(values[j] >> 8)};
            for (std::uint16_t half = 0; half < 2; ++half) {
                ok = WriteEepromByte(0, static_cast<std::uint16_t>(address + half), bytes[half]) && ok;
                Settle(kSettleMs);
            }
        }
        return ok;
    });
}

std::uint8_t ZEL_API::ReadVOADefinedValues(std::uint16_t channel, std::uint16_t* values) {
    return OnChannel(channel, Status::Recorded, [&](std::uint16_t select) {
        bool ok = true;
        for (int j = 0; j < kDefinedValues; ++j) {
            const std::uint16_t address = DefinedValueAddress(select, j);
            std::uint8_t bytes[2] = {};
            for (std::uint16_t half = 0; half < 2; ++half) {
                ok = ReadEepromByte(0, static_cast<std::uint16_t>(address + half), bytes[half]) && ok;
                Settle(kSettleMs);
            }
            values[j] = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
        }
        return ok;
    });
}

std::uint8_t ZEL_API::WriteVOAInsertionLoss(std::uint16_t channel, double loss) {
    return WriteSlotScaled(channel, zel::layout::kVOALossOffset, loss);
}

std::uint8_t ZEL_API::ReadVOAInsertionLoss(std::uint16_t channel, double* loss) {
    return ReadSlotScaled(channel, zel::layout::kVOALossOffset, loss);
}
