/*
 * zel_api.h - host interface of the fibre-optic test unit library.
 *
 * The library drives test units over TCP (port 6653, one connection per unit). A unit carries,
 * per channel, a variable optical attenuator (VOA) and an optical power monitor behind a tap,
 * 2x2 optical switches, a MEMS and an LBMM selector switch, a temperature sensor, a front-panel
 * screen and an EEPROM holding its board type, its calibration for up to six wavelengths and
 * values the host stores for itself.
 *
 * Two families of functions reach a unit:
 *
 *   - API...   The first argument is a unit index into the library's table of 32 units. The
 *              index is an 8-bit value (a host's wider value arrives modulo 256), except for
 *              APIMonitor, which takes a signed 32-bit index. Valid indexes are 0..31; any
 *              other index fails.
 *   - zel_...  The first argument is an instance from zel_createInstance (plus APIGetAPIRev,
 *              which also takes an instance).
 *
 * Which family to use: the instance family is complete. Every operation of the unit-index
 * family has an instance form (see "Groups and pairs" below), and the instance family adds
 * what a host otherwise had to know itself: the channel count, the wavelength table, block
 * reads of the EEPROM and where each calibration record lies. New hosts use instances only, one per unit
 * and so one link per unit. The unit-index family stays, unchanged and with its historical
 * names (APISwicthSelect_2x2, APIReadDoubleValueFromEEProm, ...), for existing hosts.
 *
 * Groups and pairs
 *   The declarations are grouped by concern: instances and connection; identity and EEPROM
 *   records; switches; registers, monitor, temperature and screen; VOA; optical power and
 *   calibration; wavelengths; EEPROM bytes and blocks; errors, time-outs and trace. An operation
 *   both families offer has one comment, then its instance form, then its unit-index form right
 *   below it. The instance form behaves as the unit-index form does on a table entry: same
 *   exchanges, same status and out-values (after a failure too), same reasons, except where the
 *   comment says the two differ. A function only one family has stands alone. "The last error"
 *   is zel_LastError for an instance and APILastError for a unit index.
 *
 *   Names: the misspelt "Swicth" of six unit-index functions (APISwicthSelect_2x2,
 *   APIReadSwicthSelect_MEMS_1x4, ...) is the interface's own: existing hosts bind to those names,
 *   so they stay. Their instance forms are spelt right (zel_SwitchSelect_2x2, ...). Where the
 *   zel_ name was taken by a calibrated (dB, microwatt) form, the raw form is named for what it
 *   carries (zel_SetVOACode, zel_ReadVOACode, zel_ReadOpticalPowerCount).
 *
 * Channel index: the host's channel number (0..7). The board's channel layout maps it to the
 * register bank ("select") of that channel; it is known after a successful connect. A channel
 * the layout has no entry for fails with ZEL_ERR_NO_SUCH_CHANNEL.
 *
 * Results and error handling
 *   Most functions return a status: 1 for success, 0 for failure. Functions that return a value
 *   document the value they return on failure. After a 0 (or a failure value), the reason is
 *   available from the last error; every call on a unit clears it first, so after a success it
 *   is ZEL_OK. zel_ErrorText turns a code into English. When the unit index names no unit, or
 *   when the instance, an out-pointer, an array or an IP string is null, the call fails at once:
 *   it returns the failure result, writes nothing and sends nothing. No C++ exception ever
 *   leaves the library; an unexpected internal failure returns the failure result with
 *   ZEL_ERR_INTERNAL.
 *
 *   A status of 1 always comes with ZEL_OK as the last error, and a status of 0 never does: an
 *   operation of several exchanges reports 1 only when every exchange went through.
 *
 *   Out-parameters after a failure. Each function's comment says where it departs from this:
 *     - Refused before the unit is reached (no such unit index, a null instance or pointer,
 *       ZEL_ERR_BUSY): nothing is written.
 *     - Refused by the operation before anything is sent (a channel without a layout entry, an
 *       argument outside its range, a channel without calibration): out-parameters are not
 *       written, except the zeros that zel_GetChannelCount, zel_GetSwitchPorts,
 *       zel_GetWavelengths and zel_GetRecordLocation write first.
 *     - Out-values after a failed exchange (ZEL_ERR_TIMEOUT, ZEL_ERR_PEER_CLOSED, ...): read
 *       functions still write every out-parameter (every element of an out-array), computed
 *       as on success from what the failed register reads delivered, which is the content of an
 *       earlier reply: a register read leaves an earlier reply's word, an EEPROM record read
 *       what the delivered bytes decode to. Such values mean nothing; check the status.
 *       zel_ReadEEProm and zel_GetWavelengths write nothing then (zel_GetWavelengths: `count` 0).
 *   Value results (board ID, serial number, firmware revision, temperature, API revision) have
 *   a failure value of their own. Where that value is also a real reading (0 from
 *   zel_ReadBoardID and APIReadBoardID; any number from zel_ReadBoardSN and APIReadBoardSN),
 *   only the last error tells a failure apart: check it after every such call.
 *
 *   EEPROM addresses: byte addresses of the unit-index family are 16-bit (0x0000..0xFFFF, the
 *   EEPROM's first 64 KiB); an 8-byte value at `address` occupies address .. address + 7,
 *   wrapping from 0xFFFF to 0x0000. A record (`group`, `record`) starts at
 *   ((96 x group + record + 1024) x 8) mod 65536: record r of group 0 at 0x2000 + 8 r, each
 *   group 96 records (768 bytes) further.
 *
 *   Scaled record range: a scaled 8-byte record holds value x 10^12 as a 64-bit integer, least
 *   significant byte first, so it holds 0 up to (not including) 9223372.036854775808 in steps of
 *   10^-12. A write given a value outside that range (negative, infinite, 9223372.036854775808
 *   or larger, or NaN) fails with ZEL_ERR_BAD_ARGUMENT and nothing is written. A stored pattern whose top byte
 *   is 0x80 or more (no value a write accepts) reads as -9223372.036854775808.
 *
 * Thread safety
 *   The library starts no thread and takes no lock, except while a capture runs
 *   (zel_StartCapture): its file is written by a thread of its own. Different units (table entries or created
 *   instances) share nothing and may be driven from different threads at the same time. Calls
 *   on one unit do not overlap: a call on a unit that another thread is inside a call on fails
 *   at once, without waiting and without touching the unit, with the failure result and
 *   ZEL_ERR_BUSY. That reason is kept for the refused thread only (its zel_LastError or
 *   APILastError for that unit says ZEL_ERR_BUSY until its next call on the unit); the thread
 *   inside the call, and its result and reason, are not disturbed. Asking for the last error
 *   (zel_LastError, APILastError) and zel_ErrorText may be called from any thread at any time,
 *   and so may zel_Cancel, which ends the call in flight on an instance (also from a signal
 *   handler).
 *
 * Blocking and time-outs
 *   Every call is synchronous on the caller's thread. Each unit has one time-out (100 s unless
 *   set with zel_SetTimeout or APISetTimeout) that bounds the connect, the sending of each
 *   request and the wait for each reply. Once one exchange of a call has timed out or found the
 *   link closed, the rest of that call fails at once without sending anything (the reason stays
 *   ZEL_ERR_TIMEOUT or ZEL_ERR_PEER_CLOSED), so a call against a unit that stops answering
 *   returns after about one time-out plus the settling pauses it has made; zel_Cancel, from
 *   another thread or a signal handler, ends it sooner. EEPROM record
 *   transfers pause 10 ms at a time to let the EEPROM settle, so storing or reading a
 *   calibration value through its record function takes tens of milliseconds. Single-byte reads
 *   (zel_ReadEEPromByte) make no pause, and zel_ReadEEProm reads 128 bytes per exchange with no
 *   pause, so reading calibration areas whole is the fast way.
 *
 * Link recovery
 *   Each exchange takes the unit's whole reply. A reply that times out, ends early, is followed
 *   by bytes that belong to no request, or is not a register reply where one is expected fails
 *   the call and puts the link out of step; the next call on the unit reopens the connection to
 *   the same address before it sends anything, so a late or repeated reply is never taken as
 *   the answer to a later request. zel_Connect / APIConnect starts afresh in any case. A unit
 *   that closed the link between calls (it restarted) is reopened the same way; an instance
 *   counts its reopens (zel_GetLinkReopens) and may leave them to the host (zel_SetAutoReopen).
 */
