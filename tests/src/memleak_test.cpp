#define MEMLEAK_SOURCE "memleak_test"
#include <cstdint>

// Defined before the allocator's header: this constructor may run before any
// registry keeper of the program, so the allocator has to stand up on its own.
void* zmalloc(uint32_t size, const char* file, int line);
void zfree(void* ptr, const char* file, int line);
uint64_t MemLeakCount();

namespace {

struct EarlyAllocation {
  bool worked = false;  // zero-filled, counted, and released again
  EarlyAllocation() {
    const uint64_t before = MemLeakCount();
    unsigned char* p = static_cast<unsigned char*>(zmalloc(64, "early.cpp", 1));
    worked = p != nullptr && p[63] == 0 && MemLeakCount() == before + 1;
    zfree(p, "early.cpp", 2);
    worked = worked && MemLeakCount() == before;
  }
} early_allocation;

}  // namespace

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "memleak.h"
#include "test_support.h"

using testsupport::Stdout;
using testsupport::WaitFor;

// The huge-request case must see null instead of a sanitizer abort.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

// Defined after the header: holds a block from before main until exit.
struct StaticHolder {
  char* text = zstrdup("held across main");
  ~StaticHolder() { zfree(text); }
} static_holder;

// What damage to one guard of a block prints.
std::string Damaged(const char* side, const char* op, const char* guard, const char* function,
                    uint32_t size, const void* block, const char* where) {
  char text[512];
  snprintf(text, sizeof(text),
           "MemLeak : Level 2 Message : Warning! Pointer has been corrupted (%s, %s, %s)! : "
           "File : free.cpp:9\n"
           "MemLeak : Level 2 Message : ^ Last FFL -> %s, size: %u, ptr: %p : File : %s\n",
           side, op, guard, function, size, block, where);
  return text;
}

TEST(MemLeak, DamagedGuardsAndUnknownPointersAreReported) {
  char* p = static_cast<char*>((zmalloc)(8, "alloc.cpp", 7));
  ASSERT_NE(p, nullptr);
  p[-1] = '!';
  p[8] = '?';
  const void* old = p - 16;
  EXPECT_EQ(Stdout([&] { p = static_cast<char*>((zrealloc)(p, 16, "free.cpp", 9)); }),
            Damaged("pre", "zrealloc", "TESSAWKS", "zmalloc", 8, old, "alloc.cpp:7") +
                Damaged("post", "zrealloc", "?ESSAWKS", "zmalloc", 8, old, "alloc.cpp:7"));
  ASSERT_NE(p, nullptr);
  p[16] = 'X';  // the resize made both guards whole again; only this shows
  const void* block = p - 16;
  EXPECT_EQ(Stdout([&] { (zfree)(p, "free.cpp", 9); }),
            Damaged("post", "zfree", "XESSAWKS", "zrealloc", 16, block, "free.cpp:9") +
                "00000000h: 54 45 53 53 41 57 4B 53 5F 4D 45 4D 4C 45 41 4B  ; TESSAWKS_MEMLEAK\n"
                "00000010h: 00 00 00 00 00 00 00 00 3F 45 53 53 41 57 4B 53  ; ........?ESSAWKS\n"
                "00000020h: 58 45 53 53 41 57 4B 53 5F 4D 45 4D 4C 45 41 4B  ; XESSAWKS_MEMLEAK\n");

  const uint64_t count = MemLeakCount();
  char* plain = static_cast<char*>(pmalloc(8));
  ASSERT_NE(plain, nullptr);
  strcpy(plain, "intact");
  void* resized = plain;
  EXPECT_EQ(Stdout([&] {
              (zfree)(plain, "free.cpp", 1);
              resized = (zrealloc)(plain, 32, "grow.cpp", 3);
            }),
            "MemLeak : Level 1 Message : Warning! Attempted to zfree() non-registered pointer! : "
            "File : free.cpp:1\n"
            "MemLeak : Level 2 Message : Warning! Attempted to zrealloc() an unregistered ptr! : "
            "File : grow.cpp:3\n");
  EXPECT_EQ(resized, nullptr);
  EXPECT_STREQ(plain, "intact");
  EXPECT_EQ(MemLeakCount(), count);
  pfree(plain);
}

// Sizes near the 32-bit limit must not wrap when the guards are added: with
// the address space capped below the request it is refused, registers
// nothing, and leaves a block being resized as it was.
TEST(MemLeak, HugeRequestsDoNotWrap) {
  const uint64_t count = MemLeakCount();
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  rlimit capped = saved;
  capped.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (512u << 20);
  if (pages <= 0 || (saved.rlim_cur != RLIM_INFINITY && saved.rlim_cur < capped.rlim_cur)) {
    GTEST_SKIP() << "address space unknown or already capped";
  }
  char* small = zstrdup("keep this");
  ASSERT_NE(small, nullptr);
  ASSERT_EQ(setrlimit(RLIMIT_AS, &capped), 0);
  void* refused = (zmalloc)(UINT32_MAX - 8, "big.cpp", 2);
  void* resized = (zrealloc)(small, UINT32_MAX - 8, "big.cpp", 3);
  setrlimit(RLIMIT_AS, &saved);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(resized, nullptr);
  EXPECT_EQ(MemLeakCount(), count + 1);
  EXPECT_EQ(MemLeakLookup(small, false)->size, 10u);
  EXPECT_STREQ(small, "keep this");
  EXPECT_EQ(Stdout([&] { zfree(small); }), "");  // its guards are whole
}

