#include "zel_capture/capture_read.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>

#include "transport/frame_codec.h"
#include "zel_capture/frame_decode.h"

namespace zel::capture {

namespace {

constexpr std::size_t kFrame = zel::frame::kRequestSize;
// A stream offset past this is taken for a sequence number from another connection, not for data.
constexpr std::uint32_t kMaxStream = 1u << 28;

// Link types (the pcap and pcapng link-layer header types).
constexpr std::uint32_t kLinkNull = 0;  // BSD loopback: the address family in the host's byte order
constexpr std::uint32_t kLinkEthernet = 1;
constexpr std::uint32_t kLinkRawBsd = 12;
constexpr std::uint32_t kLinkRaw = 101;
constexpr std::uint32_t kLinkLoop = 108;  // OpenBSD loopback: the family in network byte order
constexpr std::uint32_t kLinkSll = 113;
constexpr std::uint32_t kLinkIPv4 = 228;
constexpr std::uint32_t kLinkSll2 = 276;

constexpr std::uint16_t kEtherIPv4 = 0x0800;
constexpr std::uint16_t kEtherVlan = 0x8100;
constexpr std::uint16_t kEtherQinQ = 0x88A8;

constexpr std::uint8_t kTcpFin = 0x01;
constexpr std::uint8_t kTcpSyn = 0x02;
constexpr std::uint8_t kTcpRst = 0x04;
constexpr std::uint8_t kTcpAck = 0x10;

// Integers of a capture file, in the byte order of its section.
struct Order {
    bool big = false;
    std::uint16_t U16(const std::uint8_t* p) const {
        return big ? static_cast<std::uint16_t>(p[0] << 8 | p[1]) : zel::codec::GetLE16(p);
    }
    std::uint32_t U32(const std::uint8_t* p) const {
        return big ? std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3]
                   : zel::codec::GetLE32(p);
    }
};
constexpr Order kNetwork{true};

struct Packet {
    std::uint64_t number = 0;
    std::int64_t ns = 0;
    std::uint32_t link = 0;
    std::span<const std::uint8_t> data;
    std::uint32_t original_length = 0;
};

std::string Dotted(std::uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) +
           "." + std::to_string(a & 0xFF);
}

// ---- File formats -------------------------------------------------------------------------------

constexpr std::uint32_t kPcapMicro = 0xA1B2C3D4;
constexpr std::uint32_t kPcapNano = 0xA1B23C4D;
constexpr std::uint32_t kPcapngSection = 0x0A0D0D0A;
constexpr std::uint32_t kPcapngByteOrder = 0x1A2B3C4D;
constexpr std::uint32_t kPcapngInterface = 1;
constexpr std::uint32_t kPcapngPacketOld = 2;
constexpr std::uint32_t kPcapngSimple = 3;
constexpr std::uint32_t kPcapngEnhanced = 6;
constexpr std::uint16_t kOptionEnd = 0;
constexpr std::uint16_t kOptionTsResol = 9;
constexpr std::uint16_t kOptionTsOffset = 14;

template <typename Visit>
bool ReadPcap(std::span<const std::uint8_t> b, Visit&& visit, std::string* error) {
    Order order;
    const std::uint32_t magic = zel::codec::GetLE32(b.data());
    bool nano = false;
    if (magic == kPcapMicro || magic == kPcapNano) {
        nano = magic == kPcapNano;
    } else {
        order.big = true;
        nano = order.U32(b.data()) == kPcapNano;
    }
    if (b.size() < 24) {
        if (error) *error = "the pcap file header is cut short";
        return false;
    }
    const std::uint32_t link = order.U32(b.data() + 20) & 0x0FFFFFFFu;  // the upper bits carry FCS flags
    std::uint64_t number = 0;
    for (std::size_t at = 24; at + 16 <= b.size();) {
        const std::uint8_t* h = b.data() + at;
        const std::uint32_t captured = order.U32(h + 8);
        if (captured > b.size() - at - 16) break;  // the last record was cut off
        Packet p;
        p.number = ++number;
        p.ns = std::int64_t{order.U32(h)} * 1'000'000'000 + std::int64_t{order.U32(h + 4)} * (nano ? 1 : 1000);
        p.link = link;
        p.data = b.subspan(at + 16, captured);
        p.original_length = order.U32(h + 12);
        visit(p);
        at += 16 + std::size_t{captured};
    }
    return true;
}

