// ZEL_API: the instrument object of one test unit.
//
// One instance owns the unit's link, knows the board type and the channel layout that follows from
// it, and keeps the calibration in use (active arrays) and the calibration read at connect time
// (cache, per wavelength slot). The instance family of exports calls its 57 virtual operations
// through the virtual table, the unit-index family calls the entries directly.
//
// The order of the virtual operations is a binary contract: hosts that hold an instance pointer
// reach the operations by their place in the virtual table. The destructor comes first, then the
// operations in their numbered order below. Never reorder, insert or remove one, and never make
// an ordinary operation virtual; a new virtual operation may only be appended after the last.
// tests/api/exports_test.cpp pins every place.
//
// The implementation is split by concern: session.cpp, eeprom.cpp, switches.cpp, registers.cpp,
// voa.cpp, power.cpp, wavelengths.cpp.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "instrument/unit_map.h"
#include "transport/hw_layer.h"
#include "transport/platform.h"
#include "zel_api.h"

namespace zel::transport {
class LinkCapture;
}

class ZEL_API {
public:
    static constexpr std::uint16_t kUnitPort = 6653;
    static constexpr int kSelects = 8;
    static constexpr int kSlots = zel::layout::kSlotCount;
    static constexpr int kDefinedValues = 30;
    static constexpr unsigned kSettleMs = 10;

    // The calibration of one select at one wavelength slot: the TAP factor that scales its power
    // readings and the four coefficients of its VOA curve, each with a mark saying that the value
    // is not calibration (read from erased EEPROM or by a failed read, or a slot added since the
    // last scan). A marked value is kept as read: the host still gets it back.
    struct ChannelCalibration {
        double tap = 0.0;
        std::array<double, 4> voa{};
        bool tap_uncalibrated = false;
        std::array<bool, 4> voa_uncalibrated{};

        // Whether any of the four VOA coefficients is not calibration.
        bool VOAUncalibrated() const {
            return std::find(voa_uncalibrated.begin(), voa_uncalibrated.end(), true) != voa_uncalibrated.end();
        }
        // Marks every value as not calibration and keeps the values.
        void MarkUncalibrated() {
            tap_uncalibrated = true;
            voa_uncalibrated.fill(true);
        }
    };

    ZEL_API();
    virtual ~ZEL_API();
    ZEL_API(const ZEL_API&) = delete;
    ZEL_API& operator=(const ZEL_API&) = delete;

