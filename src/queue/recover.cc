#include "queue/recover.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "log_io/buffered_io.h"
#include "log_io/durability.h"
#include "log_io/endian.h"
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

}  // namespace

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
  if (size < LOG_HEADER_LEN) return create_log(log_path);

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
    return create_log(log_path);
  }

  Recovered out;
  out.generation = *generation;
  BufferedReader reader(fd.get());  // the position is already 16
  TW_ASSIGN_OR_RETURN(const Replayed replayed,
                      replay_frames(reader, LOG_HEADER_LEN, Undecodable::kDamage,
                                    [&out](const RecordView& record, uint64_t offset) {
                                      out.state.apply(record, offset);
                                    }));
  if (replayed.damaged) {
    warn("Tarnwick: truncating " + std::string(replayed.undecodable ? "undecodable" : "corrupt") +
         " log tail at byte " + std::to_string(replayed.end) + " (" + replayed.damage + ")\n");
    TW_TRY(cut_tail(fd.get(), log_path, replayed.end));
  }
  out.end_offset = replayed.end;
  return out;
}

}  // namespace tarnwick
