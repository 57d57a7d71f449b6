// HwLayer: the TCP link to one unit and the request-frame forms that travel over it.
//
// Every form writes only the frame bytes it names (the others keep what an earlier request left),
// sends all 128 bytes and gathers the reply through one exchange routine, which owns time-outs,
// peer-closed and short-reply handling and records the reason of a failure.
//
// Replies never cross: the first register or block exchange after the link opens learns how long
// the unit's replies to those frames are (the unit answers both with replies of one length), and
// later exchanges gather exactly that many bytes. Nobody waits on the learning: a first reply
// that starts with the register mark is taken as it has arrived, and its length stands
// tentatively until the next register reply, whose mark shows where it starts: bytes ahead of
// that mark are the late rest of the first reply and lengthen the learned length. Only a first
// reply without the mark, or a block or other exchange while the length is tentative, waits for
// the unit to be quiet for a moment. A time-out, a short reply, bytes beyond the reply, bytes
// waiting before a request goes out, or a register reply without the register frame's mark put
// the link out of step; the next exchange then reopens it (same address and port) before
// sending, so no late byte is ever taken as the answer to a later request.
//
// An exchange in step is one send and one receive: the receive has room for a byte more than the
// reply, so it tells a surplus byte that is already there; the look for waiting bytes before a
// send is made only where it can find something (after a form that does not know its reply's
// length, or once the link has been idle for kIdleCheckMs).
//
// Calls: the export entry brackets each call with EnterCall/LeaveCall. A second thread that
// tries to enter while a call runs is refused at once (no lock, no waiting). Inside a call, once
// an exchange has failed for a link reason, every later exchange of that call fails at once
// without sending, keeping the first reason, so a call waits at most about one time-out.
//
// Cancel: every wait of a call (connect, room to send, the reply, a settling pause) is made of
// slices of at most zel::platform::kWaitSliceMs and looks for a cancel before each; a cancel
// fails the call there with ZEL_ERR_CANCELLED and leaves the link out of step, as a time-out
// does. The call flag and the cancel flag share one atomic byte, so that a cancel can only land
// on a call in flight and never outlives it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "transport/frame_codec.h"
#include "transport/platform.h"
#include "zel_api.h"

// Called for every frame sent (direction 0) and every reply received (direction 1).
using FrameTraceFn = void (*)(void* user, int direction, const std::uint8_t* bytes, std::size_t length);

// Sees what the frame trace sees and, besides, where each connection of the link begins and ends
// (the capture writer). Called on the thread inside the call, never while the host's trace runs.
class LinkTap {
public:
    virtual ~LinkTap() = default;
    // A connection is open. Addresses in network byte order, ports in host order; the local end
    // is 0 / 0 when the system does not tell it.
    virtual void Opened(std::uint32_t local_address, std::uint16_t local_port, std::uint32_t peer_address,
                        std::uint16_t peer_port) = 0;
    // `direction` as the frame trace's.
    virtual void Frame(int direction, const std::uint8_t* bytes, std::size_t length) = 0;
    // The open connection is closed.
    virtual void Closed() = 0;
};

class HwLayer {
public:
    using Clock = std::chrono::steady_clock;

    HwLayer() = default;
    virtual ~HwLayer();
    HwLayer(const HwLayer&) = delete;
    HwLayer& operator=(const HwLayer&) = delete;

    static constexpr int kDefaultTimeoutMs = 100000;
    // After the first reply to a kind of frame has its needed bytes, the unit counts as done
    // with it once it has sent nothing more for this long.
    static constexpr int kLearnQuietMs = 50;
    // A link idle for this long is looked at for waiting bytes (or its end) before the next send.
    static constexpr int kIdleCheckMs = 1;

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
    // How often an exchange has reopened the link since the link was made (a connect does not
    // count), read by any thread. Off, a link out of step is not reopened: every exchange fails
    // with ZEL_ERR_NOT_CONNECTED until the next OpenLink.
    std::uint32_t Reopens() const { return reopens_.load(std::memory_order_relaxed); }
    void SetAutoReopen(bool on) { auto_reopen_ = on; }
    // The reply length learned since the link opened (0 = not learned yet), and whether a later
    // reply has confirmed it.
    std::size_t ReplyLength() const { return reply_length_; }
    bool ReplyLengthSettled() const { return length_ == Length::Settled; }

