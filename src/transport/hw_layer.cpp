#include "transport/hw_layer.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

namespace plat = zel::platform;
namespace fr = zel::frame;
using zel::codec::PutLE16;
using zel::codec::PutLE32;

std::atomic<int> HwLayer::default_timeout_ms_{HwLayer::kDefaultTimeoutMs};

namespace {

using Clock = HwLayer::Clock;

// Milliseconds left until `deadline`, never negative.
int Remaining(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
}

}  // namespace

HwLayer::~HwLayer() {
    if (IsOpen()) {
        if (tap_ != nullptr) tap_->Closed();
        plat::CloseSocket(socket_);
    }
}

void HwLayer::SetTap(LinkTap* tap) {
    if (tap_ != nullptr && IsOpen()) tap_->Closed();
    tap_ = tap;
    if (tap_ != nullptr && IsOpen()) TellTapOpened();
}

void HwLayer::TellTapOpened() {
    std::uint32_t local_address = 0;
    std::uint16_t local_port = 0;
    if (!plat::LocalEndpoint(socket_, local_address, local_port)) local_address = local_port = 0;
    tap_->Opened(local_address, local_port, peer_address_, peer_port_);
}

void HwLayer::CloseOpenSocket() {
    if (!IsOpen()) return;
    if (tap_ != nullptr) tap_->Closed();
    plat::CloseSocket(socket_);
    socket_ = plat::kInvalidSocket;
}

void HwLayer::SetTimeout(std::uint32_t milliseconds) {
    timeout_ms_ = milliseconds;
    opened_default_ms_ = default_timeout_ms_.load();
    if (IsOpen()) plat::ConfigureSocket(socket_, TimeoutMs());
}

int HwLayer::TimeoutMs() const {
    if (timeout_ms_ == 0) return opened_default_ms_ != 0 ? opened_default_ms_ : default_timeout_ms_.load();
    return static_cast<int>(std::min<std::uint32_t>(timeout_ms_, INT_MAX));
}

bool HwLayer::EnterCall() {
    // Refused, the state stays as it is: the call in flight keeps its bit (and any cancel of it).
    if ((call_state_.fetch_or(kInCall, std::memory_order_acquire) & kInCall) != 0) return false;
    call_open_ = true;
    call_broken_ = false;
    return true;
}

void HwLayer::LeaveCall() {
    call_open_ = false;
    call_broken_ = false;
    call_state_.store(0, std::memory_order_release);  // a cancel of this call ends with it
}

void HwLayer::Cancel() {
    std::uint8_t state = call_state_.load(std::memory_order_relaxed);
    while ((state & kInCall) != 0 &&
           !call_state_.compare_exchange_weak(state, static_cast<std::uint8_t>(state | kCancel),
                                              std::memory_order_relaxed)) {}
}

bool HwLayer::Pause(unsigned milliseconds) {
    for (unsigned left = milliseconds; left > 0;) {
        if (Cancelled()) {
            last_result_ = -1;
            Fail(ZEL_ERR_CANCELLED);
            return false;
        }
        const unsigned slice = std::min(left, static_cast<unsigned>(plat::kWaitSliceMs));
        plat::SleepMs(slice);
        left -= slice;
    }
    return true;
}

int HwLayer::WaitSocket(bool for_write, int wait_ms) const {
    return plat::WaitReadyUnless(socket_, for_write, wait_ms, StopOnCancel());
}

bool HwLayer::OpenLink(const char* ip, std::uint16_t port) {
    plat::NetStartup();
    std::uint32_t address = 0;
    if (!plat::ParseIPv4(ip, address)) {
        CloseOpenSocket();
        out_of_step_ = false;
        last_result_ = -1;
        RecordError(ZEL_ERR_BAD_ADDRESS);
        return false;
    }
    peer_address_ = address;
    peer_port_ = port;
    // A new connect learns the unit's replies afresh; a reopen keeps what was learned, so that a
    // unit misbehaving while the link is reopened cannot teach a wrong length.
    reply_length_ = 0;
    register_mark_ = false;
    length_ = Length::Unknown;
    opened_default_ms_ = default_timeout_ms_.load();
    return Open(address, port);
}

