#include "calib_store.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

#include "failure.h"

namespace zelctl::store {
namespace {

constexpr double kScale = 1e12;
constexpr double kTwo63 = 9223372036854775808.0;
// What a scaled record whose top bit is set reads as: INT64_MIN x 10^-12.
constexpr double kScaledFloor = -9223372.036854775808;
// Ranges closer than this are read as one: a block read costs less than two part-used ones.
constexpr uint32_t kMergeGap = 512;
constexpr uint32_t kByteWritable = 0x10000;  // the byte write reaches the select-0 bank

uint64_t GetLE64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

void PutLE64(uint64_t v, uint8_t* p) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

double DecodeScaled(const uint8_t* p) {
  const uint64_t v = GetLE64(p);
  if (v >> 63 != 0) return kScaledFloor;
  return static_cast<double>(static_cast<int64_t>(v)) / kScale;
}

uint64_t EncodeScaled(double x) {
  if (x == kScaledFloor) return ~uint64_t{0};  // erased
  const double p = x * kScale;
  if (!(x >= 0.0) || !(p < kTwo63)) throw std::invalid_argument("outside 0 .. 9223372.036854");
  const auto nearest = std::min<uint64_t>(static_cast<uint64_t>(std::nearbyint(p)), INT64_MAX);
  // The product rounds; the stored integer is the one that reads back as x, where there is one.
  for (uint64_t n : {nearest, nearest - 1, nearest + 1}) {
    if (n <= static_cast<uint64_t>(INT64_MAX) && static_cast<double>(static_cast<int64_t>(n)) / kScale == x) return n;
  }
  return nearest;
}

// Bytes of some EEPROM ranges, read with as few block reads as the ranges allow.
class Snapshot {
 public:
  void Add(uint32_t address, size_t length) {
    if (length > 0) ranges_.push_back({address, address + static_cast<uint32_t>(length)});
  }
  size_t ByteCount() const {
    size_t n = 0;
    for (const auto& r : Merged()) n += r.second - r.first;
    return n;
  }
  void Read(zel_instance* unit, const ProgressFn& progress) {
    bytes_.clear();
    const auto merged = Merged();
    const size_t total = ByteCount();
    size_t done = 0;
    for (const auto& [from, to] : merged) {
      Bytes b(to - from);
      if (zel_ReadEEProm(unit, from, b.data(), b.size()) == 0) {
        FailWithLastError(unit, "cannot read EEPROM bytes " + Address(from) + ".." + Address(to - 1));
      }
      bytes_[from] = std::move(b);
      done += to - from;
      if (progress) progress(done, total);
    }
  }
  Bytes Get(uint32_t address, size_t length) const {
    auto it = bytes_.upper_bound(address);
    if (it == bytes_.begin()) throw std::logic_error("EEPROM range not read");
    --it;
    const size_t offset = address - it->first;
    if (offset + length > it->second.size()) throw std::logic_error("EEPROM range not read");
    return Bytes(it->second.begin() + static_cast<std::ptrdiff_t>(offset),
                 it->second.begin() + static_cast<std::ptrdiff_t>(offset + length));
  }
  static std::string Address(uint32_t a) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04X", a);
    return buf;
  }

 private:
  std::vector<std::pair<uint32_t, uint32_t>> Merged() const {
    auto sorted = ranges_;
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const auto& r : sorted) {
      if (!out.empty() && r.first <= out.back().second + kMergeGap) {
        out.back().second = std::max(out.back().second, r.second);
      } else {
        out.push_back(r);
      }
    }
    return out;
  }
  std::vector<std::pair<uint32_t, uint32_t>> ranges_;
  std::map<uint32_t, Bytes> bytes_;
};

struct Location {
  uint32_t address = 0, length = 0;
};

Location Locate(zel_instance* unit, int slot, int channel, const ItemShape& shape) {
  Location at;
  if (zel_GetRecordLocation(unit, static_cast<uint8_t>(slot), static_cast<uint16_t>(channel), shape.record, &at.address,
                            &at.length) == 0) {
    FailWithLastError(unit, std::string("cannot locate the ") + shape.label + " of channel " + std::to_string(channel));
  }
  if (at.length != shape.Size()) {
    throw Failure(kExitUnit, std::string("the library stores the ") + shape.label + " in " + std::to_string(at.length) +
                                 " bytes, not " + std::to_string(shape.Size()));
  }
  return at;
}

