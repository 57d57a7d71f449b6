// Text and JSON output, files written whole, and the progress bar.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>

#include <mutex>

#include "common.h"
#include "fanout.h"
#include "system.h"
#include "terminal.h"

namespace zelctl {

void WriteFileWhole(const std::string& path, const void* data, std::size_t size) {
    if (path == "-") {
        StdoutCarriesBytes();
        if (std::fwrite(data, 1, size, stdout) != size || std::fflush(stdout) != 0)
            throw FileFailure("write", "to standard output");
        return;
    }
    const std::string tmp = path + ".tmp";
    errno = 0;
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!out.flush()) {
            const int error = errno;
            std::remove(tmp.c_str());
            throw FileFailure("write", path, error);
        }
    }
    errno = 0;
    if (!MoveIntoPlace(tmp, path)) {
        const int error = errno;
        std::remove(tmp.c_str());
        throw FileFailure("write", path, error);
    }
}

std::string FrameHex(const std::uint8_t* bytes, std::size_t length) {
    std::string hex;
    hex.reserve(length * 3);
    char buf[4];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02x" : " %02x", bytes[i]);
        hex += buf;
    }
    return hex;
}

std::string UtcNow(bool milliseconds) {
    const auto clock = std::chrono::system_clock::now();
    const std::tm utc = UtcTime(std::chrono::system_clock::to_time_t(clock));
    char time[32];
    std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%S", &utc);
    std::string out = time;
    if (milliseconds) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock.time_since_epoch()).count() % 1000;
        char frac[8];
        std::snprintf(frac, sizeof frac, ".%03d", static_cast<int>(ms));
        out += frac;
    }
    return out + "Z";
}

std::vector<std::pair<std::string, std::string>> OutputContext(Session& s, std::optional<std::uint16_t> wavelength_nm) {
    std::int64_t serial = 0;
    std::int32_t confirmed = 0;
    zel_ReadSerialNumber(s.Instance(), &serial, &confirmed);
    s.CheckInstance(zel_LastError(s.Instance()) == ZEL_OK, "cannot read the serial number");
    std::vector<std::pair<std::string, std::string>> context{
        {"unit", s.address()}, {"serial", std::to_string(serial)}, {"board_type", std::to_string(s.BoardType())}};
    if (wavelength_nm) context.emplace_back("wavelength_nm", std::to_string(*wavelength_nm));
    context.emplace_back("time", UtcNow(false));
    context.emplace_back("zelctl_version", ZEL_VERSION);
    return context;
}

Record& Record::Add(std::string key, std::string label, Json value, std::string text) {
    fields_.push_back({std::move(key), std::move(label), std::move(text), std::move(value)});
    return *this;
}

Record& Record::Add(std::string key, std::string label, Json value) {
    std::string text = value.is_string() ? value.get<std::string>() : value.dump();
    return Add(std::move(key), std::move(label), std::move(value), std::move(text));
}

Json Record::ToJson() const {
    Json out = Json::object();
    for (const auto& f : fields_) out[f.key] = f.value;
    return out;
}

void Record::PrintText() const {
    std::size_t width = 0;
    for (const auto& f : fields_) width = std::max(width, f.label.size());
    for (const auto& f : fields_) {
        std::printf("%-*s  %s\n", static_cast<int>(width + 1), (f.label + ":").c_str(), f.text.c_str());
    }
}

void Record::Print(bool json) const {
    if (UnitOutput* out = CollectedOutput()) {
        out->items.push_back({UnitOutput::Item::kRecord, *this, std::nullopt, nullptr, {}});
    } else if (json) {
        PrintJson(ToJson());
    } else {
        PrintText();
    }
}

void Table::AddRow(std::vector<std::pair<Json, std::string>> cells) {
    cells.resize(columns_.size());
    rows_.push_back(std::move(cells));
}

void Table::PrintText(const std::string& indent) const {
    std::vector<std::size_t> width(columns_.size());
    for (std::size_t c = 0; c < columns_.size(); ++c) {
        width[c] = columns_[c].header.size();
        for (const auto& row : rows_) width[c] = std::max(width[c], row[c].second.size());
    }
    auto line = [&](auto text_of) {
        std::string out = indent;
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            const std::string text = text_of(c);
            const std::string pad(width[c] - text.size(), ' ');
            if (c > 0) out += "  ";
            out += columns_[c].numeric ? pad + text : (c + 1 == columns_.size() ? text : text + pad);
        }
        std::printf("%s\n", out.c_str());
    };
    line([&](std::size_t c) { return columns_[c].header; });
    for (const auto& row : rows_) line([&](std::size_t c) { return row[c].second; });
}

