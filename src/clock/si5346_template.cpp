// The Si5346 register template: every write of a plan, per mode, as data.
//
// A row covers consecutive addresses first..last and lists one token per address:
//   "6C"                 a literal byte
//   "00*13"              a literal byte repeated
//   "match_a"            a one-byte computed field
//   "input_divider_a:6"  the low 6 bytes of a computed field, least significant first
//   "="                  (a whole cell) the same bytes as mode 0
// Rows are written in table order, each in ascending address order.

#include "si5346_detail.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>

namespace si5346 {
namespace {

struct Row {
    std::uint16_t first;
    std::uint16_t last;
    const char* mode0;
    const char* mode1;
    const char* mode2;
};

// clang-format off
constexpr Row kRows[] = {
  {0x0B24, 0x0B25, "D8 00", "=", "="},
  {0x000B, 0x000B, "6C", "=", "="},
  {0x0016, 0x001A, "03 1C AA CC CF", "=", "03 1C 77 CC CF"},
  {0x002B, 0x003D, "02 05 11 39 00 00 00 39 00 00 00 39 00 00 00 39 00 00 00", "=",
                   "02 08 40 00 00 00 00 00 00 3B 00 00 00 00 00 00 00 3B 00"},
  {0x003F, 0x004F, "55 board_select 0C 00 0C 00 0C 32 00 32 00 32 00 32 00 05 05",
                   "55 02 0C 00 0C 00 0C 32 00 32 00 32 00 32 00 05 05",
                   "88 03 00 00 00 0F 0C 00 00 00 32 00 00 00 32 00 50"},
  {0x0051, 0x0069, "03 00 03 00 03 00 03 00 33 00 00 00 01 00 00 00 00 00 00 00 01 00 00 00 00", "=",
                   "00 00 00 03 00 00 00 03 C0 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01"},
  {0x0092, 0x0093, "00 00", "=", "="},
  {0x0095, 0x0096, "00 00", "=", "="},
  {0x0098, 0x0098, "00", "=", "="},
  {0x009A, 0x009B, "03 11", "=", "="},
  {0x009D, 0x009E, "00 22", "=", "="},
  {0x00A0, 0x00A0, "00", "=", "="},
  {0x00A2, 0x00AC, "03 78 BE 09 00 00 78 BE 09 00 00", "=", "03 47 86 06 00 00 D6 4A 08 00 00"},
  {0x0102, 0x0102, "01", "=", "="},
  {0x0112, 0x011B, "match_a 09 6B 00 01 01 09 6B 00 00",
                   "match_a 09 6B 00 01 02 09 6B 00 00",
                   "02 09 6B 00 01 01 09 6B 00 00"},
  {0x0126, 0x012F, "match_b 09 6B 01 02 match_b 09 6B 01 02", "=",
                   "02 09 6B 01 02 02 09 6B 01 02"},
  {0x013F, 0x0142, "00 00 40 FF", "=", "="},
  {0x0202, 0x0206, "00*5", "=", "="},
  // Input dividers, each followed by its denominator 1. Mode 2 writes a fixed 0x64 in place
  // of loop A's divider and moves loop B's to 0x0226.
  {0x0208, 0x022F, "input_divider_a:6 01 00*13 input_divider_b:6 01 00*13", "=",
                   "64 00*29 input_divider_b:6 01 00 00 00"},
  {0x0231, 0x023E, "03 03 03 03 00 00 00 00 8E 00 00 00 00 80", "=", "="},
  {0x0240, 0x0246, "00*7", "=", "="},
  {0x0250, 0x0255, "output_divider_a:3 output_divider_a:3", "=", "="},
  {0x025C, 0x0261, "output_divider_b:3 output_divider_b:3", "=", "="},
  {0x026B, 0x0272, "00*8", "=", "="},
  // Multisynth numerators over the fixed denominator 0xA0000000.
  {0x0302, 0x030B, "multisynth_numerator_a:6 00 00 00 A0", "=", "="},
  {0x030D, 0x0316, "multisynth_numerator_b:6 00 00 00 A0", "=", "="},
  {0x0318, 0x0321, "00*10", "=", "="},
  {0x0323, 0x032C, "00*10", "=", "="},
  {0x0339, 0x0339, "00", "=", "="},
  {0x033B, 0x0352, "00*24", "=", "="},
  {0x0402, 0x0402, "01", "=", "="},
  {0x0408, 0x0413, "10 1F 0C 0B 03 3F 10 21 0C 0B 03 3F", "=", "="},
  {0x0415, 0x041F, "feedback_numerator_a:7 feedback_denominator_a:4", "=", "="},
  {0x0421, 0x042F, "03 01 00 00 00 00 00 00 00 00 01 0F 03 19 19",
                   "23 01 00 00 00 00 00 00 00 00 01 0F 03 19 19",
                   "23 01 00 00 00 00 00 00 00 03 01 0F 03 19 19"},
  {0x0431, 0x0434, "00 42 03 00", "00 56 03 00", "00 56 03 00"},
  {0x0436, 0x0439, "0C 00 01 00", "=", "0C 00 00 40"},
  {0x0502, 0x0502, "01", "=", "="},
  {0x0508, 0x0513, "10 1F 0C 0B 03 3F 10 21 0C 0B 03 3F", "=", "="},
  {0x0515, 0x051F, "feedback_numerator_b:7 feedback_denominator_b:4", "=", "="},
  {0x0521, 0x052F, "03 01 00 00 00 00 00 00 00 05 01 0F 03 19 19",
                   "33 01 00 00 00 00 00 00 00 05 01 0F 03 19 19",
                   "33 01 00 00 00 00 00 00 00 07 01 0F 03 19 19"},
  {0x0531, 0x0534, "00 42 03 00", "=", "00 56 03 00"},
  {0x0536, 0x0539, "0C 00 00 03", "=", "0C 00 00 40"},
  {0x090E, 0x090E, "02", "=", "="},
  {0x0943, 0x0943, "01", "=", "="},
  {0x0949, 0x094A, "05 05", "=", "08 08"},
  {0x0A03, 0x0A05, "03 03 03", "03 00 03", "03 00 03"},
  {0x0B44, 0x0B48, "3F 00 00 00 0A", "1F 00 00 00 0A", "1F 00 00 00 07"},
  {0x0B4A, 0x0B4A, "00", "=", "="},
  {0x0414, 0x0414, "01", "=", "="},
  {0x0514, 0x0514, "01", "=", "="},
  {0x001C, 0x001C, "01", "=", "="},
  {0x0B24, 0x0B25, "DB 02", "=", "="},
};
// clang-format on

struct FieldName {
    std::string_view name;
    Field field;
};

constexpr FieldName kFieldNames[] = {
    {"match_a", Field::MatchA},
    {"match_b", Field::MatchB},
    {"board_select", Field::BoardSelect},
    {"input_divider_a", Field::InputDividerA},
    {"input_divider_b", Field::InputDividerB},
    {"output_divider_a", Field::OutputDividerA},
    {"output_divider_b", Field::OutputDividerB},
    {"multisynth_numerator_a", Field::MultisynthNumeratorA},
    {"multisynth_numerator_b", Field::MultisynthNumeratorB},
    {"feedback_numerator_a", Field::FeedbackNumeratorA},
    {"feedback_numerator_b", Field::FeedbackNumeratorB},
    {"feedback_denominator_a", Field::FeedbackDenominatorA},
    {"feedback_denominator_b", Field::FeedbackDenominatorB},
};

[[noreturn]] void BadRow(const Row& row, const std::string& why) {
    char where[16];
    std::snprintf(where, sizeof where, "0x%04X", row.first);
    throw std::logic_error("register template row " + std::string(where) + ": " + why);
}

std::uint8_t HexByte(const Row& row, std::string_view text) {
    const std::string s(text);
    std::size_t used = 0;
    const unsigned long v = std::stoul(s, &used, 16);
    if (used != s.size() || s.size() != 2 || v > 0xFF) BadRow(row, "bad byte '" + s + "'");
    return static_cast<std::uint8_t>(v);
}

unsigned CountOf(const Row& row, std::string_view text) {
    const std::string s(text);
    std::size_t used = 0;
    const unsigned long v = std::stoul(s, &used, 10);
    if (used != s.size() || v == 0 || v > 64) BadRow(row, "bad count '" + s + "'");
    return static_cast<unsigned>(v);
}

void AppendToken(const Row& row, std::string_view token, std::vector<RegisterCell>& cells) {
    // Addresses are filled in once the row is complete.
    auto push = [&](Field field, std::uint8_t byte) { cells.push_back({0, field, byte}); };
    const auto colon = token.find(':');
    const std::string_view name = token.substr(0, colon);
    for (const FieldName& f : kFieldNames) {
        if (f.name != name) continue;
        const unsigned bytes = colon == std::string_view::npos ? 1 : CountOf(row, token.substr(colon + 1));
        if (bytes > 8) BadRow(row, "field wider than 64 bits");
        for (unsigned i = 0; i < bytes; ++i) push(f.field, static_cast<std::uint8_t>(i));
        return;
    }
    const auto star = token.find('*');
    const std::uint8_t byte = HexByte(row, token.substr(0, star));
    const unsigned repeat = star == std::string_view::npos ? 1 : CountOf(row, token.substr(star + 1));
    for (unsigned i = 0; i < repeat; ++i) push(Field::Literal, byte);
}

std::vector<RegisterCell> Expand(int mode) {
    std::vector<RegisterCell> all;
    all.reserve(kRegisterCount);
    for (const Row& row : kRows) {
        const char* text = mode == 1 ? row.mode1 : mode == 2 ? row.mode2 : row.mode0;
        if (std::string_view(text) == "=") text = row.mode0;
        std::vector<RegisterCell> cells;
        std::string_view rest(text);
        while (!rest.empty()) {
            const auto space = rest.find(' ');
            const std::string_view token = rest.substr(0, space);
            if (!token.empty()) AppendToken(row, token, cells);
            rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
        }
        if (cells.size() != static_cast<std::size_t>(row.last - row.first + 1))
            BadRow(row, "mode " + std::to_string(mode) + " has " + std::to_string(cells.size()) + " cells for " +
                            std::to_string(row.last - row.first + 1) + " addresses");
        for (std::size_t i = 0; i < cells.size(); ++i) cells[i].address = static_cast<std::uint16_t>(row.first + i);
        all.insert(all.end(), cells.begin(), cells.end());
    }
    if (all.size() != kRegisterCount)
        throw std::logic_error("register template has " + std::to_string(all.size()) + " writes");
    return all;
}

}  // namespace

const std::vector<RegisterCell>& RegisterTemplate(int mode) {
    static const std::array<std::vector<RegisterCell>, 3> templates = {Expand(0), Expand(1), Expand(2)};
    if (mode < 0 || mode > 2) throw std::out_of_range("no register template for mode " + std::to_string(mode));
    return templates[static_cast<std::size_t>(mode)];
}

std::uint8_t CellValue(const RegisterCell& cell, const FieldValues& values) noexcept {
    if (cell.field == Field::Literal) return cell.byte;
    const std::uint64_t v = values[static_cast<std::size_t>(cell.field)];
    return static_cast<std::uint8_t>(v >> (8 * cell.byte));
}

}  // namespace si5346
