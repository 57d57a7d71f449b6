/*
 * A host program in plain C99: it loads the library at run time (libzel_api.so with dlopen,
 * ZEL_API.dll with LoadLibrary), resolves every export by name, starts a simulated unit
 * (zel-unit-sim) as a child process on a loopback address of its own, and drives that unit
 * through both families of the interface, failures and their reasons included.
 */
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "c_host_platform.h"
#include "zel_api.h"

/* The unit the simulator plays: values a host cannot have guessed. */
#define UNIT_BOARD_ID 4660
#define UNIT_FIRMWARE "4.2"
#define UNIT_PORT 6653

static struct {
    uint8_t (*APIAccessBoardRegister)(uint8_t, uint8_t, uint16_t, uint16_t, uint16_t*);
    uint8_t (*APIAddWavelength)(uint8_t, uint16_t);
    uint8_t (*APIConnect)(uint8_t, const char*);
    uint8_t (*APIDisconnect)(uint8_t);
    int32_t (*APIMonitor)(int32_t, uint8_t, uint8_t, double*);
    uint8_t (*APIRead4x1SwitchInsertionLoss)(uint8_t, uint16_t, double*);
    uint32_t (*APIReadBoardID)(uint8_t);
    int32_t (*APIReadBoardSN)(uint8_t);
    uint8_t (*APIReadDoubleValueFromEEProm)(uint8_t, uint16_t, double*);
    double (*APIReadFirmwareRevision)(uint8_t);
    uint8_t (*APIReadOpticalPower)(uint8_t, uint16_t, uint16_t*);
    uint8_t (*APIReadSerialNumber)(uint8_t, int64_t*, int32_t*);
    uint8_t (*APIReadSwicthSelect_2x2)(uint8_t, uint16_t, uint16_t*);
    uint8_t (*APIReadSwicthSelect_LBMM_1x4)(uint8_t, uint16_t, uint16_t*);
    uint8_t (*APIReadSwicthSelect_MEMS_1x4)(uint8_t, uint16_t, uint16_t*);
    uint8_t (*APIReadTAPCalibration)(uint8_t, uint16_t, double*);
    uint8_t (*APIReadTypeFromEEPROM)(uint8_t, uint16_t*);
    uint8_t (*APIReadUserRXCalibration)(uint8_t, uint16_t, double*);
    uint8_t (*APIReadUserTXCalibration)(uint8_t, uint16_t, double*);
    uint8_t (*APIReadVOAAttenuation)(uint8_t, uint16_t, uint16_t*);
    uint8_t (*APIReadVOACalibration)(uint8_t, uint16_t, double*);
    uint8_t (*APIReadVOADefinedValues)(uint8_t, uint16_t, uint16_t*);
    uint8_t (*APIReadVOAInsertionLoss)(uint8_t, uint16_t, double*);
    uint8_t (*APIReadValueFromEEProm)(uint8_t, uint16_t);
    uint8_t (*APIScreenControl)(uint8_t, uint16_t, uint8_t);
    uint8_t (*APISetDefaultWavelength)(uint8_t);
    uint8_t (*APISetVOAAttenuation)(uint8_t, uint16_t, int32_t);
    uint8_t (*APISetWavelength)(uint8_t, uint16_t);
    uint8_t (*APISwicthSelect_2x2)(uint8_t, uint16_t, uint16_t);
    uint8_t (*APISwicthSelect_LBMM_1x4)(uint8_t, uint16_t, uint16_t);
    uint8_t (*APISwicthSelect_MEMS_1x4)(uint8_t, uint16_t, uint16_t);
    double (*APITempRead)(uint8_t, int32_t);
    uint8_t (*APIWrite4x1SwitchInsertionLoss)(uint8_t, uint16_t, double);
    uint8_t (*APIWriteBoardSN)(uint8_t, int32_t);
    uint8_t (*APIWriteDoubleValueToEEProm)(uint8_t, uint16_t, double);
    uint8_t (*APIWriteStatusToEEProm)(uint8_t, uint16_t, uint16_t, double);
    uint8_t (*APIWriteTAPCalibration)(uint8_t, uint16_t, double);
    uint8_t (*APIWriteTypeToEEPROM)(uint8_t, uint16_t);
    uint8_t (*APIWriteUserRXCalibration)(uint8_t, uint16_t, double);
    uint8_t (*APIWriteUserTXCalibration)(uint8_t, uint16_t, double);
    uint8_t (*APIWriteVOACalibration)(uint8_t, uint16_t, const double*);
    uint8_t (*APIWriteVOADefinedValues)(uint8_t, uint16_t, const uint16_t*);
    uint8_t (*APIWriteVOAInsertionLoss)(uint8_t, uint16_t, double);
    uint8_t (*APIWriteValueToEEProm)(uint8_t, uint16_t, uint16_t);