bool HwLayer::Open(std::uint32_t address, std::uint16_t port) {
    // A link that is still open is closed first, so that no socket is leaked; whatever the old
    // connection still carries is gone with it.
    CloseOpenSocket();
    out_of_step_ = false;
    leftovers_ = false;

    plat::Socket s = plat::OpenTcpSocket();
    if (s == plat::kInvalidSocket) {
        last_result_ = -1;
        RecordError(plat::LastSocketError(ZEL_ERR_SOCKET));
        return false;
    }
    last_result_ = plat::BindAny(s);
    if (last_result_ != 0) {
        RecordError(plat::LastSocketError(ZEL_ERR_SOCKET));
        plat::CloseSocket(s);
        return false;
    }
    const int timeout = TimeoutMs();
    plat::ConfigureSocket(s, timeout);
    last_result_ = plat::Connect(s, address, port, timeout, StopOnCancel());
    if (last_result_ != 0) {
        RecordError(last_result_ == plat::kStopped ? ZEL_ERR_CANCELLED : plat::LastSocketError(ZEL_ERR_CONNECT_FAILED));
        plat::CloseSocket(s);
        return false;
    }
    socket_ = s;
    if (tap_ != nullptr) TellTapOpened();
    return true;
}

bool HwLayer::CloseLink() {
    out_of_step_ = false;
    if (!IsOpen()) {
        last_result_ = -1;
        RecordError(ZEL_ERR_NOT_CONNECTED);
        return false;
    }
    if (tap_ != nullptr) tap_->Closed();
    last_result_ = plat::CloseSocket(socket_);
    // The handle is forgotten even when close reports an error: the descriptor number may be
    // handed to another socket of the process at once and must never be used again here.
    socket_ = plat::kInvalidSocket;
    if (last_result_ != 0) {
        RecordError(plat::LastSocketError(ZEL_ERR_SOCKET));
        return false;
    }
    return true;
}

long HwLayer::Fail(zel_error reason) {
    RecordError(reason);
    out_of_step_ = true;
    call_broken_ = true;
    return -1;
}

bool HwLayer::SendWithin(const std::uint8_t* data, std::size_t length, Clock::time_point deadline, bool& at_once) {
    std::size_t sent = 0;
    at_once = true;
    while (sent < length) {
        // A frame fits an idle socket's buffer, so the first send goes straight out; only the rest of
        // a partial send, or a send that found no room within its slice, waits for room, within the
        // exchange's deadline.
        if (!at_once) {
            const int ready = WaitSocket(true, Remaining(deadline));
            if (ready <= 0) {
                if (ready == 0) plat::NoteTimeout();
                last_result_ = -1;
                Fail(ready == plat::kStopped ? ZEL_ERR_CANCELLED : plat::LastSocketError(ZEL_ERR_SEND_FAILED));
                break;
            }
        }
        const long r = plat::SendOnce(socket_, data + sent, length - sent);
        if (r < 0 && plat::LastSocketError(ZEL_ERR_SEND_FAILED) == ZEL_ERR_TIMEOUT && Remaining(deadline) > 0) {
            at_once = false;  // no room within the slice: wait for it above
            continue;
        }
        if (r <= 0) {
            last_result_ = static_cast<std::int32_t>(r);
            Fail(r < 0 ? plat::LastSocketError(ZEL_ERR_SEND_FAILED) : ZEL_ERR_SEND_FAILED);
            break;
        }
        sent += static_cast<std::size_t>(r);
        last_result_ = static_cast<std::int32_t>(sent);
        if (sent < length) at_once = false;
    }
    if (sent > 0) Trace(ZEL_FRAME_SENT, data, sent);
    return sent == length;
}

long HwLayer::Transact(const std::uint8_t* data, std::size_t length, std::uint8_t* dest, std::size_t capacity,
                       std::size_t needed, ReplyKind kind) {
    if (!Prepare(kind)) return -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs());
    bool at_once = false;
    if (!SendWithin(data, length, deadline, at_once)) return -1;
    // The reply buffer keeps the last complete reply until a new one has fully arrived.
    std::uint8_t* target = dest == reply_ ? incoming_ : dest;
    const long got = Gather(target, capacity, needed, kind, deadline, at_once);
    last_reply_end_ = Clock::now();
    if (got < 0) return -1;
    return Check(target, dest, static_cast<std::size_t>(got), needed, kind);
}