#ifndef ZEL_API_H
#define ZEL_API_H

#include <stddef.h>
#include <stdint.h>

/* ZEL_API_VERSION_MAJOR, _MINOR, _PATCH, ZEL_API_VERSION (10000 x major + 100 x minor + patch)
 * and ZEL_API_VERSION_STRING: the version of the library this header belongs to. */
#include "zel_api_version.h"

#if defined(_WIN32)
#if defined(ZEL_API_BUILDING)
#define ZEL_EXPORT __declspec(dllexport)
#else
#define ZEL_EXPORT __declspec(dllimport)
#endif
#else
#define ZEL_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Why the last call on an instance failed (see zel_LastError / APILastError). */
typedef enum zel_error {
    ZEL_OK = 0,                     /**< the last call succeeded */
    ZEL_ERR_NOT_CONNECTED = 1,      /**< no link is open to the unit */
    ZEL_ERR_BAD_ADDRESS = 2,        /**< the IP address is not an IPv4 dotted quad */
    ZEL_ERR_CONNECTION_REFUSED = 3, /**< nothing accepts connections at that address */
    ZEL_ERR_CONNECT_FAILED = 4,     /**< the connection could not be made for another reason */
    ZEL_ERR_TIMEOUT = 5,            /**< the unit did not answer within the link's time-out */
    ZEL_ERR_PEER_CLOSED = 6,        /**< the unit closed the link */
    ZEL_ERR_SHORT_REPLY = 7,        /**< the reply ended before the bytes the request needs */
    ZEL_ERR_SEND_FAILED = 8,        /**< the request frame could not be sent whole */
    ZEL_ERR_SOCKET = 9,             /**< the operating system refused a socket operation */
    ZEL_ERR_NO_SUCH_CHANNEL = 10,   /**< the channel index has no entry in the board's channel layout */
    ZEL_ERR_BAD_ARGUMENT = 11,      /**< a null pointer or a value outside the accepted range */
    ZEL_ERR_BAD_UNIT_INDEX = 12,    /**< the unit index names no entry of the instance table (0..31) */
    ZEL_ERR_NOT_FOUND = 13,         /**< the wavelength (or VOA code) asked for does not exist */
    ZEL_ERR_TABLE_FULL = 14,        /**< all six wavelength slots are in use */
    ZEL_ERR_INTERNAL = 15,          /**< an unexpected internal failure (out of memory, ...) */
    ZEL_ERR_NOT_CALIBRATED = 16,    /**< the channel's calibration at this wavelength is erased */
    ZEL_ERR_BUSY = 17,              /**< another thread is using this unit right now */
    ZEL_ERR_BAD_REPLY = 18,         /**< the unit's reply cannot be the answer to the request (bytes beyond
                                         it, or not a register reply); the link is reopened */
    ZEL_ERR_OVER_RANGE = 19,        /**< a power sample was at full scale (65535): the light is stronger than
                                         the detector reads, the figure handed back is a lower bound */
    ZEL_ERR_CANCELLED = 20,         /**< zel_Cancel ended the call; the link is reopened by the next call */
    ZEL_ERR_CAPTURE = 21            /**< the capture file cannot be opened, or part of it could not be
                                         written (see zel_StartCapture) */
} zel_error;

/** A unit made by zel_createInstance. Opaque: the host only passes the pointer back. */
typedef struct zel_instance zel_instance;

/* ======================================================================================== */
/* Instances and connection                                                                  */
/* ======================================================================================== */

/** A new, unconnected unit instance, or null when no memory is available. The host owns it;
 *  zel_destroyInstance releases it. */
ZEL_EXPORT zel_instance* zel_createInstance(void);

/** Close the link of an instance made by zel_createInstance and release it. Null is ignored.
 *  The pointer is invalid afterwards. Never pass a pointer that did not come from
 *  zel_createInstance. */
ZEL_EXPORT void zel_destroyInstance(zel_instance* instance);

/** Open the link to the unit at IPv4 address `ip` (dotted quad), read its board ID, board type
 *  and the calibration of every wavelength it holds, and select the default wavelength.
 *  Status 1 when all of that succeeded, 0 when any of it failed. */
ZEL_EXPORT uint8_t zel_Connect(zel_instance* instance, const char* ip);
ZEL_EXPORT uint8_t APIConnect(uint8_t unit, const char* ip);

/** As zel_Connect, only faster: the same status, reasons and state afterwards (board ID, board
 *  type and channel layout, wavelength table, the calibration read for every wavelength and the
 *  active calibration, the default wavelength selected), but the board-type record and the
 *  wavelength table entries are read with 128-byte block reads, without the EEPROM settling
 *  pauses that zel_Connect makes for them. For a unit of six wavelengths: the board ID read twice
 *  and 25 block reads, no pause, about 1 ms on a local link (zel_Connect: 71 exchanges and 160 ms
 *  of pauses). Status 1/0. */
ZEL_EXPORT uint8_t zel_QuickConnect(zel_instance* instance, const char* ip);

