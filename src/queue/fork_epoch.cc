#include "queue/fork_epoch.h"

#include <pthread.h>

#include <atomic>

namespace tarnwick {
namespace {

std::atomic<uint64_t> g_epoch{0};

void in_child() { g_epoch.fetch_add(1, std::memory_order_relaxed); }

// Registered before the first object exists, hence before any fork that matters.
const bool g_registered = [] { return pthread_atfork(nullptr, nullptr, in_child) == 0; }();

}  // namespace

uint64_t fork_epoch() {
  (void)g_registered;
  return g_epoch.load(std::memory_order_relaxed);
}

}  // namespace tarnwick
