// Fuzz target: a byte of options (a size cap, resume), then an FTP server's
// side of one retrieval in pieces separated by lines of "~~": the greeting,
// the reply to each command in turn (for RETR: its reply, the file on the
// data connection, the reply after it). A thread plays them to a real
// VelmarDownloadNoCurl over loopback, answering PASV itself; every reply also
// goes through the pure parsers.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "download_parse.h"
#include "fuzz/fuzz_util.h"

namespace {

uint16_t controlPort, dataPort;
int control = ListenOnLoopback(&controlPort), data = ListenOnLoopback(&dataPort), peer;
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

void Serve() {
  if ((peer = fuzz::Accept(control, 2000)) < 0) return;
  bool more = Reply(Piece());
  std::string line;
  char pasv[64];
  snprintf(pasv, sizeof(pasv), "227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n", dataPort >> 8,
           dataPort & 255);
  // A client waiting for a reply the script does not hold is ended by the close.
  for (int i = 0; more && i < 16 && fuzz::ReadLine(peer, &line, 50); i++) {
    if (line.compare(0, 4, "PASV") == 0) {
      more = Reply(pasv);
    } else if (line.compare(0, 4, "RETR") == 0) {
      int fd = fuzz::Accept(data, 0);  // connected before RETR was sent
      more = Reply(Piece());
      std::string file = Piece();
      if (fd >= 0) {
        fuzz::SendAll(fd, file);
        close(fd);
      }
      more = more && Reply(Piece());
    } else {
      more = next < pieces.size() && Reply(Piece());
    }
  }
  fuzz::Finish(peer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (control < 0 || data < 0 || size == 0) return 0;
  fuzz::allowedPorts[0] = controlPort;
  fuzz::allowedPorts[1] = dataPort;
  fuzz::Drain(control);
  fuzz::Drain(data);
  const std::string text(reinterpret_cast<const char*>(input) + 1, size - 1);
  pieces.clear();
  next = 0;
  char address[40];
  uint32_t port = 0;
  for (size_t at = 0, end = 0; end != std::string::npos; at = end + 3) {
    end = text.find("~~\n", at);
    pieces.push_back(text.substr(at, end - at));
    std::string reply = pieces.back();  // NUL-terminated, cut at its first zero byte
    const char* rest = nullptr;
    vdl_ftp_reply_code(reply.c_str(), &rest);
    vdl_parse_pasv_reply(rest, address, sizeof(address), &port);
    vdl_parse_150_size(rest);
    vdl_trim_line_ends(&reply[0]);
  }

  fuzz::InputScope scope;
  VelmarDownloadNoCurl dl(VDL_PROTO_FTP, "127.0.0.1", controlPort, "f.bin", nullptr, nullptr,
                          nullptr, nullptr);
  if (input[0] & 1) dl.SetMaxSize(64);
  if (input[0] & 2) dl.SetResumeFrom(5);
  fuzz::Fetch(&dl, Serve);
  if ((input[0] & 1) && dl.GetError() == VDL_ERR_NONE && dl.SizeLimitHit()) __builtin_trap();
  if (dl.WasResumed() || dl.GetHttpStatus() != 0) __builtin_trap();
  return 0;
}
