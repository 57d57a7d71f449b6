// Argument checks and the diagnosis of a mistyped subcommand.
#include "args.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace zelctl {

std::string Number(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.10g", value);
    return buf;
}

std::string OutsideRange(double value, double low, double high, const std::string& unit) {
    const std::string suffix = unit.empty() ? "" : " " + unit;
    return Number(value) + suffix + " is outside " + Number(low) + ".." + Number(high) + suffix;
}

namespace {

// Lets numbers within low..high through and names `range` for the others; text that is no
// number is left to the option's own conversion, which names it.
CLI::Validator RangeValidator(double low, double high, const std::string& range, const std::string& description,
                              std::function<std::string(double)> shown) {
    return CLI::Validator(
        [low, high, range, shown](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0') return {};
            if (value >= low && value <= high) return {};
            return shown(value) + " is outside " + range;
        },
        description);
}

std::string Hex(double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(value));
    return buf;
}

}  // namespace

CLI::Validator InRange(double low, double high, const std::string& unit) {
    const std::string suffix = unit.empty() ? "" : " " + unit;
    return RangeValidator(low, high, Number(low) + ".." + Number(high) + suffix,
                          "in " + Number(low) + ".." + Number(high),
                          [suffix](double value) { return Number(value) + suffix; });
}

CLI::Validator AddressInRange(unsigned low, unsigned high) {
    const std::string range = Hex(low) + ".." + Hex(high);
    return RangeValidator(low, high, range, "in " + range,
                          [](double value) { return value >= 0 && value <= 0xFFFFFFFF ? Hex(value) : Number(value); });
}

std::size_t EditDistance(const std::string& a, const std::string& b) {
    // Optimal string alignment: insertions, deletions, substitutions and adjacent swaps.
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

namespace {

// An option of `app` or of the commands above it (their options fall through to subcommands).
const CLI::Option* FindOption(CLI::App* app, const std::string& name) {
    for (; app != nullptr; app = app->get_parent()) {
        if (const CLI::Option* opt = app->get_option_no_throw(name)) return opt;
    }
    return nullptr;
}

std::string PathOf(const CLI::App* app) {
    std::string path;
    for (; app != nullptr && app->get_parent() != nullptr; app = app->get_parent()) {
        path = app->get_name() + (path.empty() ? "" : " " + path);
    }
    return path;
}

}  // namespace

std::optional<std::string> UnknownSubcommand(CLI::App& app, const std::vector<std::string>& args) {
    CLI::App* current = &app;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& token = args[i];
        if (token == "--") return std::nullopt;
        if (token.size() > 1 && token[0] == '-') {
            const std::size_t eq = token.find('=');
            const std::string name = token.substr(0, eq);
            const CLI::Option* opt = FindOption(current, name);
            // An option that takes a value consumes the next word unless it came as --name=value.
            if (opt != nullptr && opt->get_items_expected_min() > 0 && eq == std::string::npos) ++i;
            continue;
        }
        const std::vector<CLI::App*> subs = current->get_subcommands([](CLI::App*) { return true; });
        if (subs.empty()) continue;  // a positional argument of the command
        const auto match = std::find_if(subs.begin(), subs.end(), [&](CLI::App* s) { return s->check_name(token); });
        if (match != subs.end()) {
            current = *match;
            continue;
        }
        const std::string prefix = PathOf(current).empty() ? "" : PathOf(current) + " ";
        std::string message = "unknown subcommand '" + prefix + token + "'";
        // The name of a subcommand one level down ("mems" for "switch mems"): that is the one meant.
        for (const CLI::App* s : subs) {
            const auto below = const_cast<CLI::App*>(s)->get_subcommands([](CLI::App*) { return true; });
            if (std::any_of(below.begin(), below.end(), [&](const CLI::App* b) { return b->check_name(token); })) {
                return message + "; did you mean '" + prefix + s->get_name() + " " + token + "'?";
            }
        }
        const CLI::App* nearest = nullptr;
        std::size_t best = 0;
        std::string names;
        for (const CLI::App* s : subs) {
            names += (names.empty() ? "" : ", ") + s->get_name();
            const std::size_t distance = EditDistance(token, s->get_name());
            if (nearest == nullptr || distance < best) {
                nearest = s;
                best = distance;
            }
        }
        // Close enough to be a slip of the fingers: at most two edits, and fewer than the word has letters.
        if (nearest != nullptr && best <= 2 && best < std::max(token.size(), nearest->get_name().size())) {
            message += "; did you mean '" + prefix + nearest->get_name() + "'?";
        }
        return message + " (" + (prefix.empty() ? "commands" : prefix + "subcommands") + ": " + names + ")";
    }
    // The line ends where a subcommand is still needed: name the ones there are.
    const std::vector<CLI::App*> subs = current->get_subcommands([](CLI::App*) { return true; });
    if (subs.empty() || current->get_require_subcommand_min() == 0) return std::nullopt;
    std::string names;
    for (const CLI::App* s : subs) names += (names.empty() ? "" : ", ") + s->get_name();
    const std::string path = PathOf(current);
    return (path.empty() ? "a command is required" : path + " needs a subcommand") + " (" +
           (path.empty() ? "commands" : path + " subcommands") + ": " + names + ")";
}

}  // namespace zelctl