// Nanoseconds of `ts` units of an interface's time resolution (if_tsresol).
std::int64_t ToNanoseconds(std::uint64_t ts, std::uint8_t resolution) {
    if ((resolution & 0x80) == 0) {
        std::int64_t scale = 1;
        if (resolution <= 9) {
            for (int i = resolution; i < 9; ++i) scale *= 10;
            return static_cast<std::int64_t>(ts) * scale;
        }
        for (int i = 9; i < resolution && i < 27; ++i) scale *= 10;
        return static_cast<std::int64_t>(ts / static_cast<std::uint64_t>(scale));
    }
    int shift = resolution & 0x7F;
    while (shift > 33) {  // keep the fraction times 10^9 inside 64 bits
        ts >>= 1;
        --shift;
    }
    const std::uint64_t whole = ts >> shift;
    const std::uint64_t fraction = ts & ((std::uint64_t{1} << shift) - 1);
    return static_cast<std::int64_t>(whole * 1'000'000'000 + ((fraction * 1'000'000'000) >> shift));
}

struct Interface {
    std::uint32_t link = 0;
    std::uint8_t resolution = 6;
    std::int64_t offset_s = 0;
};

Interface ReadInterface(const std::uint8_t* body, std::size_t n, Order order) {
    Interface i;
    if (n < 8) return i;
    i.link = order.U16(body);
    for (std::size_t at = 8; at + 4 <= n;) {
        const std::uint16_t code = order.U16(body + at);
        const std::uint16_t length = order.U16(body + at + 2);
        if (code == kOptionEnd || at + 4 + length > n) break;
        if (code == kOptionTsResol && length >= 1) i.resolution = body[at + 4];
        if (code == kOptionTsOffset && length >= 8) {
            const std::uint64_t hi = order.U32(body + at + 4), lo = order.U32(body + at + 8);
            i.offset_s = static_cast<std::int64_t>(order.big ? hi << 32 | lo : lo << 32 | hi);
        }
        at += 4 + ((std::size_t{length} + 3) & ~std::size_t{3});
    }
    return i;
}

