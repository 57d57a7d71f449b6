// The exported C interface against an in-process simulated unit: the unit table, argument and
// index checks, the last-error record, instances and the diagnostic extras.
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "api/instance_table.h"
#include "support/unit_fixture.h"
#include "support/wait_for.h"
#include "zel_api.h"

namespace {

using zel::api::kUnitCount;
using zel::api::UnitEntry;
using zeltest::SimulatedUnit;

// What a call can change in a table entry, to show that a call left it alone: the link, the
// identity and layout, the operation fields, the wavelength table and the calibration in use
// and cached (compared by value, so heap contents count and padding does not).
struct EntryState {
    bool open;
    std::string ip;
    zel_error last_error;
    std::uint32_t board_id;
    std::int32_t board_type, ports, channels, result, slot;
    std::uint8_t status, cache_valid;
    std::vector<std::int32_t> layout, wavelengths;
    std::vector<double> calibration;
    bool operator==(const EntryState&) const = default;
};
EntryState StateOf(int index) {
    const ZEL_API& e = *UnitEntry(index);
    EntryState state{UnitEntry(index)->Link().IsOpen(),
                     e.IpAddress(),
                     e.LastError(),
                     e.BoardIdField(),
                     e.BoardType(),
                     e.PortCount(),
                     e.ChannelCount(),
                     e.ResultField(),
                     e.CurrentSlot(),
                     e.StatusField(),
                     e.CacheValid(),
                     e.Layout(),
                     e.Wavelengths(),
                     {}};
    for (int s = 0; s < ZEL_API::kSelects; ++s) {
        state.calibration.push_back(e.ActiveTAP(s));
        state.calibration.insert(state.calibration.end(), e.ActiveVOA(s), e.ActiveVOA(s) + 4);
        for (int w = 0; w < ZEL_API::kSlots; ++w) {
            state.calibration.push_back(e.CachedTAP(w, s));
            state.calibration.insert(state.calibration.end(), e.CachedVOA(w, s), e.CachedVOA(w, s) + 4);
        }
    }
    return state;
}
std::vector<EntryState> TableState() {
    std::vector<EntryState> all;
    for (int i = 0; i < kUnitCount; ++i) all.push_back(StateOf(i));
    return all;
}

// The index parameter type of a unit-index export.
template <class R, class Index, class... Rest>
constexpr bool TakesAnIndexByte(R (*)(Index, Rest...)) {
    return std::is_same_v<Index, std::uint8_t>;
}

// The table is process-wide: every test leaves all entries disconnected.
class UnitTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        zeltest::ShortenLinkTimeouts();
        unit = std::make_unique<SimulatedUnit>();
    }
    void TearDown() override {
        for (int i = 0; i < kUnitCount; ++i)
            if (UnitEntry(i)->Link().IsOpen()) APIDisconnect(static_cast<std::uint8_t>(i));
    }
    void Connect(std::uint8_t index) {
        ASSERT_EQ(APIConnect(index, unit->ip().c_str()), 1) << zel_ErrorText(APILastError(index));
        unit->clear_frames();
    }
    std::unique_ptr<SimulatedUnit> unit;
};

// A host that passes a wider integer reaches entry (index mod 256) only because every unit-index
// export but APIMonitor takes its index as one byte: a wider parameter would break that promise
// and the calling convention of existing hosts.
TEST(UnitIndex, EveryUnitIndexExportButTheMonitorTakesItsIndexAsOneByte) {
#define ZEL_INDEX_BYTE(f) std::pair<const char*, bool>(#f, TakesAnIndexByte(&f))
    const std::pair<const char*, bool> exports[] = {
        ZEL_INDEX_BYTE(APIAccessBoardRegister),
        ZEL_INDEX_BYTE(APIAddWavelength),
        ZEL_INDEX_BYTE(APIConnect),
        ZEL_INDEX_BYTE(APIDisconnect),
        ZEL_INDEX_BYTE(APIRead4x1SwitchInsertionLoss),
        ZEL_INDEX_BYTE(APIReadBoardID),
        ZEL_INDEX_BYTE(APIReadBoardSN),
        ZEL_INDEX_BYTE(APIReadDoubleValueFromEEProm),
        ZEL_INDEX_BYTE(APIReadFirmwareRevision),
        ZEL_INDEX_BYTE(APIReadOpticalPower),
        ZEL_INDEX_BYTE(APIReadSerialNumber),
        ZEL_INDEX_BYTE(APIReadSwicthSelect_2x2),
        ZEL_INDEX_BYTE(APIReadSwicthSelect_LBMM_1x4),
        ZEL_INDEX_BYTE(APIReadSwicthSelect_MEMS_1x4),
        ZEL_INDEX_BYTE(APIReadTAPCalibration),
        ZEL_INDEX_BYTE(APIReadTypeFromEEPROM),
        ZEL_INDEX_BYTE(APIReadUserRXCalibration),
        ZEL_INDEX_BYTE(APIReadUserTXCalibration),
        ZEL_INDEX_BYTE(APIReadVOAAttenuation),
        ZEL_INDEX_BYTE(APIReadVOACalibration),
        ZEL_INDEX_BYTE(APIReadVOADefinedValues),
        ZEL_INDEX_BYTE(APIReadVOAInsertionLoss),
        ZEL_INDEX_BYTE(APIReadValueFromEEProm),
        ZEL_INDEX_BYTE(APIScreenControl),
        ZEL_INDEX_BYTE(APISetDefaultWavelength),
        ZEL_INDEX_BYTE(APISetVOAAttenuation),
        ZEL_INDEX_BYTE(APISetWavelength),
        ZEL_INDEX_BYTE(APISwicthSelect_2x2),
        ZEL_INDEX_BYTE(APISwicthSelect_LBMM_1x4),
        ZEL_INDEX_BYTE(APISwicthSelect_MEMS_1x4),
        ZEL_INDEX_BYTE(APITempRead),
        ZEL_INDEX_BYTE(APIWrite4x1SwitchInsertionLoss),
        ZEL_INDEX_BYTE(APIWriteBoardSN),
        ZEL_INDEX_BYTE(APIWriteDoubleValueToEEProm),
        ZEL_INDEX_BYTE(APIWriteStatusToEEProm),
        ZEL_INDEX_BYTE(APIWriteTAPCalibration),
        ZEL_INDEX_BYTE(APIWriteTypeToEEPROM),
        ZEL_INDEX_BYTE(APIWriteUserRXCalibration),
        ZEL_INDEX_BYTE(APIWriteUserTXCalibration),
        ZEL_INDEX_BYTE(APIWriteVOACalibration),
        ZEL_INDEX_BYTE(APIWriteVOADefinedValues),
        ZEL_INDEX_BYTE(APIWriteVOAInsertionLoss),
        ZEL_INDEX_BYTE(APIWriteValueToEEProm),
        ZEL_INDEX_BYTE(APILastError),
        ZEL_INDEX_BYTE(APISetFrameTrace),
        ZEL_INDEX_BYTE(APISetTimeout),
    };
#undef ZEL_INDEX_BYTE
    for (const auto& [name, byte] : exports) EXPECT_TRUE(byte) << name;
    EXPECT_FALSE(TakesAnIndexByte(&APIMonitor));  // signed 32-bit: 259 is no entry (see below)
}

