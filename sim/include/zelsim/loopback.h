// Loopback addresses for simulated units, so that several units (and parallel test processes)
// each get an address of their own on port 6653.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "zelsim/server.h"

namespace zelsim {

// A random address in 127.0.0.0/8 with every octet in 1..254.
std::string RandomLoopbackAddress();

// Starts a server for `unit` on a random loopback address that is free; null when 50 addresses
// in a row could not be bound.
std::unique_ptr<Server> StartOnFreeLoopback(UnitModel& unit, std::uint16_t port = kUnitPort);

}  // namespace zelsim
