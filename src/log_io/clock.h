// Clocks: wall-clock milliseconds for timestamps and deadlines, monotonic
// time for the lock's wait.
#pragma once

#include <cstdint>

namespace tarnwick {

// Milliseconds since the Unix epoch; 0 if the clock reads before it.
uint64_t now_ms();
// Monotonic nanoseconds from an arbitrary origin.
uint64_t monotonic_ns();

}  // namespace tarnwick
