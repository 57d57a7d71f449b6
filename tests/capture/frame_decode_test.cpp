#include "zel_capture/frame_decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "instrument/unit_map.h"
#include "transport/frame_codec.h"

namespace zel::capture {
namespace {

namespace fr = zel::frame;
using Frame = std::vector<std::uint8_t>;

Frame RegisterFrame(bool write, std::uint16_t select, std::uint16_t address, std::uint16_t value = 0) {
    Frame f(fr::kRequestSize, 0);
    f[fr::kType] = fr::kRegisterFrame;
    zel::codec::PutLE16(f.data() + fr::kControlWord, fr::ControlWord(write, select, address));
    if (write) zel::codec::PutLE16(f.data() + fr::kValue, value);
    return f;
}

Frame CommandFrame(std::uint8_t sub, std::vector<std::uint8_t> bytes_from_2) {
    Frame f(fr::kRequestSize, 0);
    f[fr::kType] = fr::kCommandFrame;
    f[fr::kSubCommand] = sub;
    std::copy(bytes_from_2.begin(), bytes_from_2.end(), f.begin() + 2);
    return f;
}

Frame BlockFrame(bool read, std::uint8_t bank, std::uint32_t address) {
    Frame f = CommandFrame(fr::kSubBlock, {static_cast<std::uint8_t>(read ? 1 : 0), 0x80, bank});
    zel::codec::PutLE32(f.data() + fr::kBlockAddress, address);
    return f;
}

Frame Reply(std::vector<std::uint8_t> head, std::size_t n = fr::kRequestSize) {
    head.resize(n, 0);
    return head;
}

struct RequestCase {
    const char* what;
    Frame frame;
    FrameKind kind;
    std::uint16_t select, address, value;
    std::uint32_t block_address;
    std::size_t reply_length;
    const char* text;
};

TEST(FrameDecode, RequestsOfEveryKind) {
    const RequestCase cases[] = {
        {"board ID read", RegisterFrame(false, 0, reg::kBoardID), FrameKind::RegisterRead, 0, 20, 0, 0, 128,
         "read s0 r20 (board ID)"},
        {"VOA code write on select 3", RegisterFrame(true, 3, reg::kVOACode, 0x0800), FrameKind::RegisterWrite, 3, 37,
         0x0800, 0, 128, "write s3 r37 (VOA code) = 0x0800"},
        {"highest select and address", RegisterFrame(true, 15, 2047, 0xFFFF), FrameKind::RegisterWrite, 15, 2047,
         0xFFFF, 0, 128, "write s15 r2047 = 0xFFFF"},
        {"register without a name", RegisterFrame(false, 7, 100), FrameKind::RegisterRead, 7, 100, 0, 0, 128,
         "read s7 r100"},
        {"block read", BlockFrame(true, 1, 0x12080), FrameKind::BlockRead, 0, 0, 0, 0x12080, 128,
         "block read bank 1 address 0x00012080"},
        {"block write", BlockFrame(false, 0, 0x2000), FrameKind::BlockWrite, 0, 0, 0, 0x2000, 128,
         "block write bank 0 address 0x00002000"},
        {"page read", CommandFrame(fr::kSubPages, {1, 5, 0}), FrameKind::PageRead, 0, 0, 0, 0, 1024,
         "page read bank 1 page 5"},
        {"bytes read", CommandFrame(fr::kSubBytes, {1, 8, 0x34, 0x12}), FrameKind::BytesRead, 0, 0, 0, 0x1234, 8,
         "bytes read 8 at 0x1234"},
        {"bytes read of none still answers one", CommandFrame(fr::kSubBytes, {1, 0, 0, 0}), FrameKind::BytesRead, 0, 0,
         0, 0, 1, "bytes read 0 at 0x0000"},
        {"bytes write", CommandFrame(fr::kSubBytes, {0, 3, 0x00, 0x50}), FrameKind::BytesWrite, 0, 0, 0, 0x5000, 128,
         "bytes write 3 at 0x5000"},
        {"other command", CommandFrame(fr::kSubCommand7, {}), FrameKind::Command, 0, 0, 0, 0, 128, "command 0x07"},
        {"unknown first byte", Reply({0x42}), FrameKind::Unknown, 0, 0, 0, 0, 128, "unknown frame, first byte 0x42"},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Request r = DecodeRequest(c.frame.data(), c.frame.size());
        EXPECT_EQ(r.kind, c.kind);
        EXPECT_EQ(r.select, c.select);
        EXPECT_EQ(r.address, c.address);
        EXPECT_EQ(r.value, c.value);
        EXPECT_EQ(r.block_address, c.block_address);
        EXPECT_EQ(ExpectedReplyLength(r), c.reply_length);
        EXPECT_EQ(DescribeRequest(r), c.text);
        EXPECT_FALSE(r.eeprom);
    }
}

TEST(FrameDecode, AShortFrameIsUnknown) {
    const Frame f = RegisterFrame(false, 0, reg::kBoardID);
    EXPECT_EQ(DecodeRequest(f.data(), f.size() - 1).kind, FrameKind::Unknown);
    EXPECT_EQ(DecodeRequest(f.data(), 0).kind, FrameKind::Unknown);
}

struct ReplyCase {
    const char* what;
    Frame request;
    Frame reply;
    const char* text;
};

TEST(FrameDecode, Replies) {
    Frame block(fr::kBlockSize);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i);
    const ReplyCase cases[] = {
        {"register value", RegisterFrame(false, 0, reg::kBoardID), Reply({0xF0, 0x35, 0x0C}), "-> 0x0C35"},
        {"write echo", RegisterFrame(true, 2, reg::kVOACode, 0x1FFF), Reply({0xF0, 0xFF, 0x0F}), "-> 0x0FFF"},
        {"register reply cut short", RegisterFrame(false, 0, reg::kBoardID), Reply({0xF0, 0x35}, 2),
         "short reply, 2 bytes: F0 35"},
        {"block", BlockFrame(true, 0, 0x2000), block,
         "block 0x00002000, 128 bytes: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ..."},
        {"command done", BlockFrame(false, 0, 0x2000), Reply({0xF1, 0x00, 0x00}), "command 0x00 status 0x00 (done)"},
        {"command refused", CommandFrame(0x09, {}), Reply({0xF1, 0x09, 0x01}), "command 0x09 status 0x01"},
        {"one byte", CommandFrame(fr::kSubBytes, {1, 1, 0, 0}), Reply({0xAB}, 1), "1 byte: AB"},
        {"nothing", RegisterFrame(false, 0, reg::kBoardID), Frame{}, "no reply"},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Request r = DecodeRequest(c.request.data(), c.request.size());
        EXPECT_EQ(DescribeReply(r, c.reply.data(), c.reply.size()), c.text);
    }
}

// An EEPROM byte transfer: the address register written, then the data register read or written on
// the same select; select 1 reaches the second 64 KiB bank.
TEST(FrameDecode, EepromByteTransferNamesTheByte) {
    struct Step {
        Frame request;
        Frame reply;
        bool eeprom;
        std::uint32_t eeprom_address;
        const char* request_text;
        const char* reply_text;
    };
    const Step steps[] = {
        {RegisterFrame(false, 0, reg::kEepromData), Reply({0xF0, 0x12}), false, 0, "read s0 r11 (EEPROM data)",
         "-> 0x0012"},  // no address written yet: just a register
        {RegisterFrame(true, 0, reg::kEepromAddress, 0x2008), Reply({0xF0, 0x08, 0x20}), false, 0,
         "write s0 r10 (EEPROM address) = 0x2008", "-> 0x2008"},
        {RegisterFrame(false, 0, reg::kEepromData), Reply({0xF0, 0x12}), true, 0x2008,
         "read s0 r11 (EEPROM data) EEPROM[0x2008]", "EEPROM[0x2008] = 0x12"},
        {RegisterFrame(true, 0, reg::kEepromData, 0x34), Reply({0xF0, 0x34}), true, 0x2008,
         "write s0 r11 (EEPROM data) EEPROM[0x2008] = 0x34", "EEPROM[0x2008] = 0x34"},
        {RegisterFrame(true, 1, reg::kEepromAddress, 0x0010), Reply({0xF0, 0x10}), false, 0,
         "write s1 r10 (EEPROM address) = 0x0010", "-> 0x0010"},
        {RegisterFrame(false, 1, reg::kEepromData), Reply({0xF0, 0x7F}), true, 0x10010,
         "read s1 r11 (EEPROM data) EEPROM[0x10010]", "EEPROM[0x10010] = 0x7F"},
        // Select 0 kept its own address.
        {RegisterFrame(false, 0, reg::kEepromData), Reply({0xF0, 0x34}), true, 0x2008,
         "read s0 r11 (EEPROM data) EEPROM[0x2008]", "EEPROM[0x2008] = 0x34"},
        // Selects past 1 have no EEPROM bank.
        {RegisterFrame(true, 2, reg::kEepromAddress, 0x0100), Reply({0xF0, 0x00, 0x01}), false, 0,
         "write s2 r10 (EEPROM address) = 0x0100", "-> 0x0100"},
        {RegisterFrame(false, 2, reg::kEepromData), Reply({0xF0, 0x01}), false, 0, "read s2 r11 (EEPROM data)",
         "-> 0x0001"},
    };
    ConversationDecoder decoder;
    int n = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(n++);
        const Request r = decoder.Next(s.request.data(), s.request.size());
        EXPECT_EQ(r.eeprom, s.eeprom);
        EXPECT_EQ(r.eeprom_address, s.eeprom_address);
        EXPECT_EQ(DescribeRequest(r), s.request_text);
        EXPECT_EQ(DescribeReply(r, s.reply.data(), s.reply.size()), s.reply_text);
    }
}

