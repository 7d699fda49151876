// What a take and a keyed put cost in a large queue, in the engine alone:
// a take among 10^6 ready messages spread over 100 priorities and 10^4
// groups (each take then acked), and a put with a key among 10^6 live keys
// (new keys, and keys already held). Each is timed over many calls and
// reported per call, with the same on a queue of 10^3 messages beside it, so
// that a cost growing with the queue shows as a ratio far above 1.
//
//   g++ -std=c++20 -O2 -Isrc bench/engine_scale.cc build/engine/libtarnwick_engine.a \
//       -o build/engine_scale && build/engine_scale [messages]
//
// (build/engine is the engine alone: cmake -S . -B build/engine
// -DTARNWICK_BUILD_MODULE=OFF -DTARNWICK_BUILD_TESTS=OFF && cmake --build
// build/engine.) The queue is a directory under $TMPDIR, synced on a
// timer only, so the numbers are the engine's work and the log's writes,
// not the disk's flushes.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "queue/job_queue.h"

using namespace tarnwick;

namespace {

using Clock = std::chrono::steady_clock;

double micros_since(Clock::time_point start, uint64_t calls) {
  const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  return us / static_cast<double>(calls);
}

void check(const Status& s, const char* what) {
  if (!s.ok()) {
    std::fprintf(stderr, "%s failed: %s\n", what, s.error().text().c_str());
    std::exit(1);
  }
}

template <class T>
T value(Result<T> r, const char* what) {
  if (!r.ok()) {
    std::fprintf(stderr, "%s failed: %s\n", what, r.error().text().c_str());
    std::exit(1);
  }
  return std::move(r).value();
}

class Tokens final : public DeliverySink {
 public:
  bool deliver(const Delivery& d) override {
    last = {d.seq, d.enqueued_ts_ms, d.deliveries, d.deadline_ms};
    ++count;
    return true;
  }
  LeaseToken last;
  uint64_t count = 0;
};

std::unique_ptr<JobQueue> fresh_queue(const std::string& dir) {
  std::filesystem::remove_all(dir);
  Settings settings;
  settings.sync_interval_ms = 3'600'000;
  settings.auto_compact_bytes = 0;
  return value(JobQueue::open(dir, settings), "open");
}

struct Costs {
  double take_us;
  double new_key_us;
  double held_key_us;
};

Costs measure(const std::string& dir, uint64_t messages, uint64_t calls) {
  const std::string body(100, 'x');
  const ByteSpan one(reinterpret_cast<const uint8_t*>(body.data()), body.size());
  Costs out{};
  {
    auto q = fresh_queue(dir + "/groups");
    for (uint64_t i = 0; i < messages; ++i) {
      PutOptions o;
      o.priority = static_cast<int8_t>(static_cast<int>(i % 100) - 50);
      const std::string group = "customer-" + std::to_string(i % 10'000);
      o.group = group;
      value(q->put(std::span(&one, 1), 0, SyncRule::kInterval, o), "put");
    }
    Tokens sink;
    const TakeRequest request{1, 3'600'000, 0, SyncRule::kInterval};
    const auto start = Clock::now();
    for (uint64_t i = 0; i < calls; ++i) {
      value(q->take(request, sink), "take");
      value(q->ack(sink.last), "ack");
    }
    out.take_us = micros_since(start, calls);
    if (sink.count != calls) std::exit(2);
  }
  {
    auto q = fresh_queue(dir + "/keys");
    for (uint64_t i = 0; i < messages; ++i) {
      PutOptions o;
      const std::string key = "job-" + std::to_string(i);
      o.key = key;
      value(q->put(std::span(&one, 1), 0, SyncRule::kInterval, o), "put");
    }
    auto start = Clock::now();
    for (uint64_t i = 0; i < calls; ++i) {
      PutOptions o;
      const std::string key = "new-" + std::to_string(i);
      o.key = key;
      value(q->put(std::span(&one, 1), 0, SyncRule::kInterval, o), "put");
    }
    out.new_key_us = micros_since(start, calls);
    start = Clock::now();
    for (uint64_t i = 0; i < calls; ++i) {
      PutOptions o;
      const std::string key = "job-" + std::to_string((i * 7919) % messages);
      o.key = key;
      value(q->put(std::span(&one, 1), 0, SyncRule::kInterval, o), "put");
    }
    out.held_key_us = micros_since(start, calls);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t large = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  const uint64_t calls = 10'000;
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = std::string(tmp != nullptr ? tmp : "/tmp") + "/tarnwick-engine-scale";
  const Costs small = measure(dir, 1'000 > calls ? 1'000 : calls, calls);
  const Costs big = measure(dir, large, calls);
  std::filesystem::remove_all(dir);
  std::printf("| per call, µs | %llu messages | %llu messages | ratio |\n",
              static_cast<unsigned long long>(calls), static_cast<unsigned long long>(large));
  std::printf("|---|---|---|---|\n");
  std::printf("| take + ack (100 priorities, 10^4 groups) | %.2f | %.2f | %.2f |\n", small.take_us,
              big.take_us, big.take_us / small.take_us);
  std::printf("| put, new key | %.2f | %.2f | %.2f |\n", small.new_key_us, big.new_key_us,
              big.new_key_us / small.new_key_us);
  std::printf("| put, key held (nothing written) | %.2f | %.2f | %.2f |\n", small.held_key_us,
              big.held_key_us, big.held_key_us / small.held_key_us);
  return 0;
}