template <typename Visit>
bool ReadPcapng(std::span<const std::uint8_t> b, Visit&& visit, std::string* error) {
    Order order;
    std::vector<Interface> interfaces;
    std::uint64_t number = 0;
    for (std::size_t at = 0; at + 12 <= b.size();) {
        const std::uint8_t* block = b.data() + at;
        const std::uint32_t type = order.U32(block);
        if (type == kPcapngSection) {
            if (at + 12 > b.size()) break;
            const std::uint32_t magic = zel::codec::GetLE32(block + 8);
            if (magic != kPcapngByteOrder && Order{true}.U32(block + 8) != kPcapngByteOrder) {
                if (error) *error = "a pcapng section header without its byte-order mark";
                return false;
            }
            order.big = magic != kPcapngByteOrder;
            interfaces.clear();  // a new section numbers its interfaces from 0 again
        }
        const std::uint32_t length = order.U32(block + 4);
        if (length < 12 || length % 4 != 0 || length > b.size() - at) {
            if (number == 0 && interfaces.empty() && at == 0) {
                if (error) *error = "the pcapng section header has a wrong length";
                return false;
            }
            break;  // the rest of the file is cut off
        }
        const std::uint8_t* body = block + 8;
        const std::size_t body_length = length - 12;
        auto packet = [&](std::uint32_t interface, std::uint64_t ts, std::uint32_t captured, std::uint32_t original,
                          std::size_t data_at, bool has_time) {
            if (interface >= interfaces.size() || captured > body_length - (data_at - 8)) return;
            const Interface& i = interfaces[interface];
            Packet p;
            p.number = ++number;
            p.ns = has_time ? ToNanoseconds(ts, i.resolution) + i.offset_s * 1'000'000'000 : 0;
            p.link = i.link;
            p.data = b.subspan(at + data_at, captured);
            p.original_length = original;
            visit(p);
        };
        if (type == kPcapngInterface) {
            interfaces.push_back(ReadInterface(body, body_length, order));
        } else if (type == kPcapngEnhanced && body_length >= 20) {
            const std::uint64_t ts = std::uint64_t{order.U32(body + 4)} << 32 | order.U32(body + 8);
            packet(order.U32(body), ts, order.U32(body + 12), order.U32(body + 16), 28, true);
        } else if (type == kPcapngPacketOld && body_length >= 20) {
            const std::uint64_t ts = std::uint64_t{order.U32(body + 4)} << 32 | order.U32(body + 8);
            packet(order.U16(body), ts, order.U32(body + 12), order.U32(body + 16), 28, true);
        } else if (type == kPcapngSimple && body_length >= 4) {
            const std::uint32_t original = order.U32(body);
            packet(0, 0, std::min<std::uint32_t>(original, static_cast<std::uint32_t>(body_length - 4)), original, 12,
                   false);
        }
        at += length;
    }
    return true;
}

// ---- Links, IPv4 and TCP ------------------------------------------------------------------------

struct Segment {
    std::uint32_t src = 0, dst = 0;
    std::uint16_t sport = 0, dport = 0;
    std::uint32_t seq = 0, ack = 0;
    std::uint8_t flags = 0;
    std::span<const std::uint8_t> payload;
};

// The IPv4 packet inside a link frame, or an empty span.
std::span<const std::uint8_t> NetworkLayer(const Packet& p) {
    const auto d = p.data;
    auto ipv4_after = [&](std::size_t header, std::size_t type_at) -> std::span<const std::uint8_t> {
        if (d.size() < header || kNetwork.U16(d.data() + type_at) != kEtherIPv4) return {};
        return d.subspan(header);
    };
    switch (p.link) {
        case kLinkEthernet: {
            std::size_t type_at = 12;
            while (d.size() >= type_at + 2 &&
                   (kNetwork.U16(d.data() + type_at) == kEtherVlan || kNetwork.U16(d.data() + type_at) == kEtherQinQ))
                type_at += 4;
            return ipv4_after(type_at + 2, type_at);
        }
        case kLinkSll:
            return ipv4_after(16, 14);
        case kLinkSll2:
            return ipv4_after(20, 0);
        case kLinkNull:
        case kLinkLoop: {
            if (d.size() < 4) return {};
            const std::uint32_t family = zel::codec::GetLE32(d.data());
            if (family != 2 && family != 0x02000000u) return {};  // AF_INET, either byte order
            return d.subspan(4);
        }
        case kLinkRaw:
        case kLinkRawBsd:
        case kLinkIPv4:
            return d;
        default:
            return {};
    }
}

bool KnownLink(std::uint32_t link) {
    for (std::uint32_t l : {kLinkNull, kLinkEthernet, kLinkRawBsd, kLinkRaw, kLinkLoop, kLinkSll, kLinkIPv4, kLinkSll2})
        if (l == link) return true;
    return false;
}

enum class Parsed { Segment, NotTcp, Fragment, CutShort };

