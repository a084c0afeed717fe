#include "hash.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

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
std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 131 + (i >> 9));
  return data;
}

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
  const std::string data = Pattern(300);
  const std::string whole = Md5Hex(data);
  for (uint32_t split = 0; split <= 300; ++split) {
    for (uint32_t second : {1u, 63u, 64u, 65u, 200u}) {
      const uint32_t end = std::min(split + second, 300u);
      Md5Context ctx;
      md5_init(&ctx);
      md5_update(&ctx, nullptr, 0);  // an empty update, even without data, changes nothing
      md5_update(&ctx, data.data(), split);
      md5_update(&ctx, data.data() + split, end - split);
      md5_update(&ctx, data.data() + end, 300 - end);
      uint8_t raw[16];
      md5_final(&ctx, raw);
      char hex[33];
      ASSERT_EQ(hash_to_hex(raw, 16, hex), whole) << split << "+" << second;
    }
  }
}

TEST(Sha256, Fips180Vectors) {
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(HashOutput, UnknownNamesAndSmallBuffersFailUntouched) {
  EXPECT_EQ(hash_init("no-such-digest"), nullptr);
  char hex[65];
  memset(hex, 'x', sizeof(hex));
  EXPECT_FALSE(hash_buffer("no-such-digest", "abc", 3, hex, sizeof(hex)));
  EXPECT_FALSE(hash_buffer("sha256", "abc", 3, hex, 64));
  EXPECT_EQ(std::string(hex, sizeof(hex)), std::string(65, 'x'));
  EXPECT_TRUE(hash_buffer("md5", "abc", 3, hex, 33));
  EXPECT_STREQ(hex, "900150983cd24fb0d6963f7d28e17f72");

  const uint8_t bytes[] = {0xAB, 0x01};
  memset(hex, 'x', sizeof(hex));
  EXPECT_EQ(hash_to_hex(bytes, 2, hex), hex);
  EXPECT_EQ(std::string(hex, 6), std::string("ab01\0x", 6));  // lower case, ends exactly
  char shared[9] = {'\x12', '\x34', '\xfe', '\xdc'};          // the bytes sit where the text goes
  EXPECT_STREQ(hash_to_hex(shared, 4, shared), "1234fedc");
}

TEST(HashFiles, FilesAndHandlesReadInSeveralPieces) {
  char dir[] = "/tmp/hash_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::unique_ptr<char, void (*)(char*)> removal(dir,
                                                 [](char* d) { std::filesystem::remove_all(d); });
  const std::string path = std::string(dir) + "/pattern.bin", empty = std::string(dir) + "/empty";
  const std::string data = Pattern(5 * 32768 + 1234);
  std::ofstream(path, std::ios::binary) << data;
  std::ofstream(empty, std::ios::binary).flush();
  char hex[65];
  EXPECT_TRUE(md5_file(path.c_str(), hex));
  EXPECT_EQ(hex, Md5Hex(data));
  EXPECT_TRUE(hash_file("sha256", path.c_str(), hex, sizeof(hex)));
  EXPECT_EQ(hex, Sha256Hex(data));
  EXPECT_TRUE(md5_file(empty.c_str(), hex));
  EXPECT_STREQ(hex, "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_TRUE(hash_file("sha256", empty.c_str(), hex, sizeof(hex)));
  EXPECT_STREQ(hex, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  // An open handle is read from its start and stays open.
  FILE* file = fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  fseek(file, 100, SEEK_SET);
  EXPECT_TRUE(md5_handle(file, hex));
  EXPECT_EQ(hex, Md5Hex(data));
  EXPECT_TRUE(hash_handle("sha256", file, hex, sizeof(hex)));
  EXPECT_EQ(hex, Sha256Hex(data));
  EXPECT_EQ(fseek(file, 0, SEEK_SET), 0);
  EXPECT_EQ(fgetc(file), data[0] & 0xff);
  fclose(file);

  // Failures leave the output alone.
  const std::string missing = std::string(dir) + "/missing";
  memset(hex, 'x', sizeof(hex));
  EXPECT_FALSE(md5_file(missing.c_str(), hex));
  EXPECT_FALSE(hash_file("sha256", missing.c_str(), hex, sizeof(hex)));
  EXPECT_FALSE(hash_file("sha256", path.c_str(), hex, 64));
  EXPECT_FALSE(hash_file("no-such-digest", path.c_str(), hex, sizeof(hex)));
  EXPECT_EQ(std::string(hex, sizeof(hex)), std::string(65, 'x'));
  EXPECT_FALSE(md5_handle(nullptr, hex));
  EXPECT_FALSE(hash_handle("sha256", nullptr, hex, sizeof(hex)));
}

TEST(HashStreams, ShortReadsAndUnmeasurableInputsFail) {
  // A short read gives false and the digest of the pieces before it.
  const std::string data = Pattern(3 * 32768 + 500);
  DataStream* stream = stream_from_memory(const_cast<char*>(data.data()), data.size());
  ASSERT_NE(stream, nullptr);
  stream->read = ShortThirdRead;
  char hex[65];
  EXPECT_FALSE(md5_stream(stream, hex));
  EXPECT_EQ(hex, Md5Hex(data.substr(0, 2 * 32768)));
  EXPECT_FALSE(hash_stream("sha256", stream, hex, sizeof(hex)));
  EXPECT_EQ(hex, Sha256Hex(data.substr(0, 2 * 32768)));
  stream->close(stream);

  // A pipe cannot seek, so its length is unknown: that is no empty input.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "abc", 3), 3);
  close(fds[1]);
  FILE* file = fdopen(fds[0], "rb");
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(md5_handle(file, hex));
  EXPECT_FALSE(hash_handle("sha256", file, hex, sizeof(hex)));
  fclose(file);
}
