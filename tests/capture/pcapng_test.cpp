// The capture format's writing side: block framing, the IPv4 and TCP checksums (checked the way a
// receiver checks them, over explicit pseudo-header bytes), and sequence and acknowledgement
// numbers that follow each direction's byte stream so that it reassembles exactly.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "zel_capture/capture_read.h"
#include "zel_capture/pcapng.h"

namespace {

using zel::capture::Bytes;
using zel::capture::Endpoint;
using zel::capture::TcpConversation;
namespace pcapng = zel::capture::pcapng;
namespace cap = zel::capture;

std::uint32_t Native32(const Bytes& b, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}
std::uint16_t Native16(const Bytes& b, std::size_t at) {
    std::uint16_t v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}
std::uint16_t BE16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]); }
std::uint32_t BE32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(BE16(b, at)) << 16 | BE16(b, at + 2);
}

// A block's framing: its type, equal total lengths at both ends, a multiple of 4, the whole buffer.
void ExpectOneBlock(const Bytes& block, std::uint32_t type) {
    ASSERT_GE(block.size(), 12u);
    EXPECT_EQ(Native32(block, 0), type);
    const std::uint32_t total = Native32(block, 4);
    EXPECT_EQ(total, block.size());
    EXPECT_EQ(total % 4, 0u);
    EXPECT_EQ(Native32(block, block.size() - 4), total);
}

TEST(PcapngBlocks, SectionHeaderAndInterfaceDescription) {
    Bytes shb;
    pcapng::AppendSectionHeader(shb);
    ExpectOneBlock(shb, pcapng::kSectionHeaderBlock);
    EXPECT_EQ(Native32(shb, 8), pcapng::kByteOrderMagic);
    EXPECT_EQ(Native16(shb, 12), 1);  // version 1.0
    EXPECT_EQ(Native16(shb, 14), 0);

    Bytes idb;
    pcapng::AppendInterfaceDescription(idb);
    ExpectOneBlock(idb, pcapng::kInterfaceDescriptionBlock);
    EXPECT_EQ(Native16(idb, 8), 101);  // LINKTYPE_RAW
    EXPECT_EQ(Native32(idb, 12), 65535u);
    // The options, walked as a reader walks them: if_tsresol = 6, then the end marker.
    std::size_t at = 16;
    int tsresol = -1;
    bool ended = false;
    while (at + 4 <= idb.size() - 4) {
        const std::uint16_t code = Native16(idb, at), length = Native16(idb, at + 2);
        if (code == 0) {
            ended = true;
            break;
        }
        if (code == 9 && length == 1) tsresol = idb[at + 4];
        at += 4 + (length + 3u) / 4 * 4;
    }
    EXPECT_TRUE(ended);
    EXPECT_EQ(tsresol, 6);
}

TEST(PcapngBlocks, EnhancedPacketsArePaddedToFourBytesAndKeepTheTimeStamp) {
    const std::uint64_t stamp = 0x0001234589ABCDEFull;
    for (std::size_t length : {0u, 1u, 2u, 3u, 4u, 5u, 127u, 128u, 1024u}) {
        SCOPED_TRACE(length);
        Bytes packet(length);
        std::iota(packet.begin(), packet.end(), std::uint8_t{1});
        Bytes epb;
        pcapng::AppendEnhancedPacket(epb, 0, stamp, packet.data(), packet.size());
        ExpectOneBlock(epb, pcapng::kEnhancedPacketBlock);
        EXPECT_EQ(epb.size(), 32 + (length + 3) / 4 * 4);
        EXPECT_EQ(Native32(epb, 8), 0u);  // interface 0
        EXPECT_EQ((std::uint64_t{Native32(epb, 12)} << 32) | Native32(epb, 16), stamp);
        EXPECT_EQ(Native32(epb, 20), length);
        EXPECT_EQ(Native32(epb, 24), length);
        EXPECT_EQ(Bytes(epb.begin() + 28, epb.begin() + 28 + static_cast<std::ptrdiff_t>(length)), packet);
        for (std::size_t k = 28 + length; k < epb.size() - 4; ++k) EXPECT_EQ(epb[k], 0) << "padding byte " << k;
    }
}

