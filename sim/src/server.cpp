#include "zelsim/server.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>

#include "log.h"
#include "sys.h"

namespace zelsim {

namespace {

constexpr int kSplitGapMs = 5;

using sys::SendAll;

}  // namespace

struct Server::Listener {
    sys::UniqueSocket socket;
    sys::Waker waker;
};

struct Server::Connection {
    // Emptied only under Server::mu_ (the reset at a send time-out), where Stop looks at it.
    sys::UniqueSocket socket;
    std::string peer;
    int idle_timeout_ms = 0;  // 0: never
    std::thread thread;
    bool done = false;  // guarded by Server::mu_
};

Server::Server(UnitModel& model, std::string listen_address, std::uint16_t port, ServerLimits limits)
    : model_(model), address_(std::move(listen_address)), port_(port), limits_(limits) {}

Server::~Server() { Stop(); }

void Server::Log(const std::string& line) const {
    if (model_.Logging()) model_.Log(line);
}

bool Server::Start(std::string* error) {
    std::lock_guard<std::mutex> run(run_mu_);
    if (running_) {
        if (error) *error = "already serving";
        return false;
    }
    auto listener = std::make_unique<Listener>();
    listener->socket = sys::Listen(address_, port_, error);
    if (!listener->socket) return false;
    if (!sys::OpenWaker(listener->waker)) {
        if (error) *error = "cannot create the wake-up of the accept loop";
        return false;
    }
    listener_ = std::move(listener);
    stopping_ = false;
    running_ = true;
    accept_thread_ = std::thread([this] { AcceptLoop(); });
    Log("listening on port " + std::to_string(port_));
    return true;
}

void Server::Stop() {
    std::lock_guard<std::mutex> run(run_mu_);
    if (!running_) return;
    {
        std::lock_guard<std::mutex> lk(mu_);
        stopping_ = true;
    }
    stop_cv_.notify_all();
    sys::Wake(listener_->waker);
    accept_thread_.join();
    listener_->socket.Close();  // connections from now on are refused

    std::list<std::unique_ptr<Connection>> conns;
    {
        std::lock_guard<std::mutex> lk(mu_);
        for (auto& c : conns_) {
            if (c->socket) sys::Shutdown(c->socket.Get());
        }
        conns.swap(conns_);
    }
    for (auto& c : conns) c->thread.join();
    conns.clear();      // closes their sockets
    listener_.reset();  // and the waker, now that no connection thread waits on it
    running_ = false;
    Log("stopped");
    model_.Flush();
}

void Server::ReapFinished() {
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard<std::mutex> lk(mu_);
        for (auto it = conns_.begin(); it != conns_.end();) {
            auto next = std::next(it);
            if ((*it)->done) finished.splice(finished.end(), conns_, it);
            it = next;
        }
    }
    for (auto& c : finished) c->thread.join();
}  // their sockets close here

void Server::AcceptLoop() {
    while (!stopping_) {
        const sys::WaitResult ready = sys::WaitForConnection(listener_->socket.Get(), listener_->waker);
        if (ready == sys::WaitResult::Failed || ready == sys::WaitResult::Woken) return;
        if (ready == sys::WaitResult::Again) continue;

        sys::UniqueSocket socket;  // closed at the end of this round unless a connection takes it
        std::string name;
        const sys::AcceptResult accepted = sys::Accept(listener_->socket.Get(), socket, name);
        if (accepted != sys::AcceptResult::Accepted) {
            // Out of descriptors or a connection reset before we took it: try again shortly.
            if (accepted == sys::AcceptResult::BackOff) SleepUnlessStopping(10);
            continue;
        }
        ReapFinished();
        std::unique_lock<std::mutex> lk(mu_);
        ++accepted_;
        const ServerLimits limits = limits_;
        if (plan_.refuse_connections || conns_.size() >= limits.max_connections) {
            lk.unlock();
            socket.Close();
            Log("refused connection from " + name);
            continue;
        }
        sys::SetNoDelay(socket.Get());
        // A blocked send then fails as timed out and the connection ends.
        if (limits.send_timeout_ms > 0) sys::SetSendTimeout(socket.Get(), limits.send_timeout_ms);
        auto conn = std::make_unique<Connection>();
        conn->socket = std::move(socket);
        conn->peer = name;
        conn->idle_timeout_ms = limits.idle_timeout_ms;
        Connection* raw = conn.get();
        try {
            raw->thread = std::thread([this, raw] { Serve(*raw); });
        } catch (const std::system_error&) {
            // Out of threads: turn the host away rather than end the whole simulator.
            lk.unlock();
            conn->socket.Close();
            Log("no thread for connection from " + name + ", closed");
            continue;
        }
        conns_.push_back(std::move(conn));
        lk.unlock();
        Log("connection from " + name);
    }
}

