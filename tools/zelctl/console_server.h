// The console's HTTP server: the page (console_assets.h), the JSON API under /api/v1/ and the live feed
// (Server-Sent Events), each unit reached through its UnitWorker.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "station.h"
#include "unit_worker.h"

namespace zelctl {

// A request body larger than this is refused (413): a whole backup of a unit with all six wavelength slots
// in use is about 64 KB, and no other request carries more than a few bytes.
inline constexpr std::size_t kMaxRequestBody = 256 * 1024;

struct ConsoleOptions {
    std::string host = "127.0.0.1";  // the listen address
    int port = 8653;                 // 0: one the system picks
    std::string token;               // required on every API request when not empty
    WorkerOptions worker;
};

// The defaults of `zelctl serve`.
inline constexpr const char* kDefaultListenHost = "127.0.0.1";
inline constexpr int kDefaultListenPort = 8653;

// A token for a console that needs one: 128 bits from the system's random source, as hex.
std::string NewToken();

class ConsoleServer {
public:
    ConsoleServer(ConsoleOptions options, const std::vector<UnitTarget>& units);
    ~ConsoleServer();
    ConsoleServer(const ConsoleServer&) = delete;
    ConsoleServer& operator=(const ConsoleServer&) = delete;

    // Binds the listen address; Failure(kExitUsage) when it cannot. Returns the port.
    int Bind();
    // Serves until Stop (from another thread or a signal's watcher).
    void Serve();
    void Stop();
    // http://host:port/ with ?token=... when a token is in force.
    std::string Url() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zelctl