/** Close the link. Status 1/0 (0 when no link was open). */
ZEL_EXPORT uint8_t zel_Disconnect(zel_instance* instance);
ZEL_EXPORT uint8_t APIDisconnect(uint8_t unit);

/** The library revision, 6926.0, for any instance, null included. */
ZEL_EXPORT double APIGetAPIRev(zel_instance* instance);

/* ======================================================================================== */
/* Identity and EEPROM records                                                               */
/* ======================================================================================== */

/** The unit's board ID (register 20, 0..65535). 0 on failure -- but 0 is also a board ID: after
 *  a 0, the last error tells (ZEL_OK: the unit's ID is 0). */
ZEL_EXPORT uint32_t zel_ReadBoardID(zel_instance* instance);
ZEL_EXPORT uint32_t APIReadBoardID(uint8_t unit);

/** The unit's 32-bit board serial number (serial words 0 and 1). 0 for a null instance or a
 *  unit index that names no unit; after a failed exchange, what the register reads delivered.
 *  Every number, 0 included, can be a serial: check the last error after every call. */
ZEL_EXPORT int32_t zel_ReadBoardSN(zel_instance* instance);
ZEL_EXPORT int32_t APIReadBoardSN(uint8_t unit);

/** Write the 32-bit board serial number to serial words 0 and 1. Status 1 when both writes
 *  succeeded, else 0. */
ZEL_EXPORT uint8_t zel_WriteBoardSN(zel_instance* instance, int32_t serial);
ZEL_EXPORT uint8_t APIWriteBoardSN(uint8_t unit, int32_t serial);

/** The extended serial number into `serial`; `flag` receives 1 when the unit's check word
 *  confirms the four serial words, 0 when `serial` fell back to the 32-bit board serial
 *  (sign-extended). Status 1 when every register read succeeded, else 0; both are written once
 *  the unit is reached, after a failure with what the reads delivered. */
ZEL_EXPORT uint8_t zel_ReadSerialNumber(zel_instance* instance, int64_t* serial, int32_t* flag);
ZEL_EXPORT uint8_t APIReadSerialNumber(uint8_t unit, int64_t* serial, int32_t* flag);

/** The unit's firmware revision (register 9 in tenths: 123 reads as 12.3). -1.0 for a null
 *  instance or a unit index that names no unit; after a failed exchange, what the register read
 *  delivered divided by 10 (see the last error). */
ZEL_EXPORT double zel_ReadFirmwareRevision(zel_instance* instance);
ZEL_EXPORT double APIReadFirmwareRevision(uint8_t unit);

/** The board type stored in the EEPROM (record 0, scaled; 0..7 are known types) into `type`;
 *  rebuilds the channel layout on status 1. Status 1/0 (out-values after a failed exchange: see
 *  the top); after a failed exchange the layout stays as it was. */
ZEL_EXPORT uint8_t zel_ReadTypeFromEEPROM(zel_instance* instance, uint16_t* type);
ZEL_EXPORT uint8_t APIReadTypeFromEEPROM(uint8_t unit, uint16_t* type);

/** Store the board type in the EEPROM; rebuilds the channel layout. Status 1/0 (the layout
 *  changes only on 1). */
ZEL_EXPORT uint8_t zel_WriteTypeToEEPROM(zel_instance* instance, uint16_t type);
ZEL_EXPORT uint8_t APIWriteTypeToEEPROM(uint8_t unit, uint16_t type);

/** The number of calibrated channels of the board (1, 4 or 8, from the board type read at the
 *  last connect or board-type read or write; 0 for a board type outside 0..7) into `count`;
 *  channels 0..count-1 each have their own calibration records. Nothing is sent. Status 1; 0
 *  with ZEL_ERR_NOT_CONNECTED when no board type has been read yet (`count` then holds 0). */
ZEL_EXPORT uint8_t zel_GetChannelCount(zel_instance* instance, uint8_t* count);

/** The board type read at the last connect or board-type read or write into `type`, as
 *  zel_ReadTypeFromEEPROM would read it, but without sending anything. Status 1; 0 with
 *  ZEL_ERR_NOT_CONNECTED when no board type has been read yet (`type` then holds 0). */
ZEL_EXPORT uint8_t zel_GetBoardType(zel_instance* instance, uint16_t* type);

/** Read the scaled 8-byte value stored at EEPROM `address` (0x0000..0xFFFF; bytes address ..
 *  address + 7, wrapping) into `value`. Status 1/0. Scaled record range (what a stored pattern
 *  with its top byte at 0x80 or more reads as) and out-values after a failed exchange: see the
 *  top. */
ZEL_EXPORT uint8_t zel_ReadDoubleValueFromEEProm(zel_instance* instance, uint16_t address, double* value);
ZEL_EXPORT uint8_t APIReadDoubleValueFromEEProm(uint8_t unit, uint16_t address, double* value);

/** Store `value` in the scaled 8-byte encoding at EEPROM `address` (0x0000..0xFFFF; bytes
 *  address .. address + 7, wrapping). Status 1/0; a value outside the scaled record range fails
 *  (see the top). */
ZEL_EXPORT uint8_t zel_WriteDoubleValueToEEProm(zel_instance* instance, uint16_t address, double value);
ZEL_EXPORT uint8_t APIWriteDoubleValueToEEProm(uint8_t unit, uint16_t address, double value);

/** Store `value` as a raw 8-byte double in record `record` of record group `group` (both
 *  0..65535; where the record starts: see the top); every double is stored bit for bit.
 *  Status 1 only when all eight bytes were written. zel_Monitor / APIMonitor read it back for
 *  groups and records up to 255. */
ZEL_EXPORT uint8_t zel_WriteStatusToEEProm(zel_instance* instance, uint16_t group, uint16_t record, double value);
ZEL_EXPORT uint8_t APIWriteStatusToEEProm(uint8_t unit, uint16_t group, uint16_t record, double value);

/* ======================================================================================== */
/* Switches                                                                                  */
/* ======================================================================================== */

/** The switch make-up of the board, from the board type read at the last connect or board-type
 *  read or write: the positions of each channel's 2x2 switch into `two_by_two` (2: bar 0 and
 *  cross 1), and the ports of the MEMS and LBMM selector switches into `mems` and `lbmm` (1, 4
 *  or 8; positions 0..ports-1). A board type outside 0..7 has an unknown make-up: all three
 *  are 0 then. Nothing is sent. Status 1; 0 with ZEL_ERR_NOT_CONNECTED when no board type has
 *  been read yet (all three then hold 0). */
ZEL_EXPORT uint8_t zel_GetSwitchPorts(zel_instance* instance, uint8_t* two_by_two, uint8_t* mems, uint8_t* lbmm);

