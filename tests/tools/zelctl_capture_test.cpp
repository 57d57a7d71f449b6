// zelctl --capture judged by tshark: a capture of a command against zel-unit-sim reads without
// warnings, malformed packets or TCP analysis flags (checksums checked), each unit is one TCP
// conversation whose reassembled streams are exactly the frames zelctl --trace printed, several
// units of a station go into one file, and a file that cannot be written is one warning.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "zelctl_harness.h"

namespace zelctltest {
namespace {

constexpr const char* kTshark = "/usr/bin/tshark";

bool HaveTshark() { return zeltest::host::RunsDebianPrograms() && std::filesystem::exists(kTshark); }

// tshark reading `file`, with a configuration folder of its own (no user profile changes what it
// reports), port 6653 not taken for OpenFlow, and both checksums checked.
Result Tshark(const std::string& file, std::vector<std::string> args) {
    const std::string home = std::filesystem::path(file).parent_path().string() + "/tshark-home";
    std::filesystem::create_directories(home);
    std::vector<std::string> argv{kTshark,
                                  "-r",
                                  file,
                                  "--disable-protocol",
                                  "openflow",
                                  "-o",
                                  "ip.check_checksum:TRUE",
                                  "-o",
                                  "tcp.check_checksum:TRUE"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, {"HOME=" + home, "XDG_CONFIG_HOME=" + home, "LC_ALL=C", "PATH=/usr/bin:/bin"});
}

// tshark's stderr without its note about running as root.
std::string Complaints(const std::string& err) {
    std::istringstream in(err);
    std::string line, rest;
    while (std::getline(in, line)) {
        if (line.find("Running as user") == std::string::npos) rest += line + "\n";
    }
    return rest;
}

std::vector<std::uint8_t> FromHex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t k = 0; k + 1 < hex.size(); k += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(k, 2), nullptr, 16)));
    return bytes;
}

// Both directions of one unit's traffic.
struct Streams {
    std::vector<std::uint8_t> sent, received;
};

// zelctl --trace lines ("[NAME ]>> hex hex ..." and "<< ..."), by unit name ("" for one unit).
std::map<std::string, Streams> TracedStreams(const std::string& err) {
    std::map<std::string, Streams> out;
    std::istringstream in(err);
    std::string line;
    while (std::getline(in, line)) {
        const auto mark = line.find(">>") != std::string::npos ? line.find(">>") : line.find("<<");
        if (mark == std::string::npos) continue;
        const std::string name = mark == 0 ? "" : line.substr(0, mark - 1);
        std::string hex;
        for (char c : line.substr(mark + 2))
            if (c != ' ') hex += c;
        const auto bytes = FromHex(hex);
        auto& s = line[mark] == '>' ? out[name].sent : out[name].received;
        s.insert(s.end(), bytes.begin(), bytes.end());
    }
    return out;
}

// tshark's follow of TCP stream `index`: the unit's address (node 1) and both byte streams.
std::pair<std::string, Streams> Follow(const std::string& file, int index) {
    const Result r = Tshark(file, {"-q", "-z", "follow,tcp,raw," + std::to_string(index)});
    EXPECT_EQ(r.code, 0) << r.err;
    std::pair<std::string, Streams> out;
    std::istringstream in(r.out);
    std::string line;
    bool data = false;
    while (std::getline(in, line)) {
        if (line.rfind("Node 1: ", 0) == 0) {
            out.first = line.substr(8, line.rfind(':') - 8);
            data = true;
            continue;
        }
        if (!data || line.empty() || line[0] == '=') continue;
        const bool from_unit = line[0] == '\t';
        const auto bytes = FromHex(from_unit ? line.substr(1) : line);
        auto& s = from_unit ? out.second.received : out.second.sent;
        s.insert(s.end(), bytes.begin(), bytes.end());
    }
    return out;
}