TEST_F(UnitTableTest, ConnectingOneEntryLeavesEveryOtherEntryUntouched) {
    const std::vector<EntryState> before = TableState();
    Connect(3);
    const std::vector<EntryState> after = TableState();
    for (int i = 0; i < kUnitCount; ++i) {
        if (i == 3)
            EXPECT_NE(after[i], before[i]);
        else
            EXPECT_EQ(after[i], before[i]) << "entry " << i;
    }
    EXPECT_EQ(UnitEntry(3)->BoardIdField(), unit->model().Config().board_id);
}

TEST_F(UnitTableTest, IndexOutsideTheTableFailsWithoutTouchingAnything) {
    Connect(3);
    const std::vector<EntryState> before = TableState();
    for (int index : {32, 100, 255}) {
        SCOPED_TRACE(index);
        const auto u = static_cast<std::uint8_t>(index);
        std::uint16_t word = 0xBEEF;
        double value = 12.5;
        std::int64_t serial = 77;
        std::int32_t flag = 5;
        EXPECT_EQ(APIConnect(u, unit->ip().c_str()), 0);
        EXPECT_EQ(APIReadBoardID(u), 0u);
        EXPECT_EQ(APIReadBoardSN(u), 0);
        EXPECT_EQ(APIReadFirmwareRevision(u), -1.0);
        EXPECT_EQ(APITempRead(u, 0), -1.0);
        EXPECT_EQ(APIWriteBoardSN(u, 1234), 0);
        EXPECT_EQ(APIReadSerialNumber(u, &serial, &flag), 0);
        EXPECT_EQ(APIAccessBoardRegister(u, 0, 0, 20, &word), 0);
        EXPECT_EQ(APIReadVOAInsertionLoss(u, 0, &value), 0);
        EXPECT_EQ(word, 0xBEEF);
        EXPECT_EQ(value, 12.5);
        EXPECT_EQ(serial, 77);
        EXPECT_EQ(flag, 5);
        EXPECT_EQ(APILastError(u), ZEL_ERR_BAD_UNIT_INDEX);
    }
    // The monitor takes a signed index and no modulo: 259 and -253 are not entry 3.
    for (std::int32_t index : {32, 259, -253, -1, INT32_MIN}) {
        double value = 12.5;
        EXPECT_EQ(APIMonitor(index, 0, 1, &value), 0) << index;
        EXPECT_EQ(value, 12.5) << index;
    }
    EXPECT_EQ(TableState(), before);
    EXPECT_TRUE(unit->frames().empty());
    double value = 0;
    EXPECT_EQ(APIMonitor(3, 0, 1, &value), 1);  // the same call on a real entry does reach the unit
    EXPECT_FALSE(unit->frames().empty());
}

TEST_F(UnitTableTest, NullPointersFailBeforeAnythingIsSent) {
    const std::uint8_t u = 5;
    Connect(u);
    std::uint16_t word = 0;
    std::int64_t serial = 77;
    std::int32_t flag = 5;
    const std::vector<std::pair<const char*, std::function<int()>>> calls = {
        {"APIAccessBoardRegister", [&] { return APIAccessBoardRegister(u, 0, 0, 20, nullptr); }},
        {"APIConnect", [&] { return APIConnect(u, nullptr); }},
        {"APIMonitor", [&] { return APIMonitor(u, 0, 1, nullptr); }},
        {"APIRead4x1SwitchInsertionLoss", [&] { return APIRead4x1SwitchInsertionLoss(u, 0, nullptr); }},
        {"APIReadDoubleValueFromEEProm", [&] { return APIReadDoubleValueFromEEProm(u, 0x100, nullptr); }},
        {"APIReadOpticalPower", [&] { return APIReadOpticalPower(u, 0, nullptr); }},
        {"APIReadSerialNumber serial", [&] { return APIReadSerialNumber(u, nullptr, &flag); }},
        {"APIReadSerialNumber flag", [&] { return APIReadSerialNumber(u, &serial, nullptr); }},
        {"APIReadSwicthSelect_2x2", [&] { return APIReadSwicthSelect_2x2(u, 0, nullptr); }},
        {"APIReadSwicthSelect_LBMM_1x4", [&] { return APIReadSwicthSelect_LBMM_1x4(u, 0, nullptr); }},
        {"APIReadSwicthSelect_MEMS_1x4", [&] { return APIReadSwicthSelect_MEMS_1x4(u, 0, nullptr); }},
        {"APIReadTAPCalibration", [&] { return APIReadTAPCalibration(u, 0, nullptr); }},
        {"APIReadTypeFromEEPROM", [&] { return APIReadTypeFromEEPROM(u, nullptr); }},
        {"APIReadUserRXCalibration", [&] { return APIReadUserRXCalibration(u, 0, nullptr); }},
        {"APIReadUserTXCalibration", [&] { return APIReadUserTXCalibration(u, 0, nullptr); }},
        {"APIReadVOAAttenuation", [&] { return APIReadVOAAttenuation(u, 0, nullptr); }},
        {"APIReadVOACalibration", [&] { return APIReadVOACalibration(u, 0, nullptr); }},
        {"APIReadVOADefinedValues", [&] { return APIReadVOADefinedValues(u, 0, nullptr); }},
        {"APIReadVOAInsertionLoss", [&] { return APIReadVOAInsertionLoss(u, 0, nullptr); }},
        {"APIWriteVOACalibration", [&] { return APIWriteVOACalibration(u, 0, nullptr); }},
        {"APIWriteVOADefinedValues", [&] { return APIWriteVOADefinedValues(u, 0, nullptr); }},
    };
    for (const auto& [name, call] : calls) {
        // Leave a different reason behind first, so that the check below sees this call's own.
        ASSERT_EQ(APIReadSwicthSelect_2x2(u, 99, &word), 0);
        ASSERT_EQ(APILastError(u), ZEL_ERR_NO_SUCH_CHANNEL);
        EXPECT_EQ(call(), 0) << name;
        EXPECT_EQ(APILastError(u), ZEL_ERR_BAD_ARGUMENT) << name;
    }
    EXPECT_EQ(serial, 77);
    EXPECT_EQ(flag, 5);
    EXPECT_TRUE(unit->frames().empty());
    EXPECT_TRUE(UnitEntry(u)->Link().IsOpen());  // the refused connect did not drop the link
    EXPECT_EQ(UnitEntry(u)->IpAddress(), unit->ip());
}

