#define MEMLEAK_SOURCE "memleak_test"
#include <cstdint>
#include <cstring>

// A static object defined before the allocator's header is included: its
// constructor may run before any registry keeper of the program, so the
// allocator has to stand up on its own.
void* zmalloc(uint32_t size, const char* file, int line);
void zfree(void* ptr, const char* file, int line);
uint64_t MemLeakCount();

namespace {

struct EarlyAllocation {
  bool allocated = false;
  bool zeroFilled = false;
  bool counted = false;
  bool released = false;
  EarlyAllocation() {
    uint64_t before = MemLeakCount();
    unsigned char* p = static_cast<unsigned char*>(zmalloc(64, "early.cpp", 1));
    allocated = p != nullptr;
    if (!allocated) return;
    zeroFilled = p[0] == 0 && p[63] == 0;
    counted = MemLeakCount() == before + 1;
    memcpy(p, "made before main", 17);
    zfree(p, "early.cpp", 2);
    released = MemLeakCount() == before;
  }
};
EarlyAllocation early_allocation;

}  // namespace

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "GenLib.h"
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

std::string Format(const char* format, const void* ptr) {
  char text[512];
  snprintf(text, sizeof(text), format, ptr);
  return text;
}

std::string Captured() {
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

const char kGuardRow[] =
    "00000000h: 54 45 53 53 41 57 4B 53 5F 4D 45 4D 4C 45 41 4B  ; TESSAWKS_MEMLEAK\n";

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
  EXPECT_TRUE(early_allocation.allocated);
  EXPECT_TRUE(early_allocation.zeroFilled);
  EXPECT_TRUE(early_allocation.counted);
  EXPECT_TRUE(early_allocation.released);
  ASSERT_NE(static_holder.text, nullptr);
  EXPECT_STREQ(static_holder.text, "held across main");
  EXPECT_NE(MemLeakLookup(static_holder.text, false), nullptr);
}

TEST(MemLeak, BlocksAreZeroFilledAndCounted) {
  uint64_t count = MemLeakCount();
  uint64_t total = MemLeakTotalSize();
  EXPECT_EQ((zmalloc)(0, "zero.cpp", 1), nullptr);
  EXPECT_EQ(MemLeakCount(), count);

  unsigned char* p = static_cast<unsigned char*>((zmalloc)(100, "dir/alloc.cpp", 12));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::count(p, p + 100, 0), 100);
  EXPECT_EQ(memcmp(p - 16, "TESSAWKS_MEMLEAK", 16), 0);
  EXPECT_EQ(memcmp(p + 100, "TESSAWKS_MEMLEAK", 16), 0);
  EXPECT_EQ(MemLeakCount(), count + 1);
  EXPECT_EQ(MemLeakTotalSize(), total + 100);
  MemLeakRecord* rec = MemLeakLookup(p, false);
  ASSERT_NE(rec, nullptr);
  EXPECT_STREQ(rec->function, "zmalloc");
  EXPECT_STREQ(rec->file, "dir/alloc.cpp");
  EXPECT_EQ(rec->line, 12u);
  EXPECT_EQ(rec->size, 100u);
  EXPECT_EQ(rec->block, p - 16);

  testing::internal::CaptureStdout();
  zfree(p);
  EXPECT_EQ(Captured(), "");
  EXPECT_EQ(MemLeakCount(), count);
  EXPECT_EQ(MemLeakTotalSize(), total);
  EXPECT_EQ(MemLeakLookup(p, false), nullptr);
}

TEST(MemLeak, CopiesAndFormattedText) {
  uint64_t count = MemLeakCount();
  char* s = zstrdup("hello");
  wchar_t* w = zwcsdup(L"wide");
  char* f = zmprintf("%s-%d", "x", 42);
  ASSERT_TRUE(s && w && f);
  EXPECT_STREQ(s, "hello");
  EXPECT_EQ(MemLeakLookup(s, false)->size, 6u);
  EXPECT_STREQ(w, L"wide");
  EXPECT_EQ(MemLeakLookup(w, false)->size, 5 * sizeof(wchar_t));
  EXPECT_STREQ(f, "x-42");
  EXPECT_STREQ(MemLeakLookup(f, false)->file, "memleak");
  EXPECT_EQ(zstrdup(nullptr), nullptr);
  EXPECT_EQ(MemLeakCount(), count + 3);
  zfree(s);
  zfree(w);
  zfree(f);
  EXPECT_EQ(MemLeakCount(), count);
}

