// Runs the built zelctl clock-plan end to end and checks its CSV against the library's list.

#include "zel_clock/si5346_plan.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct RunResult {
    int exit_code;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

RunResult RunZelctl(const std::string& args) {
    const auto err_path = std::filesystem::temp_directory_path() / ("zelctl_clock_err_" + std::to_string(::getpid()));
    const std::string command = std::string(ZELCTL_PATH) + " " + args + " 2>" + err_path.string();
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {-1, "", ""};
    std::string out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int status = pclose(pipe);
    std::string err = ReadFile(err_path);
    std::filesystem::remove(err_path);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, err};
}

std::string ExpectedCsv(double input_a, double out_a, double input, double out_b, int mode, int board) {
    SI5346_API plan;
    EXPECT_EQ(plan.PlanFromDoubles(input_a, out_a, input, out_b, mode, board), PlanStatus::Planned);
    std::string csv = "Address,Data\n";
    char line[32];
    for (std::size_t i = 0; i < plan.Addresses().size(); ++i) {
        std::snprintf(line, sizeof line, "0x%04X,0x%02X\n", plan.Addresses()[i], plan.Values()[i]);
        csv += line;
    }
    return csv;
}

class ZelctlClockPlan : public ::testing::Test {
protected:
    std::filesystem::path dir;
    void SetUp() override {
        dir =
            std::filesystem::temp_directory_path() / ("zelctl_clock_" + std::to_string(::getpid()) + "_" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
};

TEST_F(ZelctlClockPlan, WritesTheRegisterListAndPrintsAchievedFrequencies) {
    const auto csv = dir / "plan.csv";
    const RunResult r = RunZelctl("clock-plan --mode 1 --input 24 --out-a 100 --out-b 100 --output " + csv.string());
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("output A: 100 MHz, 0 ppm from the request\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("output B: 99.99999999992308 MHz, -7.692e-07 ppm from the request\n"), std::string::npos)
        << r.out;
    const std::string text = ReadFile(csv);
    EXPECT_EQ(text, ExpectedCsv(0, 100, 24, 100, 1, 0));
    EXPECT_EQ(text.rfind("Address,Data\n0x0B24,0xD8\n0x0B25,0x00\n", 0), 0U);
    EXPECT_NE(text.find("\n0x0208,0x0C\n"), std::string::npos);  // loop A input divider 12
    EXPECT_NE(text.find("\n0x021C,0x0D\n"), std::string::npos);  // loop B input divider 13
}

TEST_F(ZelctlClockPlan, WithoutOutputTheListGoesToStandardOutput) {
    const RunResult r = RunZelctl("clock-plan --mode 0 --board 7777 --input-a 40 --input 24 --out-a 100 --out-b 100");
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, ExpectedCsv(40, 100, 24, 100, 0, 7777));
    const RunResult mode2 = RunZelctl("clock-plan --mode 2 --input 24 --out-a 125 --out-b 156.25 --board 7310");
    ASSERT_EQ(mode2.exit_code, 0);
    EXPECT_EQ(mode2.out, ExpectedCsv(0, 125, 24, 156.25, 2, 7310));
}

TEST_F(ZelctlClockPlan, JsonCarriesTheFrequenciesAndTheRegisterList) {
    RunResult r = RunZelctl("--json clock-plan --mode 2 --input 24 --out-a 125 --out-b 156.25 --board 7310");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");  // nothing but the document, which goes to standard output
    const nlohmann::json doc = nlohmann::json::parse(r.out);
    EXPECT_DOUBLE_EQ(doc["output_a_mhz"].get<double>(), 125.0);
    EXPECT_DOUBLE_EQ(doc["output_b_mhz"].get<double>(), 156.25);
    std::string csv = "Address,Data\n";
    char line[32];
    for (const auto& reg : doc["registers"]) {
        std::snprintf(line, sizeof line, "0x%04X,0x%02X\n", reg["address"].get<unsigned>(),
                      reg["data"].get<unsigned>());
        csv += line;
    }
    EXPECT_EQ(csv, ExpectedCsv(0, 125, 24, 156.25, 2, 7310));

    // With --output the list goes to the file and the document says where.
    const auto file = dir / "plan.csv";
    r = RunZelctl("--json clock-plan --mode 1 --input 24 --out-a 100 --out-b 100 --output " + file.string());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const nlohmann::json written = nlohmann::json::parse(r.out);
    EXPECT_EQ(written["file"], file.string());
    EXPECT_EQ(written["writes"], 378);
    EXPECT_FALSE(written.contains("registers"));
    EXPECT_EQ(ReadFile(file), ExpectedCsv(0, 100, 24, 100, 1, 0));
}

// Each output's deviation from its request, (achieved - requested) / requested * 1e6: 0 only for a plan
// that meets the request exactly, and a miss too small for a double's MHz still shows.
TEST_F(ZelctlClockPlan, EachOutputCarriesItsDeviationFromTheRequestInPpm) {
    const struct {
        std::string args;
        double request_a, request_b;
        bool exact_a, exact_b;
    } cases[] = {
        {"--mode 1 --input 24 --out-a 100 --out-b 100", 100, 100, true, false},
        {"--mode 1 --input 24 --out-a 100 --out-b 122.88", 100, 122.88, true, false},
        {"--mode 2 --input 24 --out-a 125 --out-b 156.25 --board 7310", 125, 156.25, true, true},
        {"--mode 1 --input 24 --out-a 33.333 --out-b 77.7", 33.333, 77.7, false, false},
    };
    for (const auto& c : cases) {
        const RunResult r = RunZelctl("--json clock-plan " + c.args + " --output " + (dir / "plan.csv").string());
        ASSERT_EQ(r.exit_code, 0) << c.args << ": " << r.err;
        const nlohmann::json doc = nlohmann::json::parse(r.out);
        const struct {
            const char* key;
            double request;
            bool exact;
        } outputs[] = {{"output_a", c.request_a, c.exact_a}, {"output_b", c.request_b, c.exact_b}};
        for (const auto& out : outputs) {
            SCOPED_TRACE(c.args + " " + out.key);
            const double ppm = doc["deviation_ppm"][out.key].get<double>();
            const double achieved = doc[std::string(out.key) + "_mhz"].get<double>();
            if (out.exact) {
                EXPECT_EQ(ppm, 0.0);
                EXPECT_EQ(achieved, out.request);
            } else {
                EXPECT_NE(ppm, 0.0);
                // As far as a double's achieved frequency can tell, with its sign.
                EXPECT_NEAR(ppm, (achieved - out.request) / out.request * 1e6, 1e-8);
            }
        }
        // The text shows the same deviations, beside each frequency.
        const RunResult text = RunZelctl("clock-plan " + c.args + " --output " + (dir / "plan.csv").string());
        ASSERT_EQ(text.exit_code, 0) << text.err;
        for (const auto& out : outputs) {
            const std::string line = std::string("output ") + (out.key[7] == 'a' ? "A" : "B") + ": ";
            const std::size_t at = text.out.find(line);
            ASSERT_NE(at, std::string::npos) << text.out;
            const std::string rest = text.out.substr(at, text.out.find('\n', at) - at);
            EXPECT_EQ(rest.find(", 0 ppm from the request") != std::string::npos, out.exact) << rest;
            EXPECT_NE(rest.find(" ppm from the request"), std::string::npos) << rest;
        }
    }
    // A miss below a double's last digit of the MHz: 33.333 MHz shown, yet not exactly met.
    const nlohmann::json tiny =
        nlohmann::json::parse(RunZelctl("--json clock-plan --mode 1 --input 24 --out-a 33.333 --out-b 77.7").out);
    EXPECT_EQ(tiny["output_a_mhz"].get<double>(), 33.333);
    EXPECT_LT(tiny["deviation_ppm"]["output_a"].get<double>(), 0.0);
    EXPECT_GT(tiny["deviation_ppm"]["output_a"].get<double>(), -1e-9);
}

TEST_F(ZelctlClockPlan, FailuresExitWithTheSharedCodesAndWriteNothing) {
    const auto csv = dir / "plan.csv";
    const std::string out = " --output " + csv.string();
    // Frequencies that cannot be planned and malformed arguments are argument errors (2).
    for (const std::string args :
         {"--mode 1 --input 24 --out-a 800 --out-b 100", "--mode 1 --input 24 --out-a 100 --out-b 2000",
          "--mode 3 --input 24 --out-a 100 --out-b 100", "--mode 1 --input 24MHz --out-a 100 --out-b 100",
          "--mode 0 --board 7777 --input 24 --out-a 100 --out-b 100", "--input 24 --out-a 100 --out-b 100"}) {
        const RunResult r = RunZelctl("clock-plan " + args + out);
        EXPECT_EQ(r.exit_code, 2) << args << ": " << r.err;
        EXPECT_EQ(r.err.rfind("zelctl: ", 0), 0U) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(csv));
    EXPECT_NE(RunZelctl("clock-plan --mode 1 --input 24MHz --out-a 100 --out-b 100")
                  .err.find("--input: not a frequency in MHz: '24MHz'"),
              std::string::npos);
    EXPECT_NE(RunZelctl("clock-plan --mode 3 --input 24 --out-a 100 --out-b 100").err.find("3 is outside 0..2"),
              std::string::npos);

    // Under --json the error is one JSON object on stderr, and nothing is on stdout.
    RunResult r = RunZelctl("--json clock-plan --mode 1 --input 24 --out-a 800 --out-b 100");
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    const nlohmann::json error = nlohmann::json::parse(r.err);
    EXPECT_EQ(error["exit_code"], 2);
    EXPECT_NE(error["error"].get<std::string>().find("loop A"), std::string::npos) << r.err;

    // A register list that cannot be written is a file error (3).
    r = RunZelctl("clock-plan --mode 1 --input 24 --out-a 100 --out-b 100 --output " +
                  (dir / "no" / "such" / "plan.csv").string());
    EXPECT_EQ(r.exit_code, 3) << r.err;
    EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
}

}  // namespace