    double (*APIGetAPIRev)(zel_instance*);
    zel_instance* (*zel_createInstance)(void);
    uint8_t (*zel_Connect)(zel_instance*, const char*);
    uint8_t (*zel_Disconnect)(zel_instance*);
    uint32_t (*zel_ReadBoardID)(zel_instance*);
    double (*zel_ReadFirmwareRevision)(zel_instance*);
    uint8_t (*zel_ReadOpticalPower)(zel_instance*, uint16_t, double*);
    uint8_t (*zel_ReadSerialNumber)(zel_instance*, int64_t*, int32_t*);
    uint8_t (*zel_ReadSwitchSelect_2x2)(zel_instance*, uint16_t, uint16_t*);
    uint8_t (*zel_ReadSwitchSelect_LBMM_4x1)(zel_instance*, uint16_t, uint16_t*);
    uint8_t (*zel_ReadSwitchSelect_LBMM_8x1)(zel_instance*, uint16_t, uint16_t*);
    uint8_t (*zel_ReadSwitchSelect_MEMS_4x1)(zel_instance*, uint16_t, uint16_t*);
    uint8_t (*zel_ReadSwitchSelect_MEMS_8x1)(zel_instance*, uint16_t, uint16_t*);
    uint8_t (*zel_ReadTypeFromEEPROM)(zel_instance*, uint16_t*);
    uint8_t (*zel_ReadVOAAttenuation)(zel_instance*, uint16_t, double*);
    uint8_t (*zel_ScreenControl)(zel_instance*, uint16_t, uint8_t);
    uint8_t (*zel_SetVOAAttenuation)(zel_instance*, uint16_t, double);
    uint8_t (*zel_SwitchSelect_2x2)(zel_instance*, uint16_t, uint16_t);
    uint8_t (*zel_SwitchSelect_LBMM_4x1)(zel_instance*, uint16_t, uint16_t);
    uint8_t (*zel_SwitchSelect_LBMM_8x1)(zel_instance*, uint16_t, uint16_t);
    uint8_t (*zel_SwitchSelect_MEMS_4x1)(zel_instance*, uint16_t, uint16_t);
    uint8_t (*zel_SwitchSelect_MEMS_8x1)(zel_instance*, uint16_t, uint16_t);
    double (*zel_TempRead)(zel_instance*, int32_t);

    void (*zel_destroyInstance)(zel_instance*);
    zel_error (*zel_LastError)(zel_instance*);
    zel_error (*APILastError)(uint8_t);
    const char* (*zel_ErrorText)(zel_error);
    uint8_t (*zel_ReadEEPromByte)(zel_instance*, uint16_t, uint8_t*);
    uint8_t (*zel_SetFrameTrace)(zel_instance*, zel_frame_trace_fn, void*);
    uint8_t (*zel_SetTimeout)(zel_instance*, uint32_t);
    uint8_t (*APISetTimeout)(uint8_t, uint32_t);
    uint8_t (*zel_GetLinkReopens)(zel_instance*, uint32_t*);
    uint8_t (*zel_SetAutoReopen)(zel_instance*, uint8_t);
    uint8_t (*zel_Cancel)(zel_instance*);
    uint8_t (*APISetFrameTrace)(uint8_t, zel_frame_trace_fn, void*);
    uint8_t (*zel_SelectWavelength)(zel_instance*, uint16_t);
    uint8_t (*zel_QuickConnect)(zel_instance*, const char*);