// The receiver's check: the ones' complement sum of all 16-bit words, the checksum included, is
// 0xFFFF. Summed in 64 bits and folded once at the end.
std::uint16_t OnesSum(const Bytes& bytes) {
    std::uint64_t sum = 0;
    for (std::size_t k = 0; k < bytes.size(); k += 2)
        sum += static_cast<std::uint64_t>(bytes[k]) * 256 + (k + 1 < bytes.size() ? bytes[k + 1] : 0);
    while (sum > 0xFFFF) sum = (sum >> 16) + (sum & 0xFFFF);
    return static_cast<std::uint16_t>(sum);
}

TEST(InternetChecksum, MatchesTheWorkedExampleAndVerifiesAtTheReceiver) {
    // The worked example of the Internet checksum's definition: these words sum to 0xDDF2.
    const Bytes example = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    EXPECT_EQ(cap::InternetChecksum(example.data(), example.size()), 0xFFFF - 0xDDF2);
    // Odd lengths pad with a zero byte; a starting sum carries in.
    for (std::size_t length : {1u, 3u, 7u, 20u, 33u}) {
        Bytes data(length);
        for (std::size_t k = 0; k < length; ++k) data[k] = static_cast<std::uint8_t>(0xF0 + 13 * k);
        const std::uint16_t c = cap::InternetChecksum(data.data(), data.size());
        Bytes with = data;
        if (with.size() % 2 != 0) with.push_back(0);
        with.push_back(static_cast<std::uint8_t>(c >> 8));
        with.push_back(static_cast<std::uint8_t>(c));
        EXPECT_EQ(OnesSum(with), 0xFFFF) << length;
    }
    EXPECT_EQ(cap::InternetChecksum(example.data(), 4, 0xF4F5 + 0xF6F7), 0xFFFF - 0xDDF2);
}

struct Parsed {
    Endpoint from, to;
    std::uint32_t seq, ack;
    std::uint8_t flags;
    Bytes payload;
};

// Parses a datagram of EncodeSegment and checks both checksums as a receiver does.
Parsed Parse(const Bytes& d) {
    Parsed p{};
    EXPECT_GE(d.size(), 40u);
    EXPECT_EQ(d[0], 0x45);
    EXPECT_EQ(BE16(d, 2), d.size());
    EXPECT_EQ(d[9], 6);
    EXPECT_EQ(OnesSum(Bytes(d.begin(), d.begin() + 20)), 0xFFFF) << "IPv4 header checksum";
    const Bytes tcp(d.begin() + 20, d.end());
    Bytes pseudo(d.begin() + 12, d.begin() + 20);  // source and destination addresses
    pseudo.insert(pseudo.end(),
                  {0, 6, static_cast<std::uint8_t>(tcp.size() >> 8), static_cast<std::uint8_t>(tcp.size())});
    pseudo.insert(pseudo.end(), tcp.begin(), tcp.end());
    EXPECT_EQ(OnesSum(pseudo), 0xFFFF) << "TCP checksum";
    p.from = {BE32(d, 12), BE16(tcp, 0)};
    p.to = {BE32(d, 16), BE16(tcp, 2)};
    p.seq = BE32(tcp, 4);
    p.ack = BE32(tcp, 8);
    EXPECT_EQ(tcp[12] >> 4, 5);
    p.flags = tcp[13];
    p.payload.assign(tcp.begin() + 20, tcp.end());
    return p;
}

TEST(EncodeSegment, ChecksumsHoldForEveryPayloadLengthAndAddress) {
    const Endpoint hosts[] = {{0x7F000001, 40000}, {0xC0A80A02, 65535}, {0xFFFFFFFF, 1}};
    for (const Endpoint& host : hosts) {
        for (std::size_t length : {0u, 1u, 3u, 128u, 1023u, 1024u}) {
            Bytes payload(length);
            for (std::size_t k = 0; k < length; ++k) payload[k] = static_cast<std::uint8_t>(0xFF - k);
            cap::Segment s;
            s.from = host;
            s.to = {0x7F123456, cap::kUnitPort};
            s.seq = 0xFFFFFFF0u;
            s.ack = 77;
            s.flags = cap::kTcpPsh | cap::kTcpAck;
            s.ip_id = 0xABCD;
            s.payload = payload.data();
            s.length = payload.size();
            const Parsed p = Parse(cap::EncodeSegment(s));
            EXPECT_EQ(p.from, s.from);
            EXPECT_EQ(p.to, s.to);
            EXPECT_EQ(p.seq, s.seq);
            EXPECT_EQ(p.ack, 77u);
            EXPECT_EQ(p.payload, payload);
        }
    }
}

