// TCP front of one simulated unit: frames the byte stream into 128-byte
// requests, hands them to the UnitModel, sends the replies, applies the fault
// plan and keeps a log of every frame received.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zelsim/model.h"

namespace zelsim {

inline constexpr std::uint16_t kUnitPort = 6653;

enum class Fault { None, Close, Stall, ShortReply, SplitReply, Delay, Late, Duplicate, Surplus, Garbage, Reset };

struct FaultPlan {
    Fault kind = Fault::None;
    // The fault applies to every frame whose 0-based index (frames received by this
    // server since the plan was set) is >= after_frames.
    std::uint64_t after_frames = 0;
    std::size_t short_bytes = 1;      // ShortReply: only this many reply bytes go out, the rest is dropped
    std::size_t split_parts = 2;      // SplitReply: the reply goes out in this many writes, 5 ms apart
    int delay_ms = 0;                 // Delay: wait this long before replying
    int late_ms = 1000;               // Late: wait this long (meant to outlast the client's time-out), then reply
    std::size_t surplus_bytes = 16;   // Surplus: this many extra bytes follow the reply in the same write
    std::size_t garbage_bytes = 0;    // Garbage: this many wrong bytes instead of the reply (0 = the reply's length)
    bool refuse_connections = false;  // accept and at once close every new connection
};
// Close: on a faulty frame, close that connection without replying.
// Stall: take the frame and never reply; later bytes are read and discarded.
// Duplicate: the reply twice, in one write. Garbage: bytes that are not the reply (the first
// one differs from the reply's first byte). Reset: reply nothing and abort the connection (RST).
// Frames hit by Close or Stall never reach the unit model; the others do.

using Frame = std::array<std::uint8_t, kFrameSize>;

// How the server protects itself from hosts that misbehave or vanish. A change
// applies to connections accepted afterwards.
struct ServerLimits {
    // Connections served at once; more are accepted and closed at once.
    std::size_t max_connections = 256;
    // A connection that completes no request frame for this long is closed (0: never).
    // Generous, so a host that merely pauses between calls keeps its link.
    int idle_timeout_ms = 600000;
    // A reply send that makes no progress for this long (the host stopped
    // reading and the socket buffers are full) closes the connection (0: never).
    int send_timeout_ms = 10000;
};

class FrameLog;

// What answers one connection's requests in the model's place (the replay of a capture).
class ConnectionAnswers {
public:
    enum class Answer {
        Reply,  // send `reply` (after `delay_ms`)
        Model,  // the model answers
        Close,  // close the connection without an answer
    };
    virtual ~ConnectionAnswers() = default;
    virtual Answer Next(const std::uint8_t (&frame)[kFrameSize], std::vector<std::uint8_t>& reply, int& delay_ms) = 0;
};

// Gives each new connection, in the order they come, what answers it; null: the model answers it.
class Answerer {
public:
    virtual ~Answerer() = default;
    virtual std::unique_ptr<ConnectionAnswers> Connect(const std::string& peer) = 0;
};

// The model must outlive the server.
class Server {
public:
    Server(UnitModel& model, std::string listen_address, std::uint16_t port = kUnitPort, ServerLimits limits = {});
    ~Server();  // Stop()
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Bind (SO_REUSEADDR), listen and start accepting. False when the address is
    // not an IPv4 address, cannot be bound, or the server already runs; `error` (when
    // given) then says why, in the system's words where the system refused.
    bool Start(std::string* error = nullptr);
    // Before Start: the connections' requests go to `answerer` (it must outlive the server) before the model.
    void SetAnswerer(Answerer* answerer) { answerer_ = answerer; }
    // Close the listener and every client connection, join all threads and save
    // a changed EEPROM image. Idempotent; Start may be called again afterwards.
    void Stop();

    std::vector<Frame> FrameLog() const;  // oldest first, at most the capacity
    void ClearFrameLog();
    void SetFrameLogCapacity(std::size_t frames);  // default 1 << 16; drops the oldest on shrink
    std::size_t FramesReceived() const;            // complete frames since construction

    void SetFaults(const FaultPlan& plan);  // also restarts the frame count of after_frames
    FaultPlan Faults() const;
    int ConnectionsAccepted() const;  // every accepted connection, refused ones included
    int ActiveConnections() const;
    void SetLimits(const ServerLimits& limits);  // for connections accepted from now on
    ServerLimits Limits() const;
    int ConnectionsTimedOut() const;  // closed by the idle or send time-out
    const std::string& Address() const { return address_; }
    std::uint16_t Port() const { return port_; }

private:
    struct Connection;
    struct Listener;  // the listening socket and the wake-up of the accept loop
    // A request taken in: its index since the fault plan was set, the plan and the fault it meets.
    struct Taken {
        std::uint64_t index;
        FaultPlan plan;
        Fault fault;
    };
    // How a connection ends: the host closed it (or the server stops), the Close fault closed it,
    // or the idle or the send time-out did.
    enum class Ending { Closed, ClosedByFault, IdleTimeOut, SendTimeOut };
    void AcceptLoop();
    void Serve(Connection& conn);
    Taken Take(const std::uint8_t (&frame)[kFrameSize]);
    bool Deliver(Connection& conn, const std::vector<std::uint8_t>& reply, const FaultPlan& plan, Fault fault);
    void End(Connection& conn, Ending ending);
    bool SleepUnlessStopping(int ms);
    void ReapFinished();
    void Log(const std::string& line) const;

    UnitModel& model_;
    Answerer* answerer_ = nullptr;
    const std::string address_;
    std::uint16_t port_;  // the bound one after Start (port 0: the one the system chose)

    std::unique_ptr<Listener> listener_;
    std::thread accept_thread_;
    std::atomic<bool> stopping_{false};
    bool running_ = false;
    std::mutex run_mu_;  // serializes Start and Stop

    mutable std::mutex mu_;  // guards everything below
    std::condition_variable stop_cv_;
    std::list<std::unique_ptr<Connection>> conns_;
    std::unique_ptr<zelsim::FrameLog> frame_log_;  // Server::FrameLog() hides the class name
    std::uint64_t frames_since_plan_ = 0;
    FaultPlan plan_;
    int accepted_ = 0;
    int timed_out_ = 0;
    ServerLimits limits_;
};

}  // namespace zelsim
