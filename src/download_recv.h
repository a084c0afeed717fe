// Receiving for the downloader's exchanges: reply and header lines, body
// chunks, connecting, and the minimum-rate guard that spans every receive of
// one transfer.
//
// Every receive is bounded twice: by the per-receive time-out, and by the end
// of the rate guard's current window, so no receive outlasts the moment the
// transfer must be judged too slow. On a TLS record the wait comes before the
// read (until a whole record is there), since a TLS read reports no time-out
// of its own. A VDL_RECEIVER and its guard belong to
// one transfer on one thread; VdlRateGuard itself is plain arithmetic on the
// times it is given. Internal to the download_nocurl module and its tests.
#ifndef UPDATER_SRC_DOWNLOAD_RECV_H_
#define UPDATER_SRC_DOWNLOAD_RECV_H_

#include <cstdint>

#include "sockets3.h"

// Size of an exchange's work buffer: the longest line with its line end, and
// the largest chunk received at once.
constexpr int32_t VDL_WORK_SIZE = 16384;

// Judges whether a transfer keeps up a minimum rate: a window of
// `windowSeconds` starts when the guard starts and again whenever the bytes
// counted in it reach rate times window; a window that ends short of that
// makes the transfer too slow. Times are milliseconds of a monotonic clock.
class VdlRateGuard {
 public:
  // A rate or a window of 0 turns the guard off.
  void Start(uint32_t bytesPerSecond, uint32_t windowSeconds, uint64_t nowMs);
  void Count(uint64_t bytes, uint64_t nowMs);
  // True once a whole window has passed below the rate.
  bool TooSlow(uint64_t nowMs) const;
  // Milliseconds left in the current window, at least 1 while the guard is
  // on (the judgement is due then); UINT32_MAX when it is off.
  uint32_t RemainingMs(uint64_t nowMs) const;

 private:
  uint64_t quota = 0;  // bytes a window needs; 0 when off
  uint64_t windowMs = 0;
  uint64_t windowStart = 0;
  uint64_t counted = 0;
};

// Milliseconds of the monotonic clock.
uint64_t vdl_now_ms();

// The receive side of one transfer, shared by its connections.
struct VDL_RECEIVER {
  Velmar_Sockets3* sockets;
  VdlRateGuard rate;
  uint32_t timeoutMs;  // per receive, and for a line that stops growing
  int waits;           // 100 ms steps spent on incomplete lines so far
  int maxWaits;        // above this many steps a line is given up
  // Bytes at the head of `aheadSock`'s queue that were already counted for
  // the rate while a line was awaited.
  VELMAR_SOCKET* aheadSock;
  int64_t ahead;
};

// Sets up `rx` for a transfer whose rate guard starts now.
void vdl_receiver_init(VDL_RECEIVER* rx, Velmar_Sockets3* sockets, uint32_t timeoutMs, int maxWaits,
                       uint32_t minRate, uint32_t windowSeconds);

// Results beyond RecvLine's own VS_LINE_ values: the wait for the rest of a
// line ran out, the peer closed behind an incomplete line, the transfer fell
// below its minimum rate, or nothing came within the per-receive time-out.
constexpr int VDL_LINE_STALLED = -5;
constexpr int VDL_LINE_TRUNCATED = -6;
constexpr int VDL_RECV_TOO_SLOW = -7;
constexpr int VDL_RECV_TIMED_OUT = -8;

// Receives one line (through its LF, or a CR not followed by LF) into
// `buffer` and returns its length without the line ends, the buffer
// NUL-terminated. A line and its line end may fill the whole buffer; a longer
// one gives VS_LINE_FULL and stays unread (on a TLS record, where a line may
// span records, its first records are consumed). Bytes after the line stay
// unread.
// An incomplete line is awaited in steps of 100 ms while it keeps growing:
// VS_LINE_INCOMPLETE once rx->waits passes rx->maxWaits, VDL_LINE_STALLED
// when it stops growing for rx->timeoutMs, VDL_LINE_TRUNCATED when the peer
// closes behind it. A CR that ends the bytes waiting is taken as a line end
// only once the peer has closed: its LF may be in the next packet. Also
// VS_LINE_CLOSED (nothing more to read), VS_LINE_ERROR (receive failed, see
// vdl_recv_failure_code), VDL_RECV_TOO_SLOW and VDL_RECV_TIMED_OUT.
int vdl_recv_line(VDL_RECEIVER* rx, VELMAR_SOCKET* sock, char* buffer, int32_t size);

// Receives up to `size` bytes: their number, 0 when the peer has closed (a
// TLS peer also without its closing alert), VS_LINE_ERROR when the receive
// failed (see vdl_recv_failure_code), VDL_RECV_TOO_SLOW or
// VDL_RECV_TIMED_OUT.
int vdl_recv_chunk(VDL_RECEIVER* rx, VELMAR_SOCKET* sock, char* buffer, uint32_t size);

// The downloader's code for a failed receive on `sock`: VDL_ERR_TIMEOUT when
// the socket's error is a receive time-out, else VDL_ERR_INVALID_RESPONSE.
int32_t vdl_recv_failure_code(Velmar_Sockets3* sockets, VELMAR_SOCKET* sock);

// Connects `sock` to host and port within `timeoutMs`, with the reception
// time-out set to `timeoutMs` afterwards. False when no connection was made.
bool vdl_connect(Velmar_Sockets3* sockets, VELMAR_SOCKET* sock, const char* host, uint32_t port,
                 uint32_t timeoutMs);

#endif  // UPDATER_SRC_DOWNLOAD_RECV_H_
