#define MEMLEAK_SOURCE "download_nocurl"
// The FTP exchange: login, binary type, one passive-mode data connection and
// RETR of one file, driven by the reply lines of the control connection.
#include <cstdio>
#include <cstring>

#include "download_nocurl.h"
#include "download_parse.h"
#include "download_recv.h"
#include "memleak.h"
#include "sockets3.h"
#include "streams.h"

namespace {

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

// What each state's reply answers, for the error detail.
const char* AnswerTo(FtpState state) {
  switch (state) {
    case FtpState::kGreeting:
      return "the connection";
    case FtpState::kUser:
      return "USER";
    case FtpState::kPassword:
      return "PASS";
    case FtpState::kType:
      return "TYPE I";
    case FtpState::kPassive:
      return "PASV";
    case FtpState::kRetrieve:
      return "RETR";
    case FtpState::kComplete:
      break;
  }
  return "the transfer";
}

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
  // A reply whose code does not move the exchange on.
  Step Refuse(int code, int32_t failure) {
    dl.SetErrorDetail("server answered %d to %s", code, AnswerTo(state));
    return Fail(failure);
  }

  VelmarDownloadNoCurl& dl;
  DataStream* stream;
  Velmar_Sockets3* sockets;
  VELMAR_SOCKET* control = nullptr;
  VELMAR_SOCKET* data = nullptr;
  VDL_RECEIVER rx;
  char* buffer = nullptr;
  FtpState state = FtpState::kGreeting;
};

bool VelmarDownloadNoCurl::FtpDownload(DataStream* stream) {
  FtpExchange exchange(*this, stream);
  return exchange.Run();
}

bool FtpExchange::Run() {
  buffer = static_cast<char*>(zmalloc(VDL_WORK_SIZE));
  if (buffer == nullptr) return dl.Fail(VDL_ERR_SOCKET);
  if (!Open(&control, dl.host, dl.port)) return false;
  vdl_receiver_init(&rx, sockets, dl.EffectiveTimeout(), kMaxLineWaits, dl.minRate,
                    dl.rateWindowSeconds);
  for (int lines = 0; lines < kMaxReplyLines; lines++) {
    const char* text = nullptr;
    int code = ReadReply(&text);
    if (code < 0) return false;
    Step step = OnReply(code, text);
    if (step == Step::kDone) return true;
    if (step == Step::kFailed) return false;
  }
  dl.SetErrorDetail("more than %d replies", kMaxReplyLines);
  return dl.Fail(VDL_ERR_INVALID_RESPONSE);
}

// Makes and connects a socket; the receive time-out is set on it.
bool FtpExchange::Open(VELMAR_SOCKET** sock, const char* host, uint32_t port) {
  *sock = sockets->Create(2, 1, 6, 0);
  if (*sock == nullptr) return dl.Fail(VDL_ERR_SOCKET);
  if (!vdl_connect(sockets, *sock, host, port, dl.EffectiveTimeout())) {
    dl.SetErrorDetail("cannot connect to %s port %u", host, port);
    return dl.Fail(VDL_ERR_CONNECT);
  }
  return true;
}

// Reads the next non-empty reply line: its code, with the text after the
// first space in `*text`; -1 with the error code set when none came.
int FtpExchange::ReadReply(const char** text) {
  for (int empty = 0; empty < kMaxReplyLines; empty++) {
    int n = vdl_recv_line(&rx, control, buffer, VDL_WORK_SIZE);
    if (n == 0) continue;
    if (n < 0) {
      dl.FailReceive(n, control);
      return -1;
    }
    // Empty once its line ends are gone (a zero byte at its start).
    if (vdl_trim_line_ends(buffer) == 0) break;
    return vdl_ftp_reply_code(buffer, text);
  }
  dl.SetErrorDetail("empty reply");
  dl.Fail(VDL_ERR_INVALID_RESPONSE);
  return -1;
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
      if (code != 227) return Refuse(code, VDL_ERR_INVALID_RESPONSE);
      if (OpenDataConnection(text) == Step::kFailed) return Step::kFailed;
      return Command("RETR %s\r\n", dl.path, FtpState::kRetrieve);
    case FtpState::kRetrieve:
      if (code != 150) return Refuse(code, VDL_ERR_INVALID_RESPONSE);
      return ReadFile(text);
    case FtpState::kComplete:
      if (code != 226) return Refuse(code, VDL_ERR_INVALID_RESPONSE);
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
  if (code != wanted) return Refuse(code, failure);
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
    dl.SetErrorDetail("malformed passive reply");
    return Fail(VDL_ERR_INVALID_RESPONSE);
  }
  if (!Open(&data, address, port)) return Step::kFailed;
  return Step::kNext;
}

// After the 150 reply: reads the announced number of bytes from the data
// connection (when no size is announced: until it closes), then waits for
// 226. The whole file always comes, so a target set up for resuming starts
// over.
Step FtpExchange::ReadFile(const char* text) {
  const int64_t size = vdl_parse_150_size(text);
  const int64_t total = size > 0 ? size : 0;
  if (!dl.CheckAnnouncedSize(total) || !dl.RestartTarget(stream)) return Step::kFailed;
  int64_t received = 0;
  while (size < 0 || received < size) {
    uint32_t want = VDL_WORK_SIZE;
    if (size > 0 && size - received < want) want = static_cast<uint32_t>(size - received);
    int n = vdl_recv_chunk(&rx, data, buffer, want);
    if (n == 0 && size < 0) break;
    if (n == 0) {
      dl.SetErrorDetail("data connection closed after %lld of %lld bytes",
                        static_cast<long long>(received), static_cast<long long>(size));
      dl.Fail(VDL_ERR_INVALID_RESPONSE, VDL_FAIL_CUT_SHORT);
      return Step::kFailed;
    }
    if (n < 0) {
      dl.FailReceive(n, data);
      return Step::kFailed;
    }
    if (!dl.WriteBody(stream, buffer, n, &received, total)) return Step::kFailed;
  }
  CloseSocket(&data);
  state = FtpState::kComplete;
  return Step::kNext;
}

void FtpExchange::CloseSocket(VELMAR_SOCKET** sock) {
  if (*sock != nullptr) sockets->Close(*sock);
  *sock = nullptr;
}
