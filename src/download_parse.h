// The downloader's text parsers and its shared receive helpers: the http URL,
// the HTTP status line and header values, the FTP reply line, the passive
// reply and the size in the 150 reply. The parsers need no socket and keep no
// state (safe on any thread); the receive helpers work on one socket record
// used by one thread. Internal to the download_nocurl module and its tests.
#ifndef UPDATER_SRC_DOWNLOAD_PARSE_H_
#define UPDATER_SRC_DOWNLOAD_PARSE_H_

#include <cstddef>
#include <cstdint>

#include "download_nocurl.h"
#include "sockets3.h"

// The parts of an http URL, sized like the downloader's members.
struct VDL_URL_PARTS {
  char host[128];
  char path[512];
  uint32_t port;
};

// Splits "http://host[:port]/path" (scheme in any case; the path keeps its
// query text unchanged; a port that is not a number reads as 0). Returns
// VDL_ERR_NONE, VDL_ERR_INVALID_PROTOCOL for a text without any "/", or
// VDL_ERR_INVALID_URL for another scheme, a URL without a path, a host or
// path too long for its field, or control characters. `out` is filled only on
// success.
int32_t vdl_parse_http_url(const char* url, VDL_URL_PARTS* out);

// True when `text` holds a byte below 32 or the byte 127 (such bytes would
// break a request or command line).
bool vdl_has_control_chars(const char* text);

// Removes trailing line ends (all LF, then all CR, then all LF) and returns
// the remaining length.
size_t vdl_trim_line_ends(char* line);

// Judges a status line by the codes it contains: VDL_ERR_AUTH for "401",
// else VDL_ERR_NOT_FOUND for "404", else VDL_ERR_NONE for "200" or "302",
// else VDL_ERR_INVALID_RESPONSE.
int32_t vdl_http_status_result(const char* line);

// The value of header `name` (given with its colon, e.g. "Content-Length:")
// in `line`, compared ignoring case with no space allowed before the colon;
// one space after the colon is skipped. A pointer into `line`, or null when
// the line is another header.
const char* vdl_http_header_value(const char* line, const char* name);

// Reads a Content-Length value (leading blanks skipped, decimal). False for a
// value that is not a non-negative decimal number.
bool vdl_parse_content_length(const char* value, int64_t* length);

// The reply code at the start of an FTP reply line (digits up to the first
// non-digit; 0 when there are none) and, in `text`, what follows the first
// space (the whole line when there is no space).
int vdl_ftp_reply_code(const char* line, const char** text);

// Parses the "(h1,h2,h3,h4,p1,p2)" of a passive reply: the address as
// "%u.%u.%u.%u" into `address` (at least 16 bytes) and the port. False when
// the parentheses or any of the six numbers (each 0 to 255) are missing.
bool vdl_parse_pasv_reply(const char* text, char* address, size_t addressSize, uint32_t* port);

// The size announced in a 150 reply, "(N bytes)": N; -1 when there is no "("
// (no size given); -2 when the text after "(" does not begin with a number
// (size unknown).
int64_t vdl_parse_150_size(const char* text);

// Results of vdl_recv_line beyond RecvLine's own: the wait for the rest of a
// line ran out, or the peer closed behind an incomplete line.
constexpr int VDL_LINE_STALLED = -5;
constexpr int VDL_LINE_TRUNCATED = -6;

// Receives one line like RecvLine, waiting for an incomplete line in steps of
// 100 ms. `*waits` counts the steps over a whole exchange; above `maxWaits`
// the result is VS_LINE_INCOMPLETE. A line that stops growing for `stallMs`
// gives VDL_LINE_STALLED; a peer that closed behind an incomplete line gives
// VDL_LINE_TRUNCATED (its bytes stay unread). A CR that ends the bytes
// waiting is not taken as a line end while the peer is connected: its LF may
// follow in the next packet.
int vdl_recv_line(Velmar_Sockets3* sockets, VELMAR_SOCKET* sock, char* buffer, int32_t size,
                  int* waits, int maxWaits, uint32_t stallMs);

// The downloader's code for a failed receive on `sock`: VDL_ERR_TIMEOUT when
// the socket's error is a receive time-out, else VDL_ERR_INVALID_RESPONSE.
int32_t vdl_recv_failure_code(Velmar_Sockets3* sockets, VELMAR_SOCKET* sock);

// Connects `sock` to host and port within `timeoutMs`, with the reception
// time-out set to `timeoutMs` afterwards. False when no connection was made.
bool vdl_connect(Velmar_Sockets3* sockets, VELMAR_SOCKET* sock, const char* host, uint32_t port,
                 uint32_t timeoutMs);

#endif  // UPDATER_SRC_DOWNLOAD_PARSE_H_
