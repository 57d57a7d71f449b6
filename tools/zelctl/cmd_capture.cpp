// capture show, capture stats: a capture of the unit's traffic (pcap or pcapng, from zelctl --capture,
// tcpdump or Wireshark) decoded without Wireshark.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <map>

#include "calib_records.h"
#include "commands.h"
#include "common.h"
#include "zel_capture/capture_read.h"
#include "zel_capture/frame_decode.h"

namespace zelctl {

namespace {

namespace cap = zel::capture;

struct CaptureOptions {
    std::string file;
};

cap::Capture Load(const std::string& path) {
    cap::Capture capture;
    std::string why;
    if (!cap::ReadCaptureFile(path, capture, &why)) throw Failure(kExitFile, "cannot read the capture " + why);
    for (const std::string& w : capture.warnings) std::fprintf(stderr, "zelctl: %s: %s\n", path.c_str(), w.c_str());
    return capture;
}

std::int64_t FirstTime(const cap::Capture& capture) {
    std::int64_t first = 0;
    bool any = false;
    for (const cap::Conversation& c : capture.conversations) {
        if (!any || c.start_ns < first) first = c.start_ns;
        any = true;
    }
    return first;
}

// One frame of the capture as printed: a request or a reply.
struct Line {
    std::uint64_t frame;
    std::int64_t ns;
    Json json;
    std::string text;
};

// The frames of every conversation, in the capture's order.
std::vector<Line> Frames(const cap::Capture& capture) {
    const std::int64_t t0 = FirstTime(capture);
    std::vector<Line> lines;
    for (const cap::Conversation& c : capture.conversations) {
        cap::ConversationDecoder decoder;
        const std::string host = c.host + ":" + std::to_string(c.host_port);
        for (const cap::Exchange& e : c.exchanges) {
            const cap::Request r = decoder.Next(e.request.data(), e.request.size());
            const bool is_register = r.kind == cap::FrameKind::RegisterRead || r.kind == cap::FrameKind::RegisterWrite;
            auto base = [&](std::uint64_t frame, std::int64_t ns, const char* direction) {
                Json j;
                j["frame"] = frame;
                j["time"] = static_cast<double>(ns - t0) / 1e9;
                j["unit"] = c.unit;
                j["host"] = host;
                j["direction"] = direction;
                j["kind"] = cap::KindName(r.kind);
                if (is_register) {
                    j["write"] = r.write;
                    j["select"] = r.select;
                    j["register"] = r.address;
                    const char* name = cap::NameOfRegister(r.address);
                    j["register_name"] = name ? Json(name) : Json(nullptr);
                    if (r.eeprom) j["eeprom_address"] = r.eeprom_address;
                }
                if (r.kind == cap::FrameKind::BlockRead || r.kind == cap::FrameKind::BlockWrite)
                    j["block_address"] = r.block_address;
                return j;
            };
            Json request = base(e.request_frame, e.request_ns, "request");
            if (r.kind == cap::FrameKind::RegisterWrite) request["value"] = r.value;
            const std::string request_text = cap::DescribeRequest(r);
            request["text"] = request_text;
            lines.push_back({e.request_frame, e.request_ns, std::move(request), request_text});
            if (e.reply.empty()) continue;
            Json reply = base(e.reply_frame, e.reply_ns, "reply");
            std::uint16_t value = 0;
            if (is_register && cap::ReplyValue(e.reply.data(), e.reply.size(), value)) reply["value"] = value;
            reply["reply_to"] = e.request_frame;
            reply["length"] = e.reply.size();
            if (!is_register) reply["bytes"] = calib::Hex(e.reply);
            const std::string reply_text = cap::DescribeReply(r, e.reply.data(), e.reply.size());
            reply["text"] = reply_text;
            lines.push_back({e.reply_frame, e.reply_ns, std::move(reply), reply_text});
        }
    }
    std::stable_sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) { return a.frame < b.frame; });
    return lines;
}

