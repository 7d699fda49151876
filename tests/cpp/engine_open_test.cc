// Opening a queue: ":memory:", directory creation, taking over an existing
// log, refusing what is not a log, and leaving nothing behind on failure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>

#include "engine_helpers.h"

namespace tarnwick::testing {
namespace {

namespace fs = std::filesystem;

// Runs the body with the working directory set to `dir`.
template <class F>
void in_directory(const std::string& dir, F&& body) {
  const fs::path before = fs::current_path();
  fs::current_path(dir);
  body();
  fs::current_path(before);
}

TEST(EngineOpen, MemoryQueueTouchesNoFile) {
  TempDir tmp;
  in_directory(tmp.path(), [&] {
    const size_t fds = open_fd_count();
    auto q = open_queue(":memory:");
    ASSERT_TRUE(q);
    EXPECT_FALSE(q->persistent());
    EXPECT_EQ(open_fd_count(), fds);
    must_enqueue(*q, "abc");
    must_enqueue(*q, "");
    QueueStats s = must_stats(*q);
    EXPECT_FALSE(s.persistent);
    EXPECT_EQ(s.generation, 0u);
    EXPECT_EQ(s.log_bytes, 16u);
    EXPECT_EQ(s.total, 2u);
    EXPECT_TRUE(fs::is_empty(tmp.path())) << "a :memory: queue created something";
  });
}

TEST(EngineOpen, PathsThatOnlyResembleMemoryAreDirectories) {
  TempDir tmp;
  in_directory(tmp.path(), [&] {
    for (const char* path : {":MEMORY:", ":memory:/", " :memory:"}) {
      auto q = open_queue(path);
      ASSERT_TRUE(q) << path;
      EXPECT_TRUE(q->persistent()) << path;
      EXPECT_TRUE(fs::is_directory(path)) << path;
      EXPECT_EQ(file_size(std::string(path) + "/queue.log"), 16u) << path;
    }
  });
}

TEST(EngineOpen, EmptyPathIsTheWorkingDirectory) {
  TempDir tmp;
  in_directory(tmp.path(), [&] {
    auto q = open_queue("");
    ASSERT_TRUE(q);
    must_enqueue(*q, "here");
    EXPECT_TRUE(fs::is_regular_file(tmp.file(".proc_lock")));
    EXPECT_EQ(file_size(tmp.file("queue.log")), 16u + 33 + 4);
    ASSERT_TRUE(q->compact().ok());
    EXPECT_EQ(must_stats(*q).generation, 1u);
  });
}

TEST(EngineOpen, CreatesParentsLockFileAndFreshLog) {
  TempDir tmp;
  const std::string dir = tmp.file("a/b/c");
  auto q = open_queue(dir);
  ASSERT_TRUE(q);
  EXPECT_TRUE(fs::is_directory(tmp.file("a/b")));
  EXPECT_TRUE(fs::is_regular_file(dir + "/.proc_lock"));
  EXPECT_EQ(file_size(dir + "/.proc_lock"), 0u);
  EXPECT_EQ(read_file(dir + "/queue.log"), LogBuilder(0).bytes());
  QueueStats s = must_stats(*q);
  EXPECT_TRUE(s.persistent);
  EXPECT_EQ(s.generation, 0u);
  EXPECT_EQ(s.log_bytes, 16u);
  EXPECT_EQ(s.next_seq, 0u);
}

TEST(EngineOpen, TakesOverAnExistingLog) {
  TempDir tmp;
  LogBuilder log(7, /*version=*/3);
  log.enqueue(0, 1000, "zero").enqueue(1, 1001, "one").ack(0).enqueue(5, 1002, "five");
  write_file(tmp.file("queue.log"), log.bytes());
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  QueueStats s = must_stats(*q);
  EXPECT_EQ(s.generation, 7u);
  EXPECT_EQ(s.log_bytes, log.size());
  EXPECT_EQ(s.total, 2u);
  EXPECT_EQ(s.next_seq, 6u);
  EXPECT_EQ(read_file(tmp.file("queue.log")), log.bytes()) << "a clean log was written to";
  auto d = must_dequeue(*q);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->seq, 1u);
  EXPECT_EQ(to_string(d->body), "one");
  EXPECT_EQ(d->enqueued_ts_ms, 1001u);
}

TEST(EngineOpen, OpenReportsLengthAfterTailRepair) {
  TempDir tmp;
  LogBuilder log;
  log.enqueue(0, 1, "hi");
  const uint64_t good = log.size();
  log.raw({'T', 'W', 'R'});
  write_file(tmp.file("queue.log"), log.bytes());
  ::testing::internal::CaptureStderr();
  auto q = open_queue(tmp.path());
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(q);
  EXPECT_EQ(must_stats(*q).log_bytes, good);
  EXPECT_EQ(file_size(tmp.file("queue.log")), good);
  EXPECT_NE(err.find("at byte 51"), std::string::npos) << err;
}

TEST(EngineOpen, RegularFileAtThePathFailsWithEexist) {
  TempDir tmp;
  const std::string path = tmp.file("plain");
  write_file(path, bytes_of("not a directory"));
  const size_t fds = open_fd_count();
  auto opened = Queue::open(path, make_settings());
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().kind(), ErrorKind::kOs);
  EXPECT_EQ(opened.error().os_code(), EEXIST);
  EXPECT_EQ(open_fd_count(), fds);
  EXPECT_EQ(read_file(path), bytes_of("not a directory"));
  // Also when the regular file is a parent of the path.
  auto nested = Queue::open(path + "/sub", make_settings());
  ASSERT_FALSE(nested.ok());
  EXPECT_EQ(nested.error().os_code(), EEXIST);
}

