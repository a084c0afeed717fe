// A connection kept open from one HTTP transfer to the next, so that many
// small files from one server do not each pay for a new connection (and a
// new TLS handshake).
//
// A downloader given a cache (VelmarDownloadNoCurl::SetConnectionCache) asks
// for "Connection: keep-alive", takes the kept connection when it leads to
// the same scheme, host and port, and hands its connection back when the
// server agreed to keep it ("Connection: keep-alive" in the answer) and the
// body ended where its Content-Length said. A kept connection that the
// server has closed meanwhile is noticed before any answer arrives, and the
// request goes once more over a new connection. Without a cache a transfer
// uses one connection with "Connection: close", as always.
//
// Thread-safety: none; a cache belongs to one thread, and to one transfer at
// a time. It owns the socket object of its connection, so the connection
// outlives the downloaders that use it.
#ifndef UPDATER_SRC_DOWNLOAD_KEEPALIVE_H_
#define UPDATER_SRC_DOWNLOAD_KEEPALIVE_H_

#include <cstdint>

#include "sockets3.h"

class VdlConnectionCache {
 public:
  VdlConnectionCache();
  ~VdlConnectionCache();  // closes the kept connection
  VdlConnectionCache(const VdlConnectionCache&) = delete;
  VdlConnectionCache& operator=(const VdlConnectionCache&) = delete;

  // The socket object that every connection of this cache belongs to; null
  // when it could not be made (a downloader then fails with VDL_ERR_SOCKET).
  Velmar_Sockets3* Sockets() { return sockets_; }

  // The kept connection when it leads to `host` and `port` over the same
  // scheme; the caller owns it then. Any other kept connection is closed.
  // Null when there is none to take.
  VELMAR_SOCKET* Take(const char* host, uint32_t port, bool secure);
  // Keeps `sock` (made by Sockets()) for the next transfer, closing any
  // connection kept before. A host name too long to note is not kept.
  void Keep(VELMAR_SOCKET* sock, const char* host, uint32_t port, bool secure);

 private:
  void Drop();

  Velmar_Sockets3* sockets_;
  VELMAR_SOCKET* sock_ = nullptr;
  char host_[128] = {};
  uint32_t port_ = 0;
  bool secure_ = false;
};

#endif  // UPDATER_SRC_DOWNLOAD_KEEPALIVE_H_
