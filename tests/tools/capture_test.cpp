// Captures of real traffic: tcpdump on the loopback around zelctl runs against simulated units,
// read back by zelctl capture show and stats and by tshark with the dissector zel.lua, which must
// agree frame by frame.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
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

bool Exists(const char* path) { return std::ifstream(path).good(); }

// tcpdump on the loopback, for the traffic of one unit, written out packet by packet; stopped with SIGINT.
class Tcpdump {
public:
    Tcpdump(const std::string& file, const std::string& unit) : err_(file + ".tcpdump.log") {
        child_ = std::make_unique<zeltest::host::Child>(
            std::vector<std::string>{kTcpdump, "-i", "lo", "-U", "--immediate-mode", "-w", file, "host", unit, "and",
                                     "tcp", "port", "6653"},
            std::vector<std::string>{}, "", err_);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until) {
            if (ReadText(err_).find("listening on") != std::string::npos) {
                listening_ = true;
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
        Tcpdump dump(file, unit.ip());
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

TEST_F(CaptureTest, ShowAndTheDissectorAgreeFrameByFrame) {
    Unit unit;
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
}

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

}  // namespace
}  // namespace zelctltest
