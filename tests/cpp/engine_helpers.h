// Helpers for the log engine's tests: queues opened with chosen settings, a
// look at an object's state, log files built and parsed by hand (independently
// of the engine's codec), descriptor counts and a probe of the process lock.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "log_io/crc32.h"
#include "log_io/endian.h"
#include "log_io/log_format.h"
#include "process_lock/process_lock.h"
#include "queue/job_queue.h"
#include "queue/queue.h"
#include "queue/queue_impl.h"
#include "test_util.h"

namespace tarnwick::testing {
// A namespace of their own, so that helpers of other test files may use the
// same names without clashing at link time.
inline namespace engine_helpers {

inline Settings make_settings(uint64_t sync_interval_ms = 0, uint64_t default_lease_ms = 30000,
                              uint64_t auto_compact_bytes = 0) {
  Settings s;
  s.sync_interval_ms = sync_interval_ms;
  s.default_lease_ms = default_lease_ms;
  s.auto_compact_bytes = auto_compact_bytes;
  return s;
}

inline constexpr uint64_t kHourMs = 3600 * 1000;

// Opens a queue or fails the test (the result is null then).
inline std::unique_ptr<Queue> open_queue(const std::string& path,
                                         const Settings& settings = make_settings()) {
  auto opened = Queue::open(path, settings);
  if (!opened.ok()) {
    ADD_FAILURE() << "open(" << path << ") failed: " << opened.error().text();
    return nullptr;
  }
  return std::move(opened).value();
}

// Opens a job queue (with its dead letters) or fails the test (null then).
inline std::unique_ptr<JobQueue> open_jobs(const std::string& path,
                                           const Settings& settings = make_settings()) {
  auto opened = JobQueue::open(path, settings);
  if (!opened.ok()) {
    ADD_FAILURE() << "open(" << path << ") failed: " << opened.error().text();
    return nullptr;
  }
  return std::move(opened).value();
}

// The value of a successful call; fails the test (and yields T{}) otherwise.
template <class T>
T ok_value(Result<T> r) {
  if (!r.ok()) {
    ADD_FAILURE() << "call failed: " << r.error().text();
    return T{};
  }
  return std::move(r).value();
}

inline uint64_t must_enqueue(Queue& q, std::string_view body) {
  const Bytes b = bytes_of(body);
  auto r = q.enqueue(span_of(b));
  if (!r.ok()) {
    ADD_FAILURE() << "enqueue failed: " << r.error().text();
    return UINT64_MAX;
  }
  return *r;
}

// Leases one message; nullopt when nothing was ready or the call failed.
inline std::optional<Delivered> must_dequeue(Queue& q, std::optional<uint64_t> lease_ms = {}) {
  CollectingSink sink;
  auto r = q.dequeue(lease_ms, sink);
  if (!r.ok()) {
    ADD_FAILURE() << "dequeue failed: " << r.error().text();
    return std::nullopt;
  }
  if (!*r) return std::nullopt;
  return sink.items.at(0);
}

inline QueueStats must_stats(Queue& q) {
  auto r = q.stats();
  if (!r.ok()) {
    ADD_FAILURE() << "stats failed: " << r.error().text();
    return {};
  }
  return *r;
}

// A message a job queue leased, with its body copied out of the call.
struct TakenCopy {
  LeaseToken lease;
  Bytes body;
};

// JobQueue::take with the bodies copied into the result, as a batch of more
// than one message is synced.
inline Result<std::vector<TakenCopy>> take_copies(JobQueue& q, uint64_t max,
                                                  std::optional<uint64_t> lease_ms,
                                                  uint32_t max_deliveries) {
  class Copies final : public DeliverySink {
   public:
    bool deliver(const Delivery& d) override {
      taken.push_back({{d.seq, d.enqueued_ts_ms, d.deliveries, d.deadline_ms},
                       Bytes(d.body.begin(), d.body.end())});
      return true;
    }
    std::vector<TakenCopy> taken;
  } sink;
  const SyncRule sync = max > 1 ? SyncRule::kForce : SyncRule::kInterval;
  auto taken = q.take({max, lease_ms, max_deliveries, sync}, sink);
  if (!taken.ok()) return std::move(taken).error();
  return std::move(sink.taken);
}

inline QueueStats must_stats(JobQueue& q) {
  auto r = q.stats();
  if (!r.ok()) {
    ADD_FAILURE() << "stats failed: " << r.error().text();
    return {};
  }
  return r->core;
}

// "m3" for ("m", 3).
inline std::string numbered(const char* prefix, uint64_t i) {
  std::string out(prefix);
  out.append(std::to_string(i));
  return out;
}

inline std::string to_string(const Bytes& b) { return std::string(b.begin(), b.end()); }

// --- an object's live messages, as its state holds them ---

struct Msg {
  Bytes body;
  uint32_t deliveries = 0;
  uint64_t enqueued_ts_ms = 0;
  std::optional<uint64_t> deadline;  // set when leased
  bool operator==(const Msg&) const = default;
};
using Snapshot = std::map<uint64_t, Msg>;

inline std::string describe(const Snapshot& s) {
  std::ostringstream out;
  out << "{";
  for (const auto& [seq, m] : s) {
    out << " " << seq << ":\"" << to_string(m.body) << "\" d=" << m.deliveries
        << " ts=" << m.enqueued_ts_ms;
    if (m.deadline) out << " leased@" << *m.deadline;
  }
  out << " }";
  return out.str();
}

// The state of `q` as it is now (no catch-up), bodies read back through the
// engine's own body path under the locks. Reports broken set invariants.
inline Snapshot snapshot_of(QueueImpl& impl) {
  Snapshot out;
  auto status = impl.locked(QueueImpl::Prep::kNone, [&]() -> Status {
    const QueueState& st = impl.inner.state;
    for (const auto& [seq, entry] : st.messages) {
      Msg m;
      auto body = impl.body_of(entry);
      if (!body.ok()) return std::move(body).error();
      m.body.assign(body->begin(), body->end());
      m.deliveries = entry.deliveries;
      m.enqueued_ts_ms = entry.enqueued_ts_ms;
      // A message with options stands in its level or group, not in `ready`.
      const bool ready = st.options_of(seq) != nullptr || st.ready.contains(seq);
      auto leased = st.in_flight.find(seq);
      if (leased != st.in_flight.end()) m.deadline = leased->second;
      if (st.options_of(seq) == nullptr && ready == (leased != st.in_flight.end())) {
        ADD_FAILURE() << "seq " << seq << " is " << (ready ? "both ready and leased" : "neither");
      }
      out.emplace(seq, std::move(m));
    }
    if (st.options.empty() && st.ready.size() + st.in_flight.size() != st.messages.size()) {
      ADD_FAILURE() << "ready/in_flight hold seqs without entries";
    }
    return {};
  });
  if (!status.ok()) ADD_FAILURE() << "snapshot failed: " << status.error().text();
  return out;
}

inline Snapshot snapshot(Queue& q) { return snapshot_of(q.impl()); }
inline Snapshot snapshot(JobQueue& q) { return snapshot_of(q.impl()); }

// A fresh open of the directory must hold exactly what `q` holds.
template <class AnyQueue>
void expect_fresh_open_agrees(const std::string& dir, AnyQueue& q) {
  auto fresh = open_queue(dir);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(snapshot(*fresh), snapshot(q));
}

// --- log files by hand ---

class LogBuilder {
 public:
  explicit LogBuilder(uint64_t generation = 0, uint32_t version = 1) {
    bytes_ = {'T', 'W', 'F', 'L'};
    put32(bytes_, version);
    put64(bytes_, generation);
  }
  // A correctly framed payload of any content.
  LogBuilder& frame(const Bytes& payload) {
    bytes_.insert(bytes_.end(), {'T', 'W', 'R', '1'});
    put32(bytes_, static_cast<uint32_t>(payload.size()));
    put32(bytes_, crc32(payload.data(), payload.size()));
    bytes_.insert(bytes_.end(), payload.begin(), payload.end());
    return *this;
  }
  LogBuilder& enqueue(uint64_t seq, uint64_t ts, std::string_view body) {
    Bytes p{1};
    put64(p, seq);
    put64(p, ts);
    put32(p, static_cast<uint32_t>(body.size()));
    p.insert(p.end(), body.begin(), body.end());
    return frame(p);
  }
  LogBuilder& ack(uint64_t seq) { return simple(2, seq); }
  LogBuilder& dead(uint64_t seq) { return simple(5, seq); }
  LogBuilder& lease(uint64_t seq, uint64_t deadline, uint32_t deliveries) {
    Bytes p{3};
    put64(p, seq);
    put64(p, deadline);
    put32(p, deliveries);
    return frame(p);
  }
  LogBuilder& requeue(uint64_t seq, uint32_t deliveries) {
    Bytes p{4};
    put64(p, seq);
    put32(p, deliveries);
    return frame(p);
  }
  LogBuilder& raw(const Bytes& junk) {
    bytes_.insert(bytes_.end(), junk.begin(), junk.end());
    return *this;
  }
  uint64_t size() const { return bytes_.size(); }
  const Bytes& bytes() const { return bytes_; }

  static void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
  }
  static void put64(Bytes& b, uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(uint8_t(v >> (8 * i)));
  }

 private:
  LogBuilder& simple(uint8_t tag, uint64_t seq) {
    Bytes p{tag};
    put64(p, seq);
    return frame(p);
  }
  Bytes bytes_;
};

struct ParsedFrame {
  uint64_t offset = 0;
  uint64_t length = 0;  // whole frame
  uint8_t tag = 0;
  uint64_t seq = 0;
  uint64_t time = 0;  // ENQUEUE timestamp or LEASE deadline
  uint32_t deliveries = 0;
  Bytes body;
};

struct ParsedLog {
  bool magic_ok = false;
  uint64_t generation = 0;
  std::vector<ParsedFrame> frames;
  uint64_t end = 0;    // just past the last good frame
  bool clean = false;  // the file ends exactly at `end`
};

// Framing, CRC and payload layout checked here, not by the engine's reader.
inline ParsedLog parse_log(const Bytes& f) {
  ParsedLog out;
  if (f.size() < LOG_HEADER_LEN) return out;
  out.magic_ok = f[0] == 'T' && f[1] == 'W' && f[2] == 'F' && f[3] == 'L';
  out.generation = load_le64(f.data() + 8);
  uint64_t at = LOG_HEADER_LEN;
  out.end = at;
  while (at + 12 <= f.size()) {
    const uint8_t* h = f.data() + at;
    if (!(h[0] == 'T' && h[1] == 'W' && h[2] == 'R' && h[3] == '1')) break;
    const uint32_t len = load_le32(h + 4);
    if (at + 12 + len > f.size() || len == 0) break;
    const uint8_t* p = h + 12;
    if (crc32(p, len) != load_le32(h + 8)) break;
    ParsedFrame fr;
    fr.offset = at;
    fr.length = 12 + len;
    fr.tag = p[0];
    bool ok = len >= 9;
    if (ok) fr.seq = load_le64(p + 1);
    switch (fr.tag) {
      case 1:
        ok = ok && len >= 21 && len - 21 >= load_le32(p + 17);
        if (ok) {
          fr.time = load_le64(p + 9);
          fr.body.assign(p + 21, p + 21 + load_le32(p + 17));
        }
        break;
      case 3:
        ok = ok && len >= 21;
        if (ok) {
          fr.time = load_le64(p + 9);
          fr.deliveries = load_le32(p + 17);
        }
        break;
      case 4:
        ok = ok && len >= 13;
        if (ok) fr.deliveries = load_le32(p + 9);
        break;
      case 2:
      case 5:
        break;
      default:
        ok = false;
    }
    if (!ok) break;
    out.frames.push_back(std::move(fr));
    at += 12 + len;
    out.end = at;
  }
  out.clean = out.end == f.size();
  return out;
}

// The live messages a log describes, replayed from the parsed frames.
// `duplicate` is set when an ENQUEUE names a seq that is still live.
struct Replayed {
  Snapshot messages;
  bool duplicate = false;
};

inline Replayed replay(const ParsedLog& log) {
  Replayed out;
  for (const ParsedFrame& fr : log.frames) {
    auto it = out.messages.find(fr.seq);
    switch (fr.tag) {
      case 1:
        if (it != out.messages.end()) out.duplicate = true;
        out.messages[fr.seq] = Msg{fr.body, 0, fr.time, std::nullopt};
        break;
      case 2:
      case 5:
        if (it != out.messages.end()) out.messages.erase(it);
        break;
      case 3:
        if (it != out.messages.end()) {
          it->second.deliveries = fr.deliveries;
          it->second.deadline = fr.time;
        }
        break;
      case 4:
        if (it != out.messages.end()) {
          it->second.deliveries = fr.deliveries;
          it->second.deadline.reset();
        }
        break;
    }
  }
  return out;
}

inline std::vector<uint8_t> tags_of(const ParsedLog& log) {
  std::vector<uint8_t> tags;
  for (const auto& fr : log.frames) tags.push_back(fr.tag);
  return tags;
}

// --- processes and descriptors ---

inline size_t open_fd_count() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++n;
  }
  return n;
}

// True when a fresh handle on the directory's lock file gets the lock at once.
inline bool lock_is_free(const std::string& dir) {
  auto dir_fd = sys::open(dir, O_RDONLY | O_DIRECTORY);
  if (!dir_fd.ok()) return false;
  auto lock = ProcessLock::open(dir_fd->get(), dir + "/" + kLockFileName);
  if (!lock.ok()) return false;
  auto guard = lock->write_lock(20ull * 1000 * 1000);
  return guard.ok();
}

}  // namespace engine_helpers
}  // namespace tarnwick::testing
