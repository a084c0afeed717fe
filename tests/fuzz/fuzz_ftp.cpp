// Fuzz target: the input is an FTP server's side of one retrieval, in pieces
// separated by lines of "~~": the greeting, then the reply to each command
// in turn (RETR's reply, then the file's bytes on the data connection, then
// the reply after the file). A thread on 127.0.0.1 plays them to a real
// VelmarDownloadNoCurl; PASV always gets the thread's own data listener. The
// first byte picks options (a size cap, a resume offset); every reply also
// goes through the pure parsers.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "download_nocurl.h"
#include "download_parse.h"
#include "fuzz/fuzz_util.h"
#include "streams.h"

namespace {

struct Script {
  int control, data, peer;  // two listeners, the control connection
  uint16_t dataPort;
  std::vector<std::string> pieces;
  size_t next;

  std::string Piece() { return next < pieces.size() ? pieces[next++] : ""; }
  // A reply that does not end its last line is the server's last word: it
  // closes its side, so the client does not wait for the rest.
  bool Reply(const std::string& reply) {
    fuzz::Cork(peer, 1);
    fuzz::SendAll(peer, reply);
    const bool ended = !reply.empty() && reply.back() == '\n';
    if (!ended) shutdown(peer, SHUT_WR);
    fuzz::Cork(peer, 0);
    return ended;
  }
  bool Retrieve() {
    int fd = fuzz::Accept(data, 0);  // connected before RETR was sent
    bool more = Reply(Piece());
    std::string file = Piece();
    if (fd >= 0) {
      fuzz::SendAll(fd, file);
      close(fd);
    }
    return more && Reply(Piece());
  }
};

void Serve(Script* script) {
  if ((script->peer = fuzz::Accept(script->control, 2000)) < 0) return;
  bool more = script->Reply(script->Piece());
  std::string line;
  char pasv[64];
  snprintf(pasv, sizeof(pasv), "227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n",
           script->dataPort >> 8, script->dataPort & 255);
  // The client answers a reply at once; one that waits for a reply the
  // script does not hold is ended by the close.
  for (int i = 0; more && i < 16 && fuzz::ReadLine(script->peer, &line, 50); i++) {
    if (line.compare(0, 4, "PASV") == 0) {
      more = script->Reply(pasv);
    } else if (line.compare(0, 4, "RETR") == 0) {
      more = script->Retrieve();
    } else {
      more = script->next < script->pieces.size() && script->Reply(script->Piece());
    }
  }
  fuzz::Finish(script->peer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Script script = [] {
    Script s = {};
    uint16_t port = 0;
    s.control = fuzz::Listen(&port);
    fuzz::allowedPorts[0] = port;
    s.data = fuzz::Listen(&s.dataPort);
    fuzz::allowedPorts[1] = s.dataPort;
    return s;
  }();
  fuzz::KeepTlsUp();
  if (script.control < 0 || script.data < 0 || size == 0) return 0;
  fuzz::Drain(script.control);
  fuzz::Drain(script.data);
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  script.pieces.clear();
  script.next = 0;
  size_t at = 0;
  for (size_t end; (end = text.find("~~\n", at)) != std::string::npos; at = end + 3) {
    script.pieces.push_back(text.substr(at, end - at));
  }
  script.pieces.push_back(text.substr(at));
  char address[40];
  uint32_t port = 0;
  for (std::string reply : script.pieces) {  // NUL-terminated copies, cut at their first zero
    const char* rest = nullptr;
    vdl_ftp_reply_code(reply.c_str(), &rest);
    vdl_parse_pasv_reply(rest, address, sizeof(address), &port);
    vdl_parse_150_size(rest);
    vdl_trim_line_ends(&reply[0]);
  }

  std::thread server(Serve, &script);
  VelmarDownloadNoCurl dl(VDL_PROTO_FTP, "127.0.0.1", fuzz::allowedPorts[0], "f.bin", nullptr,
                          nullptr, nullptr, nullptr);
  dl.SetTimeout(300);
  if (data[0] & 1) dl.SetMaxSize(64);
  if (data[0] & 2) dl.SetResumeFrom(5);
  DataStream* target = stream_new_memory(1 << 16);
  if (target != nullptr) {
    dl.DownloadToStream(target);
    target->close(target);
  }
  server.join();
  if ((data[0] & 1) && dl.GetError() == VDL_ERR_NONE && dl.SizeLimitHit()) __builtin_trap();
  if (dl.WasResumed() || dl.GetHttpStatus() != 0) __builtin_trap();
  return 0;
}
