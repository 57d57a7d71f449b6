// The simulated unit's request handling on arbitrary frames: the input is cut into 128-byte
// frames (the last one padded with zeros) and handed to one fresh unit in order. Beyond the
// sanitizers: every reply has the length its frame form promises, a register frame's reply
// carries nothing past the value, and no frame sequence changes the read-only identity
// registers or the EEPROM size.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zelsim/model.h"

namespace {

[[noreturn]] void Fail(const char* what, std::size_t frame) {
    std::fprintf(stderr, "unit model: %s (frame %zu)\n", what, frame);
    std::abort();
}

// Reply length the frame's form promises, or 0 when it varies (byte reads: the count asked for).
std::size_t ExpectedLength(const std::uint8_t (&f)[zelsim::kFrameSize]) {
    if (f[0] == 0xF1 && f[1] == 0x02) return 1024;
    if (f[0] == 0xF1 && f[1] == 0x06 && f[2] == 0x01) return f[3] == 0 ? 1 : f[3];
    return 128;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 64 * zelsim::kFrameSize) return 0;  // long sequences add little but time
    zelsim::UnitConfig cfg;
    zelsim::UnitModel unit(cfg);
    std::vector<std::uint8_t> reply;
    std::size_t index = 0;
    for (std::size_t at = 0; at < size; at += zelsim::kFrameSize, ++index) {
        std::uint8_t frame[zelsim::kFrameSize] = {};
        std::memcpy(frame, data + at, std::min(zelsim::kFrameSize, size - at));
        unit.Handle(frame, reply);
        if (reply.size() != ExpectedLength(frame)) Fail("reply length differs from the frame form's", index);
        if (frame[0] == 0xF0) {
            for (std::size_t i = 3; i < reply.size(); ++i) {
                if (reply[i] != 0) Fail("register reply carries bytes past the value", index);
            }
        } else if (frame[0] != 0xF1) {
            for (std::uint8_t b : reply) {
                if (b != 0) Fail("unknown frame answered with a non-zero byte", index);
            }
        }
    }
    if (unit.Register(0, zelsim::reg::kFirmware) != cfg.firmware_tenths) Fail("firmware register changed", index);
    if (unit.Register(0, zelsim::reg::kBoardId) != cfg.board_id) Fail("board ID register changed", index);
    if (unit.Register(0, zelsim::reg::kSerial3) != static_cast<std::uint16_t>(cfg.serial >> 48)) {
        Fail("serial word 3 changed", index);
    }
    if (unit.EepromImage().size() != zelsim::kEepromSize) Fail("EEPROM size changed", index);
    return 0;
}
