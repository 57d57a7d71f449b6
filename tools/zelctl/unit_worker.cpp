#include "unit_worker.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "unit_helpers.h"

namespace zelctl {
namespace {

using Clock = std::chrono::steady_clock;

// The power count of a channel: register 36 of its register bank (one reading, no averaging).
constexpr std::uint16_t kPowerCountRegister = 36;
constexpr std::uint16_t kFullScale = 65535;

// The identity fields GET /api/v1/units shows, in its order, before the unit has answered.
constexpr const char* kUnitFields[] = {"board_type",    "channels",       "serial",        "firmware",
                                       "temperature_c", "wavelengths_nm", "wavelength_nm", "link_reopens"};

}  // namespace

bool IsLinkFailure(zel_error reason) {
    switch (reason) {
        case ZEL_ERR_NOT_CONNECTED:
        case ZEL_ERR_CONNECTION_REFUSED:
        case ZEL_ERR_CONNECT_FAILED:
        case ZEL_ERR_TIMEOUT:
        case ZEL_ERR_PEER_CLOSED:
        case ZEL_ERR_SHORT_REPLY:
        case ZEL_ERR_SEND_FAILED:
        case ZEL_ERR_SOCKET:
        case ZEL_ERR_BAD_REPLY:
            return true;
        default:
            return false;
    }
}

ApiError ApiErrorOf(const Failure& failure, zel_error reason) {
    const std::string reason_text = reason != ZEL_OK ? zel_ErrorText(reason) : "";
    // A backup that does not fit the unit is bad input here, as a bad value is.
    if (failure.code() == kExitUsage || failure.code() == kExitFile) return ApiError(400, failure.what(), reason_text);
    if (reason == ZEL_ERR_TIMEOUT) return ApiError(504, failure.what(), reason_text);
    return ApiError(502, failure.what(), reason_text);
}

UnitWorker::UnitWorker(UnitTarget target, WorkerOptions options, Notify notify)
    : target_(std::move(target)), options_(options), notify_(std::move(notify)) {
    GlobalOptions g;
    g.unit = target_.address;
    g.timeout_ms = target_.timeout_ms != 0 ? target_.timeout_ms : options_.timeout_ms;
    session_ = std::make_unique<Session>(g);
    session_->SetFrameTrace(OnFrame, this);
    thread_ = std::thread([this] { Run(); });
}

UnitWorker::~UnitWorker() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void UnitWorker::Enqueue(Job job) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) throw ApiError(503, "the console is stopping");
        jobs_.push_back(std::move(job));
    }
    wake_.notify_all();
}

void UnitWorker::Watch(int delta) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        watchers_ += delta;
    }
    wake_.notify_all();
}

void UnitWorker::Run() {
    auto next_round = Clock::now();  // the first round connects
    for (;;) {
        Job job;
        bool round = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // A connected unit nobody watches has no round to take: sleep until a job, a watcher or the end.
            if (connected_ && watchers_ == 0)
                wake_.wait(lock, [&] { return stopping_ || !jobs_.empty() || watchers_ > 0; });
            wake_.wait_until(lock, next_round, [&] {
                return stopping_ || !jobs_.empty() || (Clock::now() >= next_round && (!connected_ || watchers_ > 0));
            });
            if (stopping_) break;
            if (!jobs_.empty()) {
                job = std::move(jobs_.front());
                jobs_.pop_front();
            } else if (Clock::now() >= next_round) {
                round = !connected_ || watchers_ > 0;
                if (!round) {
                    next_round = Clock::now() + std::chrono::milliseconds(options_.round_ms);
                    continue;
                }
            } else {
                continue;
            }
        }
        if (job) {
            RunJob(job);
            continue;
        }
        const bool was_connected = connected_;
        next_round = Clock::now() + std::chrono::milliseconds(was_connected ? options_.round_ms : options_.retry_ms);
        RunJob([this, was_connected](Session& s) {
            if (!was_connected) {
                Identify(s);
                return;
            }
            const Json readings = ReadChannels(s);
            notify_("readings", readings);
        });
    }
    // Calls still queued find the console gone: their callers hear so when the jobs are destroyed.
    const std::lock_guard<std::mutex> lock(mutex_);
    jobs_.clear();
}

ApiError UnitWorker::Failed(const Failure& failure, Session& s) {
    const zel_error reason = s.LastError();
    if (failure.code() != kExitUsage && IsLinkFailure(reason)) SetConnected(false, failure.what());
    return ApiErrorOf(failure, reason);
}

void UnitWorker::RunJob(const Job& job) {
    try {
        job(*session_);
    } catch (const Failure& f) {
        Failed(f, *session_);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zelctl serve: %s: %s\n", target_.name.c_str(), e.what());
    }
}

