#include "zel_clock/decimal.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <sstream>

namespace {

// Each test starts with clear flags so that it sees only what its own operations raise, and none
// leaves another rounding mode behind.
class DecimalTest : public ::testing::Test {
protected:
    void SetUp() override { Decimal::StatusFlags() = 0; }
    void TearDown() override { Decimal::RoundingMode() = 0; }
};

Decimal Parse(const char* text) { return Decimal(std::string(text)); }

DecimalFields FieldsOf(const char* text) { return Parse(text).Fields(); }

TEST_F(DecimalTest, ValueIsSixteenAlignedBytesAfterTheVirtualTable) {
    static_assert(alignof(Decimal) == 16);
    static_assert(sizeof(Decimal) == 32);  // table pointer, padding, the 16-byte value
    static_assert(std::has_virtual_destructor_v<Decimal>);
    const Decimal one(1);
    EXPECT_EQ(one.HighBits(), 0x3040000000000000ULL);  // exponent 0, biased 6176
    EXPECT_EQ(one.LowBits(), 1U);
}

TEST_F(DecimalTest, OneThirdHasThirtyFourDigits) {
    const Decimal q = Decimal(1) / Decimal(3);
    EXPECT_EQ(q.ToString(), "+.3333333333333333333333333333333333");
    EXPECT_EQ(Decimal::StatusFlags(), Decimal::kFlagInexact);
    EXPECT_EQ((Decimal(2) / Decimal(3)).ToString(), "+.6666666666666666666666666666666667");
}

TEST_F(DecimalTest, IntegerConstructionIsExact) {
    EXPECT_EQ(Decimal(std::int32_t{-2147483647 - 1}).ToString(), "-2147483648");
    EXPECT_EQ(Decimal(std::uint32_t{4294967295U}).ToString(), "+4294967295");
    EXPECT_EQ(Decimal(std::numeric_limits<std::int64_t>::min()).ToString(), "-9223372036854775808");
    EXPECT_EQ(Decimal(std::numeric_limits<std::uint64_t>::max()).ToString(), "+18446744073709551615");
    EXPECT_EQ(Decimal::StatusFlags(), 0U);
}

TEST_F(DecimalTest, BinaryFloatingPointConvertsUnderTheRoundingMode) {
    EXPECT_EQ(Decimal(0.5).ToString(), "+.5");
    EXPECT_EQ(Decimal(0.1).ToString(), "+.1000000000000000055511151231257827");
    EXPECT_EQ(Decimal::StatusFlags(), Decimal::kFlagInexact);
    EXPECT_EQ(Decimal(0.25f).ToDouble(), 0.25);
    const double d = 433.333333333;
    EXPECT_EQ(Decimal(d).ToDouble(), d);  // 34 digits carry any double back unchanged
    EXPECT_EQ(Decimal(1.1f).ToFloat(), 1.1f);
}

TEST_F(DecimalTest, TextParsesExactlyAndIsConsumed) {
    std::string text = "-123.4500";
    const Decimal d{std::move(text)};
    const DecimalFields f = d.Fields();
    EXPECT_TRUE(f.negative);
    EXPECT_EQ(f.coefficient_low, 1234500U);
    EXPECT_EQ(f.exponent, -4);
    EXPECT_EQ(Parse("1.00000000000000000000000000000000005").ToString(),
              "+1.000000000000000000000000000000000");  // 36 digits rounded to 34, tie to even
    EXPECT_EQ(Decimal::StatusFlags(), Decimal::kFlagInexact);
    std::string kept = "7";
    const Decimal by_copy(kept);
    EXPECT_EQ(kept, "7");  // a copy was consumed, not the caller's string
    EXPECT_TRUE(Parse("nonsense").IsNaN());
}

TEST_F(DecimalTest, ArithmeticOperators) {
    const Decimal a = Parse("12.5");
    const Decimal b = Parse("-0.25");
    EXPECT_EQ((a + b).ToString(), "+12.25");
    EXPECT_EQ((a - b).ToString(), "+12.75");
    EXPECT_EQ((a * b).ToString(), "-3.125");
    EXPECT_TRUE(a / b == Decimal(-50));
    EXPECT_EQ((a / b).ToString(), "-5");  // -5E+1: the text drops a positive exponent
    Decimal c = a;
    c += b;
    EXPECT_EQ(c.ToString(), "+12.25");
    c -= Decimal(2);
    EXPECT_EQ(c.ToString(), "+10.25");
    c *= Decimal(4);
    EXPECT_EQ(c.ToString(), "+41.00");
    c /= Decimal(8);
    EXPECT_EQ(c.ToString(), "+5.125");
    EXPECT_EQ(Decimal::StatusFlags(), 0U);
}

TEST_F(DecimalTest, IncrementAndDecrementStepByExactlyOne) {
    Decimal d = Parse("0.5");
    EXPECT_EQ((d++).ToString(), "+.5");
    EXPECT_EQ(d.ToString(), "+1.5");
    EXPECT_EQ((++d).ToString(), "+2.5");
    EXPECT_EQ((d--).ToString(), "+2.5");
    EXPECT_EQ((--d).ToString(), "+.5");
    EXPECT_EQ(d.ToString(), "+.5");
}

TEST_F(DecimalTest, RemainderRoundsTheQuotientToNearestEven) {
    EXPECT_EQ(Decimal::Remainder(Decimal(10), Decimal(3)).ToString(), "+1");
    EXPECT_EQ(Decimal::Remainder(Decimal(11), Decimal(3)).ToString(), "-1");
    EXPECT_EQ(Decimal::Remainder(Decimal(5), Decimal(2)).ToString(), "+1");  // 2.5 -> 2
    EXPECT_EQ(Decimal::Remainder(Decimal(7), Decimal(2)).ToString(), "-1");  // 3.5 -> 4
    Decimal::RoundingMode() = 2;  // toward +infinity: the remainder ignores it
    EXPECT_EQ(Decimal::Remainder(Decimal(5), Decimal(2)).ToString(), "+1");
    Decimal::RoundingMode() = 0;
    EXPECT_TRUE(Decimal::Remainder(Decimal(1), Decimal(0)).IsNaN());
    EXPECT_EQ(Decimal::StatusFlags(), Decimal::kFlagInvalid);
}

// Every rounded operation reads the process-wide mode when it runs, the inline ones in the caller
// too: one inexact result per operation under each of the library's five modes (to nearest with
// ties to even, down, up, toward zero, to nearest with ties away from zero).
TEST_F(DecimalTest, RoundingModeReachesEveryRoundedOperation) {
    const Decimal e33 = Parse("1000000000000000000000000000000000");  // 34 digits: any fraction rounds
    const auto hex = [](double d) {
        char text[32];
        std::snprintf(text, sizeof text, "%a", d);
        return std::string(text);
    };
    struct Case {
        const char* what;
        std::function<std::string()> run;
        std::array<const char*, 5> want;
    };
    const Case cases[] = {
        {"2 / 3",
         [] { return (Decimal(2) / Decimal(3)).ToString(); },
         {"+.6666666666666666666666666666666667", "+.6666666666666666666666666666666666",
          "+.6666666666666666666666666666666667", "+.6666666666666666666666666666666666",
          "+.6666666666666666666666666666666667"}},
        {"-2 / 3",
         [] { return (Decimal(-2) / Decimal(3)).ToString(); },
         {"-.6666666666666666666666666666666667", "-.6666666666666666666666666666666667",
          "-.6666666666666666666666666666666666", "-.6666666666666666666666666666666666",
          "-.6666666666666666666666666666666667"}},
        {"10^33 + 0.5 (a tie)",
         [&] { return (e33 + Parse("0.5")).ToString(); },
         {"+1000000000000000000000000000000000", "+1000000000000000000000000000000000",
          "+1000000000000000000000000000000001", "+1000000000000000000000000000000000",
          "+1000000000000000000000000000000001"}},
        {"-10^33 - 0.5 (a tie)",
         [&] { return (Decimal(0) - e33 - Parse("0.5")).ToString(); },
         {"-1000000000000000000000000000000000", "-1000000000000000000000000000000001",
          "-1000000000000000000000000000000000", "-1000000000000000000000000000000000",
          "-1000000000000000000000000000000001"}},
        {"(10^33 + 3) x 1.5 (a tie)",
         [&] { return ((e33 + Decimal(3)) * Parse("1.5")).ToString(); },
         {"+1500000000000000000000000000000004", "+1500000000000000000000000000000004",
          "+1500000000000000000000000000000005", "+1500000000000000000000000000000004",
          "+1500000000000000000000000000000005"}},
        {"from the double 0.1",
         [] { return Decimal(0.1).ToString(); },
         {"+.1000000000000000055511151231257827", "+.1000000000000000055511151231257827",
          "+.1000000000000000055511151231257828", "+.1000000000000000055511151231257827",
          "+.1000000000000000055511151231257827"}},
        {"0.1 to double",
         [&] { return hex(Parse("0.1").ToDouble()); },
         {"0x1.999999999999ap-4", "0x1.9999999999999p-4", "0x1.999999999999ap-4", "0x1.9999999999999p-4",
          "0x1.999999999999ap-4"}},
    };
    for (const Case& c : cases) {
        for (std::uint32_t mode = 0; mode < 5; ++mode) {
            Decimal::RoundingMode() = mode;
            Decimal::StatusFlags() = 0;
            const std::string got = c.run();
            const std::uint32_t flags = Decimal::StatusFlags();
            Decimal::RoundingMode() = 0;
            EXPECT_EQ(got, c.want[mode]) << c.what << ", mode " << mode;
            EXPECT_EQ(flags, Decimal::kFlagInexact) << c.what << ", mode " << mode;
        }
    }
}

TEST_F(DecimalTest, ComparisonsOfNumbers) {
    const Decimal one(1), two(2), also_one = Parse("1.000");
    EXPECT_TRUE(one == also_one);
    EXPECT_FALSE(one != also_one);
    EXPECT_TRUE(one < two);
    EXPECT_FALSE(two < one);
    EXPECT_TRUE(one <= also_one);
    EXPECT_FALSE(two <= one);
    EXPECT_TRUE(two > one);
    EXPECT_FALSE(one > also_one);
    EXPECT_TRUE(one >= also_one);
    EXPECT_FALSE(one >= two);
    EXPECT_TRUE(Parse("-0") == Decimal(0));
}

TEST_F(DecimalTest, ComparisonsWithNaN) {
    const Decimal nan = Decimal(0) / Decimal(0);
    Decimal::StatusFlags() = 0;
    const Decimal one(1);
    EXPECT_TRUE(nan < one);
    EXPECT_TRUE(nan >= one);
    EXPECT_TRUE(nan <= one);
    EXPECT_TRUE(nan > one);
    EXPECT_TRUE(one > nan);
    EXPECT_TRUE(nan != nan);
    EXPECT_FALSE(nan == nan);
    EXPECT_FALSE(nan == one);
    EXPECT_EQ(Decimal::StatusFlags(), 0U);  // quiet comparisons
}

// The six comparisons over infinities, signed zeros, the smallest number and NaNs, each the negated
// quiet test of its converse; only a signaling NaN raises a flag (invalid).
TEST_F(DecimalTest, ComparisonsOfSpecials) {
    struct Case {
        const char* a;
        const char* b;
        std::array<bool, 6> want;  // == != < <= > >=
        std::uint32_t flags;
    };
    const Case cases[] = {
        {"-Inf", "Inf", {false, true, true, true, false, false}, 0},
        {"Inf", "Inf", {true, false, false, true, false, true}, 0},
        {"Inf", "9.999999999999999999999999999999999E+6144", {false, true, false, false, true, true}, 0},
        {"0", "-0", {true, false, false, true, false, true}, 0},
        {"1E-6176", "0", {false, true, false, false, true, true}, 0},
        {"-1E-6176", "-0", {false, true, true, true, false, false}, 0},
        {"NaN", "Inf", {false, true, true, true, true, true}, 0},
        {"-Inf", "NaN", {false, true, true, true, true, true}, 0},
        {"sNaN", "1", {false, true, true, true, true, true}, Decimal::kFlagInvalid},
        {"1", "sNaN", {false, true, true, true, true, true}, Decimal::kFlagInvalid},
    };
    for (const Case& c : cases) {
        const Decimal a = Parse(c.a), b = Parse(c.b);
        Decimal::StatusFlags() = 0;
        const std::array<bool, 6> got = {a == b, a != b, a<b, a <= b, a> b, a >= b};
        EXPECT_EQ(got, c.want) << c.a << " against " << c.b;
        EXPECT_EQ(Decimal::StatusFlags(), c.flags) << c.a << " against " << c.b;
    }
}

TEST_F(DecimalTest, IntegerConversionsTruncateOrRoundHalfAway) {
    const Decimal up = Parse("2.5"), down = Parse("-2.5");
    EXPECT_EQ(up.ToInt64(false), 3);
    EXPECT_EQ(up.ToInt64(true), 2);
    EXPECT_EQ(down.ToInt64(false), -3);
    EXPECT_EQ(down.ToInt64(true), -2);
    EXPECT_EQ(Parse("-7.9").ToInt32(true), -7);
    EXPECT_EQ(Parse("-7.5").ToInt32(false), -8);
    EXPECT_EQ(Parse("4294967295.4").ToUint32(false), 4294967295U);
    EXPECT_EQ(Parse("18446744073709551615.9").ToUint64(true), 18446744073709551615ULL);
    EXPECT_EQ(Parse("0.5").ToUint64(false), 1U);
    EXPECT_EQ(Decimal::StatusFlags() & Decimal::kFlagInvalid, 0U);
    EXPECT_EQ(Decimal::StatusFlags(), Decimal::kFlagInexact);  // the fractions were dropped
}

TEST_F(DecimalTest, IntegerConversionsOutOfRangeGiveIndefiniteAndRaiseInvalid) {
    const Decimal nan = Decimal(0) / Decimal(0);
    struct Case {
        const char* what;
        std::uint64_t got;
        std::uint64_t indefinite;
    };
    const Case cases[] = {
        {"int32 2^31", static_cast<std::uint32_t>(Parse("2147483648").ToInt32(true)), 0x80000000U},
        {"int32 nan", static_cast<std::uint32_t>(nan.ToInt32(false)), 0x80000000U},
        {"uint32 2^32", Parse("4294967296").ToUint32(false), 0x80000000U},
        {"uint32 -1", Parse("-1").ToUint32(true), 0x80000000U},
        {"int64 2^63", static_cast<std::uint64_t>(Parse("9223372036854775808").ToInt64(true)), 0x8000000000000000ULL},
        {"int64 -2^63-0.5", static_cast<std::uint64_t>(Parse("-9223372036854775808.5").ToInt64(false)),
         0x8000000000000000ULL},
        {"uint64 2^64", Parse("18446744073709551616").ToUint64(true), 0x8000000000000000ULL},
        {"uint64 1e40", Parse("1E40").ToUint64(false), 0x8000000000000000ULL},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.indefinite) << c.what;
    EXPECT_NE(Decimal::StatusFlags() & Decimal::kFlagInvalid, 0U);
    Decimal::StatusFlags() = 0;
    (void)Parse("1E40").ToInt64(true);
    EXPECT_EQ(Decimal::StatusFlags(), Decimal::kFlagInvalid);
}

TEST_F(DecimalTest, TextPlacesThePointFromTheExponent) {
    EXPECT_EQ(Parse("123.45").ToString(), "+123.45");
    EXPECT_EQ(Decimal(5).ToString(), "+5");
    EXPECT_EQ(Parse("0.5").ToString(), "+.5");
    EXPECT_EQ(Parse("5E-3").ToString(), "+0.005");
    EXPECT_EQ(Parse("-5E-2").ToString(), "-0.05");
    EXPECT_EQ(Parse("-12E-2").ToString(), "-.12");
    EXPECT_EQ(Parse("0E-3").ToString(), "+0.000");
    EXPECT_EQ(Parse("12E+3").ToString(), "+12");  // a positive exponent is dropped
    EXPECT_EQ((Decimal(1) / Decimal(0)).ToString(), "+Inf");
    std::ostringstream os;
    os << Parse("-1.5") << '|' << Decimal(0) / Decimal(0);
    EXPECT_EQ(os.str(), "-1.5|+NaN");
}

TEST_F(DecimalTest, FieldsOfSpecialAndNonCanonicalEncodings) {
    EXPECT_EQ((Decimal(-1) / Decimal(0)).Fields().kind, DecimalFields::Kind::Infinity);
    EXPECT_TRUE((Decimal(-1) / Decimal(0)).Fields().negative);
    EXPECT_EQ((Decimal(0) / Decimal(0)).Fields().kind, DecimalFields::Kind::QuietNaN);
    EXPECT_EQ(Decimal::FromBits(0x7E00000000000000ULL, 0).Fields().kind, DecimalFields::Kind::SignalingNaN);
    // Coefficient 10^34 in the plain form is non-canonical and reads as zero.
    const DecimalFields wide =
        Decimal::FromBits(0x304000000000000ULL << 4 | 0x1ED09BEAD87C0ULL, 0x378D8E6400000000ULL).Fields();
    EXPECT_EQ(wide.coefficient_high, 0U);
    EXPECT_EQ(wide.coefficient_low, 0U);
    EXPECT_EQ(wide.exponent, 0);
    // The form with the implied high bits is never canonical in decimal128.
    const DecimalFields implied = Decimal::FromBits(0x6000000000000000ULL | (6176ULL << 47), 5).Fields();
    EXPECT_EQ(implied.kind, DecimalFields::Kind::Finite);
    EXPECT_EQ(implied.coefficient_low, 0U);
    EXPECT_EQ(implied.exponent, 0);
    EXPECT_TRUE(Decimal::FromBits(0x6000000000000000ULL | (6176ULL << 47), 5) == Decimal(0));
}

DecimalRecord RecordOf(std::uint8_t scale, bool negative, std::uint32_t high, std::uint64_t low) {
    DecimalRecord r;
    r.bytes[2] = scale;
    r.bytes[3] = negative ? 0x80 : 0;
    for (int i = 0; i < 4; ++i) r.bytes[static_cast<std::size_t>(4 + i)] = static_cast<std::uint8_t>(high >> (8 * i));
    for (int i = 0; i < 8; ++i) r.bytes[static_cast<std::size_t>(8 + i)] = static_cast<std::uint8_t>(low >> (8 * i));
    return r;
}

TEST_F(DecimalTest, RecordConstructionReadsSignCoefficientAndFiveScaleBits) {
    EXPECT_EQ(Decimal(RecordOf(2, false, 0, 12345)).ToString(), "+123.45");
    EXPECT_EQ(Decimal(RecordOf(3, true, 0, 5)).ToString(), "-0.005");
    EXPECT_EQ(Decimal(RecordOf(0xE1, false, 0, 7)).ToString(), "+.7");  // scale 0xE1 & 0x1F = 1
    DecimalRecord noisy = RecordOf(0, true, 1, 0);
    noisy.bytes[0] = 0xAA;  // bytes 0-1 and the low bits of byte 3 carry nothing
    noisy.bytes[3] |= 0x7F;
    EXPECT_EQ(Decimal(noisy).ToString(), "-18446744073709551616");
}

TEST_F(DecimalTest, RecordRoundTrips) {
    const DecimalRecord records[] = {
        RecordOf(0, false, 0, 0),
        RecordOf(4, true, 0, 123456789),
        RecordOf(31, false, 0xFFFFFFFFU, 0xFFFFFFFFFFFFFFFFULL),  // largest 96-bit coefficient
        RecordOf(0, true, 0xFFFFFFFFU, 0xFFFFFFFFFFFFFFFFULL),
        RecordOf(17, false, 0x12345678U, 0x9ABCDEF012345678ULL),
    };
    for (const DecimalRecord& r : records) {
        const Decimal d(r);
        const auto back = d.ToRecord();
        ASSERT_TRUE(back.has_value()) << d;
        EXPECT_EQ(back->bytes, r.bytes) << d;
    }
    EXPECT_EQ(Decimal(RecordOf(0, false, 0xFFFFFFFFU, 0xFFFFFFFFFFFFFFFFULL)).ToString(),
              "+79228162514264337593543950335");
}

TEST_F(DecimalTest, RecordOfValuesItCannotHoldDirectly) {
    // A positive exponent is folded into the coefficient.
    auto r = Parse("12E+3").ToRecord();
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(Decimal(*r).ToString(), "+12000");
    EXPECT_EQ(r->bytes[2], 0);
    // Trailing zeros of a coefficient wider than 96 bits are dropped while the scale allows.
    r = Parse("10000000000000000000000000000.00").ToRecord();
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(Decimal(*r) == Parse("1E28"));
    EXPECT_EQ(r->bytes[2], 0);
    // Zero keeps its value whatever its exponent.
    r = Parse("0E-40").ToRecord();
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->bytes[2], 31);
    EXPECT_TRUE(Decimal(*r) == Decimal(0));
    // What cannot be held exactly is reported, not stored as another number.
    EXPECT_FALSE((Decimal(1) / Decimal(3)).ToRecord().has_value());               // 34 digits
    EXPECT_FALSE(Parse("1E-32").ToRecord().has_value());                          // scale 32
    EXPECT_FALSE(Parse("79228162514264337593543950336").ToRecord().has_value());  // 2^96
    EXPECT_FALSE(Parse("1E+29").ToRecord().has_value());
    EXPECT_FALSE((Decimal(1) / Decimal(0)).ToRecord().has_value());
    EXPECT_FALSE((Decimal(0) / Decimal(0)).ToRecord().has_value());
}

