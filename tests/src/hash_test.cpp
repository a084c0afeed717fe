#include "hash.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "streams.h"

namespace {

// Hex digest of `text` by MD5 (md5_buffer) or by name (hash_buffer).
std::string Hex(const char* name, const std::string& text) {
  char hex[65] = {};
  if (strcmp(name, "md5") == 0) {
    EXPECT_TRUE(md5_buffer(text.data(), static_cast<uint32_t>(text.size()), hex));
  } else {
    EXPECT_TRUE(hash_buffer(name, text.data(), text.size(), hex, sizeof(hex)));
  }
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

TEST(Hash, PublishedVectorsInLowerCase) {
  const std::string digits = "1234567890";
  const struct {
    const char* name;
    std::string input;
    const char* want;
  } cases[] = {
      {"md5", "", "d41d8cd98f00b204e9800998ecf8427e"},  // RFC 1321
      {"md5", "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"md5", "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"md5", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"md5", digits + digits + digits + digits + digits + digits + digits + digits,
       "57edf4a22be3c955ac49da2e2107b67a"},
      {"md5", std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
      {"sha256", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"sha256", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const auto& c : cases) EXPECT_EQ(Hex(c.name, c.input), c.want) << c.name << " " << c.input;
}

// Every padding case, with the data given in two pieces of every size.
TEST(Hash, Md5InPiecesMatchesOpenSsl) {
  const std::string data = Pattern(200);
  for (uint32_t length = 0; length <= 200; ++length) {
    char want[65], hex[33];
    ASSERT_TRUE(hash_buffer("md5", data.data(), length, want, sizeof(want)));
    for (uint32_t first : {length, length / 2, length % 64, std::min(length, 63u)}) {
      Md5Context ctx;
      md5_init(&ctx);
      md5_update(&ctx, data.data(), first);
      md5_update(&ctx, data.data() + first, length - first);
      uint8_t raw[16];
      md5_final(&ctx, raw);
      ASSERT_EQ(hash_to_hex(raw, 16, hex), std::string(want)) << length << " " << first;
    }
  }
}

TEST(Hash, UnknownNamesAndSmallBuffersFailUntouched) {
  char hex[65];
  memset(hex, 'x', sizeof(hex));
  EXPECT_FALSE(hash_buffer("no-such-digest", "abc", 3, hex, sizeof(hex)));
  EXPECT_FALSE(hash_buffer("sha256", "abc", 3, hex, 64));
  EXPECT_EQ(std::string(hex, sizeof(hex)), std::string(65, 'x'));
  EXPECT_TRUE(hash_buffer("md5", "abc", 3, hex, 33));
  EXPECT_STREQ(hex, "900150983cd24fb0d6963f7d28e17f72");
  char shared[9] = {'\x12', '\x34', '\xfe', '\xdc', 'x'};  // the bytes sit where the text goes
  EXPECT_STREQ(hash_to_hex(shared, 4, shared), "1234fedc");
}

TEST(Hash, FilesHandlesAndStreamsReadInPieces) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("hash_test." + std::to_string(getpid()));
  std::filesystem::create_directory(dir);
  const std::string path = dir / "pattern.bin", missing = dir / "missing";
  const std::string data = Pattern(5 * 32768 + 1234);
  std::ofstream(path, std::ios::binary) << data;
  FILE* file = fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  fseek(file, 100, SEEK_SET);  // a handle is read from its start
  for (const char* name : {"md5", "sha256"}) {
    SCOPED_TRACE(name);
    const bool md5 = strcmp(name, "md5") == 0;
    char hex[65];
    EXPECT_TRUE(md5 ? md5_file(path.c_str(), hex) : hash_file(name, path.c_str(), hex, 65));
    EXPECT_EQ(hex, Hex(name, data));
    EXPECT_TRUE(md5 ? md5_handle(file, hex) : hash_handle(name, file, hex, sizeof(hex)));
    EXPECT_EQ(hex, Hex(name, data));
    memset(hex, 'x', sizeof(hex));  // failures leave the output alone
    EXPECT_FALSE(md5 ? md5_file(missing.c_str(), hex) : hash_file(name, missing.c_str(), hex, 65));
    EXPECT_EQ(std::string(hex, sizeof(hex)), std::string(65, 'x'));

    // A short read gives false and the digest of the pieces before it.
    DataStream* stream = stream_from_memory(const_cast<char*>(data.data()), 3 * 32768 + 500);
    ASSERT_NE(stream, nullptr);
    stream->read = ShortThirdRead;
    EXPECT_FALSE(md5 ? md5_stream(stream, hex) : hash_stream(name, stream, hex, sizeof(hex)));
    EXPECT_EQ(hex, Hex(name, data.substr(0, 2 * 32768)));
    stream->close(stream);
  }
  EXPECT_EQ(fseek(file, 0, SEEK_SET), 0);  // the handle stays open
  fclose(file);

  // A pipe cannot seek, so its length is unknown: that is no empty input.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[1]);
  file = fdopen(fds[0], "rb");
  ASSERT_NE(file, nullptr);
  char hex[65];
  EXPECT_FALSE(md5_handle(file, hex));
  EXPECT_FALSE(hash_handle("sha256", file, hex, sizeof(hex)));
  fclose(file);
  std::filesystem::remove_all(dir);
}