TEST(MemLeak, CorruptedGuardsAreReportedOnFree) {
  char* p = static_cast<char*>((zmalloc)(8, "alloc.cpp", 7));
  ASSERT_NE(p, nullptr);
  p[8] = 'X';
  testing::internal::CaptureStdout();
  (zfree)(p, "free.cpp", 9);
  std::string expected =
      "MemLeak : Level 2 Message : Warning! Pointer has been corrupted (post, zfree, XESSAWKS)! "
      ": File : free.cpp:9\n" +
      Format(
          "MemLeak : Level 2 Message : ^ Last FFL -> zmalloc, size: 8, ptr: %p : File : "
          "alloc.cpp:7\n",
          p - 16) +
      kGuardRow +
      "00000010h: 00 00 00 00 00 00 00 00 58 45 53 53 41 57 4B 53  ; ........XESSAWKS\n"
      "00000020h: 5F 4D 45 4D 4C 45 41 4B                          ; _MEMLEAK        \n";
  EXPECT_EQ(Captured(), expected);

  p = static_cast<char*>((zmalloc)(4, "alloc.cpp", 8));
  ASSERT_NE(p, nullptr);
  p[-16] = 'Z';
  p[-1] = 'Y';
  testing::internal::CaptureStdout();
  (zfree)(p, "free.cpp", 10);
  expected =
      "MemLeak : Level 2 Message : Warning! Pointer has been corrupted (pre, zfree, ZESSAWKS)! "
      ": File : free.cpp:10\n" +
      Format(
          "MemLeak : Level 2 Message : ^ Last FFL -> zmalloc, size: 4, ptr: %p : File : "
          "alloc.cpp:8\n",
          p - 16) +
      "00000000h: 5A 45 53 53 41 57 4B 53 5F 4D 45 4D 4C 45 41 59  ; ZESSAWKS_MEMLEAY\n"
      "00000010h: 00 00 00 00 54 45 53 53 41 57 4B 53 5F 4D 45 4D  ; ....TESSAWKS_MEM\n"
      "00000020h: 4C 45 41 4B                                      ; LEAK            \n";
  EXPECT_EQ(Captured(), expected);
}

TEST(MemLeak, CorruptedGuardsAreReportedOnResize) {
  uint64_t count = MemLeakCount();
  char* p = static_cast<char*>((zmalloc)(8, "alloc.cpp", 3));
  ASSERT_NE(p, nullptr);
  p[-1] = '!';
  p[8] = '?';
  testing::internal::CaptureStdout();
  char* q = static_cast<char*>((zrealloc)(p, 16, "grow.cpp", 4));
  std::string ffl = Format(
      "MemLeak : Level 2 Message : ^ Last FFL -> zmalloc, size: 8, ptr: %p : File : alloc.cpp:3\n",
      p - 16);
  std::string expected =
      "MemLeak : Level 2 Message : Warning! Pointer has been corrupted (pre, zrealloc, TESSAWKS)! "
      ": File : grow.cpp:4\n" +
      ffl +
      "MemLeak : Level 2 Message : Warning! Pointer has been corrupted (post, zrealloc, ?ESSAWKS)! "
      ": File : grow.cpp:4\n" +
      ffl;
  EXPECT_EQ(Captured(), expected);
  ASSERT_NE(q, nullptr);
  // The guards are whole again: freeing reports nothing.
  testing::internal::CaptureStdout();
  zfree(q);
  EXPECT_EQ(Captured(), "");
  EXPECT_EQ(MemLeakCount(), count);
}

