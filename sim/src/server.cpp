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
constexpr std::size_t kFrameLogCapacity = std::size_t{1} << 16;

using sys::SendAll;

// The idle time of a connection, run from the last complete request (or its reply), so a host
// dribbling a frame byte by byte cannot hold a connection for ever.
class IdleDeadline {
public:
    explicit IdleDeadline(int idle_ms) : idle_(idle_ms) { Restart(); }
    void Restart() { deadline_ = std::chrono::steady_clock::now() + idle_; }
    // How long the next wait may take: -1 for ever (no idle time-out), 0 once the time is up.
    int WaitMs() const {
        if (idle_.count() <= 0) return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
        return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 60000));
    }

private:
    std::chrono::milliseconds idle_;
    std::chrono::steady_clock::time_point deadline_;
};

enum class ReadResult { Frame, Ended, IdleTimeOut };

// Reads until one whole request frame is in, the link ends or fails, the server stops (which wakes
// every connection through the listener's waker) or the idle time is up.
ReadResult ReadFrame(sys::Socket socket, const sys::Waker& waker, IdleDeadline& idle,
                     std::uint8_t (&frame)[kFrameSize]) {
    std::size_t have = 0;
    while (have < kFrameSize) {
        const int wait_ms = idle.WaitMs();
        if (wait_ms == 0) return ReadResult::IdleTimeOut;
        const sys::Readable r = sys::WaitReadable(socket, waker, wait_ms);
        if (r == sys::Readable::Failed || r == sys::Readable::Woken) return ReadResult::Ended;
        if (r != sys::Readable::Yes) continue;  // the deadline is checked at the top
        const long n = sys::Receive(socket, frame + have, kFrameSize - have);
        if (n <= 0) return ReadResult::Ended;
        have += static_cast<std::size_t>(n);
    }
    idle.Restart();
    return ReadResult::Frame;
}

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
    : model_(model),
      address_(std::move(listen_address)),
      port_(port),
      frame_log_(std::make_unique<zelsim::FrameLog>(kFrameLogCapacity)),
      limits_(limits) {}

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
    if (const std::uint16_t bound = sys::LocalPort(listener->socket.Get())) port_ = bound;
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
    IdleDeadline idle(conn.idle_timeout_ms);
    std::uint8_t frame[kFrameSize];
    std::vector<std::uint8_t> reply;
    reply.reserve(1024);
    Ending ending = Ending::Closed;
    const std::unique_ptr<ConnectionAnswers> answers = answerer_ ? answerer_->Connect(conn.peer) : nullptr;
    for (;;) {
        const ReadResult read = ReadFrame(conn.socket.Get(), waker, idle, frame);
        if (read == ReadResult::IdleTimeOut) {
            Log("idle time-out: closing " + conn.peer);
            ending = Ending::IdleTimeOut;
        }
        if (read != ReadResult::Frame) break;

        const Taken taken = Take(frame);
        if (stopping_) break;
        if (taken.fault == Fault::Close) {
            Log("fault: closing " + conn.peer + " at frame " + std::to_string(taken.index));
            ending = Ending::ClosedByFault;
            break;
        }
        if (taken.fault == Fault::Stall) continue;  // taken, never answered

        int delay_ms = 0;
        const ConnectionAnswers::Answer answer =
            answers ? answers->Next(frame, reply, delay_ms) : ConnectionAnswers::Answer::Model;
        if (answer == ConnectionAnswers::Answer::Close) break;
        if (answer == ConnectionAnswers::Answer::Model) model_.Handle(frame, reply);
        if (delay_ms > 0 && !SleepUnlessStopping(delay_ms)) break;
        if (!Deliver(conn, reply, taken.plan, taken.fault)) {
            // The send time-out expired: the host stopped reading.
            if (sys::LastSendTimedOut() && !stopping_) {
                Log("send time-out: resetting " + conn.peer);
                ending = Ending::SendTimeOut;
            }
            break;
        }
        idle.Restart();
    }
    End(conn, ending);
}

// Logs the frame and counts it, under the lock, and finds the fault it meets.
Server::Taken Server::Take(const std::uint8_t (&frame)[kFrameSize]) {
    std::lock_guard<std::mutex> lk(mu_);
    frame_log_->Record(frame);
    const std::uint64_t index = frames_since_plan_++;
    return {index, plan_, index >= plan_.after_frames ? plan_.kind : Fault::None};
}

void Server::End(Connection& conn, Ending ending) {
    if (ending == Ending::IdleTimeOut || ending == Ending::SendTimeOut) {
        // Counted before the host can see the end of its link.
        std::lock_guard<std::mutex> lk(mu_);
        ++timed_out_;
    }
    if (ending == Ending::SendTimeOut) {
        // A close would queue its FIN behind replies the host never reads: reset the link
        // and drop the descriptor now, under the lock Stop takes to shut connections down.
        std::lock_guard<std::mutex> lk(mu_);
        conn.socket.CloseWithReset();
    } else {
        // Tell the peer at once; the socket itself closes once the thread is joined.
        sys::Shutdown(conn.socket.Get());
    }
    if (ending != Ending::ClosedByFault) Log("connection from " + conn.peer + " ended");
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
    return frame_log_->Frames();
}

void Server::ClearFrameLog() {
    std::lock_guard<std::mutex> lk(mu_);
    frame_log_->Clear();
}

void Server::SetFrameLogCapacity(std::size_t frames) {
    std::lock_guard<std::mutex> lk(mu_);
    frame_log_->SetCapacity(frames);
}

std::size_t Server::FramesReceived() const {
    std::lock_guard<std::mutex> lk(mu_);
    return frame_log_->Received();
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
