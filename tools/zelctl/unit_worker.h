// A unit of the console: one thread that owns the unit's session and runs every call on the unit in
// turn (the API's and the live feed's), so that no two ever meet on the unit's link.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>

#include <zel_capture/frame_decode.h>

#include "common.h"
#include "station.h"

namespace zelctl {

// A failed API call: the HTTP status, what failed, and the library's reason (empty when the library
// did not fail: a value refused before the unit was reached).
class ApiError : public std::runtime_error {
public:
    ApiError(int status, const std::string& error, std::string reason = "")
        : std::runtime_error(error), status_(status), reason_(std::move(reason)) {}
    int status() const { return status_; }
    const std::string& reason() const { return reason_; }

private:
    int status_;
    std::string reason_;
};

// The HTTP status of a failure of zelctl's unit code: 400 for a usage error (a value refused), 504 when
// the unit did not answer within its time-out, 502 when it failed or refused.
ApiError ApiErrorOf(const Failure& failure, zel_error reason);

// True for the reasons that say the unit cannot be reached (no link, refused, timed out, closed, ...).
bool IsLinkFailure(zel_error reason);

struct WorkerOptions {
    std::uint32_t timeout_ms = 2000;  // the link's time-out
    unsigned round_ms = 200;          // the live feed: a round of readings this often while someone watches
    unsigned retry_ms = 1000;         // a unit that went away: asked again this often
    std::size_t frame_log = 200;      // frames kept for the frame log
};

class UnitWorker {
public:
    // `notify` hears the worker's events, on the worker's thread: "readings" (a round of readings, as
    // ReadChannels gives them), "unit" (UnitJson, when the connection state changed), "sweep" (a point).
    using Notify = std::function<void(const char* event, const Json& data)>;
    UnitWorker(UnitTarget target, WorkerOptions options, Notify notify);
    ~UnitWorker();
    UnitWorker(const UnitWorker&) = delete;
    UnitWorker& operator=(const UnitWorker&) = delete;

    const UnitTarget& target() const { return target_; }

    // Runs `task(session)` on the worker's thread after the calls queued before it and returns its
    // result. A Failure becomes the ApiError it stands for; an ApiError passes as it is.
    template <typename F>
    auto Call(F task) -> std::invoke_result_t<F, Session&> {
        using R = std::invoke_result_t<F, Session&>;
        auto job = std::make_shared<std::packaged_task<R(Session&)>>([this, task = std::move(task)](Session& s) -> R {
            try {
                return task(s);
            } catch (const Failure& f) {
                throw Failed(f, s);
            }
        });
        std::future<R> done = job->get_future();
        Enqueue([job](Session& s) { (*job)(s); });
        return done.get();
    }

    // The unit as GET /api/v1/units shows it: name, address, connected and what the last readings
    // found (identity, temperature, wavelength), without asking the unit.
    Json UnitJson() const;
    // Someone watches the live feed (a count: each watcher adds one and takes it away again).
    void Watch(int delta);
    // The frames after sequence number `after`, oldest first (at most the last WorkerOptions::frame_log).
    Json Frames(std::uint64_t after) const;

    // One round of readings: every channel's code, attenuation (null without VOA calibration), power
    // count, power (uW and dBm, null without TAP calibration) and 2x2 switch, from single register reads.
    Json ReadChannels(Session& s);
    // What a unit call changed that the cached TAP factors depend on (the wavelength in use).
    void ForgetCalibration() { tap_.reset(); }
    // A field of UnitJson that a call changed (the wavelength in use).
    void Note(const char* key, Json value) {
        const std::lock_guard<std::mutex> lock(mutex_);
        identity_[key] = std::move(value);
    }

private:
    struct Frame {
        std::uint64_t seq;
        std::string time;
        bool sent;
        std::string hex;
        std::string text;  // decoded: "read s0 r20 (board ID)", "0x0C35", ...
    };
    using Job = std::function<void(Session&)>;
    void Enqueue(Job job);
    void Run();
    // Runs one call on the session; a Failure thrown comes out as the ApiError; the connection state
    // follows what the call found.
    void RunJob(const Job& job);
    void Identify(Session& s);
    // The ApiError of a failure of the unit's code; a unit that cannot be reached is disconnected.
    ApiError Failed(const Failure& failure, Session& s);
    void SetConnected(bool connected, const std::string& error = "");
    static void OnFrame(void* user, int direction, const std::uint8_t* bytes, std::size_t length);

    UnitTarget target_;
    WorkerOptions options_;
    Notify notify_;
    std::unique_ptr<Session> session_;  // the worker thread's only

    mutable std::mutex mutex_;  // guards what follows, up to the thread
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    int watchers_ = 0;
    bool connected_ = false;
    std::string last_error_;
    Json identity_ = Json::object();
    std::deque<Frame> frames_;
    std::uint64_t next_seq_ = 1;
    zel::capture::ConversationDecoder decoder_;  // the EEPROM address each select last wrote
    zel::capture::Request last_request_;         // what the next reply answers

    std::optional<std::vector<std::optional<double>>> tap_;  // TAP factor per channel; worker thread only
    std::thread thread_;
};

}  // namespace zelctl
