// One injected system-call failure at a time, at every call of every kind
// that a representative operation makes. After each, the error came back (or
// was one the engine may absorb), the lock is free, the object still works,
// and a fresh object on the directory holds exactly the messages the failing
// object holds: nothing lost, nothing doubled, no torn frame behind a later one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <tuple>

#include "engine_helpers.h"
#include "log_io/clock.h"

namespace tarnwick::testing {
namespace {

using sys::Call;

struct Env {
  TempDir tmp;
  bool preallocated = false;  // the log is a preallocated one (format 5)
  std::unique_ptr<Queue> a;  // the object the fault hits
  std::unique_ptr<Queue> b;  // another object on the same directory
  std::string log() const { return tmp.file("queue.log"); }
};

struct Scenario {
  std::string name;
  Settings settings;
  std::function<void(Env&)> prepare;  // runs without faults, after both opens
  std::function<Status(Env&)> run;    // runs with the fault armed
};

const Bytes& big_body() {
  static const Bytes big = [] {
    Bytes b(10000);
    for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i % 251);
    return b;
  }();
  return big;
}

// Six messages: 0 ready, 1 leased for an hour, 2 leased and expired, 3 ready
// after one delivery, 4 ready with a large body, 5 acknowledged.
const Bytes& base_log() {
  static const Bytes log = [] {
    const uint64_t later = now_ms() + kHourMs;
    LogBuilder b;
    b.enqueue(0, 100, "alpha").enqueue(1, 101, "bravo").enqueue(2, 102, "charlie");
    b.enqueue(3, 103, "delta");
    b.enqueue(4, 104, std::string(big_body().begin(), big_body().end()));
    b.enqueue(5, 105, "echo");
    b.lease(1, later, 1).lease(2, 1000, 1).lease(3, later, 1).requeue(3, 1).ack(5);
    return b.bytes();
  }();
  return log;
}

// The base log as a preallocated log holds it: format 5's magic, then
// zeros written ahead (fewer than a writer leaves, which keeps each of the
// sweep's many opens quick; the first growth then comes sooner).
Bytes preallocated_base_log() {
  Bytes log = base_log();
  log[3] = '5';
  log[4] = 5;
  log.resize(log.size() + (64 << 10), 0);
  return log;
}

// A preallocated log as an appended one would hold it, for the checks made
// by hand: format 1's magic, and without the zeros after its last frame
// (which must all be zero).
Bytes as_appended(Bytes file) {
  if (file.size() < LOG_HEADER_LEN || file[3] != '5') return file;
  file[3] = 'L';
  const uint64_t end = parse_log(file).end;
  EXPECT_TRUE(std::all_of(file.begin() + static_cast<std::ptrdiff_t>(end), file.end(),
                          [](uint8_t b) { return b == 0; }))
      << "bytes other than zeros after the last frame, at " << end;
  file.resize(end);
  return file;
}

// Writes `bytes` where the log ends: at the end of the file, or over the
// zeros of a preallocated log.
void write_at_end(const Env& e, const Bytes& bytes) {
  Bytes file = read_file(e.log());
  const size_t end = e.preallocated ? as_appended(file).size() : file.size();
  if (file.size() < end + bytes.size()) file.resize(end + bytes.size());
  std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(end));
  write_file(e.log(), file);
}

template <class T>
Status status_of(const Result<T>& r) {
  if (r.ok()) return {};
  return r.error();
}

