// Control of the fake platform layer (fake_platform.cpp) that the library fuzz target links in
// place of the real sockets: the unit on the other end of every link answers with fuzz bytes.
#pragma once

#include <cstddef>

class FuzzedDataProvider;

namespace fakepeer {

// Every later platform call draws its outcome (connect result, send result, reply bytes) from
// `data`; with no data left, sends succeed and receives time out. Null ends the session.
void Begin(FuzzedDataProvider* data);
// Sockets the library opened and has not closed.
std::size_t OpenSockets();

}  // namespace fakepeer