    // ---- virtual operations, in virtual-table order (a binary contract: see above) ----
    virtual double GetAPIRev();                                                       // 1
    virtual std::uint8_t Connect(std::string ip);                                     // 2
    virtual std::uint8_t Disconnect();                                                // 3
    virtual std::uint32_t ReadBoardID();                                              // 4
    virtual std::int32_t ReadBoardSN();                                               // 5
    virtual std::uint8_t ReadSerialNumber(std::int64_t* serial, std::int32_t* flag);  // 6
    virtual std::uint8_t WriteBoardSN(std::int32_t serial);                           // 7
    virtual double ReadFirmwareRevision();                                            // 8
    virtual std::uint8_t AccessBoardRegister(std::uint8_t write, std::uint16_t channel, std::uint16_t address,
                                             std::uint16_t* value);                                         // 9
    virtual std::int32_t Monitor(std::uint16_t group, std::uint8_t record, double* value);                  // 10
    virtual double TempRead(std::int32_t select);                                                           // 11
    virtual std::uint8_t WriteScaledRecord(std::uint16_t group, std::uint16_t record, double value);        // 12
    virtual std::uint8_t WriteStatusToEEProm(std::uint16_t group, std::uint16_t record, double value);      // 13
    virtual std::uint8_t WriteRawDoubleAtAddress(std::uint32_t address, double value);                      // 14
    virtual std::int32_t ReadBlockWord(std::uint32_t address, std::uint16_t* word);                         // 15
    virtual std::uint8_t ReadRawRecord(std::uint16_t group, std::uint16_t record, double* value);           // 16
    virtual std::uint8_t ReadScaledRecord(std::uint16_t group, std::uint16_t record, double* value);        // 17
    virtual std::vector<std::int32_t> SplitNumbers(std::string text, char delimiter);                       // 18
    virtual std::uint8_t SwitchSelect_2x2(std::uint16_t channel, std::uint16_t position);                   // 19
    virtual std::uint8_t SwitchSelect_MEMS(std::uint16_t ignored, std::uint16_t position);                  // 20
    virtual std::uint8_t SwitchSelect_LBMM(std::uint16_t ignored, std::uint16_t position);                  // 21
    virtual std::uint8_t ReadSwitchSelect_2x2(std::uint16_t channel, std::uint16_t* position);              // 22
    virtual std::uint8_t ReadSwitchSelect_MEMS(std::uint16_t ignored, std::uint16_t* position);             // 23
    virtual std::uint8_t ReadSwitchSelect_LBMM(std::uint16_t ignored, std::uint16_t* position);             // 24
    virtual std::uint8_t ReadOpticalPower(std::uint16_t channel, double* power);                            // 25
    virtual std::uint8_t ReadOpticalPower(std::uint16_t channel, std::uint16_t* power);                     // 26
    virtual std::uint8_t SetVOAAttenuation(std::uint16_t channel, double db);                               // 27
    virtual std::uint8_t SetVOAAttenuation(std::uint16_t channel, std::int32_t code);                       // 28
    virtual std::uint8_t ReadVOAAttenuation(std::uint16_t channel, double* db);                             // 29
    virtual std::uint8_t ReadVOAAttenuation(std::uint16_t channel, std::uint16_t* code);                    // 30
    virtual std::uint8_t WriteTypeToEEPROM(std::uint16_t type);                                             // 31
    virtual std::uint8_t ReadTypeFromEEPROM(std::uint16_t* type);                                           // 32
    virtual std::uint8_t SetWavelength(std::uint16_t wavelength);                                           // 33
    virtual std::uint8_t AddWavelength(std::uint16_t wavelength);                                           // 34
    virtual std::uint8_t SetDefaultWavelength();                                                            // 35
    virtual std::uint8_t WriteVOACalibration(std::uint16_t channel, const double* coefficients);            // 36
    virtual std::uint8_t ReadVOACalibration(std::uint16_t channel, double* coefficients);                   // 37
    virtual std::uint8_t WriteVOADefinedValues(std::uint16_t channel, const std::uint16_t* values);         // 38
    virtual std::uint8_t ReadVOADefinedValues(std::uint16_t channel, std::uint16_t* values);                // 39
    virtual std::uint8_t ReadTAPCalibration(std::uint16_t channel, double* factor);                         // 40
    virtual std::uint8_t WriteVOAInsertionLoss(std::uint16_t channel, double loss);                         // 41
    virtual std::uint8_t ReadVOAInsertionLoss(std::uint16_t channel, double* loss);                         // 42
    virtual std::uint8_t Write4x1SwitchInsertionLoss(std::uint16_t channel, double loss);                   // 43
    virtual std::uint8_t Read4x1SwitchInsertionLoss(std::uint16_t channel, double* loss);                   // 44
    virtual std::uint8_t ScreenControl(std::uint16_t ignored, std::uint8_t control);                        // 45
    virtual std::uint8_t WriteValueToEEProm(std::uint16_t address, std::uint16_t value);                    // 46
    virtual std::uint8_t ReadValueFromEEProm(std::uint16_t address);                                        // 47
    virtual std::uint8_t WriteDoubleValueToEEProm(std::uint16_t address, double value);                     // 48
    virtual std::uint8_t ReadDoubleValueFromEEProm(std::uint16_t address, double* value);                   // 49
    virtual std::uint8_t WriteUserTXCalibration(std::uint16_t channel, double value);                       // 50
    virtual std::uint8_t ReadUserTXCalibration(std::uint16_t channel, double* value);                       // 51
    virtual std::uint8_t WriteUserRXCalibration(std::uint16_t channel, double value);                       // 52
    virtual std::uint8_t ReadUserRXCalibration(std::uint16_t channel, double* value);                       // 53
    virtual std::string MakeDateStamp();                                                                    // 54
    virtual std::uint16_t InvertVOACalibration(double c0, double c1, double c2, double c3, double target);  // 55
    virtual std::uint8_t LoadCalibrations();                                                                // 56
    virtual std::uint8_t ScanWavelengths(std::uint8_t force);                                               // 57

