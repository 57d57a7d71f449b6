#include "zel_capture/capture_read.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zel::capture {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kHost = 0x7F000001;   // 127.0.0.1
constexpr std::uint32_t kUnitA = 0x7F0A0B0C;  // 127.10.11.12
constexpr std::uint32_t kUnitB = 0x7F0A0B0D;  // 127.10.11.13
constexpr std::uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10;

void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    Put16(b, at, static_cast<std::uint16_t>(v >> 16));
    Put16(b, at + 2, static_cast<std::uint16_t>(v));
}
// Appends `v` in `bytes` bytes, big-endian when `big`.
void Append(Bytes& b, std::uint64_t v, int bytes, bool big) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * (big ? bytes - 1 - i : i))));
}

// One captured packet: its time and its IPv4 datagram (checksums left zero: the reader does not check them).
struct Sent {
    std::int64_t us;
    Bytes ip;
};

Bytes Segment(std::uint32_t src, std::uint16_t sport, std::uint32_t dst, std::uint16_t dport, std::uint32_t seq,
              std::uint32_t ack, std::uint8_t flags, const Bytes& payload) {
    Bytes ip(40, 0);
    ip[0] = 0x45;
    Put16(ip, 2, static_cast<std::uint16_t>(40 + payload.size()));
    Put16(ip, 6, 0x4000);  // don't fragment
    ip[8] = 64;
    ip[9] = 6;
    Put32(ip, 12, src);
    Put32(ip, 16, dst);
    Put16(ip, 20, sport);
    Put16(ip, 22, dport);
    Put32(ip, 24, seq);
    Put32(ip, 28, ack);
    ip[32] = 5 << 4;
    ip[33] = flags;
    ip.insert(ip.end(), payload.begin(), payload.end());
    return ip;
}

Bytes Pattern(std::size_t n, std::uint8_t first) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(first + i);
    return b;
}

// A TCP connection between the host and a unit, written packet by packet with the sequence and
// acknowledgement numbers that follow the byte streams.
class Connection {
public:
    Connection(std::vector<Sent>& out, std::uint32_t unit, std::uint16_t host_port, std::uint32_t host_isn,
               std::uint32_t unit_isn)
        : out_(out), unit_(unit), port_(host_port), host_seq_(host_isn), unit_seq_(unit_isn) {}

    void Open(std::int64_t us) {
        Up(us, kSyn, {});
        ++host_seq_;
        Down(us + 1, kSyn | kAck, {});
        ++unit_seq_;
        Up(us + 2, kAck, {});
    }
    // Data from the host; `at` shifts the sequence number (a segment sent out of order), `advance` keeps it.
    void Up(std::int64_t us, std::uint8_t flags, const Bytes& data, std::int64_t at = 0, bool advance = true) {
        const bool ack = flags & kAck;
        out_.push_back({us, Segment(kHost, port_, unit_, kUnitPort, host_seq_ + static_cast<std::uint32_t>(at),
                                    ack ? unit_seq_ : 0, flags, data)});
        if (advance) host_seq_ += static_cast<std::uint32_t>(data.size());
    }
    void Down(std::int64_t us, std::uint8_t flags, const Bytes& data, std::int64_t at = 0, bool advance = true) {
        out_.push_back({us, Segment(unit_, kUnitPort, kHost, port_, unit_seq_ + static_cast<std::uint32_t>(at),
                                    host_seq_, flags, data)});
        if (advance) unit_seq_ += static_cast<std::uint32_t>(data.size());
    }
    void Skip(std::size_t host_bytes) { host_seq_ += static_cast<std::uint32_t>(host_bytes); }
    void Close(std::int64_t us) {
        Up(us, kFin | kAck, {});
        ++host_seq_;
        Down(us + 1, kFin | kAck, {});
        ++unit_seq_;
        Up(us + 2, kAck, {});
    }

private:
    std::vector<Sent>& out_;
    std::uint32_t unit_;
    std::uint16_t port_;
    std::uint32_t host_seq_, unit_seq_;
};

// ---- The containers and links the reader takes ----

struct Link {
    const char* name;
    std::uint32_t type;
    std::function<Bytes(const Bytes&)> wrap;
};

