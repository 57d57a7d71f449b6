// Optical switches: the 2x2 switch of each channel, the MEMS and LBMM selector switches, and the
// 4x1 switch insertion loss stored per channel and wavelength slot.
#include "instrument/zel_api_class.h"

namespace {
constexpr std::uint16_t kReg2x2 = 33;
constexpr std::uint16_t kRegMEMS = 34;
constexpr std::uint16_t kRegLBMM = 35;
using zel::layout::kSwitchLossOffset;
}  // namespace

std::uint8_t ZEL_API::SwitchSelect_2x2(std::uint16_t channel, std::uint16_t position) {
    auto select = SelectOf(channel);
    if (!select) return RecordStatus(false);
    return RecordStatus(WriteRegister(*select, kReg2x2, position));
}

std::uint8_t ZEL_API::SwitchSelect_MEMS(std::uint16_t, std::uint16_t position) {
    return RecordStatus(WriteRegister(0, kRegMEMS, position));
}

std::uint8_t ZEL_API::SwitchSelect_LBMM(std::uint16_t, std::uint16_t position) {
    return RecordStatus(WriteRegister(0, kRegLBMM, position));
}

std::uint8_t ZEL_API::ReadSwitchSelect_2x2(std::uint16_t channel, std::uint16_t* position) {
    auto select = SelectOf(channel);
    if (!select) return RecordStatus(false);
    return RecordStatus(ReadRegister(*select, kReg2x2, *position));
}

std::uint8_t ZEL_API::ReadSwitchSelect_MEMS(std::uint16_t, std::uint16_t* position) {
    std::uint16_t word = 0;
    bool ok = ReadRegister(0, kRegMEMS, word);
    *position = word;
    return RecordStatus(ok);
}

std::uint8_t ZEL_API::ReadSwitchSelect_LBMM(std::uint16_t, std::uint16_t* position) {
    std::uint16_t word = 0;
    bool ok = ReadRegister(0, kRegLBMM, word);
    *position = word;
    return RecordStatus(ok);
}

std::uint8_t ZEL_API::Write4x1SwitchInsertionLoss(std::uint16_t channel, double loss) {
    auto select = SelectOf(channel);
    if (!select) return RecordStatus(false);
    return RecordStatus(WriteScaledRecord(0, SlotRecord(kSwitchLossOffset + *select), loss) != 0);
}

std::uint8_t ZEL_API::Read4x1SwitchInsertionLoss(std::uint16_t channel, double* loss) {
    auto select = SelectOf(channel);
    if (!select) return RecordStatus(false);
    return RecordStatus(ReadScaledRecord(0, SlotRecord(kSwitchLossOffset + *select), loss) != 0);
}