TEST_F(UnitTableTest, LastErrorTellsWhyAndIsClearedBySuccess) {
    const std::uint8_t u = 7;
    EXPECT_EQ(APIDisconnect(u), 0);
    EXPECT_EQ(APILastError(u), ZEL_ERR_NOT_CONNECTED);
    EXPECT_EQ(APIReadBoardID(u), 0u);
    EXPECT_EQ(APILastError(u), ZEL_ERR_NOT_CONNECTED);
    Connect(u);
    EXPECT_EQ(APILastError(u), ZEL_OK);
    EXPECT_EQ(APIReadSwicthSelect_2x2(u, 8, nullptr), 0);
    EXPECT_EQ(APILastError(u), ZEL_ERR_BAD_ARGUMENT);
    std::uint16_t position = 0;
    EXPECT_EQ(APIReadSwicthSelect_2x2(u, 8, &position), 0);  // type 6 has channels 0..7
    EXPECT_EQ(APILastError(u), ZEL_ERR_NO_SUCH_CHANNEL);
    EXPECT_EQ(APIReadSwicthSelect_2x2(u, 7, &position), 1);
    EXPECT_EQ(APILastError(u), ZEL_OK);
    EXPECT_EQ(APILastError(8), ZEL_OK);  // other entries keep their own record
}

// Every status export, on table entry `u` or instance `inst`: 1 always comes with ZEL_OK as the
// last error and 0 never does. Value exports: the last error says whether the value is good.
struct SweptExport {
    const char* name;
    std::function<int()> call;
    std::function<zel_error()> last_error;
    bool status;  // false: a value result, `failed` says whether it is the failure value
    std::function<bool(int)> failed;
};

