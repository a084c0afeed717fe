#include "hash.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "streams.h"

namespace {

std::string Md5Hex(const std::string& text) {
  char hex[65] = {};
  EXPECT_TRUE(md5_buffer(text.data(), static_cast<uint32_t>(text.size()), hex));
  return hex;
}

std::string Sha256Hex(const std::string& text) {
  char hex[65] = {};
  EXPECT_TRUE(hash_buffer("sha256", text.data(), text.size(), hex, sizeof(hex)));
  return hex;
}

// Bytes that differ from block to block, so a misplaced piece shows.
std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
  return data;
}

class HashFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hash_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    for (const std::string& path : created) remove(path.c_str());
    rmdir(dir.c_str());
  }
  std::string Write(const char* name, const void* data, size_t size) {
    std::string path = dir + "/" + name;
    FILE* file = fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    EXPECT_EQ(fwrite(data, 1, size, file), size);
    fclose(file);
    created.push_back(path);
    return path;
  }
  std::string dir;
  std::vector<std::string> created;
};

// A memory stream whose third read delivers one byte less than asked.
int64_t ShortThirdRead(void* buffer, uint64_t count, DataStream* stream) {
  static int calls = 0;
  MemoryBlock* block = static_cast<MemoryBlock*>(stream->handle);
  if (block->position == 0) calls = 0;
  if (++calls == 3 && count > 0) --count;
  memcpy(buffer, block->data + block->position, count);
  block->position += static_cast<int64_t>(count);
  return static_cast<int64_t>(count);
}

}  // namespace

