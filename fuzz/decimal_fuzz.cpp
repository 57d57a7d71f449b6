// Decimal text parsing on arbitrary text, and the conversions of what it parsed. The input holds
// up to two numbers separated by a newline. Beyond the sanitizers: a finite number's text reads
// back as the same value (unless its exponent is positive), a record it converts to reads back as the same value, and
// the arithmetic on two parsed numbers formats without fault.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "zel_clock/decimal.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "decimal: %s ('%s')\n", what, text.c_str());
    std::abort();
}

void CheckOne(const Decimal& d, const std::string& source) {
    const std::string text = d.ToString();
    // The text form drops a positive exponent by design (12E+3 gives +12), so only values without
    // one read back.
    if (d.IsFinite() && d.Fields().exponent <= 0 && !(Decimal(std::string(text)) == d)) {
        Fail("text does not read back as the value", source);
    }
    if (const auto record = d.ToRecord()) {
        if (!(Decimal(*record) == d)) Fail("record does not read back as the value", source);
    }
    (void)d.ToParts();
    (void)d.Fields();
    (void)d.ToDouble();
    (void)d.ToInt64(true);
    (void)d.ToUint32(false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 256) return 0;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = input.find('\n');
    const std::string first = input.substr(0, cut);
    const std::string second = cut == std::string::npos ? std::string("1") : input.substr(cut + 1);
    const Decimal a{std::string(first)};
    const Decimal b{std::string(second)};
    CheckOne(a, first);
    CheckOne(b, second);
    for (const Decimal& r : {a + b, a - b, a * b, a / b, Decimal::Remainder(a, b)}) (void)r.ToString();
    (void)(a < b);
    return 0;
}
