#include "calib_file.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace zelctl::calib {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kFormat = "zelctl calibration backup";
// Version 1 holds the decoded values only; version 2 also each record's stored bytes.
constexpr int kVersion = 2;
constexpr std::size_t kMaxChannels = 8;  // the largest board
constexpr std::size_t kMaxSlots = 6;     // the wavelength table's entries

[[noreturn]] void Fail(const std::string& where, const std::string& what) { throw FileError(where + ": " + what); }

// A double as JSON: a number, or (NaN, infinity: an erased record) its bit pattern as "0x...".
Json NumberJson(double x) {
    if (std::isfinite(x)) return x;
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%016llX", static_cast<unsigned long long>(bits));
    return buf;
}

// A stored record's value in a backup: null when it is erased, else what it decodes to.
Json RecordJson(const ItemShape& shape, const Bytes& bytes) {
    return IsErased(bytes) ? Json(nullptr) : ValuesJson(shape, Decode(shape, bytes));
}

Json ChannelJson(const std::vector<const ItemShape*>& shapes, std::size_t channel, const ChannelRecords& records) {
    Json ch = {{"channel", channel}};
    Json bytes = Json::object();
    for (std::size_t i = 0; i < shapes.size(); ++i) {
        ch[shapes[i]->key] = RecordJson(*shapes[i], records[i]);
        bytes[shapes[i]->key] = Hex(records[i]);
    }
    ch["bytes"] = bytes;
    return ch;
}

Json ChannelsJson(bool per_slot, const std::vector<ChannelRecords>& channels) {
    Json out = Json::array();
    for (std::size_t c = 0; c < channels.size(); ++c) out.push_back(ChannelJson(ItemsOf(per_slot), c, channels[c]));
    return out;
}

// ---- reading ----------------------------------------------------------------------------------

const Json& Member(const Json& obj, const char* key, const std::string& where) {
    if (!obj.is_object() || !obj.contains(key)) Fail(where, std::string("missing \"") + key + "\"");
    return obj[key];
}

std::int64_t IntegerOf(const Json& v, const std::string& where) {
    if (!v.is_number_integer()) Fail(where, "expected a whole number");
    return v.get<std::int64_t>();
}

// The whole number at obj.key, named `where` when missing and `where.key` when not whole.
std::int64_t IntegerMember(const Json& obj, const char* key, const std::string& where) {
    return IntegerOf(Member(obj, key, where), where + "." + key);
}

double NumberOf(const Json& v, const std::string& where) {
    if (v.is_number()) return v.get<double>();
    if (v.is_string()) {
        const std::string text = v.get<std::string>();
        std::uint64_t bits = 0;
        std::size_t used = 0;
        try {
            bits = std::stoull(text, &used, 16);
        } catch (const std::exception&) {
            used = 0;
        }
        if (text.size() == 18 && text.rfind("0x", 0) == 0 && used == text.size()) {
            double x;
            std::memcpy(&x, &bits, sizeof x);
            return x;
        }
    }
    Fail(where, "expected a number");
}

// A record of a version 1 backup: its values, stored as the library would read them back.
Bytes RecordFromValues(const ItemShape& shape, const Json& v, const std::string& where) {
    std::vector<double> values;
    if (shape.count == 1) {
        values.push_back(NumberOf(v, where));
    } else {
        if (!v.is_array() || v.size() != shape.count)
            Fail(where, "expected " + std::to_string(shape.count) + " values");
        for (std::size_t j = 0; j < shape.count; ++j) {
            const std::string at = where + "[" + std::to_string(j) + "]";
            if (shape.WholeNumbers()) {
                const std::int64_t x = IntegerOf(v[j], at);
                if (x < 0 || x > 0xFFFF) Fail(at, "expected 0..65535");
                values.push_back(static_cast<double>(x));
            } else {
                values.push_back(NumberOf(v[j], at));
            }
        }
    }
    try {
        return Encode(shape, values);
    } catch (const std::invalid_argument& e) {
        Fail(where, std::string("the record cannot hold it: ") + e.what());
    }
}

// A record of a version 2 backup: its stored bytes, and beside them the value they decode to.
Bytes RecordFromBytes(const ItemShape& shape, const Json& value, const Json& hex, const std::string& where) {
    Bytes bytes;
    if (!hex.is_string() || !FromHex(hex.get<std::string>(), bytes) || bytes.size() != shape.Size()) {
        Fail(where + ".bytes", "expected " + std::to_string(shape.Size()) + " bytes in hex");
    }
    if (value != RecordJson(shape, bytes)) {
        Fail(where,
             "the value " + value.dump() + " is not what its bytes hold (" + RecordJson(shape, bytes).dump() + ")");
    }
    return bytes;
}

