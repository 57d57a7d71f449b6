// A station: the calibration backup of 32 units of one process in one zelctl run, against one unit's
// backup in the same run (counter `ratio`, target at most 2 on two cores: the units wait on their
// links, not on the processor). Every run's files are checked: one per unit, named by its serial
// number, holding that serial.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "zelsim/sim.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kUnits = 32;

// Runs zelctl with `args`, its output thrown away; the wall time in seconds, or -1 when it failed.
double RunZelctl(const std::string& args) {
    const std::string command = std::string("\"") + ZELCTL_EXE + "\" " + args + " >/dev/null 2>&1";
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return status == 0 ? seconds : -1;
}

// The serial number a backup file names.
bool HoldsSerial(const fs::path& file, std::uint64_t serial) {
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.find("\"serial\": " + std::to_string(serial)) != std::string::npos;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void BM_StationBackup32Units(benchmark::State& state) {
    std::vector<std::unique_ptr<zelsim::UnitModel>> units;
    std::vector<std::unique_ptr<zelsim::Server>> servers;
    std::string all;
    for (int i = 0; i < kUnits; ++i) {
        zelsim::UnitConfig cfg;
        cfg.serial += static_cast<std::uint64_t>(i);  // each unit its own, as zel-unit-sim gives them
        cfg.extra_wavelengths = {1550, 1490};
        units.push_back(std::make_unique<zelsim::UnitModel>(cfg));
        servers.push_back(zelsim::StartOnFreeLoopback(*units.back()));
        if (!servers.back()) return state.SkipWithError("cannot start the units");
        all += (i == 0 ? "" : ",") + servers.back()->Address();
    }
    const fs::path dir =
        fs::temp_directory_path() / ("zel-station-bench-" + std::to_string(Clock::now().time_since_epoch().count()));
    std::vector<double> one, station;
    bool ok = true;
    for (auto _ : state) {
        fs::remove_all(dir);
        fs::create_directories(dir / "station");
        const double t1 =
            RunZelctl("--unit " + servers[0]->Address() + " calib backup \"" + (dir / "one.json").string() + "\"");
        const double t32 = RunZelctl("--unit " + all + " calib backup \"" + (dir / "station").string() + "\"");
        ok = ok && t1 > 0 && t32 > 0 && HoldsSerial(dir / "one.json", units[0]->Config().serial);
        for (int i = 0; ok && i < kUnits; ++i) {
            const std::uint64_t serial = units[static_cast<std::size_t>(i)]->Config().serial;
            ok = HoldsSerial(dir / "station" / (std::to_string(serial) + ".json"), serial);
        }
        one.push_back(t1);
        station.push_back(t32);
        state.SetIterationTime(t1 + t32);
    }
    fs::remove_all(dir);
    if (!ok) return state.SkipWithError("a backup failed, or a unit's file is missing or names another serial");
    const double ratio = Median(station) / Median(one);
    state.counters["one_unit_ms"] = 1000 * Median(one);
    state.counters["units_32_ms"] = 1000 * Median(station);
    state.counters["ratio"] = ratio;
    if (ratio > 2.0) state.SkipWithError("32 units took more than twice one unit's backup");
}
BENCHMARK(BM_StationBackup32Units)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
