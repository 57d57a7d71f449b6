// HwLayer: the TCP link to one unit and the request-frame forms that travel over it.
//
// Every form writes only the frame bytes it names (the others keep what an earlier request left),
// sends all 128 bytes and gathers the reply through one exchange routine, which owns time-outs,
// peer-closed and short-reply handling and records the reason of a failure.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "transport/frame_codec.h"
#include "transport/platform.h"
#include "zel_api.h"

// Called for every frame sent (direction 0) and every reply received (direction 1).
using FrameTraceFn = void (*)(void* user, int direction, const std::uint8_t* bytes, std::size_t length);

class HwLayer {
public:
    HwLayer() = default;
    virtual ~HwLayer();
    HwLayer(const HwLayer&) = delete;
    HwLayer& operator=(const HwLayer&) = delete;

    static constexpr int kDefaultTimeoutMs = 100000;

    bool OpenLink(const char* ip, std::uint16_t port);
    bool CloseLink();
    bool IsOpen() const { return socket_ != zel::platform::kInvalidSocket; }

    // One 16-bit register read (write == 0) or write. A read stores the reply's value into `value`
    // whatever the outcome: after a failure that is the value of the last reply received.
    bool AccessRegister(std::uint16_t write, std::uint16_t select, std::uint16_t address, std::uint16_t& value);

    bool ReadBlock(std::uint8_t bank, std::uint32_t address, std::uint8_t* dest);
    bool WriteBlock(std::uint8_t bank, std::uint32_t address, const std::uint8_t* src);
    bool ReadPages(std::uint8_t bank, std::uint16_t count, std::uint8_t* dest);
    bool ReadPagesChecked(std::uint8_t bank, std::uint16_t count, std::uint8_t* dest);
    bool ReadPage(std::uint8_t bank, std::uint16_t page, std::uint8_t* dest);
    bool ReadPage7F(std::uint8_t bank, std::uint8_t* dest);
    bool SendQuery(std::uint8_t* dest);
    bool SendCommand3(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t* dest);
    bool SendCommand4(std::uint8_t a, std::uint8_t b, std::uint8_t* dest);
    bool ReadBytes(std::uint8_t a, std::uint8_t n, std::uint8_t c, std::uint8_t* dest);
    bool WriteBytes(std::uint8_t a, std::uint8_t n, std::uint8_t c, const std::uint8_t* src);
    bool SendCommand7(std::uint8_t p1, std::uint8_t p2, std::uint8_t p3, std::uint8_t p4, std::uint8_t p5,
                      std::uint8_t p6, std::uint8_t p7, std::uint8_t p8, std::uint8_t p9, std::uint8_t p10,
                      std::uint16_t p11, std::uint8_t p12, std::uint8_t p13, std::uint8_t p14, std::uint8_t p15);
    bool Exchange(const std::uint8_t* data, std::uint32_t length, std::uint8_t* dest, std::uint32_t size);

    // Inspection.
    std::int32_t LastResult() const { return last_result_; }
    zel_error LastError() const { return last_error_; }
    void ClearLastError() { last_error_ = ZEL_OK; }
    void RecordError(zel_error e) { last_error_ = e; }
    const std::uint8_t* RequestFrame() const { return frame_; }
    const std::uint8_t* ReplyBuffer() const { return reply_; }

    void SetFrameTrace(FrameTraceFn fn, void* user) {
        trace_ = fn;
        trace_user_ = user;
    }

    // Internal test seam: the send/receive time-out applied by later OpenLink calls of every link
    // (100 s unless changed). Not part of the exported interface.
    static void SetTimeoutForTesting(int milliseconds) { timeout_ms_.store(milliseconds); }
    static int TimeoutMs() { return timeout_ms_.load(); }

private:
    // Send `length` bytes, then gather at least `needed` reply bytes into `dest` (room for `capacity`).
    // Returns the number of bytes received, or -1 on failure (reason recorded in last_error_).
    long Transact(const std::uint8_t* data, std::size_t length, std::uint8_t* dest, std::size_t capacity,
                  std::size_t needed);
    // The frame as it stands, received into the reply buffer; true when the reply came.
    bool SendFrameToReply(std::size_t needed);
    void WriteCommandHeader(std::uint8_t sub);
    void DiscardStaleBytes();

    std::uint8_t frame_[zel::frame::kRequestSize] = {};
    std::uint8_t reply_[zel::frame::kReplySize] = {};
    std::uint8_t incoming_[zel::frame::kReplySize] = {};
    zel::platform::Socket socket_ = zel::platform::kInvalidSocket;
    std::int32_t last_result_ = 0;
    zel_error last_error_ = ZEL_OK;
    FrameTraceFn trace_ = nullptr;
    void* trace_user_ = nullptr;

    static std::atomic<int> timeout_ms_;
};
