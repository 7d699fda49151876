// Damage in the middle of a log: an open keeps every intact record around
// it (after copying the damaged log aside) and writes a new generation; a
// torn tail is still cut; verification only reports.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine_helpers.h"

namespace tarnwick::testing {
namespace {

constexpr uint64_t kMessages = 100;

// 100 messages of different lengths, some leased, one acked; returns the
// state that a clean open of the log holds.
Snapshot write_queue(const std::string& dir) {
  auto q = open_queue(dir);
  if (!q) return {};
  for (uint64_t i = 0; i < kMessages; ++i) {
    must_enqueue(*q, numbered("body-", i) + std::string(i % 23, 'x'));
  }
  for (int i = 0; i < 3; ++i) must_dequeue(*q, kHourMs);  // seqs 0..2 leased
  if (!ok_value(q->ack(1))) ADD_FAILURE() << "ack";
  return snapshot(*q);
}

std::vector<std::filesystem::path> damaged_copies(const std::string& dir) {
  std::vector<std::filesystem::path> out;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().starts_with("queue.log.damaged-")) {
      out.push_back(entry.path());
    }
  }
  return out;
}

struct Opened {
  std::unique_ptr<Queue> queue;
  std::string warnings;
};

Opened open_capturing(const std::string& dir) {
  ::testing::internal::CaptureStderr();
  Opened out{open_queue(dir), ""};
  out.warnings = ::testing::internal::GetCapturedStderr();
  return out;
}

// Every byte of one ENQUEUE frame in the middle of the log in turn: its
// magic, length, CRC and payload (tag, seq, time, body length, body).
TEST(EngineDamage, EveryMessageOutsideADamagedFrameSurvives) {
  TempDir clean_dir;
  const Snapshot clean = write_queue(clean_dir.path());
  ASSERT_EQ(clean.size(), kMessages - 1);
  const Bytes log = read_file(clean_dir.file("queue.log"));
  const ParsedLog parsed = parse_log(log);
  ASSERT_TRUE(parsed.clean);
  const ParsedFrame& victim = parsed.frames.at(40);  // ENQUEUE of seq 40
  ASSERT_EQ(victim.tag, 1);
  ASSERT_EQ(victim.seq, 40u);
  Snapshot expected = clean;
  expected.erase(40);

  for (uint64_t at = 0; at < victim.length; ++at) {
    for (uint8_t mask : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}}) {
      SCOPED_TRACE("byte " + std::to_string(at) + " of the frame, mask " + std::to_string(mask));
      TempDir dir;
      Bytes damaged = log;
      damaged[victim.offset + at] ^= mask;
      write_file(dir.file("queue.log"), damaged);

      Opened opened = open_capturing(dir.path());
      ASSERT_TRUE(opened.queue);
      Queue& q = *opened.queue;
      EXPECT_EQ(snapshot(q), expected);
      const auto repair = q.last_repair();
      ASSERT_TRUE(repair);
      ASSERT_EQ(repair->skipped.size(), 1u);
      EXPECT_EQ(repair->skipped[0].offset, victim.offset);
      EXPECT_EQ(repair->skipped[0].bytes, victim.length);
      EXPECT_FALSE(repair->cut_tail);
      EXPECT_EQ(repair->records_kept, parsed.frames.size() - 1);
      EXPECT_EQ(repair->generation, 1u);
      EXPECT_NE(opened.warnings.find("Tarnwick: skipped " + std::to_string(victim.length) +
                                     " damaged bytes in "),
                std::string::npos)
          << opened.warnings;
      // The damaged log, whole, is beside the new one.
      const auto copies = damaged_copies(dir.path());
      ASSERT_EQ(copies.size(), 1u);
      EXPECT_EQ(copies[0].string(), repair->damaged_copy);
      EXPECT_EQ(read_file(repair->damaged_copy), damaged);
      EXPECT_EQ(parse_log(read_file(dir.file("queue.log"))).generation, 1u);
      const IntegrityReport verified = ok_value(q.verify_integrity());
      EXPECT_TRUE(verified.ok) << verified.message;
      // The repaired log opens silently, to the same messages.
      Opened again = open_capturing(dir.path());
      ASSERT_TRUE(again.queue);
      EXPECT_EQ(again.warnings, "");
      EXPECT_FALSE(again.queue->last_repair());
      EXPECT_EQ(snapshot(*again.queue), expected);
    }
  }
}

