// calib get|set|backup|restore: the calibration records of each wavelength slot and the user calibration.
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "unit_helpers.h"

namespace zelctl {
namespace {

constexpr const char* kFormat = "zelctl calibration backup";
constexpr int kVersion = 1;

enum class Item { Tap, Voa, Defined, VoaLoss, SwitchLoss, UserTx, UserRx };

struct ItemShape {
  Item item;
  const char* key;    // command-line name and JSON key
  const char* label;
  size_t count;       // values per channel
  bool per_slot;      // stored once per wavelength slot (else once per channel)
  bool whole_numbers;
};

const ItemShape kItems[] = {
    {Item::Tap, "tap", "TAP factor (uW/count)", 1, true, false},
    {Item::Voa, "voa", "VOA coefficients c0..c3", 4, true, false},
    {Item::Defined, "defined", "VOA defined values", 30, true, true},
    {Item::VoaLoss, "voa_loss", "VOA insertion loss (dB)", 1, true, false},
    {Item::SwitchLoss, "switch_loss", "4x1 switch insertion loss (dB)", 1, true, false},
    {Item::UserTx, "user_tx", "User TX calibration", 1, false, false},
    {Item::UserRx, "user_rx", "User RX calibration", 1, false, false},
};

const ItemShape& ShapeOf(Item item) {
  for (const auto& s : kItems) {
    if (s.item == item) return s;
  }
  throw std::logic_error("unknown calibration item");
}

std::vector<double> ReadItem(Session& s, Item item, int channel) {
  zel_instance* e = s.Instance();
  const auto c = static_cast<uint16_t>(channel);
  std::vector<double> v(ShapeOf(item).count);
  uint8_t ok = 0;
  switch (item) {
    case Item::Tap: ok = zel_ReadTAPCalibration(e, c, v.data()); break;
    case Item::Voa: ok = zel_ReadVOACalibration(e, c, v.data()); break;
    case Item::Defined: {
      uint16_t words[30] = {};
      ok = zel_ReadVOADefinedValues(e, c, words);
      for (size_t j = 0; j < 30; ++j) v[j] = words[j];
      break;
    }
    case Item::VoaLoss: ok = zel_ReadVOAInsertionLoss(e, c, v.data()); break;
    case Item::SwitchLoss: ok = zel_Read4x1SwitchInsertionLoss(e, c, v.data()); break;
    case Item::UserTx: ok = zel_ReadUserTXCalibration(e, c, v.data()); break;
    case Item::UserRx: ok = zel_ReadUserRXCalibration(e, c, v.data()); break;
  }
  s.CheckInstance(ok != 0, std::string("cannot read the ") + ShapeOf(item).label + " of channel " + std::to_string(channel));
  return v;
}

void WriteItem(Session& s, Item item, int channel, const std::vector<double>& v) {
  zel_instance* e = s.Instance();
  const auto c = static_cast<uint16_t>(channel);
  uint8_t ok = 0;
  switch (item) {
    case Item::Tap: ok = zel_WriteTAPCalibration(e, c, v[0]); break;
    case Item::Voa: ok = zel_WriteVOACalibration(e, c, v.data()); break;
    case Item::Defined: {
      uint16_t words[30];
      for (size_t j = 0; j < 30; ++j) words[j] = static_cast<uint16_t>(v[j]);
      ok = zel_WriteVOADefinedValues(e, c, words);
      break;
    }
    case Item::VoaLoss: ok = zel_WriteVOAInsertionLoss(e, c, v[0]); break;
    case Item::SwitchLoss: ok = zel_Write4x1SwitchInsertionLoss(e, c, v[0]); break;
    case Item::UserTx: ok = zel_WriteUserTXCalibration(e, c, v[0]); break;
    case Item::UserRx: ok = zel_WriteUserRXCalibration(e, c, v[0]); break;
  }
  const std::string what = std::string("cannot write the ") + ShapeOf(item).label + " of channel " + std::to_string(channel);
  // Every single-value item is a scaled record: value x 10^12 as a 64-bit integer that must stay
  // below 2^63. Erased records (and negative values stored long ago) read back outside that range.
  if (ok == 0 && ShapeOf(item).count == 1 && zel_LastError(e) == ZEL_ERR_BAD_ARGUMENT) {
    char value[40];
    std::snprintf(value, sizeof value, "%.12g", v[0]);
    throw Failure(kExitUsage, what + ": the record holds values from 0 up to 9223372.036854, not " + value);
  }
  s.CheckInstance(ok != 0, what);
}

// A double as JSON: a number, or (NaN, infinity: an erased record) its bit pattern as "0x...".
Json NumberJson(double x) {
  if (std::isfinite(x)) return x;
  uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%016llX", static_cast<unsigned long long>(bits));
  return buf;
}

Json ItemJson(const ItemShape& shape, const std::vector<double>& v) {
  if (shape.count == 1) return NumberJson(v[0]);
  Json out = Json::array();
  for (double x : v) out.push_back(shape.whole_numbers ? Json(static_cast<unsigned>(x)) : NumberJson(x));
  return out;
}

// ---- backup file ---------------------------------------------------------------------------------

class FileError {
 public:
  explicit FileError(std::string path) : path_(std::move(path)) {}
  [[noreturn]] void operator()(const std::string& where, const std::string& what) const {
    throw Failure(kExitFile, path_ + ": " + where + ": " + what);
  }

