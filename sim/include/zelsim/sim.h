// Simulated test unit: the model (registers, EEPROM, optics) and its TCP server.
//
// Typical in-process use:
//   zelsim::UnitModel unit(cfg);
//   zelsim::Server server(unit, "127.0.0.5");
//   server.Start();
//   ... connect a host to 127.0.0.5:6653 ...
#pragma once

#include "zelsim/eeprom_file.h"
#include "zelsim/factory.h"
#include "zelsim/loopback.h"
#include "zelsim/model.h"
#include "zelsim/server.h"
