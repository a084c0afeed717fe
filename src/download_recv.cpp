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

// After a receive that brought nothing: VDL_RECV_TOO_SLOW when the window's
// end cut it short and the window is over, 0 when it woke a little before
// that end (receive again), VS_LINE_ERROR for any other failure, its own
// time-out included.
int AfterFailedReceive(VDL_RECEIVER* rx, VELMAR_SOCKET* sock, uint32_t armedMs) {
  if (vdl_recv_failure_code(rx->sockets, sock) != VDL_ERR_TIMEOUT) return VS_LINE_ERROR;
  if (armedMs >= rx->timeoutMs) return VS_LINE_ERROR;
  return rx->rate.TooSlow(vdl_now_ms()) ? VDL_RECV_TOO_SLOW : 0;
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
// VS_LINE_ERROR or VDL_RECV_TOO_SLOW.
int PeekArmed(VDL_RECEIVER* rx, VELMAR_SOCKET* sock, char* buffer, int32_t size) {
  for (int attempt = 0; attempt < kMaxRearms; attempt++) {
    if (rx->rate.TooSlow(vdl_now_ms())) return VDL_RECV_TOO_SLOW;
    uint32_t armed = Arm(rx, sock);
    int n = rx->sockets->Peek(sock, buffer, static_cast<uint32_t>(size));
    if (n > 0) return n;
    if (n == 0) return VS_LINE_CLOSED;
    int next = AfterFailedReceive(rx, sock, armed);
    if (next != 0) return next;
  }
  return VS_LINE_ERROR;
}

// How long the line being awaited has not grown.
struct LineWatch {
  int lastSeen = -1;
  uint32_t stalledMs = 0;
};

// One step of waiting for the rest of a line: 0 to look again, else the
// line's result.
int AwaitMore(VDL_RECEIVER* rx, int seen, LineWatch* watch) {
  if (rx->waits > rx->maxWaits) return VS_LINE_INCOMPLETE;
  if (seen > watch->lastSeen) {
    watch->lastSeen = seen;
    watch->stalledMs = 0;
  } else if (watch->stalledMs >= rx->timeoutMs) {
    return VDL_LINE_STALLED;
  }
  rx->waits++;
  Sleep(kLineStepMs);
  watch->stalledMs += kLineStepMs;
  return rx->rate.TooSlow(vdl_now_ms()) ? VDL_RECV_TOO_SLOW : 0;
}

// Receives the `length` bytes of a line found by peeking and ends the text
// before its line ends. `counted` bytes of the queue were counted for the
// rate already.
int TakeLine(VDL_RECEIVER* rx, VELMAR_SOCKET* sock, char* buffer, int64_t length, int64_t counted) {
  int n = rx->sockets->Recv(sock, buffer, static_cast<uint32_t>(length));
  if (n == 0) return VS_LINE_CLOSED;
  if (n != length) return VS_LINE_ERROR;
  rx->aheadSock = sock;
  rx->ahead = counted > length ? counted - length : 0;
  // A line that fills the buffer ends in its LF, so the terminator fits.
  int64_t content = length;
  if (buffer[content - 1] == '\n') content--;
  while (content > 0 && buffer[content - 1] == '\r') content--;
  buffer[content] = '\0';
  return static_cast<int>(content);
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
  int64_t counted = rx->aheadSock == sock ? rx->ahead : 0;
  for (;;) {
    // Looked at before peeking, so that a peer found closed has every byte
    // it sent in the peek.
    const bool closed = PeerHasClosed(sock);
    int seen = PeekArmed(rx, sock, buffer, size);
    if (seen <= 0) return seen;
    if (seen > counted) {
      rx->rate.Count(static_cast<uint64_t>(seen - counted), vdl_now_ms());
      counted = seen;
    }
    int64_t length =
        vdl_line_length(buffer, static_cast<size_t>(seen), static_cast<size_t>(size), closed);
    if (length > 0) return TakeLine(rx, sock, buffer, length, counted);
    if (length < 0) return VS_LINE_FULL;
    if (closed) return VDL_LINE_TRUNCATED;
    // The close may have come with the bytes just seen: look again at once.
    if (PeerHasClosed(sock)) continue;
    int waited = AwaitMore(rx, seen, &watch);
    if (waited != 0) return waited;
  }
}

int vdl_recv_chunk(VDL_RECEIVER* rx, VELMAR_SOCKET* sock, char* buffer, uint32_t size) {
  for (int attempt = 0; attempt < kMaxRearms; attempt++) {
    if (rx->rate.TooSlow(vdl_now_ms())) return VDL_RECV_TOO_SLOW;
    uint32_t armed = Arm(rx, sock);
    int n = rx->sockets->Recv(sock, buffer, size);
    if (n > 0) {
      CountReceived(rx, sock, n);
      return n;
    }
    if (n == 0) return 0;
    int next = AfterFailedReceive(rx, sock, armed);
    if (next != 0) return next;
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