// queue.log or .proc_lock as a symbolic link is refused, whatever it points
// to, and the file it points to is left alone; so is a link that takes the
// log's place while an object is open.
TEST(EngineOpen, LinkAtTheLogOrLockNameIsRefused) {
  const Bytes a_log = LogBuilder().enqueue(0, 1, "x").bytes();
  for (const char* name : {"queue.log", ".proc_lock"}) {
    for (const Bytes& target : {bytes_of("short"), a_log}) {
      SCOPED_TRACE(std::string(name) + " -> " + std::to_string(target.size()) + " bytes");
      TempDir tmp, outside;
      const std::string victim = outside.file("victim");
      write_file(victim, target);
      ASSERT_EQ(::symlink(victim.c_str(), tmp.file(name).c_str()), 0);
      const size_t fds = open_fd_count();
      auto opened = Queue::open(tmp.path(), make_settings());
      ASSERT_FALSE(opened.ok());
      EXPECT_EQ(opened.error().kind(), ErrorKind::kOs);
      EXPECT_EQ(opened.error().os_code(), ELOOP);
      EXPECT_EQ(opened.error().text().rfind(tmp.file(name) + " is a symbolic link, which is not followed: ", 0), 0u)
          << opened.error().text();
      EXPECT_EQ(read_file(victim), target);
      EXPECT_EQ(open_fd_count(), fds);
      EXPECT_TRUE(fs::is_symlink(tmp.file(name)));
    }
  }
  TempDir tmp, outside;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "m");
  const std::string copy = outside.file("copy");
  fs::copy_file(tmp.file("queue.log"), copy);
  fs::remove(tmp.file("queue.log"));
  fs::create_symlink(copy, tmp.file("queue.log"));
  const Bytes copied = read_file(copy);
  auto r = q->enqueue(span_of(bytes_of("n")));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().os_code(), ELOOP);
  EXPECT_EQ(read_file(copy), copied);
  EXPECT_TRUE(lock_is_free(tmp.path()));
}

TEST(EngineOpen, BadMagicIsRefusedAndLeavesTheLockFree) {
  TempDir tmp;
  Bytes junk(40, 0xAB);
  junk[0] = 'X';
  junk[1] = 'W';
  junk[2] = 'F';
  junk[3] = 'L';
  write_file(tmp.file("queue.log"), junk);
  const size_t fds = open_fd_count();
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto start = std::chrono::steady_clock::now();
    auto opened = Queue::open(tmp.path(), make_settings());
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().kind(), ErrorKind::kInvalidData);
    EXPECT_EQ(opened.error().text(), "queue.log has bad magic (not a Tarnwick log)");
    EXPECT_LT(took, std::chrono::seconds(1)) << "the second open waited for a lock";
    EXPECT_TRUE(lock_is_free(tmp.path()));
    EXPECT_EQ(open_fd_count(), fds);
  }
  EXPECT_EQ(read_file(tmp.file("queue.log")), junk) << "a file that is not a log was modified";
}

TEST(EngineOpen, ShortLogIsReplacedByFreshHeaderOnlyWhenItStartsOne) {
  TempDir tmp;
  write_file(tmp.file("queue.log"), bytes_of("TWFL"));
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  EXPECT_EQ(read_file(tmp.file("queue.log")), LogBuilder(0).bytes());

  TempDir text;
  write_file(text.file("queue.log"), bytes_of("0123456789"));
  auto refused = Queue::open(text.path(), make_settings());
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().text(), "queue.log has bad magic (not a Tarnwick log)");
  EXPECT_EQ(read_file(text.file("queue.log")), bytes_of("0123456789"));
}

