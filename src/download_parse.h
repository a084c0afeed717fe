// The downloader's text parsers: the http URL, the HTTP status line, header
// values and Content-Range, the FTP reply line, the passive reply, the size
// in the 150 reply, and where a received line ends. They need no socket,
// keep no state and are safe on any thread; every input is a NUL-terminated
// text or a counted byte range that they only read. Internal to the
// download_nocurl module, its tests and its fuzz targets.
#ifndef UPDATER_SRC_DOWNLOAD_PARSE_H_
#define UPDATER_SRC_DOWNLOAD_PARSE_H_

#include <cstddef>
#include <cstdint>

#include "download_nocurl.h"

// The parts of an http or https URL, sized like the downloader's members.
struct VDL_URL_PARTS {
  char host[128];
  char path[512];
  uint32_t port;
  bool tls;  // https
};

// Splits "http://host[:port]/path" or "https://host[:port]/path" (scheme in
// any case; port 80 or 443 unless given; the path keeps its query text
// unchanged; a port that is not a number reads as 0). Returns VDL_ERR_NONE,
// VDL_ERR_INVALID_PROTOCOL for a text without any "/", or VDL_ERR_INVALID_URL
// for another scheme, a URL without a path, a host or path too long for its
// field, or control characters. `out` is filled only on success.
int32_t vdl_parse_http_url(const char* url, VDL_URL_PARTS* out);

// True when `text` holds a byte below 32 or the byte 127 (such bytes would
// break a request or command line).
bool vdl_has_control_chars(const char* text);

// Removes trailing line ends (all LF, then all CR, then all LF) and returns
// the remaining length.
size_t vdl_trim_line_ends(char* line);

// The status code of an HTTP status line, "HTTP/x.y NNN" with a digit each
// for x and y, one space, and exactly three digits ended by a blank or the
// end of the line (a reason text may follow). -1 for any other line.
int vdl_parse_status_line(const char* line);

// What a status code means for a transfer: VDL_ERR_NONE for 200, for 206
// when a range was asked for, and for the redirect codes 301, 302, 303, 307
// and 308 (their "Location:" header decides); VDL_ERR_AUTH for 401,
// VDL_ERR_NOT_FOUND for 404; VDL_ERR_INVALID_RESPONSE for every other code.
int32_t vdl_http_status_result(int status, bool rangeAsked);

// True for the status codes that redirect with a "Location:" header.
bool vdl_http_is_redirect(int status);

// The value of header `name` (given with its colon, e.g. "Content-Length:")
// in `line`, compared ignoring case with no space allowed before the colon;
// one space after the colon is skipped. A pointer into `line`, or null when
// the line is another header.
const char* vdl_http_header_value(const char* line, const char* name);

// Reads a Content-Length value (leading blanks skipped, decimal). False for a
// value that is not a non-negative decimal number.
bool vdl_parse_content_length(const char* value, int64_t* length);

// A Content-Range value of a partial response, "bytes START-END/TOTAL".
struct VDL_CONTENT_RANGE {
  int64_t start;
  int64_t end;    // the last byte sent, inclusive
  int64_t total;  // the whole file's size; -1 when the server gave "*"
};

// Parses a Content-Range value ("bytes" in any case, blanks around it
// allowed). False unless START <= END and, with a TOTAL, END < TOTAL; `out`
// is filled only on success.
bool vdl_parse_content_range(const char* value, VDL_CONTENT_RANGE* out);

// The reply code at the start of an FTP reply line (digits up to the first
// non-digit; 0 when there are none) and, in `text`, what follows the first
// space (the whole line when there is no space).
int vdl_ftp_reply_code(const char* line, const char** text);

// Parses the "(h1,h2,h3,h4,p1,p2)" of a passive reply: the address as
// "%u.%u.%u.%u" into `address` (at least 16 bytes) and the port. False when
// the parentheses or any of the six numbers (each 0 to 255) are missing.
bool vdl_parse_pasv_reply(const char* text, char* address, size_t addressSize, uint32_t* port);

// The size announced in a 150 reply: N of the last "(N bytes)" in the text;
// -1 when there is none (or N does not fit 63 bits): the size is unknown.
int64_t vdl_parse_150_size(const char* text);

// Where the line at the head of `count` received bytes ends, for a line
// buffer of `capacity` bytes: the line's length with its line end (an LF, or
// a CR not followed by an LF), 0 when more bytes are needed, -1 when the line
// cannot fit. A CR that is the last byte ends a line only when `final` (no
// more bytes will come); before that its LF may still arrive. A line and its
// line end must fit in `capacity` bytes, so that what is left without the
// line end leaves room for a terminator.
int64_t vdl_line_length(const char* bytes, size_t count, size_t capacity, bool final);

#endif  // UPDATER_SRC_DOWNLOAD_PARSE_H_