    uint8_t (*zel_AccessBoardRegister)(zel_instance*, uint8_t, uint16_t, uint16_t, uint16_t*);
    uint8_t (*zel_AddWavelength)(zel_instance*, uint16_t);
    uint8_t (*zel_GetChannelCount)(zel_instance*, uint8_t*);
    uint8_t (*zel_GetRecordLocation)(zel_instance*, uint8_t, uint16_t, uint32_t, uint32_t*, uint32_t*);
    uint8_t (*zel_GetWavelengths)(zel_instance*, uint16_t*, size_t, size_t*);
    uint8_t (*zel_Monitor)(zel_instance*, uint8_t, uint8_t, double*);
    uint8_t (*zel_Read4x1SwitchInsertionLoss)(zel_instance*, uint16_t, double*);
    int32_t (*zel_ReadBoardSN)(zel_instance*);
    uint8_t (*zel_ReadDoubleValueFromEEProm)(zel_instance*, uint16_t, double*);
    uint8_t (*zel_ReadEEProm)(zel_instance*, uint32_t, uint8_t*, size_t);
    uint8_t (*zel_ReadOpticalPowerCount)(zel_instance*, uint16_t, uint16_t*);
    uint8_t (*zel_ReadTAPCalibration)(zel_instance*, uint16_t, double*);
    uint8_t (*zel_ReadUserRXCalibration)(zel_instance*, uint16_t, double*);
    uint8_t (*zel_ReadUserTXCalibration)(zel_instance*, uint16_t, double*);
    uint8_t (*zel_ReadVOACalibration)(zel_instance*, uint16_t, double*);
    uint8_t (*zel_ReadVOACode)(zel_instance*, uint16_t, uint16_t*);
    uint8_t (*zel_ReadVOADefinedValues)(zel_instance*, uint16_t, uint16_t*);
    uint8_t (*zel_ReadVOAInsertionLoss)(zel_instance*, uint16_t, double*);
    uint8_t (*zel_SetDefaultWavelength)(zel_instance*);
    uint8_t (*zel_SetVOACode)(zel_instance*, uint16_t, uint16_t);
    uint8_t (*zel_SetWavelength)(zel_instance*, uint16_t);
    uint8_t (*zel_Write4x1SwitchInsertionLoss)(zel_instance*, uint16_t, double);
    uint8_t (*zel_WriteBoardSN)(zel_instance*, int32_t);
    uint8_t (*zel_WriteDoubleValueToEEProm)(zel_instance*, uint16_t, double);
    uint8_t (*zel_WriteStatusToEEProm)(zel_instance*, uint16_t, uint16_t, double);
    uint8_t (*zel_WriteTAPCalibration)(zel_instance*, uint16_t, double);
    uint8_t (*zel_WriteTypeToEEPROM)(zel_instance*, uint16_t);
    uint8_t (*zel_WriteUserRXCalibration)(zel_instance*, uint16_t, double);
    uint8_t (*zel_WriteUserTXCalibration)(zel_instance*, uint16_t, double);
    uint8_t (*zel_WriteVOACalibration)(zel_instance*, uint16_t, const double*);
    uint8_t (*zel_WriteVOADefinedValues)(zel_instance*, uint16_t, const uint16_t*);
    uint8_t (*zel_WriteVOAInsertionLoss)(zel_instance*, uint16_t, double);
    uint8_t (*zel_WriteValueToEEProm)(zel_instance*, uint16_t, uint8_t);
} zel;

static int failures;
static int resolved;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

static void resolve(void* library, const char* name, void* slot, size_t size) {
    void* symbol = host_find_export(library, name);
    if (symbol == NULL || size != sizeof symbol) {
        fprintf(stderr, "cannot resolve %s\n", name);
        ++failures;
        return;
    }
    memcpy(slot, &symbol, size);
    ++resolved;
}

/* The unevaluated conditional makes the compiler compare the slot's type with the header's
 * declaration of the function: a mismatch is a "pointer type mismatch" error under -Werror. */
#define RESOLVE(name) ((void)sizeof(1 ? &name : zel.name), resolve(library, #name, (void*)&zel.name, sizeof zel.name))