TEST(MemLeak, UnregisteredPointersAreLeftAlone) {
  uint64_t count = MemLeakCount();
  char* plain = static_cast<char*>(pmalloc(8));
  ASSERT_NE(plain, nullptr);
  strlcpy(plain, "intact", 8);
  testing::internal::CaptureStdout();
  (zfree)(plain, "free.cpp", 1);
  (zfree)(nullptr, "free.cpp", 2);
  void* resized = (zrealloc)(plain, 32, "grow.cpp", 3);
  EXPECT_EQ(Captured(),
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

TEST(MemLeak, ResizeKeepsContentAndCount) {
  uint64_t count = MemLeakCount();
  uint64_t total = MemLeakTotalSize();
  char* p = static_cast<char*>((zmalloc)(10, "alloc.cpp", 1));
  ASSERT_NE(p, nullptr);
  memcpy(p, "0123456789", 10);
  char* q = static_cast<char*>((zrealloc)(p, 100, "src/resize.cpp", 77));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(memcmp(q, "0123456789", 10), 0);
  EXPECT_EQ(memcmp(q + 100, "TESSAWKS_MEMLEAK", 16), 0);
  EXPECT_EQ(MemLeakCount(), count + 1);
  EXPECT_EQ(MemLeakTotalSize(), total + 100);
  MemLeakRecord* rec = MemLeakLookup(q, false);
  ASSERT_NE(rec, nullptr);
  EXPECT_STREQ(rec->function, "zrealloc");
  EXPECT_STREQ(rec->file, "src/resize.cpp");
  EXPECT_EQ(rec->line, 77u);

  testing::internal::CaptureStdout();
  MemLeakExit(stdout);
  std::string report = Captured();
  std::string line = Format("Unfreed Ptr: 0x%p (len: 100), zrealloc, resize.cpp, line 77\n", q);
  EXPECT_NE(report.find(line), std::string::npos) << report;

  q = static_cast<char*>((zrealloc)(q, 4, "shrink.cpp", 5));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(memcmp(q, "0123", 4), 0);
  EXPECT_EQ(MemLeakTotalSize(), total + 4);
  EXPECT_EQ((zrealloc)(q, 0, "gone.cpp", 6), nullptr);
  EXPECT_EQ(MemLeakCount(), count);
  EXPECT_EQ(MemLeakTotalSize(), total);

  char* fresh = static_cast<char*>((zrealloc)(nullptr, 5, "new.cpp", 8));
  ASSERT_NE(fresh, nullptr);
  EXPECT_STREQ(MemLeakLookup(fresh, false)->function, "zmalloc");
  zfree(fresh);
}

// Sizes near the 32-bit limit must not wrap when the guards are added. With
// the address space capped below the request it must be refused, and the
// refusal must register nothing and leave a block being resized as it was (a
// wrapped size would instead yield a tiny block and a guard written past it).
TEST(MemLeak, HugeRequestsDoNotWrap) {
  const uint32_t huge = UINT32_MAX - 8;
  uint64_t count = MemLeakCount();
  uint64_t total = MemLeakTotalSize();
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
  long pages = 0;
  FILE* statm = fopen("/proc/self/statm", "r");
  ASSERT_NE(statm, nullptr);
  ASSERT_EQ(fscanf(statm, "%ld", &pages), 1);
  fclose(statm);
  struct rlimit capped = saved;
  capped.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (512u << 20);
  if (saved.rlim_cur != RLIM_INFINITY && saved.rlim_cur < capped.rlim_cur) {
    GTEST_SKIP() << "address space already capped";
  }
  char* small = static_cast<char*>((zmalloc)(10, "small.cpp", 1));
  ASSERT_NE(small, nullptr);
  memcpy(small, "keep this", 10);
  ASSERT_EQ(setrlimit(RLIMIT_AS, &capped), 0);
  void* refused = (zmalloc)(huge, "big.cpp", 2);
  void* resized = (zrealloc)(small, huge, "big.cpp", 3);
  setrlimit(RLIMIT_AS, &saved);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(resized, nullptr);
  EXPECT_EQ(MemLeakCount(), count + 1);
  EXPECT_EQ(MemLeakTotalSize(), total + 10);
  MemLeakRecord* rec = MemLeakLookup(small, false);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->size, 10u);
  EXPECT_STREQ(rec->function, "zmalloc");
  EXPECT_STREQ(small, "keep this");
  testing::internal::CaptureStdout();
  zfree(small);
  EXPECT_EQ(Captured(), "");
}

TEST(MemLeak, HexDumpPadsShortLastRow) {
  const unsigned char data[20] = {'0', '1', '2', '3', '4', '5', '6',  '7', '8',  '9',
                                  'A', 'B', 'C', 'D', 'E', 'F', 0x01, 'z', 0x80, ' '};
  testing::internal::CaptureStdout();
  MemLeakHexDump(stdout, data, sizeof(data));
  EXPECT_EQ(Captured(),
            "00000000h: 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46  ; 0123456789ABCDEF\n"
            "00000010h: 01 7A 80 20                                      ; .z.             \n");
}

TEST_F(EmptyRegistry, ReportListsLiveBlocksInAddressOrder) {
  testing::internal::CaptureStdout();
  MemLeakExit(stdout);
  EXPECT_EQ(Captured(), "MemLeakExit() -> No Unfreed Ptrs Found (That is good)\n");

  char* a = static_cast<char*>((zmalloc)(4, "one/two/first.cpp", 11));
  char* b = static_cast<char*>((zmalloc)(2, "C:\\src\\second.cpp", 22));
  ASSERT_TRUE(a && b);
  memcpy(a, "abcd", 4);
  memcpy(b, "\n~", 2);
  std::string first =
      Format("Unfreed Ptr: 0x%p (len: 4), zmalloc, first.cpp, line 11\n", a) +
      "00000000h: 61 62 63 64                                      ; abcd            \n";
  std::string second =
      Format("Unfreed Ptr: 0x%p (len: 2), zmalloc, second.cpp, line 22\n", b) +
      "00000000h: 0A 7E                                            ; .~              \n";
  std::string expected = "MemLeakExit() -> Beginning report of unfreed ptrs...\n" +
                         (std::less<char*>()(a, b) ? first + second : second + first) +
                         "MemLeakExit() -> End of report...\n";

  char dir[] = "/tmp/memleak_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/report.txt";
  MemLeakExitToFile(path.c_str());
  std::string written;
  if (FILE* in = fopen(path.c_str(), "rb")) {
    char buffer[4096];
    size_t n = fread(buffer, 1, sizeof(buffer), in);
    written.assign(buffer, n);
    fclose(in);
  }
  EXPECT_EQ(written, expected);
  remove(path.c_str());
  rmdir(dir);

  testing::internal::CaptureStdout();
  MemLeakExitToFile(path.c_str());
  EXPECT_EQ(Captured(), "Error opening " + path + " for output!!!\n");
  zfree(a);
  zfree(b);
}

TEST(MemLeak, LookupRemoveAndFreeAll) {
  uint64_t count = MemLeakCount();
  uint64_t total = MemLeakTotalSize();
  void* kept = (zmalloc)(8, "keep.cpp", 1);
  ASSERT_NE(kept, nullptr);
  MemLeakRecord* rec = MemLeakLookup(kept, true);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->block, static_cast<char*>(kept) - 16);
  EXPECT_EQ(MemLeakLookup(kept, false), nullptr);
  EXPECT_EQ(MemLeakCount(), count);
  EXPECT_EQ(MemLeakTotalSize(), total);
  pfree(rec->block);
  pfree(rec);

  for (int i = 0; i < 3; i++) ASSERT_NE((zmalloc)(16, "bulk.cpp", 5), nullptr);
  void* other = (zmalloc)(16, "bulk.cpp", 6);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(MemLeakCount(), count + 4);
  testing::internal::CaptureStdout();
  MemLeakFreeAll("bulk.cpp", 5);
  EXPECT_EQ(Captured(), "");
  EXPECT_EQ(MemLeakCount(), count + 1);
  EXPECT_NE(MemLeakLookup(other, false), nullptr);
  zfree(other);
}
