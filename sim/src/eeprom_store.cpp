#include "eeprom_store.h"

#include <chrono>

#include "zelsim/eeprom_file.h"

namespace zelsim {

namespace {
constexpr auto kSaveInterval = std::chrono::milliseconds(200);
}  // namespace

EepromStore::EepromStore(std::mutex& owner_mu, std::vector<std::uint8_t> factory, std::string path)
    : owner_mu_(owner_mu), path_(std::move(path)) {
    const std::size_t size = factory.size();
    if (!path_.empty()) {
        if (auto loaded = LoadImageFile(path_, size)) {
            bytes_ = std::move(*loaded);
            return;
        }
        change_gen_ = 1;  // write the factory image out at the first save
    }
    bytes_ = std::move(factory);
}

EepromStore::~EepromStore() { StopSaver(); }

void EepromStore::Store(std::uint32_t address, const std::uint8_t* src, std::size_t n) {
    bool changed = false;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t& cell = bytes_[(address + i) % bytes_.size()];
        changed |= cell != src[i];
        cell = src[i];
    }
    if (changed) Changed();
}

void EepromStore::SetImage(const std::vector<std::uint8_t>& image) {
    if (bytes_ == image) return;
    bytes_ = image;
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
    std::vector<std::uint8_t> snapshot;
    std::uint64_t gen;
    {
        std::lock_guard<std::mutex> lk(owner_mu_);
        if (change_gen_ == saved_gen_) return true;
        snapshot = bytes_;
        gen = change_gen_;
    }
    if (!SaveImageFile(path_, snapshot, error)) return false;
    std::lock_guard<std::mutex> lk(owner_mu_);
    saved_gen_ = gen;
    ++saves_;
    return true;
}

}  // namespace zelsim
