// Exact bytes of every request-frame form as the unit receives them.
#include <cstring>
#include <numeric>

#include "support/unit_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        zeltest::ShortenLinkTimeouts(2000);
        ASSERT_TRUE(link.OpenLink(unit.ip().c_str(), 6653));
    }
    zelsim::Frame Last() {
        auto frames = unit.frames();
        EXPECT_FALSE(frames.empty());
        return frames.empty() ? zelsim::Frame{} : frames.back();
    }
    static Bytes Head(const zelsim::Frame& f, std::size_t n) { return Bytes(f.begin(), f.begin() + n); }

    zeltest::SimulatedUnit unit;
    HwLayer link;
};

TEST_F(FrameTest, RegisterFramesCarryTheControlWordAndLeaveTheRestAsTheLastRequestLeftIt) {
    // A block write fills bytes 9..127 with a pattern that later frames must carry unchanged.
    std::uint8_t block[128];
    std::iota(block, block + 128, std::uint8_t{1});
    ASSERT_TRUE(link.WriteBlock(0, 0x6000, block));

    std::uint16_t value = 0x1234;
    ASSERT_TRUE(link.AccessRegister(1, 3, 0x7FF, value));
    zelsim::Frame w = Last();
    EXPECT_EQ(Head(w, 8), (Bytes{0xF0, 0x00, 0x00, 0x00, 0xFF, 0x9F, 0x34, 0x12}));
    EXPECT_EQ(w[8], 0x00);  // the block write's address byte 8
    EXPECT_EQ(w[9], 1);

    ASSERT_TRUE(link.AccessRegister(0, 2, 5, value));
    zelsim::Frame r = Last();
    EXPECT_EQ(Head(r, 6), (Bytes{0xF0, 0x00, 0x00, 0x00, 0x05, 0x10}));
    EXPECT_EQ(r[6], 0x34);  // left by the write
    EXPECT_EQ(r[7], 0x12);
    for (std::size_t i = 9; i < 128; ++i) EXPECT_EQ(r[i], block[i - 9]) << i;
}

TEST_F(FrameTest, ReadValueComesFromReplyBytesOneAndTwo) {
    unit.model().SetRegister(4, 100, 0xABCD);
    std::uint16_t v = 0;
    ASSERT_TRUE(link.AccessRegister(0, 4, 100, v));
    EXPECT_EQ(v, 0xABCD);
    EXPECT_EQ(link.LastResult(), 1);
}

TEST_F(FrameTest, SelectWrapsAtSixteenAndWideAddressesSpillIntoTheSelect) {
    unit.model().SetRegister(0, 7, 0x0101);
    unit.model().SetRegister(1, 5, 0x0202);
    std::uint16_t v = 0;
    ASSERT_TRUE(link.AccessRegister(0, 16, 7, v));
    EXPECT_EQ(Head(Last(), 6), (Bytes{0xF0, 0, 0, 0, 0x07, 0x00}));
    EXPECT_EQ(v, 0x0101);
    ASSERT_TRUE(link.AccessRegister(0, 0, 0x0805, v));
    EXPECT_EQ(Head(Last(), 6), (Bytes{0xF0, 0, 0, 0, 0x05, 0x08}));
    EXPECT_EQ(v, 0x0202);
    // Bit 15 of an address never turns a read into a write.
    ASSERT_TRUE(link.AccessRegister(0, 0, 0x8805, v));
    EXPECT_EQ(Last()[5] & 0x80, 0);
    EXPECT_EQ(unit.model().Register(1, 5), 0x0202);
}

TEST_F(FrameTest, BlockReadOfTheSecondBank) {
    for (std::uint32_t i = 0; i < 128; ++i) unit.model().SetEeprom(0x12008 + i, static_cast<std::uint8_t>(0xA0 ^ i));
    std::uint8_t dest[128] = {};
    ASSERT_TRUE(link.ReadBlock(0, 0x12008, dest));
    EXPECT_EQ(Head(Last(), 9), (Bytes{0xF1, 0x00, 0x01, 0x80, 0x00, 0x08, 0x20, 0x01, 0x00}));
    for (std::uint32_t i = 0; i < 128; ++i) EXPECT_EQ(dest[i], 0xA0 ^ i) << i;
}

