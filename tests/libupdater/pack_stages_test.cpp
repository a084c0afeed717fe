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

// Writes into the pipe until it is full and returns what was written.
std::string FillPipe(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::string written, piece(4096, 'f');
  ssize_t count;  // a pipe holds a bounded number of bytes: EAGAIN ends the loop
  while ((count = write(fd, piece.data(), piece.size())) > 0) written.append(piece, 0, count);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return written;
}

// Waits, a bounded number of looks, until the thread `tid` sleeps (in its
// blocked write); false if it never did.
bool WaitUntilSleeping(const std::atomic<pid_t>& tid) {
  for (int look = 0; look < 1000000; ++look) {
    if (tid != 0) {
      std::string stat = enginetest::ReadFile("/proc/self/task/" + std::to_string(tid) + "/stat");
      size_t end = stat.rfind(')');
      if (end != std::string::npos && stat.compare(end, 4, ") S ") == 0) return true;
    }
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
  std::string filler = FillPipe(fds[1]);
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
  if (WaitUntilSleeping(writerTid)) pthread_kill(writer.native_handle(), kShortWriteSignal);
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
