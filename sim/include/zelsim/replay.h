// The replay of a captured unit: each connection that sends a request plays the next captured conversation with that
// unit, answering each request with the reply captured for the same request at the same place. The first request that
// differs is logged, both frames decoded; then the connection is closed, or (fallback) the simulated unit answers from
// there on.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "zel_capture/capture_read.h"
#include "zelsim/server.h"

namespace zelsim {

struct ReplayOptions {
    bool timing = false;    // wait the captured time between request and reply
    bool fallback = false;  // after a differing request, the model answers instead of a close
};

class Replay : public Answerer {
public:
    // `conversations` of one unit, in the capture's order; `log` takes every line the replay writes.
    Replay(std::vector<zel::capture::Conversation> conversations, ReplayOptions options,
           std::function<void(const std::string&)> log);
    std::unique_ptr<ConnectionAnswers> Connect(const std::string& peer) override;

    // The conversations of `unit` in `capture`; with an empty `unit`, those of its only unit. False
    // with `error` naming the capture's units when the unit is not in it, or none is named and it holds several.
    static bool Pick(const zel::capture::Capture& capture, const std::string& unit,
                     std::vector<zel::capture::Conversation>& out, std::string* error);

private:
    class Connection;
    // The next captured conversation (null past the last), and its number from 0.
    const zel::capture::Conversation* Take(const std::string& peer, std::size_t& number);
    const std::vector<zel::capture::Conversation> conversations_;
    const ReplayOptions options_;
    const std::function<void(const std::string&)> log_;
    std::mutex mu_;
    std::size_t next_ = 0;
};

}  // namespace zelsim