/** The position of the 2x2 switch of `channel` into `position`. Status 1/0 (out-values after a
 *  failed exchange: see the top). The unit-index name is spelt "Swicth". */
ZEL_EXPORT uint8_t zel_ReadSwitchSelect_2x2(zel_instance* instance, uint16_t channel, uint16_t* position);
ZEL_EXPORT uint8_t APIReadSwicthSelect_2x2(uint8_t unit, uint16_t channel, uint16_t* position);

/** Set the 2x2 switch of `channel` to `position`. Status 1/0. The unit-index name is spelt
 *  "Swicth". */
ZEL_EXPORT uint8_t zel_SwitchSelect_2x2(zel_instance* instance, uint16_t channel, uint16_t position);
ZEL_EXPORT uint8_t APISwicthSelect_2x2(uint8_t unit, uint16_t channel, uint16_t position);

/** The position of the LBMM selector switch into `position`. `ignored` is not read. Status 1/0
 *  (out-values after a failed exchange: see the top). The _4x1 and _8x1 instance names are one
 *  function; the unit-index name is spelt "Swicth" and ends in _1x4. */
ZEL_EXPORT uint8_t zel_ReadSwitchSelect_LBMM_4x1(zel_instance* instance, uint16_t ignored, uint16_t* position);
ZEL_EXPORT uint8_t zel_ReadSwitchSelect_LBMM_8x1(zel_instance* instance, uint16_t ignored, uint16_t* position);
ZEL_EXPORT uint8_t APIReadSwicthSelect_LBMM_1x4(uint8_t unit, uint16_t ignored, uint16_t* position);

/** Set the LBMM selector switch to `position`. `ignored` is not read. Status 1/0. The _4x1 and
 *  _8x1 instance names are one function; the unit-index name is spelt "Swicth" and ends in _1x4. */
ZEL_EXPORT uint8_t zel_SwitchSelect_LBMM_4x1(zel_instance* instance, uint16_t ignored, uint16_t position);
ZEL_EXPORT uint8_t zel_SwitchSelect_LBMM_8x1(zel_instance* instance, uint16_t ignored, uint16_t position);
ZEL_EXPORT uint8_t APISwicthSelect_LBMM_1x4(uint8_t unit, uint16_t ignored, uint16_t position);

/** The position of the MEMS selector switch into `position`. `ignored` is not read. Status 1/0
 *  (out-values after a failed exchange: see the top). The _4x1 and _8x1 instance names are one
 *  function; the unit-index name is spelt "Swicth" and ends in _1x4. */
ZEL_EXPORT uint8_t zel_ReadSwitchSelect_MEMS_4x1(zel_instance* instance, uint16_t ignored, uint16_t* position);
ZEL_EXPORT uint8_t zel_ReadSwitchSelect_MEMS_8x1(zel_instance* instance, uint16_t ignored, uint16_t* position);
ZEL_EXPORT uint8_t APIReadSwicthSelect_MEMS_1x4(uint8_t unit, uint16_t ignored, uint16_t* position);

/** Set the MEMS selector switch to `position`. `ignored` is not read. Status 1/0. The _4x1 and
 *  _8x1 instance names are one function; the unit-index name is spelt "Swicth" and ends in _1x4. */
ZEL_EXPORT uint8_t zel_SwitchSelect_MEMS_4x1(zel_instance* instance, uint16_t ignored, uint16_t position);
ZEL_EXPORT uint8_t zel_SwitchSelect_MEMS_8x1(zel_instance* instance, uint16_t ignored, uint16_t position);
ZEL_EXPORT uint8_t APISwicthSelect_MEMS_1x4(uint8_t unit, uint16_t ignored, uint16_t position);

/** Read the stored 4x1 switch insertion loss (dB) of `channel` at the current wavelength into
 *  `loss`. Status 1/0 (out-values after a failed exchange: see the top). */
ZEL_EXPORT uint8_t zel_Read4x1SwitchInsertionLoss(zel_instance* instance, uint16_t channel, double* loss);
ZEL_EXPORT uint8_t APIRead4x1SwitchInsertionLoss(uint8_t unit, uint16_t channel, double* loss);

/** Store the 4x1 switch insertion loss (dB) of `channel` at the current wavelength. Status 1/0;
 *  a value outside the scaled record range fails (see the top). */
ZEL_EXPORT uint8_t zel_Write4x1SwitchInsertionLoss(zel_instance* instance, uint16_t channel, double loss);
ZEL_EXPORT uint8_t APIWrite4x1SwitchInsertionLoss(uint8_t unit, uint16_t channel, double loss);

/* ======================================================================================== */
/* Registers, monitor, temperature and screen                                                */
/* ======================================================================================== */

/** Read (write = 0) or write (write != 0) register `address` (0..2047) in the register bank of
 *  `channel`. `value` is the word to write, or receives the word read. Status 1/0; an address of
 *  2048 or more fails with ZEL_ERR_BAD_ARGUMENT before anything is sent. A write leaves `value`
 *  alone; a read writes it (out-values after a failed exchange: see the top). */
ZEL_EXPORT uint8_t zel_AccessBoardRegister(zel_instance* instance, uint8_t write, uint16_t channel, uint16_t address,
                                           uint16_t* value);
ZEL_EXPORT uint8_t APIAccessBoardRegister(uint8_t unit, uint8_t write, uint16_t channel, uint16_t address,
                                          uint16_t* value);

/** zel_AccessBoardRegister by register bank instead of channel: register `address` (0..2047) of
 *  bank `select` (0..15), also a bank that no channel of the board maps to. `value` as there.
 *  Status 1/0; a select of 16 or more or an address of 2048 or more fails with
 *  ZEL_ERR_BAD_ARGUMENT before anything is sent. */
ZEL_EXPORT uint8_t zel_AccessRegisterBank(zel_instance* instance, uint8_t write, uint16_t select, uint16_t address,
                                          uint16_t* value);

/** Read the status record `record` (0..255) of record group `group` (0..255) -- the 8 bytes at
 *  the record's EEPROM address (see the top), a double stored bit for bit by
 *  zel_WriteStatusToEEProm / APIWriteStatusToEEProm -- into `value`. Status 1/0 (out-values
 *  after a failed exchange: see the top). APIMonitor differs: it returns its status as a 32-bit
 *  integer, and its `unit` is a signed index; anything outside 0..31 fails with 0 (not taken
 *  modulo 256). */
ZEL_EXPORT uint8_t zel_Monitor(zel_instance* instance, uint8_t group, uint8_t record, double* value);
ZEL_EXPORT int32_t APIMonitor(int32_t unit, uint8_t group, uint8_t record, double* value);

