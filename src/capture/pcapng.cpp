#include "zel_capture/pcapng.h"

#include <algorithm>
#include <cstring>

namespace zel::capture {
namespace {

// Native byte order, as the section header's byte-order magic declares it.
template <class T>
void PutNative(Bytes& out, T value) {
    std::uint8_t raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof raw);
    out.insert(out.end(), raw, raw + sizeof raw);
}

void PadTo4(Bytes& out) {
    while (out.size() % 4 != 0) out.push_back(0);
}

// Starts a block of `type` at the end of `out`; returns where it starts, for FinishBlock.
std::size_t BeginBlock(Bytes& out, std::uint32_t type) {
    const std::size_t start = out.size();
    PutNative(out, type);
    PutNative(out, std::uint32_t{0});  // total length, filled in by FinishBlock
    return start;
}

void FinishBlock(Bytes& out, std::size_t start) {
    PadTo4(out);
    const auto total = static_cast<std::uint32_t>(out.size() - start + 4);
    std::memcpy(out.data() + start + 4, &total, sizeof total);
    PutNative(out, total);
}

void PutBE16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
void PutBE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

constexpr std::uint8_t kProtocolTcp = 6;

}  // namespace

namespace pcapng {

void AppendSectionHeader(Bytes& out) {
    const std::size_t start = BeginBlock(out, kSectionHeaderBlock);
    PutNative(out, kByteOrderMagic);
    PutNative(out, std::uint16_t{1});   // major version
    PutNative(out, std::uint16_t{0});   // minor version
    PutNative(out, ~std::uint64_t{0});  // section length: not given
    FinishBlock(out, start);
}

void AppendInterfaceDescription(Bytes& out, std::uint16_t link_type, std::uint32_t snap_length) {
    const std::size_t start = BeginBlock(out, kInterfaceDescriptionBlock);
    PutNative(out, link_type);
    PutNative(out, std::uint16_t{0});  // reserved
    PutNative(out, snap_length);
    PutNative(out, kOptionTsResol);
    PutNative(out, std::uint16_t{1});
    out.push_back(kMicroseconds);
    PadTo4(out);
    PutNative(out, kOptionEnd);
    PutNative(out, std::uint16_t{0});
    FinishBlock(out, start);
}

void AppendEnhancedPacket(Bytes& out, std::uint32_t interface_id, std::uint64_t timestamp_us,
                          const std::uint8_t* packet, std::size_t length) {
    const std::size_t start = BeginBlock(out, kEnhancedPacketBlock);
    PutNative(out, interface_id);
    PutNative(out, static_cast<std::uint32_t>(timestamp_us >> 32));
    PutNative(out, static_cast<std::uint32_t>(timestamp_us));
    PutNative(out, static_cast<std::uint32_t>(length));  // captured
    PutNative(out, static_cast<std::uint32_t>(length));  // on the wire
    out.insert(out.end(), packet, packet + length);
    FinishBlock(out, start);
}

}  // namespace pcapng

std::uint16_t InternetChecksum(const std::uint8_t* data, std::size_t length, std::uint32_t initial) {
    std::uint64_t sum = initial;
    std::size_t i = 0;
    for (; i + 1 < length; i += 2) sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    if (i < length) sum += static_cast<std::uint32_t>(data[i] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

Bytes EncodeSegment(const Segment& s) {
    const std::size_t tcp_length = kTcpHeaderSize + s.length;
    const std::size_t total = kIPv4HeaderSize + tcp_length;
    Bytes d(total, 0);
    std::uint8_t* ip = d.data();
    ip[0] = 0x45;  // version 4, 5 words of header
    PutBE16(ip + 2, static_cast<std::uint16_t>(total));
    PutBE16(ip + 4, s.ip_id);
    PutBE16(ip + 6, 0x4000);  // don't fragment
    ip[8] = 64;               // time to live
    ip[9] = kProtocolTcp;
    PutBE32(ip + 12, s.from.address);
    PutBE32(ip + 16, s.to.address);
    PutBE16(ip + 10, InternetChecksum(ip, kIPv4HeaderSize));

    std::uint8_t* tcp = ip + kIPv4HeaderSize;
    PutBE16(tcp + 0, s.from.port);
    PutBE16(tcp + 2, s.to.port);
    PutBE32(tcp + 4, s.seq);
    PutBE32(tcp + 8, (s.flags & kTcpAck) != 0 ? s.ack : 0);
    tcp[12] = static_cast<std::uint8_t>((kTcpHeaderSize / 4) << 4);
    tcp[13] = s.flags;
    PutBE16(tcp + 14, s.window);
    if (s.length > 0) std::memcpy(tcp + kTcpHeaderSize, s.payload, s.length);
    // The pseudo-header: both addresses, the protocol and the TCP length.
    std::uint32_t pseudo = (s.from.address >> 16) + (s.from.address & 0xFFFF) + (s.to.address >> 16) +
                           (s.to.address & 0xFFFF) + kProtocolTcp + static_cast<std::uint32_t>(tcp_length);
    PutBE16(tcp + 16, InternetChecksum(tcp, tcp_length, pseudo));
    return d;
}

TcpConversation::TcpConversation(Endpoint host, Endpoint unit, std::uint32_t host_isn, std::uint32_t unit_isn)
    : host_(host), unit_(unit), host_next_(host_isn), unit_next_(unit_isn) {}

Bytes TcpConversation::Make(bool from_host, std::uint8_t flags, const std::uint8_t* payload, std::size_t length) {
    Segment s;
    s.from = from_host ? host_ : unit_;
    s.to = from_host ? unit_ : host_;
    s.seq = from_host ? host_next_ : unit_next_;
    s.ack = from_host ? unit_next_ : host_next_;
    s.flags = flags;
    s.ip_id = from_host ? host_ip_id_++ : unit_ip_id_++;
    s.payload = payload;
    s.length = length;
    // SYN and FIN take one sequence number each, as a byte would.
    const auto used = static_cast<std::uint32_t>(length + ((flags & (kTcpSyn | kTcpFin)) != 0 ? 1 : 0));
    (from_host ? host_next_ : unit_next_) += used;
    return EncodeSegment(s);
}

std::vector<Bytes> TcpConversation::Open() {
    std::vector<Bytes> out;
    out.push_back(Make(true, kTcpSyn, nullptr, 0));
    out.push_back(Make(false, kTcpSyn | kTcpAck, nullptr, 0));
    out.push_back(Make(true, kTcpAck, nullptr, 0));
    return out;
}

std::vector<Bytes> TcpConversation::Data(bool from_host, const std::uint8_t* bytes, std::size_t length) {
    std::vector<Bytes> out;
    for (std::size_t done = 0; done < length;) {
        const std::size_t n = std::min(length - done, kMaxSegmentPayload);
        out.push_back(Make(from_host, kTcpPsh | kTcpAck, bytes + done, n));
        done += n;
    }
    return out;
}

std::vector<Bytes> TcpConversation::Close() {
    std::vector<Bytes> out;
    out.push_back(Make(true, kTcpFin | kTcpAck, nullptr, 0));
    out.push_back(Make(false, kTcpFin | kTcpAck, nullptr, 0));
    out.push_back(Make(true, kTcpAck, nullptr, 0));
    return out;
}

}  // namespace zel::capture