ChannelRecords ChannelFromJson(const Json& ch, std::size_t channel, bool per_slot, std::int64_t version,
                               const std::string& at) {
    if (IntegerMember(ch, "channel", at) != static_cast<std::int64_t>(channel)) {
        Fail(at + ".channel", "expected " + std::to_string(channel));
    }
    ChannelRecords records;
    for (const auto* shape : ItemsOf(per_slot)) {
        const std::string item_at = at + "." + shape->key;
        const Json& value = Member(ch, shape->key, at);
        if (version == 1) {
            records.push_back(RecordFromValues(*shape, value, item_at));
        } else {
            const Json& hex = Member(Member(ch, "bytes", at), shape->key, at + ".bytes");
            records.push_back(RecordFromBytes(*shape, value, hex, item_at));
        }
    }
    return records;
}

std::vector<ChannelRecords> ChannelsFromJson(const Json& arr, std::size_t channels, bool per_slot, std::int64_t version,
                                             const std::string& where) {
    if (!arr.is_array() || arr.size() != channels)
        Fail(where, "expected " + std::to_string(channels) + " channel entries");
    std::vector<ChannelRecords> out;
    for (std::size_t c = 0; c < channels; ++c) {
        out.push_back(ChannelFromJson(arr[c], c, per_slot, version, where + "[" + std::to_string(c) + "]"));
    }
    return out;
}

SlotRecords SlotFromJson(const Json& entry, std::size_t slot, std::size_t channels, std::int64_t version,
                         const std::string& at) {
    if (IntegerMember(entry, "slot", at) != static_cast<std::int64_t>(slot))
        Fail(at + ".slot", "expected " + std::to_string(slot));
    const std::int64_t nm = IntegerMember(entry, "wavelength_nm", at);
    if (nm < 1 || nm > 0xFFFE) Fail(at + ".wavelength_nm", "expected 1..65534");
    SlotRecords out;
    out.slot = static_cast<int>(slot);
    out.nm = static_cast<std::uint16_t>(nm);
    out.channels = ChannelsFromJson(Member(entry, "channels", at), channels, true, version, at + ".channels");
    return out;
}

Json ParseJson(const std::string& text) {
    try {
        return Json::parse(text);
    } catch (const Json::parse_error& e) {
        // The parser's message without its "[json.exception.parse_error.101] " prefix.
        const std::string what = e.what();
        const std::size_t colon = what.find("] ");
        throw FileError("malformed JSON: " + (colon == std::string::npos ? what : what.substr(colon + 2)));
    }
}

}  // namespace

Json ValuesJson(const ItemShape& shape, const std::vector<double>& values) {
    if (shape.count == 1) return NumberJson(values[0]);
    Json out = Json::array();
    for (double x : values) out.push_back(shape.WholeNumbers() ? Json(static_cast<unsigned>(x)) : NumberJson(x));
    return out;
}

std::string BackupText(const Calibration& cal, const Context& context) {
    Json doc = {{"format", kFormat}, {"version", kVersion}};
    if (!context.empty()) {
        Json made = Json::object();
        for (const auto& [key, value] : context) made[key] = value;
        doc["context"] = made;
    }
    doc["unit"] = {{"board_id", cal.board_id}, {"board_type", cal.board_type}, {"serial", cal.serial}};
    doc["channels"] = cal.user.size();
    Json slots = Json::array();
    for (const auto& slot : cal.slots) {
        slots.push_back(
            {{"slot", slot.slot}, {"wavelength_nm", slot.nm}, {"channels", ChannelsJson(true, slot.channels)}});
    }
    doc["wavelengths"] = slots;
    doc["user"] = ChannelsJson(false, cal.user);
    return doc.dump(2) + "\n";
}

Calibration ParseBackup(const std::string& text) {
    const Json doc = ParseJson(text);
    if (!doc.is_object() || Member(doc, "format", "top level") != kFormat)
        Fail("format", "not a zelctl calibration backup");
    const std::int64_t version = IntegerOf(Member(doc, "version", "top level"), "version");
    if (version != 1 && version != kVersion)
        Fail("version", "this zelctl reads versions 1 and " + std::to_string(kVersion));
    Calibration cal;
    const Json& unit = Member(doc, "unit", "top level");
    cal.board_type = static_cast<int>(IntegerMember(unit, "board_type", "unit"));
    cal.serial = IntegerMember(unit, "serial", "unit");
    cal.board_id = static_cast<std::uint32_t>(IntegerMember(unit, "board_id", "unit"));
    const std::int64_t channels = IntegerOf(Member(doc, "channels", "top level"), "channels");
    if (channels < 1 || channels > static_cast<std::int64_t>(kMaxChannels)) {
        Fail("channels", "expected 1 to " + std::to_string(kMaxChannels));
    }
    const Json& slots = Member(doc, "wavelengths", "top level");
    if (!slots.is_array() || slots.empty() || slots.size() > kMaxSlots) {
        Fail("wavelengths", "expected 1 to " + std::to_string(kMaxSlots) + " wavelength slots");
    }
    for (std::size_t w = 0; w < slots.size(); ++w) {
        cal.slots.push_back(SlotFromJson(slots[w], w, static_cast<std::size_t>(channels), version,
                                         "wavelengths[" + std::to_string(w) + "]"));
    }
    cal.user =
        ChannelsFromJson(Member(doc, "user", "top level"), static_cast<std::size_t>(channels), false, version, "user");
    return cal;
}

}  // namespace zelctl::calib
