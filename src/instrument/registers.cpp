// Direct access for the host: raw registers by channel, status records, temperature and screen.
#include "instrument/zel_api_class.h"

namespace {
constexpr std::uint16_t kRegTemperature = 16;
constexpr std::uint16_t kRegScreen = 38;
constexpr std::uint16_t kRegisterCount = 2048;  // addresses 0..2047 of a register bank
constexpr std::int32_t kSelectCount = 16;       // register banks 0..15
}  // namespace

std::uint8_t ZEL_API::AccessBoardRegister(std::uint8_t write, std::uint16_t channel, std::uint16_t address,
                                          std::uint16_t* value) {
    auto select = SelectOf(channel);
    if (!select) return 0;
    // The control word has 11 address bits: a larger address would spill into the select bits
    // and reach another channel's bank.
    if (address >= kRegisterCount) {
        RecordError(ZEL_ERR_BAD_ARGUMENT);
        return 0;
    }
    return link_.AccessRegister(write, *select, address, *value) ? 1 : 0;
}

std::int32_t ZEL_API::Monitor(std::uint16_t group, std::uint8_t record, double* value) {
    result_ = ReadRawRecord(group, record, value) != 0 ? 1 : 0;
    return result_;
}

double ZEL_API::TempRead(std::int32_t select) {
    // Four select bits: anything else would be cut to another bank.
    if (select < 0 || select >= kSelectCount) {
        RecordError(ZEL_ERR_BAD_ARGUMENT);
        result_ = 0;
        return -1.0;
    }
    std::uint16_t word = 0;
    bool ok = ReadRegister(static_cast<std::uint16_t>(select), kRegTemperature, word);
    result_ = ok ? 1 : 0;
    return ok ? static_cast<double>(word) : -1.0;
}

std::uint8_t ZEL_API::ScreenControl(std::uint16_t, std::uint8_t control) {
    return RecordStatus(WriteRegister(0, kRegScreen, control));
}
