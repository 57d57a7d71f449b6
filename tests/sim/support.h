// Helpers of the simulator tests: loopback addresses, a raw TCP client, frame
// builders and an EEPROM decoder written independently of the simulator's encoders.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/host.h"
#include "zelsim/sim.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;
using RawFrame = std::array<std::uint8_t, 128>;

RawFrame RegisterRead(unsigned select, unsigned address);
RawFrame RegisterWrite(unsigned select, unsigned address, std::uint16_t value);
RawFrame BlockRead(std::uint32_t address, std::uint8_t bank = 0);
RawFrame BlockWrite(std::uint32_t address, const Bytes& payload, std::uint8_t bank = 0);
RawFrame PageRead(std::uint8_t page, std::uint8_t bank = 0);  // 1024-byte reply

// Reply of the model to one frame.
Bytes Ask(zelsim::UnitModel& unit, const RawFrame& frame);
std::uint16_t Value(const Bytes& reply);  // bytes 1 (low) and 2 (high)

// Independent decoders of the EEPROM encodings.
std::uint64_t Le64(const Bytes& image, std::uint32_t address);
double Scaled(const Bytes& image, std::uint32_t address);  // unsigned integer / 1e12
double Raw(const Bytes& image, std::uint32_t address);

// A server of `unit` started on a random 127.a.b.c address (port 6653), retried on bind failure.
std::unique_ptr<zelsim::Server> StartOnLoopback(zelsim::UnitModel& unit);

// Blocking TCP client with a receive time-out.
class Client {
public:
    explicit Client(const std::string& address, std::uint16_t port = zelsim::kUnitPort);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    bool connected() const { return socket_ != zeltest::host::kNoSocket; }
    bool Send(const std::uint8_t* data, std::size_t len);
    bool Send(const RawFrame& f) { return Send(f.data(), f.size()); }
    void SetSendTimeout(int ms);  // a Send blocked this long fails
    // Exactly n bytes, or fewer when the peer closed or `timeout_ms` passed.
    Bytes Receive(std::size_t n, int timeout_ms = 2000);
    // Bytes that arrive within `ms` (not waiting for more once the peer is quiet that long).
    Bytes Drain(int ms);
    // Request and reply: the 128-byte reply of a register/block frame.
    Bytes Exchange(const RawFrame& f, std::size_t reply_len = 128) { return Send(f) ? Receive(reply_len) : Bytes{}; }
    bool PeerClosed(int timeout_ms = 2000);  // EOF (or reset) within the time-out
    void Close();
    void Abort();  // close with a reset instead of an orderly shutdown

private:
    zeltest::host::Socket socket_;
};

std::string TempDir();  // a fresh directory for temporary files

}  // namespace simtest
