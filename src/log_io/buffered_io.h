// Buffered reading and writing over a descriptor the caller owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "log_io/error.h"

namespace tarnwick {

inline constexpr size_t kIoBufferSize = 8192;

// Reads through an 8 KiB buffer; a read of at least the buffer's size made
// while the buffer is empty goes straight into the destination.
class BufferedReader {
 public:
  explicit BufferedReader(int fd, size_t capacity = kIoBufferSize);
  // Up to n bytes; 0 only at end of file.
  Result<size_t> read(void* dest, size_t n);

 private:
  int fd_;
  size_t capacity_;
  std::unique_ptr<uint8_t[]> buf_;
  size_t pos_ = 0;
  size_t end_ = 0;
};

// Reads from bytes already in memory, with the reader's interface.
class MemoryReader {
 public:
  explicit MemoryReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  Result<size_t> read(void* dest, size_t n);
  size_t consumed() const { return pos_; }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

// Writes through an 8 KiB buffer. A failed write or flush drops whatever the
// buffer still held, so the remains of a failed frame can never reach the
// file behind a later one.
class BufferedWriter {
 public:
  explicit BufferedWriter(int fd, size_t capacity = kIoBufferSize);
  // Takes the bytes as one unit: copied into the buffer when they fit beside
  // what it holds; otherwise the buffer is written out first, and the bytes
  // are buffered if smaller than the whole buffer or written straight through.
  Status write_all(std::span<const uint8_t> bytes);
  Status flush();
  size_t buffered() const { return len_; }
  int fd() const { return fd_; }

 private:
  int fd_;
  size_t capacity_;
  std::unique_ptr<uint8_t[]> buf_;
  size_t len_ = 0;
};

}  // namespace tarnwick