static void resolve_all(void* library) {
    RESOLVE(APIAccessBoardRegister);
    RESOLVE(APIAddWavelength);
    RESOLVE(APIConnect);
    RESOLVE(APIDisconnect);
    RESOLVE(APIMonitor);
    RESOLVE(APIRead4x1SwitchInsertionLoss);
    RESOLVE(APIReadBoardID);
    RESOLVE(APIReadBoardSN);
    RESOLVE(APIReadDoubleValueFromEEProm);
    RESOLVE(APIReadFirmwareRevision);
    RESOLVE(APIReadOpticalPower);
    RESOLVE(APIReadSerialNumber);
    RESOLVE(APIReadSwicthSelect_2x2);
    RESOLVE(APIReadSwicthSelect_LBMM_1x4);
    RESOLVE(APIReadSwicthSelect_MEMS_1x4);
    RESOLVE(APIReadTAPCalibration);
    RESOLVE(APIReadTypeFromEEPROM);
    RESOLVE(APIReadUserRXCalibration);
    RESOLVE(APIReadUserTXCalibration);
    RESOLVE(APIReadVOAAttenuation);
    RESOLVE(APIReadVOACalibration);
    RESOLVE(APIReadVOADefinedValues);
    RESOLVE(APIReadVOAInsertionLoss);
    RESOLVE(APIReadValueFromEEProm);
    RESOLVE(APIScreenControl);
    RESOLVE(APISetDefaultWavelength);
    RESOLVE(APISetVOAAttenuation);
    RESOLVE(APISetWavelength);
    RESOLVE(APISwicthSelect_2x2);
    RESOLVE(APISwicthSelect_LBMM_1x4);
    RESOLVE(APISwicthSelect_MEMS_1x4);
    RESOLVE(APITempRead);
    RESOLVE(APIWrite4x1SwitchInsertionLoss);
    RESOLVE(APIWriteBoardSN);
    RESOLVE(APIWriteDoubleValueToEEProm);
    RESOLVE(APIWriteStatusToEEProm);
    RESOLVE(APIWriteTAPCalibration);
    RESOLVE(APIWriteTypeToEEPROM);
    RESOLVE(APIWriteUserRXCalibration);
    RESOLVE(APIWriteUserTXCalibration);
    RESOLVE(APIWriteVOACalibration);
    RESOLVE(APIWriteVOADefinedValues);
    RESOLVE(APIWriteVOAInsertionLoss);
    RESOLVE(APIWriteValueToEEProm);
    RESOLVE(APIGetAPIRev);
    RESOLVE(zel_createInstance);
    RESOLVE(zel_Connect);
    RESOLVE(zel_Disconnect);
    RESOLVE(zel_ReadBoardID);
    RESOLVE(zel_ReadFirmwareRevision);
    RESOLVE(zel_ReadOpticalPower);
    RESOLVE(zel_ReadSerialNumber);
    RESOLVE(zel_ReadSwitchSelect_2x2);
    RESOLVE(zel_ReadSwitchSelect_LBMM_4x1);
    RESOLVE(zel_ReadSwitchSelect_LBMM_8x1);
    RESOLVE(zel_ReadSwitchSelect_MEMS_4x1);
    RESOLVE(zel_ReadSwitchSelect_MEMS_8x1);
    RESOLVE(zel_ReadTypeFromEEPROM);
    RESOLVE(zel_ReadVOAAttenuation);
    RESOLVE(zel_ScreenControl);
    RESOLVE(zel_SetVOAAttenuation);
    RESOLVE(zel_SwitchSelect_2x2);
    RESOLVE(zel_SwitchSelect_LBMM_4x1);
    RESOLVE(zel_SwitchSelect_LBMM_8x1);
    RESOLVE(zel_SwitchSelect_MEMS_4x1);
    RESOLVE(zel_SwitchSelect_MEMS_8x1);
    RESOLVE(zel_TempRead);
    CHECK(resolved == 67);
    RESOLVE(zel_destroyInstance);
    RESOLVE(zel_LastError);
    RESOLVE(APILastError);
    RESOLVE(zel_ErrorText);
    RESOLVE(zel_ReadEEPromByte);
    RESOLVE(zel_SetFrameTrace);
    RESOLVE(zel_SetTimeout);
    RESOLVE(APISetTimeout);
    RESOLVE(zel_GetLinkReopens);
    RESOLVE(zel_Cancel);
    RESOLVE(zel_SetAutoReopen);
    RESOLVE(APISetFrameTrace);
    RESOLVE(zel_SelectWavelength);
    RESOLVE(zel_QuickConnect);
    RESOLVE(zel_AccessBoardRegister);
    RESOLVE(zel_AddWavelength);
    RESOLVE(zel_GetChannelCount);
    RESOLVE(zel_GetRecordLocation);
    RESOLVE(zel_GetWavelengths);
    RESOLVE(zel_Monitor);
    RESOLVE(zel_Read4x1SwitchInsertionLoss);
    RESOLVE(zel_ReadBoardSN);
    RESOLVE(zel_ReadDoubleValueFromEEProm);
    RESOLVE(zel_ReadEEProm);
    RESOLVE(zel_ReadOpticalPowerCount);
    RESOLVE(zel_ReadTAPCalibration);
    RESOLVE(zel_ReadUserRXCalibration);
    RESOLVE(zel_ReadUserTXCalibration);
    RESOLVE(zel_ReadVOACalibration);
    RESOLVE(zel_ReadVOACode);
    RESOLVE(zel_ReadVOADefinedValues);
    RESOLVE(zel_ReadVOAInsertionLoss);
    RESOLVE(zel_SetDefaultWavelength);
    RESOLVE(zel_SetVOACode);
    RESOLVE(zel_SetWavelength);
    RESOLVE(zel_Write4x1SwitchInsertionLoss);
    RESOLVE(zel_WriteBoardSN);
    RESOLVE(zel_WriteDoubleValueToEEProm);
    RESOLVE(zel_WriteStatusToEEProm);
    RESOLVE(zel_WriteTAPCalibration);
    RESOLVE(zel_WriteTypeToEEPROM);
    RESOLVE(zel_WriteUserRXCalibration);
    RESOLVE(zel_WriteUserTXCalibration);
    RESOLVE(zel_WriteVOACalibration);
    RESOLVE(zel_WriteVOADefinedValues);
    RESOLVE(zel_WriteVOAInsertionLoss);
    RESOLVE(zel_WriteValueToEEProm);
}

