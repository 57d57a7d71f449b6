// Direct access for the host: raw registers by channel, status records, temperature and screen.
#include "instrument/zel_api_class.h"

std::uint8_t ZEL_API::AccessBoardRegister(std::uint8_t write, std::uint16_t channel, std::uint16_t address,
                                          std::uint16_t* value) {
    return OnChannel(channel, Status::Untouched,
                     [&](std::uint16_t select) { return AccessRegisterBank(write, select, address, value) != 0; });
}

std::uint8_t ZEL_API::AccessRegisterBank(std::uint8_t write, std::uint16_t select, std::uint16_t address,
                                         std::uint16_t* value) {
    // The control word has 4 select bits and 11 address bits: a larger address would spill into
    // the select bits and reach another bank, a larger select would be cut to another bank.
    if (select >= zel::reg::kBankCount || address >= zel::reg::kAddressCount) {
        RecordError(ZEL_ERR_BAD_ARGUMENT);
        return 0;
    }
    return link_.AccessRegister(write, select, address, *value) ? 1 : 0;
}

std::int32_t ZEL_API::Monitor(std::uint16_t group, std::uint8_t record, double* value) {
    result_ = ReadRawRecord(group, record, value) != 0 ? 1 : 0;
    return result_;
}

double ZEL_API::TempRead(std::int32_t select) {
    // Four select bits: anything else would be cut to another bank.
    if (select < 0 || select >= zel::reg::kBankCount) {
        RecordError(ZEL_ERR_BAD_ARGUMENT);
        result_ = 0;
        return -1.0;
    }
    std::uint16_t word = 0;
    bool ok = ReadRegister(static_cast<std::uint16_t>(select), zel::reg::kTemperature, word);
    result_ = ok ? 1 : 0;
    return ok ? static_cast<double>(word) : -1.0;
}

std::uint8_t ZEL_API::ScreenControl(std::uint16_t, std::uint8_t control) {
    return RecordStatus(WriteRegister(0, zel::reg::kScreenControl, control));
}
