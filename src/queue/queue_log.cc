// Catching up with other processes, leases that ran out, and body reads.
#include <algorithm>
#include <cstring>

#include "log_io/clock.h"
#include "log_io/durability.h"
#include "log_io/endian.h"
#include "log_io/frame.h"
#include "log_io/log_format.h"
#include "log_io/sys.h"
#include "queue/queue_impl.h"
#include "queue/recover.h"
#include "queue/replay.h"

namespace tarnwick {

uint64_t saturating_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// --- catching up ---

Status QueueImpl::catch_up() {
  if (!persistent) return {};
  LogFiles& files = *inner.files;
  // Is the file at the log's name still the one we hold, of our generation,
  // and no shorter than what we applied? Anything else means a rebuild.
  auto found = sys::identity_at(dir_fd.get(), kLogName);
  bool same = !force_reload_ && found.ok() && found->dev == files.dev &&
              found->ino == files.ino && found->size >= inner.applied_offset;
  if (same) {
    uint8_t header[LOG_HEADER_LEN];
    same = files.read_header(header) && log_generation(header) == inner.generation;
  }
  if (!same) return reload();

  const uint64_t size = found->size;
  if (size == inner.applied_offset) return {};

  // Read what was appended since we last looked. Every writer holds the lock
  // we hold, so the size just read is the end.
  std::vector<uint8_t>& buf = inner.catch_up_buffer;
  buf.resize(size - inner.applied_offset);
  size_t have = 0;
  while (have < buf.size()) {
    TW_ASSIGN_OR_RETURN(size_t got, sys::pread(files.reader.get(), buf.data() + have,
                                               buf.size() - have, inner.applied_offset + have));
    if (got == 0) break;
    have += got;
  }
  MemoryReader reader(std::span<const uint8_t>(buf.data(), have));
  QueueState& state = inner.state;
  TW_ASSIGN_OR_RETURN(const Replayed replayed,
                      replay_frames(reader, inner.applied_offset, Undecodable::kDamage,
                                    [&state](const RecordView& record, uint64_t offset) {
                                      state.apply(record, offset);
                                    }));
  if (buf.capacity() > (1u << 20)) std::vector<uint8_t>().swap(buf);
  else buf.clear();

  inner.applied_offset = replayed.end;
  inner.log_bytes = std::max(inner.log_bytes, replayed.end);
  return replayed.damaged ? repair_tail(replayed.end) : Status{};
}

Status QueueImpl::repair_tail(uint64_t end) {
  LogFiles& files = *inner.files;
  TW_TRY(files.writer.flush());
  TW_TRY(sys::ftruncate(files.writer_fd.get(), end));
  TW_TRY(sys::full_sync(files.writer_fd.get()));
  TW_TRY(sync_parent_dir(log_path));
  inner.log_bytes = end;
  inner.map.reset();
  warn("Tarnwick: truncated corrupt log tail at byte " + std::to_string(end) + "\n");
  return {};
}

Status QueueImpl::reload() {
  TW_ASSIGN_OR_RETURN(Recovered recovered, recover(log_path));
  inner.state = std::move(recovered.state);
  TW_TRY(reopen_io(recovered.generation));
  inner.applied_offset = inner.log_bytes = recovered.end_offset;
  force_reload_ = false;
  return {};
}

Status QueueImpl::reopen_io(uint64_t generation) {
  TW_ASSIGN_OR_RETURN(struct ::stat st, sys::stat(log_path));
  TW_ASSIGN_OR_RETURN(LogFiles files, LogFiles::open(log_path));
  inner.files.emplace(std::move(files));
  inner.generation = generation;
  inner.applied_offset = inner.log_bytes = static_cast<uint64_t>(st.st_size);
  inner.last_sync_ms = now_ms();
  inner.map.reset();
  return {};
}

// --- leases ---

Status QueueImpl::reclaim_expired(uint64_t now) {
  QueueState& state = inner.state;
  while (!state.lease_heap.empty() && state.lease_heap.top().first <= now) {
    const auto [deadline, seq] = state.lease_heap.top();
    state.lease_heap.pop();
    auto leased = state.in_flight.find(seq);
    if (leased == state.in_flight.end() || leased->second != deadline) continue;  // stale
    auto entry = state.messages.find(seq);
    if (entry == state.messages.end()) {
      return Error::invariant("leased message " + std::to_string(seq) + " has no entry");
    }
    Status committed = commit(RecordView::requeue(seq, entry->second.deliveries), Sync::kInterval);
    if (!committed.ok()) {
      // Not written: a later call tries again (a failed sync did apply it).
      auto still = state.in_flight.find(seq);
      if (still != state.in_flight.end() && still->second == deadline) {
        state.lease_heap.emplace(deadline, seq);
      }
      return committed;
    }
  }
  return {};
}

// --- bodies ---

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
Result<ByteSpan> QueueImpl::read_body(uint64_t offset, uint32_t length) {
  const uint64_t end = offset + length;
  if (length == 0 && end >= offset) return ByteSpan{};
  if (!inner.map.mapped() || inner.map.size() < end) {
    const uint64_t size = inner.applied_offset;
    if (size > static_cast<uint64_t>(INT64_MAX)) {
      return Error::invalid_data("memory map length overflows isize");
    }
    if (size < end) return body_out_of_bounds(end, size);
    const uint64_t map_length = map_length_for(size);
    TW_ASSIGN_OR_RETURN(void* addr,
                        sys::mmap_read_shared(inner.files->reader.get(), map_length));
    inner.map = MappedRegion(addr, map_length);
  }
  if (end < offset || inner.map.size() < end) return body_out_of_bounds(end, inner.map.size());
  return ByteSpan(inner.map.data() + offset, length);
}

Result<ByteSpan> QueueImpl::body_of(const MessageEntry& entry) {
  if (!persistent) return ByteSpan(entry.body.get(), entry.body ? entry.body_len : 0);
  return read_body(entry.body_offset, entry.body_len);
}

}  // namespace tarnwick