const Link kLinks[] = {
    {"raw", 101, [](const Bytes& ip) { return ip; }},
    {"ethernet", 1,
     [](const Bytes& ip) {
         Bytes f(14, 0);
         f[12] = 0x08;
         f.insert(f.end(), ip.begin(), ip.end());
         f.resize(std::max<std::size_t>(f.size(), 60), 0);  // the padding of a short frame is no payload
         return f;
     }},
    {"ethernet with a VLAN tag", 1,
     [](const Bytes& ip) {
         Bytes f(18, 0);
         f[12] = 0x81;
         f[16] = 0x08;
         f.insert(f.end(), ip.begin(), ip.end());
         return f;
     }},
    {"linux cooked", 113,
     [](const Bytes& ip) {
         Bytes f(16, 0);
         f[14] = 0x08;
         f.insert(f.end(), ip.begin(), ip.end());
         return f;
     }},
    {"linux cooked v2", 276,
     [](const Bytes& ip) {
         Bytes f(20, 0);
         f[0] = 0x08;
         f.insert(f.end(), ip.begin(), ip.end());
         return f;
     }},
    {"bsd loopback", 0,
     [](const Bytes& ip) {
         Bytes f{2, 0, 0, 0};
         f.insert(f.end(), ip.begin(), ip.end());
         return f;
     }},
};

Bytes Pcap(const std::vector<Sent>& packets, const Link& link, bool big, bool nano) {
    Bytes b;
    Append(b, nano ? 0xA1B23C4D : 0xA1B2C3D4, 4, big);
    Append(b, 2, 2, big);
    Append(b, 4, 2, big);
    Append(b, 0, 8, big);
    Append(b, 262144, 4, big);
    Append(b, link.type, 4, big);
    for (const Sent& s : packets) {
        const Bytes f = link.wrap(s.ip);
        Append(b, static_cast<std::uint64_t>(s.us / 1'000'000), 4, big);
        Append(b, static_cast<std::uint64_t>(s.us % 1'000'000 * (nano ? 1000 : 1)), 4, big);
        Append(b, f.size(), 4, big);
        Append(b, f.size(), 4, big);
        b.insert(b.end(), f.begin(), f.end());
    }
    return b;
}

void Block(Bytes& out, std::uint32_t type, const Bytes& body, bool big) {
    Bytes padded = body;
    padded.resize((padded.size() + 3) & ~std::size_t{3}, 0);
    const std::uint64_t length = padded.size() + 12;
    Append(out, type, 4, big);
    Append(out, length, 4, big);
    out.insert(out.end(), padded.begin(), padded.end());
    Append(out, length, 4, big);
}

Bytes SectionHeader(bool big) {
    Bytes body;
    Append(body, 0x1A2B3C4D, 4, big);
    Append(body, 1, 2, big);
    Append(body, 0, 2, big);
    Append(body, ~std::uint64_t{0}, 8, big);
    return body;
}

Bytes InterfaceDescription(std::uint32_t link, int resolution, bool big) {
    Bytes body;
    Append(body, link, 2, big);
    Append(body, 0, 2, big);
    Append(body, 0, 4, big);
    if (resolution >= 0) {
        Append(body, 9, 2, big);  // if_tsresol
        Append(body, 1, 2, big);
        body.push_back(static_cast<std::uint8_t>(resolution));
        body.resize(body.size() + 3, 0);
        Append(body, 0, 4, big);  // end of options
    }
    return body;
}

// Time stamp units of one second at if_tsresol `resolution` (-1: the default, microseconds).
std::uint64_t TicksPerSecond(int resolution) {
    if (resolution < 0) return 1'000'000;
    if (resolution & 0x80) return std::uint64_t{1} << (resolution & 0x7F);
    std::uint64_t t = 1;
    for (int i = 0; i < resolution; ++i) t *= 10;
    return t;
}

