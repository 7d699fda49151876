// Lets an object notice that it now runs in a child of fork() without a
// system call per operation: the count rises in every child.
#pragma once

#include <cstdint>

namespace tarnwick {

uint64_t fork_epoch();

}  // namespace tarnwick
