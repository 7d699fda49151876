// The preallocated log (format 5): written ahead with zeros and overwritten.
// Its zeros are its end, not damage; other objects find what was written
// without the file's size; and what a power cut may leave of writes that
// were never synced (any of their sectors written or still zero) recovers to
// a log in which every synced record survives and nothing stale comes back
// once new records are written over it.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>
#include <string>

#include "engine_helpers.h"
#include "log_io/sys.h"

namespace tarnwick::testing {
namespace {

namespace fs = std::filesystem;

Bytes header_of(const std::string& log) {
  Bytes all = read_file(log);
  all.resize(8);
  return all;
}

const Bytes kFormat5 = {'T', 'W', 'F', '5', 5, 0, 0, 0};

// The end of the frames of a log of bytes `log` (read by hand: up to the
// first header that is zero, or the file's end).
uint64_t frames_end(const Bytes& log) {
  uint64_t at = LOG_HEADER_LEN;
  while (at + FRAME_HEADER_LEN <= log.size()) {
    bool zero = true;
    for (size_t i = 0; i < FRAME_HEADER_LEN; ++i) zero &= log[at + i] == 0;
    if (zero) break;
    at += FRAME_HEADER_LEN + load_le32(log.data() + at + 4);
  }
  return at;
}

// Each body, or for a long one its first byte and its length.
std::string shown(const std::string& body) {
  if (body.size() <= 400) return body;
  return body.substr(0, 1) + "*" + std::to_string(body.size());
}

// What `q` holds once it caught up with the log.
std::set<std::string> bodies(JobQueue& q) {
  EXPECT_TRUE(q.stats().ok());
  std::set<std::string> out;
  for (const auto& [seq, m] : snapshot(q)) out.insert(shown(to_string(m.body)));
  return out;
}

// One durable put of `body`; whether it succeeded.
bool put_one(JobQueue& q, const Bytes& body) {
  return q.put(std::vector<ByteSpan>{span_of(body)}, 0).ok();
}

// A 300 KiB body of the i-th letter: a few of them outgrow what was written ahead.
std::string large_body(int i) { return std::string(300 << 10, static_cast<char>('a' + i)); }

std::unique_ptr<JobQueue> preallocated_queue(const std::string& dir) {
  auto q = open_jobs(dir);
  if (q) {
    EXPECT_TRUE(q->preallocate_log().ok());
  }
  return q;
}

TEST(PreallocatedLog, AConvertedLogKeepsItsMessagesEndsAtItsZerosAndReopensClean) {
  TempDir tmp;
  const std::string log = tmp.file("queue.log");
  auto q = open_jobs(tmp.path());
  ASSERT_TRUE(q);
  const Bytes a = bytes_of("a"), b = bytes_of("b");
  ASSERT_TRUE(q->put(std::vector<ByteSpan>{span_of(a), span_of(b)}, 0).ok());
  ASSERT_EQ(ok_value(take_copies(*q, 1, kHourMs, 0)).size(), 1u);
  ASSERT_TRUE(q->preallocate_log().ok());
  EXPECT_EQ(header_of(log), kFormat5);
  const Bytes written = read_file(log);
  const uint64_t end = frames_end(written);
  EXPECT_GE(written.size(), end + PREALLOCATE_BYTES) << "not written ahead";
  EXPECT_EQ(must_stats(*q).log_bytes, end);
  EXPECT_EQ(must_stats(*q).generation, 1u);
  ASSERT_TRUE(q->preallocate_log().ok());  // once is enough
  EXPECT_EQ(must_stats(*q).generation, 1u);

  const Bytes c = bytes_of("c");
  ASSERT_TRUE(put_one(*q, c));
  EXPECT_EQ(read_file(log).size(), written.size()) << "a record inside the zeros grew the file";
  IntegrityReport report = ok_value(q->verify_integrity());
  EXPECT_TRUE(report.ok) << report.message;
  EXPECT_EQ(report.bytes, must_stats(*q).log_bytes);

  // Both faces read it, and find nothing to repair.
  auto again = open_jobs(tmp.path());
  ASSERT_TRUE(again);
  EXPECT_FALSE(again->last_repair());
  EXPECT_EQ(snapshot(*again), snapshot(*q));
  auto core = open_queue(tmp.path());
  ASSERT_TRUE(core);
  EXPECT_FALSE(core->last_repair());
  EXPECT_EQ(must_stats(*core).ready, 2u);
  EXPECT_EQ(must_stats(*core).in_flight, 1u);
  // Compaction and purge keep the format and write ahead again.
  ASSERT_TRUE(core->compact().ok());
  EXPECT_EQ(header_of(log), kFormat5);
  ASSERT_TRUE(q->purge().ok());
  EXPECT_EQ(header_of(log), kFormat5);
  EXPECT_GE(file_size(log), LOG_HEADER_LEN + PREALLOCATE_BYTES);
  EXPECT_EQ(must_stats(*core).ready, 0u);
}

TEST(PreallocatedLog, ObjectsSharingItSeeEachOthersRecordsPastEveryGrowth) {
  TempDir tmp;
  auto a = preallocated_queue(tmp.path());
  auto b = open_jobs(tmp.path());
  ASSERT_TRUE(a && b);
  // The log outgrows what was written ahead several times, grown by either object.
  std::set<std::string> put;
  for (int i = 0; i < 12; ++i) {
    JobQueue& writer = i % 3 == 0 ? *b : *a;
    const std::string body = large_body(i);
    const Bytes bytes = bytes_of(body);
    ASSERT_TRUE(put_one(writer, bytes));
    put.insert(shown(body));
    EXPECT_EQ(bodies(i % 3 == 0 ? *a : *b), put) << "after put " << i;
  }
  const Bytes small = bytes_of("small");
  ASSERT_TRUE(put_one(*b, small));
  put.insert("small");
  EXPECT_EQ(bodies(*a), put);
  EXPECT_TRUE(ok_value(a->verify_integrity()).ok);
  ASSERT_TRUE(a->compact().ok());
  EXPECT_EQ(bodies(*b), put);
  auto fresh = open_jobs(tmp.path());
  ASSERT_TRUE(fresh);
  EXPECT_EQ(bodies(*fresh), put);
  EXPECT_FALSE(fresh->last_repair());
}

TEST(PreallocatedLog, AKilledWritersTornFrameIsCutAtTheNextCatchUp) {
  // What a writer killed in the middle of a write leaves: the first bytes of
  // its frame, then the zeros that were there.
  TempDir tmp;
  const std::string log = tmp.file("queue.log");
  auto a = preallocated_queue(tmp.path());
  auto c = open_jobs(tmp.path());
  ASSERT_TRUE(a && c);
  const Bytes kept = bytes_of("kept"), torn(5000, 't');
  uint64_t frame_at = 0;
  {
    auto killed = open_jobs(tmp.path());
    ASSERT_TRUE(killed);
    ASSERT_TRUE(put_one(*killed, kept));
    EXPECT_EQ(bodies(*a), (std::set<std::string>{"kept"}));
    EXPECT_EQ(bodies(*c), (std::set<std::string>{"kept"}));
    frame_at = must_stats(*killed).log_bytes;
    ASSERT_TRUE(put_one(*killed, torn));
  }
  Bytes bytes = read_file(log);
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(frame_at + 3000),
            bytes.begin() + static_cast<std::ptrdiff_t>(frames_end(bytes)), 0);
  write_file(log, bytes);  // in place: the same file, as the writer left it
  EXPECT_EQ(bodies(*a), (std::set<std::string>{"kept"}));
  ASSERT_TRUE(a->last_repair());
  EXPECT_EQ(a->last_repair()->cut_tail->offset, frame_at);
  const Bytes next = bytes_of("next");
  ASSERT_TRUE(put_one(*a, next));
  EXPECT_EQ(bodies(*c), (std::set<std::string>{"kept", "next"}));
  auto fresh = open_jobs(tmp.path());
  ASSERT_TRUE(fresh);
  EXPECT_FALSE(fresh->last_repair());
  EXPECT_EQ(bodies(*fresh), (std::set<std::string>{"kept", "next"}));
}

TEST(PreallocatedLog, ZerosAreNeverWrittenOverRecordsWhateverSizeItLastSaw) {
  // `a` last saw the file before `b` grew it and wrote past that; when `a`
  // must grow it next and cannot look at its size, it still writes no zeros
  // over b's records.
  TempDir tmp;
  auto a = preallocated_queue(tmp.path());
  auto b = open_jobs(tmp.path());
  ASSERT_TRUE(a && b);
  std::set<std::string> put;
  for (int i = 0; i < 4; ++i) {
    const std::string body = large_body(i);
    const Bytes bytes = bytes_of(body);
    ASSERT_TRUE(put_one(*b, bytes));
    put.insert(shown(body));
  }
  ASSERT_EQ(bodies(*a), put);
  const Bytes big(PREALLOCATE_BYTES, 'z');  // more than `a` believes is there
  for (uint64_t skip = 0; skip < 4; ++skip) {
    SCOPED_TRACE(skip);
    {
      FaultScope faults;
      faults.fail(sys::Call::kFstat, EIO, skip);
      (void)put_one(*a, big);  // fails where the fault hits the look before the write
    }
    auto fresh = open_jobs(tmp.path());
    ASSERT_TRUE(fresh);
    EXPECT_FALSE(fresh->last_repair());
    std::set<std::string> seen = bodies(*fresh);
    seen.erase(shown(std::string(big.begin(), big.end())));
    EXPECT_EQ(seen, put) << "b's records were written over";
  }
}

TEST(PreallocatedLog, AFailedWriteAheadStillWritesTheRecords) {
  TempDir tmp;
  auto q = preallocated_queue(tmp.path());
  ASSERT_TRUE(q);
  // Larger than what was written ahead: its write must grow the file, and
  // the zeros written ahead of it fail (the body itself goes by writev).
  const Bytes big(PREALLOCATE_BYTES + 4096, 'x');
  {
    FaultScope faults;
    faults.fail(sys::Call::kWrite, ENOSPC);
    ASSERT_TRUE(put_one(*q, big));
  }
  const Bytes after = bytes_of("after");
  ASSERT_TRUE(put_one(*q, after));
  auto fresh = open_jobs(tmp.path());
  ASSERT_TRUE(fresh);
  EXPECT_FALSE(fresh->last_repair());
  EXPECT_EQ(snapshot(*fresh), snapshot(*q));
  EXPECT_EQ(bodies(*fresh).size(), 2u);
}

TEST(PreallocatedLog, WhatAPowerCutLeavesOfUnsyncedWritesRecoversWithoutStaleRecords) {
  // A synced prefix, then writes no sync covered; after the cut, each of
  // their 512-byte sectors holds either what was written or the zeros from
  // before. Whatever the mix, the synced records survive, a record that
  // comes back is one that was written, and records written after the
  // recovery are never mixed with stale bytes behind them.
  TempDir source;
  std::set<std::string> synced;
  uint64_t durable = 0;
  Bytes written;
  {
    auto q = preallocated_queue(source.path());
    ASSERT_TRUE(q);
    for (int i = 0; i < 40; ++i) {
      const std::string body = numbered(i < 20 ? "synced-" : "unsynced-", i) +
                               std::string(static_cast<size_t>(i * 37 % 300), '.');
      const Bytes bytes = bytes_of(body);
      ASSERT_TRUE(put_one(*q, bytes));
      if (i < 20) synced.insert(body);
      if (i == 19) durable = must_stats(*q).log_bytes;
      if (i % 7 == 6) {
        ASSERT_TRUE(take_copies(*q, 1, kHourMs, 0).ok());
      }
    }
    written = read_file(source.file("queue.log"));
  }
  const uint64_t end = frames_end(written);
  ASSERT_GT(end, durable + 2048);
  std::mt19937 random(20261211);
  int kept_some = 0;
  for (int trial = 0; trial < 60; ++trial) {
    SCOPED_TRACE(trial);
    TempDir tmp;
    Bytes cut = written;
    const int keep_percent = trial % 3 == 0 ? 20 : trial % 3 == 1 ? 60 : 95;
    for (uint64_t sector = durable / 512; sector * 512 < end; ++sector) {
      if (static_cast<int>(random() % 100) < keep_percent) continue;
      for (uint64_t at = std::max(sector * 512, durable); at < (sector + 1) * 512 && at < end; ++at) {
        cut[at] = 0;
      }
    }
    write_file(tmp.file("queue.log"), cut);
    std::set<std::string> seen;
    {
      auto q = open_jobs(tmp.path());
      ASSERT_TRUE(q);
      seen = bodies(*q);
      for (const std::string& body : synced) {
        // Taken messages are still there, leased.
        EXPECT_TRUE(seen.contains(body)) << body;
      }
      for (const std::string& body : seen) {
        EXPECT_TRUE(body.starts_with("synced-") || body.starts_with("unsynced-")) << body;
      }
      kept_some += seen.size() > synced.size();
      // New records over what the cut left, of lengths that could line up
      // with stale frames behind them.
      for (int i = 0; i < 25; ++i) {
        const std::string body = numbered("new-", i) + std::string(static_cast<size_t>(i * 53 % 200), '+');
        const Bytes bytes = bytes_of(body);
        ASSERT_TRUE(put_one(*q, bytes));
        seen.insert(body);
      }
      EXPECT_TRUE(ok_value(q->verify_integrity()).ok);
    }
    auto reopened = open_jobs(tmp.path());
    ASSERT_TRUE(reopened);
    EXPECT_FALSE(reopened->last_repair()) << "the recovery left damage behind";
    EXPECT_EQ(bodies(*reopened), seen);
  }
  EXPECT_GT(kept_some, 0) << "no trial kept an unsynced record: the cut is not what it claims";
}

}  // namespace
}  // namespace tarnwick::testing