 private:
  std::string path_;
};

const Json& Member(const Json& obj, const char* key, const std::string& where, const FileError& fail) {
  if (!obj.is_object() || !obj.contains(key)) fail(where, std::string("missing \"") + key + "\"");
  return obj[key];
}

int64_t IntegerOf(const Json& v, const std::string& where, const FileError& fail) {
  if (!v.is_number_integer()) fail(where, "expected a whole number");
  return v.get<int64_t>();
}

double NumberOf(const Json& v, const std::string& where, const FileError& fail) {
  if (v.is_number()) return v.get<double>();
  if (v.is_string()) {
    const std::string text = v.get<std::string>();
    uint64_t bits = 0;
    size_t used = 0;
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
  fail(where, "expected a number");
}

std::vector<double> ItemFromJson(const ItemShape& shape, const Json& v, const std::string& where, const FileError& fail) {
  if (shape.count == 1) return {NumberOf(v, where, fail)};
  if (!v.is_array() || v.size() != shape.count) fail(where, "expected " + std::to_string(shape.count) + " values");
  std::vector<double> out;
  for (size_t j = 0; j < shape.count; ++j) {
    const std::string at = where + "[" + std::to_string(j) + "]";
    if (shape.whole_numbers) {
      const int64_t x = IntegerOf(v[j], at, fail);
      if (x < 0 || x > 0xFFFF) fail(at, "expected 0..65535");
      out.push_back(static_cast<double>(x));
    } else {
      out.push_back(NumberOf(v[j], at, fail));
    }
  }
  return out;
}

// The calibration content of a unit, as backed up and restored.
struct SlotCalibration {
  WavelengthSlot slot;
  std::vector<std::vector<std::vector<double>>> channels;  // [channel][per-slot item]
};
struct Calibration {
  int board_type = 0;
  int64_t serial = 0;
  uint32_t board_id = 0;
  std::vector<SlotCalibration> slots;
  std::vector<std::vector<std::vector<double>>> user;  // [channel][user item]
};

std::vector<const ItemShape*> ItemsOf(bool per_slot) {
  std::vector<const ItemShape*> out;
  for (const auto& shape : kItems) {
    if (shape.per_slot == per_slot) out.push_back(&shape);
  }
  return out;
}

Json ToJson(const Calibration& cal) {
  Json doc = {{"format", kFormat},
              {"version", kVersion},
              {"unit", {{"board_id", cal.board_id}, {"board_type", cal.board_type}, {"serial", cal.serial}}},
              {"channels", cal.user.size()}};
  auto channel_json = [](const std::vector<const ItemShape*>& shapes, int c, const std::vector<std::vector<double>>& v) {
    Json ch = {{"channel", c}};
    for (size_t i = 0; i < shapes.size(); ++i) ch[shapes[i]->key] = ItemJson(*shapes[i], v[i]);
    return ch;
  };
  Json slots = Json::array();
  for (const auto& sc : cal.slots) {
    Json channels = Json::array();
    for (size_t c = 0; c < sc.channels.size(); ++c) {
      channels.push_back(channel_json(ItemsOf(true), static_cast<int>(c), sc.channels[c]));
    }
    slots.push_back({{"slot", sc.slot.slot}, {"wavelength_nm", sc.slot.nm}, {"channels", channels}});
  }
  doc["wavelengths"] = slots;
  Json user = Json::array();
  for (size_t c = 0; c < cal.user.size(); ++c) user.push_back(channel_json(ItemsOf(false), static_cast<int>(c), cal.user[c]));
  doc["user"] = user;
  return doc;
}

std::vector<std::vector<std::vector<double>>> ChannelsFromJson(const Json& arr, int channels,
                                                               const std::vector<const ItemShape*>& shapes,
                                                               const std::string& where, const FileError& fail) {
  if (!arr.is_array() || arr.size() != static_cast<size_t>(channels)) {
    fail(where, "expected " + std::to_string(channels) + " channel entries");
  }
  std::vector<std::vector<std::vector<double>>> out;
  for (int c = 0; c < channels; ++c) {
    const std::string at = where + "[" + std::to_string(c) + "]";
    if (IntegerOf(Member(arr[c], "channel", at, fail), at + ".channel", fail) != c) fail(at + ".channel", "expected " + std::to_string(c));
    std::vector<std::vector<double>> items;
    for (const auto* shape : shapes) {
      items.push_back(ItemFromJson(*shape, Member(arr[c], shape->key, at, fail), at + "." + shape->key, fail));
    }
    out.push_back(std::move(items));
  }
  return out;
}

Calibration FromJson(const Json& doc, const FileError& fail) {
  if (!doc.is_object() || Member(doc, "format", "top level", fail) != kFormat) fail("format", "not a zelctl calibration backup");
  if (IntegerOf(Member(doc, "version", "top level", fail), "version", fail) != kVersion) {
    fail("version", "this zelctl reads version " + std::to_string(kVersion));
  }
  Calibration cal;
  const Json& unit = Member(doc, "unit", "top level", fail);
  cal.board_type = static_cast<int>(IntegerOf(Member(unit, "board_type", "unit", fail), "unit.board_type", fail));
  cal.serial = IntegerOf(Member(unit, "serial", "unit", fail), "unit.serial", fail);
  cal.board_id = static_cast<uint32_t>(IntegerOf(Member(unit, "board_id", "unit", fail), "unit.board_id", fail));
  const int64_t channels_in_file = IntegerOf(Member(doc, "channels", "top level", fail), "channels", fail);
  if (channels_in_file < 1 || channels_in_file > 8) fail("channels", "expected 1 to 8");
  const int channels = static_cast<int>(channels_in_file);
  const Json& slots = Member(doc, "wavelengths", "top level", fail);
  if (!slots.is_array() || slots.empty() || slots.size() > 6) fail("wavelengths", "expected 1 to 6 wavelength slots");
  for (size_t w = 0; w < slots.size(); ++w) {
    const std::string at = "wavelengths[" + std::to_string(w) + "]";
    SlotCalibration sc;
    if (IntegerOf(Member(slots[w], "slot", at, fail), at + ".slot", fail) != static_cast<int64_t>(w)) {
      fail(at + ".slot", "expected " + std::to_string(w));
    }
    const int64_t nm = IntegerOf(Member(slots[w], "wavelength_nm", at, fail), at + ".wavelength_nm", fail);
    if (nm < 1 || nm > 0xFFFE) fail(at + ".wavelength_nm", "expected 1..65534");
    sc.slot = {static_cast<int>(w), static_cast<uint16_t>(nm)};
    sc.channels = ChannelsFromJson(Member(slots[w], "channels", at, fail), channels, ItemsOf(true), at + ".channels", fail);
    cal.slots.push_back(std::move(sc));
  }
  cal.user = ChannelsFromJson(Member(doc, "user", "top level", fail), channels, ItemsOf(false), "user", fail);
  return cal;
}

size_t TransferCount(int channels, size_t slots) {
  return static_cast<size_t>(channels) * (slots * ItemsOf(true).size() + ItemsOf(false).size());
}

// Reads the calibration of the given slots and the user calibration.
Calibration ReadCalibration(Session& s, const std::vector<WavelengthSlot>& slots, Progress& progress) {
  Calibration cal;
  cal.board_type = s.BoardType();
  const int channels = s.Channels();
  for (const auto& w : slots) {
    s.SelectWavelength(w.nm);
    SlotCalibration sc{w, {}};
    for (int c = 0; c < channels; ++c) {
      std::vector<std::vector<double>> items;
      for (const auto* shape : ItemsOf(true)) {
        items.push_back(ReadItem(s, shape->item, c));
        progress.Advance();
      }
      sc.channels.push_back(std::move(items));
    }
    cal.slots.push_back(std::move(sc));
  }
  for (int c = 0; c < channels; ++c) {
    std::vector<std::vector<double>> items;
    for (const auto* shape : ItemsOf(false)) {
      items.push_back(ReadItem(s, shape->item, c));
      progress.Advance();
    }
    cal.user.push_back(std::move(items));
  }
  return cal;
}

void Identify(Session& s, Calibration& cal) {
  cal.board_id = zel_ReadBoardID(s.Instance());
  int32_t confirmed = 0;
  zel_ReadSerialNumber(s.Instance(), &cal.serial, &confirmed);
  s.CheckInstance(zel_LastError(s.Instance()) == ZEL_OK, "cannot read the serial number");
}

std::string Describe(const SlotCalibration& sc) {
  return "slot " + std::to_string(sc.slot.slot) + " (" + std::to_string(sc.slot.nm) + " nm)";
}

// Differences between what was written and what was read back, one line each.
std::vector<std::string> Differences(const Calibration& want, const Calibration& got) {
  std::vector<std::string> out;
  auto compare = [&](const std::string& where, const std::vector<const ItemShape*>& shapes,
                     const std::vector<std::vector<double>>& a, const std::vector<std::vector<double>>& b) {
    for (size_t i = 0; i < shapes.size(); ++i) {
      if (ItemJson(*shapes[i], a[i]) != ItemJson(*shapes[i], b[i])) {
        out.push_back(where + " " + shapes[i]->key + ": wrote " + ItemJson(*shapes[i], a[i]).dump() + ", read back " +
                      ItemJson(*shapes[i], b[i]).dump());
      }
    }
  };
  for (size_t w = 0; w < want.slots.size(); ++w) {
    for (size_t c = 0; c < want.slots[w].channels.size(); ++c) {
      compare(Describe(want.slots[w]) + " channel " + std::to_string(c), ItemsOf(true), want.slots[w].channels[c],
              got.slots[w].channels[c]);
    }
  }
  for (size_t c = 0; c < want.user.size(); ++c) {
    compare("channel " + std::to_string(c), ItemsOf(false), want.user[c], got.user[c]);
  }
  return out;
}

void WriteTextFile(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << text;
    if (!out.flush()) throw Failure(kExitFile, "cannot write " + tmp);
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    throw Failure(kExitFile, "cannot write " + path);
  }
}

Json ReadJsonFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw Failure(kExitFile, "cannot open " + path);
  std::stringstream text;
  text << in.rdbuf();
  try {
    return Json::parse(text.str());
  } catch (const Json::parse_error& e) {
    std::string what = e.what();
    const size_t colon = what.find("] ");
    throw Failure(kExitFile, path + ": malformed JSON: " + (colon == std::string::npos ? what : what.substr(colon + 2)));
  }
}

void Backup(Session& s, const std::string& path, bool json) {
  Calibration cal;
  const int channels = s.Channels();
  const std::vector<WavelengthSlot> slots = s.Wavelengths();
  {
    Progress progress("backup", TransferCount(channels, slots.size()));
    Calibration read = ReadCalibration(s, slots, progress);
    cal.slots = std::move(read.slots);
    cal.user = std::move(read.user);
  }
  cal.board_type = s.BoardType();
  Identify(s, cal);
  WriteTextFile(path, ToJson(cal).dump(2) + "\n");
  Record()
      .Add("file", "File", path)
      .Add("wavelengths", "Wavelength slots", slots.size())
      .Add("channels", "Channels", channels)
      .Print(json);
}

void Restore(Session& s, const std::string& path, bool force, bool json) {
  const FileError fail(path);
  const Calibration want = FromJson(ReadJsonFile(path), fail);

  // Everything is checked against the unit before the first write.
  const std::string unit = "unit " + s.address();
  if (want.board_type != s.BoardType()) {
    throw Failure(kExitFile, path + " does not fit " + unit + ": board type " + std::to_string(want.board_type) +
                                 " in the file, " + std::to_string(s.BoardType()) + " on the unit");
  }
  if (want.user.size() != static_cast<size_t>(s.Channels())) {
    throw Failure(kExitFile, path + ": channels: board type " + std::to_string(want.board_type) + " has " +
                                 std::to_string(s.Channels()) + " channels");
  }
  Calibration here;
  Identify(s, here);
  if (here.serial != want.serial && !force) {
    throw Failure(kExitFile, path + " does not fit " + unit + ": serial number " + std::to_string(want.serial) +
                                 " in the file, " + std::to_string(here.serial) + " on the unit (--force restores anyway)");
  }
  const std::vector<WavelengthSlot> present = s.Wavelengths();
  for (const auto& sc : want.slots) {
    const auto w = static_cast<size_t>(sc.slot.slot);
    if (w < present.size() && present[w].nm != sc.slot.nm) {
      throw Failure(kExitFile, path + " does not fit " + unit + ": " + Describe(sc) + " in the file, " +
                                   std::to_string(present[w].nm) + " nm in that slot on the unit");
    }
  }

  {
    Progress progress("restore", 2 * TransferCount(s.Channels(), want.slots.size()));
    for (const auto& sc : want.slots) {
      if (static_cast<size_t>(sc.slot.slot) >= present.size()) {
        s.CheckInstance(zel_AddWavelength(s.Instance(), sc.slot.nm) != 0, "cannot add " + std::to_string(sc.slot.nm) + " nm");
      }
      s.SelectWavelength(sc.slot.nm);
      for (size_t c = 0; c < sc.channels.size(); ++c) {
        for (size_t i = 0; i < ItemsOf(true).size(); ++i) {
          WriteItem(s, ItemsOf(true)[i]->item, static_cast<int>(c), sc.channels[c][i]);
          progress.Advance();
        }
      }
    }
    for (size_t c = 0; c < want.user.size(); ++c) {
      for (size_t i = 0; i < ItemsOf(false).size(); ++i) {
        WriteItem(s, ItemsOf(false)[i]->item, static_cast<int>(c), want.user[c][i]);
        progress.Advance();
      }
    }
    // Read back from the EEPROM itself: reconnecting makes the library reread its calibration.
    zel_Disconnect(s.Instance());
    s.CheckInstance(zel_Connect(s.Instance(), s.address().c_str()) != 0, "cannot reconnect to unit " + s.address());
    std::vector<WavelengthSlot> slots;
    for (const auto& sc : want.slots) slots.push_back(sc.slot);
    const Calibration got = ReadCalibration(s, slots, progress);
    const std::vector<std::string> diffs = Differences(want, got);
    if (!diffs.empty()) {
      for (const auto& d : diffs) std::fprintf(stderr, "zelctl: mismatch: %s\n", d.c_str());
      throw Failure(kExitMismatch, "restore of " + path + " onto " + unit + " read back " +
                                       std::to_string(diffs.size()) + " value(s) other than written");
    }
  }
  Record()
      .Add("file", "File", path)
      .Add("wavelengths", "Wavelength slots", want.slots.size())
      .Add("channels", "Channels", want.user.size())
      .Add("verified", "Verified", true, "every value read back as written")
      .Print(json);
}

const ItemShape& ItemNamed(const std::string& name) {
  for (const auto& shape : kItems) {
    if (name == shape.key) return shape;
  }
  throw Failure(kExitUsage, "unknown calibration item " + name);
}

std::string ItemNames() {
  std::string out;
  for (const auto& shape : kItems) out += std::string(out.empty() ? "" : ", ") + shape.key;
  return out;
}

std::string ValuesText(const ItemShape& shape, const std::vector<double>& v) {
  std::string out;
  for (double x : v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, shape.whole_numbers ? "%.0f" : "%.12g", x);
    out += (out.empty() ? "" : " ") + std::string(buf);
  }
  return out;
}

}  // namespace