void UnitWorker::Identify(Session& s) {
    const Json identity = IdentityRecord(s).ToJson();
    Json unit = Json::object();
    for (const char* key : {"board_type", "channels", "serial", "firmware", "temperature_c", "wavelengths_nm"}) {
        unit[key] = identity.at(key);
    }
    unit["wavelength_nm"] = s.WavelengthInUse();
    std::uint32_t reopens = 0;
    zel_GetLinkReopens(s.Instance(), &reopens);
    unit["link_reopens"] = reopens;
    tap_.reset();  // a unit that came back may hold another calibration
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        identity_ = std::move(unit);
    }
    SetConnected(true);
}

void UnitWorker::SetConnected(bool connected, const std::string& error) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        last_error_ = error;
        if (connected_ == connected) return;
        connected_ = connected;
    }
    notify_("unit", UnitJson());
}

Json UnitWorker::UnitJson() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    Json out = {{"name", target_.name}, {"address", target_.address}, {"connected", connected_}};
    for (const char* key : kUnitFields) out[key] = identity_.contains(key) ? identity_.at(key) : Json(nullptr);
    if (!connected_ && !last_error_.empty()) out["error"] = last_error_;
    return out;
}

Json UnitWorker::ReadChannels(Session& s) {
    zel_instance* inst = s.Instance();
    const int channels = s.Channels();
    if (!tap_) {
        std::vector<std::optional<double>> factors;
        for (int c = 0; c < channels; ++c) {
            double factor = 0;
            const bool ok = zel_ReadTAPCalibration(inst, static_cast<std::uint16_t>(c), &factor) != 0;
            if (!ok && zel_LastError(inst) != ZEL_ERR_NOT_CALIBRATED) {
                s.CheckInstance(false, "cannot read the TAP factor of channel " + std::to_string(c));
            }
            factors.push_back(ok && std::isfinite(factor) ? std::optional<double>(factor) : std::nullopt);
        }
        tap_ = std::move(factors);
    }
    Json rows = Json::array();
    for (int c = 0; c < channels; ++c) {
        const auto ch = static_cast<std::uint16_t>(c);
        std::uint16_t code = 0, count = 0;
        s.CheckInstance(zel_ReadVOACode(inst, ch, &code) != 0,
                        "cannot read the VOA code of channel " + std::to_string(c));
        double db = 0;
        Json attenuation = nullptr;
        if (zel_ReadVOAAttenuation(inst, ch, &db) != 0) {
            attenuation = db;
        } else if (zel_LastError(inst) != ZEL_ERR_NOT_CALIBRATED) {
            s.CheckInstance(false, "cannot read the attenuation of channel " + std::to_string(c));
        }
        s.CheckInstance(zel_AccessBoardRegister(inst, 0, ch, kPowerCountRegister, &count) != 0,
                        "cannot read the power of channel " + std::to_string(c));
        const std::optional<double> factor = (*tap_)[static_cast<std::size_t>(c)];
        Json uw = nullptr, dbm = nullptr;
        if (factor) {
            uw = count * *factor;
            dbm = PowerDbmJson(count * *factor);
        }
        rows.push_back({{"channel", c},
                        {"code", code},
                        {"attenuation_db", attenuation},
                        {"power_uw", uw},
                        {"power_dbm", dbm},
                        {"over_range", count == kFullScale},
                        {"count", count},
                        {"switch_2x2", ReadSwitch(s, "2x2", c)}});
    }
    const double temperature = ReadTemperatureWord(s, 0) / 100.0;
    std::uint32_t reopens = 0;
    zel_GetLinkReopens(inst, &reopens);
    const std::uint16_t mems = ReadSwitch(s, "mems", 0), lbmm = ReadSwitch(s, "lbmm", 0);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        identity_["temperature_c"] = temperature;
        identity_["link_reopens"] = reopens;
    }
    return {{"unit", target_.name}, {"time", UtcNow(true)}, {"temperature_c", temperature},
            {"mems", mems},         {"lbmm", lbmm},         {"channels", rows}};
}

void UnitWorker::OnFrame(void* user, int direction, const std::uint8_t* bytes, std::size_t length) {
    auto* self = static_cast<UnitWorker*>(user);
    std::string hex = FrameHex(bytes, length);
    const std::lock_guard<std::mutex> lock(self->mutex_);
    const bool sent = direction == ZEL_FRAME_SENT;
    std::string text;
    if (sent) {
        self->last_request_ = self->decoder_.Next(bytes, length);
        text = zel::capture::DescribeRequest(self->last_request_);
    } else {
        text = zel::capture::DescribeReply(self->last_request_, bytes, length);
    }
    self->frames_.push_back({self->next_seq_++, UtcNow(true), sent, std::move(hex), std::move(text)});
    while (self->frames_.size() > self->options_.frame_log) self->frames_.pop_front();
}

Json UnitWorker::Frames(std::uint64_t after) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    Json frames = Json::array();
    for (const auto& f : frames_) {
        if (f.seq <= after) continue;
        frames.push_back({{"seq", f.seq},
                          {"time", f.time},
                          {"direction", f.sent ? "sent" : "received"},
                          {"hex", f.hex},
                          {"text", f.text}});
    }
    return {{"unit", target_.name}, {"frames", frames}};
}

}  // namespace zelctl
