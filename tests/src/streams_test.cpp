#include "streams.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

TEST(MemoryStream, ReadsWritesAndSeeksStayWithinTheBlock) {
  char data[4] = {'a', 'b', 'c', 'd'};
  DataStream* stream = stream_from_memory(data, 4);
  ASSERT_NE(stream, nullptr);
  char buffer[10] = {};
  EXPECT_EQ(stream->read(buffer, 10, stream), 4);
  EXPECT_EQ(stream->write("xy", 2, stream), 0);
  EXPECT_EQ(stream->seek(stream, 2, 0), 0);
  EXPECT_EQ(stream->write("123456", 6, stream), 2);
  stream->close(stream);
  EXPECT_EQ(std::string(data, 4), "ab12");  // the caller's block outlives the stream

  stream = stream_new_memory(4);
  ASSERT_NE(stream, nullptr);
  const struct {
    int64_t offset;
    int whence;
    int64_t tell;
  } seeks[] = {{-5, 0, 0}, {0, 2, 4},         {100, 1, 4},      {-1, 1, 3},
               {1, 7, 3},  {INT64_MAX, 1, 4}, {INT64_MIN, 2, 0}};  // whence 7: unknown, no move
  for (const auto& s : seeks) {
    EXPECT_EQ(stream->seek(stream, s.offset, s.whence), 0) << s.offset << "/" << s.whence;
    EXPECT_EQ(stream->tell(stream), s.tell) << s.offset << "/" << s.whence;
  }
  memset(buffer, 0xff, sizeof(buffer));  // a new block is zero-filled
  EXPECT_EQ(stream->read(buffer, 8, stream), 4);
  EXPECT_EQ(std::string(buffer, 5), std::string("\0\0\0\0\xff", 5));
  EXPECT_EQ(stream->close(stream), 0);

  stream = stream_from_memory(nullptr, 0);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->read(buffer, 1, stream) + stream->write(buffer, 1, stream), 0);
  stream->close(stream);
  EXPECT_EQ(stream_new_memory(-1), nullptr);
  EXPECT_EQ(stream_from_memory(buffer, -1), nullptr);
  EXPECT_EQ(stream_from_memory(nullptr, 1), nullptr);
}

TEST(HandleStream, AutoCloseDecidesWhoClosesTheHandle) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);  // a read never waits
  FILE* file = fdopen(fds[1], "wb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(stream_from_handle(nullptr, false), nullptr);
  char received[4] = {};
  for (bool autoClose : {false, true}) {
    DataStream* stream = stream_from_handle(file, autoClose);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->write("ab", 2, stream), 2);
    EXPECT_EQ(stream->close(stream), 0);
    EXPECT_EQ(fcntl(fds[1], F_GETFD) != -1, !autoClose);
    // The handle's buffer reaches the pipe only when the handle is closed.
    EXPECT_EQ(read(fds[0], received, sizeof(received)), autoClose ? 4 : -1);
  }
  close(fds[0]);
}

TEST(FileStream, OpensByPathAndAddressesBeyondFourGiB) {
  char dir[] = "/tmp/streams_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/data.bin";
  EXPECT_EQ(stream_open_file(path.c_str(), "rb"), nullptr);
  const int64_t far = (int64_t{5} << 30) + 7;  // a sparse file past 4 GiB
  DataStream* stream = stream_open_file(path.c_str(), "w+b");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->seek(stream, far, 0), 0);
  EXPECT_EQ(stream->write("tail", 4, stream), 4);
  EXPECT_EQ(stream->tell(stream), far + 4);
  EXPECT_EQ(stream->seek(stream, -4, 2), 0);
  char buffer[8] = {};
  EXPECT_EQ(stream->read(buffer, 8, stream), 4);  // short at the end of the file
  EXPECT_STREQ(buffer, "tail");
  EXPECT_EQ(stream->close(stream), 0);
  remove(path.c_str());
  rmdir(dir);
}
