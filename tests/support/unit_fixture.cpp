#include "unit_fixture.h"

#include <stdexcept>

#include "transport/frame_codec.h"

namespace zeltest {

void ShortenLinkTimeouts(int milliseconds) { HwLayer::SetDefaultTimeout(milliseconds); }

SimulatedUnit::SimulatedUnit(zelsim::UnitConfig cfg)
    : model_(std::make_unique<zelsim::UnitModel>(std::move(cfg))), server_(zelsim::StartOnFreeLoopback(*model_)) {
    if (!server_) throw std::runtime_error("no free loopback address for the simulated unit");
    ip_ = server_->Address();
}

SimulatedUnit::~SimulatedUnit() {
    if (server_) server_->Stop();
}

std::string UnusedLoopbackAddress() { return zelsim::RandomLoopbackAddress(); }

bool IsRegisterFrame(const zelsim::Frame& f) { return f[0] == zel::frame::kRegisterFrame; }
bool IsWrite(const zelsim::Frame& f) { return (f[5] & 0x80) != 0; }
unsigned SelectOf(const zelsim::Frame& f) { return (zel::codec::GetLE16(&f[4]) >> 11) & 0xF; }
unsigned AddressOf(const zelsim::Frame& f) { return zel::codec::GetLE16(&f[4]) & 0x7FF; }
std::uint16_t ValueOf(const zelsim::Frame& f) { return zel::codec::GetLE16(&f[6]); }

std::vector<EepromAccess> EepromAccesses(const std::vector<zelsim::Frame>& frames) {
    std::vector<EepromAccess> out;
    for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
        const auto& a = frames[i];
        const auto& d = frames[i + 1];
        if (IsRegisterFrame(a) && IsWrite(a) && AddressOf(a) == 10 && IsRegisterFrame(d) && AddressOf(d) == 11 &&
            SelectOf(d) == SelectOf(a)) {
            out.push_back({SelectOf(a), ValueOf(a), IsWrite(d), IsWrite(d) ? ValueOf(d) : std::uint16_t{0}});
            ++i;
        }
    }
    return out;
}

UnitTest::UnitTest(zelsim::UnitConfig cfg) {
    ShortenLinkTimeouts();
    unit = std::make_unique<SimulatedUnit>(std::move(cfg));
}

void UnitTest::SetUp() {}

void UnitTest::ConnectInstrument() {
    ASSERT_EQ(inst.Connect(unit->ip()), 1) << zel_error(inst.LastError());
    unit->clear_frames();
}

}  // namespace zeltest
