// zelctl clock-plan: computes an Si5346 frequency plan and writes its register list as CSV.

#include "commands.h"

#include "zel_clock/si5346_plan.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

namespace zelctl {
namespace {

struct ClockPlanOptions {
  int mode = 1;
  std::string input;
  std::string out_a;
  std::string out_b;
  std::string input_a;
  int board = 0;
  std::string output;
};

// A frequency in MHz, read exactly as decimal text.
std::optional<Decimal> frequency(const std::string& text, const char* option) {
  Decimal value{std::string(text)};
  if (!value.is_finite()) {
    std::cerr << "clock-plan: " << option << ": not a frequency: '" << text << "'\n";
    return std::nullopt;
  }
  return value;
}

std::string shortest(double v) {
  char buffer[64];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, v).ptr;
  return std::string(buffer, end);
}

void write_csv(std::ostream& out, const SI5346_API& plan) {
  out << "Address,Data\n";
  char line[32];
  for (std::size_t i = 0; i < plan.addresses().size(); ++i) {
    std::snprintf(line, sizeof line, "0x%04X,0x%02X\n", plan.addresses()[i], plan.values()[i]);
    out << line;
  }
}

int run_clock_plan(const ClockPlanOptions& o) {
  const bool needs_input_a = o.mode == 0 && o.board == 7777;
  if (needs_input_a && o.input_a.empty()) {
    std::cerr << "clock-plan: --input-a is required in mode 0 with board 7777 (loop A runs from it)\n";
    return 2;
  }
  const auto input = frequency(o.input, "--input");
  const auto out_a = frequency(o.out_a, "--out-a");
  const auto out_b = frequency(o.out_b, "--out-b");
  const auto input_a = frequency(o.input_a.empty() ? "50" : o.input_a, "--input-a");
  if (!input || !out_a || !out_b || !input_a) return 2;

  Decimal p1 = *input_a, p2 = *out_a, p3 = *input, p4 = *out_b;
  SI5346_API plan;
  const PlanStatus status = plan.PlanClocks(p1, p2, p3, p4, o.mode, o.board);
  if (status != PlanStatus::planned) {
    std::cerr << "clock-plan: " << to_string(status) << '\n';
    return 1;
  }

  // With the list on standard output the frequencies go to standard error.
  std::ostream& report = o.output.empty() ? std::cerr : std::cout;
  report << "output A: " << shortest(p2.to_double()) << " MHz\n";
  report << "output B: " << shortest(p4.to_double()) << " MHz\n";
  if (o.output.empty()) {
    write_csv(std::cout, plan);
    return std::cout.good() ? 0 : 1;
  }
  std::ofstream file(o.output, std::ios::binary | std::ios::trunc);
  if (file) write_csv(file, plan);
  file.close();
  if (!file) {
    std::cerr << "clock-plan: cannot write " << o.output << '\n';
    return 1;
  }
  report << "register list: " << plan.addresses().size() << " writes in " << o.output << '\n';
  return 0;
}

}  // namespace

void register_clock_commands(CLI::App& app, Context& context) {
  auto options = std::make_shared<ClockPlanOptions>();
  CLI::App* cmd = app.add_subcommand(
      "clock-plan",
      "Plan the Si5346 clock synthesizer: print the achieved output frequencies and write the "
      "register list as CSV (Address,Data). Frequencies in MHz. Without --output the list goes "
      "to standard output and the frequencies to standard error.");
  cmd->add_option("--mode", options->mode, "Register template and input routing: 0, 1 or 2")
      ->required()
      ->check(CLI::Range(0, 2));
  cmd->add_option("--input", options->input, "Input frequency (both loops in modes 1 and 2, loop B in mode 0)")
      ->required();
  cmd->add_option("--out-a", options->out_a, "Requested output frequency of loop A")->required();
  cmd->add_option("--out-b", options->out_b, "Requested output frequency of loop B")->required();
  cmd->add_option("--input-a", options->input_a,
                  "Input of loop A in mode 0; used only with board 7777, otherwise 50 is used");
  cmd->add_option("--board", options->board, "Board selector (mode 0: 7310, 7320 and 7777 are special)")
      ->capture_default_str();
  cmd->add_option("--output", options->output, "CSV file to write the register list to");
  cmd->callback([options, &context] { context.exit_code = run_clock_plan(*options); });
}

}  // namespace zelctl
