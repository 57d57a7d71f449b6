// Captures of real traffic: tcpdump on the loopback around zelctl runs against simulated units,
// read back by zelctl capture show and stats and by tshark with the dissector zel.lua, which must
// agree frame by frame; and the captures zelctl --capture writes itself, judged by tshark.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "zelctl_harness.h"

namespace zelctltest {
namespace {

constexpr const char* kTcpdump = "/usr/bin/tcpdump";
constexpr const char* kTshark = "/usr/bin/tshark";
constexpr const char* kDissector = ZEL_SOURCE_DIR "/packaging/wireshark/zel.lua";

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

constexpr std::uint16_t kClosedPort = 9;
constexpr std::size_t kPcapHeader = 24;

bool Exists(const char* path) { return std::ifstream(path).good(); }

// tcpdump on the loopback, for the traffic of one unit, written out packet by packet; stopped with SIGINT.
class Tcpdump {
public:
    Tcpdump(const std::string& file, const std::vector<std::string>& units) : err_(file + ".tcpdump.log") {
        std::vector<std::string> argv{kTcpdump, "-i", "lo", "-B", "8192", "-U", "--immediate-mode", "-w", file, "("};
        for (const std::string& u : units) {
            if (argv.back() != "(") argv.push_back("or");
            argv.insert(argv.end(), {"host", u});
        }
        argv.insert(argv.end(), {")", "and", "tcp"});
        child_ = std::make_unique<zeltest::host::Child>(argv, std::vector<std::string>{}, "", err_);
        const std::string& unit = units.front();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until) {
            if (ReadText(err_).find("listening on") != std::string::npos) {
                // "listening on" can come before the first packet is taken: knock on a closed port of
                // the unit's address until tcpdump has written what it saw.
                while (std::chrono::steady_clock::now() < until) {
                    zeltest::host::Close(zeltest::host::Connect(unit, kClosedPort));
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    if (ReadText(file).size() > kPcapHeader) {
                        listening_ = true;
                        return;
                    }
                }
                return;
            }
            if (child_->Wait(0)) break;  // it ended: no permission, no such interface
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    bool Listening() const { return listening_; }
    std::string Log() const { return ReadText(err_); }
    void Stop() {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the last packets through the filter
        child_->Interrupt();
        child_->Wait(10000);
    }

private:
    std::string err_;
    std::unique_ptr<zeltest::host::Child> child_;
    bool listening_ = false;
};

// tshark with a configuration of its own, so that no user profile changes what it shows.
Result Tshark(std::vector<std::string> args, const std::string& home) {
    args.insert(args.begin(), kTshark);
    return RunProgram(args, {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config", "PATH=/usr/bin:/bin"});
}

std::vector<std::vector<std::string>> Rows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::size_t from = 0;
        for (std::size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1)
            fields.push_back(line.substr(from, tab - from));
        fields.push_back(line.substr(from));
        rows.push_back(fields);
    }
    return rows;
}

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!zeltest::host::RunsDebianPrograms()) GTEST_SKIP() << "tcpdump and tshark run on the Linux build host";
        ASSERT_TRUE(Exists(kTcpdump) && Exists(kTshark)) << "install tcpdump and tshark (scripts/install-deps.sh)";
        dir_ = TempPath("capture");
        dir_ = dir_.substr(0, dir_.find_last_of('/'));
    }
    // Runs each command line against `unit` under tcpdump; returns the capture file.
    std::string CaptureOf(const Unit& unit, const std::vector<std::vector<std::string>>& commands,
                          const std::string& name) {
        const std::string file = dir_ + "/" + name;
        Tcpdump dump(file, {unit.ip()});
        EXPECT_TRUE(dump.Listening()) << "tcpdump cannot capture on lo (it needs root or CAP_NET_RAW): " << dump.Log();
        if (!dump.Listening()) return file;
        for (const auto& c : commands) {
            const Result r = unit.Run(c);
            EXPECT_EQ(r.code, 0) << r.err;
        }
        dump.Stop();
        return file;
    }
    std::string dir_;
};