int ChannelCount(zel_instance* unit) {
  uint8_t count = 0;
  if (zel_GetChannelCount(unit, &count) == 0) FailWithLastError(unit, "cannot tell the board's channel count");
  return count;
}

std::vector<uint16_t> WavelengthTable(zel_instance* unit) {
  uint16_t nm[6] = {};
  size_t count = 0;
  if (zel_GetWavelengths(unit, nm, 6, &count) == 0) FailWithLastError(unit, "cannot read the wavelength table");
  return std::vector<uint16_t>(nm, nm + count);
}

std::string SlotName(int slot, uint16_t nm) {
  return "slot " + std::to_string(slot) + " (" + std::to_string(nm) + " nm)";
}

// One record to restore: where it lies and what it must hold.
struct Job {
  std::string name;
  Location at;
  const Bytes* want = nullptr;
  uint16_t add_nm = 0;  // nonzero: add this wavelength to the table instead
};

}  // namespace

const std::vector<ItemShape>& Items() {
  static const std::vector<ItemShape> items{
      {Item::Tap, ZEL_RECORD_TAP, "tap", "TAP factor (uW/count)", 1, true, Encoding::Scaled},
      {Item::Voa, ZEL_RECORD_VOA, "voa", "VOA coefficients c0..c3", 4, true, Encoding::Raw},
      {Item::Defined, ZEL_RECORD_DEFINED, "defined", "VOA defined values", 30, true, Encoding::Words},
      {Item::VoaLoss, ZEL_RECORD_VOA_LOSS, "voa_loss", "VOA insertion loss (dB)", 1, true, Encoding::Scaled},
      {Item::SwitchLoss, ZEL_RECORD_SWITCH_LOSS, "switch_loss", "4x1 switch insertion loss (dB)", 1, true,
       Encoding::Scaled},
      {Item::UserTx, ZEL_RECORD_USER_TX, "user_tx", "User TX calibration", 1, false, Encoding::Scaled},
      {Item::UserRx, ZEL_RECORD_USER_RX, "user_rx", "User RX calibration", 1, false, Encoding::Scaled},
  };
  return items;
}

std::vector<const ItemShape*> ItemsOf(bool per_slot) {
  std::vector<const ItemShape*> out;
  for (const auto& shape : Items()) {
    if (shape.per_slot == per_slot) out.push_back(&shape);
  }
  return out;
}

const ItemShape& ShapeOf(Item item) {
  for (const auto& s : Items()) {
    if (s.item == item) return s;
  }
  throw std::logic_error("unknown calibration item");
}

