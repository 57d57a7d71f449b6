// serve: the console in a browser for the units of the command line (or of the station), or for
// simulated units in this process; until Ctrl-C.
#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "commands.h"
#include "common.h"
#include "console_server.h"
#include "station.h"
#include "terminal.h"
#include "zelsim/sim.h"

namespace zelctl {
namespace {

struct ServeOptions {
    std::string listen = std::string(kDefaultListenHost) + ":" + std::to_string(kDefaultListenPort);
    std::string token;
    bool demo = false;
    unsigned demo_units = 1;
};

// ADDR:PORT, ADDR alone (the default port), or [IPv6]:PORT. Failure(kExitUsage) for anything else.
void ParseListen(const std::string& text, ConsoleOptions& out) {
    std::string host = text, port;
    bool port_given = false;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) throw Failure(kExitUsage, "--listen " + text + ": no ']' after the address");
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') throw Failure(kExitUsage, "--listen " + text + ": ':' must follow ']'");
            port = text.substr(close + 2);
            port_given = true;
        }
    } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        port_given = true;
    }
    if (host == "localhost") host = kDefaultListenHost;
    if (!IsDottedQuad(host) && host.find(':') == std::string::npos) {
        throw Failure(kExitUsage,
                      "--listen " + text + ": the address must be an IPv4 dotted quad, [IPv6] or localhost");
    }
    out.host = host;
    out.port = kDefaultListenPort;
    if (port_given) {
        const bool digits =
            !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
        if (!digits || std::stoul(port) > 65535)
            throw Failure(kExitUsage, "--listen " + text + ": the port must be 0..65535");
        out.port = static_cast<int>(std::stoul(port));
    }
}

// The units to serve: --unit values (names of the station or addresses), else every unit of the
// station, else the default unit.
std::vector<UnitTarget> UnitsToServe(const GlobalOptions& g) {
    std::optional<Station> station;
    if (!g.station.empty()) station = LoadStation(g.station);
    std::vector<std::string> values = g.units;
    if (values.empty()) values.push_back(station ? "all" : g.unit);
    return ResolveUnits(values, station ? &*station : nullptr, std::nullopt, g.timeout_ms);
}

void RunServe(const GlobalOptions& g, const ServeOptions& o) {
    ConsoleOptions console;
    ParseListen(o.listen, console);
    // Anywhere but the default loopback address, the console answers only those who have its token.
    console.token = o.token;
    if (console.token.empty() && console.host != kDefaultListenHost) console.token = NewToken();
    if (g.timeout_ms != 0) console.worker.timeout_ms = g.timeout_ms;

    std::vector<std::unique_ptr<zelsim::UnitModel>> models;
    std::vector<std::unique_ptr<zelsim::Server>> sims;
    std::vector<UnitTarget> units;
    if (o.demo) {
        for (unsigned i = 0; i < o.demo_units; ++i) {
            models.push_back(std::make_unique<zelsim::UnitModel>(DemoUnit()));
            sims.push_back(zelsim::StartOnFreeLoopback(*models.back()));
            if (!sims.back()) throw Failure(kExitUnit, "cannot start a simulated unit on a loopback address");
            const std::string name = o.demo_units == 1 ? "demo" : "demo" + std::to_string(i + 1);
            units.push_back({name, sims.back()->Address(), console.worker.timeout_ms, false});
            std::printf("Simulated unit %s at %s (in this process)\n", name.c_str(), sims.back()->Address().c_str());
        }
    } else {
        units = UnitsToServe(g);
    }

    {
        ConsoleServer server(console, units);
        server.Bind();
        const InterruptGuard interrupt;  // Ctrl-C sets the flag the watcher below looks at
        std::atomic<bool> served{false};
        std::printf("Console: %s\nCtrl-C stops it.\n", server.Url().c_str());
        std::fflush(stdout);
        // The signal only sets the flag; the server is stopped from here, outside the signal handler.
        std::thread watcher([&server, &served] {
            while (!Interrupted() && !served.load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            server.Stop();
        });
        server.Serve();
        served.store(true);
        watcher.join();
    }  // the workers stop before the simulated units do
    for (auto& sim : sims) sim->Stop();
    std::printf("Stopped.\n");
}

}  // namespace

void AddServeCommand(CLI::App& app, const GlobalOptions& g) {
    auto o = std::make_shared<ServeOptions>();
    auto* serve = app.add_subcommand(
        "serve",
        "Serve the console, a page for the browser and a JSON API (/api/v1/), for the units of --unit or --station "
        "(or simulated ones with --demo) until Ctrl-C");
    serve
        ->add_option("--listen", o->listen,
                     "Address and port to listen on (ADDR:PORT; any address but 127.0.0.1 requires a token)")
        ->capture_default_str();
    serve->add_option("--token", o->token,
                      "The token every API request must carry (default: none on 127.0.0.1, else one generated and "
                      "printed in the URL)");
    serve->add_flag("--demo", o->demo, "Serve simulated 8-channel units started in this process");
    serve->add_option("--demo-units", o->demo_units, "How many simulated units --demo starts")
        ->capture_default_str()
        ->check(CLI::Range(1, 32));
    serve->callback([&g, o] { RunServe(g, *o); });
}

}  // namespace zelctl