// Frames all 64 bytes long and a length hit by one bit (+64): the frame it
// points at checks, but it is the one after the next. The damaged frame's own
// CRC tells where its payload really ends.
TEST(EngineDamage, ALengthHitToPointPastAnIntactFrameSkipsOnlyItsFrame) {
  TempDir dir;
  LogBuilder log;
  for (uint64_t seq = 0; seq < 6; ++seq) log.enqueue(seq, seq, numbered("body-", seq) + std::string(25, 'b'));
  Bytes bytes = log.bytes();
  ASSERT_EQ(bytes.size(), 16u + 6 * 64);
  const uint64_t victim = 16 + 2 * 64;
  bytes[victim + 4] ^= 0x40;  // the length: 52 becomes 116
  write_file(dir.file("queue.log"), bytes);
  Opened opened = open_capturing(dir.path());
  ASSERT_TRUE(opened.queue);
  const Snapshot got = snapshot(*opened.queue);
  EXPECT_EQ(got.size(), 5u);
  EXPECT_FALSE(got.contains(2));
  EXPECT_TRUE(got.contains(3)) << "the frame after the damaged one was skipped too";
  const auto repair = opened.queue->last_repair();
  ASSERT_TRUE(repair);
  EXPECT_EQ(repair->skipped, (std::vector<DamagedRange>{{victim, 64, "record CRC mismatch (silent corruption)"}}));
}

// A region of several frames overwritten (a bad sector): the frames before
// and after it all survive.
TEST(EngineDamage, AZeroedRegionLosesOnlyTheFramesInIt) {
  TempDir dir;
  const Snapshot clean = write_queue(dir.path());
  Bytes log = read_file(dir.file("queue.log"));
  const ParsedLog parsed = parse_log(log);
  const uint64_t from = parsed.frames.at(20).offset;
  const uint64_t to = parsed.frames.at(30).offset + 7;  // into seq 30's frame
  std::fill(log.begin() + static_cast<long>(from), log.begin() + static_cast<long>(to), 0);
  write_file(dir.file("queue.log"), log);
  Opened opened = open_capturing(dir.path());
  ASSERT_TRUE(opened.queue);
  Snapshot expected = clean;
  for (uint64_t seq = 20; seq <= 30; ++seq) expected.erase(seq);
  EXPECT_EQ(snapshot(*opened.queue), expected);
  const auto repair = opened.queue->last_repair();
  ASSERT_TRUE(repair);
  EXPECT_EQ(repair->skipped,
            (std::vector<DamagedRange>{{parsed.frames.at(20).offset,
                                        parsed.frames.at(31).offset - parsed.frames.at(20).offset,
                                        "bad record magic"}}));
}

// Records about a message whose ENQUEUE was in the damage are ignored and
// counted; they invent no message.
TEST(EngineDamage, RecordsOfAMessageWhoseEnqueueWasLostAreIgnored) {
  TempDir dir;
  LogBuilder log;
  log.enqueue(0, 1, "zero").enqueue(1, 2, "one");
  const uint64_t damaged_at = log.size();
  log.enqueue(2, 3, "two, to be damaged").enqueue(3, 4, "three");
  log.lease(2, 99, 1).requeue(2, 1).ack(2).lease(3, 77, 1);
  Bytes bytes = log.bytes();
  bytes[damaged_at + 20] ^= 0x10;
  write_file(dir.file("queue.log"), bytes);
  Opened opened = open_capturing(dir.path());
  ASSERT_TRUE(opened.queue);
  const Snapshot expected = {{0, Msg{bytes_of("zero"), 0, 1, {}}},
                             {1, Msg{bytes_of("one"), 0, 2, {}}},
                             {3, Msg{bytes_of("three"), 1, 4, 77}}};
  EXPECT_EQ(snapshot(*opened.queue), expected);
  const auto repair = opened.queue->last_repair();
  ASSERT_TRUE(repair);
  EXPECT_EQ(repair->orphan_records, 3u);
  EXPECT_NE(opened.warnings.find(" (3 records of messages whose ENQUEUE was lost were ignored)"),
            std::string::npos)
      << opened.warnings;
  EXPECT_EQ(must_stats(*opened.queue).next_seq, 4u);
}

// Damage in the middle and a torn tail at once: both left out, every intact
// record between kept.
TEST(EngineDamage, DamageInTheMiddleAndATornTail) {
  TempDir dir;
  const Snapshot clean = write_queue(dir.path());
  Bytes log = read_file(dir.file("queue.log"));
  const ParsedLog parsed = parse_log(log);
  log[parsed.frames.at(10).offset + 14] ^= 0x04;
  const Bytes torn = {'T', 'W', 'R', '1', 40, 0, 0, 0, 1, 2, 3, 4, 1, 7};
  log.insert(log.end(), torn.begin(), torn.end());
  write_file(dir.file("queue.log"), log);
  Opened opened = open_capturing(dir.path());
  ASSERT_TRUE(opened.queue);
  Snapshot expected = clean;
  expected.erase(10);
  EXPECT_EQ(snapshot(*opened.queue), expected);
  const auto repair = opened.queue->last_repair();
  ASSERT_TRUE(repair);
  EXPECT_EQ(repair->skipped.size(), 1u);
  EXPECT_EQ(repair->cut_tail,
            (DamagedRange{log.size() - torn.size(), torn.size(), "truncated record payload"}));
  EXPECT_NE(opened.warnings.find("; left out a damaged tail at bytes "), std::string::npos);
  EXPECT_TRUE(ok_value(opened.queue->verify_integrity()).ok);
}