void RunShow(const GlobalOptions& g, const CaptureOptions& o) {
    const cap::Capture capture = Load(o.file);
    const std::vector<Line> lines = Frames(capture);
    if (g.json) {
        Json all = Json::array();
        for (const Line& l : lines) all.push_back(l.json);
        PrintJson(all);
        return;
    }
    std::string out;
    char head[160];
    for (const Line& l : lines) {
        const bool request = l.json["direction"] == "request";
        const std::string unit = l.json["unit"].get<std::string>();
        std::snprintf(head, sizeof head, "%6llu %12.6f %-15s %s ", static_cast<unsigned long long>(l.frame),
                      l.json["time"].get<double>(), unit.c_str(), request ? "request" : "reply  ");
        out += head + l.text + "\n";
    }
    PrintOut(out);
}

void RunStats(const GlobalOptions& g, const CaptureOptions& o) {
    const cap::Capture capture = Load(o.file);
    struct Kind {
        std::uint64_t exchanges = 0, frames = 0, reply_bytes = 0;
        std::int64_t total_ns = 0, max_ns = 0;
    };
    std::map<std::string, Kind> kinds;
    Kind all;
    auto add = [](Kind& k, const cap::Exchange& e) {
        const std::int64_t took = e.reply_ns - e.request_ns;
        ++k.exchanges;
        k.frames += e.reply.empty() ? 1 : 2;
        k.reply_bytes += e.reply.size();
        k.total_ns += took;
        k.max_ns = std::max(k.max_ns, took);
    };
    for (const cap::Conversation& c : capture.conversations) {
        cap::ConversationDecoder decoder;
        for (const cap::Exchange& e : c.exchanges) {
            const cap::Request r = decoder.Next(e.request.data(), e.request.size());
            std::string kind = cap::KindName(r.kind);
            if (r.kind == cap::FrameKind::RegisterRead || r.kind == cap::FrameKind::RegisterWrite) {
                const char* name = cap::NameOfRegister(r.address);
                kind += ": " + (name ? std::string(name) : "r" + std::to_string(r.address));
            }
            add(kinds[kind], e);
            add(all, e);
        }
    }
    Table table({{"kind", "Exchange", false},
                 {"exchanges", "Exchanges"},
                 {"frames", "Frames"},
                 {"reply_bytes", "Reply bytes"},
                 {"total_ms", "Total (ms)"},
                 {"mean_ms", "Mean (ms)"},
                 {"max_ms", "Max (ms)"}});
    auto row = [&](const std::string& name, const Kind& k) {
        const double total = static_cast<double>(k.total_ns) / 1e6;
        const double mean = k.exchanges ? total / static_cast<double>(k.exchanges) : 0.0;
        const double max = static_cast<double>(k.max_ns) / 1e6;
        table.AddRow({{name, name},
                      {k.exchanges, std::to_string(k.exchanges)},
                      {k.frames, std::to_string(k.frames)},
                      {k.reply_bytes, std::to_string(k.reply_bytes)},
                      {total, Fixed(total, 3)},
                      {mean, Fixed(mean, 3)},
                      {max, Fixed(max, 3)}});
    };
    for (const auto& [name, k] : kinds) row(name, k);
    row("all", all);
    if (!g.json) {
        PrintOut(std::to_string(capture.conversations.size()) + " conversations with " +
                 std::to_string(capture.Units().size()) + " units, " + std::to_string(capture.packets) + " packets\n");
    }
    table.Print(g.json);
}

}  // namespace

void AddCaptureCommands(CLI::App& app, const GlobalOptions& options) {
    auto* capture = app.add_subcommand("capture", "Captures of the unit's traffic (pcap, pcapng) decoded");
    capture->require_subcommand(1);
    auto o = std::make_shared<CaptureOptions>();
    const auto add = [&](const char* name, const char* help, void (*run)(const GlobalOptions&, const CaptureOptions&)) {
        auto* sub = capture->add_subcommand(name, help);
        sub->add_option("file", o->file, "Capture file (pcap or pcapng)")->required()->type_name("FILE");
        sub->callback([&options, o, run] { run(options, *o); });
    };
    add("show",
        "Every frame of a capture, one line each: frame number, time (s), unit, request or reply, the frame decoded",
        RunShow);
    add("stats",
        "Frames and time of a capture per kind of exchange (register reads and writes by register, block reads, ...)",
        RunStats);
}

}  // namespace zelctl
