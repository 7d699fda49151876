// verify_integrity: a read-only check of framing and CRCs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "engine_helpers.h"

namespace tarnwick::testing {
namespace {

IntegrityReport must_verify(Queue& q) {
  auto r = q.verify_integrity();
  if (!r.ok()) {
    ADD_FAILURE() << "verify_integrity failed: " << r.error().text();
    return {};
  }
  return *r;
}

void expect_report(const IntegrityReport& r, bool ok, uint64_t records, uint64_t bytes,
                   const std::string& message) {
  EXPECT_EQ(r.ok, ok);
  EXPECT_EQ(r.records, records);
  EXPECT_EQ(r.bytes, bytes);
  EXPECT_EQ(r.message, message);
}

TEST(EngineVerify, CleanLogs) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  expect_report(must_verify(*q), true, 0, 16, "clean");
  must_enqueue(*q, "ab");
  must_enqueue(*q, "cd");
  expect_report(must_verify(*q), true, 2, 86, "clean");
}

TEST(EngineVerify, FlippedBitIsReportedNotRepaired) {
  TempDir tmp;
  const std::string log_path = tmp.file("queue.log");
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "ab");
  must_enqueue(*q, "cd");
  Bytes file = read_file(log_path);
  file[51 + 12 + 3] ^= 0x10;  // a payload byte of the second frame
  write_file(log_path, file);
  for (int i = 0; i < 2; ++i) {
    const IntegrityReport r = must_verify(*q);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.records, 1u);
    EXPECT_EQ(r.bytes, 51u);
    EXPECT_EQ(r.message, "corrupt tail at byte 51: record CRC mismatch (silent corruption)");
    EXPECT_EQ(read_file(log_path), file) << "verification changed the file";
  }
  EXPECT_EQ(q->impl().inner.state.messages.size(), 2u) << "verification touched the state";
  ::testing::internal::CaptureStderr();
  auto reopened = open_queue(tmp.path());
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(reopened);
  EXPECT_EQ(err,
            "Tarnwick: truncating corrupt log tail at byte 51 (record CRC mismatch (silent "
            "corruption))\n");
  EXPECT_EQ(file_size(log_path), 51u);
  expect_report(must_verify(*reopened), true, 1, 51, "clean");
}

TEST(EngineVerify, DamageKinds) {
  struct Case {
    Bytes tail;
    std::string message;
  };
  const Case cases[] = {
      {{'T', 'W', 'R', '1', 1, 0, 0}, "truncated record header"},
      {{'X', 'W', 'R', '1', 0, 0, 0, 0, 0, 0, 0, 0}, "bad record magic"},
      {{'T', 'W', 'R', '1', 1, 0, 0, 0x20, 0, 0, 0, 0},
       "record length 536870913 exceeds max 536870912"},
      {{'T', 'W', 'R', '1', 9, 0, 0, 0, 0, 0, 0, 0, 2}, "truncated record payload"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    TempDir tmp;
    LogBuilder log;
    log.enqueue(0, 1, "hi");
    write_file(tmp.file("queue.log"), log.bytes());
    auto q = open_queue(tmp.path());
    ASSERT_TRUE(q);
    log.raw(c.tail);
    write_file(tmp.file("queue.log"), log.bytes());  // damage after the open
    expect_report(must_verify(*q), false, 1, 51, "corrupt tail at byte 51: " + c.message);
  }
}

// Damage with intact frames after it is told apart from a torn tail, and
// neither the object's verification nor the one of a directory (which opens
// no queue) changes a byte or a name in the directory.
TEST(EngineVerify, DamageInTheMiddleIsReportedAsSuch) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  for (int i = 0; i < 4; ++i) must_enqueue(*q, "abc");  // frames of 36 bytes at 16, 52, 88, 124
  Bytes file = read_file(tmp.file("queue.log"));
  file[88 + 20] ^= 0x01;
  file.insert(file.end(), {'T', 'W', 'R', '1', 30, 0, 0, 0});
  write_file(tmp.file("queue.log"), file);
  const auto listing = [&] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(tmp.path())) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  };
  const auto names = listing();
  const std::string expected_message =
      "damaged bytes in the middle of the log at 88-123 (record CRC mismatch (silent "
      "corruption)), with 1 intact record after the first damage, and a corrupt tail at byte "
      "160: truncated record header";
  for (int i = 0; i < 2; ++i) {
    const IntegrityReport r = i == 0 ? must_verify(*q) : ok_value(verify_queue_directory(tmp.path()));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.records, 2u);
    EXPECT_EQ(r.bytes, 88u);
    EXPECT_EQ(r.intact_records, 3u);
    EXPECT_EQ(r.damaged,
              (std::vector<DamagedRange>{{88, 36, "record CRC mismatch (silent corruption)"}}));
    EXPECT_EQ(r.tail, (DamagedRange{160, 8, "truncated record header"}));
    EXPECT_EQ(r.message, expected_message);
    EXPECT_EQ(read_file(tmp.file("queue.log")), file);
    EXPECT_EQ(listing(), names);
  }
}