TEST_F(DecimalTest, PartsConstructionAndRoundTrip) {
    EXPECT_EQ(Decimal(12345U, 0U, 0U, -2, 1).ToString(), "+123.45");
    EXPECT_EQ(Decimal(5U, 0U, 0U, -3, -7).ToString(), "-0.005");
    EXPECT_EQ(Decimal(0U, 1U, 0U, 0, 0).ToString(), "+4294967296");
    const DecimalParts cases[] = {
        {0xFFFFFFFFU, 0xFFFFFFFFU, 0xFFFFFFFFU, 0, -1},
        {0xFFFFFFFFU, 0xFFFFFFFFU, 0xFFFFFFFFU, -28, 1},
        {1U, 2U, 3U, 6111, -1},
        {9U, 0U, 0U, -6176, 1},
        {0U, 0U, 0U, -5, -1},
    };
    for (const DecimalParts& p : cases) {
        const DecimalParts back = Decimal(p).ToParts();
        EXPECT_EQ(back.low, p.low);
        EXPECT_EQ(back.middle, p.middle);
        EXPECT_EQ(back.high, p.high);
        EXPECT_EQ(back.exponent, p.exponent);
        EXPECT_EQ(back.sign, p.sign);
    }
    EXPECT_EQ(Decimal::StatusFlags(), 0U);
}