std::vector<Scenario> scenarios() {
  static const Bytes fresh = bytes_of("fresh"), x = bytes_of("x");
  const auto none = [](Env&) {};
  const Settings plain = make_settings();
  std::vector<Scenario> out = {
      {"enqueue", plain, none, [](Env& e) { return status_of(e.a->enqueue(span_of(fresh))); }},
      {"enqueue_batch", plain, none,
       [](Env& e) {
         return status_of(e.a->enqueue_batch({span_of(x), span_of(big_body()), span_of(fresh)}));
       }},
      {"dequeue", plain, none,
       [](Env& e) {
         CollectingSink sink;
         return status_of(e.a->dequeue(std::nullopt, sink));
       }},
      {"dequeue_batch", plain, none,
       [](Env& e) {
         CollectingSink sink;
         return e.a->dequeue_batch(4, std::nullopt, sink);
       }},
      {"ack", plain, none, [](Env& e) { return status_of(e.a->ack(1)); }},
      {"ack_batch", plain, none, [](Env& e) { return status_of(e.a->ack_batch({0, 1, 99, 4})); }},
      {"nack", plain, none, [](Env& e) { return status_of(e.a->nack(1, true)); }},
      {"nack_dead", plain, none, [](Env& e) { return status_of(e.a->nack(1, false)); }},
      {"extend_lease", plain, none, [](Env& e) { return status_of(e.a->extend_lease(2, 5000)); }},
      {"available", plain, none, [](Env& e) { return status_of(e.a->available()); }},
      {"stats", plain, none, [](Env& e) { return status_of(e.a->stats()); }},
      {"flush", plain, none, [](Env& e) { return e.a->flush(); }},
      {"verify", plain, none, [](Env& e) { return status_of(e.a->verify_integrity()); }},
      {"compact", plain, none, [](Env& e) { return e.a->compact(); }},
      {"purge", plain, none, [](Env& e) { return e.a->purge(); }},
      {"ack_auto_compacts", make_settings(0, 30000, 100), none,
       [](Env& e) { return status_of(e.a->ack(4)); }},
      {"catch_up_after_other_wrote", plain,
       [](Env& e) {
         must_enqueue(*e.b, "from b");
         EXPECT_TRUE(ok_value(e.b->ack(0)));
         CollectingSink sink;
         EXPECT_TRUE(e.b->dequeue(kHourMs, sink).ok());
       },
       [](Env& e) { return status_of(e.a->enqueue(span_of(fresh))); }},
      {"catch_up_after_other_compacted", plain,
       [](Env& e) {
         EXPECT_TRUE(ok_value(e.b->ack(3)));
         EXPECT_TRUE(e.b->compact().ok());
         must_enqueue(*e.b, "after compaction");
       },
       [](Env& e) {
         CollectingSink sink;
         return status_of(e.a->dequeue(std::nullopt, sink));
       }},
      {"catch_up_after_other_purged", plain,
       [](Env& e) {
         EXPECT_TRUE(e.b->purge().ok());
         must_enqueue(*e.b, "after purge");
       },
       [](Env& e) { return status_of(e.a->ack(0)); }},
      {"catch_up_repairs_torn_tail", plain,
       [](Env& e) {
         LogBuilder torn;
         torn.enqueue(6, 1, "torn frame body");
         write_at_end(e, Bytes(torn.bytes().begin() + 16, torn.bytes().end() - 4));
       },
       [](Env& e) { return status_of(e.a->enqueue(span_of(fresh))); }},
      {"long_interval_enqueue", make_settings(kHourMs), none,
       [](Env& e) { return status_of(e.a->enqueue(span_of(big_body()))); }},
  };
  // The same again with a long sync interval and an object that has mapped
  // the log already, so that other paths of the same calls are taken.
  const size_t cold = out.size();
  for (size_t i = 0; i < cold; ++i) {
    Scenario warm = out[i];
    warm.name = out[i].name + "/warm";
    warm.settings.sync_interval_ms = kHourMs;
    warm.prepare = [prepare = out[i].prepare](Env& e) {
      (void)snapshot(*e.a);  // reads every body through the map
      prepare(e);
    };
    out.push_back(std::move(warm));
  }
  return out;
}

struct Tally {
  uint64_t injections = 0;
  uint64_t errors = 0;
  uint64_t absorbed = 0;
  std::map<std::string, uint64_t> errors_by_scenario;
  std::map<std::tuple<std::string, Call, int>, uint64_t> absorbed_by;
  std::map<std::string, uint64_t> compaction_warnings;
};