void Server::Serve(Connection& conn) {
    const sys::Waker& waker = listener_->waker;  // outlives every connection (Stop joins them first)
    std::uint8_t frame[kFrameSize];
    std::size_t have = 0;
    std::vector<std::uint8_t> reply;
    reply.reserve(1024);
    bool closed_by_unit = false;
    bool timed_out = false;
    bool reset = false;
    // The idle time runs from the last complete request (or its reply), so a host
    // dribbling a frame byte by byte cannot hold a connection for ever.
    const auto idle = std::chrono::milliseconds(conn.idle_timeout_ms);
    auto idle_deadline = std::chrono::steady_clock::now() + idle;
    for (;;) {
        int wait_ms = -1;
        if (conn.idle_timeout_ms > 0) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(idle_deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                Log("idle time-out: closing " + conn.peer);
                timed_out = true;
                break;
            }
            wait_ms = static_cast<int>(std::min<std::int64_t>(left.count(), 60000));
        }
        // Stop wakes every connection through the listener's waker.
        const sys::Readable r = sys::WaitReadable(conn.socket.Get(), waker, wait_ms);
        if (r == sys::Readable::Failed || r == sys::Readable::Woken) break;
        if (r != sys::Readable::Yes) continue;  // the deadline is checked at the top
        const long n = sys::Receive(conn.socket.Get(), frame + have, kFrameSize - have);
        if (n <= 0) break;
        have += static_cast<std::size_t>(n);
        if (have < kFrameSize) continue;
        have = 0;
        idle_deadline = std::chrono::steady_clock::now() + idle;

        FaultPlan plan;
        std::uint64_t index;
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (log_capacity_ > 0) {
                Frame f;
                std::copy(std::begin(frame), std::end(frame), f.begin());
                if (log_.size() < log_capacity_) {
                    log_.push_back(f);
                } else {
                    log_[log_head_] = f;
                    log_head_ = (log_head_ + 1) % log_capacity_;
                }
            }
            ++frames_received_;
            index = frames_since_plan_++;
            plan = plan_;
        }
        if (stopping_) break;
        const Fault fault = index >= plan.after_frames ? plan.kind : Fault::None;
        if (fault == Fault::Close) {
            Log("fault: closing " + conn.peer + " at frame " + std::to_string(index));
            closed_by_unit = true;
            break;
        }
        if (fault == Fault::Stall) continue;  // taken, never answered
        model_.Handle(frame, reply);
        if (!Deliver(conn, reply, plan, fault)) {
            // The send time-out expired: the host stopped reading.
            if (sys::LastSendTimedOut() && !stopping_) {
                Log("send time-out: resetting " + conn.peer);
                timed_out = true;
                reset = true;
            }
            break;
        }
        idle_deadline = std::chrono::steady_clock::now() + idle;
    }
    if (timed_out) {
        // Counted before the host can see the end of its link.
        std::lock_guard<std::mutex> lk(mu_);
        ++timed_out_;
    }
    if (reset) {
        // A close would queue its FIN behind replies the host never reads: reset the link
        // and drop the descriptor now, under the lock Stop takes to shut connections down.
        std::lock_guard<std::mutex> lk(mu_);
        conn.socket.CloseWithReset();
    } else {
        // Tell the peer at once; the socket itself closes once the thread is joined.
        sys::Shutdown(conn.socket.Get());
    }
    if (!closed_by_unit) Log("connection from " + conn.peer + " ended");
    model_.Flush();
    std::lock_guard<std::mutex> lk(mu_);
    conn.done = true;
}

