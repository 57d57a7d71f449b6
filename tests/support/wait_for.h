// Bounded polling for tests that wait on another thread or process (a server's accept thread, a
// background saver, a child program) to catch up.
#pragma once

#include <chrono>
#include <thread>

namespace zeltest {

// Polls `done` every `poll` until it holds or `limit` has passed; whether it held. The limit is
// a safety net against a hang, not a speed target.
template <class Pred>
bool WaitFor(Pred done, std::chrono::milliseconds limit = std::chrono::seconds(2),
             std::chrono::milliseconds poll = std::chrono::milliseconds(2)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(poll);
    }
    return done();
}

}  // namespace zeltest