// Byte streams of each direction, reassembled from segments by their sequence numbers relative
// to the SYN's.
struct Reassembly {
    std::uint32_t isn[2] = {0, 0};
    Bytes stream[2];
    std::uint32_t next[2] = {0, 0};  // the next sequence number expected from each side
    bool fin[2] = {false, false};
};

void Feed(Reassembly& r, const std::vector<Bytes>& datagrams, const Endpoint& host) {
    for (const Bytes& d : datagrams) {
        const Parsed p = Parse(d);
        const int side = p.from == host ? 0 : 1;
        if ((p.flags & cap::kTcpSyn) != 0) {
            r.isn[side] = p.seq;
            r.next[side] = p.seq + 1;
        } else {
            EXPECT_EQ(p.seq, r.next[side]) << "a gap or an overlap in side " << side << "'s stream";
            r.stream[side].insert(r.stream[side].end(), p.payload.begin(), p.payload.end());
            r.next[side] += static_cast<std::uint32_t>(p.payload.size()) + ((p.flags & cap::kTcpFin) != 0 ? 1 : 0);
            if ((p.flags & cap::kTcpFin) != 0) r.fin[side] = true;
        }
        // Every segment after the first acknowledges all the other side has sent.
        if ((p.flags & cap::kTcpAck) != 0) {
            EXPECT_EQ(p.ack, r.next[1 - side]);
        }
        if (p.flags == cap::kTcpSyn) {
            EXPECT_EQ(p.ack, 0u);
        }
    }
}

TEST(TcpConversation, StreamsReassembleExactlyAcrossTheSequenceWrap) {
    const Endpoint host{0x7F000001, 51000}, unit{0x7F4A0102, cap::kUnitPort};
    // Initial sequence numbers just below the wrap, so the byte counts run through zero.
    TcpConversation c(host, unit, 0xFFFFFF80u, 0xFFFFFFFEu);
    Reassembly r;
    const auto open = c.Open();
    ASSERT_EQ(open.size(), 3u);
    EXPECT_EQ(Parse(open[0]).flags, cap::kTcpSyn);
    EXPECT_EQ(Parse(open[1]).flags, cap::kTcpSyn | cap::kTcpAck);
    EXPECT_EQ(Parse(open[2]).flags, cap::kTcpAck);
    Feed(r, open, host);
    EXPECT_EQ(r.isn[0], 0xFFFFFF80u);
    EXPECT_EQ(r.isn[1], 0xFFFFFFFEu);

    // Requests of 128 bytes, replies of various lengths (a reply may also arrive in pieces).
    Bytes sent[2];
    const std::size_t replies[] = {3, 1024, 1, 128, 0, 700};
    for (std::size_t i = 0; i < std::size(replies); ++i) {
        Bytes request(128, static_cast<std::uint8_t>(i));
        request[0] = 0xF0;
        Bytes reply(replies[i], static_cast<std::uint8_t>(0x80 + i));
        Feed(r, c.Data(true, request.data(), request.size()), host);
        Feed(r, c.Data(false, reply.data(), reply.size()), host);
        sent[0].insert(sent[0].end(), request.begin(), request.end());
        sent[1].insert(sent[1].end(), reply.begin(), reply.end());
    }
    EXPECT_EQ(c.Data(false, nullptr, 0).size(), 0u);  // nothing to send, no segment
    Feed(r, c.Close(), host);
    EXPECT_EQ(r.stream[0], sent[0]);
    EXPECT_EQ(r.stream[1], sent[1]);
    EXPECT_TRUE(r.fin[0]);
    EXPECT_TRUE(r.fin[1]);
    EXPECT_EQ(c.NextSeq(true), static_cast<std::uint32_t>(0xFFFFFF80u + 1 + sent[0].size() + 1));
    EXPECT_EQ(c.NextSeq(false), static_cast<std::uint32_t>(0xFFFFFFFEu + 1 + sent[1].size() + 1));
}

