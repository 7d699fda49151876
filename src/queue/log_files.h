// The open handles on queue.log.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "log_io/buffered_io.h"
#include "log_io/directory_stamp.h"
#include "log_io/error.h"
#include "log_io/log_format.h"
#include "log_io/unique_fd.h"
#include "queue/mapped_region.h"

namespace tarnwick {

// The two handles on queue.log: a writer and a read-only reader. The writer
// appends, except for a preallocated log (format 5), whose records are
// written at the log's end, inside the file.
struct LogFiles {
  UniqueFd writer_fd;
  bool appends = true;
  // A preallocated log's size as last seen: how far it may be written
  // without growing the file (others may have grown it since).
  uint64_t allocated = 0;
  BufferedWriter writer;
  UniqueFd reader;
  dev_t dev = 0;  // identity of the file the reader holds
  ino_t ino = 0;
  // When the log's name was last looked up and found to be this file.
  NameCheck name_check;
  // The reader's first bytes, mapped so that the check made on every call
  // needs no system call; empty where mapping failed (pread is used then).
  MappedRegion header_map;

  // Read-only: no writer (its descriptor is not valid).
  static Result<LogFiles> open(const std::string& log_path, bool read_only = false,
                               bool appends = true);
  // The header as it is on the file now; false if it could not be read whole.
  bool read_header(uint8_t (&out)[LOG_HEADER_LEN]) const;
  LogFiles(UniqueFd writer_fd, UniqueFd reader);
  LogFiles(LogFiles&&) = default;
  LogFiles& operator=(LogFiles&&) = default;
  ~LogFiles();  // hands any buffered bytes to the old file, errors ignored
};

}  // namespace tarnwick
