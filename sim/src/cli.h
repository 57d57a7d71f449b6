// Command line of zel-unit-sim.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zelsim/model.h"
#include "zelsim/server.h"

namespace zelsim {

struct SimOptions {
  std::vector<std::string> listen;  // one unit per address
  uint16_t port = 6653;
  bool allow_remote = false;
  UnitConfig unit;  // shared settings; every unit gets its own model (and image file)
  ServerLimits limits;  // per unit
};

// Parses argv into `out`. Returns -1 when the program should go on, otherwise the
// exit status (0 after --help, non-zero after an error, which has been printed).
int ParseCommandLine(int argc, const char* const* argv, SimOptions& out);

// True for IPv4 addresses in 127.0.0.0/8.
bool IsLoopbackAddress(const std::string& address);

// Image file of one unit: `base` itself for a single unit; with several units the
// address goes in before the extension: units.img -> units-127.0.0.2.img.
std::string EepromFileFor(const std::string& base, const std::string& address, size_t units);

}  // namespace zelsim