/** The temperature register of register bank `select` (0..15): its raw word (0..65535) as a
 *  double, in the unit's own scale, which the library does not convert (a unit that counts
 *  hundredths of a degree Celsius reads 2512.0 at 25.12 degC). -1.0 on failure, which no
 *  reading can be; a select outside 0..15 fails with ZEL_ERR_BAD_ARGUMENT before anything is
 *  sent. */
ZEL_EXPORT double zel_TempRead(zel_instance* instance, int32_t select);
ZEL_EXPORT double APITempRead(uint8_t unit, int32_t select);

/** Write `control` to the front-panel screen register. `ignored` is not read. Status 1/0. */
ZEL_EXPORT uint8_t zel_ScreenControl(zel_instance* instance, uint16_t ignored, uint8_t control);
ZEL_EXPORT uint8_t APIScreenControl(uint8_t unit, uint16_t ignored, uint8_t control);

/* ======================================================================================== */
/* VOA                                                                                       */
/* ======================================================================================== */

/** The attenuation of `channel` in dB, from its VOA code through the channel's calibration,
 *  into `db` (code 0 reads as 0.0 dB); only the instance family has it. Status 1/0. A channel
 *  without VOA calibration at the wavelength in use (as for zel_SetVOAAttenuation): 0 with
 *  ZEL_ERR_NOT_CALIBRATED, nothing sent and `db` not written (out-values after a failed
 *  exchange: see the top). */
ZEL_EXPORT uint8_t zel_ReadVOAAttenuation(zel_instance* instance, uint16_t channel, double* db);

/** Set the attenuation of `channel` to `db` (0..30 dB) through the channel's active
 *  calibration polynomial; only the instance family has it (the unit-index family sets codes).
 *  Outside 0..30 dB, or not a number: 0 with ZEL_ERR_BAD_ARGUMENT and nothing sent. When any of
 *  the channel's four VOA coefficients at the wavelength in use is erased in the EEPROM (all
 *  bytes 0xFF), the wavelength's slot was added since the last connect and its calibration not
 *  yet written, or the calibration was never loaded (the connect failed while loading it): 0
 *  with ZEL_ERR_NOT_CALIBRATED and nothing sent. When the calibration has no code for `db`, the
 *  unit still receives the out-of-range code 0xFFFF and the call returns 0 with
 *  ZEL_ERR_NOT_FOUND. Status 1 when the code was found and written. */
ZEL_EXPORT uint8_t zel_SetVOAAttenuation(zel_instance* instance, uint16_t channel, double db);

/** The VOA drive code (0..4095) of `channel` into `code`. Status 1/0 (out-values after a failed
 *  exchange: see the top). */
ZEL_EXPORT uint8_t zel_ReadVOACode(zel_instance* instance, uint16_t channel, uint16_t* code);
ZEL_EXPORT uint8_t APIReadVOAAttenuation(uint8_t unit, uint16_t channel, uint16_t* code);

/** Set the VOA drive code of `channel` to `code` (0..4095). Status 1/0. The forms differ above
 *  4095: zel_SetVOACode fails with ZEL_ERR_BAD_ARGUMENT and nothing is sent, while
 *  APISetVOAAttenuation sends only the low 12 bits of its code. */
ZEL_EXPORT uint8_t zel_SetVOACode(zel_instance* instance, uint16_t channel, uint16_t code);
ZEL_EXPORT uint8_t APISetVOAAttenuation(uint8_t unit, uint16_t channel, int32_t code);

/** The four VOA calibration coefficients of `channel` at the current wavelength into
 *  `coefficients` (an array of 4), and make them the ones the dB functions use. Status 1 only
 *  when all four were read. An erased coefficient (all eight EEPROM bytes 0xFF, a NaN) reads with
 *  status 1 and marks the channel as not calibrated (see zel_SetVOAAttenuation). Out-values after a
 *  failed exchange: see the top; the channel then counts as not calibrated (zel_SetVOAAttenuation
 *  fails with ZEL_ERR_NOT_CALIBRATED) until a read goes through. */
ZEL_EXPORT uint8_t zel_ReadVOACalibration(zel_instance* instance, uint16_t channel, double* coefficients);
ZEL_EXPORT uint8_t APIReadVOACalibration(uint8_t unit, uint16_t channel, double* coefficients);

/** Store the four VOA calibration coefficients of `channel` (an array of 4) at the current
 *  wavelength; they become the ones the dB functions use. Status 1 only when all four records
 *  were written. An EEPROM byte goes out only after its address did, so a lost frame never
 *  stores a byte anywhere else. */
ZEL_EXPORT uint8_t zel_WriteVOACalibration(zel_instance* instance, uint16_t channel, const double* coefficients);
ZEL_EXPORT uint8_t APIWriteVOACalibration(uint8_t unit, uint16_t channel, const double* coefficients);

/** The 30 VOA defined values of `channel` at the current wavelength into `values` (an array
 *  of 30). The values are the host's own; the unit stores them unchanged. Status 1/0
 *  (out-values after a failed exchange, all 30 of them: see the top). */
ZEL_EXPORT uint8_t zel_ReadVOADefinedValues(zel_instance* instance, uint16_t channel, uint16_t* values);
ZEL_EXPORT uint8_t APIReadVOADefinedValues(uint8_t unit, uint16_t channel, uint16_t* values);

/** Store the 30 VOA defined values of `channel` (an array of 30) at the current wavelength.
 *  Status 1/0. */
ZEL_EXPORT uint8_t zel_WriteVOADefinedValues(zel_instance* instance, uint16_t channel, const uint16_t* values);
ZEL_EXPORT uint8_t APIWriteVOADefinedValues(uint8_t unit, uint16_t channel, const uint16_t* values);

/** The stored VOA insertion loss (dB) of `channel` at the current wavelength into `loss`.
 *  Status 1/0 (out-values after a failed exchange: see the top). */
ZEL_EXPORT uint8_t zel_ReadVOAInsertionLoss(zel_instance* instance, uint16_t channel, double* loss);
ZEL_EXPORT uint8_t APIReadVOAInsertionLoss(uint8_t unit, uint16_t channel, double* loss);

/** Store the VOA insertion loss (dB) of `channel` at the current wavelength. Status 1/0; a
 *  value outside the scaled record range fails (see the top). */
ZEL_EXPORT uint8_t zel_WriteVOAInsertionLoss(zel_instance* instance, uint16_t channel, double loss);
ZEL_EXPORT uint8_t APIWriteVOAInsertionLoss(uint8_t unit, uint16_t channel, double loss);

/* ======================================================================================== */
/* Optical power and calibration                                                             */
/* ======================================================================================== */

