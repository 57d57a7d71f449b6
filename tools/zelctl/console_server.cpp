#include "console_server.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <random>

#include "args.h"
#include "calib_backup.h"
#include "calib_file.h"
#include "calib_store.h"
#include "console_assets.h"
#include "sweep.h"
#include "unit_helpers.h"

namespace zelctl {
namespace {

constexpr std::size_t kFeedBacklog = 256;  // events a slow watcher may fall behind before the oldest go

// The listeners of the live feed: each has a queue of formatted events.
class Feed {
public:
    struct Watcher {
        std::deque<std::string> events;
    };

    std::shared_ptr<Watcher> Join() {
        auto w = std::make_shared<Watcher>();
        const std::lock_guard<std::mutex> lock(mutex_);
        watchers_.push_back(w);
        return w;
    }
    void Leave(const std::shared_ptr<Watcher>& w) {
        const std::lock_guard<std::mutex> lock(mutex_);
        watchers_.remove(w);
    }
    void Publish(const char* event, const Json& data) {
        const std::string text = std::string("event: ") + event + "\ndata: " + data.dump() + "\n\n";
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            for (auto& w : watchers_) {
                w->events.push_back(text);
                if (w->events.size() > kFeedBacklog) w->events.pop_front();
            }
        }
        wake_.notify_all();
    }
    // The events queued for `w`, waiting up to `wait` for one; empty when none came or the feed stopped.
    std::string Take(const std::shared_ptr<Watcher>& w, std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, wait, [&] { return stopping_ || !w->events.empty(); });
        std::string out;
        for (auto& e : w->events) out += e;
        w->events.clear();
        return out;
    }
    void Stop() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
    }
    bool Stopping() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return stopping_;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::list<std::shared_ptr<Watcher>> watchers_;
    bool stopping_ = false;
};

void SendJson(httplib::Response& res, const Json& body, int status = 200) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void SendError(httplib::Response& res, int status, const std::string& error, const std::string& reason = "") {
    SendJson(res, {{"error", error}, {"reason", reason}}, status);
}

// The token compared without an early exit, so that the time taken tells nothing of how much matched.
bool EqualInConstantTime(const std::string& given, const std::string& token) {
    if (given.size() != token.size() || token.empty()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < token.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ token[i]);
    return diff == 0;
}

// The request's body as a JSON object; 400 else.
Json BodyObject(const httplib::Request& req) {
    Json body;
    try {
        body = Json::parse(req.body);
    } catch (const Json::parse_error& e) {
        throw ApiError(400, std::string("the request body is no JSON: ") + e.what());
    }
    if (!body.is_object()) throw ApiError(400, "the request body must be a JSON object");
    return body;
}

// A number field of the body: 400 when missing or not a number.
double NumberField(const Json& body, const char* key) {
    const auto it = body.find(key);
    if (it == body.end()) throw ApiError(400, std::string("the request body has no \"") + key + "\"");
    if (!it->is_number()) throw ApiError(400, std::string("\"") + key + "\" must be a number");
    return it->get<double>();
}

// A whole number in low..high, as zelctl refuses one outside it.
unsigned WholeField(const Json& body, const char* key, double low, double high) {
    const double v = NumberField(body, key);
    if (!(v >= low && v <= high)) throw ApiError(400, std::string(key) + " " + OutsideRange(v, low, high));
    if (v != std::floor(v)) throw ApiError(400, std::string(key) + " " + Number(v) + " is not a whole number");
    return static_cast<unsigned>(v);
}

// zelctl's checks that run before the unit is reached throw Failure(kExitUsage): 400 with their message.
template <typename F>
auto Checked(F check) {
    try {
        return check();
    } catch (const Failure& f) {
        throw ApiErrorOf(f, ZEL_OK);
    }
}

calib::Calibration BackupOf(const httplib::Request& req) {
    try {
        return calib::ParseBackup(req.body);
    } catch (const calib::FileError& e) {
        throw ApiError(400, std::string("backup: ") + e.what());
    }
}

}  // namespace

std::string NewToken() {
    std::random_device random;  // the system's random source (getrandom, rand_s)
    std::string out;
    char buf[12];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(random()));
        out += buf;
    }
    return out;
}

