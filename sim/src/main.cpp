// zel-unit-sim: one or more simulated test units on TCP port 6653.
#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

#include "cli.h"
#include "sys.h"
#include "zelsim/sim.h"

int main(int argc, char** argv) {
  zelsim::SimOptions opts;
  const int status = zelsim::ParseCommandLine(argc, argv, opts);
  if (status >= 0) return status;

  // Before any thread starts, so that only the wait below sees the stop requests.
  zelsim::sys::CatchStopRequests();

  std::vector<std::unique_ptr<zelsim::UnitModel>> units;
  std::vector<std::unique_ptr<zelsim::Server>> servers;
  int exit_code = 0;
  try {
    for (const auto& address : opts.listen) {
      zelsim::UnitConfig cfg = opts.unit;
      cfg.eeprom_file = zelsim::EepromFileFor(opts.unit.eeprom_file, address, opts.listen.size());
      units.push_back(std::make_unique<zelsim::UnitModel>(cfg));
      units.back()->SetLogTag(address);
      servers.push_back(std::make_unique<zelsim::Server>(*units.back(), address, opts.port, opts.limits));
      if (!servers.back()->Start()) {
        std::fprintf(stderr, "zel-unit-sim: cannot listen on %s:%u\n", address.c_str(), opts.port);
        exit_code = 1;
        break;
      }
      std::fprintf(stderr, "zel-unit-sim: unit at %s:%u (board type %d, board ID 0x%04X, firmware %.1f%s%s)\n",
                   address.c_str(), opts.port, cfg.board_type, cfg.board_id, cfg.firmware_tenths / 10.0,
                   cfg.eeprom_file.empty() ? "" : ", EEPROM ", cfg.eeprom_file.c_str());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zel-unit-sim: %s\n", e.what());
    exit_code = 1;
  }

  if (exit_code == 0) {
    const std::string why = zelsim::sys::WaitForStopRequest();
    std::fprintf(stderr, "zel-unit-sim: %s, stopping\n", why.c_str());
  }
  for (auto& s : servers) s->Stop();
  servers.clear();
  units.clear();  // saves changed EEPROM images
  return exit_code;
}