std::vector<SweptExport> AllExports(std::uint8_t u, zel_instance* inst, const std::string& ip) {
    static std::uint16_t word;
    static std::uint16_t words[30];
    static double value;
    static double coefficients[4] = {0.5, 0.01, 0, 0};
    static std::int64_t serial;
    static std::int32_t flag;
    static std::uint8_t byte;
    static std::uint8_t block[300];
    static std::uint16_t nm[6];
    static std::size_t count;
    static std::uint32_t location[2];
    auto entry = [u] { return APILastError(u); };
    auto instance = [inst] { return zel_LastError(inst); };
    auto zero = [](int v) { return v == 0; };
    std::vector<SweptExport> all = {
        {"APIAccessBoardRegister", [=] { return APIAccessBoardRegister(u, 0, 1, 33, &word); }, entry, true, {}},
        {"APIMonitor", [=] { return APIMonitor(u, 0, 1, &value); }, entry, true, {}},
        {"APIRead4x1SwitchInsertionLoss", [=] { return APIRead4x1SwitchInsertionLoss(u, 1, &value); }, entry, true, {}},
        {"APIReadDoubleValueFromEEProm",
         [=] { return APIReadDoubleValueFromEEProm(u, 0x3000, &value); },
         entry,
         true,
         {}},
        {"APIReadOpticalPower", [=] { return APIReadOpticalPower(u, 1, &word); }, entry, true, {}},
        {"APIReadSerialNumber", [=] { return APIReadSerialNumber(u, &serial, &flag); }, entry, true, {}},
        {"APIReadSwicthSelect_2x2", [=] { return APIReadSwicthSelect_2x2(u, 1, &word); }, entry, true, {}},
        {"APIReadSwicthSelect_LBMM_1x4", [=] { return APIReadSwicthSelect_LBMM_1x4(u, 0, &word); }, entry, true, {}},
        {"APIReadSwicthSelect_MEMS_1x4", [=] { return APIReadSwicthSelect_MEMS_1x4(u, 0, &word); }, entry, true, {}},
        {"APIReadTAPCalibration", [=] { return APIReadTAPCalibration(u, 1, &value); }, entry, true, {}},
        {"APIReadTypeFromEEPROM", [=] { return APIReadTypeFromEEPROM(u, &word); }, entry, true, {}},
        {"APIReadUserRXCalibration", [=] { return APIReadUserRXCalibration(u, 1, &value); }, entry, true, {}},
        {"APIReadUserTXCalibration", [=] { return APIReadUserTXCalibration(u, 1, &value); }, entry, true, {}},
        {"APIReadVOAAttenuation", [=] { return APIReadVOAAttenuation(u, 1, &word); }, entry, true, {}},
        {"APIReadVOACalibration", [=] { return APIReadVOACalibration(u, 1, coefficients); }, entry, true, {}},
        {"APIReadVOADefinedValues", [=] { return APIReadVOADefinedValues(u, 1, words); }, entry, true, {}},
        {"APIReadVOAInsertionLoss", [=] { return APIReadVOAInsertionLoss(u, 1, &value); }, entry, true, {}},
        {"APIReadValueFromEEProm", [=] { return APIReadValueFromEEProm(u, 0x3000); }, entry, true, {}},
        {"APIScreenControl", [=] { return APIScreenControl(u, 0, 1); }, entry, true, {}},
        {"APISetDefaultWavelength", [=] { return APISetDefaultWavelength(u); }, entry, true, {}},
        {"APISetVOAAttenuation", [=] { return APISetVOAAttenuation(u, 1, 100); }, entry, true, {}},
        {"APISetWavelength", [=] { return APISetWavelength(u, 1310); }, entry, true, {}},
        {"APISwicthSelect_2x2", [=] { return APISwicthSelect_2x2(u, 1, 1); }, entry, true, {}},
        {"APISwicthSelect_LBMM_1x4", [=] { return APISwicthSelect_LBMM_1x4(u, 0, 1); }, entry, true, {}},
        {"APISwicthSelect_MEMS_1x4", [=] { return APISwicthSelect_MEMS_1x4(u, 0, 2); }, entry, true, {}},
        {"APIWrite4x1SwitchInsertionLoss", [=] { return APIWrite4x1SwitchInsertionLoss(u, 1, 0.5); }, entry, true, {}},
        {"APIWriteBoardSN", [=] { return APIWriteBoardSN(u, 1234); }, entry, true, {}},
        {"APIWriteDoubleValueToEEProm", [=] { return APIWriteDoubleValueToEEProm(u, 0x3000, 1.5); }, entry, true, {}},
        {"APIWriteStatusToEEProm", [=] { return APIWriteStatusToEEProm(u, 1, 1, 2.5); }, entry, true, {}},
        {"APIWriteTAPCalibration", [=] { return APIWriteTAPCalibration(u, 1, 1.25); }, entry, true, {}},
        {"APIWriteTypeToEEPROM", [=] { return APIWriteTypeToEEPROM(u, 6); }, entry, true, {}},
        {"APIWriteUserRXCalibration", [=] { return APIWriteUserRXCalibration(u, 1, 0.1); }, entry, true, {}},
        {"APIWriteUserTXCalibration", [=] { return APIWriteUserTXCalibration(u, 1, 0.2); }, entry, true, {}},
        {"APIWriteVOACalibration", [=] { return APIWriteVOACalibration(u, 1, coefficients); }, entry, true, {}},
        {"APIWriteVOADefinedValues", [=] { return APIWriteVOADefinedValues(u, 1, words); }, entry, true, {}},
        {"APIWriteVOAInsertionLoss", [=] { return APIWriteVOAInsertionLoss(u, 1, 0.3); }, entry, true, {}},
        {"APIWriteValueToEEProm", [=] { return APIWriteValueToEEProm(u, 0x3000, 7); }, entry, true, {}},
        {"APIAddWavelength", [=] { return APIAddWavelength(u, 1550); }, entry, true, {}},
        {"APISetTimeout", [=] { return APISetTimeout(u, 2000); }, entry, true, {}},
        {"APIReadBoardID", [=] { return static_cast<int>(APIReadBoardID(u)); }, entry, false, zero},
        {"APITempRead", [=] { return static_cast<int>(APITempRead(u, 0)); }, entry, false,
         [](int v) { return v == -1; }},
        {"APIConnect", [=] { return APIConnect(u, ip.c_str()); }, entry, true, {}},
        {"zel_ReadOpticalPower", [=] { return zel_ReadOpticalPower(inst, 1, &value); }, instance, true, {}},
        {"zel_ReadSerialNumber", [=] { return zel_ReadSerialNumber(inst, &serial, &flag); }, instance, true, {}},
        {"zel_ReadSwitchSelect_2x2", [=] { return zel_ReadSwitchSelect_2x2(inst, 1, &word); }, instance, true, {}},
        {"zel_ReadSwitchSelect_LBMM_4x1",
         [=] { return zel_ReadSwitchSelect_LBMM_4x1(inst, 0, &word); },
         instance,
         true,
         {}},
        {"zel_ReadSwitchSelect_MEMS_8x1",
         [=] { return zel_ReadSwitchSelect_MEMS_8x1(inst, 0, &word); },
         instance,
         true,
         {}},
        {"zel_ReadTypeFromEEPROM", [=] { return zel_ReadTypeFromEEPROM(inst, &word); }, instance, true, {}},
        {"zel_ReadVOAAttenuation", [=] { return zel_ReadVOAAttenuation(inst, 1, &value); }, instance, true, {}},
        {"zel_ScreenControl", [=] { return zel_ScreenControl(inst, 0, 2); }, instance, true, {}},
        {"zel_SetVOAAttenuation", [=] { return zel_SetVOAAttenuation(inst, 1, 5.0); }, instance, true, {}},
        {"zel_SwitchSelect_2x2", [=] { return zel_SwitchSelect_2x2(inst, 1, 0); }, instance, true, {}},
        {"zel_SwitchSelect_LBMM_8x1", [=] { return zel_SwitchSelect_LBMM_8x1(inst, 0, 3); }, instance, true, {}},
        {"zel_SwitchSelect_MEMS_4x1", [=] { return zel_SwitchSelect_MEMS_4x1(inst, 0, 1); }, instance, true, {}},
        {"zel_ReadEEPromByte", [=] { return zel_ReadEEPromByte(inst, 0x3000, &byte); }, instance, true, {}},
        {"zel_SelectWavelength", [=] { return zel_SelectWavelength(inst, 1310); }, instance, true, {}},
        {"zel_SetTimeout", [=] { return zel_SetTimeout(inst, 2000); }, instance, true, {}},
        {"zel_GetLinkReopens", [=] { return zel_GetLinkReopens(inst, &location[0]); }, instance, true, {}},
        {"zel_SetAutoReopen", [=] { return zel_SetAutoReopen(inst, 1); }, instance, true, {}},
        {"zel_ReadBoardID", [=] { return static_cast<int>(zel_ReadBoardID(inst)); }, instance, false, zero},
        {"zel_TempRead", [=] { return static_cast<int>(zel_TempRead(inst, 0)); }, instance, false,
         [](int v) { return v == -1; }},
        {"zel_AccessBoardRegister", [=] { return zel_AccessBoardRegister(inst, 1, 1, 33, &word); }, instance, true, {}},
        {"zel_AccessRegisterBank", [=] { return zel_AccessRegisterBank(inst, 0, 12, 33, &word); }, instance, true, {}},
        {"zel_AddWavelength", [=] { return zel_AddWavelength(inst, 1550); }, instance, true, {}},
        {"zel_Monitor", [=] { return zel_Monitor(inst, 0, 1, &value); }, instance, true, {}},
        {"zel_Read4x1SwitchInsertionLoss",
         [=] { return zel_Read4x1SwitchInsertionLoss(inst, 1, &value); },
         instance,
         true,
         {}},
        {"zel_ReadBoardSN", [=] { return zel_ReadBoardSN(inst) == 0 ? 0 : 1; }, instance, false, zero},
        {"zel_ReadDoubleValueFromEEProm",
         [=] { return zel_ReadDoubleValueFromEEProm(inst, 0x3000, &value); },
         instance,
         true,
         {}},
        {"zel_ReadOpticalPowerCount", [=] { return zel_ReadOpticalPowerCount(inst, 1, &word); }, instance, true, {}},
        {"zel_ReadTAPCalibration", [=] { return zel_ReadTAPCalibration(inst, 1, &value); }, instance, true, {}},
        {"zel_ReadUserRXCalibration", [=] { return zel_ReadUserRXCalibration(inst, 1, &value); }, instance, true, {}},
        {"zel_ReadUserTXCalibration", [=] { return zel_ReadUserTXCalibration(inst, 1, &value); }, instance, true, {}},
        {"zel_ReadVOACode", [=] { return zel_ReadVOACode(inst, 1, &word); }, instance, true, {}},
        {"zel_ReadVOACalibration", [=] { return zel_ReadVOACalibration(inst, 1, coefficients); }, instance, true, {}},
        {"zel_ReadVOADefinedValues", [=] { return zel_ReadVOADefinedValues(inst, 1, words); }, instance, true, {}},
        {"zel_ReadVOAInsertionLoss", [=] { return zel_ReadVOAInsertionLoss(inst, 1, &value); }, instance, true, {}},
        {"zel_SetDefaultWavelength", [=] { return zel_SetDefaultWavelength(inst); }, instance, true, {}},
        {"zel_SetVOACode", [=] { return zel_SetVOACode(inst, 1, 100); }, instance, true, {}},
        {"zel_SetWavelength", [=] { return zel_SetWavelength(inst, 1310); }, instance, true, {}},
        {"zel_Write4x1SwitchInsertionLoss",
         [=] { return zel_Write4x1SwitchInsertionLoss(inst, 1, 0.5); },
         instance,
         true,
         {}},
        {"zel_WriteBoardSN", [=] { return zel_WriteBoardSN(inst, 1234); }, instance, true, {}},
        {"zel_WriteDoubleValueToEEProm",
         [=] { return zel_WriteDoubleValueToEEProm(inst, 0x3000, 1.5); },
         instance,
         true,
         {}},
        {"zel_WriteStatusToEEProm", [=] { return zel_WriteStatusToEEProm(inst, 1, 1, 2.5); }, instance, true, {}},
        {"zel_WriteTAPCalibration", [=] { return zel_WriteTAPCalibration(inst, 1, 1.25); }, instance, true, {}},
        {"zel_WriteTypeToEEPROM", [=] { return zel_WriteTypeToEEPROM(inst, 6); }, instance, true, {}},
        {"zel_WriteUserRXCalibration", [=] { return zel_WriteUserRXCalibration(inst, 1, 0.1); }, instance, true, {}},
        {"zel_WriteUserTXCalibration", [=] { return zel_WriteUserTXCalibration(inst, 1, 0.2); }, instance, true, {}},
        {"zel_WriteVOACalibration", [=] { return zel_WriteVOACalibration(inst, 1, coefficients); }, instance, true, {}},
        {"zel_WriteVOADefinedValues", [=] { return zel_WriteVOADefinedValues(inst, 1, words); }, instance, true, {}},
        {"zel_WriteVOAInsertionLoss", [=] { return zel_WriteVOAInsertionLoss(inst, 1, 0.3); }, instance, true, {}},
        {"zel_WriteValueToEEProm", [=] { return zel_WriteValueToEEProm(inst, 0x3000, 7); }, instance, true, {}},
        {"zel_GetChannelCount", [=] { return zel_GetChannelCount(inst, &byte); }, instance, true, {}},
        {"zel_GetBoardType", [=] { return zel_GetBoardType(inst, &word); }, instance, true, {}},
        {"zel_GetSwitchPorts", [=] { return zel_GetSwitchPorts(inst, &byte, &byte, &byte); }, instance, true, {}},
        {"zel_GetWavelengths", [=] { return zel_GetWavelengths(inst, nm, 6, &count); }, instance, true, {}},
        {"zel_GetRecordLocation",
         [=] { return zel_GetRecordLocation(inst, 2, 1, ZEL_RECORD_VOA, &location[0], &location[1]); },
         instance,
         true,
         {}},
        {"zel_ReadEEProm", [=] { return zel_ReadEEProm(inst, 0x2F0, block, sizeof block); }, instance, true, {}},
        {"zel_Connect", [=] { return zel_Connect(inst, ip.c_str()); }, instance, true, {}},
        {"zel_QuickConnect", [=] { return zel_QuickConnect(inst, ip.c_str()); }, instance, true, {}},
        {"zel_Disconnect", [=] { return zel_Disconnect(inst); }, instance, true, {}},
        {"APIDisconnect", [=] { return APIDisconnect(u); }, entry, true, {}},
    };
    return all;
}