TEST(MemLeak, ReportListsLiveBlocksInAddressOrderUntilFreedOrTaken) {
  zfree(static_holder.text);  // the registry is empty for a moment
  EXPECT_EQ(Stdout([] { MemLeakExit(nullptr); }),
            "MemLeakExit() -> No Unfreed Ptrs Found (That is good)\n");
  char* a = static_cast<char*>((zmalloc)(20, "one/two/first.cpp", 11));
  char* b = static_cast<char*>((zmalloc)(2, "one/two/first.cpp", 22));
  ASSERT_TRUE(a && b);
  memcpy(a, "0123456789ABCDEF\x01z\x80 ", 20);
  memcpy(b, "\n~", 2);
  char text[2][512];
  snprintf(text[0], sizeof(text[0]),
           "Unfreed Ptr: 0x%p (len: 20), zmalloc, first.cpp, line 11\n"
           "00000000h: 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46  ; 0123456789ABCDEF\n"
           "00000010h: 01 7A 80 20                                      ; .z.             \n",
           static_cast<void*>(a));
  snprintf(text[1], sizeof(text[1]),
           "Unfreed Ptr: 0x%p (len: 2), zmalloc, first.cpp, line 22\n"
           "00000000h: 0A 7E                                            ; .~              \n",
           static_cast<void*>(b));
  const std::string path = "/tmp/memleak_test." + std::to_string(getpid());
  MemLeakExitToFile(path.c_str());
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
            "MemLeakExit() -> Beginning report of unfreed ptrs...\n" +
                std::string(text[a < b ? 0 : 1]) + text[a < b ? 1 : 0] +
                "MemLeakExit() -> End of report...\n");
  remove(path.c_str());
  EXPECT_EQ(Stdout([&] { MemLeakExitToFile("/nonexistent/report.txt"); }),
            "Error opening /nonexistent/report.txt for output!!!\n");
  const uint64_t count = MemLeakCount();
  EXPECT_EQ(Stdout([] { MemLeakFreeAll("one/two/first.cpp", 11); }), "");
  EXPECT_EQ(MemLeakLookup(a, false), nullptr);
  MemLeakRecord* rec = MemLeakLookup(b, true);  // now the caller's
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(MemLeakLookup(b, false), nullptr);
  EXPECT_EQ(MemLeakCount(), count - 2);
  pfree(rec->block);
  pfree(rec);
  static_holder.text = zstrdup("held across main");
}

// One row of tracked allocations, made with the n-th failing (0: none):
// exactly that one gives null, a failed resize leaves the old block as it
// was, and the others hold what they should.
TEST(MemLeak, FailureHookFailsExactlyTheNthAllocation) {
  EXPECT_TRUE(early_allocation.worked);
  EXPECT_NE(MemLeakLookup(static_holder.text, false), nullptr);
  for (uint64_t failing = 0; failing <= 5; ++failing) {
    const uint64_t count = MemLeakCount(), total = MemLeakTotalSize();
    char* grown = zstrdup("kept");  // made before the hook is set
    EXPECT_EQ(MemLeakFailAt(failing), 0u);
    void* made[] = {zmalloc(8), zrealloc(grown, 64), zstrdup("dup"), zmprintf("%s-%d", "x", 7),
                    zwcsdup(L"wide")};
    for (uint64_t i = 0; i < 5; ++i) {
      EXPECT_EQ(made[i] == nullptr, i + 1 == failing)
          << "allocation " << i + 1 << " of " << failing;
    }
    EXPECT_EQ(MemLeakFailAt(0), 0u) << "fired";
    if (made[1] != nullptr) grown = static_cast<char*>(made[1]);
    EXPECT_STREQ(grown, "kept");
    if (failing == 0) {
      EXPECT_EQ(memcmp(made[0], "\0\0\0\0\0\0\0\0", 8), 0);
      EXPECT_STREQ(static_cast<char*>(made[2]), "dup");
      EXPECT_STREQ(static_cast<char*>(made[3]), "x-7");
      EXPECT_STREQ(static_cast<wchar_t*>(made[4]), L"wide");
      EXPECT_EQ(MemLeakTotalSize(), total + 8 + 64 + 4 + 4 + 5 * sizeof(wchar_t));
    }
    for (void* block : {made[0], made[2], made[3], made[4], static_cast<void*>(grown)}) {
      if (block != nullptr) zfree(block);
    }
    EXPECT_EQ(MemLeakCount(), count);
    EXPECT_EQ(MemLeakTotalSize(), total);
  }
  // A setting beyond the allocations made is reported as still to go; an
  // allocation of size 0, or a resize to it, does not count.
  const uint64_t count = MemLeakCount();
  MemLeakFailAt(5);
  EXPECT_EQ((zmalloc)(0, "zero.cpp", 1), nullptr);
  EXPECT_EQ(zrealloc(zmalloc(4), 0), nullptr);
  EXPECT_EQ(MemLeakFailAt(0), 4u);
  EXPECT_EQ(MemLeakCount(), count);
}

