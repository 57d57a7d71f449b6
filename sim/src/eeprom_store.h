// The unit's EEPROM: the 128 KiB image (select-0 bank, then select-1 bank) and, when the
// unit keeps it in a file, the journal that makes each write durable before the unit answers
// it (FILE.journal) and the thread that folds the journal into the image after it changes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zelsim {

class JournalFile;

// Selects 0 and 1 reach their own EEPROM bank through the address and data registers.
inline bool HasEepromBank(unsigned select) { return select < 2; }

class EepromStore {
public:
    // Starts from the image in `path` when that file exists, else from `factory`, which the
    // first save then writes out; the writes in the journal (a process that died before it
    // folded them) are applied, saved into the image and cleared from the journal. An empty path keeps the image in
    // memory only. Throws std::runtime_error when the file exists but cannot be read or has the wrong size.
    //
    // `owner_mu` guards the image: the byte and image members run with it held. Save takes it
    // itself, around its snapshot, and must run without it.
    EepromStore(std::mutex& owner_mu, std::vector<std::uint8_t> factory, std::string path);
    ~EepromStore();  // stops the saver thread; saves nothing
    EepromStore(const EepromStore&) = delete;
    EepromStore& operator=(const EepromStore&) = delete;

    std::uint8_t Byte(std::uint32_t address) const { return bytes_[address % bytes_.size()]; }
    // Stores n bytes from `src`, wrapping at the end of the image. With a file, returns once the
    // write is in the synced journal; a journal failure is reported on stderr.
    void Store(std::uint32_t address, const std::uint8_t* src, std::size_t n);
    const std::vector<std::uint8_t>& Image() const { return bytes_; }
    void SetImage(const std::vector<std::uint8_t>& image);  // caller checks the size

    // With a file: after a change the saver thread calls `save` (which is to call Save), at
    // most once per save interval. Call once, after the owner is fully built.
    void StartSaver(std::function<void()> save);
    void StopSaver();

    // Writes the image file when the image changed since the last save. True when there was
    // nothing to do (no file, no change); false with `error` set when the write failed. Empties
    // the journal when no write came in meanwhile; a long stream of writes that fills the journal
    // waits for one save that holds the image throughout.
    bool Save(std::string* error);
    std::uint64_t Saves() const { return saves_.load(); }

private:
    void Changed();
    void Journal(std::uint32_t address, const std::uint8_t* src, std::size_t n);
    void Recover();
    void Run();

    std::mutex& owner_mu_;
    std::vector<std::uint8_t> bytes_;
    const std::string path_;
    std::uint64_t change_gen_ = 0;  // changes so far, guarded by owner_mu_
    std::uint64_t saved_gen_ = 0;   // change_gen_ at the last save, guarded by owner_mu_
    std::mutex save_mu_;            // one save at a time
    std::atomic<std::uint64_t> saves_{0};
    std::unique_ptr<JournalFile> journal_;
    std::uint64_t journal_bytes_ = 0;  // guarded by owner_mu_

    // The saver thread: woken by a change, it waits out the rest of the interval, then saves.
    std::mutex wake_mu_;
    std::condition_variable wake_cv_;
    bool pending_ = false;
    bool stop_ = false;
    std::function<void()> save_;
    std::thread thread_;
};

}  // namespace zelsim