    // ---- ordinary operations ----
    // Connect's outcome and state, with the board-type record and the slots' table entries read by
    // block reads instead of byte by byte with settling pauses.
    std::uint8_t QuickConnect(std::string ip);
    std::uint8_t WriteTAPCalibration(std::uint16_t channel, double factor);
    // The EEPROM byte that the last ReadValueFromEEProm delivered.
    std::uint8_t LastEepromByte() const { return eeprom_byte_; }
    // `length` EEPROM bytes from `address` (within the 128 KiB) by 128-byte block reads, no settling;
    // `buffer` is written only when every block arrived. Refuses a range beyond the EEPROM.
    std::uint8_t ReadEepromRange(std::uint32_t address, std::uint8_t* buffer, std::size_t length);
    // The wavelength each used slot serves, slot 0's being the board type's default (0 if unknown).
    std::uint8_t WavelengthTable(std::vector<std::uint16_t>& nm);
    // Address and size of calibration item `item` (ZEL_RECORD_...) of a channel in a slot.
    std::uint8_t RecordLocation(std::uint8_t slot, std::uint16_t channel, std::uint32_t item, std::uint32_t* address,
                                std::uint32_t* length);
    // The calibrated channel count of the board type read last; fails before any was read.
    std::uint8_t GetChannelCount(std::uint8_t* count);
    // The board type read last, without traffic; fails before any was read.
    std::uint8_t GetBoardType(std::uint16_t* type);
    // The 2x2, MEMS and LBMM port counts of the board type read last (0 for an unknown type); fails
    // before any was read.
    std::uint8_t GetSwitchPorts(std::uint8_t* two_by_two, std::uint8_t* mems, std::uint8_t* lbmm);
    // A register of bank `select` (0..15) itself, whatever the channel layout; the status field
    // is left as it is, as for AccessBoardRegister.
    std::uint8_t AccessRegisterBank(std::uint8_t write, std::uint16_t select, std::uint16_t address,
                                    std::uint16_t* value);
    static constexpr std::uint32_t kEepromSize = 0x20000;

    // ---- diagnostics ----
    zel_error LastError() const { return link_.LastError(); }
    void ClearLastError() { link_.ClearLastError(); }
    void RecordError(zel_error e) { link_.RecordError(e); }
    void SetFrameTrace(FrameTraceFn fn, void* user) { link_.SetFrameTrace(fn, user); }
    // Captures the link's frames to the pcapng file at `path` (shared with other instances
    // capturing to it), beside the frame trace; a running capture to another path is stopped
    // first, one to the same path goes on. Fails (ZEL_ERR_CAPTURE) when the file cannot be opened.
    std::uint8_t StartCapture(const char* path);
    // Ends the capture (its open connection closed in the file) once its frames are written;
    // fails (ZEL_ERR_CAPTURE) when part of the file could not be written. 1 without a capture.
    std::uint8_t StopCapture();
    bool Capturing() const { return capture_ != nullptr; }

