#define MEMLEAK_SOURCE "download_nocurl"
// The FTP exchange: login, binary type, one passive-mode data connection and
// RETR of one file, driven by the reply lines of the control connection.
#include <cstdio>
#include <cstring>

#include "download_nocurl.h"
#include "download_parse.h"
#include "memleak.h"
#include "sockets3.h"
#include "streams.h"

namespace {

constexpr int32_t kWorkSize = 16384;
// Steps of 100 ms spent waiting for incomplete reply lines, per transfer.
constexpr int kMaxLineWaits = 300;
// A server that keeps talking without moving the exchange on is cut off.
constexpr int kMaxReplyLines = 200;

// The protocol states: each names the reply it waits for.
enum class FtpState {
  kGreeting,  // 220 to the connection; then USER
  kUser,      // 331 to USER; then PASS
  kPassword,  // 230 to PASS; then TYPE I
  kType,      // 200 to TYPE I; then PASV
  kPassive,   // 227 to PASV; open the data connection, then RETR
  kRetrieve,  // 150 to RETR; read the file from the data connection
  kComplete,  // 226 after the file; then QUIT and done
};

// What handling one reply leads to.
enum class Step { kNext, kDone, kFailed };

}  // namespace

// One FTP transfer of a VelmarDownloadNoCurl. Owns the work buffer and both
// connections, all released when it goes out of scope.
class FtpExchange {
 public:
  FtpExchange(VelmarDownloadNoCurl& downloader, DataStream* stream)
      : dl(downloader), stream(stream), sockets(downloader.sockets) {}
  ~FtpExchange() {
    CloseSocket(&data);
    CloseSocket(&control);
    if (buffer != nullptr) zfree(buffer);
  }
  FtpExchange(const FtpExchange&) = delete;
  FtpExchange& operator=(const FtpExchange&) = delete;

  bool Run();

 private:
  bool Open(VELMAR_SOCKET** sock, const char* host, uint32_t port);
  int ReadReply(const char** text);
  Step OnReply(int code, const char* text);
  Step Expect(int code, int wanted, int32_t failure, const char* command, FtpState next);
  Step OpenDataConnection(const char* text);
  Step ReadFile(const char* text);
  Step Command(const char* format, const char* argument, FtpState next);
  void CloseSocket(VELMAR_SOCKET** sock);
  Step Fail(int32_t code) {
    dl.Fail(code);
    return Step::kFailed;
  }
  int FailReply(int32_t code) {
    dl.Fail(code);
    return -1;
  }

  VelmarDownloadNoCurl& dl;
  DataStream* stream;
  Velmar_Sockets3* sockets;
  VELMAR_SOCKET* control = nullptr;
  VELMAR_SOCKET* data = nullptr;
  char* buffer = nullptr;
  FtpState state = FtpState::kGreeting;
  int lineWaits = 0;
};

bool VelmarDownloadNoCurl::FtpDownload(DataStream* stream) {
  FtpExchange exchange(*this, stream);
  return exchange.Run();
}

bool FtpExchange::Run() {
  buffer = static_cast<char*>(zmalloc(kWorkSize));
  if (buffer == nullptr) return dl.Fail(VDL_ERR_SOCKET);
  if (!Open(&control, dl.host, dl.port)) return false;
  for (int lines = 0; lines < kMaxReplyLines; lines++) {
    const char* text = nullptr;
    int code = ReadReply(&text);
    if (code < 0) return false;
    Step step = OnReply(code, text);
    if (step == Step::kDone) return true;
    if (step == Step::kFailed) return false;
  }
  return dl.Fail(VDL_ERR_INVALID_RESPONSE);
}

// Makes and connects a socket; the receive time-out is set on it.
bool FtpExchange::Open(VELMAR_SOCKET** sock, const char* host, uint32_t port) {
  *sock = sockets->Create(2, 1, 6, 0);
  if (*sock == nullptr) return dl.Fail(VDL_ERR_SOCKET);
  if (!vdl_connect(sockets, *sock, host, port, dl.EffectiveTimeout())) {
    return dl.Fail(VDL_ERR_CONNECT);
  }
  return true;
}

// Reads the next non-empty reply line: its code, with the text after the
// first space in `*text`; -1 with the error code set when none came.
int FtpExchange::ReadReply(const char** text) {
  for (int empty = 0; empty < kMaxReplyLines; empty++) {
    int n = vdl_recv_line(sockets, control, buffer, kWorkSize, &lineWaits, kMaxLineWaits,
                          dl.EffectiveTimeout());
    if (n == 0) continue;
    if (n == VDL_LINE_STALLED) return FailReply(VDL_ERR_TIMEOUT);
    if (n == VS_LINE_ERROR) return FailReply(vdl_recv_failure_code(sockets, control));
    if (n < 0) return FailReply(VDL_ERR_INVALID_RESPONSE);
    // Empty once its line ends are gone (a zero byte at its start).
    if (vdl_trim_line_ends(buffer) == 0) return FailReply(VDL_ERR_INVALID_RESPONSE);
    return vdl_ftp_reply_code(buffer, text);
  }
  return FailReply(VDL_ERR_INVALID_RESPONSE);
}