bool Server::Deliver(Connection& conn, const std::vector<std::uint8_t>& reply, const FaultPlan& plan, Fault fault) {
    switch (fault) {
        case Fault::ShortReply:
            return SendAll(conn.socket.Get(), reply.data(), std::min(plan.short_bytes, reply.size()));
        case Fault::SplitReply: {
            const std::size_t parts =
                std::clamp<std::size_t>(plan.split_parts, 1, std::max<std::size_t>(reply.size(), 1));
            std::size_t sent = 0;
            for (std::size_t p = 0; p < parts; ++p) {
                const std::size_t end = reply.size() * (p + 1) / parts;
                if (p > 0 && !SleepUnlessStopping(kSplitGapMs)) return false;
                if (!SendAll(conn.socket.Get(), reply.data() + sent, end - sent)) return false;
                sent = end;
            }
            return true;
        }
        case Fault::Delay:
            if (!SleepUnlessStopping(plan.delay_ms)) return false;
            return SendAll(conn.socket.Get(), reply.data(), reply.size());
        case Fault::Late:
            if (!SleepUnlessStopping(plan.late_ms)) return false;
            return SendAll(conn.socket.Get(), reply.data(), reply.size());
        case Fault::Duplicate: {
            std::vector<std::uint8_t> twice(reply);
            twice.insert(twice.end(), reply.begin(), reply.end());
            return SendAll(conn.socket.Get(), twice.data(), twice.size());
        }
        case Fault::Surplus: {
            std::vector<std::uint8_t> more(reply);
            for (std::size_t i = 0; i < plan.surplus_bytes; ++i) more.push_back(static_cast<std::uint8_t>(0x5A + i));
            return SendAll(conn.socket.Get(), more.data(), more.size());
        }
        case Fault::Garbage: {
            std::vector<std::uint8_t> wrong(plan.garbage_bytes != 0 ? plan.garbage_bytes
                                                                    : std::max<std::size_t>(reply.size(), 1));
            std::uint32_t x = 0x9E3779B9u;
            for (auto& b : wrong) {
                x = x * 1664525u + 1013904223u;
                b = static_cast<std::uint8_t>(x >> 24);
            }
            if (!reply.empty() && wrong[0] == reply[0]) wrong[0] = static_cast<std::uint8_t>(~reply[0]);
            return SendAll(conn.socket.Get(), wrong.data(), wrong.size());
        }
        case Fault::Reset:
            sys::Abort(conn.socket.Get());
            Log("fault: reset " + conn.peer);
            return false;
        default:
            return SendAll(conn.socket.Get(), reply.data(), reply.size());
    }
}

bool Server::SleepUnlessStopping(int ms) {
    std::unique_lock<std::mutex> lk(mu_);
    return !stop_cv_.wait_for(lk, std::chrono::milliseconds(std::max(ms, 0)), [&] { return stopping_.load(); });
}

std::vector<Frame> Server::FrameLog() const {
    std::lock_guard<std::mutex> lk(mu_);
    return FrameLogLocked();
}

std::vector<Frame> Server::FrameLogLocked() const {
    std::vector<Frame> out;
    out.reserve(log_.size());
    out.insert(out.end(), log_.begin() + static_cast<ptrdiff_t>(log_head_), log_.end());
    out.insert(out.end(), log_.begin(), log_.begin() + static_cast<ptrdiff_t>(log_head_));
    return out;
}

void Server::ClearFrameLog() {
    std::lock_guard<std::mutex> lk(mu_);
    log_.clear();
    log_head_ = 0;
}

void Server::SetFrameLogCapacity(std::size_t frames) {
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<Frame> keep = FrameLogLocked();
    if (keep.size() > frames) keep.erase(keep.begin(), keep.end() - static_cast<ptrdiff_t>(frames));
    log_ = std::move(keep);
    log_head_ = 0;
    log_capacity_ = frames;
}

std::size_t Server::FramesReceived() const {
    std::lock_guard<std::mutex> lk(mu_);
    return frames_received_;
}

void Server::SetFaults(const FaultPlan& plan) {
    std::lock_guard<std::mutex> lk(mu_);
    plan_ = plan;
    frames_since_plan_ = 0;
}

FaultPlan Server::Faults() const {
    std::lock_guard<std::mutex> lk(mu_);
    return plan_;
}

int Server::ConnectionsAccepted() const {
    std::lock_guard<std::mutex> lk(mu_);
    return accepted_;
}

void Server::SetLimits(const ServerLimits& limits) {
    std::lock_guard<std::mutex> lk(mu_);
    limits_ = limits;
}

ServerLimits Server::Limits() const {
    std::lock_guard<std::mutex> lk(mu_);
    return limits_;
}

int Server::ConnectionsTimedOut() const {
    std::lock_guard<std::mutex> lk(mu_);
    return timed_out_;
}

int Server::ActiveConnections() const {
    std::lock_guard<std::mutex> lk(mu_);
    return static_cast<int>(std::count_if(conns_.begin(), conns_.end(), [](const auto& c) { return !c->done; }));
}

}  // namespace zelsim
