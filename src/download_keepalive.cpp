#define MEMLEAK_SOURCE "download_nocurl"
// The connection kept between HTTP transfers.
#include "download_keepalive.h"

#include <strings.h>

#include <cstring>
#include <new>

#include "GenLib.h"
#include "memleak.h"

VdlConnectionCache::VdlConnectionCache() : sockets_(new (std::nothrow) Velmar_Sockets3()) {}

VdlConnectionCache::~VdlConnectionCache() {
  Drop();
  delete sockets_;
}

VELMAR_SOCKET* VdlConnectionCache::Take(const char* host, uint32_t port, bool secure) {
  if (sock_ == nullptr) return nullptr;
  if (port != port_ || secure != secure_ || strcasecmp(host, host_) != 0) {
    Drop();
    return nullptr;
  }
  VELMAR_SOCKET* sock = sock_;
  sock_ = nullptr;
  return sock;
}

void VdlConnectionCache::Keep(VELMAR_SOCKET* sock, const char* host, uint32_t port, bool secure) {
  Drop();
  if (strlcpy(host_, host, sizeof(host_)) >= sizeof(host_)) {
    sockets_->Close(sock);
    return;
  }
  sock_ = sock;
  port_ = port;
  secure_ = secure;
}

void VdlConnectionCache::Drop() {
  if (sock_ != nullptr) sockets_->Close(sock_);
  sock_ = nullptr;
}