// The unit's replies in one segment each or (split) in three segments 5 ms apart, which both readers
// must put together again.
class CaptureSplitTest : public CaptureTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CaptureSplitTest, ShowAndTheDissectorAgreeFrameByFrame) {
    Unit unit;
    if (GetParam()) {
        zelsim::FaultPlan split;
        split.kind = zelsim::Fault::SplitReply;
        split.split_parts = 3;
        unit.server().SetFaults(split);
    }
    const std::string file = CaptureOf(unit, {{"info"}, {"voa", "set", "--code", "1234", "-c", "2"}}, "info.pcap");
    if (HasFailure()) return;

    const Result show = Zelctl({"--json", "capture", "show", file});
    ASSERT_EQ(show.code, 0) << show.err;
    const nlohmann::json frames = show.Json();
    bool board_id_read = false, voa_write = false;
    std::map<std::uint64_t, std::vector<nlohmann::json>> by_frame;
    for (const auto& f : frames) {
        by_frame[f["frame"].get<std::uint64_t>()].push_back(f);
        EXPECT_EQ(f["unit"], unit.ip());
        if (f["direction"] == "reply" && f.value("register", -1) == 20 && f.contains("value"))
            board_id_read = board_id_read || f["value"] == unit.model().Config().board_id;
        if (f["direction"] == "request" && f.value("register", -1) == 37 && f["select"] == 2)
            voa_write = voa_write || (f["write"] == true && f["value"] == 1234);
    }
    EXPECT_TRUE(board_id_read) << show.out;
    EXPECT_TRUE(voa_write) << show.out;

    // tshark with the dissector: the same frames, registers, values and texts.
    const Result t =
        Tshark({"-X", std::string("lua_script:") + kDissector, "-r", file, "-Y", "zel", "-T", "fields", "-e",
                "frame.number", "-e", "zel.register", "-e", "zel.value", "-e", "zel.reply_to", "-e", "_ws.col.Info"},
               dir_);
    ASSERT_EQ(t.code, 0) << t.err;
    EXPECT_EQ(t.err.find("rror"), std::string::npos) << t.err;
    const auto rows = Rows(t.out);
    ASSERT_EQ(rows.size(), by_frame.size()) << t.out;
    bool tshark_board_id = false, tshark_voa = false;
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 5u);
        const std::uint64_t number = std::stoull(row[0]);
        SCOPED_TRACE("frame " + row[0] + ": " + row[4]);
        ASSERT_EQ(by_frame.count(number), 1u);
        const auto& pdus = by_frame[number];
        ASSERT_EQ(pdus.size(), 1u);  // one frame a segment, with TCP_NODELAY on both sides
        const nlohmann::json& f = pdus[0];
        EXPECT_EQ(row[4], f["text"].get<std::string>());
        EXPECT_EQ(row[1], f.contains("register") ? std::to_string(f["register"].get<int>()) : "");
        EXPECT_EQ(row[2].empty() ? -1 : std::stoi(row[2], nullptr, 16), f.value("value", -1));
        EXPECT_EQ(row[3], f.contains("reply_to") ? std::to_string(f["reply_to"].get<std::uint64_t>()) : "");
        if (row[1] == "20" && !row[2].empty() && std::stoi(row[2], nullptr, 16) == unit.model().Config().board_id)
            tshark_board_id = true;
        if (row[1] == "37" && !row[2].empty() && std::stoi(row[2], nullptr, 16) == 1234) tshark_voa = true;
    }
    EXPECT_TRUE(tshark_board_id);
    EXPECT_TRUE(tshark_voa);

    // Two passes (as Wireshark's window redraws frames) show every frame as the first pass did.
    const Result twice =
        Tshark({"-2", "-X", std::string("lua_script:") + kDissector, "-r", file, "-Y", "zel", "-T", "fields", "-e",
                "frame.number", "-e", "zel.register", "-e", "zel.value", "-e", "zel.reply_to", "-e", "_ws.col.Info"},
               dir_);
    ASSERT_EQ(twice.code, 0) << twice.err;
    EXPECT_EQ(twice.out, t.out);
}

