#define MEMLEAK_SOURCE "memleak_test"
#include <cstdint>

// A static object defined before the allocator's header is included: its
// constructor may run before any registry keeper of the program, so the
// allocator has to stand up on its own.
void* zmalloc(uint32_t size, const char* file, int line);
void zfree(void* ptr, const char* file, int line);
uint64_t MemLeakCount();

namespace {

struct EarlyAllocation {
  bool worked = false;  // zero-filled, counted, and released again
  EarlyAllocation() {
    const uint64_t before = MemLeakCount();
    unsigned char* p = static_cast<unsigned char*>(zmalloc(64, "early.cpp", 1));
    if (p == nullptr) return;
    worked = p[0] == 0 && p[63] == 0 && MemLeakCount() == before + 1;
    zfree(p, "early.cpp", 2);
    worked = worked && MemLeakCount() == before;
  }
};
EarlyAllocation early_allocation;

}  // namespace

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "memleak.h"

// The huge-request case must see null instead of a sanitizer abort.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

// A static object after the header keeps a block from before main to exit.
struct StaticHolder {
  char* text;
  StaticHolder() : text(zstrdup("held across main")) {}
  ~StaticHolder() { zfree(text); }
};
StaticHolder static_holder;

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[512];
  snprintf(text, sizeof(text), format, args...);
  return text;
}

// The warning for a damaged guard found by `function`, and the line naming
// where the block of `user` was last allocated.
std::string Damaged(const char* side, const char* function, const char* guard, const char* where) {
  return Format(
      "MemLeak : Level 2 Message : Warning! Pointer has been corrupted (%s, %s, %s)! : File : %s\n",
      side, function, guard, where);
}

std::string LastFfl(int size, const char* user, const char* where) {
  return Format(
      "MemLeak : Level 2 Message : ^ Last FFL -> zmalloc, size: %d, ptr: %p : File : %s\n", size,
      static_cast<const void*>(user - 16), where);
}

// Everything written to stdout while `body` runs.
template <typename Body>
std::string Output(Body body) {
  fflush(stdout);
  testing::internal::CaptureStdout();
  body();
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// Takes the holder's block out of the registry for a test that needs an
// empty one, and puts an equal one back afterwards.
class EmptyRegistry : public testing::Test {
 protected:
  void SetUp() override {
    zfree(static_holder.text);
    static_holder.text = nullptr;
  }
  void TearDown() override { static_holder.text = zstrdup("held across main"); }
};

}  // namespace

TEST(MemLeak, StaticConstructorsMayAllocate) {
  EXPECT_TRUE(early_allocation.worked);
  ASSERT_NE(static_holder.text, nullptr);
  EXPECT_STREQ(static_holder.text, "held across main");
  EXPECT_NE(MemLeakLookup(static_holder.text, false), nullptr);
}

TEST(MemLeak, AllocateCopyResizeAndFree) {
  const uint64_t count = MemLeakCount();
  const uint64_t total = MemLeakTotalSize();
  EXPECT_EQ((zmalloc)(0, "zero.cpp", 1), nullptr);
  char* p = static_cast<char*>((zmalloc)(10, "alloc.cpp", 1));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::count(p, p + 10, 0), 10);
  memcpy(p, "0123456789", 10);
  // The guards follow every resize: nothing is reported on the way.
  EXPECT_EQ(Output([&] {
              p = static_cast<char*>((zrealloc)(p, 100, "src/resize.cpp", 77));
              ASSERT_NE(p, nullptr);
              EXPECT_EQ(memcmp(p, "0123456789", 10), 0);
              EXPECT_EQ(MemLeakCount(), count + 1);
              EXPECT_EQ(MemLeakTotalSize(), total + 100);
              EXPECT_STREQ(MemLeakLookup(p, false)->function, "zrealloc");
              p = static_cast<char*>((zrealloc)(p, 4, "shrink.cpp", 5));
              ASSERT_NE(p, nullptr);
              EXPECT_EQ(memcmp(p, "0123", 4), 0);
              EXPECT_EQ(MemLeakTotalSize(), total + 4);
              EXPECT_EQ((zrealloc)(p, 0, "gone.cpp", 6), nullptr);
            }),
            "");
  EXPECT_EQ(MemLeakCount(), count);
  EXPECT_EQ(MemLeakTotalSize(), total);

  char* s = zstrdup("hello");
  wchar_t* w = zwcsdup(L"wide");
  char* f = zmprintf("%s-%d", "x", 42);
  char* fresh = static_cast<char*>((zrealloc)(nullptr, 5, "new.cpp", 8));
  ASSERT_TRUE(s && w && f && fresh);
  EXPECT_STREQ(s, "hello");
  EXPECT_STREQ(w, L"wide");
  EXPECT_STREQ(f, "x-42");
  EXPECT_EQ(MemLeakTotalSize(), total + 6 + 5 * sizeof(wchar_t) + 5 + 5);
  zfree(s);
  zfree(w);
  zfree(f);
  zfree(fresh);
  EXPECT_EQ(MemLeakCount(), count);
}