// Everything that must hold after one injection.
void check_after(Env& e, const Scenario& sc, const std::string& where) {
  SCOPED_TRACE(where);
  EXPECT_TRUE(lock_is_free(e.tmp.path()));
  // The failing object catches up cleanly and agrees with the file.
  auto caught_up = e.a->in_flight();
  ASSERT_TRUE(caught_up.ok()) << caught_up.error().text();
  const Bytes file = as_appended(read_file(e.log()));
  EXPECT_EQ(read_file(e.log()).at(3) == '5', e.preallocated) << "the log changed its format";
  const ParsedLog log = parse_log(file);
  ASSERT_TRUE(log.magic_ok);
  EXPECT_TRUE(log.clean) << "damage at " << log.end << " of " << file.size();
  const Replayed replayed = replay(log);
  EXPECT_FALSE(replayed.duplicate) << "a live seq appears in two ENQUEUE records";
  const Snapshot held = snapshot(*e.a);
  EXPECT_EQ(held, replayed.messages)
      << "object " << describe(held) << "\nlog    " << describe(replayed.messages);
  EXPECT_EQ(e.a->impl().inner.applied_offset, file.size());
  EXPECT_EQ(e.a->impl().inner.log_bytes, file.size());
  EXPECT_EQ(e.a->impl().inner.generation, log.generation);

  auto fresh = open_queue(e.tmp.path(), sc.settings);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(snapshot(*fresh), held) << "a fresh open disagrees with the object";
  ASSERT_TRUE(e.b->in_flight().ok());
  EXPECT_EQ(snapshot(*e.b), held) << "the other object disagrees";

  // A follow-up round on the failing object.
  const uint64_t seq = must_enqueue(*e.a, "follow-up");
  CollectingSink sink;
  ASSERT_TRUE(e.a->dequeue_batch(100, kHourMs, sink).ok());
  bool delivered = false;
  for (const auto& d : sink.items) {
    if (d.seq == seq) {
      delivered = true;
      EXPECT_EQ(to_string(d.body), "follow-up");
    } else {
      ASSERT_TRUE(held.contains(d.seq)) << "delivered an unknown seq " << d.seq;
      EXPECT_EQ(d.body, held.at(d.seq).body) << "seq " << d.seq;
    }
  }
  EXPECT_TRUE(delivered) << "the follow-up message was not delivered";
  EXPECT_TRUE(ok_value(e.a->ack(seq)));
  ASSERT_TRUE(fresh->in_flight().ok());
  EXPECT_EQ(snapshot(*fresh), snapshot(*e.a));
  auto report = fresh->verify_integrity();
  ASSERT_TRUE(report.ok());
  EXPECT_TRUE(report->ok) << report->message;
  const ParsedLog after = parse_log(as_appended(read_file(e.log())));
  EXPECT_EQ(report->records, after.frames.size());
  EXPECT_FALSE(replay(after).duplicate);
}

struct Variant {
  int error;
  size_t partial_bytes;
};

