#include "support.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>

#include "support/host.h"

namespace simtest {

RawFrame RegisterRead(unsigned select, unsigned address) {
    RawFrame f{};
    const unsigned cw = ((select & 0xF) << 11) | (address & 0x7FF);
    f[0] = 0xF0;
    f[4] = static_cast<std::uint8_t>(cw);
    f[5] = static_cast<std::uint8_t>(cw >> 8);
    return f;
}

RawFrame RegisterWrite(unsigned select, unsigned address, std::uint16_t value) {
    RawFrame f = RegisterRead(select, address);
    f[5] |= 0x80;
    f[6] = static_cast<std::uint8_t>(value);
    f[7] = static_cast<std::uint8_t>(value >> 8);
    return f;
}

RawFrame BlockRead(std::uint32_t address, std::uint8_t bank) {
    RawFrame f{};
    f[0] = 0xF1;
    f[1] = 0x00;
    f[2] = 0x01;
    f[3] = 0x80;
    f[4] = bank;
    for (int i = 0; i < 4; ++i) f[5 + i] = static_cast<std::uint8_t>(address >> (8 * i));
    return f;
}

RawFrame PageRead(std::uint8_t page, std::uint8_t bank) {
    RawFrame f{};
    f[0] = 0xF1;
    f[1] = 0x02;
    f[2] = bank;
    f[3] = page;
    return f;
}

RawFrame BlockWrite(std::uint32_t address, const Bytes& payload, std::uint8_t bank) {
    RawFrame f = BlockRead(address, bank);
    f[2] = 0x00;
    for (std::size_t i = 0; i < payload.size() && 9 + i < f.size(); ++i) f[9 + i] = payload[i];
    return f;
}

Bytes Ask(zelsim::UnitModel& unit, const RawFrame& frame) {
    std::uint8_t raw[128];
    std::memcpy(raw, frame.data(), sizeof raw);
    Bytes reply;
    unit.Handle(raw, reply);
    return reply;
}

std::uint16_t Value(const Bytes& reply) {
    return reply.size() < 3 ? 0xDEAD : static_cast<std::uint16_t>(reply[1] | reply[2] << 8);
}

std::uint64_t Le64(const Bytes& image, std::uint32_t address) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v * 256 + image.at(address + static_cast<std::uint32_t>(i));
    return v;
}

double Scaled(const Bytes& image, std::uint32_t address) { return static_cast<double>(Le64(image, address)) / 1e12; }

double Raw(const Bytes& image, std::uint32_t address) {
    const std::uint64_t bits = Le64(image, address);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

std::unique_ptr<zelsim::Server> StartOnLoopback(zelsim::UnitModel& unit) { return zelsim::StartOnFreeLoopback(unit); }

Client::Client(const std::string& address, std::uint16_t port) : socket_(zeltest::host::Connect(address, port)) {}

Client::~Client() { Close(); }

void Client::Close() {
    zeltest::host::Close(socket_);
    socket_ = zeltest::host::kNoSocket;
}

void Client::Abort() {
    zeltest::host::Close(socket_, true);
    socket_ = zeltest::host::kNoSocket;
}

void Client::SetSendTimeout(int ms) { zeltest::host::SetSendTimeout(socket_, ms); }

bool Client::Send(const std::uint8_t* data, std::size_t len) {
    while (len > 0) {
        const long n = zeltest::host::SendSome(socket_, data, len);
        if (n <= 0) return false;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

Bytes Client::Receive(std::size_t n, int timeout_ms) {
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < n) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !zeltest::host::WaitReadable(socket_, static_cast<int>(left.count()))) break;
        std::uint8_t buf[4096];
        const long got = zeltest::host::ReceiveSome(socket_, buf, std::min(sizeof buf, n - out.size()));
        if (got <= 0) break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

Bytes Client::Drain(int ms) {
    Bytes out;
    while (zeltest::host::WaitReadable(socket_, ms)) {
        std::uint8_t buf[4096];
        const long got = zeltest::host::ReceiveSome(socket_, buf, sizeof buf);
        if (got <= 0) break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

bool Client::PeerClosed(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !zeltest::host::WaitReadable(socket_, static_cast<int>(left.count()))) return false;
        std::uint8_t buf[256];
        if (zeltest::host::ReceiveSome(socket_, buf, sizeof buf) <= 0) return true;
    }
}

std::string TempDir() { return zeltest::host::FreshDirectory("zelsim-test-"); }

}  // namespace simtest