struct ConsoleServer::Impl {
    ConsoleOptions options;
    std::vector<std::unique_ptr<UnitWorker>> workers;
    Feed feed;
    httplib::Server http;
    int port = 0;
    // The last finished sweep of each unit (by name), for its downloads as CSV, SVG or JSON.
    std::mutex sweeps_mutex;
    std::map<std::string, SweepPlot> last_sweeps;

    // The channel of the path (404 unless a whole number the board has), checked on the worker.
    static int RequireChannel(Session& s, const std::string& text) {
        int channel = -1;
        if (!text.empty() && text.size() < 4 && std::all_of(text.begin(), text.end(), ::isdigit))
            channel = std::stoi(text);
        try {
            if (channel < 0) throw Failure(kExitUsage, "channel " + text + ": no such channel");
            s.RequireChannel(channel);
        } catch (const Failure& f) {
            if (f.code() != kExitUsage) throw;
            throw ApiError(404, f.what());
        }
        return channel;
    }

    UnitWorker& Unit(const std::string& name) {
        for (auto& w : workers) {
            if (w->target().name == name || w->target().address == name) return *w;
        }
        throw ApiError(404, "unknown unit " + name);
    }

    std::vector<std::string> Hosts() const {
        const std::string port_text = ":" + std::to_string(port);
        std::vector<std::string> hosts{options.host + port_text, "localhost" + port_text};
        if (options.host.find(':') != std::string::npos) hosts.push_back("[" + options.host + "]" + port_text);
        return hosts;
    }

    bool HostAllowed(const std::string& host) const {
        const auto hosts = Hosts();
        if (std::find(hosts.begin(), hosts.end(), host) != hosts.end()) return true;
        // Listening on every address: a client may name any of them, as an address (no name to rebind).
        if (options.host == "0.0.0.0") {
            const auto colon = host.rfind(':');
            return colon != std::string::npos && host.substr(colon + 1) == std::to_string(port) &&
                   IsDottedQuad(host.substr(0, colon));
        }
        return false;
    }

    bool TokenGiven(const httplib::Request& req) const {
        const std::string auth = req.get_header_value("Authorization");
        const std::string bearer = "Bearer ";
        if (auth.compare(0, bearer.size(), bearer) == 0 &&
            EqualInConstantTime(auth.substr(bearer.size()), options.token))
            return true;
        return req.has_param("token") && EqualInConstantTime(req.get_param_value("token"), options.token);
    }

    // Every refusal of a request, before anything reaches a unit.
    httplib::Server::HandlerResponse Guard(const httplib::Request& req, httplib::Response& res) {
        using R = httplib::Server::HandlerResponse;
        const std::string host = req.get_header_value("Host");
        if (!HostAllowed(host)) {
            SendError(res, 403, "Host '" + host + "' is not this console's (" + Hosts().front() + ")");
            return R::Handled;
        }
        const bool api = req.path.compare(0, 5, "/api/") == 0;
        if (api && !options.token.empty() && !TokenGiven(req)) {
            SendError(res, 401, "this console needs its token (Authorization: Bearer <token>, or ?token=<token>)");
            return R::Handled;
        }
        if (req.method != "GET" && req.method != "HEAD") {
            const std::string origin = req.get_header_value("Origin");
            bool own = origin.empty();
            for (const auto& h : Hosts()) own = own || origin == "http://" + h;
            if (!own || req.get_header_value("Sec-Fetch-Site") == "cross-site") {
                SendError(res, 403, "a change from another site (Origin '" + origin + "') is refused");
                return R::Handled;
            }
        }
        return R::Unhandled;
    }

    // Runs `handler` with the unit of the path's first group, turning failures into JSON errors.
    template <typename F>
    httplib::Server::Handler OnUnit(F handler) {
        return [this, handler](const httplib::Request& req, httplib::Response& res) {
            try {
                handler(Unit(req.matches[1]), req, res);
            } catch (const ApiError& e) {
                SendError(res, e.status(), e.what(), e.reason());
            }
        };
    }