TEST(Md5, Rfc1321TestSuite) {
  EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Md5Hex("1234567890123456789012345678901234567890"
                   "1234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
  EXPECT_EQ(Md5Hex(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, PiecewiseUpdatesMatchOneCall) {
  std::vector<uint8_t> data = Pattern(300);
  uint8_t whole[16];
  Md5Context ctx;
  md5_init(&ctx);
  md5_update(&ctx, data.data(), static_cast<uint32_t>(data.size()));
  md5_final(&ctx, whole);
  for (uint32_t split = 0; split <= data.size(); ++split) {
    for (uint32_t second : {1u, 63u, 64u, 65u, 200u}) {
      uint32_t end = split + second < data.size() ? split + second : data.size();
      uint8_t pieces[16];
      md5_init(&ctx);
      md5_update(&ctx, data.data(), split);
      md5_update(&ctx, data.data() + split, end - split);
      md5_update(&ctx, data.data() + end, static_cast<uint32_t>(data.size()) - end);
      md5_final(&ctx, pieces);
      ASSERT_EQ(memcmp(whole, pieces, 16), 0) << "split " << split << " + " << second;
    }
  }
  // Empty updates, even without data, change nothing.
  md5_init(&ctx);
  md5_update(&ctx, nullptr, 0);
  md5_update(&ctx, data.data(), 10);
  md5_update(&ctx, nullptr, 0);
  md5_update(&ctx, data.data() + 10, static_cast<uint32_t>(data.size()) - 10);
  uint8_t again[16];
  md5_final(&ctx, again);
  EXPECT_EQ(memcmp(whole, again, 16), 0);
  // The context is cleared after use.
  Md5Context cleared;
  memset(&cleared, 0, sizeof(cleared));
  EXPECT_EQ(memcmp(&ctx, &cleared, sizeof(ctx)), 0);
}

TEST(Sha256, Fips180Vectors) {
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

  HashContext* ctx = hash_init("sha256");
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->digestSize, 32);
  EXPECT_EQ(ctx->blockSize, 64);
  EXPECT_EQ(hash_update(ctx, "ab", 2), 1);
  EXPECT_EQ(hash_update(ctx, "c", 1), 1);
  uint8_t raw[32];
  hash_final(ctx, raw, sizeof(raw));
  char hex[65];
  EXPECT_STREQ(hash_to_hex(raw, sizeof(raw), hex), Sha256Hex("abc").c_str());
}

TEST(HashNames, UnknownNameAndSmallOutputFailUntouched) {
  EXPECT_EQ(hash_init("no-such-digest"), nullptr);
  char hex[65];
  memset(hex, 'x', sizeof(hex));
  EXPECT_FALSE(hash_buffer("no-such-digest", "abc", 3, hex, sizeof(hex)));
  EXPECT_FALSE(hash_buffer("sha256", "abc", 3, hex, 64));
  EXPECT_EQ(std::string(hex, sizeof(hex)), std::string(65, 'x'));
  EXPECT_TRUE(hash_buffer("md5", "abc", 3, hex, 33));
  EXPECT_STREQ(hex, "900150983cd24fb0d6963f7d28e17f72");
}

TEST(HashToHex, LowerCaseAndOverlapping) {
  const uint8_t bytes[] = {0xAB, 0x01};
  char out[5];
  memset(out, 'x', sizeof(out));
  EXPECT_EQ(hash_to_hex(bytes, 2, out), out);
  EXPECT_EQ(std::string(out, 5), std::string("ab01\0", 5));

  // The bytes may sit where the text goes.
  char shared[9] = {'\x12', '\x34', '\xfe', '\xdc'};
  EXPECT_STREQ(hash_to_hex(shared, 4, shared), "1234fedc");
  char shifted[9] = {0, 0, 0, 0, '\x9a', '\xbc', '\xde', '\xf0'};
  EXPECT_STREQ(hash_to_hex(shifted + 4, 4, shifted), "9abcdef0");
}

TEST_F(HashFiles, FilesSpanningSeveralPiecesMatchMemory) {
  std::vector<uint8_t> data = Pattern(5 * 32768 + 1234);
  std::string path = Write("pattern.bin", data.data(), data.size());
  char fromFile[65], fromMemory[65];
  ASSERT_TRUE(md5_file(path.c_str(), fromFile));
  md5_buffer(data.data(), static_cast<uint32_t>(data.size()), fromMemory);
  EXPECT_STREQ(fromFile, fromMemory);
  ASSERT_TRUE(hash_file("sha256", path.c_str(), fromFile, sizeof(fromFile)));
  hash_buffer("sha256", data.data(), data.size(), fromMemory, sizeof(fromMemory));
  EXPECT_STREQ(fromFile, fromMemory);

  std::string million(1000000, 'a');
  path = Write("million.txt", million.data(), million.size());
  ASSERT_TRUE(md5_file(path.c_str(), fromFile));
  EXPECT_STREQ(fromFile, "7707d6ae4e027c70eea2a935c2296f21");
  ASSERT_TRUE(hash_file("sha256", path.c_str(), fromFile, sizeof(fromFile)));
  EXPECT_STREQ(fromFile, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

  // An open handle is read from its start and stays open.
  FILE* file = fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  fseek(file, 100, SEEK_SET);
  ASSERT_TRUE(md5_handle(file, fromFile));
  EXPECT_STREQ(fromFile, "7707d6ae4e027c70eea2a935c2296f21");
  ASSERT_TRUE(hash_handle("sha256", file, fromFile, sizeof(fromFile)));
  EXPECT_STREQ(fromFile, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(fseek(file, 0, SEEK_SET), 0);
  EXPECT_EQ(fgetc(file), 'a');
  fclose(file);
}

TEST_F(HashFiles, EmptyMissingAndTooSmall) {
  std::string empty = Write("empty", "", 0);
  char hex[65];
  ASSERT_TRUE(md5_file(empty.c_str(), hex));
  EXPECT_STREQ(hex, "d41d8cd98f00b204e9800998ecf8427e");
  ASSERT_TRUE(hash_file("sha256", empty.c_str(), hex, sizeof(hex)));
  EXPECT_STREQ(hex, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  std::string path = Write("abc", "abc", 3);
  std::string missing = dir + "/missing";
  memset(hex, 'x', sizeof(hex));
  EXPECT_FALSE(md5_file(missing.c_str(), hex));
  EXPECT_FALSE(hash_file("sha256", missing.c_str(), hex, sizeof(hex)));
  EXPECT_FALSE(hash_file("sha256", path.c_str(), hex, 64));
  EXPECT_FALSE(hash_file("no-such-digest", path.c_str(), hex, sizeof(hex)));
  EXPECT_EQ(std::string(hex, sizeof(hex)), std::string(65, 'x'));
  EXPECT_FALSE(md5_handle(nullptr, hex));
  EXPECT_FALSE(hash_handle("sha256", nullptr, hex, sizeof(hex)));
  EXPECT_TRUE(hash_file("sha256", path.c_str(), hex, 65));
  EXPECT_STREQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(HashStreams, ShortReadGivesFalseAndDigestOfEarlierPieces) {
  std::vector<uint8_t> data = Pattern(3 * 32768 + 500);
  char expected[65], hex[65];

  DataStream* stream = stream_from_memory(data.data(), static_cast<int64_t>(data.size()));
  ASSERT_NE(stream, nullptr);
  stream->read = ShortThirdRead;
  EXPECT_FALSE(md5_stream(stream, hex));
  md5_buffer(data.data(), 2 * 32768, expected);
  EXPECT_STREQ(hex, expected);
  EXPECT_FALSE(hash_stream("sha256", stream, hex, sizeof(hex)));
  hash_buffer("sha256", data.data(), 2 * 32768, expected, sizeof(expected));
  EXPECT_STREQ(hex, expected);
  stream->close(stream);

  // A whole memory stream reads to its very end.
  stream = stream_from_memory(data.data(), static_cast<int64_t>(data.size()));
  EXPECT_TRUE(md5_stream(stream, hex));
  md5_buffer(data.data(), static_cast<uint32_t>(data.size()), expected);
  EXPECT_STREQ(hex, expected);
  stream->close(stream);
}

TEST(HashStreams, UnmeasurableStreamFails) {
  // A pipe cannot seek, so its length is unknown: that is no empty input.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "abc", 3), 3);
  close(fds[1]);
  FILE* file = fdopen(fds[0], "rb");
  ASSERT_NE(file, nullptr);
  char hex[65];
  EXPECT_FALSE(md5_handle(file, hex));
  EXPECT_FALSE(hash_handle("sha256", file, hex, sizeof(hex)));
  fclose(file);
}
