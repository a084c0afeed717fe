// Small helpers shared by tests: what a piece of code writes to standard
// output or standard error, a bounded wait for a condition, and whether
// another thread is asleep. For the test
// thread only; the capture is process-wide while it lasts.
#ifndef UPDATER_TESTS_TEST_SUPPORT_H_
#define UPDATER_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "locks.h"

namespace testsupport {

// Everything written to standard output while `body` runs.
template <typename Body>
std::string Stdout(Body body) {
  fflush(stdout);
  testing::internal::CaptureStdout();
  body();
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// Everything written to standard error while `body` runs.
template <typename Body>
std::string Stderr(Body body) {
  fflush(stderr);
  testing::internal::CaptureStderr();
  body();
  fflush(stderr);
  return testing::internal::GetCapturedStderr();
}

// Polls `done` every 10 ms for up to five seconds; its last answer.
template <typename Condition>
bool WaitFor(Condition done) {
  for (int i = 0; i < 500 && !done(); i++) Sleep(10);
  return done();
}

// Whether thread `tid` of this process is asleep, as one waiting for a lock
// or in a sleep is.
inline bool ThreadAsleep(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t end = line.rfind(')');  // the state follows the name
  return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
}

}  // namespace testsupport

#endif  // UPDATER_TESTS_TEST_SUPPORT_H_
