#include "calib_store.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "failure.h"

namespace zelctl::store {

using calib::ChannelRecords;
using calib::Hex;
using calib::ItemShape;
using calib::ItemsOf;

namespace {

// Ranges closer than this are read as one: a block read costs less than two part-used ones.
constexpr std::uint32_t kMergeGap = 512;
constexpr std::uint32_t kByteWritable = 0x10000;  // the byte write reaches the select-0 bank

// Bytes of some EEPROM ranges, read with as few block reads as the ranges allow.
class Snapshot {
public:
    void Add(std::uint32_t address, std::size_t length) {
        if (length > 0) ranges_.push_back({address, address + static_cast<std::uint32_t>(length)});
    }
    std::size_t ByteCount() const {
        std::size_t n = 0;
        for (const auto& r : Merged()) n += r.second - r.first;
        return n;
    }
    void Read(zel_instance* unit, const ProgressFn& progress) {
        bytes_.clear();
        const auto merged = Merged();
        const std::size_t total = ByteCount();
        std::size_t done = 0;
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
    Bytes Get(std::uint32_t address, std::size_t length) const {
        auto it = bytes_.upper_bound(address);
        if (it == bytes_.begin()) throw std::logic_error("EEPROM range not read");
        --it;
        const std::size_t offset = address - it->first;
        if (offset + length > it->second.size()) throw std::logic_error("EEPROM range not read");
        return Bytes(it->second.begin() + static_cast<std::ptrdiff_t>(offset),
                     it->second.begin() + static_cast<std::ptrdiff_t>(offset + length));
    }
    static std::string Address(std::uint32_t a) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%04X", a);
        return buf;
    }

private:
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Merged() const {
        auto sorted = ranges_;
        std::sort(sorted.begin(), sorted.end());
        std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
        for (const auto& r : sorted) {
            if (!out.empty() && r.first <= out.back().second + kMergeGap) {
                out.back().second = std::max(out.back().second, r.second);
            } else {
                out.push_back(r);
            }
        }
        return out;
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges_;
    std::map<std::uint32_t, Bytes> bytes_;
};

struct Location {
    std::uint32_t address = 0, length = 0;
};

Location Locate(zel_instance* unit, int slot, int channel, const ItemShape& shape) {
    Location at;
    if (zel_GetRecordLocation(unit, static_cast<std::uint8_t>(slot), static_cast<std::uint16_t>(channel), shape.record,
                              &at.address, &at.length) == 0) {
        FailWithLastError(unit,
                          std::string("cannot locate the ") + shape.label + " of channel " + std::to_string(channel));
    }
    if (at.length != shape.Size()) {
        throw Failure(kExitUnit, std::string("the library stores the ") + shape.label + " in " +
                                     std::to_string(at.length) + " bytes, not " + std::to_string(shape.Size()));
    }
    return at;
}

int ChannelCount(zel_instance* unit) {
    std::uint8_t count = 0;
    if (zel_GetChannelCount(unit, &count) == 0) FailWithLastError(unit, "cannot tell the board's channel count");
    return count;
}

std::vector<std::uint16_t> WavelengthTable(zel_instance* unit) {
    std::uint16_t nm[6] = {};
    std::size_t count = 0;
    if (zel_GetWavelengths(unit, nm, 6, &count) == 0) FailWithLastError(unit, "cannot read the wavelength table");
    return std::vector<std::uint16_t>(nm, nm + count);
}

std::string SlotName(int slot, std::uint16_t nm) {
    return "slot " + std::to_string(slot) + " (" + std::to_string(nm) + " nm)";
}

// Where each record of one channel lies: an entry per item of ItemsOf(per_slot), in that order.
using ChannelLocations = std::vector<Location>;
using SlotLocations = std::vector<ChannelLocations>;  // channel 0 first

ChannelLocations LocateChannel(zel_instance* unit, int slot, int channel, bool per_slot, Snapshot& snap) {
    ChannelLocations out;
    for (const auto* shape : ItemsOf(per_slot)) {
        out.push_back(Locate(unit, slot, channel, *shape));
        snap.Add(out.back().address, out.back().length);
    }
    return out;
}

// The records at these places, as `snap` read them.
std::vector<ChannelRecords> RecordsAt(const Snapshot& snap, const SlotLocations& places) {
    std::vector<ChannelRecords> out;
    for (const auto& channel : places) {
        ChannelRecords records;
        for (const auto& at : channel) records.push_back(snap.Get(at.address, at.length));
        out.push_back(std::move(records));
    }
    return out;
}

// One record to restore: where it lies and what it must hold.
struct Job {
    std::string name;
    Location at;
    const Bytes* want = nullptr;
    std::uint16_t add_nm = 0;  // nonzero: add this wavelength to the table instead
};

// A job per record of a channel, named `prefix` and the item's key.
void AddJobs(const std::string& prefix, const ChannelLocations& at, const ChannelRecords& want, bool per_slot,
             std::vector<Job>& jobs) {
    const auto items = ItemsOf(per_slot);
    for (std::size_t i = 0; i < items.size(); ++i) jobs.push_back({prefix + items[i]->key, at[i], &want[i], 0});
}

}  // namespace

Bytes ReadRecord(zel_instance* unit, int slot, int channel, const ItemShape& shape) {
    const Location at = Locate(unit, slot, channel, shape);
    Bytes bytes(at.length);
    if (zel_ReadEEProm(unit, at.address, bytes.data(), bytes.size()) == 0) {
        FailWithLastError(unit,
                          std::string("cannot read the ") + shape.label + " of channel " + std::to_string(channel));
    }
    return bytes;
}

Calibration ReadUnit(zel_instance* unit, const ProgressFn& progress) {
    Calibration out;
    std::uint16_t type = 0;
    if (zel_ReadTypeFromEEPROM(unit, &type) == 0) FailWithLastError(unit, "cannot read the board type");
    out.board_type = type;
    out.board_id = zel_ReadBoardID(unit);
    if (out.board_id == 0 && zel_LastError(unit) != ZEL_OK) FailWithLastError(unit, "cannot read the board ID");
    std::int32_t confirmed = 0;
    zel_ReadSerialNumber(unit, &out.serial, &confirmed);
    if (zel_LastError(unit) != ZEL_OK) FailWithLastError(unit, "cannot read the serial number");

    const int channels = ChannelCount(unit);
    const std::vector<std::uint16_t> table = WavelengthTable(unit);
    // Where each record lies, then one pass of block reads over all of them.
    Snapshot snap;
    std::vector<SlotLocations> slot_at(table.size());
    SlotLocations user_at;
    for (std::size_t w = 0; w < table.size(); ++w) {
        for (int c = 0; c < channels; ++c)
            slot_at[w].push_back(LocateChannel(unit, static_cast<int>(w), c, true, snap));
    }
    for (int c = 0; c < channels; ++c) user_at.push_back(LocateChannel(unit, 0, c, false, snap));
    snap.Read(unit, progress);
    for (std::size_t w = 0; w < table.size(); ++w) {
        out.slots.push_back({static_cast<int>(w), table[w], RecordsAt(snap, slot_at[w])});
    }
    out.user = RecordsAt(snap, user_at);
    return out;
}

namespace {

// What a restore of `want` writes: the jobs with each record's current bytes, read in one pass.
struct RestorePlan {
    std::vector<Job> jobs;
    std::vector<Bytes> current;  // per job; empty for a wavelength slot to add
    Snapshot snap;
    RestoreOutcome out;
};

void PlanRestore(zel_instance* unit, const Calibration& want, RestorePlan& plan) {
    std::vector<Job>& jobs = plan.jobs;
    Snapshot& snap = plan.snap;
    RestoreOutcome& out = plan.out;
    const int channels = ChannelCount(unit);
    if (want.user.size() != static_cast<std::size_t>(channels)) {
        throw Failure(kExitFile, "the backup holds " + std::to_string(want.user.size()) + " channels, the unit has " +
                                     std::to_string(channels));
    }
    const std::vector<std::uint16_t> table = WavelengthTable(unit);
    for (const auto& slot : want.slots) {
        const auto w = static_cast<std::size_t>(slot.slot);
        const std::string name = SlotName(slot.slot, slot.nm);
        if (w < table.size() && table[w] != slot.nm) {
            throw Failure(kExitFile,
                          name + " in the backup, " + std::to_string(table[w]) + " nm in that slot on the unit");
        }
        if (slot.channels.size() != static_cast<std::size_t>(channels)) {
            throw Failure(kExitFile, name + " holds " + std::to_string(slot.channels.size()) +
                                         " channels, the unit has " + std::to_string(channels));
        }
        if (w >= table.size()) {
            jobs.push_back({name + " wavelength", {}, nullptr, slot.nm});
            out.bytes_to_write += 2;  // the table entry's wavelength word
        }
        for (int c = 0; c < channels; ++c) {
            AddJobs(name + " channel " + std::to_string(c) + " ", LocateChannel(unit, slot.slot, c, true, snap),
                    slot.channels[static_cast<std::size_t>(c)], true, jobs);
        }
    }
    for (int c = 0; c < channels; ++c) {
        AddJobs("channel " + std::to_string(c) + " ", LocateChannel(unit, 0, c, false, snap),
                want.user[static_cast<std::size_t>(c)], false, jobs);
    }
    for (const auto& job : jobs) {
        if (job.want != nullptr && job.want->size() != job.at.length) {
            throw Failure(kExitFile, job.name + ": " + std::to_string(job.want->size()) +
                                         " bytes in the backup, the record holds " + std::to_string(job.at.length));
        }
    }
    out.records = jobs.size();

    snap.Read(unit, {});
    for (const auto& job : jobs) {
        plan.current.push_back(job.want != nullptr ? snap.Get(job.at.address, job.at.length) : Bytes{});
        if (job.want == nullptr) continue;
        for (std::size_t i = 0; i < job.want->size(); ++i)
            out.bytes_to_write += (*job.want)[i] != plan.current.back()[i];
    }
}

}  // namespace

std::vector<RecordChange> Diff(zel_instance* unit, const Calibration& want) {
    RestorePlan plan;
    PlanRestore(unit, want, plan);
    std::vector<RecordChange> changes;
    for (std::size_t j = 0; j < plan.jobs.size(); ++j) {
        const Job& job = plan.jobs[j];
        if (job.want == nullptr) {
            changes.push_back({job.name, 0, {}, {}, 2});
            continue;
        }
        std::size_t differing = 0;
        for (std::size_t i = 0; i < job.want->size(); ++i) differing += (*job.want)[i] != plan.current[j][i];
        if (differing > 0) changes.push_back({job.name, job.at.address, plan.current[j], *job.want, differing});
    }
    return changes;
}

RestoreOutcome Restore(zel_instance* unit, const Calibration& want, const WriteOptions& options) {
    RestorePlan plan;
    PlanRestore(unit, want, plan);
    const std::vector<Job>& jobs = plan.jobs;
    const std::vector<Bytes>& current = plan.current;
    Snapshot& snap = plan.snap;
    RestoreOutcome& out = plan.out;
    if (options.progress) options.progress(0, out.bytes_to_write);

    for (std::size_t j = 0; j < jobs.size(); ++j) {
        const Job& job = jobs[j];
        if (job.want == nullptr) {
            if (zel_AddWavelength(unit, job.add_nm) == 0)
                FailWithLastError(unit, "cannot add " + std::to_string(job.add_nm) + " nm");
            ++out.slots_added;
            out.bytes_written += 2;
        } else {
            for (std::size_t i = 0; i < job.want->size(); ++i) {
                if ((*job.want)[i] == current[j][i]) continue;
                const std::uint32_t a = job.at.address + static_cast<std::uint32_t>(i);
                if (a >= kByteWritable ||
                    zel_WriteValueToEEProm(unit, static_cast<std::uint16_t>(a), (*job.want)[i]) == 0) {
                    FailWithLastError(unit, job.name + ": cannot write EEPROM byte " + Snapshot::Address(a) + " (" +
                                                std::to_string(out.records_done) + " of " +
                                                std::to_string(out.records) + " records restored)");
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
        if (got != *job.want)
            out.mismatches.push_back(job.name + ": wrote " + Hex(*job.want) + ", read back " + Hex(got));
    }
    return out;
}

PatchOutcome Patch(zel_instance* unit, std::uint32_t address, const Bytes& want, const WriteOptions& options) {
    PatchOutcome out;
    if (want.empty()) return out;
    if (address + want.size() > kByteWritable) {
        throw Failure(kExitUsage, "the byte write reaches addresses up to 0xFFFF, not " +
                                      Snapshot::Address(static_cast<std::uint32_t>(address + want.size() - 1)));
    }
    Snapshot snap;
    snap.Add(address, want.size());
    snap.Read(unit, {});
    const Bytes current = snap.Get(address, want.size());
    for (std::size_t i = 0; i < want.size(); ++i) out.bytes_to_write += want[i] != current[i];
    if (options.progress) options.progress(0, out.bytes_to_write);
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (want[i] == current[i]) continue;
        const auto a = static_cast<std::uint32_t>(address + i);
        if (out.bytes_written > 0 && options.stop && options.stop()) {
            out.interrupted = true;
            out.next_address = a;
            return out;
        }
        if (zel_WriteValueToEEProm(unit, static_cast<std::uint16_t>(a), want[i]) == 0) {
            FailWithLastError(unit, "cannot write EEPROM byte " + Snapshot::Address(a) + " (" +
                                        std::to_string(out.bytes_written) + " of " +
                                        std::to_string(out.bytes_to_write) + " differing bytes written)");
        }
        ++out.bytes_written;
        if (options.progress) options.progress(out.bytes_written, out.bytes_to_write);
    }
    snap.Read(unit, {});
    const Bytes got = snap.Get(address, want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (got[i] != want[i]) out.mismatches.push_back(static_cast<std::uint32_t>(address + i));
    }
    return out;
}

}  // namespace zelctl::store
