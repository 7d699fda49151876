#include "queue/recover.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>
#include <string_view>

#include "log_io/buffered_io.h"
#include "log_io/clock.h"
#include "log_io/durability.h"
#include "log_io/endian.h"
#include "log_io/file_access.h"
#include "log_io/frame.h"
#include "log_io/log_format.h"
#include "log_io/sys.h"
#include "queue/replay.h"

namespace tarnwick {
namespace {

// Where a new log is assembled: the name purge uses, as both write a log of
// a header alone.
std::string new_log_path(const std::string& log_path) {
  constexpr std::string_view kExtension = "log";
  if (log_path.ends_with(kExtension)) {
    return log_path.substr(0, log_path.size() - kExtension.size()) + "purge.tmp";
  }
  return log_path + ".purge.tmp";
}

// Puts a fresh log of generation 0 at `log_path` the way compaction replaces
// one: a complete, synced file renamed into place, so that a power cut
// leaves either no log (or the old short file) or a whole header.
Result<Recovered> create_log(const std::string& log_path) {
  {
    TW_ASSIGN_OR_RETURN(ReplacementFile file, ReplacementFile::create(new_log_path(log_path)));
    TW_TRY(write_header(file.fd(), 0));
    TW_TRY(sys::full_sync(file.fd()));
    TW_TRY(file.rename_to(log_path));
  }
  TW_TRY(sync_parent_dir(log_path));
  Recovered fresh;
  fresh.end_offset = LOG_HEADER_LEN;
  fresh.created = true;
  return fresh;
}

// A new log in place of `dropped` bytes that held no record (a header cut
// short, or zeroed): reported as a tail cut at byte 0, so that the report
// holds every byte recovery dropped.
Result<Recovered> recreate_log(const std::string& log_path, uint64_t dropped, const char* why) {
  TW_ASSIGN_OR_RETURN(Recovered fresh, create_log(log_path));
  if (dropped > 0) fresh.report.cut_tail = DamagedRange{0, dropped, why};
  return fresh;
}

// What an interrupted in-place header write of older versions could leave:
// the header's length and nothing in it, and no record after it.
bool is_zeroed_header(const uint8_t (&header)[LOG_HEADER_LEN], uint64_t file_size) {
  if (file_size != LOG_HEADER_LEN) return false;
  for (uint8_t byte : header) {
    if (byte != 0) return false;
  }
  return true;
}

Status cut_tail(int fd, const std::string& log_path, uint64_t offset) {
  TW_TRY(sys::ftruncate(fd, offset));
  TW_TRY(sys::full_sync(fd));
  return sync_parent_dir(log_path);
}

// A file shorter than a header is a new log only when it is empty or the
// start of a header: any other short file holds something else.
Result<bool> short_file_is_new(int fd, uint64_t size) {
  uint8_t bytes[LOG_HEADER_LEN] = {};
  size_t have = 0;
  while (have < size) {
    TW_ASSIGN_OR_RETURN(size_t got, sys::pread(fd, bytes + have, size - have, have));
    if (got == 0) break;
    have += got;
  }
  return is_header_prefix(std::span<const uint8_t>(bytes, have));
}

// "20261209T023000Z": the UTC time of day, for names.
std::string utc_stamp() {
  const auto seconds = static_cast<std::time_t>(now_ms() / 1000);
  std::tm parts{};
  char text[32] = "unknown-time";
  if (::gmtime_r(&seconds, &parts) != nullptr) {
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
  }
  return text;
}

Status copy_file(int from, uint64_t size, int to) {
  std::vector<uint8_t> chunk(std::min<uint64_t>(size, uint64_t{1} << 20));
  for (uint64_t at = 0; at < size;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - at));
    TW_ASSIGN_OR_RETURN(size_t got, sys::pread(from, chunk.data(), want, at));
    if (got == 0) return Error::unexpected_eof();
    TW_TRY(sys::write_all(to, chunk.data(), got));
    at += got;
  }
  return sys::full_sync(to);
}

// Copies the whole damaged log beside it, as
// "queue.log.damaged-gen<generation>-<UTC time>", synced with its directory
// entry, before anything rewrites the log. Returns the copy's path. A copy
// that fails is removed again.
Result<std::string> set_aside(int fd, uint64_t size, const std::string& log_path,
                              uint64_t generation) {
  const std::string base =
      log_path + ".damaged-gen" + std::to_string(generation) + "-" + utc_stamp();
  // Readable by whoever may read the log it copies (file_access.h).
  TW_ASSIGN_OR_RETURN(struct ::stat log_stat, sys::fstat(fd));
  const FileAccess access = access_replacing(log_stat);
  for (int attempt = 0;; ++attempt) {
    std::string path = attempt == 0 ? base : base + "-" + std::to_string(attempt);
    auto created = sys::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW);
    if (!created.ok()) {
      const Error& error = created.error();
      if (error.kind() == ErrorKind::kOs && error.os_code() == EEXIST && attempt < 100) continue;
      return std::move(created).error();
    }
    Status copied = apply_access(created->get(), access);
    if (copied.ok()) copied = copy_file(fd, size, created->get());
    created->reset();
    if (copied.ok()) copied = sync_parent_dir(path);
    if (!copied.ok()) {
      (void)sys::unlink(path);
      return std::move(copied).error();
    }
    return path;
  }
}

