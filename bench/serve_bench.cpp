// The console (zelctl serve, run as a process of its own): a PUT .../attenuation through the API against
// the library's own zel_SetVOAAttenuation on the same unit, timed in rounds of both (counters
// `direct_us`, `api_us`, `extra_us`: the medians and their difference; target at most 1 ms more, else
// the benchmark fails); and the live feed of 8 simulated units (counter `rounds_per_s`: readings per
// unit and second over the feed, at least the 2 a second the page needs, else it fails). Each setting is
// checked on the unit: the channel reads back the attenuation asked for.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "measure.h"
#include "zel_api.h"
#include "zelsim/sim.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kConsolePort = 8653;
constexpr const char* kToken = "bench";

// zelctl serve in the background on an address of its own, stopped (Ctrl-C, by its PID) at the end.
class Console {
public:
    explicit Console(const std::string& args) : host_(zelsim::RandomLoopbackAddress()) {
        const std::string pid_file = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                                     "/zel-serve-bench-" + std::to_string(Clock::now().time_since_epoch().count());
        const std::string command = std::string("\"") + ZELCTL_EXE + "\" serve " + args + " --listen " + host_ + ":" +
                                    std::to_string(kConsolePort) + " --token " + kToken +
                                    " >/dev/null 2>&1 & echo $! > " + pid_file;
        if (std::system(command.c_str()) != 0) return;
        std::ifstream in(pid_file);
        in >> pid_;
        std::remove(pid_file.c_str());
        for (int i = 0; i < 400 && !ready_; ++i) {
            auto r = Client().Get("/api/v1/units");
            ready_ = r && r->status == 200 && r->body.find("\"connected\":false") == std::string::npos;
            if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
    ~Console() {
        if (pid_ <= 0) return;
        std::system(("kill -INT " + std::to_string(pid_)).c_str());
        for (int i = 0; i < 100; ++i) {
            if (std::system(("kill -0 " + std::to_string(pid_) + " 2>/dev/null").c_str()) != 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::system(("kill -KILL " + std::to_string(pid_)).c_str());
    }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;
    bool ready() const { return ready_; }
    httplib::Client Client() const {
        httplib::Client c(host_, kConsolePort);
        c.set_bearer_token_auth(kToken);
        c.set_keep_alive(true);
        c.set_tcp_nodelay(true);
        c.set_read_timeout(10, 0);
        return c;
    }

private:
    std::string host_;
    long pid_ = 0;
    bool ready_ = false;
};

double ReadDb(zel_instance* unit, std::uint16_t channel) {
    double db = -1;
    zel_ReadVOAAttenuation(unit, channel, &db);
    return db;
}

void BM_ServeAttenuationRoundTrip(benchmark::State& state) {
    zelsim::UnitModel model{zelsim::UnitConfig{}};
    auto sim = zelsim::StartOnFreeLoopback(model);
    if (!sim) return state.SkipWithError("cannot start the unit");
    zel_instance* direct = zel_createInstance();
    const bool connected = zel_QuickConnect(direct, sim->Address().c_str()) != 0;
    Console console("--unit " + sim->Address());
    if (!connected || !console.ready()) {
        zel_destroyInstance(direct);
        return state.SkipWithError("cannot connect to the unit or start the console");
    }
    httplib::Client api = console.Client();
    const std::string path = "/api/v1/units/" + sim->Address() + "/channels/";
    std::vector<double> direct_us, api_us;
    bool ok = true;
    int k = 0;
    for (auto _ : state) {
        const double db = 1 + (k++ % 25);
        const auto ch_direct = static_cast<std::uint16_t>(k % 4), ch_api = static_cast<std::uint16_t>(4 + k % 4);
        const auto t0 = Clock::now();
        ok = ok && zel_SetVOAAttenuation(direct, ch_direct, db) != 0;
        const auto t1 = Clock::now();
        auto r = api.Put(path + std::to_string(ch_api) + "/attenuation", "{\"db\": " + std::to_string(db) + "}",
                         "application/json");
        const auto t2 = Clock::now();
        ok = ok && r && r->status == 200;
        direct_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        api_us.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
        state.SetIterationTime(std::chrono::duration<double>(t2 - t1).count());
        // The API's setting is on the unit: its channel reads back the attenuation asked for.
        if (ok && (k % 16) == 0) ok = std::fabs(ReadDb(direct, ch_api) - db) < 0.01;
    }
    zel_destroyInstance(direct);
    if (!ok) return state.SkipWithError("a setting failed or did not reach the unit");
    const double d = zelbench::Median(direct_us), a = zelbench::Median(api_us);
    state.counters["direct_us"] = d;
    state.counters["api_us"] = a;
    state.counters["extra_us"] = a - d;
    if (a - d > 1000) state.SkipWithError("the API's round trip takes more than 1 ms over the library call");
}
BENCHMARK(BM_ServeAttenuationRoundTrip)->UseManualTime()->Unit(benchmark::kMicrosecond)->MinTime(0.5);

void BM_ServeLiveFeed8Units(benchmark::State& state) {
    constexpr int kUnits = 8;
    Console console("--demo --demo-units " + std::to_string(kUnits));
    if (!console.ready()) return state.SkipWithError("cannot start the console");
    double rate = 0;
    for (auto _ : state) {
        httplib::Client feed = console.Client();
        std::string events;
        const auto start = Clock::now();
        feed.Get("/api/v1/events", [&](const char* data, std::size_t n) {
            events.append(data, n);
            return Clock::now() - start < std::chrono::seconds(3);
        });
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::size_t readings = 0;
        for (auto at = events.find("event: readings"); at != std::string::npos;
             at = events.find("event: readings", at + 1))
            ++readings;
        rate = static_cast<double>(readings) / kUnits / seconds;
        state.SetIterationTime(seconds);
    }
    state.counters["rounds_per_s"] = rate;
    if (rate < 2) state.SkipWithError("the live feed gives each of 8 units fewer than 2 rounds of readings a second");
}
BENCHMARK(BM_ServeLiveFeed8Units)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
