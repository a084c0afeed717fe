// PackUnpacker on the table of good and bad packs, fed in pieces of several
// sizes into an in-memory file, judged by zlib's one-shot uncompress and by
// OpenSSL's digests of the pack and of the file.
#include "pack_unpacker.h"

#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "pack_test_util.h"

using enginetest::Digest;
using enginetest::ReadFile;

namespace {

class PackUnpackerTest : public ::testing::Test {
 protected:
  // Unpacks `c` into a file in memory, feeding every byte of the pack in
  // pieces of `piece` bytes whatever Feed answers, and returns the outcome.
  packtest::Outcome Unpack(const packtest::PackCase& c, size_t piece, DigestKind kind) {
    int fd = memfd_create("unpacked", MFD_CLOEXEC);
    EXPECT_GE(fd, 0);
    unpacker.Begin(c.key.c_str(), c.size, kind, fd);
    for (size_t at = 0; at < c.pack.size(); at += piece) {
      unpacker.Feed(c.pack.data() + at, std::min(piece, c.pack.size() - at));
    }
    bool ok = unpacker.Finish();
    EXPECT_EQ(ok, unpacker.failure() == UnpackFailure::kNone);
    std::string content = ok ? ReadFile("/proc/self/fd/" + std::to_string(fd)) : "";
    close(fd);
    return {unpacker.ZlibResult(), content};
  }

  PackUnpacker unpacker;  // one for every case: Begin must start afresh
};

}  // namespace

TEST_F(PackUnpackerTest, MatchesOneShotUnpackingAndDigestsEveryPack) {
  int row = 0;
  for (const packtest::PackCase& c : packtest::PackCases()) {
    packtest::Outcome want = packtest::OneShot(c.pack, c.key, c.size);
    bool md5 = ++row % 2 == 0;
    const char* name = md5 ? "md5" : "sha256";
    for (size_t piece : {size_t(7), size_t(4099), c.pack.size() + 1}) {
      if (piece == 7 && c.pack.size() > 2000) continue;
      packtest::Outcome got = Unpack(c, piece, md5 ? DigestKind::kMd5 : DigestKind::kSha256);
      std::string where =
          c.name + ", size " + std::to_string(c.size) + ", pieces of " + std::to_string(piece);
      EXPECT_EQ(got.code, want.code) << where;
      EXPECT_TRUE(got.content == want.content) << where;
      EXPECT_LE(unpacker.written(), c.size) << where;
      EXPECT_EQ(unpacker.PackDigest(), Digest(name, c.pack)) << where;
      std::string fileDigest = want.code == Z_OK ? Digest(name, want.content) : "";
      EXPECT_EQ(unpacker.FileDigest(), fileDigest) << where;
      std::string error =
          want.code == Z_OK ? "" : "Error uncompressing data (" + std::to_string(want.code) + ")";
      EXPECT_EQ(unpacker.ErrorText(), error) << where;
    }
  }
}
