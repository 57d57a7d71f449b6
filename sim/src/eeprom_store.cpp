#include "eeprom_store.h"

#include <chrono>
#include <cstdio>

#include "zelsim/eeprom_file.h"

namespace zelsim {

namespace {
constexpr auto kSaveInterval = std::chrono::milliseconds(200);
// Past this size a save holds off new writes until the journal is folded and emptied.
constexpr std::uint64_t kJournalLimit = 4u << 20;

// A journal record: address (4 bytes), length (4), the bytes, then a check word (4) over all of
// them, little-endian. A record cut short by the process dying fails its check and is dropped:
// it was never answered.
constexpr std::size_t kRecordHeader = 8;
constexpr std::size_t kRecordCheck = 4;

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t GetU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint32_t CheckWord(const std::uint8_t* p, std::size_t n) {
    std::uint32_t h = 2166136261u;  // FNV-1a
    for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
    return h;
}

std::string JournalPath(const std::string& image) { return image + ".journal"; }

}  // namespace

EepromStore::EepromStore(std::mutex& owner_mu, std::vector<std::uint8_t> factory, std::string path)
    : owner_mu_(owner_mu), path_(std::move(path)) {
    const std::size_t size = factory.size();
    if (!path_.empty()) {
        if (auto loaded = LoadImageFile(path_, size)) {
            bytes_ = std::move(*loaded);
        } else {
            bytes_ = std::move(factory);
            change_gen_ = 1;  // write the factory image out at the first save
        }
        journal_ = std::make_unique<JournalFile>(JournalPath(path_));
        Recover();
        return;
    }
    bytes_ = std::move(factory);
}

EepromStore::~EepromStore() {
    StopSaver();
    // A journal that the last save emptied has nothing to recover: leave only the image behind.
    const bool empty = journal_ && journal_bytes_ == 0 && change_gen_ == saved_gen_;
    journal_.reset();
    if (empty) std::remove(JournalPath(path_).c_str());
}

void EepromStore::Recover() {
    const std::vector<std::uint8_t> log = journal_->ReadAll();
    std::size_t at = 0;
    std::size_t records = 0;
    while (log.size() - at >= kRecordHeader + kRecordCheck) {
        const std::uint32_t address = GetU32(&log[at]);
        const std::uint32_t n = GetU32(&log[at + 4]);
        if (n > log.size() - at - kRecordHeader - kRecordCheck) break;
        const std::size_t check_at = at + kRecordHeader + n;
        if (GetU32(&log[check_at]) != CheckWord(&log[at], kRecordHeader + n)) break;
        for (std::uint32_t i = 0; i < n; ++i) bytes_[(address + i) % bytes_.size()] = log[at + kRecordHeader + i];
        at = check_at + kRecordCheck;
        ++records;
    }
    if (log.empty()) return;
    std::string why;
    if (records > 0 && !SaveImageFile(path_, bytes_, &why)) throw ImageFileError(why);
    if (records > 0) saved_gen_ = change_gen_;
    if (!journal_->Clear(&why)) throw ImageFileError(why);
}

void EepromStore::Journal(std::uint32_t address, const std::uint8_t* src, std::size_t n) {
    if (!journal_) return;
    std::vector<std::uint8_t> record;
    record.reserve(kRecordHeader + n + kRecordCheck);
    PutU32(record, address);
    PutU32(record, static_cast<std::uint32_t>(n));
    record.insert(record.end(), src, src + n);
    PutU32(record, CheckWord(record.data(), record.size()));
    std::string why;
    if (!journal_->AppendSynced(record.data(), record.size(), &why)) {
        std::fprintf(stderr, "zel-unit-sim: EEPROM write not made durable: %s\n", why.c_str());
        return;
    }
    journal_bytes_ += record.size();
}

void EepromStore::Store(std::uint32_t address, const std::uint8_t* src, std::size_t n) {
    bool changed = false;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t& cell = bytes_[(address + i) % bytes_.size()];
        changed |= cell != src[i];
        cell = src[i];
    }
    if (!changed) return;
    Journal(address, src, n);
    Changed();
}

void EepromStore::SetImage(const std::vector<std::uint8_t>& image) {
    if (bytes_ == image) return;
    bytes_ = image;
    Journal(0, bytes_.data(), bytes_.size());
    Changed();
}

void EepromStore::Changed() {
    ++change_gen_;
    if (path_.empty()) return;
    {
        std::lock_guard<std::mutex> lk(wake_mu_);
        pending_ = true;
    }
    wake_cv_.notify_one();
}

void EepromStore::StartSaver(std::function<void()> save) {
    if (path_.empty() || thread_.joinable()) return;
    save_ = std::move(save);
    thread_ = std::thread([this] { Run(); });
}

void EepromStore::StopSaver() {
    {
        std::lock_guard<std::mutex> lk(wake_mu_);
        stop_ = true;
    }
    wake_cv_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void EepromStore::Run() {
    auto last = std::chrono::steady_clock::now() - kSaveInterval;
    std::unique_lock<std::mutex> lk(wake_mu_);
    for (;;) {
        wake_cv_.wait(lk, [&] { return stop_ || pending_; });
        if (stop_) return;
        if (wake_cv_.wait_until(lk, last + kSaveInterval, [&] { return stop_; })) return;
        pending_ = false;
        lk.unlock();
        save_();
        last = std::chrono::steady_clock::now();
        lk.lock();
    }
}

bool EepromStore::Save(std::string* error) {
    if (path_.empty()) return true;
    std::lock_guard<std::mutex> one(save_mu_);
    std::unique_lock<std::mutex> lk(owner_mu_);
    if (change_gen_ == saved_gen_) return true;
    const bool hold = journal_bytes_ > kJournalLimit;
    const std::vector<std::uint8_t> snapshot = bytes_;
    const std::uint64_t gen = change_gen_;
    if (!hold) lk.unlock();
    if (!SaveImageFile(path_, snapshot, error)) return false;
    if (!hold) lk.lock();
    saved_gen_ = gen;
    ++saves_;
    // Writes since the snapshot are only in the journal: it keeps them until a later save.
    if (change_gen_ == gen && journal_bytes_ > 0) {
        if (!journal_->Clear(error)) return false;
        journal_bytes_ = 0;
    }
    return true;
}

}  // namespace zelsim
