#define MEMLEAK_SOURCE "download_nocurl"
// Receiving lines and chunks within the per-receive time-out and the
// transfer's minimum rate.
#include "download_recv.h"

#include <poll.h>
#include <time.h>

#include <cerrno>
#include <cstring>

#include "download_nocurl.h"
#include "download_parse.h"
#include "locks.h"

namespace {

// A receive armed with the rest of a window may wake a little before the
// window is over; it is armed again, a bounded number of times.
constexpr int kMaxRearms = 100;
constexpr uint32_t kLineStepMs = 100;

// True when the peer has shut down its side of the connection, even with
// unread bytes still queued.
bool PeerHasClosed(VELMAR_SOCKET* sock) {
  pollfd p;
  p.fd = sock->sock;
  p.events = POLLIN | POLLRDHUP;
  p.revents = 0;
  if (poll(&p, 1, 0) <= 0) return false;
  return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Sets the socket's receive time-out to what is left of the per-receive
// time-out and of the rate window, whichever ends first. Returns it.
uint32_t Arm(VDL_RECEIVER* rx, VELMAR_SOCKET* sock) {
  uint32_t ms = rx->rate.RemainingMs(vdl_now_ms());
  if (ms > rx->timeoutMs) ms = rx->timeoutMs;
  if (ms == 0) ms = 1;  // 0 would mean no time-out at all
  rx->sockets->SetRecvTimeout(sock, ms);
  return ms;
}

// After a wait or receive that brought nothing within `armedMs`:
// VDL_RECV_TIMED_OUT when that was the whole per-receive time-out,
// VDL_RECV_TOO_SLOW when the window's end cut it short and the window is
// over, 0 when it woke a little before that end (receive again).
int AfterTimeout(VDL_RECEIVER* rx, uint32_t armedMs) {
  if (armedMs >= rx->timeoutMs) return VDL_RECV_TIMED_OUT;
  return rx->rate.TooSlow(vdl_now_ms()) ? VDL_RECV_TOO_SLOW : 0;
}

// After a read that failed: AfterTimeout's result when it timed out,
// VS_LINE_ERROR for any other failure. A TLS read fails when the peer has
// closed without its closing alert; that counts as the close
// (VS_LINE_CLOSED), as it does on a plain connection: a body whose length
// is known is checked against it.
int AfterFailedReceive(VDL_RECEIVER* rx, VELMAR_SOCKET* sock, uint32_t armedMs) {
  if (sock->ssl != nullptr) return PeerHasClosed(sock) ? VS_LINE_CLOSED : VS_LINE_ERROR;
  if (vdl_recv_failure_code(rx->sockets, sock) != VDL_ERR_TIMEOUT) return VS_LINE_ERROR;
  return AfterTimeout(rx, armedMs);
}

// What AwaitRecord found.
constexpr int kReadable = 1;
constexpr int kAgain = 0;

// On a TLS record, waits up to `armedMs` for a whole record (or the peer's
// close), so that the read after it cannot block: kReadable, kAgain, or a
// result (AfterTimeout's, VS_LINE_CLOSED, VS_LINE_ERROR). A plain socket is
// kReadable at once; its receive time-out bounds the read.
int AwaitRecord(VDL_RECEIVER* rx, VELMAR_SOCKET* sock, uint32_t armedMs) {
  if (sock->ssl == nullptr) return kReadable;
  int ready = rx->sockets->SelectRead(sock, armedMs);
  if (ready > 0) return kReadable;
  if (ready == 0) return AfterTimeout(rx, armedMs);
  return AfterFailedReceive(rx, sock, armedMs);
}

// Counts `n` received bytes for the rate, less those counted while a line
// was awaited.
void CountReceived(VDL_RECEIVER* rx, VELMAR_SOCKET* sock, int64_t n) {
  if (rx->aheadSock == sock) {
    int64_t known = rx->ahead < n ? rx->ahead : n;
    rx->ahead -= known;
    n -= known;
  }
  if (n > 0) rx->rate.Count(static_cast<uint64_t>(n), vdl_now_ms());
}

// Peeks at up to `size` bytes: their number, or VS_LINE_CLOSED,
// VS_LINE_ERROR, VDL_RECV_TOO_SLOW or VDL_RECV_TIMED_OUT.
int PeekArmed(VDL_RECEIVER* rx, VELMAR_SOCKET* sock, char* buffer, int32_t size) {
  for (int attempt = 0; attempt < kMaxRearms; attempt++) {
    if (rx->rate.TooSlow(vdl_now_ms())) return VDL_RECV_TOO_SLOW;
    uint32_t armed = Arm(rx, sock);
    int next = AwaitRecord(rx, sock, armed);
    if (next == kReadable) {
      int n = rx->sockets->Peek(sock, buffer, static_cast<uint32_t>(size));
      if (n > 0) return n;
      if (n == 0) return VS_LINE_CLOSED;
      next = AfterFailedReceive(rx, sock, armed);
    }
    if (next != kAgain) return next;
  }
  return VS_LINE_ERROR;
}

// How long the line being awaited has not grown.
struct LineWatch {
  int lastSeen = -1;
  uint32_t stalledMs = 0;
};

// Whether a line of `seen` bytes may be awaited one more step: 0, or the
// line's result. Counts the step.
int MayWait(VDL_RECEIVER* rx, int seen, LineWatch* watch) {
  if (rx->waits > rx->maxWaits) return VS_LINE_INCOMPLETE;
  if (seen > watch->lastSeen) {
    watch->lastSeen = seen;
    watch->stalledMs = 0;
  } else if (watch->stalledMs >= rx->timeoutMs) {
    return VDL_LINE_STALLED;
  }
  rx->waits++;
  watch->stalledMs += kLineStepMs;
  return 0;
}

// One step of waiting for the rest of a line: 0 to look again, else the
// line's result.
int AwaitMore(VDL_RECEIVER* rx, int seen, LineWatch* watch) {
  int result = MayWait(rx, seen, watch);
  if (result != 0) return result;
  Sleep(kLineStepMs);
  return rx->rate.TooSlow(vdl_now_ms()) ? VDL_RECV_TOO_SLOW : 0;
}

// On a TLS record, where the rest of a line comes in a later record: waits
// for that record in steps of up to 100 ms, within the bounds of AwaitMore.
// 0 once something can be read, else the line's result.
int AwaitNextRecord(VDL_RECEIVER* rx, VELMAR_SOCKET* sock, int seen, LineWatch* watch) {
  for (;;) {
    int result = MayWait(rx, seen, watch);
    if (result != 0) return result;
    if (rx->sockets->SelectRead(sock, kLineStepMs) != 0) return 0;  // an error shows in the peek
    if (rx->rate.TooSlow(vdl_now_ms())) return VDL_RECV_TOO_SLOW;
  }
}

// Where a line stands in the buffer: `taken` bytes of it consumed already
// (TLS only), `counted` bytes at the head of the queue counted for the rate.
struct LinePart {
  int64_t taken;
  int64_t counted;
};

// Receives the rest of a line of `length` bytes found by peeking and ends the
// text before its line ends.
int TakeLine(VDL_RECEIVER* rx, VELMAR_SOCKET* sock, char* buffer, int64_t length,
             const LinePart& part) {
  const int64_t rest = length - part.taken;
  if (rest > 0) {
    int n = rx->sockets->Recv(sock, buffer + part.taken, static_cast<uint32_t>(rest));
    if (n == 0) return VS_LINE_CLOSED;
    if (n != rest) return VS_LINE_ERROR;
  }
  rx->aheadSock = sock;
  rx->ahead = part.counted > rest ? part.counted - rest : 0;
  // A line that fills the buffer ends in its LF, so the terminator fits.
  int64_t content = length;
  if (buffer[content - 1] == '\n') content--;
  while (content > 0 && buffer[content - 1] == '\r') content--;
  buffer[content] = '\0';
  return static_cast<int>(content);
}

// Consumes the `seen` bytes peeked after the part of a line already taken:
// on a TLS record a peek shows one record only, and the line goes on in the
// next. False when they could not be received.
bool TakePart(VDL_RECEIVER* rx, VELMAR_SOCKET* sock, char* buffer, int seen, LinePart* part) {
  if (rx->sockets->Recv(sock, buffer + part->taken, static_cast<uint32_t>(seen)) != seen) {
    return false;
  }
  part->taken += seen;
  part->counted = part->counted > seen ? part->counted - seen : 0;
  return true;
}

// The result for a TLS peer that closed behind `taken` bytes of a line: a
// line ended by a CR whose LF never came, else a truncated one.
int EndAtClose(VDL_RECEIVER* rx, VELMAR_SOCKET* sock, char* buffer, const LinePart& part) {
  if (buffer[part.taken - 1] != '\r') return VDL_LINE_TRUNCATED;
  return TakeLine(rx, sock, buffer, part.taken, part);
}

}  // namespace

void VdlRateGuard::Start(uint32_t bytesPerSecond, uint32_t windowSeconds, uint64_t nowMs) {
  quota = static_cast<uint64_t>(bytesPerSecond) * windowSeconds;
  windowMs = static_cast<uint64_t>(windowSeconds) * 1000;
  windowStart = nowMs;
  counted = 0;
}

void VdlRateGuard::Count(uint64_t bytes, uint64_t nowMs) {
  // Bytes that come after a window has failed do not rescue it.
  if (quota == 0 || TooSlow(nowMs)) return;
  counted += bytes;
  if (counted >= quota) {
    windowStart = nowMs;
    counted = 0;
  }
}

bool VdlRateGuard::TooSlow(uint64_t nowMs) const {
  return quota != 0 && nowMs >= windowStart && nowMs - windowStart >= windowMs;
}

uint32_t VdlRateGuard::RemainingMs(uint64_t nowMs) const {
  if (quota == 0) return UINT32_MAX;
  uint64_t elapsed = nowMs > windowStart ? nowMs - windowStart : 0;
  if (elapsed >= windowMs) return 1;
  uint64_t left = windowMs - elapsed;
  return left > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(left);
}

uint64_t vdl_now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

void vdl_receiver_init(VDL_RECEIVER* rx, Velmar_Sockets3* sockets, uint32_t timeoutMs, int maxWaits,
                       uint32_t minRate, uint32_t windowSeconds) {
  rx->sockets = sockets;
  rx->rate.Start(minRate, windowSeconds, vdl_now_ms());
  rx->timeoutMs = timeoutMs;
  rx->waits = 0;
  rx->maxWaits = maxWaits;
  rx->aheadSock = nullptr;
  rx->ahead = 0;
}

int vdl_recv_line(VDL_RECEIVER* rx, VELMAR_SOCKET* sock, char* buffer, int32_t size) {
  if (size < 2) return VS_LINE_FULL;
  LineWatch watch;
  LinePart part = {0, rx->aheadSock == sock ? rx->ahead : 0};
  const bool tls = sock->ssl != nullptr;
  for (;;) {
    // Looked at before peeking, so that a peer found closed has every byte
    // it sent in the peek. A TLS peer may have closed behind records not
    // read yet: its close shows in the peek.
    const bool closed = !tls && PeerHasClosed(sock);
    const int64_t room = size - part.taken;
    int seen = PeekArmed(rx, sock, buffer + part.taken, static_cast<int32_t>(room));
    if (seen == VS_LINE_CLOSED && part.taken > 0) return EndAtClose(rx, sock, buffer, part);
    if (seen <= 0) return seen;
    if (seen > part.counted) {
      rx->rate.Count(static_cast<uint64_t>(seen - part.counted), vdl_now_ms());
      part.counted = seen;
    }
    const size_t have = static_cast<size_t>(part.taken + seen);
    int64_t length = vdl_line_length(buffer, have, static_cast<size_t>(size), closed);
    if (length > 0) return TakeLine(rx, sock, buffer, length, part);
    if (length < 0) return VS_LINE_FULL;
    if (closed) return VDL_LINE_TRUNCATED;
    int waited = 0;
    if (tls) {
      if (!TakePart(rx, sock, buffer, seen, &part)) return VS_LINE_ERROR;
      waited = AwaitNextRecord(rx, sock, static_cast<int>(part.taken), &watch);
    } else if (PeerHasClosed(sock)) {
      continue;  // the close may have come with the bytes just seen: look again at once
    } else {
      waited = AwaitMore(rx, seen, &watch);
    }
    if (waited != 0) return waited;
  }
}

int vdl_recv_chunk(VDL_RECEIVER* rx, VELMAR_SOCKET* sock, char* buffer, uint32_t size) {
  for (int attempt = 0; attempt < kMaxRearms; attempt++) {
    if (rx->rate.TooSlow(vdl_now_ms())) return VDL_RECV_TOO_SLOW;
    uint32_t armed = Arm(rx, sock);
    int next = AwaitRecord(rx, sock, armed);
    if (next == kReadable) {
      int n = rx->sockets->Recv(sock, buffer, size);
      if (n > 0) {
        CountReceived(rx, sock, n);
        return n;
      }
      if (n == 0) return 0;
      next = AfterFailedReceive(rx, sock, armed);
    }
    if (next == VS_LINE_CLOSED) return 0;
    if (next != kAgain) return next;
  }
  return VS_LINE_ERROR;
}

int32_t vdl_recv_failure_code(Velmar_Sockets3* sockets, VELMAR_SOCKET* sock) {
  int error = sockets->GetLastError(sock);
  if (error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT) return VDL_ERR_TIMEOUT;
  return VDL_ERR_INVALID_RESPONSE;
}

bool vdl_connect(Velmar_Sockets3* sockets, VELMAR_SOCKET* sock, const char* host, uint32_t port,
                 uint32_t timeoutMs) {
  if (port == 0 || port > 65535) return false;
  if (!sockets->ConnectWithTimeout(sock, host, static_cast<int>(port), timeoutMs)) return false;
  sockets->SetRecvTimeout(sock, timeoutMs);
  return true;
}
