// zelctl clock-plan: computes an Si5346 frequency plan and writes its register list as CSV.

#include "commands.h"

#include "zel_clock/si5346_plan.h"

#include "args.h"
#include "common.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
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
Decimal Frequency(const std::string& text, const char* option) {
    Decimal value{std::string(text)};
    if (!value.IsFinite()) throw Failure(kExitUsage, std::string(option) + ": not a frequency in MHz: '" + text + "'");
    return value;
}

std::string Shortest(double v) {
    char buffer[64];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, v).ptr;
    return std::string(buffer, end);
}

void WriteCsv(std::ostream& out, const SI5346_API& plan) {
    out << "Address,Data\n";
    char line[32];
    for (std::size_t i = 0; i < plan.Addresses().size(); ++i) {
        std::snprintf(line, sizeof line, "0x%04X,0x%02X\n", plan.Addresses()[i], plan.Values()[i]);
        out << line;
    }
}

// How far an achieved frequency is from the one asked for, in parts per million: (achieved - requested) /
// requested * 10^6, in Decimal, so that a plan met exactly shows 0 and one missed by any digit does not.
Decimal DeviationPpm(const Decimal& achieved, const Decimal& requested) {
    return (achieved - requested) / requested * Decimal(1000000);
}

// "-7.692e-07 ppm", "0 ppm" only when the plan meets the request exactly.
std::string PpmText(const Decimal& ppm) {
    if (ppm == Decimal(0)) return "0 ppm";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.4g ppm", ppm.ToDouble());
    return buffer;
}

void RunClockPlan(const ClockPlanOptions& o, bool json) {
    const bool needs_input_a = o.mode == 0 && o.board == 7777;
    if (needs_input_a && o.input_a.empty()) {
        throw Failure(kExitUsage, "clock-plan: --input-a is required in mode 0 with board 7777 (loop A runs from it)");
    }
    Decimal p3 = Frequency(o.input, "--input");
    Decimal p2 = Frequency(o.out_a, "--out-a");
    Decimal p4 = Frequency(o.out_b, "--out-b");
    Decimal p1 = Frequency(o.input_a.empty() ? "50" : o.input_a, "--input-a");

    const Decimal requested_a = p2;
    const Decimal requested_b = p4;
    SI5346_API plan;
    const PlanStatus status = plan.PlanClocks(p1, p2, p3, p4, o.mode, o.board);
    // The frequencies asked for cannot be met: a matter of the arguments, not of a unit.
    if (status != PlanStatus::Planned) throw Failure(kExitUsage, std::string("clock-plan: ") + ToString(status));
    const Decimal deviation_a = DeviationPpm(p2, requested_a);
    const Decimal deviation_b = DeviationPpm(p4, requested_b);

    if (!o.output.empty()) {
        std::ofstream file(o.output, std::ios::binary | std::ios::trunc);
        if (file) WriteCsv(file, plan);
        file.close();
        if (!file) throw Failure(kExitFile, "clock-plan: cannot write " + o.output);
    }
    if (json) {
        Json out{{"output_a_mhz", p2.ToDouble()},
                 {"output_b_mhz", p4.ToDouble()},
                 {"deviation_ppm", {{"output_a", deviation_a.ToDouble()}, {"output_b", deviation_b.ToDouble()}}}};
        if (o.output.empty()) {
            Json registers = Json::array();
            for (std::size_t i = 0; i < plan.Addresses().size(); ++i) {
                registers.push_back({{"address", plan.Addresses()[i]}, {"data", plan.Values()[i]}});
            }
            out["registers"] = std::move(registers);
        } else {
            out["file"] = o.output;
            out["writes"] = plan.Addresses().size();
        }
        PrintJson(out);
        return;
    }
    // With the list on standard output the frequencies go to standard error.
    std::ostream& report = o.output.empty() ? std::cerr : std::cout;
    report << "output A: " << Shortest(p2.ToDouble()) << " MHz, " << PpmText(deviation_a) << " from the request\n";
    report << "output B: " << Shortest(p4.ToDouble()) << " MHz, " << PpmText(deviation_b) << " from the request\n";
    if (o.output.empty()) {
        WriteCsv(std::cout, plan);
        if (!std::cout.good())
            throw Failure(kExitFile, "clock-plan: cannot write the register list to standard output");
        return;
    }
    report << "register list: " << plan.Addresses().size() << " writes in " << o.output << '\n';
}

}  // namespace

void AddClockCommands(CLI::App& app, const GlobalOptions& global) {
    auto options = std::make_shared<ClockPlanOptions>();
    CLI::App* cmd = app.add_subcommand(
        "clock-plan",
        "Plan the Si5346 clock synthesizer: print the achieved output frequencies, each with its deviation from "
        "the request in ppm, and write the "
        "register list as CSV (Address,Data). Frequencies in MHz. Without --output the list goes "
        "to standard output and the frequencies to standard error.");
    cmd->add_option("--mode", options->mode, "Register template and input routing: 0, 1 or 2")
        ->required()
        ->check(InRange(0, 2));
    cmd->add_option("--input", options->input, "Input frequency (both loops in modes 1 and 2, loop B in mode 0)")
        ->required();
    cmd->add_option("--out-a", options->out_a, "Requested output frequency of loop A")->required();
    cmd->add_option("--out-b", options->out_b, "Requested output frequency of loop B")->required();
    cmd->add_option("--input-a", options->input_a,
                    "Input of loop A in mode 0; used only with board 7777, otherwise 50 is used");
    cmd->add_option("--board", options->board, "Board selector (mode 0: 7310, 7320 and 7777 are special)")
        ->capture_default_str();
    cmd->add_option("--output", options->output, "CSV file to write the register list to");
    cmd->callback([options, &global] { RunClockPlan(*options, global.json); });
}

}  // namespace zelctl