    // Send, receive and connect time-out of this link in milliseconds; 0 restores the default
    // (DefaultTimeoutMs). Takes effect for the next exchange, also on an open link. A link that
    // sets none keeps the default as it stood when it was opened.
    void SetTimeout(std::uint32_t milliseconds);
    int TimeoutMs() const;

    // A call scope. EnterCall is false when another thread is inside a call on this link.
    bool EnterCall();
    void LeaveCall();
    // Ends the call in flight at its next wait; nothing when no call is in flight. Safe from any
    // thread and from a signal handler: one compare-and-swap on a lock-free atomic.
    void Cancel();
    // A settling pause of the call: slices of its wait, cut short by a cancel, which fails the
    // call (false).
    bool Pause(unsigned milliseconds);
    // True when an exchange of the current call failed for a link reason: the call sends nothing
    // more (false outside a call scope, where every exchange stands alone).
    bool CallBroken() const { return call_open_ && call_broken_; }
    const std::uint8_t* RequestFrame() const { return frame_; }
    const std::uint8_t* ReplyBuffer() const { return reply_; }

    void SetFrameTrace(FrameTraceFn fn, void* user) {
        trace_ = fn;
        trace_user_ = user;
    }
    // A tap beside the frame trace (null: none). It hears at once of a connection that is open,
    // and the tap it replaces hears that connection close.
    void SetTap(LinkTap* tap);

    // The time-out of links that set none of their own (100 s unless changed; tests shorten it).
    static void SetDefaultTimeout(int milliseconds) { default_timeout_ms_.store(milliseconds); }
    static int DefaultTimeoutMs() { return default_timeout_ms_.load(); }

private:
    void Trace(int direction, const std::uint8_t* bytes, std::size_t length) {
        if (trace_ != nullptr) trace_(trace_user_, direction, bytes, length);
        if (tap_ != nullptr) tap_->Frame(direction, bytes, length);
    }
    void TellTapOpened();
    // Closes the link's socket, if one is open, and forgets it.
    void CloseOpenSocket();

    // How the reply to a frame is gathered: register and block replies have the learned length;
    // other forms take at least the bytes they need, up to the capacity.
    enum class ReplyKind { Other, Register, Block };
    // How far the reply length of register and block frames is known.
    enum class Length { Unknown, Tentative, Settled };
    // ReceiveMore's result when nothing arrived within the wait.
    static constexpr long kQuiet = -2;
    // ReceiveMore's result when a cancel ended the wait.
    static constexpr long kCancelled = -3;

