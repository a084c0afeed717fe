#define MEMLEAK_SOURCE "memleak_test"
#include <cstdint>

// Made before this file's allocator header: the allocator stands up on its own.
void* zmalloc(uint32_t size, const char* file, int line);
static void* early_block = zmalloc(64, "early.cpp", 1);

#include <gtest/gtest.h>
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

namespace {

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
  p[16] = 'X';  // the resize made both guards whole again; only this shows
  const void* block = p - 16;
  EXPECT_EQ(Stdout([&] { (zfree)(p, "free.cpp", 9); }),
            Damaged("post", "zfree", "XESSAWKS", "zrealloc", 16, block, "free.cpp:9") +
                "00000000h: 54 45 53 53 41 57 4B 53 5F 4D 45 4D 4C 45 41 4B  ; TESSAWKS_MEMLEAK\n"
                "00000010h: 00 00 00 00 00 00 00 00 3F 45 53 53 41 57 4B 53  ; ........?ESSAWKS\n"
                "00000020h: 58 45 53 53 41 57 4B 53 5F 4D 45 4D 4C 45 41 4B  ; XESSAWKS_MEMLEAK\n");

  char* plain = pstrdup("intact");
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
  pfree(plain);
}

TEST(MemLeak, ReportListsLiveBlocksInAddressOrder) {
  EXPECT_TRUE(early_block == nullptr || MemLeakLookup(early_block, false));  // made before main
  if (early_block != nullptr) zfree(std::exchange(early_block, nullptr));
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
  zfree(a);
  zfree(b);
}

// One row of tracked allocations, made with the n-th failing (0: none): exactly
// that one gives null; a failed resize leaves the old block as it was.
TEST(MemLeak, FailureHookFailsExactlyTheNthAllocation) {
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
  MemLeakFailAt(5);
  EXPECT_EQ((zmalloc)(0, "zero.cpp", 1), nullptr);
  EXPECT_EQ(zrealloc(zmalloc(4), 0), nullptr);
  EXPECT_EQ(MemLeakFailAt(0), 4u);
}

// A stream that runs `first` at its first write and counts the others.
struct Writes {
  std::function<void()> first;
  std::atomic<int> more{0};
};

ssize_t RunFirst(void* cookie, const char*, size_t size) {
  Writes* writes = static_cast<Writes*>(cookie);
  writes->more += writes->first ? 0 : 1;
  if (writes->first) std::exchange(writes->first, nullptr)();
  return static_cast<ssize_t>(size);
}

const cookie_io_functions_t kRunFirst = {nullptr, RunFirst, nullptr, nullptr};

// While the leak report holds the registry lock (here, stopped at its first
// write), no allocation, free or resize in another thread may finish, and a
// free or resize of a damaged block prints nothing yet: a resize waits both to
// take its block out and to put it back. The first resize stops at its damage
// warning, block taken out, and starts the report.
TEST(MemLeak, OperationsWaitForTheRegistryLock) {
  char* damaged[3];
  for (char*& block : damaged) {
    block = static_cast<char*>(zmalloc(8));
    block[8] = '!';
  }
  std::atomic<bool> reporting{false}, held{false}, release{false};
  std::atomic<int> done{0};
  Writes stop{[&] {
    reporting = true;
    WaitFor([&] { return release.load(); });
  }};
  FILE* report = fopencookie(&stop, "w", kRunFirst);
  std::thread reporter;
  Writes start{[&] {  // in the first resize's thread
    reporter = std::thread([&] { MemLeakExit(report); });
    held = WaitFor([&] { return reporting.load(); });
  }};
  void* made = nullptr;
  const std::function<void()> ops[] = {
      [&] { damaged[0] = static_cast<char*>(zrealloc(damaged[0], 16)); },
      [&] { made = zmalloc(8); }, [&] { zfree(damaged[1]); },
      [&] { damaged[2] = static_cast<char*>(zrealloc(damaged[2], 16)); }};
  FILE* saved = stdout;
  stdout = fopencookie(&start, "w", kRunFirst);
  std::vector<std::thread> threads;
  std::atomic<pid_t> tids[4] = {};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      tids[i] = gettid();
      ops[i]();
      ++done;
    });
    WaitFor([&] { return held || done > 0; });
    WaitFor([&] { return done > 0 || (tids[i] && testsupport::ThreadAsleep(tids[i])); });
  }
  const bool wasHeld = held;
  const int doneWhileHeld = done, printedWhileHeld = start.more;
  release = true;
  for (std::thread& thread : threads) thread.join();
  if (reporter.joinable()) reporter.join();
  fclose(report);
  fclose(stdout);
  stdout = saved;
  EXPECT_TRUE(wasHeld);
  EXPECT_EQ(doneWhileHeld, 0);
  EXPECT_EQ(printedWhileHeld, 0);
  for (void* block : {made, static_cast<void*>(damaged[0]), static_cast<void*>(damaged[2])}) {
    zfree(block);
  }
}

}  // namespace