TEST(EngineOpen, OversizedBodyIsRefusedBeforeAnythingIsWritten) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  // The span is never read: the length alone must make the call fail.
  static const uint8_t byte = 0;
  const ByteSpan huge(&byte, MAX_BODY_LEN + 1);
  const Bytes before = read_file(tmp.file("queue.log"));
  CallCounter writes(sys::Call::kWrite);
  CallCounter locks(sys::Call::kFlock);
  auto one = q->enqueue(huge);
  ASSERT_FALSE(one.ok());
  const Bytes small = bytes_of("ok");
  auto batch = q->enqueue_batch({span_of(small), huge});
  ASSERT_FALSE(batch.ok());
  EXPECT_EQ(writes.count(), 0u);
  EXPECT_EQ(locks.count(), 0u);
  EXPECT_EQ(read_file(tmp.file("queue.log")), before);
  EXPECT_EQ(must_stats(*q).next_seq, 0u);
  EXPECT_EQ(must_enqueue(*q, "next"), 0u);
}

// Every open that fails, at whichever system call, leaves no lock held and no
// descriptor open; what it did create on disk is usable by the next open.
TEST(EngineOpen, EveryFailureLeavesNoLockAndNoDescriptor) {
  int failures = 0;
  std::map<sys::Call, int> failed_by_kind;
  for (bool existing : {false, true}) {
    for (int k = 0; k < static_cast<int>(sys::Call::kCount); ++k) {
      const auto call = static_cast<sys::Call>(k);
      for (uint64_t skip = 0;; ++skip) {
        TempDir tmp;
        const std::string dir = tmp.file("q/sub");
        LogBuilder log;
        log.enqueue(0, 10, "kept").enqueue(1, 11, "also").lease(1, UINT64_MAX, 1);
        const uint64_t good = log.size();
        if (existing) {
          fs::create_directories(dir);
          log.raw({'T', 'W', 'R', '1', 9});  // a torn frame to cut
          write_file(dir + "/queue.log", log.bytes());
        }
        const size_t fds = open_fd_count();
        CallCounter calls(call);
        Result<std::unique_ptr<Queue>> opened = Error::os(0);
        ::testing::internal::CaptureStderr();
        {
          FaultScope faults;
          faults.fail(call, EIO, skip);
          opened = Queue::open(dir, make_settings());
        }
        ::testing::internal::GetCapturedStderr();
        const bool reached = calls.count() > skip;
        if (opened.ok()) {
          opened = Error::os(0);  // close it
          EXPECT_EQ(open_fd_count(), fds);
          if (!reached) break;
          continue;  // a failure the open may ignore (a warning line)
        }
        ++failures;
        ++failed_by_kind[call];
        SCOPED_TRACE(::testing::Message()
                     << "call " << k << " skip " << skip << (existing ? " existing" : " fresh"));
        EXPECT_TRUE(reached) << "failed without reaching the fault: " << opened.error().text();
        EXPECT_EQ(open_fd_count(), fds) << opened.error().text();
        if (fs::exists(dir)) {
          EXPECT_TRUE(lock_is_free(dir));
        }
        ::testing::internal::CaptureStderr();
        auto again = open_queue(dir);
        ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(again);
        QueueStats s = must_stats(*again);
        if (existing) {
          EXPECT_EQ(s.total, 2u);
          EXPECT_EQ(s.in_flight, 1u);
          EXPECT_EQ(s.log_bytes, good);
          EXPECT_EQ(file_size(dir + "/queue.log"), good);
        } else {
          EXPECT_EQ(s.total, 0u);
          EXPECT_EQ(read_file(dir + "/queue.log"), LogBuilder(0).bytes());
        }
        if (skip > 64) {
          ADD_FAILURE() << "open keeps failing";
          break;
        }
      }
    }
  }
  for (auto call : {sys::Call::kOpen, sys::Call::kMkdir, sys::Call::kFlock, sys::Call::kFstat,
                    sys::Call::kFtruncate, sys::Call::kFullSync, sys::Call::kRead}) {
    EXPECT_GT(failed_by_kind[call], 0) << "no open failed at call " << static_cast<int>(call);
  }
  std::cout << "[ open sweep ] " << failures << " failed opens checked\n";
}

}  // namespace
}  // namespace tarnwick::testing
