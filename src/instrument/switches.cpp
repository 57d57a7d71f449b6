// Optical switches: the 2x2 switch of each channel, the MEMS and LBMM selector switches, and the
// 4x1 switch insertion loss stored per channel and wavelength slot.
#include "instrument/zel_api_class.h"

std::uint8_t ZEL_API::SwitchSelect_2x2(std::uint16_t channel, std::uint16_t position) {
    return OnChannel(channel, Status::Recorded,
                     [&](std::uint16_t select) { return WriteRegister(select, zel::reg::kSwitch2x2, position); });
}

std::uint8_t ZEL_API::SwitchSelect_MEMS(std::uint16_t, std::uint16_t position) {
    return RecordStatus(WriteRegister(0, zel::reg::kSwitchMEMS, position));
}

std::uint8_t ZEL_API::SwitchSelect_LBMM(std::uint16_t, std::uint16_t position) {
    return RecordStatus(WriteRegister(0, zel::reg::kSwitchLBMM, position));
}

std::uint8_t ZEL_API::ReadSwitchSelect_2x2(std::uint16_t channel, std::uint16_t* position) {
    return OnChannel(channel, Status::Recorded,
                     [&](std::uint16_t select) { return ReadRegister(select, zel::reg::kSwitch2x2, *position); });
}

std::uint8_t ZEL_API::ReadSwitchSelect_MEMS(std::uint16_t, std::uint16_t* position) {
    std::uint16_t word = 0;
    bool ok = ReadRegister(0, zel::reg::kSwitchMEMS, word);
    *position = word;
    return RecordStatus(ok);
}

std::uint8_t ZEL_API::ReadSwitchSelect_LBMM(std::uint16_t, std::uint16_t* position) {
    std::uint16_t word = 0;
    bool ok = ReadRegister(0, zel::reg::kSwitchLBMM, word);
    *position = word;
    return RecordStatus(ok);
}

std::uint8_t ZEL_API::Write4x1SwitchInsertionLoss(std::uint16_t channel, double loss) {
    return WriteSlotScaled(channel, zel::layout::kSwitchLossOffset, loss);
}

std::uint8_t ZEL_API::Read4x1SwitchInsertionLoss(std::uint16_t channel, double* loss) {
    return ReadSlotScaled(channel, zel::layout::kSwitchLossOffset, loss);
}