TEST(MemLeak, CorruptedGuardsAreReported) {
  char* p = static_cast<char*>((zmalloc)(8, "alloc.cpp", 7));
  ASSERT_NE(p, nullptr);
  p[8] = 'X';
  EXPECT_EQ(Output([&] { (zfree)(p, "free.cpp", 9); }),
            Damaged("post", "zfree", "XESSAWKS", "free.cpp:9") + LastFfl(8, p, "alloc.cpp:7") +
                "00000000h: 54 45 53 53 41 57 4B 53 5F 4D 45 4D 4C 45 41 4B  ; TESSAWKS_MEMLEAK\n"
                "00000010h: 00 00 00 00 00 00 00 00 58 45 53 53 41 57 4B 53  ; ........XESSAWKS\n"
                "00000020h: 5F 4D 45 4D 4C 45 41 4B                          ; _MEMLEAK        \n");

  p = static_cast<char*>((zmalloc)(4, "alloc.cpp", 8));
  ASSERT_NE(p, nullptr);
  p[-16] = 'Z';
  p[-1] = 'Y';
  EXPECT_EQ(Output([&] { (zfree)(p, "free.cpp", 10); }),
            Damaged("pre", "zfree", "ZESSAWKS", "free.cpp:10") + LastFfl(4, p, "alloc.cpp:8") +
                "00000000h: 5A 45 53 53 41 57 4B 53 5F 4D 45 4D 4C 45 41 59  ; ZESSAWKS_MEMLEAY\n"
                "00000010h: 00 00 00 00 54 45 53 53 41 57 4B 53 5F 4D 45 4D  ; ....TESSAWKS_MEM\n"
                "00000020h: 4C 45 41 4B                                      ; LEAK            \n");

  // A resize reports both guards, then leaves them whole.
  p = static_cast<char*>((zmalloc)(8, "alloc.cpp", 3));
  ASSERT_NE(p, nullptr);
  p[-1] = '!';
  p[8] = '?';
  char* q = nullptr;
  EXPECT_EQ(Output([&] { q = static_cast<char*>((zrealloc)(p, 16, "grow.cpp", 4)); }),
            Damaged("pre", "zrealloc", "TESSAWKS", "grow.cpp:4") + LastFfl(8, p, "alloc.cpp:3") +
                Damaged("post", "zrealloc", "?ESSAWKS", "grow.cpp:4") +
                LastFfl(8, p, "alloc.cpp:3"));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(Output([&] { zfree(q); }), "");
}

TEST(MemLeak, UnregisteredPointersAreLeftAlone) {
  const uint64_t count = MemLeakCount();
  char* plain = static_cast<char*>(pmalloc(8));
  ASSERT_NE(plain, nullptr);
  strcpy(plain, "intact");
  void* resized = plain;
  EXPECT_EQ(Output([&] {
              (zfree)(plain, "free.cpp", 1);
              (zfree)(nullptr, "free.cpp", 2);
              resized = (zrealloc)(plain, 32, "grow.cpp", 3);
            }),
            "MemLeak : Level 1 Message : Warning! Attempted to zfree() non-registered pointer! : "
            "File : free.cpp:1\n"
            "MemLeak : Level 1 Message : Warning! Attempted to zfree() non-registered pointer! : "
            "File : free.cpp:2\n"
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
  const uint64_t total = MemLeakTotalSize();
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  ASSERT_GT(pages, 0);
  rlimit capped = saved;
  capped.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (512u << 20);
  if (saved.rlim_cur != RLIM_INFINITY && saved.rlim_cur < capped.rlim_cur) {
    GTEST_SKIP() << "address space already capped";
  }
  char* small = static_cast<char*>((zmalloc)(10, "small.cpp", 1));
  ASSERT_NE(small, nullptr);
  strcpy(small, "keep this");
  ASSERT_EQ(setrlimit(RLIMIT_AS, &capped), 0);
  void* refused = (zmalloc)(UINT32_MAX - 8, "big.cpp", 2);
  void* resized = (zrealloc)(small, UINT32_MAX - 8, "big.cpp", 3);
  setrlimit(RLIMIT_AS, &saved);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(resized, nullptr);
  EXPECT_EQ(MemLeakCount(), count + 1);
  EXPECT_EQ(MemLeakTotalSize(), total + 10);
  EXPECT_STREQ(small, "keep this");
  EXPECT_EQ(Output([&] { zfree(small); }), "");  // its guards are whole
}

TEST(MemLeak, HexDumpPadsShortLastRow) {
  const unsigned char data[20] = {'0', '1', '2', '3', '4', '5', '6',  '7', '8',  '9',
                                  'A', 'B', 'C', 'D', 'E', 'F', 0x01, 'z', 0x80, ' '};
  EXPECT_EQ(Output([&] { MemLeakHexDump(stdout, data, sizeof(data)); }),
            "00000000h: 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46  ; 0123456789ABCDEF\n"
            "00000010h: 01 7A 80 20                                      ; .z.             \n");
}

TEST_F(EmptyRegistry, ReportListsLiveBlocksInAddressOrder) {
  EXPECT_EQ(Output([] { MemLeakExit(stdout); }),
            "MemLeakExit() -> No Unfreed Ptrs Found (That is good)\n");
  char* a = static_cast<char*>((zmalloc)(4, "one/two/first.cpp", 11));
  char* b = static_cast<char*>((zmalloc)(2, "C:\\src\\second.cpp", 22));
  ASSERT_TRUE(a && b);
  memcpy(a, "abcd", 4);
  memcpy(b, "\n~", 2);
  const std::string first =
      Format("Unfreed Ptr: 0x%p (len: 4), zmalloc, first.cpp, line 11\n", static_cast<void*>(a)) +
      "00000000h: 61 62 63 64                                      ; abcd            \n";
  const std::string second =
      Format("Unfreed Ptr: 0x%p (len: 2), zmalloc, second.cpp, line 22\n", static_cast<void*>(b)) +
      "00000000h: 0A 7E                                            ; .~              \n";
  char dir[] = "/tmp/memleak_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/report.txt";
  MemLeakExitToFile(path.c_str());
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
            "MemLeakExit() -> Beginning report of unfreed ptrs...\n" +
                (std::less<char*>()(a, b) ? first + second : second + first) +
                "MemLeakExit() -> End of report...\n");
  remove(path.c_str());
  rmdir(dir);
  EXPECT_EQ(Output([&] { MemLeakExitToFile(path.c_str()); }),
            "Error opening " + path + " for output!!!\n");
  zfree(a);
  zfree(b);
}

