#include "streams.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

TEST(MemoryStream, ReadsAndWritesStopAtTheEnd) {
  char data[4] = {'a', 'b', 'c', 'd'};
  DataStream* stream = stream_from_memory(data, 4);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->flush(stream), 0);
  char buffer[10] = {};
  EXPECT_EQ(stream->read(buffer, 10, stream), 4);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
  EXPECT_EQ(stream->tell(stream), 4);
  EXPECT_EQ(stream->read(buffer, 10, stream), 0);
  EXPECT_EQ(stream->write("xy", 2, stream), 0);

  EXPECT_EQ(stream->seek(stream, 2, 0), 0);
  EXPECT_EQ(stream->write("123456", 6, stream), 2);
  EXPECT_EQ(stream->tell(stream), 4);
  EXPECT_EQ(std::string(data, 4), "ab12");
  stream->close(stream);
  // The caller's block outlives the stream.
  EXPECT_EQ(std::string(data, 4), "ab12");
}

TEST(MemoryStream, SeekStaysWithinTheBlock) {
  DataStream* stream = stream_new_memory(4);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->seek(stream, -5, 0), 0);
  EXPECT_EQ(stream->tell(stream), 0);
  EXPECT_EQ(stream->seek(stream, 0, 2), 0);
  EXPECT_EQ(stream->tell(stream), 4);  // the end itself, so tell gives the size
  EXPECT_EQ(stream->seek(stream, 100, 1), 0);
  EXPECT_EQ(stream->tell(stream), 4);
  EXPECT_EQ(stream->seek(stream, -1, 1), 0);
  EXPECT_EQ(stream->tell(stream), 3);
  EXPECT_EQ(stream->seek(stream, INT64_MAX, 1), 0);
  EXPECT_EQ(stream->tell(stream), 4);
  EXPECT_EQ(stream->seek(stream, INT64_MIN, 2), 0);
  EXPECT_EQ(stream->tell(stream), 0);
  EXPECT_EQ(stream->seek(stream, 1, 7), 0);  // unknown whence leaves the position
  EXPECT_EQ(stream->tell(stream), 0);

  // A new block is zero-filled and never grows.
  uint8_t buffer[8];
  memset(buffer, 0xff, sizeof(buffer));
  EXPECT_EQ(stream->read(buffer, 8, stream), 4);
  EXPECT_EQ(memcmp(buffer, "\0\0\0\0", 4), 0);
  EXPECT_EQ(stream->write("z", 1, stream), 0);
  EXPECT_EQ(stream->close(stream), 0);
}

TEST(MemoryStream, EmptyAndInvalidBlocks) {
  DataStream* stream = stream_new_memory(0);
  ASSERT_NE(stream, nullptr);
  char byte = 0;
  EXPECT_EQ(stream->read(&byte, 1, stream), 0);
  EXPECT_EQ(stream->write(&byte, 1, stream), 0);
  EXPECT_EQ(stream->seek(stream, 0, 2), 0);
  EXPECT_EQ(stream->tell(stream), 0);
  stream->close(stream);
  stream = stream_from_memory(nullptr, 0);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->read(&byte, 1, stream), 0);
  stream->close(stream);

  EXPECT_EQ(stream_new_memory(-1), nullptr);
  EXPECT_EQ(stream_from_memory(&byte, -1), nullptr);
  EXPECT_EQ(stream_from_memory(nullptr, 1), nullptr);
}

TEST(HandleStream, AutoCloseDecidesWhoClosesTheHandle) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  FILE* file = fdopen(fds[1], "wb");
  ASSERT_NE(file, nullptr);

  DataStream* stream = stream_from_handle(file, false);
  ASSERT_NE(stream, nullptr);
  ASSERT_NE(stream->autoClose, nullptr);
  EXPECT_FALSE(*stream->autoClose);
  EXPECT_EQ(stream->write("ab", 2, stream), 2);
  EXPECT_EQ(stream->flush(stream), 0);
  EXPECT_EQ(stream->close(stream), 0);
  // Still open and the caller's: it can be written through.
  EXPECT_EQ(fputc('c', file), 'c');
  EXPECT_EQ(fflush(file), 0);
  char received[4] = {};
  EXPECT_EQ(read(fds[0], received, sizeof(received)), 3);
  EXPECT_STREQ(received, "abc");

  stream = stream_from_handle(file, true);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->write("d", 1, stream), 1);
  EXPECT_EQ(stream->close(stream), 0);
  // The descriptor is gone, and the reader sees the last byte and the end.
  errno = 0;
  EXPECT_EQ(fcntl(fds[1], F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(read(fds[0], received, sizeof(received)), 1);
  EXPECT_EQ(received[0], 'd');
  EXPECT_EQ(read(fds[0], received, sizeof(received)), 0);
  close(fds[0]);

  EXPECT_EQ(stream_from_handle(nullptr, false), nullptr);
}

class FileStream : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/streams_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    path = dir + "/data.bin";
  }
  void TearDown() override {
    remove(path.c_str());
    rmdir(dir.c_str());
  }
  std::string dir;
  std::string path;
};

TEST_F(FileStream, OpensByPathAndAddressesBeyondFourGiB) {
  EXPECT_EQ(stream_open_file(path.c_str(), "rb"), nullptr);

  const int64_t far = (int64_t{5} << 30) + 7;  // a sparse file past 4 GiB
  DataStream* stream = stream_open_file(path.c_str(), "wb");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->autoClose, nullptr);
  EXPECT_EQ(stream->write("head", 4, stream), 4);
  EXPECT_EQ(stream->seek(stream, far, 0), 0);
  EXPECT_EQ(stream->write("tail", 4, stream), 4);
  EXPECT_EQ(stream->tell(stream), far + 4);
  EXPECT_EQ(stream->flush(stream), 0);
  EXPECT_EQ(stream->close(stream), 0);

  stream = stream_open_file(path.c_str(), "rb");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->seek(stream, 0, 2), 0);
  EXPECT_EQ(stream->tell(stream), far + 4);
  EXPECT_EQ(stream->seek(stream, -4, 1), 0);
  char buffer[8] = {};
  EXPECT_EQ(stream->read(buffer, 8, stream), 4);  // short at the end of the file
  EXPECT_STREQ(buffer, "tail");
  EXPECT_EQ(stream->seek(stream, 0, 0), 0);
  EXPECT_EQ(stream->read(buffer, 4, stream), 4);
  EXPECT_EQ(std::string(buffer, 4), "head");
  EXPECT_NE(stream->seek(stream, -1, 0), 0);
  EXPECT_EQ(stream->close(stream), 0);
}
