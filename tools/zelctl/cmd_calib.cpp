// calib get|set|backup|restore: the calibration records of each wavelength slot and the user calibration.
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "calib_store.h"
#include "terminal.h"
#include "unit_helpers.h"

namespace zelctl {
namespace {

using store::Bytes;
using store::Item;
using store::ItemShape;
using store::ItemsOf;
using store::ShapeOf;

constexpr const char* kFormat = "zelctl calibration backup";
// Version 1 holds the decoded values only; version 2 also each record's stored bytes.
constexpr int kVersion = 2;

bool WholeNumbers(const ItemShape& shape) { return shape.encoding == store::Encoding::Words; }

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
  for (double x : v) out.push_back(WholeNumbers(shape) ? Json(static_cast<unsigned>(x)) : NumberJson(x));
  return out;
}

// A stored record's value in a backup: null when it is erased, else what it decodes to.
Json RecordJson(const ItemShape& shape, const Bytes& bytes) {
  return store::IsErased(bytes) ? Json(nullptr) : ItemJson(shape, store::Decode(shape, bytes));
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

// A record of a version 1 backup: its values, stored as the library would read them back.
Bytes RecordFromValues(const ItemShape& shape, const Json& v, const std::string& where, const FileError& fail) {
  std::vector<double> values;
  if (shape.count == 1) {
    values.push_back(NumberOf(v, where, fail));
  } else {
    if (!v.is_array() || v.size() != shape.count) fail(where, "expected " + std::to_string(shape.count) + " values");
    for (size_t j = 0; j < shape.count; ++j) {
      const std::string at = where + "[" + std::to_string(j) + "]";
      if (WholeNumbers(shape)) {
        const int64_t x = IntegerOf(v[j], at, fail);
        if (x < 0 || x > 0xFFFF) fail(at, "expected 0..65535");
        values.push_back(static_cast<double>(x));
      } else {
        values.push_back(NumberOf(v[j], at, fail));
      }
    }
  }
  try {
    return store::Encode(shape, values);
  } catch (const std::invalid_argument& e) {
    fail(where, std::string("the record cannot hold it: ") + e.what());
  }
}

// A record of a version 2 backup: its stored bytes, and beside them the value they decode to.
Bytes RecordFromBytes(const ItemShape& shape, const Json& value, const Json& hex, const std::string& where,
                      const FileError& fail) {
  Bytes bytes;
  if (!hex.is_string() || !store::FromHex(hex.get<std::string>(), bytes) || bytes.size() != shape.Size()) {
    fail(where + ".bytes", "expected " + std::to_string(shape.Size()) + " bytes in hex");
  }
  if (value != RecordJson(shape, bytes)) {
    fail(where, "the value " + value.dump() + " is not what its bytes hold (" + RecordJson(shape, bytes).dump() + ")");
  }
  return bytes;
}

Json ChannelJson(const std::vector<const ItemShape*>& shapes, int c, const std::vector<Bytes>& records) {
  Json ch = {{"channel", c}};
  Json bytes = Json::object();
  for (size_t i = 0; i < shapes.size(); ++i) {
    ch[shapes[i]->key] = RecordJson(*shapes[i], records[i]);
    bytes[shapes[i]->key] = store::Hex(records[i]);
  }
  ch["bytes"] = bytes;
  return ch;
}

Json ToJson(const store::UnitRecords& cal) {
  Json doc = {{"format", kFormat},
              {"version", kVersion},
              {"unit", {{"board_id", cal.board_id}, {"board_type", cal.board_type}, {"serial", cal.serial}}},
              {"channels", cal.user.size()}};
  Json slots = Json::array();
  for (const auto& sc : cal.slots) {
    Json channels = Json::array();
    for (size_t c = 0; c < sc.channels.size(); ++c) {
      channels.push_back(ChannelJson(ItemsOf(true), static_cast<int>(c), sc.channels[c]));
    }
    slots.push_back({{"slot", sc.slot}, {"wavelength_nm", sc.nm}, {"channels", channels}});
  }
  doc["wavelengths"] = slots;
  Json user = Json::array();
  for (size_t c = 0; c < cal.user.size(); ++c) user.push_back(ChannelJson(ItemsOf(false), static_cast<int>(c), cal.user[c]));
  doc["user"] = user;
  return doc;
}

std::vector<std::vector<Bytes>> ChannelsFromJson(const Json& arr, int channels, const std::vector<const ItemShape*>& shapes,
                                                 int version, const std::string& where, const FileError& fail) {
  if (!arr.is_array() || arr.size() != static_cast<size_t>(channels)) {
    fail(where, "expected " + std::to_string(channels) + " channel entries");
  }
  std::vector<std::vector<Bytes>> out;
  for (int c = 0; c < channels; ++c) {
    const std::string at = where + "[" + std::to_string(c) + "]";
    if (IntegerOf(Member(arr[c], "channel", at, fail), at + ".channel", fail) != c) fail(at + ".channel", "expected " + std::to_string(c));
    std::vector<Bytes> items;
    for (const auto* shape : shapes) {
      const std::string item_at = at + "." + shape->key;
      const Json& value = Member(arr[c], shape->key, at, fail);
      if (version == 1) {
        items.push_back(RecordFromValues(*shape, value, item_at, fail));
      } else {
        const Json& hex = Member(Member(arr[c], "bytes", at, fail), shape->key, at + ".bytes", fail);
        items.push_back(RecordFromBytes(*shape, value, hex, item_at, fail));
      }
    }
    out.push_back(std::move(items));
  }
  return out;
}

store::UnitRecords FromJson(const Json& doc, const FileError& fail) {
  if (!doc.is_object() || Member(doc, "format", "top level", fail) != kFormat) fail("format", "not a zelctl calibration backup");
  const int64_t version = IntegerOf(Member(doc, "version", "top level", fail), "version", fail);
  if (version != 1 && version != kVersion) fail("version", "this zelctl reads versions 1 and " + std::to_string(kVersion));
  store::UnitRecords cal;
  const Json& unit = Member(doc, "unit", "top level", fail);
  cal.board_type = static_cast<int>(IntegerOf(Member(unit, "board_type", "unit", fail), "unit.board_type", fail));
  cal.serial = IntegerOf(Member(unit, "serial", "unit", fail), "unit.serial", fail);
  cal.board_id = static_cast<uint32_t>(IntegerOf(Member(unit, "board_id", "unit", fail), "unit.board_id", fail));
  const int64_t channels = IntegerOf(Member(doc, "channels", "top level", fail), "channels", fail);
  if (channels < 1 || channels > 8) fail("channels", "expected 1 to 8");
  const Json& slots = Member(doc, "wavelengths", "top level", fail);
  if (!slots.is_array() || slots.empty() || slots.size() > 6) fail("wavelengths", "expected 1 to 6 wavelength slots");
  for (size_t w = 0; w < slots.size(); ++w) {
    const std::string at = "wavelengths[" + std::to_string(w) + "]";
    store::SlotRecords sc;
    if (IntegerOf(Member(slots[w], "slot", at, fail), at + ".slot", fail) != static_cast<int64_t>(w)) {
      fail(at + ".slot", "expected " + std::to_string(w));
    }
    const int64_t nm = IntegerOf(Member(slots[w], "wavelength_nm", at, fail), at + ".wavelength_nm", fail);
    if (nm < 1 || nm > 0xFFFE) fail(at + ".wavelength_nm", "expected 1..65534");
    sc.slot = static_cast<int>(w);
    sc.nm = static_cast<uint16_t>(nm);
    sc.channels = ChannelsFromJson(Member(slots[w], "channels", at, fail), static_cast<int>(channels), ItemsOf(true),
                                   static_cast<int>(version), at + ".channels", fail);
    cal.slots.push_back(std::move(sc));
  }
  cal.user = ChannelsFromJson(Member(doc, "user", "top level", fail), static_cast<int>(channels), ItemsOf(false),
                              static_cast<int>(version), "user", fail);
  return cal;
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
  store::UnitRecords cal;
  {
    Progress progress("backup", 0, json);
    cal = store::ReadUnit(s.Instance(), [&](size_t done, size_t total) { progress.Update(done, total); });
  }
  WriteTextFile(path, ToJson(cal).dump(2) + "\n");
  Record()
      .Add("file", "File", path)
      .Add("wavelengths", "Wavelength slots", cal.slots.size())
      .Add("channels", "Channels", cal.user.size())
      .Print(json);
}

void Restore(Session& s, const std::string& path, bool force, bool json) {
  const FileError fail(path);
  const store::UnitRecords want = FromJson(ReadJsonFile(path), fail);

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
  int64_t serial = 0;
  int32_t confirmed = 0;
  zel_ReadSerialNumber(s.Instance(), &serial, &confirmed);
  s.CheckInstance(zel_LastError(s.Instance()) == ZEL_OK, "cannot read the serial number");
  if (serial != want.serial && !force) {
    throw Failure(kExitFile, path + " does not fit " + unit + ": serial number " + std::to_string(want.serial) +
                                 " in the file, " + std::to_string(serial) + " on the unit (--force restores anyway)");
  }
  const std::vector<WavelengthSlot> present = s.Wavelengths();
  for (const auto& sc : want.slots) {
    const auto w = static_cast<size_t>(sc.slot);
    if (w < present.size() && present[w].nm != sc.nm) {
      throw Failure(kExitFile, path + " does not fit " + unit + ": slot " + std::to_string(sc.slot) + " (" +
                                   std::to_string(sc.nm) + " nm) in the file, " + std::to_string(present[w].nm) +
                                   " nm in that slot on the unit");
    }
  }

  store::RestoreOutcome done;
  {
    const InterruptGuard interrupt;
    Progress progress("restore", 0, json);
    store::WriteOptions options;
    options.progress = [&](size_t n, size_t total) { progress.Update(n, total); };
    options.stop = [] { return Interrupted(); };
    done = store::Restore(s.Instance(), want, options);
  }
  if (done.interrupted) {
    throw Failure(kExitInterrupted, "interrupted: " + std::to_string(done.records_done) + " of " +
                                        std::to_string(done.records) + " records restored (" +
                                        std::to_string(done.bytes_written) + " of " + std::to_string(done.bytes_to_write) +
                                        " differing bytes written), next " + done.next +
                                        "; run the restore again to complete it");
  }
  if (!done.mismatches.empty()) {
    for (const auto& d : done.mismatches) std::fprintf(stderr, "zelctl: mismatch: %s\n", d.c_str());
    throw Failure(kExitMismatch, "restore of " + path + " onto " + unit + " read back " +
                                     std::to_string(done.mismatches.size()) + " record(s) other than written");
  }
  Record()
      .Add("file", "File", path)
      .Add("wavelengths", "Wavelength slots", want.slots.size())
      .Add("channels", "Channels", want.user.size())
      .Add("bytes_written", "Bytes written", done.bytes_written,
           std::to_string(done.bytes_written) + " (the other stored bytes already matched)")
      .Add("verified", "Verified", true, "every record read back byte for byte as in the file")
      .Print(json);
}

const ItemShape& ItemNamed(const std::string& name) {
  for (const auto& shape : store::Items()) {
    if (name == shape.key) return shape;
  }
  throw Failure(kExitUsage, "unknown calibration item " + name);
}

std::string ItemNames() {
  std::string out;
  for (const auto& shape : store::Items()) out += std::string(out.empty() ? "" : ", ") + shape.key;
  return out;
}

std::string ValuesText(const ItemShape& shape, const std::vector<double>& v) {
  std::string out;
  for (double x : v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, WholeNumbers(shape) ? "%.0f" : "%.12g", x);
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
  for (const auto& shape : store::Items()) names.push_back(shape.key);

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
      if (WholeNumbers(shape) && (x < 0 || x > 0xFFFF || x != std::floor(x))) {
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
      "backup", "Save every calibration record of every used wavelength slot and the user calibration as JSON: each "
                 "record's stored bytes (hex) beside the value they hold");
  backup->add_option("file", args->file, "JSON file to write")->required();
  backup->callback([&g, args] {
    Session s(g);
    Backup(s, args->file, g.json);
  });

  auto* restore = calib->add_subcommand(
      "restore", "Write the stored bytes of a calibration backup that differ from the unit's (about 10 ms per byte), "
                 "then read every record back and compare its bytes. Nothing is written when the file is malformed "
                 "or does not fit the unit; Ctrl-C stops after the record in flight and running the restore again "
                 "completes it");
  restore->add_option("file", args->file, "JSON file made by calib backup")->required();
  restore->add_flag("--force", args->force, "Restore onto a unit with another serial number");
  restore->callback([&g, args] {
    Session s(g);
    Restore(s, args->file, args->force, g.json);
  });
}

}  // namespace zelctl