TEST(FrameDecode, RegisterNamesAreTheUnitMapsAndUnique) {
    const struct {
        std::uint16_t address;
        const char* name;
    } expected[] = {{reg::kBoardID, "board ID"},
                    {reg::kEepromAddress, "EEPROM address"},
                    {reg::kEepromData, "EEPROM data"},
                    {reg::kVOACode, "VOA code"},
                    {reg::kOpticalPower, "optical power"}};
    for (const auto& e : expected) {
        ASSERT_NE(NameOfRegister(e.address), nullptr) << e.address;
        EXPECT_STREQ(NameOfRegister(e.address), e.name);
    }
    EXPECT_EQ(NameOfRegister(0), nullptr);
    const auto names = RegisterNames();
    for (std::size_t i = 0; i < names.size(); ++i)
        for (std::size_t j = i + 1; j < names.size(); ++j) {
            EXPECT_NE(names[i].address, names[j].address);
            EXPECT_STRNE(names[i].name, names[j].name);
        }
}

// The dissector names the registers from a table of its own: the same, register by register.
TEST(FrameDecode, TheDissectorsRegisterTableIsTheDecoders) {
    std::ifstream in(ZEL_SOURCE_DIR "/packaging/wireshark/zel.lua");
    ASSERT_TRUE(in) << "packaging/wireshark/zel.lua";
    std::map<int, std::string> lua;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (line.find("local register_names = {") != std::string::npos)
            inside = true;
        else if (inside && line.find('}') == 0)
            break;
        else if (inside) {
            const std::size_t open = line.find('['), close = line.find(']'), q1 = line.find('"'), q2 = line.rfind('"');
            ASSERT_TRUE(open != std::string::npos && close > open && q2 > q1) << line;
            lua[std::stoi(line.substr(open + 1, close - open - 1))] = line.substr(q1 + 1, q2 - q1 - 1);
        }
    }
    std::map<int, std::string> cpp;
    for (const RegisterName& r : RegisterNames()) cpp[r.address] = r.name;
    EXPECT_EQ(lua, cpp);
}

TEST(FrameDecode, KindNamesAreDistinct) {
    std::vector<std::string> seen;
    for (int k = 0; k < kFrameKinds; ++k) {
        const std::string name = KindName(static_cast<FrameKind>(k));
        EXPECT_EQ(std::count(seen.begin(), seen.end(), name), 0) << name;
        seen.push_back(name);
    }
}

}  // namespace
}  // namespace zel::capture
