// Catching up with what other processes appended, and rebuilding the state
// when the log was replaced.
#include <algorithm>
#include <cstring>

#include "log_io/clock.h"
#include "log_io/durability.h"
#include "log_io/endian.h"
#include "log_io/log_format.h"
#include "log_io/sys.h"
#include "queue/queue_impl.h"
#include "queue/recover.h"
#include "queue/replay.h"

namespace tarnwick {
namespace {

bool all_zero(const uint8_t* bytes, size_t n) {
  return std::all_of(bytes, bytes + n, [](uint8_t b) { return b == 0; });
}

// What was written to a preallocated log of `size` bytes from `from` on, read
// into `buf`: the bytes up to the first place where a frame would begin and
// its header is zero, or where the file ends. From a frame that is not whole
// on its own terms (a wrong magic, a length past the file) everything read
// so far is kept, so that the replay finds it damaged.
Result<size_t> read_written(int fd, uint64_t from, uint64_t size, std::vector<uint8_t>& buf) {
  constexpr uint64_t kStep = 4096;  // bytes read at least per call
  uint64_t read_to = from;
  auto read_until = [&](uint64_t to) -> Status {
    to = std::min(to, size);
    if (to <= read_to) return {};
    const uint64_t want = std::min(size, std::max(to, read_to + kStep));
    buf.resize(static_cast<size_t>(want - from));
    while (read_to < want) {
      TW_ASSIGN_OR_RETURN(size_t got, sys::pread(fd, buf.data() + (read_to - from),
                                                 static_cast<size_t>(want - read_to), read_to));
      if (got == 0) break;
      read_to += got;
    }
    buf.resize(static_cast<size_t>(read_to - from));
    return {};
  };
  for (uint64_t frame = from;;) {
    TW_TRY(read_until(frame + FRAME_HEADER_LEN));
    if (read_to < frame + FRAME_HEADER_LEN) return static_cast<size_t>(read_to - from);
    const uint8_t* head = buf.data() + (frame - from);
    if (all_zero(head, FRAME_HEADER_LEN)) return static_cast<size_t>(frame - from);
    const uint64_t length = load_le32(head + 4);
    if (std::memcmp(head, FRAME_MAGIC, 4) != 0 || length > MAX_RECORD_LEN) {
      return static_cast<size_t>(read_to - from);
    }
    const uint64_t next = frame + FRAME_HEADER_LEN + length;
    TW_TRY(read_until(next));
    if (read_to < next) return static_cast<size_t>(read_to - from);
    frame = next;
  }
}

}  // namespace

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

  // Read what was written since we last looked. Every writer holds the lock
  // we hold, so the size just read is the end (of a preallocated log: the
  // first zero frame header).
  std::vector<uint8_t>& buf = inner.catch_up_buffer;
  const bool zeros_end = preallocated(inner.format);
  size_t have = 0;
  if (zeros_end) {
    TW_ASSIGN_OR_RETURN(have, read_written(files.reader.get(), inner.applied_offset, size, buf));
    if (have == 0) return {};
  } else {
    buf.resize(size - inner.applied_offset);
    while (have < buf.size()) {
      TW_ASSIGN_OR_RETURN(size_t got, sys::pread(files.reader.get(), buf.data() + have,
                                                 buf.size() - have, inner.applied_offset + have));
      if (got == 0) break;
      have += got;
    }
  }
  // Frames are applied up to the first damage only: if intact frames follow
  // it, the whole log is rebuilt, which keeps them.
  MemoryLog appended(std::span<const uint8_t>(buf.data(), have), inner.applied_offset);
  auto replayed = replay_frames(appended, inner.applied_offset, Undecodable::kDamage,
                                AfterDamage::kStop, inner.state, zeros_end);
  if (buf.capacity() > (1u << 20)) std::vector<uint8_t>().swap(buf);
  else buf.clear();
  if (!replayed.ok()) return std::move(replayed).error();

  inner.applied_offset = replayed->end;
  inner.log_bytes = std::max(inner.log_bytes, replayed->end);
  if (!replayed->skipped.empty()) return reload();
  if (!replayed->tail) return {};
  // Only the bytes up to the first zero header were read of a preallocated
  // log: whether intact frames follow the damage, a rebuild from the whole
  // file tells.
  if (zeros_end && !read_only) return reload();
  return repair_tail(*replayed->tail, replayed->frames);
}

Status QueueImpl::repair_tail(const DamagedRange& tail, uint64_t records_read) {
  // A reader without write access leaves the tail to the next writer; every
  // catch-up stops where the damage begins until then.
  if (read_only) return {};
  const uint64_t end = tail.offset;
  LogFiles& files = *inner.files;
  TW_TRY(files.writer.flush());
  files.allocated = end;
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
  TW_TRY(reopen_io(recovered.generation, recovered.format, recovered.end_offset));
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

Status QueueImpl::reopen_io(uint64_t generation, uint32_t format, uint64_t end) {
  TW_ASSIGN_OR_RETURN(LogFiles files, open_log_files(format));
  inner.files.emplace(std::move(files));
  if (group_commit) group_commit->forget_log();
  inner.generation = generation;
  inner.format = format;
  inner.applied_offset = inner.log_bytes = end;
  inner.last_sync_ms = now_ms();
  inner.map.reset();
  return {};
}

Result<LogFiles> QueueImpl::open_log_files(uint32_t format) const {
  return LogFiles::open(log_path, read_only, !preallocated(format));
}

}  // namespace tarnwick