Parsed ParseSegment(std::span<const std::uint8_t> ip, Segment& s) {
    if (ip.size() < 20 || (ip[0] >> 4) != 4) return Parsed::NotTcp;
    const std::size_t header = std::size_t{ip[0] & 0x0Fu} * 4;
    const std::size_t total = kNetwork.U16(ip.data() + 2);
    if (ip[9] != 6) return Parsed::NotTcp;
    if ((kNetwork.U16(ip.data() + 6) & 0x3FFF) != 0) return Parsed::Fragment;
    if (header < 20 || total < header + 20) return Parsed::NotTcp;
    if (total > ip.size()) return Parsed::CutShort;
    const std::uint8_t* t = ip.data() + header;
    const std::size_t tcp_header = static_cast<std::size_t>(t[12] >> 4) * 4;
    if (tcp_header < 20 || header + tcp_header > total) return Parsed::NotTcp;
    s.src = kNetwork.U32(ip.data() + 12);
    s.dst = kNetwork.U32(ip.data() + 16);
    s.sport = kNetwork.U16(t);
    s.dport = kNetwork.U16(t + 2);
    s.seq = kNetwork.U32(t + 4);
    s.ack = kNetwork.U32(t + 8);
    s.flags = t[13];
    s.payload = ip.subspan(header + tcp_header, total - header - tcp_header);
    return Parsed::Segment;
}

// ---- Streams ------------------------------------------------------------------------------------

struct Piece {
    std::uint32_t seq;
    std::span<const std::uint8_t> data;
    std::uint64_t number;
    bool has_ack;
    std::uint32_t ack;
};

// One direction of a connection as captured, then put together.
struct Direction {
    bool syn = false;
    std::uint32_t isn = 0;  // sequence number of the first data byte, when the SYN was seen
    std::vector<Piece> pieces;
    // Put together:
    std::uint32_t base = 0;
    std::vector<std::uint8_t> bytes;      // the contiguous stream from the first byte
    std::vector<std::uint64_t> arrival;   // per byte: the packet that brought it
    std::vector<std::size_t> piece_of;    // per byte: the piece that brought it
    std::vector<std::uint64_t> complete;  // per byte: the packet by which every byte up to it had come
    bool hole = false;

    std::uint32_t Offset(std::uint32_t seq) const { return seq - base; }

    void Assemble() {
        if (syn) {
            base = isn;
        } else if (!pieces.empty()) {
            base = pieces.front().seq;
            for (const Piece& p : pieces)
                if (static_cast<std::int32_t>(p.seq - base) < 0) base = p.seq;
        }
        std::vector<std::uint8_t> have;
        std::size_t end = 0;
        for (std::size_t n = 0; n < pieces.size(); ++n) {
            const Piece& p = pieces[n];
            const std::uint32_t from = Offset(p.seq);
            if (from >= kMaxStream) continue;  // before the stream's start, or from another connection
            const std::size_t to = std::size_t{from} + p.data.size();
            if (to > bytes.size()) {
                bytes.resize(to);
                arrival.resize(to);
                piece_of.resize(to);
                have.resize(to);
            }
            for (std::size_t i = from; i < to; ++i) {
                if (have[i]) continue;  // a retransmission: the first copy stays
                have[i] = 1;
                bytes[i] = p.data[i - from];
                arrival[i] = p.number;
                piece_of[i] = n;
            }
            end = std::max(end, to);
        }
        const std::size_t contiguous = static_cast<std::size_t>(std::find(have.begin(), have.end(), 0) - have.begin());
        hole = contiguous < end;
        bytes.resize(contiguous);
        arrival.resize(contiguous);
        piece_of.resize(contiguous);
        complete.resize(contiguous);
        std::uint64_t latest = 0;
        for (std::size_t i = 0; i < contiguous; ++i) complete[i] = latest = std::max(latest, arrival[i]);
    }

    // The packet that completed bytes [from, to): the latest arrival among them (0 for none).
    std::uint64_t CompletedBy(std::size_t from, std::size_t to) const { return to > from ? complete[to - 1] : 0; }
    // The piece that brought byte `offset`.
    const Piece& PieceOf(std::size_t offset) const { return pieces[piece_of[offset]]; }
};

