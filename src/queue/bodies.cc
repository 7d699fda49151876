// Message bodies: read through a memory map of the log, or kept in the
// state for a queue without a log.
#include <algorithm>
#include <cstdint>

#include "log_io/sys.h"
#include "queue/queue_impl.h"

namespace tarnwick {

namespace {

Error body_out_of_bounds(uint64_t need, uint64_t mapped) {
  return Error::make(ErrorKind::kBodyBounds, "Tarnwick: body read out of bounds (need " +
                                                 std::to_string(need) + ", mapped " +
                                                 std::to_string(mapped) + ")");
}

// Room mapped past the log's end, so that bodies appended later are read
// through the same map rather than a new one (system calls and fresh page
// faults) for nearly every dequeue of a message just enqueued.
uint64_t map_length_for(uint64_t file_size) {
  const uint64_t room = std::max(file_size / 4, kMapRoomBytes);
  const uint64_t limit = std::min<uint64_t>(INT64_MAX, SIZE_MAX);
  return file_size > limit - room ? limit : file_size + room;
}

}  // namespace

// Bodies are read during a call, after its catch-up confirmed that the
// reader holds the file at the log's name and that the file ends at
// applied_offset; every live message's frame lies below that, so any body
// inside the map can be read.
Status QueueImpl::map_through(uint64_t end) {
  if (!persistent || (inner.map.mapped() && inner.map.size() >= end)) return {};
  const uint64_t size = inner.applied_offset;
  if (size > static_cast<uint64_t>(INT64_MAX)) {
    return Error::invalid_data("memory map length overflows isize");
  }
  if (size < end) return body_out_of_bounds(end, size);
  const uint64_t map_length = map_length_for(size);
  TW_ASSIGN_OR_RETURN(void* addr, sys::mmap_read_shared(inner.files->reader.get(), map_length));
  inner.map = MappedRegion(addr, map_length);
  return {};
}

Result<ByteSpan> QueueImpl::read_body(uint64_t offset, uint32_t length) {
  const uint64_t end = offset + length;
  if (length == 0 && end >= offset) return ByteSpan{};
  if (end >= offset) TW_TRY(map_through(end));
  if (end < offset || inner.map.size() < end) return body_out_of_bounds(end, inner.map.size());
  return ByteSpan(inner.map.data() + offset, length);
}

Result<ByteSpan> QueueImpl::body_of(const MessageEntry& entry) {
  if (!persistent) return ByteSpan(entry.body.get(), entry.body ? entry.body_len : 0);
  return read_body(entry.body_offset, entry.body_len);
}

}  // namespace tarnwick