std::string plural(uint64_t n, const char* noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

}  // namespace

bool is_header_prefix(std::span<const uint8_t> bytes) {
  // A magic and its version as written; the generation (bytes 8..16) may be any.
  constexpr uint8_t kWritten[5][8] = {{'T', 'W', 'F', 'L', FORMAT_VERSION, 0, 0, 0},
                                      {'T', 'W', 'F', '2', FORMAT_VERSION_2, 0, 0, 0},
                                      {'T', 'W', 'F', '3', FORMAT_VERSION_3, 0, 0, 0},
                                      {'T', 'W', 'F', '4', FORMAT_VERSION_4, 0, 0, 0},
                                      {'T', 'W', 'F', '5', FORMAT_VERSION_5, 0, 0, 0}};
  static_assert(FORMAT_VERSION_5 < 256);
  for (const auto& written : kWritten) {
    bool prefix = true;
    for (size_t i = 0; i < bytes.size() && i < sizeof written; ++i) prefix &= bytes[i] == written[i];
    if (prefix) return true;
  }
  return false;
}

std::string describe_ranges(const std::vector<DamagedRange>& ranges) {
  std::string text;
  for (const DamagedRange& range : ranges) {
    if (!text.empty()) text += ", ";
    text += std::to_string(range.offset) + "-" + std::to_string(range.offset + range.bytes - 1) +
            " (" + range.reason + ")";
  }
  return text;
}


void warn(const std::string& line) {
  // One write per line so that lines of several processes do not interleave.
  (void)sys::write_all(STDERR_FILENO, line.data(), line.size());
}

Result<Recovered> recover(const std::string& log_path) {
  auto opened = sys::open(log_path, O_RDWR | O_NOFOLLOW);
  if (!opened.ok()) {
    const Error& error = opened.error();
    if (error.kind() == ErrorKind::kOs && error.os_code() == ENOENT) return create_log(log_path);
    return std::move(opened).error();
  }
  UniqueFd fd = std::move(opened).value();
  TW_ASSIGN_OR_RETURN(struct ::stat st, sys::fstat(fd.get()));
  const auto size = static_cast<uint64_t>(st.st_size);
  if (size < LOG_HEADER_LEN) {
    TW_ASSIGN_OR_RETURN(bool is_new, short_file_is_new(fd.get(), size));
    if (!is_new) return Error::invalid_data(kBadLogMagic);
    return recreate_log(log_path, size, "log header cut short");
  }

  uint8_t header[LOG_HEADER_LEN];
  TW_TRY(sys::lseek(fd.get(), 0, SEEK_SET));
  {
    BufferedReader unbuffered(fd.get(), 1);
    TW_ASSIGN_OR_RETURN(ReadFill fill, read_full_or_eof(unbuffered, header, sizeof header));
    if (fill != ReadFill::kFull) return Error::unexpected_eof();
  }
  const std::optional<uint64_t> generation = log_generation(header);
  if (!generation) {
    if (!is_zeroed_header(header, size)) return Error::invalid_data(kBadLogMagic);
    warn("Tarnwick: queue.log held a zeroed header and no records; started a new log\n");
    return recreate_log(log_path, size, "zeroed header and no records");
  }

  Recovered out;
  out.generation = *generation;
  out.format = log_format(header);
  FileLog log(fd.get(), size);
  TW_ASSIGN_OR_RETURN(const Replayed replayed,
                      replay_frames(log, LOG_HEADER_LEN, Undecodable::kDamage,
                                    AfterDamage::kResync, out.state, preallocated(out.format)));
  out.end_offset = replayed.end;
  if (!replayed.damaged()) return out;

  RepairReport& report = out.report;
  report.skipped = replayed.skipped;
  report.cut_tail = replayed.tail;
  report.records_kept = replayed.frames;
  report.orphan_records = replayed.orphan_records;
  report.generation = out.generation;
  if (replayed.skipped.empty()) {
    const DamagedRange& tail = *replayed.tail;
    warn("Tarnwick: truncating " + std::string(replayed.tail_undecodable ? "undecodable" : "corrupt") +
         " log tail at byte " + std::to_string(tail.offset) + " (" + tail.reason + ")\n");
    TW_TRY(cut_tail(fd.get(), log_path, tail.offset));
    return out;
  }

  // Damage in the middle: keep the whole log as it is first, then the caller
  // writes every intact record into a new generation.
  TW_ASSIGN_OR_RETURN(report.damaged_copy, set_aside(fd.get(), size, log_path, out.generation));
  uint64_t skipped_bytes = 0;
  for (const DamagedRange& range : replayed.skipped) skipped_bytes += range.bytes;
  std::string line = "Tarnwick: skipped " + plural(skipped_bytes, "damaged byte") + " in " +
                     log_path + " at bytes " + describe_ranges(replayed.skipped) + "; kept " +
                     plural(replayed.frames, "intact record");
  if (replayed.orphan_records != 0) {
    line += " (" + plural(replayed.orphan_records, "record") +
            " of messages whose ENQUEUE was lost were ignored)";
  }
  if (replayed.tail) {
    line += "; left out a damaged tail at bytes " + describe_ranges({*replayed.tail});
  }
  warn(line + "; the damaged log was kept as " + report.damaged_copy + "\n");
  out.rewrite = true;
  return out;
}

}  // namespace tarnwick
