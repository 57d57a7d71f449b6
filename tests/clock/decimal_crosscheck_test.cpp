// Checks the decimal arithmetic against cases that Python's decimal module worked out
// independently (gen_decimal_cases.py writes decimal_cases.txt).

#include "zel_clock/decimal.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

constexpr std::uint32_t kComparedFlags = Decimal::kFlagInvalid | Decimal::kFlagDivisionByZero | Decimal::kFlagOverflow |
                                         Decimal::kFlagUnderflow | Decimal::kFlagInexact;

struct Case {
    std::string op;
    std::uint64_t x_high, x_low, y_high, y_low;
    char kind;
    char sign;
    std::string coefficient;  // hex
    std::int32_t exponent;
    std::uint32_t flags;
};

std::vector<Case> LoadCases() {
    std::ifstream in(ZEL_DECIMAL_CASES);
    std::vector<Case> cases;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream s(line);
        Case c;
        std::string sign;
        s >> c.op >> std::hex >> c.x_high >> c.x_low >> c.y_high >> c.y_low >> c.kind >> sign >> c.coefficient >>
            std::dec >> c.exponent >> std::hex >> c.flags;
        c.sign = sign.at(0);
        if (!s) throw std::runtime_error("bad case line: " + line);
        cases.push_back(c);
    }
    return cases;
}

std::string HexCoefficient(const DecimalFields& f) {
    std::ostringstream s;
    s << std::hex;
    if (f.coefficient_high != 0) {
        s << f.coefficient_high;
        s.width(16);
        s.fill('0');
    }
    s << f.coefficient_low;
    return s.str();
}

Decimal Apply(const std::string& op, const Decimal& x, const Decimal& y) {
    if (op == "add") return x + y;
    if (op == "sub") return x - y;
    if (op == "mul") return x * y;
    if (op == "div") return x / y;
    if (op == "rem") return Decimal::Remainder(x, y);
    throw std::runtime_error("unknown operation " + op);
}

TEST(DecimalCrossCheck, ArithmeticAgreesWithAnIndependentImplementation) {
    const std::vector<Case> cases = LoadCases();
    ASSERT_GE(cases.size(), 3000U);
    std::map<std::string, int> per_op;
    std::uint32_t flags_seen = 0;
    int failures = 0;
    for (const Case& c : cases) {
        const Decimal x = Decimal::FromBits(c.x_high, c.x_low);
        const Decimal y = Decimal::FromBits(c.y_high, c.y_low);
        Decimal::StatusFlags() = 0;
        const Decimal r = Apply(c.op, x, y);
        const std::uint32_t raised = Decimal::StatusFlags() & kComparedFlags;
        const DecimalFields f = r.Fields();
        const char kind = f.kind == DecimalFields::Kind::Finite     ? 'F'
                          : f.kind == DecimalFields::Kind::Infinity ? 'I'
                                                                    : 'N';
        bool same = kind == c.kind && raised == c.flags;
        if (same && kind != 'N') same = (f.negative ? '-' : '+') == c.sign;
        if (same && kind == 'F') same = HexCoefficient(f) == c.coefficient && f.exponent == c.exponent;
        if (!same && ++failures <= 20) {
            ADD_FAILURE() << c.op << ' ' << x << ' ' << y << " gave " << kind << ' ' << r << " (" << HexCoefficient(f)
                          << " E" << f.exponent << ") flags " << std::hex << raised << "; expected " << c.kind << ' '
                          << c.sign << c.coefficient << " E" << std::dec << c.exponent << " flags " << std::hex
                          << c.flags;
        }
        ++per_op[c.op];
        flags_seen |= c.flags;
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(per_op.size(), 5U);
    // The data exercise every compared flag, so a flag the library stopped raising shows up.
    EXPECT_EQ(flags_seen, kComparedFlags);
}

}  // namespace