TEST_F(DecimalTest, PartsBeyondTheExponentRange) {
    // 123 * 10^-6178 cannot keep its exponent: it rounds to 1E-6176 and underflows.
    const Decimal tiny(123U, 0U, 0U, -6178, 1);
    EXPECT_TRUE(tiny == Parse("1E-6176"));
    EXPECT_NE(Decimal::StatusFlags() & Decimal::kFlagUnderflow, 0U);
    // 1 * 10^6112 is still representable by moving a zero into the coefficient.
    EXPECT_TRUE(Decimal(1U, 0U, 0U, 6112, 1) == Parse("10E6111"));
    Decimal::StatusFlags() = 0;
    const Decimal huge(1U, 0U, 0U, 7000, -1);
    EXPECT_EQ(huge.Fields().kind, DecimalFields::Kind::Infinity);
    EXPECT_TRUE(huge.Fields().negative);
    EXPECT_NE(Decimal::StatusFlags() & Decimal::kFlagOverflow, 0U);
}

TEST_F(DecimalTest, PartsOfSpecialsAndWideCoefficients) {
    const DecimalParts inf = (Decimal(-1) / Decimal(0)).ToParts();
    EXPECT_EQ(inf.low | inf.middle | inf.high, 0U);
    EXPECT_EQ(inf.sign, -1);
    // 34 nines: the parts keep the low 96 bits of the coefficient.
    const DecimalParts wide = Parse("9999999999999999999999999999999999").ToParts();
    const DecimalFields f = FieldsOf("9999999999999999999999999999999999");
    EXPECT_EQ(wide.low, static_cast<std::uint32_t>(f.coefficient_low));
    EXPECT_EQ(wide.middle, static_cast<std::uint32_t>(f.coefficient_low >> 32));
    EXPECT_EQ(wide.high, static_cast<std::uint32_t>(f.coefficient_high));
}

}  // namespace