Json Table::ToJson() const {
    Json out = Json::array();
    for (const auto& row : rows_) {
        Json item = Json::object();
        for (std::size_t c = 0; c < columns_.size(); ++c) item[columns_[c].key] = row[c].first;
        out.push_back(std::move(item));
    }
    return out;
}

void Table::Print(bool json) const {
    if (UnitOutput* out = CollectedOutput()) {
        out->items.push_back({UnitOutput::Item::kTable, std::nullopt, *this, nullptr, {}});
    } else if (json) {
        PrintJson(ToJson());
    } else {
        PrintText();
    }
}

std::string Fixed(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}

std::string Hex(unsigned value, int digits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
    return buf;
}

void PrintJson(const Json& value) {
    if (UnitOutput* out = CollectedOutput()) {
        out->items.push_back({UnitOutput::Item::kJson, std::nullopt, std::nullopt, value, {}});
    } else {
        std::printf("%s\n", value.dump(2).c_str());
    }
}

void PrintOut(const std::string& text) {
    if (UnitOutput* out = CollectedOutput()) {
        if (!out->items.empty() && out->items.back().kind == UnitOutput::Item::kText) {
            out->items.back().text += text;
        } else {
            out->items.push_back({UnitOutput::Item::kText, std::nullopt, std::nullopt, nullptr, text});
        }
    } else {
        std::fputs(text.c_str(), stdout);
    }
}

namespace {

constexpr auto kQuietStart = std::chrono::seconds(1);  // shorter transfers show nothing
constexpr auto kLineEvery = std::chrono::seconds(3);   // piped: one line this often
constexpr auto kBarEvery = std::chrono::milliseconds(250);

double SecondsBetween(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

std::string Duration(double seconds) {
    char buf[32];
    if (seconds < 60) {
        std::snprintf(buf, sizeof buf, "%.0f s", std::max(seconds, 1.0));
    } else {
        std::snprintf(buf, sizeof buf, "%d min %02d s", static_cast<int>(seconds) / 60, static_cast<int>(seconds) % 60);
    }
    return buf;
}

}  // namespace

namespace {
std::mutex g_progress_mu;  // progress lines of units that run at once, one line at a time
}  // namespace

Progress::Progress(std::string label, std::size_t total, bool quiet)
    : label_(FanOutUnit() != nullptr ? FanOutUnit()->name + ": " + label : std::move(label)),
      total_(total),
      // Bars of several units would draw over each other: each unit gets lines of its own.
      terminal_(FanOutUnit() == nullptr && StderrIsTerminal()),
      quiet_(quiet),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

Progress::~Progress() {
    if (shown_) Draw(true);
}

void Progress::Advance(std::size_t steps) { Update(done_ + steps, total_); }

void Progress::Update(std::size_t done, std::size_t total) {
    total_ = total;
    done_ = std::min(total, done);
    Draw(false);
}

void Progress::Draw(bool last) {
    if (total_ == 0 || (!terminal_ && quiet_)) return;
    const auto now = std::chrono::steady_clock::now();
    if (!shown_ && now - start_ < kQuietStart) return;
    const int permille = static_cast<int>(done_ * 1000 / total_);
    if (!last && shown_) {
        if (terminal_ && permille == last_permille_ && now - last_draw_ < kBarEvery) return;
        if (!terminal_ && now - last_draw_ < kLineEvery) return;
    }
    shown_ = true;
    last_permille_ = permille;
    last_draw_ = now;
    const double elapsed = SecondsBetween(start_, now);
    // The time left at the rate so far.
    const std::string left =
        last ? "took " + Duration(elapsed)
        : done_ == 0
            ? std::string("time left unknown")
            : "about " + Duration(elapsed * static_cast<double>(total_ - done_) / static_cast<double>(done_)) + " left";
    const std::lock_guard<std::mutex> one_line(g_progress_mu);
    if (terminal_) {
        constexpr int kWidth = 30;
        const int filled = permille * kWidth / 1000;
        std::fprintf(stderr, "\r%s [%s%s] %3d%%  %-20s%s", label_.c_str(), std::string(filled, '#').c_str(),
                     std::string(kWidth - filled, ' ').c_str(), permille / 10, left.c_str(), last ? "\n" : "");
    } else {
        std::fprintf(stderr, "%s: %zu of %zu (%d%%), %s\n", label_.c_str(), done_, total_, permille / 10, left.c_str());
    }
    std::fflush(stderr);
}

}  // namespace zelctl
