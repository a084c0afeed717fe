// The write stage alone, through a pipe whose writes a signal cuts short.
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

#include "engine_test_util.h"

namespace {

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
  // A full pipe: the writer's first call blocks before it writes anything.
  ASSERT_EQ(fcntl(fds[1], F_SETPIPE_SZ, 4096), 4096);
  const std::string filler(4096, 'f');
  ASSERT_EQ(write(fds[1], filler.data(), filler.size()), 4096);
  // Without SA_RESTART a signal cuts a blocked write short, or makes it fail
  // with EINTR when nothing went through yet.
  struct sigaction action = {}, old;
  action.sa_handler = IgnoreSignal;
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7919 >> 8);
  WriteStage stage;
  stage.Begin(fds[1]);
  bool ok = false;
  std::atomic<pid_t> writerTid{0};
  std::thread writer([&] {
    writerTid = static_cast<pid_t>(syscall(SYS_gettid));
    ok = stage.Write(data.data(), data.size());
    close(fds[1]);
  });
  // The pipe is read only once the blocked writer took its signal.
  if (WaitForThread(writerTid, "syscall", std::to_string(SYS_write) + " 0x")) {
    pthread_kill(writer.native_handle(), SIGUSR1);
    WaitForThread(writerTid, "status", "SigPnd:\t0000000000000000");
  }
  std::string got;
  char buffer[4096];
  ssize_t count;
  while ((count = read(fds[0], buffer, sizeof(buffer))) > 0) {
    got.append(buffer, count);
    pthread_kill(writer.native_handle(), SIGUSR1);
  }
  writer.join();
  close(fds[0]);
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_TRUE(ok) << strerror(stage.error());
  EXPECT_TRUE(got == filler + data) << got.size() << " of " << filler.size() + data.size();
  EXPECT_EQ(stage.written(), data.size());
}