// One handler per state; the state moves on only through Command and
// ReadFile.
Step FtpExchange::OnReply(int code, const char* text) {
  switch (state) {
    case FtpState::kGreeting:
      return Expect(code, 220, VDL_ERR_INVALID_RESPONSE, "USER %s\r\n", FtpState::kUser);
    case FtpState::kUser:
      return Expect(code, 331, VDL_ERR_INVALID_RESPONSE, "PASS %s\r\n", FtpState::kPassword);
    case FtpState::kPassword:
      return Expect(code, 230, VDL_ERR_AUTH, "TYPE I\r\n", FtpState::kType);
    case FtpState::kType:
      return Expect(code, 200, VDL_ERR_INVALID_RESPONSE, "PASV\r\n", FtpState::kPassive);
    case FtpState::kPassive:
      if (code != 227) return Fail(VDL_ERR_INVALID_RESPONSE);
      if (OpenDataConnection(text) == Step::kFailed) return Step::kFailed;
      return Command("RETR %s\r\n", dl.path, FtpState::kRetrieve);
    case FtpState::kRetrieve:
      if (code != 150) return Fail(VDL_ERR_INVALID_RESPONSE);
      return ReadFile(text);
    case FtpState::kComplete:
      if (code != 226) return Fail(VDL_ERR_INVALID_RESPONSE);
      sockets->Send(control, "QUIT\r\n", -1, true);
      CloseSocket(&data);
      CloseSocket(&control);
      return Step::kDone;
  }
  return Fail(VDL_ERR_INVALID_RESPONSE);
}

// Checks the reply code and sends the next command with the argument its
// state calls for (user after 220, password after 331).
Step FtpExchange::Expect(int code, int wanted, int32_t failure, const char* command,
                         FtpState next) {
  if (code != wanted) return Fail(failure);
  const char* argument = "";
  if (state == FtpState::kGreeting) argument = dl.user;
  if (state == FtpState::kUser) argument = dl.password;
  return Command(command, argument, next);
}

Step FtpExchange::Command(const char* format, const char* argument, FtpState next) {
  char line[1024];
  int n = snprintf(line, sizeof(line), format, argument);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(line)) return Fail(VDL_ERR_INVALID_URL);
  if (sockets->Send(control, line, -1, true) != n) return Fail(VDL_ERR_INVALID_RESPONSE);
  state = next;
  return Step::kNext;
}

Step FtpExchange::OpenDataConnection(const char* text) {
  char address[40];
  uint32_t port = 0;
  if (!vdl_parse_pasv_reply(text, address, sizeof(address), &port)) {
    return Fail(VDL_ERR_INVALID_RESPONSE);
  }
  if (!Open(&data, address, port)) return Step::kFailed;
  return Step::kNext;
}

// After the 150 reply: reads the announced number of bytes from the data
// connection (an unreadable size: until it closes), then waits for 226. A
// reply without a size is not acted on; the next reply must be another 150.
Step FtpExchange::ReadFile(const char* text) {
  int64_t size = vdl_parse_150_size(text);
  if (size == -1) return Step::kNext;
  int64_t received = 0;
  while (size != 0 && received != size) {
    uint32_t want = kWorkSize;
    if (size > 0 && size - received < want) want = static_cast<uint32_t>(size - received);
    int n = sockets->Recv(data, buffer, want);
    if (n == 0 && size < 0) break;
    if (n == 0) return Fail(VDL_ERR_INVALID_RESPONSE);  // ended short of the size
    if (n < 0) return Fail(vdl_recv_failure_code(sockets, data));
    if (stream->write(buffer, static_cast<uint64_t>(n), stream) != n) {
      return Fail(VDL_ERR_WRITE);
    }
    received += n;
    if (dl.callback != nullptr && !dl.callback(received, size > 0 ? size : 0, dl.userData)) {
      return Fail(VDL_ERR_CALLBACK_ABORT);
    }
  }
  CloseSocket(&data);
  state = FtpState::kComplete;
  return Step::kNext;
}

void FtpExchange::CloseSocket(VELMAR_SOCKET** sock) {
  if (*sock != nullptr) sockets->Close(*sock);
  *sock = nullptr;
}