TEST(EngineVerify, DirectoryVerificationCreatesNothing) {
  TempDir tmp;
  write_file(tmp.file("queue.log"), bytes_of("0123456789"));
  expect_report(ok_value(verify_queue_directory(tmp.path())), false, 0, 0, "bad file magic");
  write_file(tmp.file("queue.log"), bytes_of("TWFL"));
  expect_report(ok_value(verify_queue_directory(tmp.path())), true, 0, 4,
                "new log: its header is not written yet");
  LogBuilder log;
  log.enqueue(0, 1, "hi");
  write_file(tmp.file("queue.log"), log.bytes());
  expect_report(ok_value(verify_queue_directory(tmp.path())), true, 1, 51, "clean");
  EXPECT_FALSE(std::filesystem::exists(tmp.file(".proc_lock"))) << "no lock file to lock";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.path()),
                          std::filesystem::directory_iterator()),
            1);
  auto missing = verify_queue_directory(tmp.file("nothing"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().os_code(), ENOENT);
  EXPECT_FALSE(std::filesystem::exists(tmp.file("nothing")));
}

TEST(EngineVerify, UnknownTagCountsAsValid) {
  TempDir tmp;
  LogBuilder log;
  log.enqueue(0, 1, "hi");
  write_file(tmp.file("queue.log"), log.bytes());
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  log.frame({10, 1, 2, 3}).frame({});
  write_file(tmp.file("queue.log"), log.bytes());
  expect_report(must_verify(*q), true, 3, log.size(), "clean");
}

TEST(EngineVerify, BadFileMagic) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "ab");
  Bytes file = read_file(tmp.file("queue.log"));
  file[0] = 'Q';
  file[3] = 'Q';
  write_file(tmp.file("queue.log"), file);
  expect_report(must_verify(*q), false, 0, 16, "bad file magic");
}

TEST(EngineVerify, MemoryQueueHasNoLog) {
  auto q = open_queue(":memory:");
  ASSERT_TRUE(q);
  must_enqueue(*q, "ab");
  expect_report(must_verify(*q), true, 0, 0, ":memory: queue has no on-disk log");
}

TEST(EngineVerify, FailuresAreErrorsAndReleaseEverything) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "ab");
  const size_t fds = open_fd_count();
  for (sys::Call call : {sys::Call::kOpen, sys::Call::kRead, sys::Call::kFlock}) {
    {
      FaultScope faults;
      faults.fail(call, EIO);
      auto r = q->verify_integrity();
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().os_code(), EIO);
    }
    EXPECT_EQ(open_fd_count(), fds);
    EXPECT_TRUE(lock_is_free(tmp.path()));
  }
  write_file(tmp.file("queue.log"), bytes_of("TWFL"));
  auto r = q->verify_integrity();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "failed to fill whole buffer");
  EXPECT_EQ(open_fd_count(), fds);
}

}  // namespace
}  // namespace tarnwick::testing
