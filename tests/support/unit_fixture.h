// Test support: an in-process simulated unit on a loopback address of its own, so that test
// processes can run in parallel, plus helpers to look at the frames the unit received.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "instrument/zel_api_class.h"
#include "zelsim/sim.h"

namespace zeltest {

// Shortens the time-out of every link that sets none of its own (100 s otherwise).
void ShortenLinkTimeouts(int milliseconds = 2000);

class SimulatedUnit {
public:
    explicit SimulatedUnit(zelsim::UnitConfig cfg = {});
    ~SimulatedUnit();
    const std::string& ip() const { return ip_; }
    zelsim::UnitModel& model() { return *model_; }
    zelsim::Server& server() { return *server_; }
    std::vector<zelsim::Frame> frames() const { return server_->FrameLog(); }
    void clear_frames() { server_->ClearFrameLog(); }

private:
    std::unique_ptr<zelsim::UnitModel> model_;
    std::unique_ptr<zelsim::Server> server_;
    std::string ip_;
};

// A loopback address that nothing listens on (a fresh random 127.a.b.c).
std::string UnusedLoopbackAddress();

// A listener on ip:6653 (dropping_listener_posix.cpp, dropping_listener_win32.cpp) with an accept queue of one that is
// filled and never accepted from: the system then drops every further connection attempt without answering, so a
// connect to it hangs until the connecting side gives up. Bind to an address that is free (a stopped unit's).
class DroppingListener {
public:
    explicit DroppingListener(const std::string& ip);
    ~DroppingListener();
    DroppingListener(const DroppingListener&) = delete;
    DroppingListener& operator=(const DroppingListener&) = delete;
    // True once the queue is full and connects are being dropped.
    bool dropping() const { return dropping_; }

private:
    // Sockets of either platform (an int descriptor or a SOCKET handle); kNone when there is none.
    using Handle = std::uintptr_t;
    static constexpr Handle kNone = ~Handle{0};
    Handle listener_ = kNone;
    std::vector<Handle> fillers_;
    bool dropping_ = false;
};

// Frame inspection.
bool IsRegisterFrame(const zelsim::Frame& f);
bool IsWrite(const zelsim::Frame& f);
unsigned SelectOf(const zelsim::Frame& f);
unsigned AddressOf(const zelsim::Frame& f);
std::uint16_t ValueOf(const zelsim::Frame& f);

// One EEPROM byte transfer as the unit saw it: the address written to register 10 and, for a write,
// the word written to register 11.
struct EepromAccess {
    unsigned select;
    std::uint16_t address;
    bool write;
    std::uint16_t value;
};
// Pairs each register-10 write with the register-11 access that follows it.
std::vector<EepromAccess> EepromAccesses(const std::vector<zelsim::Frame>& frames);

// A unit plus an instrument connected to it (board type from the unit's factory image).
class UnitTest : public ::testing::Test {
protected:
    explicit UnitTest(zelsim::UnitConfig cfg = {});
    void SetUp() override;
    // Connects `inst` to the unit and clears the frame log; asserts success.
    void ConnectInstrument();

    std::unique_ptr<SimulatedUnit> unit;
    ZEL_API inst;
};

}  // namespace zeltest
