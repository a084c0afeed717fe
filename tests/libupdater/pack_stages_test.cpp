// Each pack stage alone: deciphering against OpenSSL's RC4, inflating against
// zlib's one-shot uncompress, digests against published vectors, writing
// through a pipe whose writes signals cut short.
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

// Runs `data` through `stage` in pieces of `piece` bytes, in place.
std::string ApplyInPieces(DecipherStage* stage, std::string data, size_t piece) {
  for (size_t at = 0; at < data.size(); at += piece) {
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&data[at]);
    stage->Apply(bytes, bytes, std::min(piece, data.size() - at));
  }
  return data;
}

// Inflates `stream` handing it over `piece` bytes and taking at most
// `capacity` bytes of output at a time, as a pipeline would.
packtest::Outcome InflateInPieces(const std::string& stream, uint32_t size, size_t piece,
                                  size_t capacity) {
  InflateStage stage;
  std::string out, buffer(capacity, '\0');
  if (stage.Begin(size) != Z_OK) return {stage.result(), ""};
  for (size_t at = 0; at <= stream.size() && !stage.ended(); at += piece) {
    size_t length = std::min(piece, stream.size() - at);
    stage.SetInput(reinterpret_cast<const uint8_t*>(stream.data()) + at, length);
    InflateState state;
    do {  // each round takes output, bounded by `size`
      size_t made = 0;
      state = stage.Run(reinterpret_cast<uint8_t*>(&buffer[0]), capacity, &made);
      out.append(buffer, 0, made);
    } while (state == InflateState::kOutputFull);
    EXPECT_LE(out.size(), size) << "output beyond the bound";
    if (state == InflateState::kFailed) break;
  }
  int code = stage.Finish();
  return {code, code == Z_OK ? out : ""};
}

const int kShortWriteSignal = SIGUSR1;
void IgnoreSignal(int) {}

// Writes into the pipe until it is full and returns what was written.
std::string FillPipe(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::string written, piece(4096, 'f');
  ssize_t count;
  // A pipe holds a bounded number of bytes; EAGAIN ends the loop.
  while ((count = write(fd, piece.data(), piece.size())) > 0) written.append(piece, 0, count);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return written;
}

// Waits, for a bounded number of looks, until the thread `tid` has started
// and sleeps (in a blocked write: it does nothing else). False if it never
// did; the test then only loses its interrupted-write case.
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

TEST(DecipherStage, MatchesOpenSslRc4WithThePaddedKeyInAnyPieces) {
  const std::string data = packtest::Random(10000);
  for (const std::string key : {"0123456789abcdef", "abc", "0123456789abcdefIGNORED", ""}) {
    std::string want = packtest::OpenSslRc4(data, key.substr(0, 16));
    for (size_t piece : {1, 7, 8, 9, 4097, 10000}) {
      DecipherStage stage;
      stage.Begin(key.c_str());
      EXPECT_EQ(stage.enciphered(), !key.empty());
      EXPECT_TRUE(ApplyInPieces(&stage, data, piece) == want) << key << " in " << piece;
    }
  }
}

TEST(InflateStage, GivesUncompressResultsForEveryPackInAnyPieces) {
  for (const packtest::PackCase& c : packtest::PackCases()) {
    std::string stream = packtest::OpenSslRc4(c.pack, c.key);
    packtest::Outcome want = packtest::OneShot(c.pack, c.key, c.size);
    EXPECT_TRUE(InflateInPieces(stream, c.size, 1 << 16, 1 << 16) == want) << c.name;
    if (stream.size() < 2000) {
      packtest::Outcome got = InflateInPieces(stream, c.size, 3, 5);
      EXPECT_EQ(got.code, want.code) << c.name << " size " << c.size;
      EXPECT_TRUE(got.content == want.content) << c.name << " size " << c.size;
    }
  }
}

TEST(DigestStage, GivesPublishedDigestsInAnyPieces) {
  const std::string million(1000000, 'a');
  struct {
    DigestKind kind;
    std::string input;
    const char* want;
  } cases[] = {
      {DigestKind::kMd5, "", "d41d8cd98f00b204e9800998ecf8427e"},
      {DigestKind::kMd5, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {DigestKind::kMd5, million, "7707d6ae4e027c70eea2a935c2296f21"},
      {DigestKind::kSha256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {DigestKind::kSha256, "abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {DigestKind::kSha256, million,
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {DigestKind::kNone, "abc", ""},
  };
  DigestStage stage;  // one stage for all: Begin must start afresh
  for (const auto& c : cases) {
    for (size_t piece : {size_t(1), size_t(999), c.input.size() + 1}) {
      if (piece == 1 && c.input.size() > 1000) continue;
      ASSERT_TRUE(stage.Begin(c.kind));
      for (size_t at = 0; at < c.input.size(); at += piece) {
        stage.Add(c.input.data() + at, std::min(piece, c.input.size() - at));
      }
      EXPECT_STREQ(stage.Finish(), c.want) << c.input.substr(0, 20) << " in " << piece;
      EXPECT_STREQ(stage.Finish(), c.want) << "a second Finish keeps the text";
    }
  }
  struct {
    int version;
    DigestKind want;
  } kinds[] = {{0, DigestKind::kMd5},
               {1, DigestKind::kMd5},
               {2, DigestKind::kSha256},
               {3, DigestKind::kSha256}};
  for (const auto& k : kinds) EXPECT_EQ(DigestKindFor(k.version), k.want) << k.version;
}

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

TEST(WriteStage, ReportsTheFailureOfTheDescriptor) {
  struct {
    int fd;
    int want;
  } cases[] = {{open("/dev/full", O_WRONLY | O_CLOEXEC), ENOSPC}, {-1, EBADF}};
  for (const auto& c : cases) {
    WriteStage stage;
    stage.Begin(c.fd);
    EXPECT_FALSE(stage.Write("data", 4));
    EXPECT_EQ(stage.error(), c.want) << strerror(stage.error());
    if (c.fd >= 0) close(c.fd);
  }
}