INSTANTIATE_TEST_SUITE_P(Replies, CaptureSplitTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Split" : "Whole"; });

// An EEPROM byte transfer reads as the byte it reaches, in both readers.
TEST_F(CaptureTest, EepromByteTransferReadsAsTheByte) {
    Unit unit;
    const std::string file = CaptureOf(unit, {{"eeprom", "write", "0x2008", "0x12"}}, "eeprom.pcap");
    if (HasFailure()) return;
    const Result show = Zelctl({"capture", "show", file});
    ASSERT_EQ(show.code, 0) << show.err;
    EXPECT_NE(show.out.find("write s0 r11 (EEPROM data) EEPROM[0x2008] = 0x12"), std::string::npos) << show.out;
    EXPECT_EQ(unit.model().Eeprom(0x2008), 0x12);
    const Result t = Tshark({"-X", std::string("lua_script:") + kDissector, "-r", file, "-Y", "zel", "-T", "fields",
                             "-e", "_ws.col.Info", "-e", "zel.eeprom_address"},
                            dir_);
    ASSERT_EQ(t.code, 0) << t.err;
    EXPECT_NE(t.out.find("EEPROM[0x2008] = 0x12\t0x00002008"), std::string::npos) << t.out;
}

TEST_F(CaptureTest, StatsCountTheExchangesShowLists) {
    Unit unit;
    const std::string file = CaptureOf(unit, {{"info"}, {"power", "-c", "1", "--raw"}}, "stats.pcap");
    if (HasFailure()) return;
    const Result show = Zelctl({"--json", "capture", "show", file});
    const Result stats = Zelctl({"--json", "capture", "stats", file});
    ASSERT_EQ(show.code, 0) << show.err;
    ASSERT_EQ(stats.code, 0) << stats.err;
    std::map<std::string, int> requests;
    int frames = 0;
    for (const auto& f : show.Json()) {
        ++frames;
        if (f["direction"] != "request") continue;
        std::string kind = f["kind"];
        if (f.contains("register"))
            kind += ": " + (f["register_name"].is_null() ? "r" + std::to_string(f["register"].get<int>())
                                                         : f["register_name"].get<std::string>());
        ++requests[kind];
    }
    int total = 0;
    for (const auto& row : stats.Json()) {
        if (row["kind"] == "all") {
            EXPECT_EQ(row["frames"], frames);
            continue;
        }
        EXPECT_EQ(row["exchanges"], requests[row["kind"]]) << row["kind"];
        EXPECT_GE(row["mean_ms"].get<double>(), 0.0);
        EXPECT_LE(row["mean_ms"].get<double>(), row["max_ms"].get<double>());
        total += row["exchanges"].get<int>();
    }
    int listed = 0;
    for (const auto& [kind, n] : requests) listed += n;
    EXPECT_EQ(total, listed);
    EXPECT_GT(requests["register read: optical power"], 0);
}

// zel-unit-sim --replay on an address of its own, its log kept; stopped by its PID.
class ReplaySim {
public:
    ReplaySim(const std::string& capture, const std::string& log, std::vector<std::string> extra = {})
        : ip_(RandomLoopback()), log_(log) {
        std::vector<std::string> argv{ZEL_UNIT_SIM_EXE, "--listen", ip_, "--replay", capture};
        argv.insert(argv.end(), extra.begin(), extra.end());
        child_ = std::make_unique<zeltest::host::Child>(argv, std::vector<std::string>{}, "", log_);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until && !child_->Wait(0)) {
            const zeltest::host::Socket s = zeltest::host::Connect(ip_, 6653);
            if (s != zeltest::host::kNoSocket) {
                zeltest::host::Close(s);  // a connection without a request takes no captured conversation
                up_ = true;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~ReplaySim() {
        child_->RequestStop();
        child_->Wait(10000);
    }
    bool Up() const { return up_; }
    const std::string& ip() const { return ip_; }
    std::string Log() const { return ReadText(log_); }
    std::optional<int> Exit(int timeout_ms) { return child_->Wait(timeout_ms); }

private:
    std::string ip_, log_;
    std::unique_ptr<zeltest::host::Child> child_;
    bool up_ = false;
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

TEST_F(CaptureTest, AReplayAnswersTheCapturedCommandsAlikeAndNamesTheFirstDifference) {
    const std::string backup = dir_ + "/backup.json", replayed_backup = dir_ + "/replayed.json";
    const std::vector<std::vector<std::string>> commands = {
        {"info"},
        {"calib", "backup", backup},
        {"voa", "sweep", "-c", "1", "--from", "0", "--to", "2", "--step", "1"},
    };
    std::vector<std::string> captured;
    std::string file, unit_ip;
    {
        Unit unit;
        unit_ip = unit.ip();
        file = dir_ + "/session.pcap";
        Tcpdump dump(file, {unit.ip()});
        ASSERT_TRUE(dump.Listening()) << "tcpdump cannot capture on lo (it needs root or CAP_NET_RAW): " << dump.Log();
        for (const auto& c : commands) {
            const Result r = unit.Run(c);
            ASSERT_EQ(r.code, 0) << r.err;
            captured.push_back(r.out);
        }
        dump.Stop();
    }  // the simulated unit is gone

    ReplaySim sim(file, dir_ + "/replay.log");
    ASSERT_TRUE(sim.Up()) << sim.Log();
    for (std::size_t i = 0; i < commands.size(); ++i) {
        std::vector<std::string> args = commands[i];
        if (args[0] == "calib") args[2] = replayed_backup;
        const Result r = Zelctl([&] {
            std::vector<std::string> a{"--unit", sim.ip()};
            a.insert(a.end(), args.begin(), args.end());
            return a;
        }());
        ASSERT_EQ(r.code, 0) << args[0] << ": " << r.err << "\n" << sim.Log();
        EXPECT_EQ(Replace(r.out, sim.ip(), unit_ip), Replace(captured[i], backup, replayed_backup)) << args[0];
    }
    // Byte for byte but the time the backup was made, which its context names.
    const auto made_at = [](const std::string& text) {
        return std::regex_replace(text, std::regex(R"("time": "[^"]*")"), R"("time": "")");
    };
    EXPECT_EQ(made_at(Replace(ReadText(replayed_backup), sim.ip(), unit_ip)), made_at(ReadText(backup)));

    // Past the capture: the next command meets no captured connection.
    const Result past = Zelctl({"--unit", sim.ip(), "--timeout", "2000", "info"});
    EXPECT_NE(past.code, 0);
    EXPECT_NE(sim.Log().find("the capture holds 3 connections, no more; received read s0 r20 (board ID)"),
              std::string::npos)
        << sim.Log();
}

TEST_F(CaptureTest, AReplayClosesAtTheFirstDifferingRequestOrFallsBackToTheSimulatedUnit) {
    std::string file;
    {
        Unit unit;
        file = CaptureOf(unit, {{"info"}}, "info-only.pcap");
        if (HasFailure()) return;
    }
    std::vector<nlohmann::json> requests;  // the captured requests in order
    {
        const Result show = Zelctl({"--json", "capture", "show", file});
        ASSERT_EQ(show.code, 0) << show.err;
        for (const auto& f : show.Json())
            if (f["direction"] == "request") requests.push_back(f);
    }
    for (bool fallback : {false, true}) {
        SCOPED_TRACE(fallback ? "with fallback" : "without fallback");
        ReplaySim sim(file, dir_ + (fallback ? "/fallback.log" : "/differs.log"),
                      fallback ? std::vector<std::string>{"--replay-fallback"} : std::vector<std::string>{});
        ASSERT_TRUE(sim.Up()) << sim.Log();
        // A VOA code write where the capture has info's first request.
        const Result r = Zelctl({"--unit", sim.ip(), "--timeout", "2000", "voa", "set", "--code", "7", "-c", "0"});
        const std::string log = sim.Log();
        // voa set opens the link as info does; the first request past that is the first to differ.
        const std::string marker = "), request ";
        const std::size_t at = log.find(marker);
        ASSERT_NE(at, std::string::npos) << log;
        const std::size_t k = std::stoul(log.substr(at + marker.size()));
        ASSERT_GT(k, 1u);
        ASSERT_LE(k, requests.size());
        const std::string named = "request " + std::to_string(k) + " differs from captured frame " +
                                  std::to_string(requests[k - 1]["frame"].get<int>()) + " at byte 4: captured " +
                                  requests[k - 1]["text"].get<std::string>() + ", received write s0 r37 (VOA code)";
        EXPECT_NE(log.find(named), std::string::npos) << log;
        EXPECT_NE(log.find("(VOA code) = 0x0007"), std::string::npos) << log;
        if (fallback) {
            EXPECT_EQ(r.code, 0) << r.err;
            EXPECT_NE(log.find("the simulated unit answers from here on"), std::string::npos);
        } else {
            EXPECT_NE(r.code, 0) << r.out;
            EXPECT_NE(log.find("; closing"), std::string::npos);
        }
    }
}

TEST_F(CaptureTest, AReplayOfSeveralUnitsPlaysTheUnitNamed) {
    const std::string file = dir_ + "/two-units.pcap";
    std::string a_ip, b_ip, b_info;
    {
        Unit a(Board(6)), b(Board(4));
        a_ip = a.ip();
        b_ip = b.ip();
        Tcpdump dump(file, {a_ip, b_ip});
        ASSERT_TRUE(dump.Listening()) << dump.Log();
        ASSERT_EQ(a.Run({"info"}).code, 0);
        const Result r = b.Run({"info"});
        ASSERT_EQ(r.code, 0) << r.err;
        b_info = r.out;
        dump.Stop();
    }
    {
        ReplaySim unnamed(file, dir_ + "/unnamed.log");
        EXPECT_EQ(unnamed.Exit(10000), 2);
        EXPECT_NE(unnamed.Log().find("several units (" + a_ip + ", " + b_ip + ")"), std::string::npos) << unnamed.Log();
    }
    {
        ReplaySim absent(file, dir_ + "/absent.log", {"--replay-unit", "127.1.2.3"});
        EXPECT_EQ(absent.Exit(10000), 2);
        EXPECT_NE(absent.Log().find("no unit 127.1.2.3 (its units: " + a_ip + ", " + b_ip + ")"), std::string::npos)
            << absent.Log();
    }
    ReplaySim sim(file, dir_ + "/unit-b.log", {"--replay-unit", b_ip});
    ASSERT_TRUE(sim.Up()) << sim.Log();
    const Result r = Zelctl({"--unit", sim.ip(), "info"});
    ASSERT_EQ(r.code, 0) << r.err << sim.Log();
    EXPECT_EQ(Replace(r.out, sim.ip(), b_ip), b_info);
}

// The register and value of every frame tshark decodes with the dissector, in order.
std::vector<std::vector<std::string>> DissectedFields(const std::string& file, const std::string& home) {
    const Result t = Tshark({"-X", std::string("lua_script:") + kDissector, "-r", file, "-Y", "zel", "-T", "fields",
                             "-e", "zel.register", "-e", "zel.value", "-e", "_ws.col.Info"},
                            home);
    EXPECT_EQ(t.code, 0) << t.err;
    return Rows(t.out);
}

// zelctl --capture and tcpdump of the same run decode to the same fields (ZelctlCapture.ACaptureOfItsOwnReplays
// replays such a file).
TEST_F(CaptureTest, AZelctlCaptureDecodesAsATcpdumpCaptureDoes) {
    const std::string dumped = dir_ + "/tcpdump.pcap", written = dir_ + "/zelctl.pcapng";
    {
        Unit unit;
        Tcpdump dump(dumped, {unit.ip()});
        ASSERT_TRUE(dump.Listening()) << dump.Log();
        const Result r = unit.Run({"--capture", written, "info"});
        ASSERT_EQ(r.code, 0) << r.err;
        dump.Stop();
    }
    const auto from_tcpdump = DissectedFields(dumped, dir_);
    const auto from_zelctl = DissectedFields(written, dir_);
    EXPECT_GT(from_zelctl.size(), 10u);
    EXPECT_EQ(from_zelctl, from_tcpdump);
}

TEST(CaptureCommands, AFileThatIsNoCaptureIsAFileError) {
    const std::string path = TempPath("not-a-capture.pcap");
    std::ofstream(path) << "no capture here, just text\n";
    for (const char* command : {"show", "stats"}) {
        const Result r = Zelctl({"capture", command, path});
        EXPECT_EQ(r.code, 3) << command;
        EXPECT_NE(r.err.find("neither a pcap nor a pcapng file"), std::string::npos) << r.err;
        const Result missing = Zelctl({"capture", command, path + ".missing"});
        EXPECT_EQ(missing.code, 3) << command;
    }
}

// ---- zelctl --capture: the library's own captures, judged by tshark ----
//
// A capture of a command against zel-unit-sim reads without warnings, malformed packets or TCP
// analysis flags (checksums checked), each unit is one TCP conversation whose reassembled streams
// are exactly the frames zelctl --trace printed, several units of a station go into one file,
// capture show reads it back, and a file that cannot be written is one warning.

bool HaveTshark() { return zeltest::host::RunsDebianPrograms() && Exists(kTshark); }

// tshark reading a capture of zelctl --capture with a configuration folder of its own, port 6653
// not taken for OpenFlow, and both checksums checked.
Result TsharkRead(const std::string& file, std::vector<std::string> args) {
    const std::string home = std::filesystem::path(file).parent_path().string() + "/tshark-home";
    std::filesystem::create_directories(home);
    std::vector<std::string> all{
        "-r", file, "--disable-protocol", "openflow", "-o", "ip.check_checksum:TRUE", "-o", "tcp.check_checksum:TRUE"};
    all.insert(all.end(), args.begin(), args.end());
    return Tshark(all, home);
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
    const Result r = TsharkRead(file, {"-q", "-z", "follow,tcp,raw," + std::to_string(index)});
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
    Result r = TsharkRead(file, {});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Complaints(r.err), "");
    EXPECT_NE(r.out.find("6653"), std::string::npos) << r.out;
    r = TsharkRead(file,
                   {"-Y",
                    "_ws.malformed || _ws.expert.severity >= warning || tcp.analysis.flags || "
                    "(_ws.expert.severity >= note && !tcp.connection.fin_active && !tcp.connection.fin_passive)"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "") << "frames tshark flags";
    EXPECT_EQ(Complaints(r.err), "");
    r = TsharkRead(file, {"-q", "-z", "expert"});
    EXPECT_EQ(r.out.find("Warns"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Errors"), std::string::npos) << r.out;
}

std::set<std::string> StreamIndexes(const std::string& file) {
    const Result r = TsharkRead(file, {"-T", "fields", "-e", "tcp.stream"});
    std::set<std::string> streams;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) streams.insert(line);
    return streams;
}

TEST(ZelctlCapture, InfoReadsCleanlyInTsharkAndReassemblesToTheTracedFrames) {
    if (!HaveTshark()) GTEST_SKIP() << "no Debian tshark here";
    SimProcess sim({"--board-id", "4321"});
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
    // capture show reads it back: a request line per frame sent.
    const Result show = Zelctl({"--json", "capture", "show", file});
    ASSERT_EQ(show.code, 0) << show.err;
    std::size_t requests = 0;
    for (const auto& f : show.Json()) {
        EXPECT_EQ(f["unit"], sim.ip());
        requests += f["direction"] == "request";
    }
    EXPECT_EQ(requests * 128, streams.sent.size());
    // With the dissector: the board-ID read (register 20) with the board ID the simulator was given.
    const Result t = TsharkRead(file, {"-X", std::string("lua_script:") + kDissector, "-Y", "zel", "-T", "fields", "-e",
                                       "zel.register", "-e", "zel.value"});
    ASSERT_EQ(t.code, 0) << t.err;
    bool board_id = false;
    for (const auto& row : Rows(t.out))
        board_id |= row.size() == 2 && row[0] == "20" && !row[1].empty() && std::stoi(row[1], nullptr, 16) == 4321;
    EXPECT_TRUE(board_id) << t.out;
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

// The simulator replays a capture of --capture as it replays tcpdump's.
TEST(ZelctlCapture, ACaptureOfItsOwnReplays) {
    const std::string file = TempPath("replayed.pcapng");
    std::string captured, unit_ip;
    {
        Unit unit(Board(4));
        unit_ip = unit.ip();
        const Result r = unit.Run({"--capture", file, "info"});
        ASSERT_EQ(r.code, 0) << r.err;
        captured = r.out;
    }
    ReplaySim sim(file, file + ".log");
    ASSERT_TRUE(sim.Up()) << sim.Log();
    const Result r = Zelctl({"--unit", sim.ip(), "info"});
    ASSERT_EQ(r.code, 0) << r.err << sim.Log();
    EXPECT_EQ(Replace(r.out, sim.ip(), unit_ip), captured);
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