    void Routes() {
        http.Get("/api/v1/units", [this](const httplib::Request&, httplib::Response& res) {
            Json units = Json::array();
            for (auto& w : workers) units.push_back(w->UnitJson());
            SendJson(res, units);
        });
        const std::string unit = "/api/v1/units/([^/]+)";
        http.Get(unit + "/channels", OnUnit([](UnitWorker& w, const httplib::Request&, httplib::Response& res) {
                     SendJson(res, w.Call([&](Session& s) { return w.ReadChannels(s); }));
                 }));
        http.Put(unit + "/channels/([^/]+)/attenuation",
                 OnUnit([](UnitWorker& w, const httplib::Request& req, httplib::Response& res) {
                     const Json body = BodyObject(req);
                     const bool code = body.contains("code");
                     if (code == body.contains("db")) throw ApiError(400, "give either \"db\" or \"code\"");
                     const double value = NumberField(body, code ? "code" : "db");
                     Checked([&] { RequireVoaValue(value, code); });
                     const std::string ch = req.matches[2];
                     SendJson(res, w.Call([&](Session& s) {
                         const int c = RequireChannel(s, ch);
                         if (code) {
                             s.CheckInstance(zel_SetVOACode(s.Instance(), static_cast<std::uint16_t>(c),
                                                            static_cast<std::uint16_t>(value)) != 0,
                                             "cannot set VOA code " + Number(value) + " on channel " + ch);
                             return Json{{"channel", c}, {"code", static_cast<unsigned>(value)}};
                         }
                         SetAttenuationDb(s, c, value);
                         return Json{{"channel", c}, {"attenuation_db", value}};
                     }));
                 }));
        http.Put(unit + "/channels/([^/]+)/switch",
                 OnUnit([](UnitWorker& w, const httplib::Request& req, httplib::Response& res) {
                     const unsigned position = WholeField(BodyObject(req), "position", 0, 65535);
                     const std::string ch = req.matches[2];
                     SendJson(res, w.Call([&](Session& s) {
                         const int c = RequireChannel(s, ch);
                         SetSwitch(s, "2x2", c, position);
                         return Json{{"channel", c}, {"switch_2x2", position}};
                     }));
                 }));
        http.Put(unit + "/(mems|lbmm)", OnUnit([](UnitWorker& w, const httplib::Request& req, httplib::Response& res) {
                     const unsigned position = WholeField(BodyObject(req), "position", 0, 65535);
                     const std::string kind = req.matches[2];
                     SendJson(res, w.Call([&](Session& s) {
                         SetSwitch(s, kind, 0, position);
                         return Json{{kind, position}};
                     }));
                 }));
        http.Put(unit + "/wavelength", OnUnit([](UnitWorker& w, const httplib::Request& req, httplib::Response& res) {
                     const unsigned nm = WholeField(BodyObject(req), "nm", 1, 65535);
                     SendJson(res, w.Call([&](Session& s) {
                         s.UseWavelength(static_cast<std::uint16_t>(nm));
                         w.ForgetCalibration();
                         w.Note("wavelength_nm", nm);
                         return Json{{"wavelength_nm", nm}};
                     }));
                 }));
        http.Post(unit + "/sweep", OnUnit([this](UnitWorker& w, const httplib::Request& req, httplib::Response& res) {
                      const Json body = BodyObject(req);
                      const std::string ch = body.contains("channel") && body["channel"].is_number_integer()
                                                 ? std::to_string(body["channel"].get<long long>())
                                                 : "";
                      if (ch.empty()) throw ApiError(400, "\"channel\" must be a whole number");
                      const double from = body.contains("from") ? NumberField(body, "from") : 0.0;
                      const double to = body.contains("to") ? NumberField(body, "to") : 30.0;
                      const double step = body.contains("step") ? NumberField(body, "step") : 1.0;
                      const unsigned dwell = body.contains("dwell_ms") ? WholeField(body, "dwell_ms", 0, 60000) : 0;
                      const std::vector<double> steps = Checked([&] { return SweepSteps(from, to, step); });
                      const std::string name = w.target().name;
                      SendJson(res, w.Call([&](Session& s) {
                          const int c = RequireChannel(s, ch);
                          std::size_t index = 0;
                          const SweepPlot plot = Sweep(s, c, steps, dwell, std::nullopt, [&](const SweepPoint& p) {
                              feed.Publish("sweep", {{"unit", name},
                                                     {"channel", c},
                                                     {"index", index++},
                                                     {"total", steps.size()},
                                                     {"set_db", p.set_db},
                                                     {"read_db", p.read_db},
                                                     {"power_uw", p.power_uw},
                                                     {"power_dbm", PowerDbmJson(p.power_uw)}});
                          });
                          {
                              const std::lock_guard<std::mutex> lock(sweeps_mutex);
                              last_sweeps[name] = plot;  // an incomplete one too: its points download
                          }
                          if (plot.stopped)
                              throw Failure(plot.stopped->exit_code, "voa sweep " + StoppedText(*plot.stopped));
                          return SweepJson(plot);
                      }));
                  }));
        // The last sweep again, as `voa sweep --csv`, `--plot` or `--json` writes it.
        http.Get(unit + "/sweep", OnUnit([this](UnitWorker& w, const httplib::Request& req, httplib::Response& res) {
                     const std::string format = req.has_param("format") ? req.get_param_value("format") : "json";
                     if (format != "csv" && format != "svg" && format != "json")
                         throw ApiError(400, "format=" + format + ": a sweep downloads as csv, svg or json");
                     SweepPlot plot;
                     {
                         const std::lock_guard<std::mutex> lock(sweeps_mutex);
                         const auto it = last_sweeps.find(w.target().name);
                         if (it == last_sweeps.end()) throw ApiError(404, "no sweep yet on " + w.target().name);
                         plot = it->second;
                     }
                     if (format == "csv") {
                         res.set_content(SweepCsv(plot), "text/csv; charset=utf-8");
                     } else if (format == "svg") {
                         res.set_content(SweepSvg(plot), "image/svg+xml");
                     } else {
                         SendJson(res, SweepJson(plot));
                     }
                 }));
        http.Get(unit + "/calibration", OnUnit([](UnitWorker& w, const httplib::Request&, httplib::Response& res) {
                     const std::string text =
                         w.Call([&](Session& s) { return calib::BackupText(store::ReadUnit(s.Instance())); });
                     res.set_content(text, "application/json");
                 }));
        http.Post(unit + "/calibration/diff",
                  OnUnit([](UnitWorker& w, const httplib::Request& req, httplib::Response& res) {
                      const calib::Calibration want = BackupOf(req);
                      const bool force = req.get_param_value("force") == "true";
                      SendJson(res, w.Call([&](Session& s) {
                          RequireBackupFits(s, "the backup", want, force);
                          Json records = Json::array();
                          std::size_t bytes = 0;
                          for (const auto& change : store::Diff(s.Instance(), want)) {
                              records.push_back({{"record", change.record},
                                                 {"address", change.address},
                                                 {"from", calib::Hex(change.from)},
                                                 {"to", calib::Hex(change.to)},
                                                 {"bytes_to_write", change.bytes_to_write}});
                              bytes += change.bytes_to_write;
                          }
                          return Json{{"bytes_to_write", bytes}, {"records", records}};
                      }));
                  }));
        http.Post(unit + "/calibration/restore",
                  OnUnit([](UnitWorker& w, const httplib::Request& req, httplib::Response& res) {
                      const calib::Calibration want = BackupOf(req);
                      const bool force = req.get_param_value("force") == "true";
                      SendJson(res, w.Call([&](Session& s) {
                          RequireBackupFits(s, "the backup", want, force);
                          const store::RestoreOutcome done = store::Restore(s.Instance(), want);
                          // The dB and power functions take the restored calibration from here on.
                          s.Reconnect();
                          w.ForgetCalibration();
                          w.Note("wavelength_nm", s.WavelengthInUse());
                          if (!done.mismatches.empty()) {
                              throw ApiError(502, "the restore read back " + std::to_string(done.mismatches.size()) +
                                                      " record(s) other than written: " + done.mismatches.front());
                          }
                          return Json{{"records", done.records},
                                      {"bytes_written", done.bytes_written},
                                      {"slots_added", done.slots_added},
                                      {"verified", true}};
                      }));
                  }));
        http.Get(unit + "/frames", OnUnit([](UnitWorker& w, const httplib::Request& req, httplib::Response& res) {
                     std::uint64_t after = 0;
                     const std::string text = req.get_param_value("after");
                     if (!text.empty()) {
                         if (!std::all_of(text.begin(), text.end(), ::isdigit) || text.size() > 18)
                             throw ApiError(400, "after=" + text + ": a frame number is a whole number");
                         after = std::stoull(text);
                     }
                     SendJson(res, w.Frames(after));
                 }));
        http.Get("/api/v1/events", [this](const httplib::Request&, httplib::Response& res) { Events(res); });
        http.Get(".*", [](const httplib::Request& req, httplib::Response& res) {
            const ConsoleAsset* asset = req.path.compare(0, 5, "/api/") == 0 ? nullptr : FindConsoleAsset(req.path);
            if (asset == nullptr) return SendError(res, 404, "nothing at " + req.path);
            res.set_header("Cache-Control", "no-cache");
            res.set_content(std::string(asset->body), std::string(asset->mime).c_str());
        });
        // Errors of the server itself (no route, a body too large) in the API's form.
        http.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request& req,
                                                                       httplib::Response& res) {
            if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
            if (res.status == 413) {
                SendError(res, 413, "the request body is larger than " + std::to_string(kMaxRequestBody) + " bytes");
            } else {
                SendError(res, res.status, "no " + req.method + " " + req.path);
            }
            return httplib::Server::HandlerResponse::Handled;
        }));
    }

    // The live feed: every unit's connection state first, then the events as they come.
    void Events(httplib::Response& res) {
        auto watcher = feed.Join();
        std::string first;
        for (auto& w : workers) {
            first += "event: unit\ndata: " + w->UnitJson().dump() + "\n\n";
            w->Watch(1);
        }
        res.set_header("Cache-Control", "no-cache");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, watcher, first](std::size_t, httplib::DataSink& sink) mutable {
                if (!first.empty()) {
                    std::string text = std::move(first);
                    first.clear();
                    return sink.write(text.data(), text.size());
                }
                std::string text = feed.Take(watcher, std::chrono::milliseconds(1000));
                if (feed.Stopping()) return false;
                if (text.empty()) text = ": waiting\n\n";  // a comment: finds a watcher gone
                return sink.write(text.data(), text.size());
            },
            [this, watcher](bool) {
                feed.Leave(watcher);
                for (auto& w : workers) w->Watch(-1);
            });
    }
};