void AddCalibCommands(CLI::App& app, const GlobalOptions& g) {
  auto* calib = app.add_subcommand("calib", "Calibration records: " + ItemNames())->require_subcommand(1);

  struct Args {
    std::string item;
    std::optional<int> channel;
    std::optional<uint16_t> wavelength;
    std::vector<double> values;
    std::string file;
    bool force = false;
  };
  auto args = std::make_shared<Args>();
  std::vector<std::string> names;
  for (const auto& shape : kItems) names.push_back(shape.key);

  auto common = [&, args](CLI::App* sub) {
    sub->add_option("item", args->item, "Calibration item")->required()->check(CLI::IsMember(names));
    sub->add_option("--wavelength", args->wavelength, "Wavelength slot to use, in nm (default: the board's default)");
  };
  auto select = [args](Session& s) {
    if (args->wavelength) s.SelectWavelength(*args->wavelength);
  };

  auto* get = calib->add_subcommand("get", "Read a calibration item (default: every channel)");
  common(get);
  AddChannelOption(get, args->channel, false);
  get->callback([&g, args, select] {
    const ItemShape& shape = ItemNamed(args->item);
    Session s(g);
    select(s);
    Table table({{"channel", "Channel"}, {shape.key, shape.label, false}});
    std::vector<int> channels;
    if (args->channel) {
      s.RequireChannel(*args->channel);
      channels = {*args->channel};
    } else {
      for (int c = 0; c < s.Channels(); ++c) channels.push_back(c);
    }
    for (int c : channels) {
      const std::vector<double> v = ReadItem(s, shape.item, c);
      table.AddRow({{c, std::to_string(c)}, {ItemJson(shape, v), ValuesText(shape, v)}});
    }
    table.Print(g.json);
  });

  auto* set = calib->add_subcommand("set", "Write a calibration item of a channel");
  common(set);
  AddChannelOption(set, args->channel, true);
  set->add_option("values", args->values, "The value (4 coefficients for voa, 30 values for defined)")->required();
  set->callback([&g, args, select] {
    const ItemShape& shape = ItemNamed(args->item);
    if (args->values.size() != shape.count) {
      throw Failure(kExitUsage, std::string(shape.key) + " takes " + std::to_string(shape.count) + " value(s), got " +
                                    std::to_string(args->values.size()));
    }
    for (double x : args->values) {
      if (shape.whole_numbers && (x < 0 || x > 0xFFFF || x != std::floor(x))) {
        throw Failure(kExitUsage, std::string(shape.key) + " values are whole numbers in 0..65535");
      }
    }
    Session s(g);
    s.RequireChannel(*args->channel);
    select(s);
    WriteItem(s, shape.item, *args->channel, args->values);
    Record()
        .Add("channel", "Channel", *args->channel)
        .Add(shape.key, shape.label, ItemJson(shape, args->values), ValuesText(shape, args->values))
        .Print(g.json);
  });

  auto* backup = calib->add_subcommand(
      "backup", "Save every calibration item of every used wavelength slot and the user calibration as JSON");
  backup->add_option("file", args->file, "JSON file to write")->required();
  backup->callback([&g, args] {
    Session s(g);
    Backup(s, args->file, g.json);
  });

  auto* restore = calib->add_subcommand(
      "restore", "Write a calibration backup into the unit, read it back and verify it (nothing is written when the "
                 "file is malformed or does not fit the unit)");
  restore->add_option("file", args->file, "JSON file made by calib backup")->required();
  restore->add_flag("--force", args->force, "Restore onto a unit with another serial number");
  restore->callback([&g, args] {
    Session s(g);
    Restore(s, args->file, args->force, g.json);
  });
}

}  // namespace zelctl
