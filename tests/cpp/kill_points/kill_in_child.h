// Runs a step in a forked child armed at a kill point, and SIGKILLs the
// child once it stands there: what the crash leaves is then the parent's to
// check.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "log_io/kill_point.h"

namespace tarnwick::testing {

// `prepare()` runs in the child before the point is armed (opening, taking),
// `step()` after; the child exits 2 when prepare() returns false, 3 when the
// step ends without reaching the point. Fails when the child never reaches
// it within a minute.
template <typename Prepare, typename Step>
void kill_in_child_at(KillPoint point, Prepare prepare, Step step) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(fds[0]);
    if (!prepare()) ::_exit(2);
    ::setenv("TARNWICK_KILL_FD", std::to_string(fds[1]).c_str(), 1);
    ::setenv("TARNWICK_KILL_AT", std::string(kill_point_name(point)).c_str(), 1);
    step();
    ::_exit(3);  // not reached: the point stops it
  }
  ::close(fds[1]);
  struct pollfd wait_for{fds[0], POLLIN, 0};
  const bool reached = ::poll(&wait_for, 1, 60'000) == 1;
  char said[64] = {};
  const bool told = reached && ::read(fds[0], said, sizeof said - 1) > 0;
  ::close(fds[0]);
  ::kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(told) << "the child never reached " << kill_point_name(point)
                    << " (exit status " << status << ")";
  EXPECT_EQ(std::string(said), std::string(kill_point_name(point)) + "\n");
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
}

}  // namespace tarnwick::testing
