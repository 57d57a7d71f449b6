// Wavelength table: the connect-time scan of the used wavelength slots into the calibration cache,
// loading the active calibration, and the host's slot selection.
#include <algorithm>
#include <optional>

#include "instrument/record_codec.h"
#include "instrument/zel_api_class.h"

namespace {
namespace lay = zel::layout;
constexpr std::uint16_t kFreeSlot = 0xFFFF;
// The scan reads a slot from its first TAP factor on: three blocks cover every TAP factor and
// VOA coefficient of the eight selects.
constexpr std::uint32_t kScanStart = lay::kRecordSize * lay::kTAPOffset;
constexpr int kScanBlocks = 3;
constexpr std::size_t kTAPInScan = 0;
constexpr std::size_t kVOAInScan = lay::kRecordSize * lay::kVOACoefficientOffset - kScanStart;
static_assert(kScanStart + kScanBlocks * zel::frame::kBlockSize >=
              lay::kRecordSize * (lay::kVOACoefficientOffset + 4 * ZEL_API::kSelects));

// The wavelength slot 0 serves on this board type; nothing for a type of unknown make-up.
std::optional<std::uint16_t> DefaultOf(std::int32_t board_type) {
    const zel::board::BoardFacts* board = zel::board::FactsOf(board_type);
    if (board == nullptr) return std::nullopt;
    return board->default_nm;
}
}  // namespace

std::uint8_t ZEL_API::ScanWavelengths(std::uint8_t force) {
    if (force == 0 && cache_valid_ == 1) return 1;
    return ScanSlots(EepromItems::Settled);
}

bool ZEL_API::ReadTableEntry(EepromItems items, int slot, std::uint16_t base, std::int32_t& entry) {
    if (slot == 0) {
        std::uint16_t type = 0;
        const bool ok = ReadBoardType(items, &type) != 0;
        entry = type;
        return ok;
    }
    std::uint8_t word[2] = {};
    bool ok = false;
    if (items == EepromItems::Blocks) {
        ok = ReadEepromRange(base, word, sizeof word) != 0;
    } else {
        ok = ReadEepromByte(0, base, word[0]);
        ok = ReadEepromByte(0, static_cast<std::uint16_t>(base + 1), word[1]) && ok;
    }
    entry = word[0] * 256 + word[1];
    return ok;
}

std::uint8_t ZEL_API::ScanSlots(EepromItems items) {
    cache_valid_ = 0;
    wavelengths_.clear();
    std::uint8_t result = 1;
    for (int w = 0; w < kSlots; ++w) {
        const auto base = static_cast<std::uint16_t>(lay::kSlotBase + lay::kSlotSize * w);
        std::int32_t entry = 0;
        if (!ReadTableEntry(items, w, base, entry)) return 0;
        if (w != 0 && entry == kFreeSlot) break;
        wavelengths_.push_back(entry);

        std::uint8_t scan[kScanBlocks * zel::frame::kBlockSize];
        bool blocks_ok = true;
        // All three blocks are requested; a failure in any of them spoils the slot.
        for (int b = 0; b < kScanBlocks; ++b)
            blocks_ok =
                link_.ReadBlock(0, base + kScanStart + b * zel::frame::kBlockSize, scan + b * zel::frame::kBlockSize) &&
                blocks_ok;
        if (!blocks_ok) {
            result = 0;
            break;
        }
        FileSlotCalibration(w, scan);
    }
    cache_valid_ = result;
    // A scan whose calibrations did not load is no success either.
    const bool loaded = LoadCalibrationsWith(items) != 0;
    return result != 0 && loaded ? 1 : 0;
}

void ZEL_API::FileSlotCalibration(int slot, const std::uint8_t* scan) {
    for (int s = 0; s < kSelects; ++s) {
        ChannelCalibration& cached = cache_[slot][s];
        const std::uint8_t* tap = scan + kTAPInScan + 8 * s;
        cached.tap = zel::records::DecodeScaledBlock(tap);
        cached.tap_uncalibrated = zel::records::IsErased(tap);
        for (int k = 0; k < 4; ++k) {
            const std::uint8_t* c = scan + kVOAInScan + 32 * s + 8 * k;
            cached.voa[k] = zel::records::DecodeRaw(c);
            cached.voa_uncalibrated[k] = zel::records::IsErased(c);
        }
    }
}

std::uint8_t ZEL_API::LoadCalibrations() { return LoadCalibrationsWith(EepromItems::Settled); }

std::uint8_t ZEL_API::LoadCalibrationsWith(EepromItems items) {
    // Until a channel's calibration is read it is none: a load that fails part-way leaves the
    // channels it did not reach refusing the dB and power functions rather than using 0.0.
    for (ChannelCalibration& active : active_) {
        active = {};
        active.MarkUncalibrated();
    }
    std::uint16_t type = 0;
    if (ReadBoardType(items, &type) == 0) return 0;
    for (std::int32_t i = 0; i < channel_count_; ++i) {
        double factor = 0;
        if (ReadTAPCalibration(static_cast<std::uint16_t>(i), &factor) == 0) return 0;
        double coefficients[4] = {};
        if (ReadVOACalibration(static_cast<std::uint16_t>(i), coefficients) == 0) return 0;
    }
    return 1;
}