/** The optical power of `channel` into `power`: the average of ten power-register readings
 *  (10 ms apart) times the channel's active TAP factor, in the unit the TAP factor carries
 *  (microwatts for a factor in microwatts per power count); only the instance family has it.
 *  Status 1 only when all ten readings succeeded. When the channel's TAP factor at the
 *  wavelength in use is erased in the EEPROM, belongs to a slot added since the last connect
 *  and not yet written, or was never loaded (the connect failed while loading the
 *  calibration): 0 with ZEL_ERR_NOT_CALIBRATED, nothing sent and `power` not written. After a
 *  failed reading `power` is written as for the raw count below, times the factor. When all ten
 *  readings succeeded but any of them was at full scale (65535, a saturated detector): 0 with
 *  ZEL_ERR_OVER_RANGE, `power` holding the computed figure, which is a lower bound of the power.
 *  A dark channel (every reading 0) is a reading: status 1 and `power` 0. */
ZEL_EXPORT uint8_t zel_ReadOpticalPower(zel_instance* instance, uint16_t channel, double* power);

/** The averaged raw optical power count (0..65535, no TAP factor applied) of `channel` into
 *  `count` (APIReadOpticalPower: `power`): ten readings, 10 ms apart. Status 1 only when all
 *  ten succeeded. After a failed reading no further reading is made and each remaining one
 *  counts the word the failed one left; the out-value holds that average. */
ZEL_EXPORT uint8_t zel_ReadOpticalPowerCount(zel_instance* instance, uint16_t channel, uint16_t* count);
ZEL_EXPORT uint8_t APIReadOpticalPower(uint8_t unit, uint16_t channel, uint16_t* power);

/** The TAP calibration factor (microwatts per power count) of `channel` at the current
 *  wavelength into `factor`, and make it the factor zel_ReadOpticalPower uses. Status 1/0. An
 *  erased factor (all eight EEPROM bytes 0xFF) reads with status 1 as what those bytes decode
 *  to, and marks the channel as not calibrated (see zel_ReadOpticalPower). Out-values after a
 *  failed exchange: see the top; the channel then counts as not calibrated (zel_ReadOpticalPower
 *  fails with ZEL_ERR_NOT_CALIBRATED) until a read goes through. */
ZEL_EXPORT uint8_t zel_ReadTAPCalibration(zel_instance* instance, uint16_t channel, double* factor);
ZEL_EXPORT uint8_t APIReadTAPCalibration(uint8_t unit, uint16_t channel, double* factor);

/** Store the TAP calibration factor (microwatts per power count) of `channel` at the current
 *  wavelength. Status 1/0. A factor outside the scaled record range fails (see the top), and
 *  the factor in use stays. */
ZEL_EXPORT uint8_t zel_WriteTAPCalibration(zel_instance* instance, uint16_t channel, double factor);
ZEL_EXPORT uint8_t APIWriteTAPCalibration(uint8_t unit, uint16_t channel, double factor);

/** The user RX or TX calibration value of `channel` into `value`: a scaled value of the host's
 *  own (the library never applies it), one per channel for every wavelength, at EEPROM 0x5100
 *  (RX) or 0x5000 (TX) + 8 x the channel's select. Status 1/0 (out-values after a failed
 *  exchange: see the top). */
ZEL_EXPORT uint8_t zel_ReadUserRXCalibration(zel_instance* instance, uint16_t channel, double* value);
ZEL_EXPORT uint8_t APIReadUserRXCalibration(uint8_t unit, uint16_t channel, double* value);
ZEL_EXPORT uint8_t zel_ReadUserTXCalibration(zel_instance* instance, uint16_t channel, double* value);
ZEL_EXPORT uint8_t APIReadUserTXCalibration(uint8_t unit, uint16_t channel, double* value);

/** Store the user RX or TX calibration value of `channel` (the host's own, in the host's unit;
 *  one per channel for every wavelength, at the address its read above names).
 *  Status 1/0; a value outside the scaled record range fails (see the top). */
ZEL_EXPORT uint8_t zel_WriteUserRXCalibration(zel_instance* instance, uint16_t channel, double value);
ZEL_EXPORT uint8_t APIWriteUserRXCalibration(uint8_t unit, uint16_t channel, double value);
ZEL_EXPORT uint8_t zel_WriteUserTXCalibration(zel_instance* instance, uint16_t channel, double value);
ZEL_EXPORT uint8_t APIWriteUserTXCalibration(uint8_t unit, uint16_t channel, double value);

/* ======================================================================================== */
/* Wavelengths                                                                               */
/* ======================================================================================== */

/** Select the wavelength slot that serves `wavelength` (nm) -- the board's default wavelength
 *  selects slot 0 -- and make that slot's TAP factors and VOA coefficients the ones that
 *  zel_SetVOAAttenuation, zel_ReadVOAAttenuation and zel_ReadOpticalPower use. (zel_SetWavelength
 *  and APISetWavelength select the slot only; the active calibration follows it channel by
 *  channel as it is read.) Status 1; 0 when the unit has no slot for the wavelength
 *  (ZEL_ERR_NOT_FOUND; the current slot and the active calibration stay as they were;
 *  ZEL_ERR_BAD_ARGUMENT for 0xFFFF) or an exchange failed. A wavelength whose calibration is
 *  erased for some channels is still selected; the three functions then fail for those
 *  channels with ZEL_ERR_NOT_CALIBRATED. Reading the calibration costs no calibration-record
 *  transfers after a successful connect, only the board-type record. */
ZEL_EXPORT uint8_t zel_SelectWavelength(zel_instance* instance, uint16_t wavelength);

/** Select the wavelength slot calibrated for `wavelength` (nm); the board's default wavelength
 *  selects slot 0. Calibration reads and writes then address that slot. The active calibration
 *  that the dB and power operations use is not reloaded (zel_SelectWavelength also reloads it):
 *  a channel's TAP factor and VOA coefficients follow the new slot when its TAP or VOA
 *  calibration read (or write) runs. Status 1/0 (0 with ZEL_ERR_NOT_FOUND when the unit has no
 *  such wavelength, with ZEL_ERR_BAD_ARGUMENT for 0xFFFF, which is never a wavelength; the
 *  current slot is kept). */
ZEL_EXPORT uint8_t zel_SetWavelength(zel_instance* instance, uint16_t wavelength);
ZEL_EXPORT uint8_t APISetWavelength(uint8_t unit, uint16_t wavelength);

/** Select slot 0, the board's default wavelength. Like zel_SetWavelength / APISetWavelength,
 *  this does not reload the active calibration. Status 1/0. */
ZEL_EXPORT uint8_t zel_SetDefaultWavelength(zel_instance* instance);
ZEL_EXPORT uint8_t APISetDefaultWavelength(uint8_t unit);

