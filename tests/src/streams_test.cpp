#include "streams.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

TEST(MemoryStream, TransfersAndSeeksStayWithinTheBlock) {
  char data[4] = {'a', 'b', 'c', 'd'};
  DataStream* stream = stream_from_memory(data, 4);
  ASSERT_NE(stream, nullptr);
  char buffer[10] = {};
  EXPECT_EQ(stream->read(buffer, 10, stream), 4);
  EXPECT_EQ(stream->write("xy", 2, stream), 0);
  const struct {
    int64_t offset;
    int whence;
    int64_t tell;
  } seeks[] = {{-5, 0, 0}, {100, 1, 4},       {-1, 2, 3},
               {1, 7, 3},  {INT64_MAX, 1, 4}, {INT64_MIN, 2, 0}};
  for (const auto& s : seeks) {  // whence 7: unknown, no move
    EXPECT_EQ(stream->seek(stream, s.offset, s.whence), 0) << s.offset << "/" << s.whence;
    EXPECT_EQ(stream->tell(stream), s.tell) << s.offset << "/" << s.whence;
  }
  EXPECT_EQ(stream->seek(stream, 2, 0), 0);
  EXPECT_EQ(stream->write("123456", 6, stream), 2);
  stream->close(stream);
  EXPECT_EQ(std::string(data, 4), "ab12");  // the caller's block outlives the stream
  EXPECT_EQ(stream_from_memory(nullptr, 1), nullptr);
}

// Handle streams address files beyond 4 GiB; one that owns its handle closes it.
TEST(HandleStream, AddressesBeyondFourGiB) {
  DataStream* stream = stream_from_handle(tmpfile(), true);
  ASSERT_NE(stream, nullptr);
  const int64_t far = (int64_t{5} << 30) + 7;  // a sparse file
  EXPECT_EQ(stream->seek(stream, far, 0), 0);
  EXPECT_EQ(stream->write("tail", 4, stream), 4);
  EXPECT_EQ(stream->seek(stream, -4, 2), 0);
  EXPECT_EQ(stream->tell(stream), far);
  char buffer[8] = {};
  EXPECT_EQ(stream->read(buffer, 8, stream), 4);  // short at the end of the file
  EXPECT_STREQ(buffer, "tail");
  EXPECT_EQ(stream->close(stream), 0);
}
