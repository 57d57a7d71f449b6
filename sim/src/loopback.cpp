#include "zelsim/loopback.h"

#include <chrono>
#include <mutex>
#include <random>

namespace zelsim {

std::string RandomLoopbackAddress() {
    static std::mutex mu;
    static std::mt19937 rng(std::random_device{}() ^
                            static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::lock_guard<std::mutex> lock(mu);
    std::uniform_int_distribution<int> octet(1, 254);
    std::string address = "127";
    for (int i = 0; i < 3; ++i) address += "." + std::to_string(octet(rng));
    return address;
}

std::unique_ptr<Server> StartOnFreeLoopback(UnitModel& unit, std::uint16_t port) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        auto server = std::make_unique<Server>(unit, RandomLoopbackAddress(), port);
        if (server->Start()) return server;
    }
    return nullptr;
}

}  // namespace zelsim