/* ---- the simulated unit, a child process ---- */

static void stop_simulator(void) { host_stop_child(); }

/* 1 once something accepts connections at address:6653, 0 when the child exited or 10 s passed. */
static int wait_for_listener(const char* address) {
    int attempt;
    for (attempt = 0; attempt < 500; ++attempt) {
        if (host_can_connect(address, UNIT_PORT)) return 1;
        if (!host_child_running()) return 0;
        host_pause_ms(20);
    }
    return 0;
}

static void pick_loopback_address(unsigned seed, char* address, size_t size) {
    snprintf(address, size, "127.%u.%u.%u", 1 + (seed >> 8) % 254, 1 + (seed >> 16) % 254, 1 + (seed >> 24) % 254);
}

/* Starts zel-unit-sim on a fresh 127.x.y.z; writes the address into `address`. */
static int start_simulator(char* address, size_t size) {
    unsigned seed = host_seed();
    int attempt;
    for (attempt = 0; attempt < 8; ++attempt, seed = seed * 1103515245u + 12345u) {
        const char* argv[] = {ZEL_SIM_PATH, "--listen", NULL, "--board-id", "4660", "--firmware", UNIT_FIRMWARE, NULL};
        pick_loopback_address(seed, address, size);
        argv[2] = address;
        if (!host_start_child(argv)) return 0;
        if (wait_for_listener(address)) return 1;
        stop_simulator();
    }
    return 0;
}

/* The reasons a host sees when a unit cannot be reached: the operating system's socket errors
 * as the library reports them. */
