// The write stage alone, through a pipe whose writes a signal cuts short;
// the other stages are judged through PackUnpacker on the table of packs.
#include "pack_stages.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "pack_test_util.h"

namespace {

const int kShortWriteSignal = SIGUSR1;
void IgnoreSignal(int) {}

// Waits, a bounded number of looks, until the thread `tid` has started and
// its /proc entry `file` holds `text`; false if it never did.
bool WaitForThread(const std::atomic<pid_t>& tid, const char* file, const std::string& text) {
  for (int look = 0; look < 1000000; ++look) {
    std::string path = "/proc/self/task/" + std::to_string(tid) + "/" + file;
    if (tid != 0 && enginetest::ReadFile(path).find(text) != std::string::npos) return true;
    sched_yield();
  }
  return false;
}

}  // namespace

TEST(WriteStage, WritesEverythingThroughShortAndInterruptedWrites) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  // The pipe is filled first, so that the writer's first call blocks before
  // it has written anything.
  ASSERT_EQ(fcntl(fds[1], F_SETPIPE_SZ, 4096), 4096);
  const std::string filler(4096, 'f');
  ASSERT_EQ(write(fds[1], filler.data(), filler.size()), 4096);
  // Without SA_RESTART a signal makes a blocked write return early: with
  // EINTR when nothing went through yet, short when some bytes did.
  struct sigaction action = {}, old;
  action.sa_handler = IgnoreSignal;
  ASSERT_EQ(sigaction(kShortWriteSignal, &action, &old), 0);
  const std::string data = packtest::Random(1 << 20);
  WriteStage stage;
  stage.Begin(fds[1]);
  bool ok = false;
  std::atomic<pid_t> writerTid{0};
  std::thread writer([&] {
    writerTid = static_cast<pid_t>(syscall(SYS_gettid));
    ok = stage.Write(data.data(), data.size());
    close(fds[1]);
  });
  // Blocked in its write with nothing written, the writer is interrupted;
  // the pipe is read only once the signal was taken.
  if (WaitForThread(writerTid, "syscall", std::to_string(SYS_write) + " 0x")) {
    pthread_kill(writer.native_handle(), kShortWriteSignal);
    WaitForThread(writerTid, "status", "SigPnd:\t0000000000000000");
  }
  std::string got;
  char buffer[4096];
  ssize_t count;
  // Ends when the writer closes its end, which it does in every case.
  while ((count = read(fds[0], buffer, sizeof(buffer))) > 0) {
    got.append(buffer, count);
    pthread_kill(writer.native_handle(), kShortWriteSignal);
  }
  writer.join();
  close(fds[0]);
  sigaction(kShortWriteSignal, &old, nullptr);
  EXPECT_TRUE(ok) << strerror(stage.error());
  EXPECT_TRUE(got == filler + data) << got.size() << " of " << filler.size() + data.size();
  EXPECT_EQ(stage.written(), data.size());
}
