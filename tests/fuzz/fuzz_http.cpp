// Fuzz target: a byte of options (fail on redirect, resume, a size cap, a
// callback that stops), then an HTTP server's whole response, sent to a real
// VelmarDownloadNoCurl over loopback and also given to the pure parsers.
#include <cstddef>
#include <cstdint>
#include <string>

#include "download_parse.h"
#include "fuzz/fuzz_util.h"

namespace {

bool StopAtThird(int64_t, int64_t, void* userData) { return ++*static_cast<int*>(userData) < 3; }

void Serve(int listener, const std::string& response) {
  int fd = fuzz::Accept(listener, 2000);
  if (fd < 0) return;
  fuzz::Cork(fd, 1);
  fuzz::SendAll(fd, response);
  fuzz::Finish(fd);
}

void ParseLines(std::string text) {
  int64_t length = 0, value = 0;
  for (size_t at = 0; (length = vdl_line_length(&text[at], text.size() - at, 16384, true)) > 0;) {
    std::string line = text.substr(at, static_cast<size_t>(length));
    at += static_cast<size_t>(length);
    vdl_trim_line_ends(&line[0]);
    vdl_parse_status_line(line.c_str());
    VDL_CONTENT_RANGE range;
    if (const char* header = vdl_http_header_value(line.c_str(), "Content-Length:"))
      vdl_parse_content_length(header, &value);
    if (const char* header = vdl_http_header_value(line.c_str(), "Content-Range:"))
      vdl_parse_content_range(header, &range);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint16_t port = 0;
  static int listener = ListenOnLoopback(&port);
  if (listener < 0 || size == 0) return 0;
  fuzz::allowedPorts[0] = port;
  fuzz::Drain(listener);
  const uint8_t options = data[0];
  const std::string response(reinterpret_cast<const char*>(data) + 1, size - 1);
  ParseLines(response);

  fuzz::InputScope scope;
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/f";
  int calls = 0;
  VelmarDownloadNoCurl dl(url.c_str(), (options & 8) ? StopAtThird : nullptr, nullptr, nullptr,
                          &calls);
  dl.SetFailOnRedirect((options & 1) != 0);
  if (options & 2) dl.SetResumeFrom(5);
  if (options & 4) dl.SetMaxSize(64);
  // The cap counts the bytes resumed from.
  const int64_t end = fuzz::Fetch(&dl, [&response] { Serve(listener, response); });
  if ((options & 4) && end > 64) __builtin_trap();
  if (dl.WasResumed() && dl.GetHttpStatus() != 206) __builtin_trap();
  if (dl.GetError() == VDL_ERR_NONE && dl.GetErrorDetail()[0] != '\0') __builtin_trap();
  return 0;
}
