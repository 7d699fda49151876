// The small helpers that the operations and the log engine share.
#include "queue/queue_impl.h"

#include <cerrno>
#include <string>

#include "log_io/log_format.h"

namespace tarnwick {

uint64_t saturating_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

Error missing_entry(uint64_t seq) {
  return Error::invariant("ready message " + std::to_string(seq) + " has no entry");
}

Error read_only_error() { return Error::os(EBADF, "the queue was opened read-only"); }

Error oversized_body(size_t length) {
  return Error::invalid_data("message body of " + std::to_string(length) +
                             " bytes exceeds the maximum of " + std::to_string(MAX_BODY_LEN) +
                             " bytes");
}

// Ids are never reused while a message may hold one: past the largest there
// is none to give.
Status check_ids_left(const QueueState& state, size_t count) {
  if (!state.seq_exhausted && count - 1 <= UINT64_MAX - state.next_seq) return {};
  return Error::make(ErrorKind::kIdsExhausted,
                     "Tarnwick: message ids are exhausted (the largest is 18446744073709551615)");
}

uint32_t next_delivery_count(uint32_t deliveries) {
  return deliveries == UINT32_MAX ? deliveries : deliveries + 1;
}

}  // namespace tarnwick
