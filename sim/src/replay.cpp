#include "zelsim/replay.h"

#include <algorithm>
#include <cstdio>

#include "zel_capture/frame_decode.h"

namespace zelsim {

namespace cap = zel::capture;

class Replay::Connection : public ConnectionAnswers {
public:
    Connection(Replay& replay, std::string peer) : replay_(replay), peer_(std::move(peer)) {}

    Answer Next(const std::uint8_t (&frame)[kFrameSize], std::vector<std::uint8_t>& reply, int& delay_ms) override {
        if (fallen_back_) return Answer::Model;
        // A connection takes its captured conversation with its first request: one that only
        // connects (a probe whether the unit is up) leaves the conversations for the next.
        if (at_ == 0) conversation_ = replay_.Take(peer_, number_);
        const std::size_t k = at_++;
        const cap::ConversationDecoder before = decoder_;  // the state the received frame is decoded in
        // Decoded only for the log of a request that differs: a matching one costs a comparison.
        const auto received = [&] {
            cap::ConversationDecoder d = before;
            return cap::DescribeRequest(d.Next(frame, kFrameSize));
        };
        std::string why;
        if (!conversation_) {
            why = "the capture holds " + std::to_string(replay_.conversations_.size()) + " connections, no more";
        } else if (k >= conversation_->exchanges.size()) {
            why = "the captured connection ends after " + std::to_string(conversation_->exchanges.size()) + " requests";
        } else {
            const cap::Exchange& e = conversation_->exchanges[k];
            const cap::Request want = decoder_.Next(e.request.data(), e.request.size());
            if (std::equal(e.request.begin(), e.request.end(), frame)) {
                reply = e.reply;
                if (replay_.options_.timing)
                    delay_ms =
                        static_cast<int>(std::clamp<std::int64_t>((e.reply_ns - e.request_ns) / 1'000'000, 0, 60'000));
                return Answer::Reply;
            }
            const auto differ = std::mismatch(e.request.begin(), e.request.end(), frame).first - e.request.begin();
            why = "differs from captured frame " + std::to_string(e.request_frame) + " at byte " +
                  std::to_string(differ) + ": captured " + cap::DescribeRequest(want) + ", received " + received();
        }
        if (conversation_ == nullptr || k >= conversation_->exchanges.size()) why += "; received " + received();
        const std::string where =
            "connection " + std::to_string(number_ + 1) + " (" + peer_ + "), request " + std::to_string(k + 1);
        replay_.log_("replay: " + where + " " + why +
                     (replay_.options_.fallback ? "; the simulated unit answers from here on" : "; closing"));
        if (!replay_.options_.fallback) return Answer::Close;
        fallen_back_ = true;
        return Answer::Model;
    }

private:
    Replay& replay_;
    const std::string peer_;
    const cap::Conversation* conversation_ = nullptr;  // null past the capture's last connection
    std::size_t number_ = 0;
    cap::ConversationDecoder decoder_;  // over the captured requests so far
    std::size_t at_ = 0;
    bool fallen_back_ = false;
};

Replay::Replay(std::vector<cap::Conversation> conversations, ReplayOptions options,
               std::function<void(const std::string&)> log)
    : conversations_(std::move(conversations)), options_(options), log_(std::move(log)) {}

std::unique_ptr<ConnectionAnswers> Replay::Connect(const std::string& peer) {
    return std::make_unique<Connection>(*this, peer);
}

const cap::Conversation* Replay::Take(const std::string& peer, std::size_t& number) {
    std::lock_guard<std::mutex> lk(mu_);
    number = next_++;
    const cap::Conversation* c = number < conversations_.size() ? &conversations_[number] : nullptr;
    if (c)
        log_("replay: connection " + std::to_string(number + 1) + " (" + peer +
             ") plays the captured connection from " + c->host + ":" + std::to_string(c->host_port) + ", " +
             std::to_string(c->exchanges.size()) + " requests");
    return c;
}

bool Replay::Pick(const cap::Capture& capture, const std::string& unit, std::vector<cap::Conversation>& out,
                  std::string* error) {
    const std::vector<std::string> units = capture.Units();
    std::string named;
    for (const std::string& u : units) named += (named.empty() ? "" : ", ") + u;
    if (units.empty()) {
        if (error) *error = "the capture holds no conversation with a unit on port 6653";
        return false;
    }
    if (unit.empty() && units.size() > 1) {
        if (error) *error = "the capture holds several units (" + named + "): pick one with --replay-unit";
        return false;
    }
    const std::string& chosen = unit.empty() ? units.front() : unit;
    if (std::find(units.begin(), units.end(), chosen) == units.end()) {
        if (error) *error = "the capture holds no unit " + chosen + " (its units: " + named + ")";
        return false;
    }
    out.clear();
    for (const cap::Conversation& c : capture.conversations)
        if (c.unit == chosen) out.push_back(c);
    return true;
}

}  // namespace zelsim
