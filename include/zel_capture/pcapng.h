// The writing side of the capture format: pcapng blocks (section header, interface description,
// enhanced packet) and the IPv4/TCP segments that carry a unit's frames inside them.
//
// Pure: bytes in, bytes out, no clock and no file. A capture holds one section and one interface
// of link type LINKTYPE_RAW (101: each packet is an IPv4 datagram, no Ethernet header) with
// microsecond time stamps (if_tsresol 6). Each link to a unit is one TCP conversation between the
// host's address and port and the unit's address on port 6653, opened with SYN / SYN-ACK / ACK and
// closed with a FIN each way, its sequence and acknowledgement numbers following the bytes sent,
// so that a reader reassembles each direction's byte stream exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zel::capture {

using Bytes = std::vector<std::uint8_t>;

namespace pcapng {

inline constexpr std::uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
inline constexpr std::uint32_t kInterfaceDescriptionBlock = 0x00000001;
inline constexpr std::uint32_t kEnhancedPacketBlock = 0x00000006;
inline constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
inline constexpr std::uint16_t kLinkTypeRaw = 101;  // LINKTYPE_RAW: an IPv4 or IPv6 datagram
inline constexpr std::uint16_t kOptionEnd = 0;
inline constexpr std::uint16_t kOptionTsResol = 9;   // if_tsresol
inline constexpr std::uint8_t kMicroseconds = 6;     // if_tsresol value: 10^-6 s
inline constexpr std::uint32_t kSnapLength = 65535;  // no packet is cut

// Each appends one whole block to `out`, in the writing machine's byte order as pcapng allows
// (the section header's byte-order magic tells readers which). Block bodies are padded with zeros
// to a multiple of 4 bytes; the total length stands at both ends of the block.
void AppendSectionHeader(Bytes& out);
void AppendInterfaceDescription(Bytes& out, std::uint16_t link_type = kLinkTypeRaw,
                                std::uint32_t snap_length = kSnapLength);
void AppendEnhancedPacket(Bytes& out, std::uint32_t interface_id, std::uint64_t timestamp_us,
                          const std::uint8_t* packet, std::size_t length);

}  // namespace pcapng

// One side of a conversation: IPv4 address and port, both in host byte order (127.0.0.1 is
// 0x7F000001). The unit's side is on port 6653 (kUnitPort, capture_read.h).
struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

// The Internet checksum (ones' complement of the ones' complement sum of 16-bit big-endian words,
// an odd last byte padded with zero), starting from a partial sum `initial` (a pseudo-header's).
std::uint16_t InternetChecksum(const std::uint8_t* data, std::size_t length, std::uint32_t initial = 0);

// TCP header flags.
inline constexpr std::uint8_t kTcpFin = 0x01;
inline constexpr std::uint8_t kTcpSyn = 0x02;
inline constexpr std::uint8_t kTcpPsh = 0x08;
inline constexpr std::uint8_t kTcpAck = 0x10;

inline constexpr std::size_t kIPv4HeaderSize = 20;
inline constexpr std::size_t kTcpHeaderSize = 20;
// The most payload one datagram carries (its total length is a 16-bit field).
inline constexpr std::size_t kMaxSegmentPayload = 65535 - kIPv4HeaderSize - kTcpHeaderSize;

struct Segment {
    Endpoint from, to;
    std::uint32_t seq = 0, ack = 0;
    std::uint8_t flags = 0;
    std::uint16_t ip_id = 0;
    std::uint16_t window = 65535;
    const std::uint8_t* payload = nullptr;
    std::size_t length = 0;  // at most kMaxSegmentPayload
};

// The IPv4 datagram (header without options, DF set, TTL 64) holding the TCP segment (header
// without options), both checksums filled in.
Bytes EncodeSegment(const Segment& segment);

// The TCP state of one link: who is who, the next sequence number of each direction and each
// direction's IPv4 identification. Every call returns the datagrams to write, in order.
class TcpConversation {
public:
    // `host_isn` and `unit_isn`: the initial sequence numbers of each direction.
    TcpConversation(Endpoint host, Endpoint unit, std::uint32_t host_isn, std::uint32_t unit_isn);

    // SYN from the host, SYN-ACK from the unit, ACK from the host.
    std::vector<Bytes> Open();
    // Bytes the host sent (`from_host`) or the unit did, as segments of at most
    // kMaxSegmentPayload, each acknowledging everything the other side sent so far.
    std::vector<Bytes> Data(bool from_host, const std::uint8_t* bytes, std::size_t length);
    // FIN-ACK from the host, FIN-ACK from the unit, ACK from the host.
    std::vector<Bytes> Close();

    const Endpoint& Host() const { return host_; }
    const Endpoint& Unit() const { return unit_; }
    // The sequence number the next byte from that side carries.
    std::uint32_t NextSeq(bool from_host) const { return from_host ? host_next_ : unit_next_; }

private:
    Bytes Make(bool from_host, std::uint8_t flags, const std::uint8_t* payload, std::size_t length);

    Endpoint host_, unit_;
    std::uint32_t host_next_, unit_next_;
    std::uint16_t host_ip_id_ = 0, unit_ip_id_ = 0;
};

}  // namespace zel::capture