TEST_F(UnitTableTest, StatusAndLastErrorAgreeForEveryExportOnAHealthyAndAFailingUnit) {
    const std::uint8_t u = 6;
    zel_instance* inst = zel_createInstance();
    ASSERT_NE(inst, nullptr);
    for (const bool failing : {false, true}) {
        SCOPED_TRACE(failing ? "failing unit" : "healthy unit");
        unit->server().SetFaults({});
        Connect(u);
        ASSERT_EQ(zel_Connect(inst, unit->ip().c_str()), 1);
        // A failing unit closes the link at every frame, reconnects included.
        if (failing) unit->server().SetFaults({.kind = zelsim::Fault::Close});
        int failures = 0;
        for (const SweptExport& e : AllExports(u, inst, unit->ip())) {
            const int result = e.call();
            const zel_error reason = e.last_error();
            if (e.status) {
                EXPECT_TRUE(result == 0 || result == 1) << e.name << " " << result;
                EXPECT_EQ(result == 1, reason == ZEL_OK) << e.name << " " << result << " " << zel_ErrorText(reason);
            } else if (e.failed(result)) {
                EXPECT_NE(reason, ZEL_OK) << e.name;
            }
            if (!failing) {
                EXPECT_EQ(reason, ZEL_OK) << e.name << ": " << zel_ErrorText(reason);
            }
            failures += reason != ZEL_OK;
        }
        if (failing) {
            EXPECT_GT(failures, 40);
        }
    }
    zel_destroyInstance(inst);
}

// ---- overlapping calls on one unit ----

// Two threads reading different registers of one unit through `read`: every call hands back its
// own register's value with 1, or fails with ZEL_ERR_BUSY as that thread's last error.
struct OverlapTally {
    std::atomic<int> right{0}, wrong{0}, busy{0}, other{0};
};
void ReadFromTwoThreads(const std::function<std::uint8_t(int, std::uint16_t*)>& read,
                        const std::function<zel_error()>& last_error, const std::uint16_t expected[2],
                        OverlapTally& tally) {
    auto worker = [&](int t) {
        for (int i = 0; i < 400; ++i) {
            std::uint16_t v = 0xDEAD;
            if (read(t, &v) == 1)
                (v == expected[t] ? tally.right : tally.wrong)++;
            else
                (last_error() == ZEL_ERR_BUSY ? tally.busy : tally.other)++;
        }
    };
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
}

TEST_F(UnitTableTest, OverlappingCallsOnOneEntryOrInstanceAreRefusedNeverCrossed) {
    static constexpr std::uint8_t u = 4;
    Connect(u);
    unit->model().SetRegister(0, 34, 5);  // MEMS position
    unit->model().SetRegister(1, 33, 1);  // channel 1's 2x2 switch
    const std::uint16_t expected[2] = {5, 1};
    OverlapTally on_entry;
    ReadFromTwoThreads(
        [](int t, std::uint16_t* v) {
            return t == 0 ? APIReadSwicthSelect_MEMS_1x4(u, 0, v) : APIReadSwicthSelect_2x2(u, 1, v);
        },
        [] { return APILastError(u); }, expected, on_entry);
    EXPECT_EQ(on_entry.wrong, 0);
    EXPECT_EQ(on_entry.other, 0);
    EXPECT_GT(on_entry.right, 0);

    zel_instance* inst = zel_createInstance();
    ASSERT_EQ(zel_Connect(inst, unit->ip().c_str()), 1);
    OverlapTally on_instance;
    ReadFromTwoThreads(
        [inst](int t, std::uint16_t* v) {
            return t == 0 ? zel_ReadSwitchSelect_MEMS_4x1(inst, 0, v) : zel_ReadSwitchSelect_2x2(inst, 1, v);
        },
        [inst] { return zel_LastError(inst); }, expected, on_instance);
    EXPECT_EQ(on_instance.wrong, 0);
    EXPECT_EQ(on_instance.other, 0);
    EXPECT_GT(on_instance.right, 0);
    zel_destroyInstance(inst);
}

