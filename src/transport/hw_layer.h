// HwLayer: the TCP link to one unit and the request-frame forms that travel over it.
//
// Every form writes only the frame bytes it names (the others keep what an earlier request left),
// sends all 128 bytes and gathers the reply through one exchange routine, which owns time-outs,
// peer-closed and short-reply handling and records the reason of a failure.
//
// Replies never cross: the first register or block exchange after the link opens learns how long
// the unit's replies to those frames are (gathering until the unit has been quiet for a moment;
// the unit answers both with replies of one length), and later exchanges gather exactly that
// many bytes. A time-out, a
// short reply, bytes beyond the reply, bytes waiting before a request goes out, or a register
// reply without the register frame's mark put the link out of step; the next exchange then
// reopens it (same address and port) before sending, so no late byte is ever taken as the
// answer to a later request.
//
// Calls: the export entry brackets each call with EnterCall/LeaveCall. A second thread that
// tries to enter while a call runs is refused at once (no lock, no waiting). Inside a call, once
// an exchange has failed for a link reason, every later exchange of that call fails at once
// without sending, keeping the first reason, so a call waits at most about one time-out.
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
    // After the first reply to a kind of frame has its needed bytes, the unit counts as done
    // with it once it has sent nothing more for this long.
    static constexpr int kLearnQuietMs = 50;

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
    // The last error is read by other threads too (a refused caller, a host polling it), so it is
    // atomic; everything else of the link belongs to the thread inside the call.
    zel_error LastError() const { return last_error_.load(std::memory_order_relaxed); }
    void ClearLastError() { last_error_.store(ZEL_OK, std::memory_order_relaxed); }
    void RecordError(zel_error e) { last_error_.store(e, std::memory_order_relaxed); }
    // True while the link must be reopened before its next exchange.
    bool OutOfStep() const { return out_of_step_; }
    // The reply length learned since the link opened (0 = not learned yet).
    std::size_t ReplyLength() const { return reply_length_; }

    // Send, receive and connect time-out of this link in milliseconds; 0 restores the default
    // (DefaultTimeoutMs). Takes effect for the next exchange, also on an open link. A link that
    // sets none keeps the default as it stood when it was opened.
    void SetTimeout(std::uint32_t milliseconds);
    int TimeoutMs() const;

    // A call scope. EnterCall is false when another thread is inside a call on this link.
    bool EnterCall();
    void LeaveCall();
    // True when an exchange of the current call failed for a link reason: the call sends nothing
    // more (false outside a call scope, where every exchange stands alone).
    bool CallBroken() const { return call_open_ && call_broken_; }
    const std::uint8_t* RequestFrame() const { return frame_; }
    const std::uint8_t* ReplyBuffer() const { return reply_; }

    void SetFrameTrace(FrameTraceFn fn, void* user) {
        trace_ = fn;
        trace_user_ = user;
    }

    // The time-out of links that set none of their own (100 s unless changed; tests shorten it).
    static void SetDefaultTimeout(int milliseconds) { default_timeout_ms_.store(milliseconds); }
    static int DefaultTimeoutMs() { return default_timeout_ms_.load(); }

private:
    // How the reply to a frame is gathered: register and block replies have the learned length;
    // other forms take at least the bytes they need, up to the capacity.
    enum class ReplyKind { Other, Register, Block };

    // Send `length` bytes, then gather the reply into `dest` (room for `capacity`): exactly the
    // learned length for register and block frames, else at least `needed` bytes. Returns the
    // number of bytes received, or -1 on failure (reason recorded in last_error_).
    long Transact(const std::uint8_t* data, std::size_t length, std::uint8_t* dest, std::size_t capacity,
                  std::size_t needed, ReplyKind kind = ReplyKind::Other);
    // The frame as it stands, received into the reply buffer; true when the reply came.
    bool SendFrameToReply(std::size_t needed, ReplyKind kind = ReplyKind::Other);
    void WriteCommandHeader(std::uint8_t sub);
    bool Open(std::uint32_t address, std::uint16_t port);
    // A failed exchange: records the reason, puts the link out of step and breaks the call.
    long Fail(zel_error reason);
    bool SendWithin(const std::uint8_t* data, std::size_t length, int deadline_ms);

    std::uint8_t frame_[zel::frame::kRequestSize] = {};
    std::uint8_t reply_[zel::frame::kReplySize] = {};
    std::uint8_t incoming_[zel::frame::kReplySize] = {};
    zel::platform::Socket socket_ = zel::platform::kInvalidSocket;
    std::int32_t last_result_ = 0;
    std::atomic<zel_error> last_error_{ZEL_OK};
    FrameTraceFn trace_ = nullptr;
    void* trace_user_ = nullptr;

    // The unit's address as the last OpenLink got it, for reopening.
    std::uint32_t peer_address_ = 0;
    std::uint16_t peer_port_ = 0;
    bool out_of_step_ = false;
    std::size_t reply_length_ = 0;  // of register and block replies, learned on the first of them
    bool register_mark_ = false;    // register replies begin with the register frame's first byte
    std::uint32_t timeout_ms_ = 0;  // 0: the default
    int opened_default_ms_ = 0;     // the default as it stood when the link was opened

    std::atomic<bool> in_call_{false};
    bool call_open_ = false;
    bool call_broken_ = false;

    static std::atomic<int> default_timeout_ms_;
};