static void check_connect_failures(const char* unit_address) {
    zel_instance* inst = zel.zel_createInstance();
    char nobody[32];
    unsigned seed = host_seed() * 2246822519u + 7u;
    int attempt;
    CHECK(inst != NULL);
    if (inst == NULL) return;

    CHECK(zel.zel_Connect(inst, "127.0.0.256") == 0);
    CHECK(zel.zel_LastError(inst) == ZEL_ERR_BAD_ADDRESS);
    CHECK(zel.APIConnect(5, "unit-five") == 0);
    CHECK(zel.APILastError(5) == ZEL_ERR_BAD_ADDRESS);

    /* A loopback address where nothing listens refuses at once. */
    for (attempt = 0; attempt < 8; ++attempt, seed = seed * 1103515245u + 12345u) {
        pick_loopback_address(seed, nobody, sizeof nobody);
        if (strcmp(nobody, unit_address) != 0 && !host_can_connect(nobody, UNIT_PORT)) break;
    }
    CHECK(zel.zel_Connect(inst, nobody) == 0);
    CHECK(zel.zel_LastError(inst) == ZEL_ERR_CONNECTION_REFUSED);
    CHECK(zel.zel_QuickConnect(inst, nobody) == 0);
    CHECK(zel.zel_LastError(inst) == ZEL_ERR_CONNECTION_REFUSED);
    CHECK(zel.zel_ReadBoardID(inst) == 0);
    CHECK(zel.zel_LastError(inst) == ZEL_ERR_NOT_CONNECTED);

    /* The instance is usable after the failures. */
    CHECK(zel.zel_Connect(inst, unit_address) == 1);
    CHECK(zel.zel_ReadBoardID(inst) == UNIT_BOARD_ID);
    CHECK(zel.zel_Disconnect(inst) == 1);
    /* The quick connect reaches the same unit as the connect does. */
    CHECK(zel.zel_QuickConnect(inst, unit_address) == 1);
    CHECK(zel.zel_ReadBoardID(inst) == UNIT_BOARD_ID);
    CHECK(zel.zel_Disconnect(inst) == 1);
    zel.zel_destroyInstance(inst);
}

/* ---- the two families ---- */

static void drive_unit_index_family(const char* address) {
    const uint8_t unit = 3;
    uint16_t word = 0xBEEF, back = 0, position = 0, code = 0;
    double value = 42.0;

    CHECK(zel.APIGetAPIRev(NULL) == 6926.0);
    CHECK(zel.APIConnect(unit, address) == 1);
    CHECK(zel.APILastError(unit) == ZEL_OK);
    CHECK(zel.APIReadBoardID(unit) == UNIT_BOARD_ID);
    CHECK(fabs(zel.APIReadFirmwareRevision(unit) - 4.2) < 1e-9);

    CHECK(zel.APIAccessBoardRegister(unit, 1, 2, 100, &word) == 1);
    CHECK(zel.APIAccessBoardRegister(unit, 0, 2, 100, &back) == 1);
    CHECK(back == 0xBEEF);

    CHECK(zel.APISwicthSelect_2x2(unit, 1, 1) == 1);
    CHECK(zel.APIReadSwicthSelect_2x2(unit, 1, &position) == 1 && position == 1);
    CHECK(zel.APISwicthSelect_LBMM_1x4(unit, 0, 3) == 1);
    CHECK(zel.APIReadSwicthSelect_LBMM_1x4(unit, 0, &position) == 1 && position == 3);

    CHECK(zel.APISetVOAAttenuation(unit, 2, 1234) == 1);
    CHECK(zel.APIReadVOAAttenuation(unit, 2, &code) == 1 && code == 1234);

    CHECK(zel.APIWriteValueToEEProm(unit, 0x7F00, 0x5A) == 1);

    /* No unit 32; the monitor's signed index has no modulo. */
    CHECK(zel.APIReadBoardID(32) == 0);
    CHECK(zel.APILastError(32) == ZEL_ERR_BAD_UNIT_INDEX);
    CHECK(zel.APIMonitor(-1, 0, 1, &value) == 0 && value == 42.0);

    CHECK(zel.APIDisconnect(unit) == 1);
    CHECK(zel.APIReadBoardID(unit) == 0);
    CHECK(zel.APILastError(unit) == ZEL_ERR_NOT_CONNECTED);
    CHECK(strcmp(zel.zel_ErrorText(ZEL_ERR_NOT_CONNECTED), "no link is open to the unit") == 0);
    /* In C any int is a zel_error: codes the library does not know are still answered. */
    {
        const int unknown[] = {-1, ZEL_ERR_CAPTURE + 1, 32, 1000, INT_MAX, INT_MIN};
        size_t i;
        for (i = 0; i < sizeof unknown / sizeof unknown[0]; ++i)
            CHECK(strcmp(zel.zel_ErrorText((zel_error)unknown[i]), "unknown error") == 0);
    }
}