// Stands in for standard output: counts the writes made while `held` is set
// and runs `first` at the first write.
struct Printer {
  std::function<void()> first;
  std::atomic<bool> started{false}, held{false};
  std::atomic<int> whileHeld{0};
};

ssize_t Print(void* cookie, const char*, size_t size) {
  Printer* printer = static_cast<Printer*>(cookie);
  printer->whileHeld += printer->held ? 1 : 0;
  if (!printer->started.exchange(true)) printer->first();
  return static_cast<ssize_t>(size);
}

// The leak report holds the registry lock while it is stuck on a full pipe.
// Meanwhile no allocation, free or resize in another thread may touch the
// registry: a resize that took its block out before must wait to put it
// back, and a free or resize of a damaged block prints nothing yet (it would
// once the block is out). The first resize stops to print, block taken out,
// and starts the report then.
TEST(MemLeak, OperationsWaitForTheRegistryLock) {
  char* big = static_cast<char*>(zmalloc(16384));  // its report overfills a pipe
  char* damaged[3];
  for (char*& block : damaged) {
    block = static_cast<char*>(zmalloc(8));
    block[8] = '!';
  }
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  void* made = nullptr;
  std::atomic<int> done{0};
  std::atomic<pid_t> tids[4] = {};
  std::vector<std::thread> threads;
  std::thread report;
  Printer printer;
  printer.first = [&] {
    report = std::thread([&] {
      FILE* out = fdopen(fds[1], "w");
      MemLeakExit(out);
      fclose(out);
    });
    int queued = 0;  // the report has begun, so it holds the lock until drained
    printer.held = WaitFor([&] { return ioctl(fds[0], FIONREAD, &queued) == 0 && queued > 0; });
  };
  const std::function<void()> ops[] = {
      [&] { damaged[0] = static_cast<char*>(zrealloc(damaged[0], 16)); },
      [&] { made = zmalloc(8); }, [&] { zfree(damaged[1]); },
      [&] { damaged[2] = static_cast<char*>(zrealloc(damaged[2], 16)); }};
  FILE* saved = stdout;
  stdout = fopencookie(&printer, "w", {nullptr, Print, nullptr, nullptr});
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      tids[i] = gettid();
      ops[i]();
      ++done;
    });
    const bool first = i == 0;  // waits, while the report starts, for the report
    WaitFor([&] { return !first || printer.held || done > 0; });
    WaitFor([&] { return done > 0 || (tids[i] && testsupport::ThreadAsleep(tids[i])); });
  }
  const bool held = printer.held;
  const int doneWhileHeld = done, printedWhileHeld = printer.whileHeld;
  printer.held = false;
  if (!printer.started.exchange(true)) close(fds[1]);  // no report to wait for
  char buffer[4096];
  while (read(fds[0], buffer, sizeof(buffer)) > 0) continue;
  for (std::thread& thread : threads) thread.join();
  if (report.joinable()) report.join();
  fclose(stdout);
  stdout = saved;
  close(fds[0]);
  EXPECT_TRUE(held);
  EXPECT_EQ(doneWhileHeld, 0);
  EXPECT_EQ(printedWhileHeld, 0);
  for (void* block : {static_cast<void*>(big), made, static_cast<void*>(damaged[0]),
                      static_cast<void*>(damaged[2])}) {
    zfree(block);
  }
}

// Threads allocating, resizing and freeing at once count against one
// failure hook, set beyond their allocations: it sees every one of them
// once, and the registry is as it was afterwards.
TEST(MemLeak, ThreadsShareTheFailureHook) {
  constexpr int kThreads = 4, kEach = 20000;
  constexpr uint64_t kFar = uint64_t{1} << 40;
  const uint64_t count = MemLeakCount(), total = MemLeakTotalSize();
  MemLeakFailAt(kFar);
  std::atomic<int> waiting{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (--waiting; waiting > 0;) std::this_thread::yield();  // start together
      for (uint32_t i = 0; i < kEach; ++i) zfree(zrealloc(zmalloc(1 + i % 61), 64));
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(MemLeakFailAt(0), kFar - 2 * kThreads * kEach);
  EXPECT_EQ(MemLeakCount(), count);
  EXPECT_EQ(MemLeakTotalSize(), total);
}

}  // namespace