TEST(TcpConversation, PayloadsBeyondOneDatagramAreSplit) {
    const Endpoint host{0x7F000001, 51001}, unit{0x7F4A0103, cap::kUnitPort};
    TcpConversation c(host, unit, 1000, 2000);
    Reassembly r;
    Feed(r, c.Open(), host);
    Bytes big(2 * cap::kMaxSegmentPayload + 5);
    for (std::size_t k = 0; k < big.size(); ++k) big[k] = static_cast<std::uint8_t>(k * 7);
    const auto segments = c.Data(true, big.data(), big.size());
    ASSERT_EQ(segments.size(), 3u);
    for (const Bytes& d : segments) EXPECT_LE(d.size(), 65535u);
    Feed(r, segments, host);
    EXPECT_EQ(r.stream[0], big);
}

namespace roundtrip {

// A whole capture as the library's writer lays it out: section, interface, a conversation's
// packets with their time stamps.
Bytes WriteCapture(const std::vector<std::pair<Bytes, Bytes>>& exchanges, std::uint64_t t0_us) {
    Bytes file;
    pcapng::AppendSectionHeader(file);
    pcapng::AppendInterfaceDescription(file);
    TcpConversation c({0x7F000001, 50123}, {0x7F0A0B0C, cap::kUnitPort}, 0x12345678, 0x9ABCDEF0);
    std::uint64_t t = t0_us;
    const auto put = [&](const std::vector<Bytes>& datagrams) {
        for (const Bytes& d : datagrams) pcapng::AppendEnhancedPacket(file, 0, t, d.data(), d.size());
        t += 100;
    };
    put(c.Open());
    for (const auto& [request, reply] : exchanges) {
        put(c.Data(true, request.data(), request.size()));
        put(c.Data(false, reply.data(), reply.size()));
    }
    put(c.Close());
    return file;
}

// The capture reader takes the writer's files back into the exchanges that were written, with
// their time stamps: the two halves of the format agree.
TEST(PcapngRoundTrip, TheReaderGetsBackEveryExchangeWritten) {
    std::vector<std::pair<Bytes, Bytes>> exchanges;
    for (int i = 0; i < 5; ++i) {
        Bytes request(128, static_cast<std::uint8_t>(i));
        request[0] = i % 2 == 0 ? 0xF0 : 0xF1;
        Bytes reply(i == 3 ? 1024 : 128, static_cast<std::uint8_t>(0x40 + i));
        reply[0] = request[0];
        exchanges.emplace_back(request, reply);
    }
    const std::uint64_t t0 = 1765300000000000ull;  // microseconds
    const Bytes file = WriteCapture(exchanges, t0);
    cap::Capture read;
    std::string error;
    ASSERT_TRUE(cap::ReadCapture(file, read, &error)) << error;
    EXPECT_TRUE(read.warnings.empty()) << read.warnings.front();
    ASSERT_EQ(read.conversations.size(), 1u);
    const cap::Conversation& c = read.conversations[0];
    EXPECT_EQ(c.host, "127.0.0.1");
    EXPECT_EQ(c.host_port, 50123);
    EXPECT_EQ(c.unit, "127.10.11.12");
    EXPECT_FALSE(c.missing_bytes);
    EXPECT_EQ(c.partial_request, 0u);
    ASSERT_EQ(c.exchanges.size(), exchanges.size());
    for (std::size_t i = 0; i < exchanges.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(c.exchanges[i].request, exchanges[i].first);
        EXPECT_EQ(c.exchanges[i].reply, exchanges[i].second);
        // The open takes the first 100 us step; each exchange two more.
        const auto request_us = t0 + 100 * (1 + 2 * i);
        EXPECT_EQ(c.exchanges[i].request_ns, static_cast<std::int64_t>(request_us * 1000));
        EXPECT_EQ(c.exchanges[i].reply_ns, static_cast<std::int64_t>((request_us + 100) * 1000));
    }
}

}  // namespace roundtrip

}  // namespace