    // ---- inspection (tests, tools) ----
    const std::vector<std::int32_t>& Layout() const { return layout_; }
    std::int32_t PortCount() const { return port_count_; }
    std::int32_t ChannelCount() const { return channel_count_; }
    std::int32_t BoardType() const { return board_type_; }
    std::uint32_t BoardIdField() const { return board_id_; }
    const std::string& IpAddress() const { return ip_; }
    std::uint8_t StatusField() const { return status_; }
    std::int32_t ResultField() const { return result_; }
    std::int32_t CurrentSlot() const { return current_slot_; }
    std::uint8_t CacheValid() const { return cache_valid_; }
    const std::vector<std::int32_t>& Wavelengths() const { return wavelengths_; }
    const double* ActiveVOA(int select) const { return active_[select].voa.data(); }
    double ActiveTAP(int select) const { return active_[select].tap; }
    double CachedTAP(int slot, int select) const { return cache_[slot][select].tap; }
    const double* CachedVOA(int slot, int select) const { return cache_[slot][select].voa.data(); }
    // Whether a select's TAP factor / VOA coefficients (any of the four) in use, or cached for a
    // slot, are not calibration (see ChannelCalibration).
    bool ActiveTAPUncalibrated(int select) const { return active_[select].tap_uncalibrated; }
    bool ActiveVOAUncalibrated(int select) const { return active_[select].VOAUncalibrated(); }
    bool CachedTAPUncalibrated(int slot, int select) const { return cache_[slot][select].tap_uncalibrated; }
    bool CachedVOAUncalibrated(int slot, int select) const { return cache_[slot][select].VOAUncalibrated(); }
    HwLayer& Link() { return link_; }
    // Sets the board type and rebuilds the layout as a successful type read would.
    void AdoptBoardType(std::int32_t type);

