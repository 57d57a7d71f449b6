// Reading a capture of the unit's traffic: classic pcap (either byte order, microsecond or
// nanosecond time stamps) and pcapng (several sections and interfaces, any time resolution), on
// raw IP, Ethernet, BSD loopback and Linux cooked (v1 and v2) links. The TCP byte streams are put
// back together per conversation (out-of-order and retransmitted segments included) and cut into
// what the unit saw: request frames of 128 bytes, each with the bytes the unit answered it with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zel::capture {

inline constexpr std::uint16_t kUnitPort = 6653;

// One request and its reply. Frame numbers count the capture's packets from 1, as Wireshark does:
// a frame's number is that of the packet that completed it.
struct Exchange {
    std::vector<std::uint8_t> request;  // 128 bytes
    std::vector<std::uint8_t> reply;    // what the unit sent after the request, up to the next one
    std::int64_t request_ns = 0;        // time stamps, nanoseconds since 1970
    std::int64_t reply_ns = 0;          // the request's time when there is no reply
    std::uint64_t request_frame = 0;
    std::uint64_t reply_frame = 0;  // 0: no reply
};

// One TCP connection between a host and the unit.
struct Conversation {
    std::string host;
    std::uint16_t host_port = 0;
    std::string unit;
    std::uint16_t unit_port = kUnitPort;
    std::int64_t start_ns = 0;  // time of its first packet
    std::uint64_t first_frame = 0;
    std::vector<Exchange> exchanges;
    std::size_t partial_request = 0;  // request bytes after the last whole frame
    bool missing_bytes = false;       // a segment was not captured: the streams end at the hole
};

struct Capture {
    std::vector<Conversation> conversations;  // in the order of their first packets
    std::vector<std::string> warnings;        // what was read past: fragments, truncated packets, holes
    std::uint64_t packets = 0;

    // The unit addresses, in the order they first appear.
    std::vector<std::string> Units() const;
};

// Reads the capture in `bytes`. False (with `error` set) when it is neither pcap nor pcapng. Packets
// on other links, cut short, fragmented or not TCP to `unit_port` are passed over (the first three
// with a warning).
bool ReadCapture(std::span<const std::uint8_t> bytes, Capture& out, std::string* error,
                 std::uint16_t unit_port = kUnitPort);
// The same from a file; false with `error` also when the file cannot be read.
bool ReadCaptureFile(const std::string& path, Capture& out, std::string* error, std::uint16_t unit_port = kUnitPort);

}  // namespace zel::capture