struct Building {
    Conversation conversation;
    Direction to_unit, to_host;
    bool ended = false;  // FIN or RST seen: a SYN after it opens a new connection
};

void Finish(Building& b, const std::vector<std::int64_t>& times, std::vector<std::string>& warnings) {
    Direction& up = b.to_unit;
    Direction& down = b.to_host;
    up.Assemble();
    down.Assemble();
    Conversation& c = b.conversation;
    c.missing_bytes = up.hole || down.hole;
    if (c.missing_bytes)
        warnings.push_back("the conversation of " + c.host + ":" + std::to_string(c.host_port) + " with " + c.unit +
                           " misses a segment: it ends at the first missing byte");
    const std::size_t frames = up.bytes.size() / kFrame;
    c.partial_request = up.bytes.size() % kFrame;
    // Where each request's reply begins in the unit's stream: the host acknowledged the unit's bytes up
    // to there when it sent the request's first byte (or, without the ACK flag, those that had come).
    std::vector<std::size_t> starts(frames + 1, down.bytes.size());
    std::size_t floor = 0;
    for (std::size_t k = 0; k < frames; ++k) {
        const Piece& first = up.PieceOf(k * kFrame);
        std::size_t at;
        if (first.has_ack) {
            const std::uint32_t acked = down.Offset(first.ack);
            at = acked >= kMaxStream ? 0 : acked;
        } else {
            const std::uint64_t sent = up.arrival[k * kFrame];
            at = static_cast<std::size_t>(std::lower_bound(down.complete.begin(), down.complete.end(), sent) -
                                          down.complete.begin());
        }
        starts[k] = floor = std::min(std::max(at, floor), down.bytes.size());
    }
    // A host that sent its next request before the reply was complete (while it learns the reply's
    // length) acknowledged only the reply's first part: when the rest and the next reply together are
    // as long as the two replies should be, the rest belongs to the first.
    std::vector<std::size_t> expected(frames);
    for (std::size_t k = 0; k < frames; ++k)
        expected[k] = ExpectedReplyLength(DecodeRequest(up.bytes.data() + k * kFrame, kFrame));
    for (std::size_t k = 0; k + 1 < frames; ++k) {
        const std::size_t got = starts[k + 1] - starts[k];
        if (got < expected[k] && starts[k + 2] - starts[k] == expected[k] + expected[k + 1])
            starts[k + 1] = starts[k] + expected[k];
    }
    for (std::size_t k = 0; k < frames; ++k) {
        Exchange e;
        e.request.assign(up.bytes.begin() + static_cast<std::ptrdiff_t>(k * kFrame),
                         up.bytes.begin() + static_cast<std::ptrdiff_t>((k + 1) * kFrame));
        e.request_frame = up.CompletedBy(k * kFrame, (k + 1) * kFrame);
        e.request_ns = times[e.request_frame];
        const std::size_t from = starts[k], to = starts[k + 1];
        e.reply.assign(down.bytes.begin() + static_cast<std::ptrdiff_t>(from),
                       down.bytes.begin() + static_cast<std::ptrdiff_t>(to));
        e.reply_frame = down.CompletedBy(from, to);
        e.reply_ns = e.reply_frame ? times[e.reply_frame] : e.request_ns;
        c.exchanges.push_back(std::move(e));
    }
}

}  // namespace

std::vector<std::string> Capture::Units() const {
    std::vector<std::string> units;
    for (const Conversation& c : conversations)
        if (std::find(units.begin(), units.end(), c.unit) == units.end()) units.push_back(c.unit);
    return units;
}