// Nothing tshark would point at: no malformed packet, no warning or error, no TCP analysis flag
// (previous segment not captured, retransmission, duplicate ACK, ...), no note but the two that
// every closing connection carries.
void ExpectCleanCapture(const std::string& file) {
    Result r = Tshark(file, {});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Complaints(r.err), "");
    EXPECT_NE(r.out.find("6653"), std::string::npos) << r.out;
    r = Tshark(file, {"-Y",
                      "_ws.malformed || _ws.expert.severity >= warning || tcp.analysis.flags || "
                      "(_ws.expert.severity >= note && !tcp.connection.fin_active && !tcp.connection.fin_passive)"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "") << "frames tshark flags";
    EXPECT_EQ(Complaints(r.err), "");
    r = Tshark(file, {"-q", "-z", "expert"});
    EXPECT_EQ(r.out.find("Warns"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Errors"), std::string::npos) << r.out;
}

std::set<std::string> StreamIndexes(const std::string& file) {
    const Result r = Tshark(file, {"-T", "fields", "-e", "tcp.stream"});
    std::set<std::string> streams;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) streams.insert(line);
    return streams;
}

TEST(ZelctlCapture, InfoReadsCleanlyInTsharkAndReassemblesToTheTracedFrames) {
    if (!HaveTshark()) GTEST_SKIP() << "no Debian tshark here";
    SimProcess sim({});
    const std::string file = TempPath("info.pcapng");
    const Result r = Zelctl({"--unit", sim.ip(), "--trace", "--capture", file, "info"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto traced = TracedStreams(r.err);
    ASSERT_EQ(traced.size(), 1u);
    ASSERT_FALSE(traced.begin()->second.sent.empty());
    ExpectCleanCapture(file);
    EXPECT_EQ(StreamIndexes(file).size(), 1u);
    const auto [unit, streams] = Follow(file, 0);
    EXPECT_EQ(unit, sim.ip());
    EXPECT_EQ(streams.sent, traced.begin()->second.sent);
    EXPECT_EQ(streams.received, traced.begin()->second.received);
}

TEST(ZelctlCapture, AStationsUnitsShareOneFileAConversationEach) {
    if (!HaveTshark()) GTEST_SKIP() << "no Debian tshark here";
    SimProcess sim({}, 2);
    const std::string station = TempPath("capture-station.toml");
    std::ofstream(station) << "[units.bay1]\naddress = \"" << sim.ips()[0] << "\"\n[units.bay2]\naddress = \""
                           << sim.ips()[1] << "\"\n";
    const std::map<std::string, std::string> address_of{{"bay1", sim.ips()[0]}, {"bay2", sim.ips()[1]}};
    for (const char* jobs : {"2", "1"}) {  // in parallel, and one after the other
        SCOPED_TRACE(jobs);
        const std::string file = TempPath(std::string("station-") + jobs + ".pcapng");
        const Result r = Zelctl({"--station", station, "--unit", "all", "--jobs", jobs, "--trace", "--capture", file,
                                 "voa", "set", "-c", "1", "--code", "700"});
        ASSERT_EQ(r.code, 0) << r.err;
        const auto traced = TracedStreams(r.err);
        ASSERT_EQ(traced.size(), 2u) << r.err.substr(0, 500);
        ExpectCleanCapture(file);
        ASSERT_EQ(StreamIndexes(file).size(), 2u);
        std::set<std::string> units;
        for (int index = 0; index < 2; ++index) {
            const auto [unit, streams] = Follow(file, index);
            units.insert(unit);
            for (const auto& [name, address] : address_of) {
                if (address != unit) continue;
                EXPECT_EQ(streams.sent, traced.at(name).sent) << name;
                EXPECT_EQ(streams.received, traced.at(name).received) << name;
            }
        }
        EXPECT_EQ(units, (std::set<std::string>{sim.ips()[0], sim.ips()[1]}));
    }
}

TEST(ZelctlCapture, AFileThatCannotBeWrittenIsOneWarningAndTheCommandGoesOn) {
    SimProcess sim({}, 2);
    const std::string file = TempPath("x") + "/no-such-folder/x.pcapng";
    const Result r = Zelctl({"--unit", sim.ips()[0] + "," + sim.ips()[1], "--capture", file, "info"});
    EXPECT_EQ(r.code, 0) << r.err;
    const std::string warning = "zelctl: warning: cannot capture to " + file + ": the capture file cannot be written\n";
    EXPECT_EQ(r.err, warning);
    EXPECT_NE(r.out.find(sim.ips()[1]), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(file));
}

}  // namespace
}  // namespace zelctltest
