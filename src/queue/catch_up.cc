// Catching up with what other processes appended, and rebuilding the state
// when the log was replaced.
#include <algorithm>

#include "log_io/clock.h"
#include "log_io/durability.h"
#include "log_io/log_format.h"
#include "log_io/sys.h"
#include "queue/queue_impl.h"
#include "queue/recover.h"
#include "queue/replay.h"

namespace tarnwick {

Status QueueImpl::catch_up() {
  if (!persistent) return {};
  LogFiles& files = *inner.files;
  // Is the file at the log's name still the one we hold, of our generation,
  // and no shorter than what we applied? Anything else means a rebuild. The
  // name is looked up only if the directory changed since it last was.
  const DirectoryStamp& stamp = lock->directory_stamp();
  uint64_t size = 0;
  bool same = false;
  if (!force_reload_ && files.name_check.holds(stamp)) {
    TW_ASSIGN_OR_RETURN(size, sys::file_size(files.reader.get()));
    same = true;
  } else if (auto found = sys::identity_at(dir_fd.get(), kLogName); found.ok()) {
    same = !force_reload_ && found->dev == files.dev && found->ino == files.ino;
    size = found->size;
    if (same) files.name_check.passed(stamp);
  }
  if (same && size >= inner.applied_offset) {
    uint8_t header[LOG_HEADER_LEN];
    same = files.read_header(header) && log_generation(header) == inner.generation;
  } else {
    same = false;
  }
  if (!same) return reload();
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
  // Frames are applied up to the first damage only: if intact frames follow
  // it, the whole log is rebuilt, which keeps them.
  MemoryLog appended(std::span<const uint8_t>(buf.data(), have), inner.applied_offset);
  auto replayed = replay_frames(appended, inner.applied_offset, Undecodable::kDamage,
                                AfterDamage::kStop, inner.state);
  if (buf.capacity() > (1u << 20)) std::vector<uint8_t>().swap(buf);
  else buf.clear();
  if (!replayed.ok()) return std::move(replayed).error();

  inner.applied_offset = replayed->end;
  inner.log_bytes = std::max(inner.log_bytes, replayed->end);
  if (!replayed->skipped.empty()) return reload();
  return replayed->tail ? repair_tail(*replayed->tail, replayed->frames) : Status{};
}

Status QueueImpl::repair_tail(const DamagedRange& tail, uint64_t records_read) {
  // A reader without write access leaves the tail to the next writer; every
  // catch-up stops where the damage begins until then.
  if (read_only) return {};
  const uint64_t end = tail.offset;
  LogFiles& files = *inner.files;
  TW_TRY(files.writer.flush());
  TW_TRY(sys::ftruncate(files.writer_fd.get(), end));
  TW_TRY(sys::full_sync(files.writer_fd.get()));
  TW_TRY(sync_parent_dir(log_path));
  inner.log_bytes = end;
  inner.map.reset();
  warn("Tarnwick: truncated corrupt log tail at byte " + std::to_string(end) + "\n");
  RepairReport report;
  report.cut_tail = tail;
  report.records_kept = records_read;
  report.generation = inner.generation;
  inner.last_repair = std::move(report);
  return {};
}

Status QueueImpl::reload() {
  TW_ASSIGN_OR_RETURN(Recovered recovered, read_only ? read_log(log_path) : recover(log_path));
  if (recovered.created) TW_TRY(forget_sync_points());
  inner.state = std::move(recovered.state);
  TW_TRY(reopen_io(recovered.generation));
  inner.format = recovered.format;
  inner.applied_offset = inner.log_bytes = recovered.end_offset;
  // Until the damaged log is replaced, every call rebuilds (and retries).
  force_reload_ = recovered.rewrite;
  if (recovered.report.cut_tail || recovered.rewrite) {
    TW_TRY(finish_repair(std::move(recovered)));
  }
  force_reload_ = false;
  return {};
}

Status QueueImpl::finish_repair(Recovered&& recovered) {
  if (recovered.rewrite) {
    TW_TRY(do_compact());
    recovered.report.generation = inner.generation;
  }
  inner.last_repair = std::move(recovered.report);
  return {};
}

Status QueueImpl::reopen_io(uint64_t generation) {
  TW_ASSIGN_OR_RETURN(struct ::stat st, sys::stat(log_path));
  TW_ASSIGN_OR_RETURN(LogFiles files, open_log_files());
  inner.files.emplace(std::move(files));
  if (group_commit) group_commit->forget_log();
  inner.generation = generation;
  inner.applied_offset = inner.log_bytes = static_cast<uint64_t>(st.st_size);
  inner.last_sync_ms = now_ms();
  inner.map.reset();
  return {};
}

Result<LogFiles> QueueImpl::open_log_files() const { return LogFiles::open(log_path, read_only); }

}  // namespace tarnwick