bool ReadCapture(std::span<const std::uint8_t> bytes, Capture& out, std::string* error, std::uint16_t unit_port) {
    out = Capture{};
    if (bytes.size() < 12) {
        if (error) *error = "too short for a capture file";
        return false;
    }
    using Key = std::tuple<std::uint32_t, std::uint16_t, std::uint32_t, std::uint16_t>;  // host, port, unit, port
    std::vector<Building> built;
    std::map<Key, std::size_t> open;
    std::vector<std::int64_t> times{0};  // by packet number
    std::vector<std::uint32_t> unknown_links;
    auto visit = [&](const Packet& p) {
        out.packets = p.number;
        times.push_back(p.ns);
        if (!KnownLink(p.link)) {
            if (std::find(unknown_links.begin(), unknown_links.end(), p.link) == unknown_links.end()) {
                unknown_links.push_back(p.link);
                out.warnings.push_back("link type " + std::to_string(p.link) +
                                       " is not read: its packets are passed over");
            }
            return;
        }
        Segment s;
        const Parsed parsed = ParseSegment(NetworkLayer(p), s);
        const bool ours = parsed == Parsed::Segment && (s.dport == unit_port || s.sport == unit_port);
        if (parsed == Parsed::Fragment)
            out.warnings.push_back("packet " + std::to_string(p.number) + " is an IPv4 fragment: passed over");
        if (parsed == Parsed::CutShort)
            out.warnings.push_back("packet " + std::to_string(p.number) + " was captured cut short: passed over");
        if (!ours) return;
        const bool up = s.dport == unit_port;
        const Key key = up ? Key{s.src, s.sport, s.dst, s.dport} : Key{s.dst, s.dport, s.src, s.sport};
        auto found = open.find(key);
        const bool opening = up && (s.flags & kTcpSyn) && !(s.flags & kTcpAck);
        if (found != open.end() && opening) {
            const Building& b = built[found->second];
            if (b.ended || !b.to_unit.pieces.empty() || !b.to_host.pieces.empty()) found = open.end();
        }
        if (found == open.end()) {
            Building b;
            b.conversation.host = Dotted(std::get<0>(key));
            b.conversation.host_port = std::get<1>(key);
            b.conversation.unit = Dotted(std::get<2>(key));
            b.conversation.unit_port = std::get<3>(key);
            b.conversation.start_ns = p.ns;
            b.conversation.first_frame = p.number;
            built.push_back(std::move(b));
            found = open.insert_or_assign(key, built.size() - 1).first;
        }
        Building& b = built[found->second];
        Direction& d = up ? b.to_unit : b.to_host;
        std::uint32_t seq = s.seq;
        if (s.flags & kTcpSyn) {
            d.syn = true;
            d.isn = ++seq;
        }
        if (s.flags & (kTcpFin | kTcpRst)) b.ended = true;
        if (!s.payload.empty()) d.pieces.push_back({seq, s.payload, p.number, (s.flags & kTcpAck) != 0, s.ack});
    };

    bool ok;
    const std::uint32_t magic = zel::codec::GetLE32(bytes.data());
    if (magic == kPcapngSection) {
        ok = ReadPcapng(bytes, visit, error);
    } else if (magic == kPcapMicro || magic == kPcapNano || kNetwork.U32(bytes.data()) == kPcapMicro ||
               kNetwork.U32(bytes.data()) == kPcapNano) {
        ok = ReadPcap(bytes, visit, error);
    } else {
        if (error) *error = "neither a pcap nor a pcapng file";
        return false;
    }
    if (!ok) return false;
    for (Building& b : built) {
        Finish(b, times, out.warnings);
        out.conversations.push_back(std::move(b.conversation));
    }
    return true;
}

bool ReadCaptureFile(const std::string& path, Capture& out, std::string* error, std::uint16_t unit_port) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot open " + path;
        return false;
    }
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        if (error) *error = "cannot read " + path;
        return false;
    }
    std::string why;
    if (!ReadCapture(bytes, out, &why, unit_port)) {
        if (error) *error = path + ": " + why;
        return false;
    }
    return true;
}

}  // namespace zel::capture