/** Add `wavelength` (nm) to the unit's wavelength table in the first free slot and select that
 *  slot; a wavelength already in the table is only selected. Only the slot's two wavelength bytes
 *  are written. Until the host writes the slot's TAP factor and VOA calibration of a channel (or
 *  a later connect reads calibration there), that channel has no calibration at the new
 *  wavelength: the dB and calibrated power functions fail with ZEL_ERR_NOT_CALIBRATED.
 *  Status 1/0: 0 for the default wavelength of board types 0..5 and for 0xFFFF, the table's
 *  free-slot marker (both ZEL_ERR_BAD_ARGUMENT, nothing written), and when all six slots are used
 *  (ZEL_ERR_TABLE_FULL). */
ZEL_EXPORT uint8_t zel_AddWavelength(zel_instance* instance, uint16_t wavelength);
ZEL_EXPORT uint8_t APIAddWavelength(uint8_t unit, uint16_t wavelength);

/** The unit's wavelength table: the wavelength (nm) each used slot serves, in slot order
 *  (slot 0 first, holding the board's default wavelength; 0 there when the board type is not
 *  one of 0..7), into `nm`, which has room for `capacity` entries. `count` always receives the
 *  number of used slots (1..6), also when `capacity` is too small: the first `capacity` entries
 *  are then written and the call returns 0 with ZEL_ERR_BAD_ARGUMENT, so a host may ask again
 *  with room for `count` (6 always suffices). Nothing is sent when the table is known since the
 *  connect; otherwise it is read again as zel_SetWavelength would. Status 1 when every entry was
 *  written; after a failed exchange `count` is 0 and `nm` is not written. */
ZEL_EXPORT uint8_t zel_GetWavelengths(zel_instance* instance, uint16_t* nm, size_t capacity, size_t* count);

/* ======================================================================================== */
/* EEPROM bytes and blocks                                                                   */
/* ======================================================================================== */

/** Read the EEPROM byte at `address` (0x0000..0xFFFF): two register exchanges and no settling
 *  pause (about 0.1 ms on a local link). Status 1/0. The forms differ: zel_ReadEEPromByte hands
 *  the byte back in `byte` (out-values after a failed exchange: see the top);
 *  APIReadValueFromEEProm returns the status only. */
ZEL_EXPORT uint8_t zel_ReadEEPromByte(zel_instance* instance, uint16_t address, uint8_t* byte);
ZEL_EXPORT uint8_t APIReadValueFromEEProm(uint8_t unit, uint16_t address);

/** Write `value` to the EEPROM byte at `address` (0x0000..0xFFFF) through the address and data
 *  registers. Status 1/0; the data write is not sent when the address write failed. The forms
 *  differ: zel_WriteValueToEEProm takes a byte and then waits the 10 ms the EEPROM needs to
 *  store it, so the next EEPROM access may follow at once (no pause is made after a failure);
 *  APIWriteValueToEEProm sends the whole 16-bit word, of which the EEPROM keeps only the low
 *  byte (value & 0xFF), and makes no settling pause: wait 10 ms before the next EEPROM access. */
ZEL_EXPORT uint8_t zel_WriteValueToEEProm(zel_instance* instance, uint16_t address, uint8_t value);
ZEL_EXPORT uint8_t APIWriteValueToEEProm(uint8_t unit, uint16_t address, uint16_t value);

/** Size of the unit's EEPROM in bytes (128 KiB): zel_ReadEEProm reads addresses below it. */
#define ZEL_EEPROM_SIZE 0x20000u

/** Read `length` EEPROM bytes from `address` into `buffer`, 128 bytes per exchange (block
 *  reads) and without settling pauses: ceil(length / 128) exchanges for any alignment (about
 *  0.1 ms each on a local link). `address` + `length` must not exceed ZEL_EEPROM_SIZE; otherwise
 *  0 with ZEL_ERR_BAD_ARGUMENT and nothing is sent. A length of 0 succeeds without sending.
 *  All or nothing: status 1 when every block arrived, and only then is `buffer` written; after a
 *  failure `buffer` is unchanged and no further block is requested. */
ZEL_EXPORT uint8_t zel_ReadEEProm(zel_instance* instance, uint32_t address, uint8_t* buffer, size_t length);

/** Calibration items, for zel_GetRecordLocation. Scaled records are laid out as the scaled record
 *  range at the top says (value x 10^12, least significant byte first); raw records hold the
 *  IEEE-754 double, least significant byte first; defined values are 16-bit words, least
 *  significant byte first. Erased bytes are 0xFF. */
#define ZEL_RECORD_TAP 0         /**< TAP factor, scaled, 8 bytes, per slot and channel */
#define ZEL_RECORD_VOA 1         /**< VOA coefficients c0..c3, raw, 4 x 8 bytes, per slot and channel */
#define ZEL_RECORD_DEFINED 2     /**< VOA defined values, 30 words, 60 bytes, per slot and channel */
#define ZEL_RECORD_VOA_LOSS 3    /**< VOA insertion loss, scaled, 8 bytes, per slot and channel */
#define ZEL_RECORD_SWITCH_LOSS 4 /**< 4x1 switch insertion loss, scaled, 8 bytes, per slot and channel */
#define ZEL_RECORD_USER_TX 5     /**< user TX calibration, scaled, 8 bytes, per channel (no slot) */
#define ZEL_RECORD_USER_RX 6     /**< user RX calibration, scaled, 8 bytes, per channel (no slot) */
/** a slot's whole calibration area: its table entry and every per-slot record of every channel
 *  (the channel is not read) */
#define ZEL_RECORD_SLOT 7

/** Where calibration item `item` (ZEL_RECORD_...) of `channel` in wavelength slot `slot` (0..5,
 *  whether in use or not; ignored for the user items) lies in the EEPROM: its first byte's
 *  address into `address` and its size in bytes into `length`, for zel_ReadEEProm. These are the
 *  bytes the record functions (zel_ReadTAPCalibration, ...) read and write for that channel and
 *  slot. Nothing is sent. Status 1; 0 with ZEL_ERR_BAD_ARGUMENT for an unknown item or a slot
 *  above 5, with ZEL_ERR_NO_SUCH_CHANNEL (or ZEL_ERR_NOT_CONNECTED before the first connect) for
 *  a channel the board's layout has no entry for; `address` and `length` are then 0. */
ZEL_EXPORT uint8_t zel_GetRecordLocation(zel_instance* instance, uint8_t slot, uint16_t channel, uint32_t item,
                                         uint32_t* address, uint32_t* length);

/* ======================================================================================== */
/* Errors, time-outs and trace                                                               */
/* ======================================================================================== */

/** Why the last call on the unit (`instance`, or table entry `unit`) failed; ZEL_OK after a
 *  success. Does not change the recorded reason. ZEL_ERR_BAD_ARGUMENT for a null instance;
 *  ZEL_ERR_BAD_UNIT_INDEX when `unit` is 32 or more. */
