// Runs the built zelctl clock-plan end to end and checks its CSV against the library's list.

#include "zel_clock/si5346_plan.h"

#include <gtest/gtest.h>

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
};

RunResult zelctl(const std::string& args) {
  const std::string command = std::string(ZELCTL_PATH) + " " + args + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {-1, ""};
  std::string out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string expected_csv(double input_a, double out_a, double input, double out_b, int mode, int board) {
  SI5346_API plan;
  EXPECT_EQ(plan.PlanFromDoubles(input_a, out_a, input, out_b, mode, board), PlanStatus::planned);
  std::string csv = "Address,Data\n";
  char line[32];
  for (std::size_t i = 0; i < plan.addresses().size(); ++i) {
    std::snprintf(line, sizeof line, "0x%04X,0x%02X\n", plan.addresses()[i], plan.values()[i]);
    csv += line;
  }
  return csv;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class ZelctlClockPlan : public ::testing::Test {
 protected:
  std::filesystem::path dir;
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("zelctl_clock_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
};

TEST_F(ZelctlClockPlan, WritesTheRegisterListAndPrintsAchievedFrequencies) {
  const auto csv = dir / "plan.csv";
  const RunResult r = zelctl("clock-plan --mode 1 --input 24 --out-a 100 --out-b 100 --output " + csv.string());
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("output A: 100 MHz\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("output B: 99.99999999992308 MHz\n"), std::string::npos) << r.out;
  const std::string text = read_file(csv);
  EXPECT_EQ(text, expected_csv(0, 100, 24, 100, 1, 0));
  EXPECT_EQ(text.rfind("Address,Data\n0x0B24,0xD8\n0x0B25,0x00\n", 0), 0U);
  EXPECT_NE(text.find("\n0x0208,0x0C\n"), std::string::npos);  // loop A input divider 12
  EXPECT_NE(text.find("\n0x021C,0x0D\n"), std::string::npos);  // loop B input divider 13
}

TEST_F(ZelctlClockPlan, WithoutOutputTheListGoesToStandardOutput) {
  const RunResult r = zelctl("clock-plan --mode 0 --board 7777 --input-a 40 --input 24 --out-a 100 --out-b 100");
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, expected_csv(40, 100, 24, 100, 0, 7777));
  const RunResult mode2 = zelctl("clock-plan --mode 2 --input 24 --out-a 125 --out-b 156.25 --board 7310");
  ASSERT_EQ(mode2.exit_code, 0);
  EXPECT_EQ(mode2.out, expected_csv(0, 125, 24, 156.25, 2, 7310));
}

TEST_F(ZelctlClockPlan, FailuresExitNonZeroAndWriteNothing) {
  const auto csv = dir / "plan.csv";
  const std::string out = " --output " + csv.string();
  EXPECT_EQ(zelctl("clock-plan --mode 1 --input 24 --out-a 800 --out-b 100" + out).exit_code, 1);
  EXPECT_EQ(zelctl("clock-plan --mode 1 --input 24 --out-a 100 --out-b 2000" + out).exit_code, 1);
  EXPECT_NE(zelctl("clock-plan --mode 3 --input 24 --out-a 100 --out-b 100" + out).exit_code, 0);
  EXPECT_NE(zelctl("clock-plan --mode 1 --input 24MHz --out-a 100 --out-b 100" + out).exit_code, 0);
  EXPECT_NE(zelctl("clock-plan --mode 0 --board 7777 --input 24 --out-a 100 --out-b 100" + out).exit_code, 0);
  EXPECT_NE(zelctl("clock-plan --input 24 --out-a 100 --out-b 100" + out).exit_code, 0);
  EXPECT_FALSE(std::filesystem::exists(csv));
}

}  // namespace