    // The calibration polynomial of the current board type at a VOA code.
    double Attenuation(const double* c, double code) const;

private:
    // How the connect-time scan reads the EEPROM items it needs besides the calibration blocks (the
    // board-type record, the slots' table entries): byte by byte through the address and data
    // registers with the record settling pauses, as Connect always has, or each by one block read.
    enum class EepromItems { Settled, Blocks };
    std::uint8_t ConnectWith(std::string ip, EepromItems items);
    // The forced scan of every used slot into the cache, then LoadCalibrationsWith(items).
    std::uint8_t ScanSlots(EepromItems items);
    std::uint8_t LoadCalibrationsWith(EepromItems items);
    // The table entry of slot `slot` at `base`: slot 0's is the board type (adopted), the others'
    // the wavelength word, high byte first.
    bool ReadTableEntry(EepromItems items, int slot, std::uint16_t base, std::int32_t& entry);
    // ReadTypeFromEEPROM, by the means `items` names.
    std::uint8_t ReadBoardType(EepromItems items, std::uint16_t* type);
    // A board-type record's `value` as ReadTypeFromEEPROM hands it out: the status field takes
    // `ok`, `type` the truncated value, and the type is adopted when `ok`.
    std::uint8_t TakeBoardType(bool ok, double value, std::uint16_t* type);
    void RebuildLayout();
    // The select of a channel, or nothing (recorded as "no such channel") when the layout has no entry.
    std::optional<std::uint16_t> SelectOf(std::uint16_t channel);
    std::uint8_t RecordStatus(bool ok) {
        status_ = ok ? 1 : 0;
        return status_;
    }
    // Whether an operation keeps its outcome in the status field.
    enum class Status { Recorded, Untouched };
    // Runs `op(select)` on the select of `channel` and returns 1 when it succeeded, else 0. A
    // channel without a layout entry fails before anything is sent (ZEL_ERR_NO_SUCH_CHANNEL, or
    // ZEL_ERR_NOT_CONNECTED before the first connect). Status::Recorded puts the outcome, that
    // failure included, into the status field; Status::Untouched leaves the field as it was.
    template <class Op>
    std::uint8_t OnChannel(std::uint16_t channel, Status status, Op op) {
        const auto select = SelectOf(channel);
        const bool ok = select && op(*select);
        return status == Status::Recorded ? RecordStatus(ok) : (ok ? 1 : 0);
    }
    bool ReadRegister(std::uint16_t select, std::uint16_t address, std::uint16_t& value) {
        return link_.AccessRegister(0, select, address, value);
    }
    bool WriteRegister(std::uint16_t select, std::uint16_t address, std::uint16_t value) {
        return link_.AccessRegister(1, select, address, value);
    }
    // The unit's settling pause before or after an EEPROM byte or a power sample; skipped once
    // the current call has failed on its link.
    void Settle(unsigned ms);
    // One EEPROM byte through the address and data registers.
    bool WriteEepromByte(std::uint16_t select, std::uint16_t address, std::uint8_t byte);
    // `delay_between_ms` settles the EEPROM between the address write and the data read.
    bool ReadEepromByte(std::uint16_t select, std::uint16_t address, std::uint8_t& byte, unsigned delay_between_ms = 0);
    // Eight bytes at consecutive (16-bit wrapping) EEPROM addresses, with the settling delays given.
    bool WriteEepromBytes(std::uint16_t select, std::uint16_t address, const std::uint8_t* bytes,
                          unsigned delay_after_ms);
    bool ReadEepromBytes(std::uint16_t address, std::uint8_t* bytes, unsigned delay_between_ms,
                         unsigned delay_after_ms);
    // The 8 bytes of record (group, record), 16 exchanges with the record settling delays.
    bool ReadRecordBytes(std::uint16_t group, std::uint16_t record, std::uint8_t* bytes);
    // The scaled record of a channel's item at record `offset` (select 0's entry, one record per
    // select) of the current slot; the outcome goes into the status field.
    std::uint8_t WriteSlotScaled(std::uint16_t channel, int offset, double value);
    std::uint8_t ReadSlotScaled(std::uint16_t channel, int offset, double* value);
    // A channel's user TX or RX value (`base`: zel::layout::kUserTXBase or kUserRXBase), which
    // leaves the status field alone.
    std::uint8_t WriteUserValue(std::uint16_t base, std::uint16_t channel, double value);
    std::uint8_t ReadUserValue(std::uint16_t base, std::uint16_t channel, double* value);
    // Refuses 0xFFFF, the free-slot marker, and reads the wavelength table unless it is known.
    bool ReadTableFor(std::uint16_t wavelength);
    // Selects the added slot (1..5) that serves `wavelength`; false when none does.
    bool SelectAddedSlot(std::uint16_t wavelength);
    // The sum of the power samples of `select`; `full_scale`, when given, tells whether a sample
    // read was at the top of the reading.
    std::uint8_t ReadPowerSum(std::uint16_t select, std::uint32_t& sum, bool* full_scale = nullptr);
    // Files the calibration of every select of `slot` into the cache from `scan`: the slot's bytes
    // from its first TAP factor on, as the scan's block reads deliver them.
    void FileSlotCalibration(int slot, const std::uint8_t* scan);
    // Refuses (ZEL_ERR_NOT_CALIBRATED) a select whose active VOA or TAP calibration is not calibration.
    bool RequireVOACalibration(std::uint16_t select);
    bool RequireTAPCalibration(std::uint16_t select);
    // Record number of the calibration item at record `offset` of the current wavelength slot,
    // computed in 32 bits and cut to 16 bits.
    std::uint16_t SlotRecord(int offset) const { return static_cast<std::uint16_t>(256 * current_slot_ + offset); }
    // EEPROM address of VOA defined value j of a select in the current slot (16-bit arithmetic).
    std::uint16_t DefinedValueAddress(std::uint16_t select, int j) const {
        return static_cast<std::uint16_t>(zel::layout::kSlotBase + zel::layout::kSlotSize * current_slot_ +
                                          zel::layout::kDefinedValuesInSlot +
                                          zel::layout::kDefinedValuesPerSelect * select + 2 * j);
    }

    std::vector<std::int32_t> layout_;
    std::int32_t port_count_ = 0;
    std::int32_t channel_count_ = 0;
    HwLayer link_;
    std::string ip_;
    std::uint32_t board_id_ = 0;
    std::int32_t result_ = 0;
    std::uint8_t status_ = 0;
    std::uint8_t eeprom_byte_ = 0;
    // The calibration in use, per select.
    std::array<ChannelCalibration, kSelects> active_{};
    std::int32_t board_type_ = 0;
    std::int64_t clock_reading_ = 0;
    std::tm broken_down_{};
    char date_text_[32] = {};
    zel::platform::SystemTime system_time_{};
    std::int32_t current_slot_ = 0;
    std::uint8_t cache_valid_ = 0;
    std::vector<std::int32_t> wavelengths_;
    // The calibration the scan read, per wavelength slot and select.
    std::array<std::array<ChannelCalibration, kSelects>, kSlots> cache_{};
    std::unique_ptr<zel::transport::LinkCapture> capture_;
};