    // Send `length` bytes, then gather the reply into `dest` (room for `capacity`): exactly the
    // learned length for register and block frames, else at least `needed` bytes. Returns the
    // number of bytes received, or -1 on failure (reason recorded in last_error_).
    // Prepare, send, gather, check:
    long Transact(const std::uint8_t* data, std::size_t length, std::uint8_t* dest, std::size_t capacity,
                  std::size_t needed, ReplyKind kind = ReplyKind::Other);
    // Whether the exchange may go out: the call is whole, the link open and in step (reopened when
    // it was not), nothing left waiting from earlier replies.
    bool Prepare(ReplyKind kind);
    // While the length is tentative: takes bytes waiting (for up to `quiet_ms` after the last
    // reply ended) as the rest of the reply it was learned from; a wait of its own settles it.
    void TakeTail(int quiet_ms);
    long Gather(std::uint8_t* target, std::size_t capacity, std::size_t needed, ReplyKind kind,
                Clock::time_point deadline, bool at_once);
    // From `got` bytes on until at least `needed` are in; then, with `quiet_ms`, on until the unit
    // has sent nothing for that long or the buffer is full.
    long GatherAtLeast(std::uint8_t* target, std::size_t capacity, std::size_t needed, std::size_t got,
                       Clock::time_point deadline, int quiet_ms);
    // Exactly the settled length; `at_once`: the frame left in one send, so the first receive
    // needs no wait of its own.
    long GatherExact(std::uint8_t* target, std::size_t capacity, Clock::time_point deadline, bool at_once);
    // A register reply while the length is tentative, behind the late rest of the first reply.
    long GatherBehindTail(std::uint8_t* target, std::size_t capacity, Clock::time_point deadline);
    // The whole reply judged: its length, the form's needed bytes, the register mark.
    long Check(const std::uint8_t* target, std::uint8_t* dest, std::size_t got, std::size_t needed, ReplyKind kind);
    // One receive into target + got (room up to `room`) after waiting at most `wait_ms` for bytes.
    long ReceiveMore(std::uint8_t* target, std::size_t got, std::size_t room, int wait_ms);
    // A receive that failed (r: its result) after `got` bytes.
    long FailReceive(long r, const std::uint8_t* target, std::size_t got);
    // The frame as it stands, received into the reply buffer; true when the reply came.
    bool SendFrameToReply(std::size_t needed, ReplyKind kind = ReplyKind::Other);
    void WriteCommandHeader(std::uint8_t sub);
    bool Open(std::uint32_t address, std::uint16_t port);
    // A failed exchange: records the reason, puts the link out of step and breaks the call.
    long Fail(zel_error reason);
    bool SendWithin(const std::uint8_t* data, std::size_t length, Clock::time_point deadline, bool& at_once);

    std::uint8_t frame_[zel::frame::kRequestSize] = {};
    std::uint8_t reply_[zel::frame::kReplySize] = {};
    std::uint8_t incoming_[zel::frame::kReplySize] = {};
    zel::platform::Socket socket_ = zel::platform::kInvalidSocket;
    std::int32_t last_result_ = 0;
    std::atomic<zel_error> last_error_{ZEL_OK};
    FrameTraceFn trace_ = nullptr;
    void* trace_user_ = nullptr;
    LinkTap* tap_ = nullptr;

    // The unit's address as the last OpenLink got it, for reopening.
    std::uint32_t peer_address_ = 0;
    std::uint16_t peer_port_ = 0;
    bool out_of_step_ = false;
    bool auto_reopen_ = true;
    std::atomic<std::uint32_t> reopens_{0};
    std::size_t reply_length_ = 0;  // of register and block replies, learned on the first of them
    Length length_ = Length::Unknown;
    bool leftovers_ = false;            // the last exchange may have left part of its reply unread
    Clock::time_point last_reply_end_;  // when the last exchange stopped receiving
    bool register_mark_ = false;        // register replies begin with the register frame's first byte
    std::uint32_t timeout_ms_ = 0;      // 0: the default
    int opened_default_ms_ = 0;         // the default as it stood when the link was opened

    // Bits of call_state_: a call is in flight; a cancel has reached it.
    static constexpr std::uint8_t kInCall = 1;
    static constexpr std::uint8_t kCancel = 2;
    bool Cancelled() const { return (call_state_.load(std::memory_order_relaxed) & kCancel) != 0; }
    zel::platform::StopRequest StopOnCancel() const { return {&call_state_, kCancel}; }
    // A wait of up to `wait_ms` for the socket, in slices: 1 ready, 0 nothing within the wait,
    // -1 error, zel::platform::kStopped on a cancel.
    int WaitSocket(bool for_write, int wait_ms) const;

    std::atomic<std::uint8_t> call_state_{0};
    bool call_open_ = false;
    bool call_broken_ = false;

    static std::atomic<int> default_timeout_ms_;
};