// A torn tail alone is cut as before: no copy, no new generation.
TEST(EngineDamage, ATornTailIsStillCut) {
  TempDir dir;
  const Snapshot clean = write_queue(dir.path());
  Bytes log = read_file(dir.file("queue.log"));
  const uint64_t good = log.size();
  const Bytes half_frame(log.end() - 30, log.end() - 10);  // part of the last frame again
  log.insert(log.end(), half_frame.begin(), half_frame.end());
  write_file(dir.file("queue.log"), log);
  Opened opened = open_capturing(dir.path());
  ASSERT_TRUE(opened.queue);
  EXPECT_EQ(snapshot(*opened.queue), clean);
  EXPECT_EQ(file_size(dir.file("queue.log")), good);
  EXPECT_TRUE(damaged_copies(dir.path()).empty());
  EXPECT_EQ(must_stats(*opened.queue).generation, 0u);
  EXPECT_EQ(opened.warnings.rfind("Tarnwick: truncating corrupt log tail at byte " +
                                      std::to_string(good) + " (",
                                  0),
            0u)
      << opened.warnings;
}

// Frames inside the partial payload of a torn append (a body may hold a
// log) do not make it damage in the middle, unless they run on to the end.
TEST(EngineDamage, FramesInsideATornBodyAreNotResumedAt) {
  TempDir dir;
  LogBuilder log;
  log.enqueue(0, 1, "zero");
  const uint64_t good = log.size();
  LogBuilder inner;
  inner.enqueue(5, 1, "inside").ack(0).enqueue(6, 1, "also inside");
  Bytes body(inner.bytes().begin() + 16, inner.bytes().end());
  LogBuilder whole = log;
  whole.enqueue(1, 2, std::string(body.begin(), body.end()));
  Bytes bytes = whole.bytes();
  bytes.resize(bytes.size() - 5);  // torn inside the last inner frame
  write_file(dir.file("queue.log"), bytes);
  Opened opened = open_capturing(dir.path());
  ASSERT_TRUE(opened.queue);
  EXPECT_EQ(snapshot(*opened.queue), (Snapshot{{0, Msg{bytes_of("zero"), 0, 1, {}}}}));
  EXPECT_EQ(file_size(dir.file("queue.log")), good);
  EXPECT_TRUE(damaged_copies(dir.path()).empty());
}

// A failed copy or rewrite fails the open and leaves the damaged log as it
// was, with no partial copy; the next open repairs it.
TEST(EngineDamage, AFailedRepairFailsTheOpenAndChangesNothing) {
  TempDir clean_dir;
  const Snapshot clean = write_queue(clean_dir.path());
  Bytes log = read_file(clean_dir.file("queue.log"));
  const ParsedLog parsed = parse_log(log);
  log[parsed.frames.at(50).offset + 20] ^= 0x01;
  Snapshot expected = clean;
  expected.erase(50);
  // The copy's writes and sync; the new log's unlink and rename.
  for (auto [call, skip] : {std::pair{sys::Call::kWrite, 0}, std::pair{sys::Call::kFullSync, 0},
                            std::pair{sys::Call::kRename, 0}, std::pair{sys::Call::kUnlink, 0}}) {
    SCOPED_TRACE(std::to_string(static_cast<int>(call)) + "/" + std::to_string(skip));
    TempDir dir;
    write_file(dir.file("queue.log"), log);
    {
      FaultScope faults;
      faults.fail(call, EIO, static_cast<uint64_t>(skip));
      ::testing::internal::CaptureStderr();
      auto failed = Queue::open(dir.path(), make_settings());
      ::testing::internal::GetCapturedStderr();
      ASSERT_FALSE(failed.ok());
      EXPECT_EQ(failed.error().os_code(), EIO);
    }
    EXPECT_EQ(read_file(dir.file("queue.log")), log);
    for (const auto& copy : damaged_copies(dir.path())) {
      EXPECT_EQ(read_file(copy.string()), log) << "a partial copy was left";
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("queue.compact.tmp")));
    EXPECT_TRUE(lock_is_free(dir.path()));
    Opened opened = open_capturing(dir.path());
    ASSERT_TRUE(opened.queue);
    EXPECT_EQ(snapshot(*opened.queue), expected);
  }
}

}  // namespace
}  // namespace tarnwick::testing
