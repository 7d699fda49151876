// Queue objects and processes whose `.proc_lock` was deleted or replaced
// under them still exclude each other, so no two of them append at once.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "engine_helpers.h"

namespace tarnwick::testing {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t kShortWaitNs = 30ull * 1000 * 1000;

void remove_or_replace(const TempDir& tmp, bool replace) {
  const std::string lock = tmp.file(".proc_lock");
  if (replace) {
    write_file(tmp.file("planted"), {});
    ASSERT_EQ(std::rename(tmp.file("planted").c_str(), lock.c_str()), 0);
  } else {
    ASSERT_TRUE(fs::remove(lock));
  }
}

// True when `q` cannot take its lock within a short wait.
bool is_shut_out(Queue& q) {
  QueueImpl& impl = q.impl();
  impl.lock_timeout_ns = kShortWaitNs;
  auto r = q.available();
  impl.lock_timeout_ns = LOCK_TIMEOUT_NS;
  return !r.ok() && r.error().is_timeout();
}

TEST(EngineLockFile, ObjectsOpenedBeforeAndAfterTheChangeExcludeEachOther) {
  for (bool replace : {false, true}) {
    SCOPED_TRACE(replace ? "replaced" : "deleted");
    TempDir tmp;
    auto early = open_queue(tmp.path());
    ASSERT_TRUE(early);
    must_enqueue(*early, "before");
    remove_or_replace(tmp, replace);
    auto late = open_queue(tmp.path());
    ASSERT_TRUE(late);
    {
      auto held = early->impl().lock->write_lock();
      ASSERT_TRUE(held.ok());
      EXPECT_TRUE(is_shut_out(*late));
    }
    {
      auto held = late->impl().lock->write_lock();
      ASSERT_TRUE(held.ok());
      EXPECT_TRUE(is_shut_out(*early));
    }
    const uint64_t a = must_enqueue(*early, "from early");
    const uint64_t b = must_enqueue(*late, "from late");
    EXPECT_NE(a, b);
    EXPECT_EQ(ok_value(early->available()), 3u);
    EXPECT_EQ(ok_value(late->available()), 3u);
    expect_fresh_open_agrees(tmp.path(), *early);
  }
}

// The case: a process that opened the queue before the lock file was
// deleted, and one that opened it after, enqueue at the same time. Every
// enqueue must get its own seq and survive.
TEST(EngineLockFile, ProcessesOnEitherSideOfADeletionLoseNoEnqueue) {
  constexpr int kEach = 300;
  TempDir tmp;
  auto early = open_queue(tmp.path());
  ASSERT_TRUE(early);
  must_enqueue(*early, "seed");
  ASSERT_TRUE(fs::remove(tmp.file(".proc_lock")));
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(ready[0]);
    auto opened = Queue::open(tmp.path(), make_settings(1000000));
    const char c = 'r';
    if (!opened.ok() || write(ready[1], &c, 1) != 1) _exit(1);
    for (int i = 0; i < kEach; ++i) {
      const Bytes body = bytes_of(numbered("late-", static_cast<uint64_t>(i)));
      if (!(*opened)->enqueue(span_of(body)).ok()) _exit(2);
    }
    _exit(0);
  }
  close(ready[1]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  for (int i = 0; i < kEach; ++i) must_enqueue(*early, numbered("early-", static_cast<uint64_t>(i)));
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  auto fresh = open_queue(tmp.path());
  ASSERT_TRUE(fresh);
  const Snapshot all = snapshot(*fresh);
  std::set<std::string> bodies;
  for (const auto& [seq, m] : all) bodies.insert(to_string(m.body));
  EXPECT_EQ(all.size(), 2u * kEach + 1);
  EXPECT_EQ(bodies.size(), 2u * kEach + 1);
  EXPECT_TRUE(bodies.contains("late-" + std::to_string(kEach - 1)));
  EXPECT_TRUE(bodies.contains("early-" + std::to_string(kEach - 1)));
  EXPECT_TRUE(parse_log(read_file(tmp.file("queue.log"))).clean);
}

}  // namespace
}  // namespace tarnwick::testing