ConsoleServer::ConsoleServer(ConsoleOptions options, const std::vector<UnitTarget>& units)
    : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    for (const auto& u : units) {
        impl_->workers.push_back(std::make_unique<UnitWorker>(
            u, impl_->options.worker,
            [this](const char* event, const Json& data) { impl_->feed.Publish(event, data); }));
    }
    auto& http = impl_->http;
    // Each live feed holds a thread for as long as its page is open.
    http.new_task_queue = [] { return new httplib::ThreadPool(32); };
    http.set_payload_max_length(kMaxRequestBody);
    http.set_tcp_nodelay(true);
    http.set_pre_routing_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return impl_->Guard(req, res); });
    impl_->Routes();
}

ConsoleServer::~ConsoleServer() {
    Stop();
    impl_->workers.clear();
}

int ConsoleServer::Bind() {
    const auto& o = impl_->options;
    if (o.port == 0) {
        impl_->port = impl_->http.bind_to_any_port(o.host);
        if (impl_->port <= 0) throw Failure(kExitUsage, "cannot listen on " + o.host);
    } else {
        if (!impl_->http.bind_to_port(o.host, o.port))
            throw Failure(kExitUsage, "cannot listen on " + o.host + ":" + std::to_string(o.port));
        impl_->port = o.port;
    }
    return impl_->port;
}

void ConsoleServer::Serve() { impl_->http.listen_after_bind(); }

void ConsoleServer::Stop() {
    impl_->feed.Stop();
    impl_->http.stop();
}

std::string ConsoleServer::Url() const {
    const auto& o = impl_->options;
    const std::string host = o.host.find(':') != std::string::npos ? "[" + o.host + "]" : o.host;
    return "http://" + host + ":" + std::to_string(impl_->port) + "/" + (o.token.empty() ? "" : "?token=" + o.token);
}

}  // namespace zelctl