// pcapng with an unused interface 0 of another link type and the packets on interface 1; a block
// of a type the reader does not know comes before the first packet.
Bytes Pcapng(const std::vector<Sent>& packets, const Link& link, bool big, int resolution) {
    Bytes b;
    Block(b, 0x0A0D0D0A, SectionHeader(big), big);
    Block(b, 1, InterfaceDescription(147, -1, big), big);
    Block(b, 0x00000BAD, Bytes{1, 2, 3, 4}, big);
    Block(b, 1, InterfaceDescription(link.type, resolution, big), big);
    for (const Sent& s : packets) {
        const Bytes f = link.wrap(s.ip);
        const std::uint64_t per_s = TicksPerSecond(resolution);
        const std::uint64_t ts = static_cast<std::uint64_t>(s.us / 1'000'000) * per_s +
                                 static_cast<std::uint64_t>(s.us % 1'000'000) * per_s / 1'000'000;
        Bytes body;
        Append(body, 1, 4, big);
        Append(body, ts >> 32, 4, big);
        Append(body, ts & 0xFFFFFFFFu, 4, big);
        Append(body, f.size(), 4, big);
        Append(body, f.size(), 4, big);
        body.insert(body.end(), f.begin(), f.end());
        Block(b, 6, body, big);
    }
    return b;
}

Capture Read(const Bytes& file) {
    Capture c;
    std::string error;
    EXPECT_TRUE(ReadCapture(file, c, &error)) << error;
    return c;
}

constexpr std::int64_t kT0 = 1'700'000'000'000'000;  // microseconds

// Two requests to one unit: the first split over two segments that arrive out of order, one of them
// sent twice; the first reply split in two as well.
std::vector<Sent> OneConversation() {
    std::vector<Sent> p;
    Connection c(p, kUnitA, 40000, 1000, 0xFFFFFF00u);  // the unit's sequence numbers wrap
    c.Open(kT0);
    const Bytes r1 = Pattern(128, 0x10), r2 = Pattern(128, 0x90);
    const Bytes first(r1.begin(), r1.begin() + 50), rest(r1.begin() + 50, r1.end());
    c.Up(kT0 + 100, kAck | kPsh, rest, 50, false);  // packet 4: the second part first
    c.Up(kT0 + 110, kAck | kPsh, first);            // packet 5
    c.Up(kT0 + 120, kAck | kPsh, rest, 0, false);   // packet 6: retransmitted
    c.Skip(rest.size());
    const Bytes a1 = Pattern(128, 0xA0);
    c.Down(kT0 + 200, kAck, Bytes(a1.begin(), a1.begin() + 3));  // packet 7
    c.Down(kT0 + 250, kAck | kPsh, Bytes(a1.begin() + 3, a1.end()));
    c.Up(kT0 + 300, kAck | kPsh, r2);  // packet 9
    c.Down(kT0 + 400, kAck | kPsh, Pattern(1024, 0x01));
    c.Close(kT0 + 500);
    return p;
}

void ExpectOneConversation(const Capture& c) {
    ASSERT_EQ(c.conversations.size(), 1u);
    const Conversation& v = c.conversations[0];
    EXPECT_EQ(v.host, "127.0.0.1");
    EXPECT_EQ(v.host_port, 40000);
    EXPECT_EQ(v.unit, "127.10.11.12");
    EXPECT_EQ(v.unit_port, kUnitPort);
    EXPECT_FALSE(v.missing_bytes);
    EXPECT_EQ(v.partial_request, 0u);
    EXPECT_EQ(v.first_frame, 1u);
    EXPECT_EQ(v.start_ns, kT0 * 1000);
    ASSERT_EQ(v.exchanges.size(), 2u);
    const Exchange& e1 = v.exchanges[0];
    EXPECT_EQ(e1.request, Pattern(128, 0x10));
    EXPECT_EQ(e1.request_frame, 5u);  // the packet that filled the gap
    EXPECT_EQ(e1.request_ns, (kT0 + 110) * 1000);
    EXPECT_EQ(e1.reply, Pattern(128, 0xA0));
    EXPECT_EQ(e1.reply_frame, 8u);
    EXPECT_EQ(e1.reply_ns, (kT0 + 250) * 1000);
    const Exchange& e2 = v.exchanges[1];
    EXPECT_EQ(e2.request, Pattern(128, 0x90));
    EXPECT_EQ(e2.request_frame, 9u);
    EXPECT_EQ(e2.reply, Pattern(1024, 0x01));
    EXPECT_EQ(e2.reply_frame, 10u);
    EXPECT_EQ(c.packets, 13u);
}

