#include "hash.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Hex digest of `text` by OpenSSL.
std::string Hex(const char* name, const std::string& text) {
  char hex[65] = {};
  EXPECT_TRUE(hash_buffer(name, text.data(), text.size(), hex, sizeof(hex)));
  return hex;
}

}  // namespace

// Published vectors (RFC 1321, FIPS 180-2), failing where the text would not fit;
// then MD5 at every padding case, given in two pieces, against OpenSSL's.
TEST(Hash, PublishedVectorsAndOpenSsl) {
  const struct {
    const char* name;
    std::string input;
    size_t size;  // of the text
    const char* want;
  } cases[] = {
      {"md5", "", 33, "d41d8cd98f00b204e9800998ecf8427e"},
      {"md5", "abc", 33, "900150983cd24fb0d6963f7d28e17f72"},
      {"md5", std::string(1000000, 'a'), 33, "7707d6ae4e027c70eea2a935c2296f21"},
      {"sha256", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 65,
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"sha256", "abc", 64, "<failed>"},
      {"no-such-digest", "abc", 65, "<failed>"},
  };
  for (const auto& c : cases) {
    char hex[65] = {};
    const bool made = strcmp(c.name, "md5") == 0
                          ? md5_buffer(c.input.data(), static_cast<uint32_t>(c.input.size()), hex)
                          : hash_buffer(c.name, c.input.data(), c.input.size(), hex, c.size);
    EXPECT_STREQ(made ? hex : hex[0] == '\0' ? "<failed>" : "<touched>", c.want) << c.name;
  }
  std::string data(200, '\0');  // bytes that differ, so a misplaced piece shows
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131);
  for (uint32_t length = 0; length <= 200; ++length) {
    for (uint32_t first : {length / 2, length % 64}) {
      Md5Context ctx;
      md5_init(&ctx);
      md5_update(&ctx, data.data(), first);
      md5_update(&ctx, data.data() + first, length - first);
      uint8_t raw[16];
      md5_final(&ctx, raw);
      char hex[33];
      ASSERT_EQ(hash_to_hex(raw, 16, hex), Hex("MD5", data.substr(0, length))) << length;
    }
  }
}

// A handle is read whole from its start; a pipe (length unknown) gives none.
TEST(Hash, HandlesAreReadWholeOrNotAtAll) {
  FILE* file = tmpfile();
  std::string data(3 * 32768 + 1234, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 9));
  ASSERT_EQ(fwrite(data.data(), 1, data.size(), file), data.size());
  char hex[65];
  EXPECT_TRUE(md5_handle(file, hex));
  EXPECT_EQ(hex, Hex("MD5", data));
  EXPECT_TRUE(hash_handle("sha256", file, hex, sizeof(hex)));
  EXPECT_EQ(hex, Hex("sha256", data));
  fclose(file);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[1]);
  file = fdopen(fds[0], "rb");
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(md5_handle(file, hex));
  EXPECT_FALSE(hash_handle("sha256", file, hex, sizeof(hex)));
  fclose(file);
}
