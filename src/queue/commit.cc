// The commit path: every record an operation writes goes through commit(),
// which writes the records, then applies them, then syncs as asked.
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "log_io/clock.h"
#include "log_io/kill_point.h"
#include "log_io/sys.h"
#include "queue/queue_impl.h"
#include "queue/recover.h"

namespace tarnwick {

Status QueueImpl::commit(const RecordView& record, Sync sync) {
  return commit_batch(std::span<const RecordView>(&record, 1), sync);
}

Status QueueImpl::commit_batch(std::span<const RecordView> records, Sync sync) {
  // Refused before anything is written, so there is nothing to cut back either.
  if (inner.files && read_only) return read_only_error();
  if (inner.files) TW_TRY(upgrade_for(records));
  // A message that leaves with a unique_for window keeps its key: a
  // KEPT_KEY with the window's end follows its removal in the same run, so
  // that every process and every replay agrees on when the window closes.
  std::vector<RecordView> with_kept_keys;
  std::vector<std::string> kept;  // the keys those records borrow
  const QueueState& state = inner.state;
  auto keeps_key = [&state](const RecordView& r) -> const MessageOptions* {
    if (r.tag != ACK && r.tag != DEAD && r.tag != CANCEL && r.tag != OUTCOME) return nullptr;
    const MessageOptions* o = state.options_of(r.seq);
    return o != nullptr && !o->key.empty() && o->unique_for_ms != 0 ? o : nullptr;
  };
  if (!state.options.empty() &&
      std::any_of(records.begin(), records.end(), [&](const RecordView& r) { return keeps_key(r); })) {
    const uint64_t now = now_ms();
    kept.reserve(records.size());
    for (const RecordView& r : records) {
      with_kept_keys.push_back(r);
      if (const MessageOptions* o = keeps_key(r)) {
        kept.push_back(o->key);
        with_kept_keys.push_back(
            RecordView::kept_key(r.seq, saturating_add(now, o->unique_for_ms), kept.back()));
      }
    }
    records = with_kept_keys;
  }
  const uint64_t start = inner.applied_offset;
  const bool puts = reserve && !may_spend_reserve(records);
  if (puts && !reserve->ready_for_puts(inner.log_bytes)) {
    return Error::os(ENOSPC);  // the room left is the drain's
  }
  kill_point(KillPoint::kCommitBeforeWrite);
  Status written = write_records(records);
  if (!written.ok() && out_of_space(written.error())) {
    if (puts) {
      reserve->put_found_disk_full();
    } else if (reserve && cut_back(start) && reserve->free_settle_share()) {
      written = write_records(records);
    }
  }
  if (!written.ok()) {
    cut_back(start);
    return written;
  }
  // Whoever syncs next may sync this far.
  if (group_commit) group_commit->note_written(log_identity(), inner.log_bytes);
  kill_point(KillPoint::kCommitWrittenBeforeApply);
  if (puts) reserve->grow_with(inner.log_bytes);
  const bool keep_bodies = !inner.files;  // no log to read them back from
  uint64_t frame_offset = start;
  for (const RecordView& record : records) {
    inner.state.apply(record, frame_offset, keep_bodies);
    frame_offset += frame_length(record);
  }
  kill_point(KillPoint::kCommitAppliedBeforeSync);
  if (sync == Sync::kNone) return {};
  return maybe_sync(sync == Sync::kNow);
}

Status QueueImpl::write_records(std::span<const RecordView> records) {
  if (!inner.files) return {};  // a queue without a log writes nothing
  std::vector<uint8_t>& chunk = inner.scratch;
  std::vector<DirectBody>& direct = inner.direct_bodies;
  for (size_t next = 0; next < records.size();) {
    chunk.clear();
    direct.clear();
    uint64_t bytes = 0;
    for (; next < records.size() && (bytes == 0 || bytes < kBatchWriteBytes) &&
           2 * direct.size() + 3 <= kMaxWritePieces;
         ++next) {
      const RecordView& record = records[next];
      // A large body is not copied: `chunk` gets its frame's first bytes,
      // and one vectored write takes the chunk's pieces and the bodies in order.
      if (record.tag == ENQUEUE && record.body.size() >= kDirectBodyBytes) {
        append_enqueue_head_to(chunk, record.seq, record.time_ms, record.body);
        direct.push_back({chunk.size(), record.body});
      } else {
        append_frame_to(chunk, record);
      }
      bytes += frame_length(record);
    }
    TW_TRY(write_chunk(bytes));
  }
  // A large body must not pin a large buffer for the object's life.
  if (chunk.capacity() > 2 * kBatchWriteBytes) std::vector<uint8_t>().swap(chunk);
  return {};
}

// Hands scratch (with the direct bodies between its pieces) to the file in
// one write. Offsets move only on success.
Status QueueImpl::write_chunk(uint64_t bytes) {
  LogFiles& files = *inner.files;
  const std::vector<uint8_t>& chunk = inner.scratch;
  const std::vector<DirectBody>& direct = inner.direct_bodies;
  if (!files.appends) {
    preallocate_for(bytes);
    TW_TRY(sys::lseek(files.writer_fd.get(), static_cast<int64_t>(inner.applied_offset), SEEK_SET));
  }
  if (direct.empty()) {
    TW_TRY(files.writer.write_all(chunk));
    TW_TRY(files.writer.flush());
  } else {
    std::vector<struct ::iovec>& pieces = inner.write_pieces;
    pieces.clear();
    auto add = [&pieces](const uint8_t* data, size_t length) {
      if (length > 0) pieces.push_back({const_cast<uint8_t*>(data), length});
    };
    size_t from = 0;
    for (const DirectBody& d : direct) {
      add(chunk.data() + from, d.chunk_end - from);
      add(d.body.data(), d.body.size());
      from = d.chunk_end;
    }
    add(chunk.data() + from, chunk.size() - from);
    TW_TRY(files.writer.flush());
    TW_TRY(sys::writev_all(files.writer_fd.get(), pieces.data(), static_cast<int>(pieces.size())));
  }
  inner.applied_offset += bytes;
  inner.log_bytes += bytes;
  return {};
}

void QueueImpl::preallocate_for(uint64_t bytes) {
  LogFiles& files = *inner.files;
  const uint64_t end = inner.applied_offset + bytes;
  if (end <= files.allocated) return;
  // Another process may have grown the file since we looked. Without its
  // size, the records go without zeros ahead of them.
  auto size = sys::file_size(files.reader.get());
  if (!size.ok()) return;
  files.allocated = *size;
  if (end <= files.allocated) return;
  constexpr uint64_t kPage = 4096;
  const uint64_t to = (end + PREALLOCATE_BYTES + kPage - 1) / kPage * kPage;
  // From past the records' end only, so that no record is ever overwritten;
  // the records fill the gap before it. Should it fail (a full disk), the
  // records are appended past the file's end instead, and the next write
  // tries again.
  const uint64_t from = std::max(files.allocated, end);
  if (sys::write_zeros(files.writer_fd.get(), from, to - from).ok()) files.allocated = to;
}

bool out_of_space(const Error& error) {
  return error.kind() == ErrorKind::kOs && (error.os_code() == ENOSPC || error.os_code() == EDQUOT);
}

// Settling and moving messages may spend the reserve, putting them (or
// changing a schedule, which may put them) may not: a full disk refuses new
// messages but lets the queue drain.
bool QueueImpl::may_spend_reserve(std::span<const RecordView> records) const {
  if (!reserve) return false;
  return writes_drain || std::none_of(records.begin(), records.end(), [](const RecordView& r) {
           return r.tag == ENQUEUE || r.tag == ENQUEUE_WITH_OPTIONS || r.tag == SCHEDULE;
         });
}

bool QueueImpl::cut_back(uint64_t offset) {
  if (!inner.files) return false;
  // Nothing past `offset` was applied: the next catch-up reads from there.
  inner.applied_offset = inner.log_bytes = offset;
  const int fd = inner.files->writer_fd.get();
  // A preallocated log may end at its last record too: it loses its zeros.
  inner.files->allocated = offset;
  Status cut = sys::ftruncate(fd, offset);
  // Synced, so that a power cut cannot bring the abandoned frames back.
  if (cut.ok()) cut = sys::full_sync(fd);
  if (!cut.ok()) {
    warn("Tarnwick: could not cut a failed batch off the log at byte " + std::to_string(offset) +
         ": " + cut.error().text() + "\n");
  }
  return cut.ok();
}

Status QueueImpl::maybe_sync(bool force) {
  if (!inner.files || read_only) return {};  // read-only: nothing of ours to sync
  const int fd = inner.files->writer_fd.get();
  uint64_t synced_at = 0;
  if (force || settings.sync_interval_ms == 0) {
    TW_TRY(inner.files->writer.flush());
    if (group_commit) {
      TW_ASSIGN_OR_RETURN(SyncTicket ticket, group_commit->ticket(log_identity(), fd, inner.log_bytes,
                                                                  !inner.files->appends));
      if (defer_sync_) return owe_sync(std::move(ticket));
      TW_TRY(group_commit->wait(ticket));
    } else {
      TW_TRY(sync_log());
    }
    synced_at = now_ms();
  } else {
    const uint64_t now = now_ms();
    const uint64_t elapsed = now > inner.last_sync_ms ? now - inner.last_sync_ms : 0;
    if (elapsed < settings.sync_interval_ms) return {};
    TW_TRY(inner.files->writer.flush());
    TW_TRY(sync_log());
    synced_at = now;
  }
  // A sync that ran under the process lock.
  kill_point(KillPoint::kCommitSyncedBeforeUnlock);
  inner.last_sync_ms = synced_at;
  return {};
}

// A preallocated log is overwritten inside its size, so that a sync of its
// data alone skips the journal's commit of the file's times; where the write
// grew the file, fdatasync syncs the new size too.
Status QueueImpl::sync_log() {
  const LogFiles& files = *inner.files;
  return files.appends ? sys::full_sync(files.writer_fd.get()) : sys::data_sync(files.writer_fd.get());
}

Status QueueImpl::owe_sync(SyncTicket ticket) {
  // Only the last ticket of a log is waited for: it covers the earlier ones.
  if (owed_sync_ && owed_sync_->point.log != ticket.point.log) {
    TW_TRY(group_commit->wait(*owed_sync_));
  }
  owed_sync_ = std::move(ticket);
  return {};
}

// Kept on failure: the operation's end reports it again (the group commit
// remembers the failed sync), whatever the caller makes of it here.
Status QueueImpl::settle_owed_now() {
  if (!owed_sync_) return {};
  TW_TRY(group_commit->wait(*owed_sync_));
  owed_sync_.reset();
  return {};
}

LogIdentity QueueImpl::log_identity() const {
  return LogIdentity{static_cast<uint64_t>(inner.files->dev), static_cast<uint64_t>(inner.files->ino),
                     inner.generation};
}

}  // namespace tarnwick