void sweep(bool preallocated) {
  Tally tally;
  const auto all = scenarios();
  for (const Scenario& sc : all) {
    for (int k = 0; k < static_cast<int>(Call::kCount); ++k) {
      const auto call = static_cast<Call>(k);
      std::vector<Variant> variants = {{EIO, 0}};
      if (call == Call::kWrite || call == Call::kWritev) {
        variants.push_back({ENOSPC, 3});
        variants.push_back({ENOSPC, 40});
      }
      for (const Variant& v : variants) {
        for (uint64_t skip = 0;; ++skip) {
          const std::string where = std::string(sc.name) + numbered(" call ", k) +
                                    numbered(" skip ", skip) + " partial " +
                                    std::to_string(v.partial_bytes);
          SCOPED_TRACE(where);
          ASSERT_LT(skip, 64u) << "the operation never stops reaching the fault";
          const size_t fds = open_fd_count();
          bool reached = false;
          {
            Env e;
            e.preallocated = preallocated;
            write_file(e.log(), preallocated ? preallocated_base_log() : base_log());
            e.a = open_queue(e.tmp.path(), sc.settings);
            e.b = open_queue(e.tmp.path(), sc.settings);
            ASSERT_TRUE(e.a && e.b);
            ::testing::internal::CaptureStderr();
            sc.prepare(e);
            CallCounter calls(call);
            Status result;
            {
              FaultScope faults;
              faults.fail(call, v.error, skip, 1, v.partial_bytes);
              result = sc.run(e);
            }
            reached = calls.count() > skip;
            if (!reached) {
              EXPECT_TRUE(result.ok()) << "failed without a fault: " << result.error().text();
            } else {
              ++tally.injections;
              if (result.ok()) {
                ++tally.absorbed;
              } else {
                ++tally.errors;
                ++tally.errors_by_scenario[sc.name];
                EXPECT_TRUE(result.error().kind() == ErrorKind::kOs ||
                            result.error().kind() == ErrorKind::kWriteZero)
                    << result.error().text();
              }
              check_after(e, sc, where);
            }
            const std::string err = ::testing::internal::GetCapturedStderr();
            if (reached && result.ok()) {
              // A failed automatic compaction follows a committed removal:
              // the call succeeds and the failure is a warning line.
              if (err.find("Tarnwick: automatic compaction failed: ") != std::string::npos) {
                ++tally.compaction_warnings[sc.name];
              } else {
                ++tally.absorbed_by[{sc.name, call, v.error}];
              }
            }
          }
          EXPECT_EQ(open_fd_count(), fds) << "descriptors leaked";
          if (!reached || ::testing::Test::HasFatalFailure()) break;
        }
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
  // Failures the engine may absorb: a failed look at the log's identity or
  // header, which only forces a full reload; a header map that could not be
  // made (the header is then read with pread); and a lost warning line on
  // standard error. A full disk under an operation that writes no new
  // message, which the space reserve lets through; and the reserve's own
  // upkeep after a replacement of the log, which goes without on failure.
  for (const auto& [key, n] : tally.absorbed_by) {
    const auto& [name, call, error] = key;
    const std::string scenario(name);
    const bool warning =
        call == Call::kWrite && scenario.rfind("catch_up_repairs_torn_tail", 0) == 0;
    const bool puts = scenario.find("enqueue") != std::string::npos;
    const bool drained = error == ENOSPC && !puts &&
                         (call == Call::kWrite || call == Call::kWritev);
    const bool replaces = scenario.rfind("compact", 0) == 0 || scenario.rfind("purge", 0) == 0 ||
                          scenario.rfind("ack_auto_compacts", 0) == 0;
    const bool upkeep = replaces && (call == Call::kOpen || call == Call::kFstat ||
                                     call == Call::kPreallocate || call == Call::kFtruncate ||
                                     call == Call::kUnlink);
    // A preallocated log that must grow first looks at the file's size,
    // and grows it without zeros ahead where it cannot.
    const bool grows = preallocated && call == Call::kFstat;
    EXPECT_TRUE(call == Call::kStat || call == Call::kStatx || call == Call::kPread ||
                call == Call::kMmap || warning || drained || upkeep || grows)
        << name << " absorbed " << n << " failures of call " << static_cast<int>(call)
        << " with errno " << error;
  }
  for (const Scenario& sc : all) {
    EXPECT_GT(tally.errors_by_scenario[sc.name], 0u) << sc.name << " never failed";
    const bool compacts = sc.name.rfind("ack_auto_compacts", 0) == 0;
    EXPECT_EQ(tally.compaction_warnings[sc.name] > 0, compacts) << sc.name;
  }
  std::cout << "[ fault sweep" << (preallocated ? ", preallocated log" : "") << " ] "
            << tally.injections << " injections over " << all.size() << " operations: "
            << tally.errors << " returned errors, " << tally.absorbed << " absorbed\n";
}

TEST(EngineFaultSweep, EveryCallOfEveryOperation) { sweep(false); }

TEST(EngineFaultSweep, EveryCallOfEveryOperationOnAPreallocatedLog) { sweep(true); }

}  // namespace
}  // namespace tarnwick::testing