bool IsErased(const Bytes& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

std::vector<double> Decode(const ItemShape& shape, const Bytes& bytes) {
  if (bytes.size() != shape.Size()) throw std::invalid_argument("record of the wrong size");
  std::vector<double> out;
  for (size_t i = 0; i < shape.count; ++i) {
    switch (shape.encoding) {
      case Encoding::Scaled: out.push_back(DecodeScaled(&bytes[8 * i])); break;
      case Encoding::Raw: {
        const uint64_t bits = GetLE64(&bytes[8 * i]);
        double x;
        std::memcpy(&x, &bits, sizeof x);
        out.push_back(x);
        break;
      }
      case Encoding::Words: out.push_back(bytes[2 * i] | bytes[2 * i + 1] << 8); break;
    }
  }
  return out;
}

Bytes Encode(const ItemShape& shape, const std::vector<double>& values) {
  if (values.size() != shape.count) throw std::invalid_argument("expected " + std::to_string(shape.count) + " values");
  Bytes out(shape.Size());
  for (size_t i = 0; i < shape.count; ++i) {
    const double x = values[i];
    switch (shape.encoding) {
      case Encoding::Scaled: PutLE64(EncodeScaled(x), &out[8 * i]); break;
      case Encoding::Raw: {
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        PutLE64(bits, &out[8 * i]);
        break;
      }
      case Encoding::Words: {
        if (!(x >= 0 && x <= 0xFFFF && x == std::floor(x))) throw std::invalid_argument("not a whole 0..65535");
        const auto w = static_cast<uint16_t>(x);
        out[2 * i] = static_cast<uint8_t>(w);
        out[2 * i + 1] = static_cast<uint8_t>(w >> 8);
        break;
      }
    }
  }
  return out;
}

UnitRecords ReadUnit(zel_instance* unit, const ProgressFn& progress) {
  UnitRecords out;
  uint16_t type = 0;
  if (zel_ReadTypeFromEEPROM(unit, &type) == 0) FailWithLastError(unit, "cannot read the board type");
  out.board_type = type;
  out.board_id = zel_ReadBoardID(unit);
  if (out.board_id == 0 && zel_LastError(unit) != ZEL_OK) FailWithLastError(unit, "cannot read the board ID");
  int32_t confirmed = 0;
  zel_ReadSerialNumber(unit, &out.serial, &confirmed);
  if (zel_LastError(unit) != ZEL_OK) FailWithLastError(unit, "cannot read the serial number");

  const int channels = ChannelCount(unit);
  const std::vector<uint16_t> table = WavelengthTable(unit);
  // Where each record lies, then one pass of block reads over all of them.
  Snapshot snap;
  std::vector<std::vector<std::vector<Location>>> slot_at(table.size());
  std::vector<std::vector<Location>> user_at(static_cast<size_t>(channels));
  for (size_t w = 0; w < table.size(); ++w) {
    for (int c = 0; c < channels; ++c) {
      slot_at[w].emplace_back();
      for (const auto* shape : ItemsOf(true)) {
        slot_at[w].back().push_back(Locate(unit, static_cast<int>(w), c, *shape));
        snap.Add(slot_at[w].back().back().address, shape->Size());
      }
    }
  }
  for (int c = 0; c < channels; ++c) {
    for (const auto* shape : ItemsOf(false)) {
      user_at[static_cast<size_t>(c)].push_back(Locate(unit, 0, c, *shape));
      snap.Add(user_at[static_cast<size_t>(c)].back().address, shape->Size());
    }
  }
  snap.Read(unit, progress);
  for (size_t w = 0; w < table.size(); ++w) {
    SlotRecords slot{static_cast<int>(w), table[w], {}};
    for (const auto& locations : slot_at[w]) {
      std::vector<Bytes> items;
      for (const auto& at : locations) items.push_back(snap.Get(at.address, at.length));
      slot.channels.push_back(std::move(items));
    }
    out.slots.push_back(std::move(slot));
  }
  for (const auto& locations : user_at) {
    std::vector<Bytes> items;
    for (const auto& at : locations) items.push_back(snap.Get(at.address, at.length));
    out.user.push_back(std::move(items));
  }
  return out;
}

RestoreOutcome Restore(zel_instance* unit, const UnitRecords& want, const WriteOptions& options) {
  const int channels = ChannelCount(unit);
  if (want.user.size() != static_cast<size_t>(channels)) {
    throw Failure(kExitFile, "the backup holds " + std::to_string(want.user.size()) + " channels, the unit has " +
                                 std::to_string(channels));
  }
  const std::vector<uint16_t> table = WavelengthTable(unit);
  std::vector<Job> jobs;
  Snapshot snap;
  RestoreOutcome out;
  for (const auto& slot : want.slots) {
    const auto w = static_cast<size_t>(slot.slot);
    const std::string name = SlotName(slot.slot, slot.nm);
    if (w < table.size() && table[w] != slot.nm) {
      throw Failure(kExitFile, name + " in the backup, " + std::to_string(table[w]) + " nm in that slot on the unit");
    }
    if (slot.channels.size() != static_cast<size_t>(channels)) {
      throw Failure(kExitFile, name + " holds " + std::to_string(slot.channels.size()) + " channels, the unit has " +
                                   std::to_string(channels));
    }
    if (w >= table.size()) {
      jobs.push_back({name + " wavelength", {}, nullptr, slot.nm});
      out.bytes_to_write += 2;  // the table entry's wavelength word
    }
    for (int c = 0; c < channels; ++c) {
      const auto items = ItemsOf(true);
      for (size_t i = 0; i < items.size(); ++i) {
        const Location at = Locate(unit, slot.slot, c, *items[i]);
        jobs.push_back({name + " channel " + std::to_string(c) + " " + items[i]->key, at,
                        &slot.channels[static_cast<size_t>(c)][i], 0});
        snap.Add(at.address, at.length);
      }
    }
  }
  for (int c = 0; c < channels; ++c) {
    const auto items = ItemsOf(false);
    for (size_t i = 0; i < items.size(); ++i) {
      const Location at = Locate(unit, 0, c, *items[i]);
      jobs.push_back({"channel " + std::to_string(c) + " " + items[i]->key, at,
                      &want.user[static_cast<size_t>(c)][i], 0});
      snap.Add(at.address, at.length);
    }
  }
  for (const auto& job : jobs) {
    if (job.want != nullptr && job.want->size() != job.at.length) {
      throw Failure(kExitFile, job.name + ": " + std::to_string(job.want->size()) + " bytes in the backup, the record holds " +
                                   std::to_string(job.at.length));
    }
  }
  out.records = jobs.size();

  snap.Read(unit, {});
  std::vector<Bytes> current;
  for (const auto& job : jobs) {
    current.push_back(job.want != nullptr ? snap.Get(job.at.address, job.at.length) : Bytes{});
    if (job.want == nullptr) continue;
    for (size_t i = 0; i < job.want->size(); ++i) out.bytes_to_write += (*job.want)[i] != current.back()[i];
  }
  if (options.progress) options.progress(0, out.bytes_to_write);

  for (size_t j = 0; j < jobs.size(); ++j) {
    const Job& job = jobs[j];
    if (job.want == nullptr) {
      if (zel_AddWavelength(unit, job.add_nm) == 0) FailWithLastError(unit, "cannot add " + std::to_string(job.add_nm) + " nm");
      ++out.slots_added;
      out.bytes_written += 2;
    } else {
      for (size_t i = 0; i < job.want->size(); ++i) {
        if ((*job.want)[i] == current[j][i]) continue;
        const uint32_t a = job.at.address + static_cast<uint32_t>(i);
        if (a >= kByteWritable || zel_WriteValueToEEProm(unit, static_cast<uint16_t>(a), (*job.want)[i]) == 0) {
          FailWithLastError(unit, job.name + ": cannot write EEPROM byte " + Snapshot::Address(a) + " (" +
                                      std::to_string(out.records_done) + " of " + std::to_string(out.records) +
                                      " records restored)");
        }
        ++out.bytes_written;
        if (options.progress) options.progress(out.bytes_written, out.bytes_to_write);
      }
    }
    ++out.records_done;
    if (j + 1 < jobs.size() && options.stop && options.stop()) {
      out.interrupted = true;
      out.next = jobs[j + 1].name;
      return out;
    }
  }

  snap.Read(unit, {});
  for (const auto& job : jobs) {
    if (job.want == nullptr) continue;
    const Bytes got = snap.Get(job.at.address, job.at.length);
    if (got != *job.want) out.mismatches.push_back(job.name + ": wrote " + Hex(*job.want) + ", read back " + Hex(got));
  }
  return out;
}

PatchOutcome Patch(zel_instance* unit, uint32_t address, const Bytes& want, const WriteOptions& options) {
  PatchOutcome out;
  if (want.empty()) return out;
  if (address + want.size() > kByteWritable) {
    throw Failure(kExitUsage, "the byte write reaches addresses up to 0xFFFF, not " +
                                  Snapshot::Address(static_cast<uint32_t>(address + want.size() - 1)));
  }
  Snapshot snap;
  snap.Add(address, want.size());
  snap.Read(unit, {});
  const Bytes current = snap.Get(address, want.size());
  for (size_t i = 0; i < want.size(); ++i) out.bytes_to_write += want[i] != current[i];
  if (options.progress) options.progress(0, out.bytes_to_write);
  for (size_t i = 0; i < want.size(); ++i) {
    if (want[i] == current[i]) continue;
    const auto a = static_cast<uint32_t>(address + i);
    if (out.bytes_written > 0 && options.stop && options.stop()) {
      out.interrupted = true;
      out.next_address = a;
      return out;
    }
    if (zel_WriteValueToEEProm(unit, static_cast<uint16_t>(a), want[i]) == 0) {
      FailWithLastError(unit, "cannot write EEPROM byte " + Snapshot::Address(a) + " (" + std::to_string(out.bytes_written) +
                                  " of " + std::to_string(out.bytes_to_write) + " differing bytes written)");
    }
    ++out.bytes_written;
    if (options.progress) options.progress(out.bytes_written, out.bytes_to_write);
  }
  snap.Read(unit, {});
  const Bytes got = snap.Get(address, want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    if (got[i] != want[i]) out.mismatches.push_back(static_cast<uint32_t>(address + i));
  }
  return out;
}

std::string Hex(const Bytes& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

bool FromHex(const std::string& text, Bytes& bytes) {
  if (text.size() % 2 != 0) return false;
  auto nibble = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Bytes out;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  bytes = std::move(out);
  return true;
}

}  // namespace zelctl::store