TEST_F(UnitTableTest, CallOnAUnitInUseFailsAtOnceWithBusyAndLeavesTheOwnerAlone) {
    const std::uint8_t u = 2;
    Connect(u);
    unit->model().SetRegister(0, 34, 6);
    unit->server().SetFaults({.kind = zelsim::Fault::Delay, .delay_ms = 1000});
    const std::size_t frames = unit->server().FramesReceived();
    std::uint16_t owner_value = 0;
    std::uint8_t owner_status = 0;
    zel_error owner_reason = ZEL_ERR_INTERNAL;
    std::thread owner([&] {
        owner_status = APIReadSwicthSelect_MEMS_1x4(u, 0, &owner_value);
        owner_reason = APILastError(u);
    });
    ASSERT_TRUE(zeltest::WaitFor([&] { return unit->server().FramesReceived() != frames; }));
    std::uint16_t mine = 0xBEEF;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(APIReadSwicthSelect_2x2(u, 1, &mine), 0);
    // Refused at once: well before the owner's one-second reply could have freed the unit.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(APILastError(u), ZEL_ERR_BUSY);
    EXPECT_EQ(mine, 0xBEEF);
    EXPECT_EQ(APISetTimeout(u, 100), 0);  // settings too wait for the unit to be free
    EXPECT_EQ(APILastError(u), ZEL_ERR_BUSY);
    owner.join();
    EXPECT_EQ(owner_status, 1);
    EXPECT_EQ(owner_value, 6);
    EXPECT_EQ(owner_reason, ZEL_OK);
    EXPECT_EQ(unit->server().FramesReceived(), frames + 1);  // the refused calls sent nothing
    // Once the unit is free, this thread's next call runs and its busy record is gone.
    unit->server().SetFaults({});
    EXPECT_EQ(APIReadSwicthSelect_2x2(u, 1, &mine), 1);
    EXPECT_EQ(APILastError(u), ZEL_OK);
}

TEST_F(UnitTableTest, ScreenControlSendsTheSameFrameWhateverItsIgnoredArgument) {
    Connect(1);
    std::vector<zelsim::Frame> frames;
    for (std::uint16_t ignored : {0, 1, 0x1234, 0xFFFF}) {
        unit->clear_frames();
        ASSERT_EQ(APIScreenControl(1, ignored, 0x5A), 1);
        ASSERT_EQ(unit->frames().size(), 1u);
        frames.push_back(unit->frames()[0]);
    }
    for (const auto& f : frames) EXPECT_EQ(f, frames[0]);
    EXPECT_EQ(unit->model().ScreenByte(), 0x5A);

    zel_instance* inst = zel_createInstance();
    ASSERT_NE(inst, nullptr);
    ASSERT_EQ(zel_Connect(inst, unit->ip().c_str()), 1);
    unit->clear_frames();
    ASSERT_EQ(zel_ScreenControl(inst, 0xFFFF, 0x5A), 1);
    ASSERT_EQ(unit->frames().size(), 1u);
    EXPECT_EQ(unit->frames()[0], frames[0]);
    zel_destroyInstance(inst);
}

TEST(ApiRevision, AnyInstancePointerNullIncluded) {
    EXPECT_EQ(APIGetAPIRev(nullptr), 6926.0);
    zel_instance* inst = zel_createInstance();
    ASSERT_NE(inst, nullptr);
    EXPECT_EQ(APIGetAPIRev(inst), 6926.0);  // never connected
    zel_destroyInstance(inst);
}

// ---- instance family ----

class InstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        zeltest::ShortenLinkTimeouts();
        unit = std::make_unique<SimulatedUnit>();
        inst = zel_createInstance();
        ASSERT_NE(inst, nullptr);
    }
    void TearDown() override { zel_destroyInstance(inst); }
    void Connect() {
        ASSERT_EQ(zel_Connect(inst, unit->ip().c_str()), 1) << zel_ErrorText(zel_LastError(inst));
        unit->clear_frames();
    }
    std::unique_ptr<SimulatedUnit> unit;
    zel_instance* inst = nullptr;
};

TEST_F(InstanceTest, DrivesTheUnitAndDestroyClosesTheLink) {
    Connect();
    EXPECT_EQ(zel_ReadBoardID(inst), unit->model().Config().board_id);
    EXPECT_DOUBLE_EQ(zel_ReadFirmwareRevision(inst), unit->model().Config().firmware_tenths / 10.0);
    ASSERT_EQ(zel_SwitchSelect_MEMS_8x1(inst, 0, 6), 1);
    std::uint16_t position = 0;
    ASSERT_EQ(zel_ReadSwitchSelect_MEMS_4x1(inst, 0, &position), 1);
    EXPECT_EQ(position, 6);
    EXPECT_EQ(unit->model().Register(0, zelsim::reg::kSwitchMems), 6);

    // A second instance is a unit of its own.
    zel_instance* other = zel_createInstance();
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, inst);
    EXPECT_EQ(zel_ReadBoardID(other), 0u);
    EXPECT_EQ(zel_LastError(other), ZEL_ERR_NOT_CONNECTED);
    EXPECT_EQ(zel_LastError(inst), ZEL_OK);
    zel_destroyInstance(other);

    EXPECT_EQ(unit->server().ActiveConnections(), 1);
    zel_destroyInstance(inst);
    inst = nullptr;
    EXPECT_TRUE(zeltest::WaitFor([&] { return unit->server().ActiveConnections() == 0; }));
    zel_destroyInstance(nullptr);  // ignored
}

