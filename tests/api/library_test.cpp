// The shared library as a host loads it: its exported symbols are exactly the C interface, and
// the 8-port selector names are the 4-port functions.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

const std::set<std::string> kExports = {
    // unit-index family
    "APIAccessBoardRegister",
    "APIAddWavelength",
    "APIConnect",
    "APIDisconnect",
    "APIMonitor",
    "APIRead4x1SwitchInsertionLoss",
    "APIReadBoardID",
    "APIReadBoardSN",
    "APIReadDoubleValueFromEEProm",
    "APIReadFirmwareRevision",
    "APIReadOpticalPower",
    "APIReadSerialNumber",
    "APIReadSwicthSelect_2x2",
    "APIReadSwicthSelect_LBMM_1x4",
    "APIReadSwicthSelect_MEMS_1x4",
    "APIReadTAPCalibration",
    "APIReadTypeFromEEPROM",
    "APIReadUserRXCalibration",
    "APIReadUserTXCalibration",
    "APIReadVOAAttenuation",
    "APIReadVOACalibration",
    "APIReadVOADefinedValues",
    "APIReadVOAInsertionLoss",
    "APIReadValueFromEEProm",
    "APIScreenControl",
    "APISetDefaultWavelength",
    "APISetVOAAttenuation",
    "APISetWavelength",
    "APISwicthSelect_2x2",
    "APISwicthSelect_LBMM_1x4",
    "APISwicthSelect_MEMS_1x4",
    "APITempRead",
    "APIWrite4x1SwitchInsertionLoss",
    "APIWriteBoardSN",
    "APIWriteDoubleValueToEEProm",
    "APIWriteStatusToEEProm",
    "APIWriteTAPCalibration",
    "APIWriteTypeToEEPROM",
    "APIWriteUserRXCalibration",
    "APIWriteUserTXCalibration",
    "APIWriteVOACalibration",
    "APIWriteVOADefinedValues",
    "APIWriteVOAInsertionLoss",
    "APIWriteValueToEEProm",
    // instance family
    "APIGetAPIRev",
    "zel_createInstance",
    "zel_Connect",
    "zel_Disconnect",
    "zel_ReadBoardID",
    "zel_ReadFirmwareRevision",
    "zel_ReadOpticalPower",
    "zel_ReadSerialNumber",
    "zel_ReadSwitchSelect_2x2",
    "zel_ReadSwitchSelect_LBMM_4x1",
    "zel_ReadSwitchSelect_LBMM_8x1",
    "zel_ReadSwitchSelect_MEMS_4x1",
    "zel_ReadSwitchSelect_MEMS_8x1",
    "zel_ReadTypeFromEEPROM",
    "zel_ReadVOAAttenuation",
    "zel_ScreenControl",
    "zel_SetVOAAttenuation",
    "zel_SwitchSelect_2x2",
    "zel_SwitchSelect_LBMM_4x1",
    "zel_SwitchSelect_LBMM_8x1",
    "zel_SwitchSelect_MEMS_4x1",
    "zel_SwitchSelect_MEMS_8x1",
    "zel_TempRead",
};
const std::set<std::string> kExtras = {
    "zel_destroyInstance",
    "zel_LastError",
    "APILastError",
    "zel_ErrorText",
    "zel_ReadEEPromByte",
    "zel_SetFrameTrace",
    "APISetFrameTrace",
    "zel_SelectWavelength",
    "zel_SetTimeout",
    "APISetTimeout",
    "zel_GetLinkReopens",
    "zel_SetAutoReopen",
    "zel_Cancel",
    "zel_StartCapture",
    "zel_StopCapture",
    "zel_QuickConnect",
    // instance forms, unit knowledge, block reads
    "zel_AccessBoardRegister",
    "zel_AccessRegisterBank",
    "zel_AddWavelength",
    "zel_GetBoardType",
    "zel_GetChannelCount",
    "zel_GetRecordLocation",
    "zel_GetSwitchPorts",
    "zel_GetWavelengths",
    "zel_Monitor",
    "zel_Read4x1SwitchInsertionLoss",
    "zel_ReadBoardSN",
    "zel_ReadDoubleValueFromEEProm",
    "zel_ReadEEProm",
    "zel_ReadOpticalPowerCount",
    "zel_ReadTAPCalibration",
    "zel_ReadUserRXCalibration",
    "zel_ReadUserTXCalibration",
    "zel_ReadVOACalibration",
    "zel_ReadVOACode",
    "zel_ReadVOADefinedValues",
    "zel_ReadVOAInsertionLoss",
    "zel_SetDefaultWavelength",
    "zel_SetVOACode",
    "zel_SetWavelength",
    "zel_Write4x1SwitchInsertionLoss",
    "zel_WriteBoardSN",
    "zel_WriteDoubleValueToEEProm",
    "zel_WriteStatusToEEProm",
    "zel_WriteTAPCalibration",
    "zel_WriteTypeToEEPROM",
    "zel_WriteUserRXCalibration",
    "zel_WriteUserTXCalibration",
    "zel_WriteVOACalibration",
    "zel_WriteVOADefinedValues",
    "zel_WriteVOAInsertionLoss",
    "zel_WriteValueToEEProm",
};

std::string Join(const std::set<std::string>& names) {
    std::string text;
    for (const auto& n : names) text += " " + n;
    return text;
}

TEST(ExportedSymbols, AreExactlyTheInterface) {
    ASSERT_EQ(kExports.size(), 67u);
    std::set<std::string> expected = kExports;
    expected.insert(kExtras.begin(), kExtras.end());

    const std::string command = "nm -D --defined-only '" ZEL_LIBRARY_PATH "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> exported;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) exported.insert(name);
    }
    ASSERT_EQ(pclose(pipe.release()), 0) << command;

    std::set<std::string> missing, extra;
    for (const auto& n : expected)
        if (!exported.count(n)) missing.insert(n);
    for (const auto& n : exported)
        if (!expected.count(n)) extra.insert(n);
    EXPECT_TRUE(missing.empty()) << "not exported:" << Join(missing);
    EXPECT_TRUE(extra.empty()) << "exported but not part of the interface:" << Join(extra);
}

class LoadedLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        handle = dlopen(ZEL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
    }
    void TearDown() override {
        if (handle != nullptr) dlclose(handle);
    }
    void* Symbol(const char* name) {
        void* sym = dlsym(handle, name);
        EXPECT_NE(sym, nullptr) << name;
        return sym;
    }
    void* handle = nullptr;
};

TEST_F(LoadedLibrary, EightPortSelectorNamesAreTheFourPortFunctions) {
    const char* pairs[][2] = {
        {"zel_SwitchSelect_LBMM_4x1", "zel_SwitchSelect_LBMM_8x1"},
        {"zel_SwitchSelect_MEMS_4x1", "zel_SwitchSelect_MEMS_8x1"},
        {"zel_ReadSwitchSelect_LBMM_4x1", "zel_ReadSwitchSelect_LBMM_8x1"},
        {"zel_ReadSwitchSelect_MEMS_4x1", "zel_ReadSwitchSelect_MEMS_8x1"},
    };
    std::set<void*> functions;
    for (const auto& pair : pairs) {
        void* four = Symbol(pair[0]);
        EXPECT_EQ(four, Symbol(pair[1])) << pair[0];
        functions.insert(four);
    }
    EXPECT_EQ(functions.size(), 4u);  // and the four pairs are four different functions
}

}  // namespace
