// What Ctrl-C does, the same on every platform: the flags, and the instances it cancels. All of it
// runs in a signal handler (POSIX) or on the console's own thread (Windows), so it touches only
// lock-free atomics and zel_Cancel, which is safe there.
#include <array>
#include <atomic>
#include <thread>

#include "terminal.h"

namespace zelctl {
namespace {

// One slot per unit a command drives at once (--jobs takes at most 1024), and a spare.
constexpr std::size_t kSlots = 1025;
constexpr std::size_t kNoSlot = kSlots;

std::array<std::atomic<zel_instance*>, kSlots> watched{};
std::atomic<int> cancels_running{0};
std::atomic<int> guards{0};
std::atomic<bool> interrupted{false};
std::atomic<bool> stop_requested{false};

static_assert(std::atomic<zel_instance*>::is_always_lock_free && std::atomic<int>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free,
              "Ctrl-C touches these from a signal handler");

void CancelWatched() {
    cancels_running.fetch_add(1);
    for (auto& slot : watched) {
        if (zel_instance* instance = slot.load()) zel_Cancel(instance);
    }
    cancels_running.fetch_sub(1);
}

}  // namespace

bool TakeInterrupt() {
    // Under a guard, the first Ctrl-C lets the transfer finish the record in flight.
    if (guards.load() > 0 && !interrupted.exchange(true)) return true;
    interrupted.store(true);
    if (stop_requested.exchange(true)) return false;  // cancelled already: end at once
    CancelWatched();
    return true;
}

bool Interrupted() { return interrupted.load(); }

bool StopRequested() { return stop_requested.load(); }

WatchedInstance::WatchedInstance(zel_instance* instance) : slot_(kNoSlot) {
    for (std::size_t i = 0; i < kSlots; ++i) {
        zel_instance* empty = nullptr;
        if (watched[i].compare_exchange_strong(empty, instance)) {
            slot_ = i;
            return;
        }
    }
}

WatchedInstance::~WatchedInstance() {
    if (slot_ == kNoSlot) return;
    watched[slot_].store(nullptr);
    // A cancel that loaded the instance before the store may still be calling zel_Cancel with it. A
    // handler on this thread has finished before we get here; one on another thread finishes soon.
    while (cancels_running.load() != 0) std::this_thread::yield();
}

InterruptGuard::InterruptGuard() {
    interrupted.store(false);
    guards.fetch_add(1);
}

InterruptGuard::~InterruptGuard() { guards.fetch_sub(1); }

}  // namespace zelctl