bool HwLayer::Prepare(ReplyKind kind) {
    if (CallBroken()) {
        // An earlier exchange of this call failed: the call ends here, keeping that reason.
        last_result_ = -1;
        return false;
    }
    if (Cancelled()) {
        last_result_ = -1;
        Fail(ZEL_ERR_CANCELLED);
        return false;
    }
    if (!IsOpen() && !out_of_step_) {
        last_result_ = -1;
        RecordError(ZEL_ERR_NOT_CONNECTED);
        return false;
    }
    if (!out_of_step_ && length_ == Length::Tentative) {
        // Register replies can tell where they start; the others cannot, so before one of them goes
        // out, the rest of the reply the length was learned from gets its moment to arrive.
        if (kind == ReplyKind::Register)
            TakeTail(0);
        else
            TakeTail(kLearnQuietMs);
    } else if (!out_of_step_ &&
               (leftovers_ || Clock::now() - last_reply_end_ >= std::chrono::milliseconds(kIdleCheckMs))) {
        // Bytes (or the end of the stream) waiting before a request goes out belong to no request of
        // ours. They can only be there when the last exchange did not know its reply's length, or
        // when the link has been idle long enough for a unit to send or close: otherwise the
        // receive that completed the last reply would have seen them.
        std::uint8_t sink[64];
        if (plat::ReceivePending(socket_, sink, sizeof sink) >= 0) out_of_step_ = true;
    }
    leftovers_ = false;
    if (!out_of_step_) return true;
    if (!auto_reopen_) {
        // The host reconnects itself: a unit that restarted has lost its settings.
        last_result_ = -1;
        RecordError(ZEL_ERR_NOT_CONNECTED);
        call_broken_ = true;
        return false;
    }
    if (!Open(peer_address_, peer_port_)) {
        out_of_step_ = true;
        call_broken_ = true;
        return false;
    }
    reopens_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void HwLayer::TakeTail(int quiet_ms) {
    std::uint8_t sink[64];
    for (;;) {
        long r = plat::ReceivePending(socket_, sink, sizeof sink);
        if (r < 0) {
            const int left = Remaining(last_reply_end_ + std::chrono::milliseconds(quiet_ms));
            if (left <= 0 || plat::WaitReady(socket_, false, left) <= 0) break;
            r = plat::ReceivePending(socket_, sink, sizeof sink);
            if (r < 0) break;
        }
        if (r == 0 || reply_length_ + static_cast<std::size_t>(r) > fr::kReplySize) {
            out_of_step_ = true;  // closed, or more than any reply: reopen, keeping the length learned so far
            return;
        }
        reply_length_ += static_cast<std::size_t>(r);  // the rest of the reply the length was learned from
        last_reply_end_ = Clock::now();
    }
    if (quiet_ms > 0) length_ = Length::Settled;
}

long HwLayer::FailReceive(long r, const std::uint8_t* target, std::size_t got) {
    if (r == kCancelled) {
        last_result_ = -1;
        if (trace_ != nullptr && got > 0) trace_(trace_user_, 1, target, got);
        return Fail(ZEL_ERR_CANCELLED);
    }
    if (r == kQuiet) {
        plat::NoteTimeout();
        r = -1;
    }
    last_result_ = static_cast<std::int32_t>(r);
    zel_error reason = r == 0 ? ZEL_ERR_PEER_CLOSED : plat::LastSocketError(ZEL_ERR_SOCKET);
    if (got > 0 && reason == ZEL_ERR_TIMEOUT) reason = ZEL_ERR_SHORT_REPLY;
    if (got > 0) Trace(ZEL_FRAME_RECEIVED, target, got);
    return Fail(reason);
}

long HwLayer::ReceiveMore(std::uint8_t* target, std::size_t got, std::size_t room, int wait_ms) {
    const int ready = wait_ms > 0 ? WaitSocket(false, wait_ms) : 0;
    if (ready == 0) return kQuiet;
    if (ready == plat::kStopped) return kCancelled;
    return ready < 0 ? -1 : plat::ReceiveOnce(socket_, target + got, room - got);
}

long HwLayer::Gather(std::uint8_t* target, std::size_t capacity, std::size_t needed, ReplyKind kind,
                     Clock::time_point deadline, bool at_once) {
    if (kind == ReplyKind::Other) {
        leftovers_ = true;  // the unit's reply may go on beyond what this form takes
        return GatherAtLeast(target, capacity, std::max<std::size_t>(needed, 1), 0, deadline, 0);
    }
    if (length_ == Length::Settled) return GatherExact(target, capacity, deadline, at_once);
    if (length_ == Length::Tentative) return GatherBehindTail(target, capacity, deadline);

    // The first register or block reply since the link opened: whatever has arrived once the form's
    // bytes are in. A register reply that starts with the register mark lets later replies tell
    // where they start, so its length stands tentatively, to be confirmed (or lengthened by a late
    // rest) by the next register reply; any other is taken as complete once the unit is quiet.
    long got = GatherAtLeast(target, capacity, std::max<std::size_t>(needed, 1), 0, deadline, 0);
    if (got < 0) return got;
    register_mark_ = kind == ReplyKind::Register && target[0] == fr::kRegisterFrame;
    if (!register_mark_)
        got = GatherAtLeast(target, capacity, 0, static_cast<std::size_t>(got), deadline, kLearnQuietMs);
    if (got < 0) return got;
    reply_length_ = static_cast<std::size_t>(got);
    length_ = register_mark_ ? Length::Tentative : Length::Settled;
    return got;
}

long HwLayer::GatherAtLeast(std::uint8_t* target, std::size_t capacity, std::size_t needed, std::size_t got,
                            Clock::time_point deadline, int quiet_ms) {
    const std::size_t want = std::min(needed, capacity);
    while (got < capacity) {
        int wait = Remaining(deadline);
        if (got >= want) {
            if (quiet_ms == 0) break;
            wait = std::min(wait, quiet_ms);
        }
        const long r = ReceiveMore(target, got, capacity, wait);
        if (r == kQuiet && got >= want) break;  // the unit has been quiet: its reply is complete
        if (r <= 0) return FailReceive(r, target, got);
        got += static_cast<std::size_t>(r);
    }
    return static_cast<long>(got);
}

long HwLayer::GatherExact(std::uint8_t* target, std::size_t capacity, Clock::time_point deadline, bool at_once) {
    const std::size_t want = std::min(reply_length_, capacity);
    // One byte of room beyond the reply lets the receive that completes it tell a surplus byte that
    // is already there; a reply that fills the buffer is followed by a check for waiting bytes.
    const std::size_t room = std::min(want + 1, capacity);
    std::size_t got = 0;
    while (got < want) {
        long r;
        if (got == 0 && at_once) {
            // Straight after the send the reply is taken by one receive, which waits at most one
            // slice; a reply later than that is waited for below, in slices, until the deadline.
            at_once = false;
            r = plat::ReceiveOnce(socket_, target, room);
            if (r < 0 && plat::LastSocketError(ZEL_ERR_SOCKET) == ZEL_ERR_TIMEOUT) continue;
        } else {
            r = ReceiveMore(target, got, room, Remaining(deadline));
        }
        if (r <= 0) return FailReceive(r, target, got);
        got += static_cast<std::size_t>(r);
    }
    if (room == want) {
        std::uint8_t sink[64];
        const long more = plat::ReceivePending(socket_, sink, sizeof sink);
        if (more == 0) out_of_step_ = true;  // the unit closed after a whole reply: reopen next time
        if (more > 0) {
            Trace(ZEL_FRAME_RECEIVED, target, got);
            last_result_ = static_cast<std::int32_t>(got);
            return Fail(ZEL_ERR_BAD_REPLY);
        }
    }
    return static_cast<long>(got);
}

long HwLayer::GatherBehindTail(std::uint8_t* target, std::size_t capacity, Clock::time_point deadline) {
    // The unit answers every register and block frame with one length, so when the reply the
    // length was learned from went on after it was taken, its rest (`tail` bytes) comes first and
    // this reply, which starts with the register mark, is `reply_length_ + tail` bytes long.
    std::size_t got = 0;
    for (;;) {
        const std::size_t tail = static_cast<std::size_t>(std::find(target, target + got, fr::kRegisterFrame) - target);
        const std::size_t whole = reply_length_ + 2 * tail;
        if (tail < got && whole <= capacity && got >= whole) {
            // A reply that starts where the last one was taken to end confirms its length; one
            // behind a rest confirms the longer length only when it is exactly that long.
            if (tail == 0) length_ = Length::Settled;
            if (tail > 0 && got == whole) {
                reply_length_ += tail;
                length_ = Length::Settled;
                std::memmove(target, target + tail, got - tail);
                got -= tail;
            }
            break;
        }
        if (got == capacity) break;
        // Bytes ahead of the mark are only taken for a rest while more keep coming.
        int wait = Remaining(deadline);
        const bool unmarked = got > 0 && target[0] != fr::kRegisterFrame;
        if (unmarked) wait = std::min(wait, kLearnQuietMs);
        const long r = ReceiveMore(target, got, capacity, wait);
        if (r == kQuiet && unmarked) break;  // no reply behind them: judged as they are
        if (r <= 0) return FailReceive(r, target, got);
        got += static_cast<std::size_t>(r);
    }
    return static_cast<long>(got);
}

long HwLayer::Check(const std::uint8_t* target, std::uint8_t* dest, std::size_t got, std::size_t needed,
                    ReplyKind kind) {
    Trace(ZEL_FRAME_RECEIVED, target, got);
    last_result_ = static_cast<std::int32_t>(got);
    const bool framed = kind != ReplyKind::Other;
    // Bytes beyond the reply, or a reply cut short, mean the reply was not what it seemed.
    if (framed && got > reply_length_) return Fail(ZEL_ERR_BAD_REPLY);
    if (got < needed || (framed && got < reply_length_)) return Fail(ZEL_ERR_SHORT_REPLY);
    if (kind == ReplyKind::Register && register_mark_ && target[0] != fr::kRegisterFrame)
        return Fail(ZEL_ERR_BAD_REPLY);
    if (target != dest) std::memcpy(dest, target, got);
    return static_cast<long>(got);
}

bool HwLayer::SendFrameToReply(std::size_t needed, ReplyKind kind) {
    return Transact(frame_, fr::kRequestSize, reply_, fr::kReplySize, needed, kind) >= 0;
}

void HwLayer::WriteCommandHeader(std::uint8_t sub) {
    frame_[fr::kType] = fr::kCommandFrame;
    frame_[fr::kSubCommand] = sub;
}

bool HwLayer::AccessRegister(std::uint16_t write, std::uint16_t select, std::uint16_t address, std::uint16_t& value) {
    frame_[fr::kType] = fr::kRegisterFrame;
    frame_[1] = frame_[2] = frame_[3] = 0;
    PutLE16(frame_ + fr::kControlWord, fr::ControlWord(write != 0, select, address));
    if (write != 0) {
        PutLE16(frame_ + fr::kValue, value);
        return SendFrameToReply(1, ReplyKind::Register);
    }
    bool ok = SendFrameToReply(fr::kRegisterReplyNeeded, ReplyKind::Register);
    value = zel::codec::GetLE16(reply_ + fr::kReplyValue);
    last_result_ = ok ? 1 : 0;
    return ok;
}

bool HwLayer::ReadBlock(std::uint8_t bank, std::uint32_t address, std::uint8_t* dest) {
    WriteCommandHeader(fr::kSubBlock);
    frame_[fr::kBlockDirection] = 0x01;
    frame_[fr::kBlockLength] = 0x80;
    frame_[fr::kBlockBank] = bank;
    PutLE32(frame_ + fr::kBlockAddress, address);
    bool ok = SendFrameToReply(fr::kBlockSize, ReplyKind::Block);
    std::memcpy(dest, reply_, fr::kBlockSize);
    last_result_ = ok ? 1 : 0;
    return ok;
}

bool HwLayer::WriteBlock(std::uint8_t bank, std::uint32_t address, const std::uint8_t* src) {
    WriteCommandHeader(fr::kSubBlock);
    frame_[fr::kBlockDirection] = 0x00;
    frame_[fr::kBlockLength] = 0x80;
    frame_[fr::kBlockBank] = bank;
    PutLE32(frame_ + fr::kBlockAddress, address);
    std::memcpy(frame_ + fr::kBlockPayload, src, fr::kBlockPayloadMax);
    return SendFrameToReply(1);
}

bool HwLayer::ReadPages(std::uint8_t bank, std::uint16_t count, std::uint8_t* dest) {
    bool all = true;
    for (std::uint16_t page = 0; page < count; ++page) {
        WriteCommandHeader(fr::kSubPages);
        frame_[2] = bank;
        frame_[3] = static_cast<std::uint8_t>(page);
        frame_[4] = 0x00;
        all =
            Transact(frame_, fr::kRequestSize, dest + std::size_t{page} * fr::kPageSize, fr::kPageSize, 1) >= 0 && all;
    }
    return all;
}

bool HwLayer::ReadPagesChecked(std::uint8_t bank, std::uint16_t count, std::uint8_t* dest) {
    WriteCommandHeader(fr::kSubPages);
    frame_[2] = bank;
    if (count == 0) return last_result_ != 0;
    bool ok = false;
    for (std::uint16_t pass = 0; pass < count; ++pass)
        ok = Transact(frame_, fr::kRequestSize, dest + std::size_t{pass} * fr::kPageSize, fr::kPageSize, 1) >= 0;
    last_result_ = ok ? 1 : 0;
    return ok;
}

bool HwLayer::ReadPage(std::uint8_t bank, std::uint16_t page, std::uint8_t* dest) {
    WriteCommandHeader(fr::kSubPages);
    frame_[2] = bank;
    frame_[3] = static_cast<std::uint8_t>(page);
    frame_[4] = 0x00;
    return Transact(frame_, fr::kRequestSize, dest + std::size_t{page} * fr::kPageSize, fr::kPageSize, 1) >= 0;
}

bool HwLayer::ReadPage7F(std::uint8_t bank, std::uint8_t* dest) {
    WriteCommandHeader(fr::kSubPages);
    frame_[2] = bank;
    frame_[3] = 0x7F;
    frame_[4] = 0x7F;
    return Transact(frame_, fr::kRequestSize, dest, fr::kPageSize, 1) >= 0;
}

bool HwLayer::SendQuery(std::uint8_t* dest) {
    WriteCommandHeader(fr::kSubPages);
    return Transact(frame_, fr::kRequestSize, dest, fr::kPageSize, 1) >= 0;
}

bool HwLayer::SendCommand3(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t* dest) {
    WriteCommandHeader(fr::kSubCommand3);
    frame_[2] = a;
    frame_[3] = b;
    frame_[4] = c;
    return Transact(frame_, fr::kRequestSize, dest, fr::kPageSize, 1) >= 0;
}

bool HwLayer::SendCommand4(std::uint8_t a, std::uint8_t b, std::uint8_t* dest) {
    WriteCommandHeader(fr::kSubCommand4);
    frame_[2] = a;
    frame_[3] = b;
    frame_[4] = 0x7F;
    return Transact(frame_, fr::kRequestSize, dest, fr::kPageSize, 1) >= 0;
}

bool HwLayer::ReadBytes(std::uint8_t a, std::uint8_t n, std::uint8_t c, std::uint8_t* dest) {
    WriteCommandHeader(fr::kSubBytes);
    frame_[2] = 0x01;
    frame_[3] = n;
    frame_[4] = a;
    frame_[5] = c;
    bool ok = SendFrameToReply(n);
    std::memcpy(dest, reply_, n);
    last_result_ = ok ? 1 : 0;
    return ok;
}

bool HwLayer::WriteBytes(std::uint8_t a, std::uint8_t n, std::uint8_t c, const std::uint8_t* src) {
    WriteCommandHeader(fr::kSubBytes);
    frame_[2] = 0x00;
    frame_[3] = n;
    frame_[4] = a;
    frame_[5] = c;
    // The frame has room for 119 payload bytes; a longer request is cut there.
    std::memcpy(frame_ + fr::kBlockPayload, src, std::min<std::size_t>(n, fr::kBlockPayloadMax));
    return SendFrameToReply(1);
}

bool HwLayer::SendCommand7(std::uint8_t p1, std::uint8_t p2, std::uint8_t p3, std::uint8_t p4, std::uint8_t p5,
                           std::uint8_t p6, std::uint8_t p7, std::uint8_t p8, std::uint8_t p9, std::uint8_t p10,
                           std::uint16_t p11, std::uint8_t p12, std::uint8_t p13, std::uint8_t p14, std::uint8_t p15) {
    WriteCommandHeader(fr::kSubCommand7);
    frame_[2] = 0x00;
    frame_[3] = 0x00;
    const std::uint8_t bytes[10] = {p1, p2, p3, p4, p5, p6, p7, p8, p9, p10};
    std::memcpy(frame_ + 4, bytes, sizeof bytes);
    PutLE16(frame_ + 14, p11);
    frame_[16] = p12;
    frame_[17] = p13;
    frame_[18] = p14;
    frame_[19] = p15;
    return SendFrameToReply(1);
}

bool HwLayer::Exchange(const std::uint8_t* data, std::uint32_t length, std::uint8_t* dest, std::uint32_t size) {
    if (size == 0) {
        RecordError(ZEL_ERR_BAD_ARGUMENT);
        return false;
    }
    return Transact(data, length, dest, size, 1) >= 0;
}
