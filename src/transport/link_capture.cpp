#include "transport/link_capture.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "transport/platform.h"
#include "zel_capture/pcapng.h"

namespace zel::transport {

namespace cap = zel::capture;
namespace plat = zel::platform;

namespace {

// The writer takes the queue this often, or at once when this much is waiting.
constexpr auto kWriterPeriod = std::chrono::milliseconds(20);
constexpr std::size_t kWakeBytes = 256 * 1024;
// Beyond this much waiting, frames are dropped (and the capture reported incomplete) rather than
// letting a stalled disk take the host's memory.
constexpr std::size_t kMaxQueuedBytes = 64 * 1024 * 1024;
// The host's end when the system does not tell the socket's own: a loopback address and a port
// of the dynamic range per conversation.
constexpr std::uint32_t kFallbackHostAddress = 0x7F000001;
constexpr std::uint16_t kFallbackPortBase = 49152;

// An address as the network carries it (the bytes of a network-order word) in host order.
std::uint32_t HostOrder(std::uint32_t network_order) {
    std::uint8_t b[4];
    std::memcpy(b, &network_order, sizeof b);
    return static_cast<std::uint32_t>(b[0]) << 24 | static_cast<std::uint32_t>(b[1]) << 16 |
           static_cast<std::uint32_t>(b[2]) << 8 | b[3];
}

// Initial sequence numbers that differ from conversation to conversation.
std::uint32_t Scramble(std::uint64_t seed) {
    seed ^= seed >> 33;
    seed *= 0xFF51AFD7ED558CCDull;
    seed ^= seed >> 33;
    return static_cast<std::uint32_t>(seed);
}

enum class EventKind : std::uint8_t { Open, Data, Close };

struct Event {
    EventKind kind = EventKind::Data;
    bool from_host = false;
    std::uint32_t conversation = 0;
    std::uint64_t time_us = 0;
    cap::Endpoint host, unit;            // Open
    std::size_t offset = 0, length = 0;  // Data: the bytes in the queue's payload buffer
};

std::string KeyOf(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

}  // namespace

class CaptureFile {
public:
    explicit CaptureFile(std::FILE* file) : file_(file) {
        writer_ = std::thread([this] { Run(); });
    }
    ~CaptureFile() { Shutdown(); }
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    std::uint32_t NewConversation() { return next_conversation_.fetch_add(1, std::memory_order_relaxed); }

    void Enqueue(const Event& e, const std::uint8_t* bytes = nullptr) {
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (queued_bytes_ + e.length > kMaxQueuedBytes) {
                Record(ZEL_ERR_CAPTURE);
                return;
            }
            Event queued = e;
            if (e.length > 0) {
                queued.offset = payload_.size();
                payload_.insert(payload_.end(), bytes, bytes + e.length);
            }
            events_.push_back(queued);
            queued_bytes_ += e.length + sizeof(Event);
            ++enqueued_;
            wake = queued_bytes_ >= kWakeBytes;
        }
        if (wake) wake_.notify_one();
    }

    // Waits until everything queued so far is written and flushed.
    void Drain() {
        std::unique_lock<std::mutex> lock(mutex_);
        const std::uint64_t target = enqueued_;
        flush_wanted_ = true;
        wake_.notify_one();
        drained_.wait(lock, [&] { return written_ >= target || stopped_; });
    }

    // Writes what is queued, stops the writer and closes the file.
    void Shutdown() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (file_ == nullptr) return;
            stopping_ = true;
        }
        wake_.notify_one();
        if (writer_.joinable()) writer_.join();
        if (std::fclose(file_) != 0) Record(ZEL_ERR_CAPTURE);
        file_ = nullptr;
    }

    zel_error Error() const { return error_.load(std::memory_order_relaxed); }