TEST(MemLeak, LookupRemoveAndFreeAll) {
  const uint64_t count = MemLeakCount();
  void* kept = (zmalloc)(8, "keep.cpp", 1);
  MemLeakRecord* rec = MemLeakLookup(kept, true);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(MemLeakLookup(kept, false), nullptr);
  pfree(rec->block);
  pfree(rec);
  for (int i = 0; i < 3; i++) ASSERT_NE((zmalloc)(16, "bulk.cpp", 5), nullptr);
  void* other = (zmalloc)(16, "bulk.cpp", 6);
  EXPECT_EQ(Output([] { MemLeakFreeAll("bulk.cpp", 5); }), "");
  EXPECT_EQ(MemLeakCount(), count + 1);
  zfree(other);
  EXPECT_EQ(MemLeakCount(), count);
}

TEST(MemLeak, FailureHookFailsExactlyTheNthAllocation) {
  // Each step is one kind of tracked allocation; the n-th of them fails.
  enum Kind { kMalloc, kGrow, kDup, kFormat };
  const Kind steps[] = {kMalloc, kGrow, kDup, kFormat, kMalloc};
  const size_t n = sizeof(steps) / sizeof(steps[0]);
  for (size_t failing = 1; failing <= n; ++failing) {
    const uint64_t count = MemLeakCount();
    char* grown = zstrdup("kept");  // made before the hook is set
    EXPECT_EQ(MemLeakFailAt(failing), 0u);
    for (size_t i = 0; i < n; ++i) {
      void* made = nullptr;
      switch (steps[i]) {
        case kMalloc:
          made = zmalloc(8);
          break;
        case kDup:
          made = zstrdup("dup");
          break;
        case kFormat:
          made = zmprintf("%d", 7);
          break;
        case kGrow: {
          made = zrealloc(grown, 64);
          if (made != nullptr) grown = static_cast<char*>(made);
          break;
        }
      }
      // A failed resize leaves the old block as it was.
      EXPECT_EQ(made == nullptr, i + 1 == failing) << "allocation " << i + 1 << " of " << failing;
      if (made != nullptr && steps[i] != kGrow) zfree(made);
    }
    EXPECT_STREQ(grown, "kept");
    zfree(grown);
    EXPECT_EQ(MemLeakFailAt(0), 0u) << "fired";
    EXPECT_EQ(MemLeakCount(), count);
  }
  // A setting beyond the allocations made is reported as still to go, and
  // an allocation of size 0 does not count.
  MemLeakFailAt(5);
  EXPECT_EQ(zmalloc(0), nullptr);
  void* p = zmalloc(4);
  EXPECT_NE(p, nullptr);
  zfree(p);
  EXPECT_EQ(MemLeakFailAt(0), 4u);
}

TEST(MemLeak, FailureHookCountsAcrossThreads) {
  constexpr int kThreads = 4, kEach = 2000;
  // Set beyond the allocations made: not one is lost or counted twice; set
  // within them: exactly one fails.
  const uint64_t settings[] = {kThreads * kEach + 1, kThreads * kEach / 2};
  for (uint64_t setting : settings) {
    MemLeakFailAt(setting);
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&failed] {
        for (int i = 0; i < kEach; ++i) {
          void* p = zmalloc(16);
          if (p == nullptr) {
            ++failed;
          } else {
            zfree(p);
          }
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    bool within = setting <= kThreads * kEach;
    EXPECT_EQ(failed.load(), within ? 1 : 0);
    EXPECT_EQ(MemLeakFailAt(0), within ? 0u : 1u);
  }
}
