// The VOA calibration: attenuation -> drive code (the bisection) and the polynomial itself, on the
// factory calibration of a cubic board (type 6) and of the quartic board (type 4). The codes found
// are checked on the simulator's own curve evaluation.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "instrument/voa_bisection.h"
#include "instrument/zel_api_class.h"
#include "measure.h"
#include "zelsim/factory.h"

namespace {

constexpr int kQuarticBoard = 4;
constexpr unsigned kSelect = 3;

zelsim::ChannelCalibration Calibration(int board_type) {
    zelsim::UnitConfig cfg;
    cfg.board_type = board_type;
    return zelsim::FactoryCalibration(cfg, 0, kSelect);
}

void BM_VoaBisection(benchmark::State& state) {
    const int board = static_cast<int>(state.range(0));
    const zelsim::ChannelCalibration cal = Calibration(board);
    const double* c = cal.voa;
    ZEL_API inst;
    inst.AdoptBoardType(board);
    std::vector<double> targets;
    for (int db = 1; db <= 30; ++db) targets.push_back(db - 0.25 * (db % 4));
    const auto codes = zelbench::CallInTurn(
        state, targets, [&](double db) { return inst.InvertVOACalibration(c[0], c[1], c[2], c[3], db); });
    for (std::size_t k = 0; k < codes.size(); ++k) {
        if (codes[k] == zel::voa::kNoCode || codes[k] > 0x0FFF)
            return state.SkipWithError("no drive code found for an attenuation within 0..30 dB");
        const double db = zelsim::EvalVoaCurve(cal.voa, board == kQuarticBoard, codes[k]);
        if (!(std::fabs(db - targets[k]) < zel::voa::kTolerance))
            return state.SkipWithError("the drive code found misses the attenuation by 0.01 dB or more");
    }
}
BENCHMARK(BM_VoaBisection)->ArgName("board")->Arg(6)->Arg(kQuarticBoard);

void BM_VoaPolynomial(benchmark::State& state) {
    const int board = static_cast<int>(state.range(0));
    const zelsim::ChannelCalibration cal = Calibration(board);
    ZEL_API inst;
    inst.AdoptBoardType(board);
    std::vector<double> codes(4096);
    for (std::size_t k = 0; k < codes.size(); ++k) codes[k] = static_cast<double>(k);
    const auto out = zelbench::CallInTurn(state, codes, [&](double code) { return inst.Attenuation(cal.voa, code); });
    for (std::size_t k = 0; k < out.size(); ++k) {
        const double want = zelsim::EvalVoaCurve(cal.voa, board == kQuarticBoard, static_cast<double>(k));
        if (!(std::fabs(out[k] - want) <= 1e-9 * (1.0 + std::fabs(want))))
            return state.SkipWithError("attenuation differs from the unit's curve");
    }
}
BENCHMARK(BM_VoaPolynomial)->ArgName("board")->Arg(6)->Arg(kQuarticBoard);

}  // namespace