TEST_F(FrameTest, BlockWriteCarriesTheFirst119SourceBytes) {
    std::uint8_t block[128];
    std::iota(block, block + 128, std::uint8_t{0x40});
    ASSERT_TRUE(link.WriteBlock(0, 0x3000, block));
    zelsim::Frame f = Last();
    EXPECT_EQ(Head(f, 9), (Bytes{0xF1, 0x00, 0x00, 0x80, 0x00, 0x00, 0x30, 0x00, 0x00}));
    EXPECT_EQ(0, std::memcmp(&f[9], block, 119));
}

TEST_F(FrameTest, PagedReadsNumberTheirPagesAndFillConsecutiveBuffers) {
    for (std::uint32_t i = 0; i < 3 * 1024; ++i) unit.model().SetEeprom(i, static_cast<std::uint8_t>(i / 1024 + 1));
    std::vector<std::uint8_t> dest(3 * 1024, 0);
    unit.clear_frames();
    ASSERT_TRUE(link.ReadPages(0, 3, dest.data()));
    auto frames = unit.frames();
    ASSERT_EQ(frames.size(), 3u);
    for (std::uint8_t p = 0; p < 3; ++p) {
        EXPECT_EQ(Head(frames[p], 5), (Bytes{0xF1, 0x02, 0x00, p, 0x00}));
        EXPECT_EQ(dest[p * 1024], p + 1);
        EXPECT_EQ(dest[p * 1024 + 1023], p + 1);
    }
    unit.clear_frames();
    EXPECT_TRUE(link.ReadPages(0, 0, dest.data()));
    EXPECT_TRUE(unit.frames().empty());
}

TEST_F(FrameTest, CommandFormsWriteExactlyTheirBytes) {
    std::vector<std::uint8_t> page(4 * 1024);
    ASSERT_TRUE(link.SendCommand3(0x11, 0x22, 0x33, page.data()));
    EXPECT_EQ(Head(Last(), 5), (Bytes{0xF1, 0x03, 0x11, 0x22, 0x33}));
    ASSERT_TRUE(link.SendCommand4(0x44, 0x55, page.data()));
    EXPECT_EQ(Head(Last(), 5), (Bytes{0xF1, 0x04, 0x44, 0x55, 0x7F}));
    ASSERT_TRUE(link.ReadPage7F(1, page.data()));
    EXPECT_EQ(Head(Last(), 5), (Bytes{0xF1, 0x02, 0x01, 0x7F, 0x7F}));
    ASSERT_TRUE(link.SendQuery(page.data()));
    EXPECT_EQ(Head(Last(), 5), (Bytes{0xF1, 0x02, 0x01, 0x7F, 0x7F}));  // only bytes 0 and 1 written
    ASSERT_TRUE(link.ReadPage(0, 2, page.data()));
    EXPECT_EQ(Head(Last(), 5), (Bytes{0xF1, 0x02, 0x00, 0x02, 0x00}));
    ASSERT_TRUE(link.ReadPagesChecked(1, 2, page.data()));
    EXPECT_EQ(Head(Last(), 5), (Bytes{0xF1, 0x02, 0x01, 0x02, 0x00}));  // bytes 3 and 4 as left

    ASSERT_TRUE(link.SendCommand7(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xBEEF, 12, 13, 14, 15));
    EXPECT_EQ(Head(Last(), 20), (Bytes{0xF1, 0x07, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xEF, 0xBE, 12, 13, 14, 15}));

    std::uint8_t src[200];
    std::iota(src, src + 200, std::uint8_t{0});
    ASSERT_TRUE(link.WriteBytes(0x21, 200, 0x05, src));
    zelsim::Frame wb = Last();
    EXPECT_EQ(Head(wb, 6), (Bytes{0xF1, 0x06, 0x00, 200, 0x21, 0x05}));
    EXPECT_EQ(0, std::memcmp(&wb[9], src, 119));  // cut where the frame ends

    std::uint8_t few[16] = {};
    ASSERT_TRUE(link.ReadBytes(0x21, 16, 0x05, few));
    EXPECT_EQ(Head(Last(), 6), (Bytes{0xF1, 0x06, 0x01, 16, 0x21, 0x05}));
}

TEST_F(FrameTest, RawExchangeSendsTheCallersBytes) {
    zelsim::Frame raw{};
    raw[0] = 0xF0;
    raw[4] = 20;  // read register 20 on select 0
    std::uint8_t reply[64] = {};
    ASSERT_TRUE(link.Exchange(raw.data(), 128, reply, sizeof reply));
    EXPECT_EQ(Last(), raw);
    EXPECT_EQ(zel::codec::GetLE16(reply + 1), unit.model().Register(0, 20));
    EXPECT_FALSE(link.Exchange(raw.data(), 128, reply, 0));
}

}  // namespace