TEST(CaptureRead, EveryContainerAndLinkGivesTheSameConversation) {
    const std::vector<Sent> packets = OneConversation();
    for (const Link& link : kLinks) {
        for (bool big : {false, true}) {
            SCOPED_TRACE(std::string(link.name) + (big ? ", big-endian" : ", little-endian"));
            {
                SCOPED_TRACE("pcap, microseconds");
                ExpectOneConversation(Read(Pcap(packets, link, big, false)));
            }
            {
                SCOPED_TRACE("pcap, nanoseconds");
                ExpectOneConversation(Read(Pcap(packets, link, big, true)));
            }
            for (int resolution : {-1, 6, 9}) {
                SCOPED_TRACE("pcapng, if_tsresol " + std::to_string(resolution));
                ExpectOneConversation(Read(Pcapng(packets, link, big, resolution)));
            }
        }
    }
}

TEST(CaptureRead, BinaryTimeResolution) {
    std::vector<Sent> p;
    Connection c(p, kUnitA, 40001, 7, 9);
    c.Open(kT0);
    c.Up(kT0 + 500'000, kAck, Pattern(128, 0));  // half a second on: exact in 2^-10 units
    const Capture read = Read(Pcapng(p, kLinks[0], false, 0x80 | 10));
    ASSERT_EQ(read.conversations.size(), 1u);
    ASSERT_EQ(read.conversations[0].exchanges.size(), 1u);
    EXPECT_EQ(read.conversations[0].exchanges[0].request_ns, (kT0 + 500'000) * 1000);
}

// Two units and a reconnection that reuses the host port, the packets of the conversations interleaved.
TEST(CaptureRead, SeveralConversationsInTheOrderTheyBegan) {
    std::vector<Sent> p;
    Connection a(p, kUnitA, 41000, 100, 200);
    Connection b(p, kUnitB, 41001, 300, 400);
    a.Open(kT0);
    b.Open(kT0 + 10);
    b.Up(kT0 + 20, kAck, Pattern(128, 1));
    a.Up(kT0 + 21, kAck, Pattern(128, 2));
    a.Down(kT0 + 22, kAck, Pattern(128, 3));
    b.Down(kT0 + 23, kAck, Pattern(128, 4));
    a.Close(kT0 + 30);
    Connection again(p, kUnitA, 41000, 5000, 6000);
    again.Open(kT0 + 40);
    again.Up(kT0 + 41, kAck, Pattern(128, 5));
    again.Down(kT0 + 42, kAck, Pattern(128, 6));
    b.Up(kT0 + 50, kAck, Pattern(128, 7));  // no reply to this one
    const Capture c = Read(Pcap(p, kLinks[0], false, false));
    ASSERT_EQ(c.conversations.size(), 3u);
    const struct {
        const char* unit;
        std::uint16_t port;
        std::vector<std::uint8_t> requests, replies;  // first bytes
    } expected[] = {
        {"127.10.11.12", 41000, {2}, {3}}, {"127.10.11.13", 41001, {1, 7}, {4}}, {"127.10.11.12", 41000, {5}, {6}}};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const Conversation& v = c.conversations[i];
        EXPECT_EQ(v.unit, expected[i].unit);
        EXPECT_EQ(v.host_port, expected[i].port);
        ASSERT_EQ(v.exchanges.size(), expected[i].requests.size());
        for (std::size_t k = 0; k < v.exchanges.size(); ++k) {
            EXPECT_EQ(v.exchanges[k].request, Pattern(128, expected[i].requests[k]));
            if (k < expected[i].replies.size()) {
                EXPECT_EQ(v.exchanges[k].reply, Pattern(128, expected[i].replies[k]));
            } else {
                EXPECT_TRUE(v.exchanges[k].reply.empty());
                EXPECT_EQ(v.exchanges[k].reply_frame, 0u);
                EXPECT_EQ(v.exchanges[k].reply_ns, v.exchanges[k].request_ns);
            }
        }
    }
    EXPECT_EQ(c.Units(), (std::vector<std::string>{"127.10.11.12", "127.10.11.13"}));
}

// A capture begun in the middle of a connection, with a lost segment and a request cut short at its end.
TEST(CaptureRead, MidStreamStartAndAHole) {
    std::vector<Sent> p;
    Connection c(p, kUnitA, 42000, 0x7FFFFFF0u, 10);  // no handshake captured
    c.Up(kT0, kAck, Pattern(128, 1));
    c.Down(kT0 + 1, kAck, Pattern(128, 2));
    c.Up(kT0 + 2, kAck, Pattern(128, 3));
    c.Down(kT0 + 3, kAck, Pattern(60, 4));
    c.Down(kT0 + 4, kAck, Pattern(68, 64), 0, true);
    c.Up(kT0 + 5, kAck, Pattern(100, 5));
    c.Skip(28);  // lost
    c.Up(kT0 + 6, kAck, Pattern(128, 6));
    const Capture read = Read(Pcap(p, kLinks[0], false, false));
    ASSERT_EQ(read.conversations.size(), 1u);
    const Conversation& v = read.conversations[0];
    EXPECT_TRUE(v.missing_bytes);
    EXPECT_EQ(v.partial_request, 100u);
    ASSERT_EQ(v.exchanges.size(), 2u);
    EXPECT_EQ(v.exchanges[0].reply, Pattern(128, 2));
    Bytes second = Pattern(60, 4);
    const Bytes tail = Pattern(68, 64);
    second.insert(second.end(), tail.begin(), tail.end());
    EXPECT_EQ(v.exchanges[1].reply, second);
    ASSERT_FALSE(read.warnings.empty());
    EXPECT_NE(read.warnings[0].find("misses a segment"), std::string::npos) << read.warnings[0];
}

// Without the ACK flag on the host's segments, a reply is what came between one request and the next.
TEST(CaptureRead, RepliesByPacketOrderWithoutAcknowledgements) {
    std::vector<Sent> p;
    Connection c(p, kUnitA, 42001, 1, 2);
    c.Up(kT0, kPsh, Pattern(128, 1));
    c.Down(kT0 + 1, kPsh, Pattern(3, 2));
    c.Up(kT0 + 2, kPsh, Pattern(128, 3));
    c.Down(kT0 + 3, kPsh, Pattern(5, 4));
    const Capture read = Read(Pcap(p, kLinks[0], false, false));
    ASSERT_EQ(read.conversations.size(), 1u);
    ASSERT_EQ(read.conversations[0].exchanges.size(), 2u);
    EXPECT_EQ(read.conversations[0].exchanges[0].reply, Pattern(3, 2));
    EXPECT_EQ(read.conversations[0].exchanges[1].reply, Pattern(5, 4));
}

Bytes RegisterRead(std::uint8_t address) {
    Bytes f(128, 0);
    f[0] = 0xF0;
    f[4] = address;
    return f;
}

// A host that sends its next request after the first part of a reply (as the library does while it
// learns the reply length) gets the rest after that request; a unit whose replies are shorter than
// expected keeps them as they came.
TEST(CaptureRead, AReplysTailAfterTheNextRequestStaysWithItsRequest) {
    const struct {
        const char* what;
        std::vector<std::size_t> first_parts;  // the first reply as it comes: before, after the second request
        std::size_t second;
        std::size_t want_first, want_second;
    } cases[] = {
        {"tail after the next request", {42, 86}, 128, 128, 128},
        {"short replies", {3}, 3, 3, 3},
        {"a short reply, then a whole one", {3}, 128, 3, 128},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Sent> p;
        Connection conn(p, kUnitA, 44000, 1, 2);
        conn.Open(kT0);
        conn.Up(kT0 + 10, kAck | kPsh, RegisterRead(20));
        conn.Down(kT0 + 11, kAck | kPsh, Pattern(c.first_parts[0], 0));
        conn.Up(kT0 + 12, kAck | kPsh, RegisterRead(21));
        if (c.first_parts.size() > 1)
            conn.Down(kT0 + 13, kAck | kPsh, Pattern(c.first_parts[1], static_cast<std::uint8_t>(c.first_parts[0])));
        conn.Down(kT0 + 14, kAck | kPsh, Pattern(c.second, 0x80));
        const Capture read = Read(Pcap(p, kLinks[0], false, false));
        ASSERT_EQ(read.conversations.size(), 1u);
        const auto& e = read.conversations[0].exchanges;
        ASSERT_EQ(e.size(), 2u);
        EXPECT_EQ(e[0].reply, Pattern(c.want_first, 0));
        EXPECT_EQ(e[1].reply, Pattern(c.want_second, 0x80));
    }
}

TEST(CaptureRead, PassesOverWhatIsNotTheUnitsTraffic) {
    std::vector<Sent> p;
    Connection c(p, kUnitA, 43000, 1, 2);
    c.Open(kT0);
    p.push_back({kT0 + 1, Segment(kHost, 5000, kUnitA, 80, 0, 0, kAck, Pattern(128, 9))});  // another port
    Bytes udp = Segment(kHost, 5000, kUnitA, kUnitPort, 0, 0, 0, Pattern(128, 9));
    udp[9] = 17;
    p.push_back({kT0 + 2, udp});
    Bytes fragment = Segment(kHost, 43000, kUnitA, kUnitPort, 0, 0, kAck, Pattern(128, 9));
    fragment[6] = 0x20;  // more fragments
    p.push_back({kT0 + 3, fragment});
    Bytes cut = Segment(kHost, 43000, kUnitA, kUnitPort, 0, 0, kAck, Pattern(128, 9));
    cut.resize(100);
    p.push_back({kT0 + 4, cut});
    c.Up(kT0 + 5, kAck, Pattern(128, 1));
    c.Down(kT0 + 6, kAck | kRst, Pattern(128, 2));
    const Capture read = Read(Pcap(p, kLinks[0], false, false));
    ASSERT_EQ(read.conversations.size(), 1u);
    ASSERT_EQ(read.conversations[0].exchanges.size(), 1u);
    EXPECT_EQ(read.conversations[0].exchanges[0].request, Pattern(128, 1));
    EXPECT_EQ(read.conversations[0].exchanges[0].reply, Pattern(128, 2));
    EXPECT_EQ(read.warnings.size(), 2u);  // the fragment and the packet cut short
}

TEST(CaptureRead, RefusesWhatIsNoCapture) {
    const struct {
        const char* what;
        Bytes bytes;
    } cases[] = {
        {"empty", {}},
        {"text", Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '!'}},
        {"pcapng without its byte-order mark",
         [] {
             Bytes b;
             Block(b, 0x0A0D0D0A, Bytes(16, 0), false);
             return b;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Capture read;
        std::string error;
        EXPECT_FALSE(ReadCapture(c.bytes, read, &error));
        EXPECT_FALSE(error.empty());
    }
    Capture read;
    std::string error;
    EXPECT_FALSE(ReadCaptureFile("/nonexistent/capture.pcapng", read, &error));
    EXPECT_NE(error.find("/nonexistent/capture.pcapng"), std::string::npos);
}

// A file cut off in the middle of a packet keeps the packets before it.
TEST(CaptureRead, ATruncatedFileKeepsWhatCameBefore) {
    const std::vector<Sent> packets = OneConversation();
    for (bool ng : {false, true}) {
        SCOPED_TRACE(ng ? "pcapng" : "pcap");
        Bytes file = ng ? Pcapng(packets, kLinks[0], false, 6) : Pcap(packets, kLinks[0], false, false);
        // Cut inside the 1024-byte reply (the packet before the closing handshake).
        file.resize(file.size() - 3 * (ng ? 32 + 40 : 16 + 40) - 500);
        const Capture read = Read(file);
        ASSERT_EQ(read.conversations.size(), 1u);
        ASSERT_EQ(read.conversations[0].exchanges.size(), 2u);
        EXPECT_EQ(read.conversations[0].exchanges[0].reply, Pattern(128, 0xA0));
        EXPECT_TRUE(read.conversations[0].exchanges[1].reply.empty());
        EXPECT_EQ(read.packets, 9u);
    }
}

}  // namespace
}  // namespace zel::capture