TEST_F(InstanceTest, NullInstanceAndNullPointersFailCleanly) {
    std::uint16_t word = 0xBEEF;
    double value = 12.5;
    std::int64_t serial = 77;
    std::int32_t flag = 5;
    std::uint8_t byte = 0xEE;
    std::uint16_t nm[6] = {};
    std::size_t count = 99;
    std::uint32_t length = 99;
    EXPECT_EQ(zel_Connect(nullptr, unit->ip().c_str()), 0);
    EXPECT_EQ(zel_QuickConnect(nullptr, unit->ip().c_str()), 0);
    EXPECT_EQ(zel_Disconnect(nullptr), 0);
    EXPECT_EQ(zel_ReadBoardID(nullptr), 0u);
    EXPECT_EQ(zel_ReadFirmwareRevision(nullptr), -1.0);
    EXPECT_EQ(zel_TempRead(nullptr, 0), -1.0);
    EXPECT_EQ(zel_ReadOpticalPower(nullptr, 0, &value), 0);
    EXPECT_EQ(zel_ReadSerialNumber(nullptr, &serial, &flag), 0);
    EXPECT_EQ(zel_ReadSwitchSelect_LBMM_8x1(nullptr, 0, &word), 0);
    EXPECT_EQ(zel_ReadEEPromByte(nullptr, 0, &byte), 0);
    EXPECT_EQ(zel_SetFrameTrace(nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(zel_LastError(nullptr), ZEL_ERR_BAD_ARGUMENT);

    Connect();
    const std::vector<std::pair<const char*, std::function<int()>>> calls = {
        {"zel_Connect", [&] { return zel_Connect(inst, nullptr); }},
        {"zel_QuickConnect", [&] { return zel_QuickConnect(inst, nullptr); }},
        {"zel_ReadOpticalPower", [&] { return zel_ReadOpticalPower(inst, 0, nullptr); }},
        {"zel_ReadSerialNumber serial", [&] { return zel_ReadSerialNumber(inst, nullptr, &flag); }},
        {"zel_ReadSerialNumber flag", [&] { return zel_ReadSerialNumber(inst, &serial, nullptr); }},
        {"zel_ReadSwitchSelect_2x2", [&] { return zel_ReadSwitchSelect_2x2(inst, 0, nullptr); }},
        {"zel_ReadSwitchSelect_LBMM_4x1", [&] { return zel_ReadSwitchSelect_LBMM_4x1(inst, 0, nullptr); }},
        {"zel_ReadSwitchSelect_MEMS_4x1", [&] { return zel_ReadSwitchSelect_MEMS_4x1(inst, 0, nullptr); }},
        {"zel_ReadTypeFromEEPROM", [&] { return zel_ReadTypeFromEEPROM(inst, nullptr); }},
        {"zel_ReadVOAAttenuation", [&] { return zel_ReadVOAAttenuation(inst, 0, nullptr); }},
        {"zel_ReadEEPromByte", [&] { return zel_ReadEEPromByte(inst, 0, nullptr); }},
        {"zel_AccessBoardRegister", [&] { return zel_AccessBoardRegister(inst, 0, 0, 33, nullptr); }},
        {"zel_AccessRegisterBank", [&] { return zel_AccessRegisterBank(inst, 0, 12, 33, nullptr); }},
        {"zel_ReadVOACalibration", [&] { return zel_ReadVOACalibration(inst, 0, nullptr); }},
        {"zel_WriteVOACalibration", [&] { return zel_WriteVOACalibration(inst, 0, nullptr); }},
        {"zel_WriteVOADefinedValues", [&] { return zel_WriteVOADefinedValues(inst, 0, nullptr); }},
        {"zel_GetChannelCount", [&] { return zel_GetChannelCount(inst, nullptr); }},
        {"zel_GetBoardType", [&] { return zel_GetBoardType(inst, nullptr); }},
        {"zel_GetSwitchPorts two_by_two", [&] { return zel_GetSwitchPorts(inst, nullptr, &byte, &byte); }},
        {"zel_GetSwitchPorts mems", [&] { return zel_GetSwitchPorts(inst, &byte, nullptr, &byte); }},
        {"zel_GetSwitchPorts lbmm", [&] { return zel_GetSwitchPorts(inst, &byte, &byte, nullptr); }},
        {"zel_GetWavelengths nm", [&] { return zel_GetWavelengths(inst, nullptr, 6, &count); }},
        {"zel_GetWavelengths count", [&] { return zel_GetWavelengths(inst, nm, 6, nullptr); }},
        {"zel_ReadEEProm", [&] { return zel_ReadEEProm(inst, 0, nullptr, 1); }},
        {"zel_GetRecordLocation", [&] { return zel_GetRecordLocation(inst, 0, 0, ZEL_RECORD_TAP, nullptr, &length); }},
    };
    for (const auto& [name, call] : calls) {
        ASSERT_EQ(zel_ReadSwitchSelect_2x2(inst, 99, &word), 0);
        ASSERT_EQ(zel_LastError(inst), ZEL_ERR_NO_SUCH_CHANNEL);
        EXPECT_EQ(call(), 0) << name;
        EXPECT_EQ(zel_LastError(inst), ZEL_ERR_BAD_ARGUMENT) << name;
    }
    EXPECT_EQ(word, 0xBEEF);
    EXPECT_EQ(serial, 77);
    EXPECT_EQ(flag, 5);
    EXPECT_EQ(count, 99u);
    EXPECT_EQ(length, 99u);
    EXPECT_EQ(byte, 0xEE);
    EXPECT_TRUE(unit->frames().empty());
}

TEST_F(InstanceTest, ReadEepromByteHandsBackTheStoredByte) {
    Connect();
    unit->model().SetEeprom(0x1234, 0xA5);
    unit->model().SetEeprom(0x1235, 0x3C);
    std::uint8_t byte = 0;
    ASSERT_EQ(zel_ReadEEPromByte(inst, 0x1234, &byte), 1);
    EXPECT_EQ(byte, 0xA5);
    ASSERT_EQ(zel_ReadEEPromByte(inst, 0x1235, &byte), 1);
    EXPECT_EQ(byte, 0x3C);
}

struct TraceLog {
    std::vector<std::pair<int, std::vector<std::uint8_t>>> frames;
    static void Record(void* user, int direction, const std::uint8_t* bytes, std::size_t length) {
        static_cast<TraceLog*>(user)->frames.emplace_back(direction, std::vector<std::uint8_t>(bytes, bytes + length));
    }
};

TEST_F(InstanceTest, FrameTraceSeesExactlyTheFramesOnTheWire) {
    Connect();
    TraceLog log;
    ASSERT_EQ(zel_SetFrameTrace(inst, &TraceLog::Record, &log), 1);
    const std::uint32_t id = zel_ReadBoardID(inst);
    ASSERT_EQ(zel_SwitchSelect_2x2(inst, 4, 1), 1);

    const auto wire = unit->frames();
    ASSERT_EQ(wire.size(), 2u);
    ASSERT_EQ(log.frames.size(), 4u);
    for (std::size_t i = 0; i < wire.size(); ++i) {
        EXPECT_EQ(log.frames[2 * i].first, ZEL_FRAME_SENT);
        EXPECT_EQ(log.frames[2 * i].second, std::vector<std::uint8_t>(wire[i].begin(), wire[i].end()));
        EXPECT_EQ(log.frames[2 * i + 1].first, ZEL_FRAME_RECEIVED);
    }
    const auto& reply = log.frames[1].second;  // the register value is reply bytes 1 (low) and 2 (high)
    ASSERT_GE(reply.size(), 3u);
    EXPECT_EQ(reply[1] | reply[2] << 8, static_cast<int>(id));

    ASSERT_EQ(zel_SetFrameTrace(inst, nullptr, &log), 1);
    zel_ReadBoardID(inst);
    EXPECT_EQ(log.frames.size(), 4u);
}

// A unit whose operations are replaced, to show that the instance family calls through the
// virtual table and that no exception leaves an export.
class ScriptedUnit : public ZEL_API {
public:
    std::uint32_t ReadBoardID() override { return 0x4242; }
    std::uint8_t Disconnect() override { throw std::runtime_error("link torn"); }
    double TempRead(std::int32_t) override { throw std::bad_alloc(); }
    using ZEL_API::ReadVOAAttenuation;
    std::uint8_t ReadVOAAttenuation(std::uint16_t, double*) override { throw 17; }
};

TEST(InstanceDispatch, CallsGoThroughTheVirtualTableAndExceptionsStayInside) {
    ScriptedUnit scripted;
    zel_instance* inst = reinterpret_cast<zel_instance*>(static_cast<ZEL_API*>(&scripted));
    EXPECT_EQ(zel_ReadBoardID(inst), 0x4242u);
    EXPECT_EQ(zel_LastError(inst), ZEL_OK);
    EXPECT_EQ(zel_Disconnect(inst), 0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_INTERNAL);
    EXPECT_EQ(zel_TempRead(inst, 0), -1.0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_INTERNAL);
    double db = 3.0;
    EXPECT_EQ(zel_ReadVOAAttenuation(inst, 0, &db), 0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_INTERNAL);
    EXPECT_EQ(db, 3.0);
}

// Hosts that hold an instance pointer call ZEL_API's operations through its virtual table by
// position, so the order of the virtual operations is a binary contract: the virtual destructor
// first, then the 57 operations in their numbered order. A member pointer to a virtual function
// holds 1 + the byte offset of its entry in the table (the Itanium C++ ABI, which GCC, Clang and
// MinGW follow), so the entries' positions can be read without calling anything.
template <class Pmf>
std::ptrdiff_t Slot(Pmf pmf) {
    struct Representation {
        std::uintptr_t pointer;
        std::ptrdiff_t adjustment;
    };
    static_assert(sizeof(Pmf) == sizeof(Representation));
    Representation r;
    std::memcpy(&r, &pmf, sizeof r);
    if ((r.pointer & 1) == 0) return -1;  // not a virtual function
    return static_cast<std::ptrdiff_t>((r.pointer - 1) / sizeof(void*));
}

TEST(InstanceDispatch, VirtualOperationsKeepTheirPlacesInTheVirtualTable) {
    const std::ptrdiff_t slots[] = {
        Slot(&ZEL_API::GetAPIRev),
        Slot(&ZEL_API::Connect),
        Slot(&ZEL_API::Disconnect),
        Slot(&ZEL_API::ReadBoardID),
        Slot(&ZEL_API::ReadBoardSN),
        Slot(&ZEL_API::ReadSerialNumber),
        Slot(&ZEL_API::WriteBoardSN),
        Slot(&ZEL_API::ReadFirmwareRevision),
        Slot(&ZEL_API::AccessBoardRegister),
        Slot(&ZEL_API::Monitor),
        Slot(&ZEL_API::TempRead),
        Slot(&ZEL_API::WriteScaledRecord),
        Slot(&ZEL_API::WriteStatusToEEProm),
        Slot(&ZEL_API::WriteRawDoubleAtAddress),
        Slot(&ZEL_API::ReadBlockWord),
        Slot(&ZEL_API::ReadRawRecord),
        Slot(&ZEL_API::ReadScaledRecord),
        Slot(&ZEL_API::SplitNumbers),
        Slot(&ZEL_API::SwitchSelect_2x2),
        Slot(&ZEL_API::SwitchSelect_MEMS),
        Slot(&ZEL_API::SwitchSelect_LBMM),
        Slot(&ZEL_API::ReadSwitchSelect_2x2),
        Slot(&ZEL_API::ReadSwitchSelect_MEMS),
        Slot(&ZEL_API::ReadSwitchSelect_LBMM),
        Slot(static_cast<std::uint8_t (ZEL_API::*)(std::uint16_t, double*)>(&ZEL_API::ReadOpticalPower)),
        Slot(static_cast<std::uint8_t (ZEL_API::*)(std::uint16_t, std::uint16_t*)>(&ZEL_API::ReadOpticalPower)),
        Slot(static_cast<std::uint8_t (ZEL_API::*)(std::uint16_t, double)>(&ZEL_API::SetVOAAttenuation)),
        Slot(static_cast<std::uint8_t (ZEL_API::*)(std::uint16_t, std::int32_t)>(&ZEL_API::SetVOAAttenuation)),
        Slot(static_cast<std::uint8_t (ZEL_API::*)(std::uint16_t, double*)>(&ZEL_API::ReadVOAAttenuation)),
        Slot(static_cast<std::uint8_t (ZEL_API::*)(std::uint16_t, std::uint16_t*)>(&ZEL_API::ReadVOAAttenuation)),
        Slot(&ZEL_API::WriteTypeToEEPROM),
        Slot(&ZEL_API::ReadTypeFromEEPROM),
        Slot(&ZEL_API::SetWavelength),
        Slot(&ZEL_API::AddWavelength),
        Slot(&ZEL_API::SetDefaultWavelength),
        Slot(&ZEL_API::WriteVOACalibration),
        Slot(&ZEL_API::ReadVOACalibration),
        Slot(&ZEL_API::WriteVOADefinedValues),
        Slot(&ZEL_API::ReadVOADefinedValues),
        Slot(&ZEL_API::ReadTAPCalibration),
        Slot(&ZEL_API::WriteVOAInsertionLoss),
        Slot(&ZEL_API::ReadVOAInsertionLoss),
        Slot(&ZEL_API::Write4x1SwitchInsertionLoss),
        Slot(&ZEL_API::Read4x1SwitchInsertionLoss),
        Slot(&ZEL_API::ScreenControl),
        Slot(&ZEL_API::WriteValueToEEProm),
        Slot(&ZEL_API::ReadValueFromEEProm),
        Slot(&ZEL_API::WriteDoubleValueToEEProm),
        Slot(&ZEL_API::ReadDoubleValueFromEEProm),
        Slot(&ZEL_API::WriteUserTXCalibration),
        Slot(&ZEL_API::ReadUserTXCalibration),
        Slot(&ZEL_API::WriteUserRXCalibration),
        Slot(&ZEL_API::ReadUserRXCalibration),
        Slot(&ZEL_API::MakeDateStamp),
        Slot(&ZEL_API::InvertVOACalibration),
        Slot(&ZEL_API::LoadCalibrations),
        Slot(&ZEL_API::ScanWavelengths),
    };
    ASSERT_EQ(std::size(slots), 57u);
    // Entries 0 and 1 are the destructor's (complete and deleting); operation n is entry n + 1.
    for (std::size_t i = 0; i < std::size(slots); ++i)
        EXPECT_EQ(slots[i], static_cast<std::ptrdiff_t>(i + 2)) << "operation " << i + 1;
}

// The header's version macros are generated from the project version: each part in its place.
TEST(HeaderVersion, MacrosAreTheProjectVersion) {
    EXPECT_STREQ(ZEL_API_VERSION_STRING, ZEL_PROJECT_VERSION);
    const std::string parts = std::to_string(ZEL_API_VERSION_MAJOR) + "." + std::to_string(ZEL_API_VERSION_MINOR) +
                              "." + std::to_string(ZEL_API_VERSION_PATCH);
    EXPECT_EQ(parts, ZEL_PROJECT_VERSION);
    static_assert(ZEL_API_VERSION_MINOR < 100 && ZEL_API_VERSION_PATCH < 100,
                  "the combined number needs two digits each");
}

TEST(ErrorText, EveryCodeHasItsOwnText) {
    std::set<std::string> texts;
    for (int code = ZEL_OK; code <= ZEL_ERR_CAPTURE; ++code) {
        const char* text = zel_ErrorText(static_cast<zel_error>(code));
        ASSERT_NE(text, nullptr);
        EXPECT_GT(std::strlen(text), 0u);
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), static_cast<std::size_t>(ZEL_ERR_CAPTURE + 1));
    EXPECT_STREQ(zel_ErrorText(static_cast<zel_error>(ZEL_ERR_CAPTURE + 1)), "unknown error");
    EXPECT_STREQ(zel_ErrorText(static_cast<zel_error>(-1)), "unknown error");
}

}  // namespace
