#define MEMLEAK_SOURCE "sockets3"
// The last-error state of the socket layer: system errors turned into text in
// this one place, the layer's own codes, and the console trace.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "GenLib.h"
#include "sockets3.h"

int Velmar_Sockets3::GetLastError(VELMAR_SOCKET* sock) {
  return sock != nullptr ? sock->lastError : lastError;
}

const char* Velmar_Sockets3::GetLastErrorString(VELMAR_SOCKET* sock) {
  return sock != nullptr ? sock->lastErrorText : lastErrorText;
}

void Velmar_Sockets3::pSetError(int32_t code, const char* text) {
  lastError = code;
  strlcpy(lastErrorText, text, sizeof(lastErrorText));
}

void Velmar_Sockets3::pSetError(VELMAR_SOCKET* sock, int32_t code, const char* text) {
  pSetError(code, text);
  if (sock == nullptr) return;
  sock->lastError = code;
  strlcpy(sock->lastErrorText, text, sizeof(sock->lastErrorText));
}

// Copies the object's state to the record, then traces it. Codes that only
// mean "not yet" or "nothing" are never traced.
void Velmar_Sockets3::pTraceError() {
  switch (lastError) {
    case 0:
    case ENOENT:
    case EAGAIN:
    case ENOTCONN:
    case EINPROGRESS:
      return;
    default:
      break;
  }
  if (!quiet) printf("pUpdateError(): %d -> %s\n", lastError, lastErrorText);
}

void Velmar_Sockets3::pUpdateError(VELMAR_SOCKET* sock) {
  const int error = errno;
  lastError = error;
  if (error != 0) {
    const char* text = strerror(error);
    if (text != nullptr && text[0] != '\0') {
      // The text keeps at most 510 characters.
      strlcpy(lastErrorText, text, sizeof(lastErrorText) - 1);
    } else {
      snprintf(lastErrorText, sizeof(lastErrorText), "Unknown Error (Code: %d)", error);
    }
  }
  if (sock != nullptr) {
    sock->lastError = lastError;
    strlcpy(sock->lastErrorText, lastErrorText, sizeof(sock->lastErrorText));
  }
  pTraceError();
  errno = error;
}

void Velmar_Sockets3::pUpdateError(VELMAR_SOCKET* sock, const char* text) {
  const int error = errno;
  lastError = error;
  strlcpy(lastErrorText, text != nullptr ? text : "", sizeof(lastErrorText));
  if (sock != nullptr) {
    sock->lastError = lastError;
    strlcpy(sock->lastErrorText, lastErrorText, sizeof(sock->lastErrorText));
  }
  pTraceError();
  errno = error;
}