static void count_frame(void* user, int direction, const uint8_t* bytes, size_t length) {
    int* counts = (int*)user;
    (void)bytes;
    if (direction == ZEL_FRAME_SENT && length == 128) ++counts[0];
    if (direction == ZEL_FRAME_RECEIVED && length > 0) ++counts[1];
}

static void drive_instance_family(const char* address) {
    zel_instance* inst = zel.zel_createInstance();
    uint16_t position = 0;
    uint8_t byte = 0;
    double db = 0.0;
    int counts[2] = {0, 0};

    CHECK(inst != NULL);
    if (inst == NULL) return;
    CHECK(zel.APIGetAPIRev(inst) == 6926.0);
    CHECK(zel.zel_SetTimeout(NULL, 5000) == 0);
    CHECK(zel.zel_SetTimeout(inst, 5000) == 1);
    CHECK(zel.APISetTimeout(32, 5000) == 0);
    CHECK(zel.APILastError(32) == ZEL_ERR_BAD_UNIT_INDEX);
    CHECK(zel.zel_Connect(inst, address) == 1);
    CHECK(zel.zel_LastError(inst) == ZEL_OK);
    {
        uint32_t reopens = 99;
        CHECK(zel.zel_GetLinkReopens(inst, &reopens) == 1 && reopens == 0);
        CHECK(zel.zel_SetAutoReopen(inst, 1) == 1);
        /* A cancel with no call in flight touches nothing: the next call goes through. */
        CHECK(zel.zel_Cancel(NULL) == 0);
        CHECK(zel.zel_Cancel(inst) == 1);
    }
    CHECK(zel.zel_ReadBoardID(inst) == UNIT_BOARD_ID);
    CHECK(fabs(zel.zel_ReadFirmwareRevision(inst) - 4.2) < 1e-9);

    CHECK(zel.zel_SetFrameTrace(inst, count_frame, counts) == 1);
    CHECK(zel.zel_SwitchSelect_2x2(inst, 1, 0) == 1);
    CHECK(zel.zel_ReadSwitchSelect_2x2(inst, 1, &position) == 1 && position == 0);
    CHECK(counts[0] == 2 && counts[1] == 2);
    CHECK(zel.zel_SetFrameTrace(inst, NULL, NULL) == 1);

    CHECK(zel.zel_SwitchSelect_MEMS_4x1(inst, 0, 5) == 1);
    CHECK(zel.zel_ReadSwitchSelect_MEMS_8x1(inst, 0, &position) == 1 && position == 5);
    CHECK(zel.zel_SwitchSelect_LBMM_8x1(inst, 0, 2) == 1);
    CHECK(zel.zel_ReadSwitchSelect_LBMM_4x1(inst, 0, &position) == 1 && position == 2);

    CHECK(zel.zel_SetVOAAttenuation(inst, 2, 5.0) == 1);
    CHECK(zel.zel_ReadVOAAttenuation(inst, 2, &db) == 1 && fabs(db - 5.0) < 0.05);

    /* The byte the unit-index family wrote before it disconnected. */
    CHECK(zel.zel_ReadEEPromByte(inst, 0x7F00, &byte) == 1 && byte == 0x5A);

    CHECK(zel.zel_Disconnect(inst) == 1);
    CHECK(zel.zel_Disconnect(inst) == 0);
    CHECK(zel.zel_LastError(inst) == ZEL_ERR_NOT_CONNECTED);
    zel.zel_destroyInstance(inst);
}

int main(void) {
    char address[32];
    char why[256] = "";
    void* library = host_load_library(ZEL_LIBRARY_PATH, why, sizeof why);
    if (library == NULL) {
        fprintf(stderr, "cannot load %s: %s\n", ZEL_LIBRARY_PATH, why);
        return 1;
    }
    resolve_all(library);
    if (failures != 0) return 1;

    if (!start_simulator(address, sizeof address)) {
        fprintf(stderr, "cannot start %s\n", ZEL_SIM_PATH);
        return 1;
    }
    atexit(stop_simulator);
    drive_unit_index_family(address);
    drive_instance_family(address);
    check_connect_failures(address);
    stop_simulator();
    host_unload_library(library);

    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("C host: %d exports resolved, both families drove the unit at %s\n", resolved, address);
    return 0;
}
