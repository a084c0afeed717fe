// Fuzz target: the input is an HTTP server's whole response. A real
// VelmarDownloadNoCurl fetches it from a listener on 127.0.0.1 served by a
// thread that sends the bytes, closes its side and waits for the client to
// go. The first byte picks options (fail on redirect, a resume offset, a
// size cap, a callback that stops); the lines of the response also go
// through the pure parsers one by one.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "download_nocurl.h"
#include "download_parse.h"
#include "loopback_peer.h"
#include "sockets3.h"
#include "streams.h"

namespace {

// A target that keeps nothing but a position and a byte count (capped, so
// that a huge seek cannot blow up).
struct CountingTarget {
  DataStream stream = {};
  int64_t position = 0;
  int64_t written = 0;
};

DataStream* MakeTarget(CountingTarget* target) {
  target->stream.handle = target;
  target->stream.write = [](const void*, uint64_t count, DataStream* self) -> int64_t {
    CountingTarget* t = static_cast<CountingTarget*>(self->handle);
    t->position += static_cast<int64_t>(count);
    t->written += static_cast<int64_t>(count);
    return static_cast<int64_t>(count);
  };
  target->stream.seek = [](DataStream* self, int64_t offset, int32_t whence) -> int32_t {
    if (whence != 0 || offset < 0) return -1;
    static_cast<CountingTarget*>(self->handle)->position = offset;
    return 0;
  };
  return &target->stream;
}

bool StopAtThird(int64_t, int64_t, void* userData) { return ++*static_cast<int*>(userData) < 3; }

void Serve(int listener, const uint8_t* data, size_t size) {
  int fd = fuzz_peer::Accept(listener, 2000);
  if (fd < 0) return;
  // Corked, the bytes and the close leave together: the client never sees
  // the response without its end and waits for more.
  fuzz_peer::Cork(fd, true);
  fuzz_peer::SendAll(fd, reinterpret_cast<const char*>(data), size);
  shutdown(fd, SHUT_WR);
  fuzz_peer::DrainUntilClosed(fd, 2000);
  close(fd);
}

// Every line of the response through the parsers the exchange uses.
void ParseLines(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t at = 0;
  while (at < text.size()) {
    int64_t length = vdl_line_length(text.data() + at, text.size() - at, 16384, true);
    if (length <= 0) break;
    std::string line = text.substr(at, static_cast<size_t>(length));
    at += static_cast<size_t>(length);
    vdl_trim_line_ends(&line[0]);
    vdl_parse_status_line(line.c_str());
    int64_t value = 0;
    VDL_CONTENT_RANGE range;
    const char* header = vdl_http_header_value(line.c_str(), "Content-Length:");
    if (header != nullptr) vdl_parse_content_length(header, &value);
    header = vdl_http_header_value(line.c_str(), "Content-Range:");
    if (header != nullptr) vdl_parse_content_range(header, &range);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint16_t port = 0;
  static int listener = fuzz_peer::Listen(&port);
  // Keeps the TLS library initialised between inputs; each downloader's own
  // socket object would otherwise set it up and tear it down every time.
  static Velmar_Sockets3* keepAlive = new Velmar_Sockets3();
  (void)keepAlive;
  if (listener < 0 || size == 0) return 0;
  fuzz_peer::allowedPorts[0] = port;
  fuzz_peer::Drain(listener);
  const uint8_t options = data[0];
  ParseLines(data + 1, size - 1);

  std::thread server(Serve, listener, data + 1, size - 1);
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/f";
  int calls = 0;
  VelmarDownloadNoCurl dl(url.c_str(), (options & 8) ? StopAtThird : nullptr, nullptr, nullptr,
                          &calls);
  dl.SetTimeout(300);
  dl.SetFailOnRedirect((options & 1) != 0);
  if (options & 2) dl.SetResumeFrom(5);
  if (options & 4) dl.SetMaxSize(64);
  CountingTarget target;
  dl.DownloadToStream(MakeTarget(&target));
  server.join();
  // What a transfer may leave behind, whatever it was sent.
  if ((options & 4) && target.written > 64) __builtin_trap();
  if (dl.WasResumed() && dl.GetHttpStatus() != 206) __builtin_trap();
  if (dl.GetError() == VDL_ERR_NONE && dl.GetErrorDetail()[0] != '\0') __builtin_trap();
  return 0;
}