ZEL_EXPORT zel_error zel_LastError(zel_instance* instance);
ZEL_EXPORT zel_error APILastError(uint8_t unit);

/** A short English description of `code` ("no link is open to the unit", ...). The text of a
 *  code never changes; any other integer passed as `code` gives "unknown error". Never null; do
 *  not free. */
ZEL_EXPORT const char* zel_ErrorText(zel_error code);

/** Set the time-out of the unit's link in milliseconds: it bounds the connect, the sending of
 *  each request and the wait for each reply, from the next exchange on (also on an open link)
 *  and for later connects. 0 restores the default of 100 s. Status 1; 0 for a null instance or
 *  an index of 32 or more (ZEL_ERR_BAD_UNIT_INDEX from APILastError), or with ZEL_ERR_BUSY
 *  while another thread is inside a call on the unit. */
ZEL_EXPORT uint8_t zel_SetTimeout(zel_instance* instance, uint32_t milliseconds);
ZEL_EXPORT uint8_t APISetTimeout(uint8_t unit, uint32_t milliseconds);

/** How often the library has reopened the unit's link since the instance was made, into
 *  `count`: after a time-out, a reply out of step or a unit that closed the link (it restarted,
 *  for instance), the next exchange opens a new connection to the same address first. A unit
 *  that restarted has lost its settings (attenuation, switches), so a count that grew tells the
 *  host to set them again. zel_Connect and zel_QuickConnect do not count. Status 1; 0 for a null
 *  instance or `count` (ZEL_ERR_BAD_ARGUMENT) or with ZEL_ERR_BUSY. Nothing is sent. */
ZEL_EXPORT uint8_t zel_GetLinkReopens(zel_instance* instance, uint32_t* count);

/** Whether the library reopens the unit's link by itself (`on` non-zero, the default) or leaves
 *  that to the host (0): then, once the link is out of step (see zel_GetLinkReopens), every
 *  call that would exchange frames fails with ZEL_ERR_NOT_CONNECTED, nothing sent, until
 *  zel_Connect or zel_QuickConnect. Status 1; 0 for a null instance or with ZEL_ERR_BUSY.
 *  Nothing is sent. */
ZEL_EXPORT uint8_t zel_SetAutoReopen(zel_instance* instance, uint8_t on);

/** End the call in flight on the unit: it fails with ZEL_ERR_CANCELLED at its next wait (for
 *  the connect, for room to send, for a reply, or a settling pause), within about 50 ms, and
 *  whatever the call had sent is left unanswered: the link is out of step, so the next call
 *  reopens it first (counted by zel_GetLinkReopens; with the automatic reopen off that call fails
 *  with ZEL_ERR_NOT_CONNECTED until zel_Connect). Out-values are those of a failed exchange.
 *
 *  Only a call in flight is touched: a cancel while no call runs on the unit does nothing, and
 *  the next call runs as if none had come (a cancel that meets a call in the instant it enters
 *  may find it not yet in flight and do nothing either; cancelling again ends it). Does not
 *  change the recorded reason of the last failure; the cancelled call records its own.
 *
 *  Safe to call from any thread while another is inside a call on the unit, and from a POSIX
 *  signal handler or a Windows console control handler: it only stores to a lock-free atomic
 *  (no lock, no allocation, no system call). The instance must stay alive until zel_Cancel has
 *  returned. Returns 1; 0 (and does nothing) for a null instance. */
ZEL_EXPORT uint8_t zel_Cancel(zel_instance* instance);

/** Direction of a traced frame. */
#define ZEL_FRAME_SENT 0     /**< a request frame as sent to the unit (128 bytes) */
#define ZEL_FRAME_RECEIVED 1 /**< reply bytes as received from the unit */

/** Receives every frame the instance sends and every reply it receives. `direction` is
 *  ZEL_FRAME_SENT or ZEL_FRAME_RECEIVED; `bytes` is valid only during the call. */
typedef void (*zel_frame_trace_fn)(void* user, int direction, const uint8_t* bytes, size_t length);

/** Trace the unit's frames through `callback`, which receives `user` unchanged; a null
 *  callback turns tracing off (the default; tracing costs nothing while off). The callback runs
 *  on the caller's thread, inside the library call that sends or receives, so it must not call
 *  back into the library for the same unit. Status 1, or 0 for a null instance or an index of
 *  32 or more, or 0 with ZEL_ERR_BUSY while a call on the unit is in flight on another thread (the
 *  tracing stays as it was). Does not change the recorded reason of the last failure. */
ZEL_EXPORT uint8_t zel_SetFrameTrace(zel_instance* instance, zel_frame_trace_fn callback, void* user);
ZEL_EXPORT uint8_t APISetFrameTrace(uint8_t unit, zel_frame_trace_fn callback, void* user);

/** Capture the instance's frames to the pcapng file at `path`, for Wireshark, tshark or zelctl
 *  capture show: one section, one interface of link type 101 (raw IPv4) with microsecond time
 *  stamps, and each connection of the instance's link as a TCP conversation between the host's
 *  address and port (the socket's own) and the unit's address on port 6653, opened with a
 *  handshake and closed with a FIN each way, every frame and reply one segment whose sequence
 *  and acknowledgement numbers follow the byte stream. A link that is open when the capture
 *  starts appears from its handshake on; a reopened link is a new conversation. The frame trace
 *  (zel_SetFrameTrace) goes on beside a capture. Instances that capture to the same path (as
 *  given, made absolute) share one file, each with its own conversations; the first opens it,
 *  truncating it, the last to stop closes it. Writing never blocks or fails a call on the unit:
 *  frames are queued in memory and written by a thread of the capture. A capture already running
 *  to another path is stopped first; one to the same path goes on. Status 1; 0 with
 *  ZEL_ERR_CAPTURE when the file cannot be opened for writing (nothing is captured then), with
 *  ZEL_ERR_BAD_ARGUMENT for a null path, or with ZEL_ERR_BUSY; 0 for a null instance. Nothing
 *  is sent. */
ZEL_EXPORT uint8_t zel_StartCapture(zel_instance* instance, const char* path);

/** Stop the instance's capture: its open connection is closed in the file, and the call returns
 *  once everything it captured is written (the file is closed when no other instance captures
 *  to it). zel_destroyInstance stops a capture the same way. Status 1, also without a capture;
 *  0 with ZEL_ERR_CAPTURE when part of the file could not be written (a write error, the first
 *  of which ends the writing; or frames left out because the disk could not keep up), or with
 *  ZEL_ERR_BUSY; 0 for a null instance. Nothing is sent. */
ZEL_EXPORT uint8_t zel_StopCapture(zel_instance* instance);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_API_H */
