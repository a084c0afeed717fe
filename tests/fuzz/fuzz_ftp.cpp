// Fuzz target: the input is an FTP server's side of one retrieval, in pieces
// separated by lines of "~~": the greeting, then the reply to each command
// in turn (RETR's reply followed by the file's bytes on the data connection
// and by the reply after the file). A real VelmarDownloadNoCurl talks to a
// thread on 127.0.0.1 that plays those pieces; PASV always gets the thread's
// own data listener, and the connect() of loopback_peer.h refuses every
// other address a fuzzed reply may name. The first byte picks options (a
// size cap, a resume offset); every reply also goes through the pure
// parsers.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "download_nocurl.h"
#include "download_parse.h"
#include "loopback_peer.h"
#include "sockets3.h"
#include "streams.h"

namespace {

struct Script {
  int control, data;  // listeners
  uint16_t dataPort;
  std::vector<std::string> pieces;
  size_t next;
  int peer;  // the control connection

  // A reply that does not end its last line is the server's last word: it
  // closes its side, so the client does not wait for the rest.
  bool Reply(const std::string& reply) {
    fuzz_peer::Cork(peer, true);
    fuzz_peer::SendAll(peer, reply.data(), reply.size());
    const bool ended = !reply.empty() && reply.back() == '\n';
    if (!ended) shutdown(peer, SHUT_WR);
    fuzz_peer::Cork(peer, false);
    return ended;
  }
  std::string Piece() { return next < pieces.size() ? pieces[next++] : ""; }

  // RETR's reply, the file on the data connection (then closed) and the
  // reply after it.
  bool Retrieve() {
    int fd = fuzz_peer::Accept(data, 0);  // connected before RETR was sent
    bool more = Reply(Piece());
    std::string file = Piece();
    if (fd >= 0) {
      fuzz_peer::SendAll(fd, file.data(), file.size());
      close(fd);
    }
    return more && Reply(Piece());
  }
};

void Serve(Script* script) {
  if ((script->peer = fuzz_peer::Accept(script->control, 2000)) < 0) return;
  bool more = script->Reply(script->Piece());
  std::string line;
  // The client answers a reply at once; a client that sends nothing waits
  // for a reply the script does not hold, and the close ends that.
  for (int commands = 0; more && commands < 16 && fuzz_peer::ReadLine(script->peer, &line, 50);
       commands++) {
    if (line.compare(0, 4, "PASV") == 0) {
      char reply[64];
      snprintf(reply, sizeof(reply), "227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n",
               script->dataPort >> 8, script->dataPort & 255);
      more = script->Reply(reply);
    } else if (line.compare(0, 4, "RETR") == 0) {
      more = script->Retrieve();
    } else {
      more = script->next < script->pieces.size() && script->Reply(script->Piece());
    }
  }
  fuzz_peer::Finish(script->peer);
}

void ParseReplies(const std::vector<std::string>& pieces) {
  char address[40];
  uint32_t port = 0;
  for (std::string text : pieces) {  // NUL-terminated copies, cut at their first zero byte
    const char* rest = nullptr;
    vdl_ftp_reply_code(text.c_str(), &rest);
    vdl_parse_pasv_reply(rest, address, sizeof(address), &port);
    vdl_parse_150_size(rest);
    vdl_trim_line_ends(&text[0]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Script script = [] {
    Script s = {};
    uint16_t port = 0;
    s.control = fuzz_peer::Listen(&port);
    fuzz_peer::allowedPorts[0] = port;
    s.data = fuzz_peer::Listen(&s.dataPort);
    fuzz_peer::allowedPorts[1] = s.dataPort;
    return s;
  }();
  static Velmar_Sockets3* keepAlive = new Velmar_Sockets3();  // see fuzz_http.cpp
  (void)keepAlive;
  if (script.control < 0 || script.data < 0 || size == 0) return 0;
  fuzz_peer::Drain(script.control);
  fuzz_peer::Drain(script.data);
  const uint8_t options = data[0];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  script.pieces.clear();
  script.next = 0;
  size_t at = 0;
  for (size_t end; (end = text.find("~~\n", at)) != std::string::npos; at = end + 3) {
    script.pieces.push_back(text.substr(at, end - at));
  }
  script.pieces.push_back(text.substr(at));
  ParseReplies(script.pieces);

  std::thread server(Serve, &script);
  VelmarDownloadNoCurl dl(VDL_PROTO_FTP, "127.0.0.1", fuzz_peer::allowedPorts[0], "f.bin", nullptr,
                          nullptr, nullptr, nullptr);
  dl.SetTimeout(300);
  if (options & 1) dl.SetMaxSize(64);
  if (options & 2) dl.SetResumeFrom(5);
  DataStream* target = stream_new_memory(1 << 16);
  if (target != nullptr) {
    dl.DownloadToStream(target);
    target->close(target);
  }
  server.join();
  if ((options & 1) && dl.GetError() == VDL_ERR_NONE && dl.SizeLimitHit()) __builtin_trap();
  if (dl.WasResumed() || dl.GetHttpStatus() != 0) __builtin_trap();
  return 0;
}