private:
    void Record(zel_error e) {
        zel_error none = ZEL_OK;
        error_.compare_exchange_strong(none, e, std::memory_order_relaxed);
    }

    void Run() {
        std::vector<Event> events;
        cap::Bytes payload, out;
        cap::pcapng::AppendSectionHeader(out);
        cap::pcapng::AppendInterfaceDescription(out);
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, kWriterPeriod,
                           [&] { return stopping_ || flush_wanted_ || queued_bytes_ >= kWakeBytes; });
            events.swap(events_);
            payload.swap(payload_);
            queued_bytes_ = 0;
            flush_wanted_ = false;
            const std::uint64_t target = enqueued_;
            const bool stop = stopping_;
            lock.unlock();

            for (const Event& e : events) Encode(e, payload, out);
            events.clear();
            payload.clear();
            Write(out);
            out.clear();

            lock.lock();
            written_ = target;
            if (stop) stopped_ = true;
            lock.unlock();
            drained_.notify_all();
            if (stop) return;
        }
    }

    void Encode(const Event& e, const cap::Bytes& payload, cap::Bytes& out) {
        std::vector<cap::Bytes> datagrams;
        if (e.kind == EventKind::Open) {
            const std::uint32_t isn = Scramble(e.time_us ^ (std::uint64_t{e.conversation} << 40));
            auto placed = conversations_.insert_or_assign(e.conversation,
                                                          cap::TcpConversation(e.host, e.unit, isn, Scramble(isn)));
            datagrams = placed.first->second.Open();
        } else {
            const auto found = conversations_.find(e.conversation);
            if (found == conversations_.end()) return;  // its start was dropped
            if (e.kind == EventKind::Data) {
                datagrams = found->second.Data(e.from_host, payload.data() + e.offset, e.length);
            } else {
                datagrams = found->second.Close();
                conversations_.erase(found);
            }
        }
        for (const cap::Bytes& d : datagrams) cap::pcapng::AppendEnhancedPacket(out, 0, e.time_us, d.data(), d.size());
    }

    void Write(const cap::Bytes& out) {
        if (out.empty() || write_failed_) return;  // after a write error the file is given up
        if (std::fwrite(out.data(), 1, out.size(), file_) != out.size() || std::fflush(file_) != 0) {
            write_failed_ = true;
            Record(ZEL_ERR_CAPTURE);
        }
    }

    std::FILE* file_;
    std::thread writer_;
    std::atomic<std::uint32_t> next_conversation_{0};
    std::atomic<zel_error> error_{ZEL_OK};

    std::mutex mutex_;
    std::condition_variable wake_, drained_;
    std::vector<Event> events_;
    cap::Bytes payload_;
    std::size_t queued_bytes_ = 0;
    std::uint64_t enqueued_ = 0, written_ = 0;
    bool flush_wanted_ = false, stopping_ = false, stopped_ = false;

    // The writer's own.
    std::map<std::uint32_t, cap::TcpConversation> conversations_;
    bool write_failed_ = false;
};

namespace {

// The files being written, by their absolute path. Holders of a file take and release it under
// this lock, so the count of its holders is exact there.
std::mutex registry_mutex;
std::map<std::string, std::shared_ptr<CaptureFile>>& Registry() {
    static auto* files = new std::map<std::string, std::shared_ptr<CaptureFile>>();  // outlives every holder
    return *files;
}

}  // namespace

std::unique_ptr<LinkCapture> LinkCapture::Start(const std::string& path, zel_error& reason) {
    reason = ZEL_OK;
    const std::string key = KeyOf(path);
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto& files = Registry();
    auto found = files.find(key);
    if (found == files.end()) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) {
            reason = ZEL_ERR_CAPTURE;
            return nullptr;
        }
        found = files.emplace(key, std::make_shared<CaptureFile>(f)).first;
    }
    return std::unique_ptr<LinkCapture>(new LinkCapture(found->second, key));
}

bool LinkCapture::Writes(const std::string& path) const { return KeyOf(path) == key_; }

LinkCapture::LinkCapture(std::shared_ptr<CaptureFile> file, std::string key)
    : file_(std::move(file)), key_(std::move(key)) {}

LinkCapture::~LinkCapture() { Finish(); }

zel_error LinkCapture::Finish() {
    if (file_ == nullptr) return ZEL_OK;
    if (open_) Closed();
    file_->Drain();
    std::shared_ptr<CaptureFile> file;
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        file = std::move(file_);
        auto& files = Registry();
        const auto found = files.find(key_);
        if (found != files.end() && found->second == file && file.use_count() == 2) {
            files.erase(found);
            file->Shutdown();
        }
    }
    return file->Error();
}

void LinkCapture::Opened(std::uint32_t local_address, std::uint16_t local_port, std::uint32_t peer_address,
                         std::uint16_t peer_port) {
    if (open_) Closed();
    Event e;
    e.kind = EventKind::Open;
    e.conversation = conversation_ = file_->NewConversation();
    e.time_us = plat::WallClockMicros();
    e.host = local_port != 0 ? cap::Endpoint{HostOrder(local_address), local_port}
                             : cap::Endpoint{kFallbackHostAddress,
                                             static_cast<std::uint16_t>(kFallbackPortBase + conversation_ % 16384)};
    e.unit = cap::Endpoint{HostOrder(peer_address), peer_port};
    file_->Enqueue(e);
    open_ = true;
}

void LinkCapture::Frame(int direction, const std::uint8_t* bytes, std::size_t length) {
    if (!open_ || length == 0) return;
    Event e;
    e.from_host = direction == ZEL_FRAME_SENT;
    e.conversation = conversation_;
    e.time_us = plat::WallClockMicros();
    e.length = length;
    file_->Enqueue(e, bytes);
}

void LinkCapture::Closed() {
    if (!open_) return;
    Event e;
    e.kind = EventKind::Close;
    e.conversation = conversation_;
    e.time_us = plat::WallClockMicros();
    file_->Enqueue(e);
    open_ = false;
}

}  // namespace zel::transport
