// Small helpers shared by tests: what a piece of code writes to standard
// output or standard error, and a bounded wait for a condition. For the test
// thread only; the capture is process-wide while it lasts.
#ifndef UPDATER_TESTS_TEST_SUPPORT_H_
#define UPDATER_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdio>
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

}  // namespace testsupport

#endif  // UPDATER_TESTS_TEST_SUPPORT_H_