bool ZEL_API::ReadTableFor(std::uint16_t wavelength) {
    // 0xFFFF marks the first free slot in the table: it is never a wavelength, and written as a
    // slot's wavelength it would end the table at that slot.
    if (wavelength == kFreeSlot) {
        RecordError(ZEL_ERR_BAD_ARGUMENT);
        return false;
    }
    return ScanWavelengths(0) != 0;
}

bool ZEL_API::SelectAddedSlot(std::uint16_t wavelength) {
    for (std::size_t k = 1; k < wavelengths_.size(); ++k) {
        if (wavelengths_[k] == wavelength) {
            current_slot_ = static_cast<std::int32_t>(k);
            return true;
        }
    }
    return false;
}

std::uint8_t ZEL_API::SetWavelength(std::uint16_t wavelength) {
    if (!ReadTableFor(wavelength)) return 0;
    if (DefaultOf(board_type_) == wavelength) {
        current_slot_ = 0;
        return 1;
    }
    if (SelectAddedSlot(wavelength)) return 1;
    RecordError(ZEL_ERR_NOT_FOUND);
    return 0;
}

std::uint8_t ZEL_API::AddWavelength(std::uint16_t wavelength) {
    if (!ReadTableFor(wavelength)) return 0;
    const zel::board::BoardFacts* board = zel::board::FactsOf(board_type_);
    if (board != nullptr && board->add_refuses_default && wavelength == board->default_nm) {
        RecordError(ZEL_ERR_BAD_ARGUMENT);
        return 0;
    }
    if (SelectAddedSlot(wavelength)) return 1;
    const auto n = static_cast<std::int32_t>(wavelengths_.size());
    const auto base = static_cast<std::uint16_t>(lay::kSlotBase + lay::kSlotSize * n);
    if (base > lay::kLastSlotBase) {
        RecordError(ZEL_ERR_TABLE_FULL);
        return 0;
    }
    if (!WriteEepromByte(0, base, static_cast<std::uint8_t>(wavelength >> 8))) return 0;
    if (!WriteEepromByte(0, static_cast<std::uint16_t>(base + 1), static_cast<std::uint8_t>(wavelength & 0xFF)))
        return 0;
    wavelengths_.push_back(wavelength);
    current_slot_ = n;
    // The new slot's calibration records hold whatever the EEPROM held there, unread: none of it
    // counts as calibration until the host writes it or a forced scan reads the slot.
    for (ChannelCalibration& cached : cache_[n]) cached.MarkUncalibrated();
    return 1;
}

std::uint8_t ZEL_API::SetDefaultWavelength() {
    const std::int32_t previous = current_slot_;
    current_slot_ = 0;
    if (previous == 0) return 1;
    return ScanWavelengths(0);
}

std::uint8_t ZEL_API::WavelengthTable(std::vector<std::uint16_t>& nm) {
    nm.clear();
    if (ScanWavelengths(0) == 0) return 0;
    // Slot 0's table entry is the board-type record; the slot serves the type's default wavelength.
    nm.push_back(DefaultOf(board_type_).value_or(0));
    for (std::size_t k = 1; k < wavelengths_.size(); ++k) nm.push_back(static_cast<std::uint16_t>(wavelengths_[k]));
    return 1;
}

std::uint8_t ZEL_API::RecordLocation(std::uint8_t slot, std::uint16_t channel, std::uint32_t item,
                                     std::uint32_t* address, std::uint32_t* length) {
    *address = 0;
    *length = 0;
    if (slot >= kSlots || item > ZEL_RECORD_SLOT) {
        RecordError(ZEL_ERR_BAD_ARGUMENT);
        return 0;
    }
    const std::uint32_t base = lay::kSlotBase + lay::kSlotSize * slot;
    if (item == ZEL_RECORD_SLOT) {
        *address = base;
        *length = lay::kSlotAreaLength;
        return 1;
    }
    return OnChannel(channel, Status::Untouched, [&](std::uint32_t s) {
        const auto record = [base](std::uint32_t r) { return base + lay::kRecordSize * r; };
        switch (item) {
            case ZEL_RECORD_TAP:
                *address = record(lay::kTAPOffset + s);
                *length = 8;
                break;
            case ZEL_RECORD_VOA:
                *address = record(lay::kVOACoefficientOffset + 4 * s);
                *length = 32;
                break;
            case ZEL_RECORD_DEFINED:
                *address = base + lay::kDefinedValuesInSlot + lay::kDefinedValuesPerSelect * s;
                *length = 2 * kDefinedValues;
                break;
            case ZEL_RECORD_VOA_LOSS:
                *address = record(lay::kVOALossOffset + s);
                *length = 8;
                break;
            case ZEL_RECORD_SWITCH_LOSS:
                *address = record(lay::kSwitchLossOffset + s);
                *length = 8;
                break;
            case ZEL_RECORD_USER_TX:
                *address = (lay::kUserTXBase + s) * lay::kRecordSize;
                *length = 8;
                break;
            default:
                *address = (lay::kUserRXBase + s) * lay::kRecordSize;
                *length = 8;
                break;
        }
        return true;
    });
}
