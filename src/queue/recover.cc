#include "queue/recover.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "log_io/buffered_io.h"
#include "log_io/durability.h"
#include "log_io/endian.h"
#include "log_io/frame.h"
#include "log_io/log_format.h"
#include "log_io/sys.h"

namespace tarnwick {
namespace {

Result<Recovered> initialise(int fd, const std::string& log_path) {
  TW_TRY(sys::ftruncate(fd, 0));
  TW_TRY(sys::lseek(fd, 0, SEEK_SET));
  TW_TRY(write_header(fd, 0));
  TW_TRY(sys::full_sync(fd));
  TW_TRY(sync_parent_dir(log_path));
  Recovered fresh;
  fresh.end_offset = LOG_HEADER_LEN;
  return fresh;
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
  TW_ASSIGN_OR_RETURN(UniqueFd fd, sys::open(log_path, O_RDWR | O_CREAT));
  TW_ASSIGN_OR_RETURN(struct ::stat st, sys::fstat(fd.get()));
  if (static_cast<uint64_t>(st.st_size) < LOG_HEADER_LEN) return initialise(fd.get(), log_path);

  uint8_t header[LOG_HEADER_LEN];
  TW_TRY(sys::lseek(fd.get(), 0, SEEK_SET));
  {
    BufferedReader unbuffered(fd.get(), 1);
    TW_ASSIGN_OR_RETURN(ReadFill fill, read_full_or_eof(unbuffered, header, sizeof header));
    if (fill != ReadFill::kFull) return Error::unexpected_eof();
  }
  if (std::memcmp(header, LOG_MAGIC, 4) != 0) return Error::invalid_data(kBadLogMagic);

  Recovered out;
  out.generation = load_le64(header + 8);
  uint64_t offset = LOG_HEADER_LEN;
  BufferedReader reader(fd.get());  // the position is already 16
  std::string damage;
  const char* what = "corrupt";
  for (;;) {
    TW_ASSIGN_OR_RETURN(FrameRead frame, read_record_frame(reader));
    if (frame.kind == FrameRead::kEof) break;
    if (frame.kind == FrameRead::kCorrupt) {
      damage = std::move(frame.message);
      break;
    }
    auto decoded = decode_view(frame.payload);
    if (auto* message = std::get_if<std::string>(&decoded)) {
      damage = std::move(*message);
      what = "undecodable";
      break;
    }
    out.state.apply(std::get<RecordView>(decoded), offset);
    offset += frame.frame_len;
  }
  if (!damage.empty()) {
    warn("Tarnwick: truncating " + std::string(what) + " log tail at byte " +
         std::to_string(offset) + " (" + damage + ")\n");
    TW_TRY(cut_tail(fd.get(), log_path, offset));
  }
  out.end_offset = offset;
  return out;
}

}  // namespace tarnwick
