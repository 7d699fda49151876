// Shared helpers for the engine's unit tests: scratch directories, whole-file
// reads and writes, and a fault-injection scope that always clears.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "log_io/directory_stamp.h"
#include "log_io/sys.h"
#include "queue/queue.h"

namespace tarnwick::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

// A fresh directory under the system temp dir, removed with its contents.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline uint64_t file_size(const std::string& path) { return std::filesystem::file_size(path); }

// Arms faults for its lifetime and clears every fault when it ends, so a
// failing assertion cannot leave a fault armed for the next test.
class FaultScope {
 public:
  FaultScope() { sys::clear_faults(); }
  ~FaultScope() { sys::clear_faults(); }
  FaultScope& fail(sys::Call call, int error, uint64_t skip = 0, uint64_t times = 1,
                   size_t partial_bytes = 0) {
    sys::inject(call, sys::Fault{error, skip, times, partial_bytes});
    return *this;
  }
};

// Over a scope, every name is looked up on every lock, as on a directory
// that just changed: for tests that count lookups.
class StampsDistrusted {
 public:
  StampsDistrusted() { DirectoryStamp::set_trusted(false); }
  ~StampsDistrusted() { DirectoryStamp::set_trusted(true); }
};

// Waits (at most 5 s) until the directory's last change is old enough for
// its stamp to stand in for looking names up.
inline bool wait_until_settled(const std::string& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (int i = 0; i < 500; ++i) {
    auto stamp = DirectoryStamp::read(fd.get());
    if (stamp.ok() && stamp->settled) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Counts calls of one system call over a scope.
class CallCounter {
 public:
  explicit CallCounter(sys::Call call) : call_(call), start_(sys::call_count(call)) {}
  uint64_t count() const { return sys::call_count(call_) - start_; }

 private:
  sys::Call call_;
  uint64_t start_;
};

// Collects leased messages as plain values.
struct Delivered {
  uint64_t seq;
  Bytes body;
  uint32_t deliveries;
  uint64_t enqueued_ts_ms;
};

class CollectingSink : public DeliverySink {
 public:
  bool deliver(const Delivery& d) override {
    items.push_back({d.seq, Bytes(d.body.begin(), d.body.end()), d.deliveries, d.enqueued_ts_ms});
    return true;
  }
  std::vector<Delivered> items;
};

inline ByteSpan span_of(const Bytes& b) { return ByteSpan(b.data(), b.size()); }

}  // namespace tarnwick::testing
