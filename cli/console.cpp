#include "console.h"

#include <strings.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "GenLib.h"

UpdaterCallbacks g_consoleCallbacks = {PlainProgress, NamedProgress, PrintLine, PrintLine,
                                       TransfersProgress};

namespace {

// The name the named bar showed last; never cleared, so the first file's
// line needs no line feed before it.
char g_lastName[1024];

// Collects one progress line and drops whatever would pass its limit: the
// terminal width or the buffer, whichever is smaller.
class LineWriter {
 public:
  LineWriter(char* out, size_t outSize, int width)
      : out_(out),
        limit_(out == nullptr || outSize == 0
                   ? 0
                   : std::min(outSize - 1, static_cast<size_t>(std::max(width, 0)))),
        length_(0),
        terminate_(out != nullptr && outSize > 0) {}

  void Append(const char* text) { Append(text, strlen(text)); }
  void Append(const char* text, size_t count) {
    count = std::min(count, limit_ - length_);
    if (count == 0) return;
    memcpy(out_ + length_, text, count);
    length_ += count;
  }
  void Repeat(char c, size_t count) {
    count = std::min(count, limit_ - length_);
    if (count == 0) return;
    memset(out_ + length_, c, count);
    length_ += count;
  }
  // Fills the rest of the line with blanks.
  void Pad() { Repeat(' ', limit_ - length_); }
  size_t Finish() {
    if (terminate_) out_[length_] = '\0';
    return length_;
  }

 private:
  char* out_;
  size_t limit_;
  size_t length_;
  bool terminate_;
};

// Number of '#' in a bar of `bar` cells: the share received, truncated, and
// never more than the bar, also when more than the total arrived.
int FilledCells(int64_t received, int64_t total, int bar) {
  if (received <= 0 || total <= 0 || bar <= 0) return 0;
  double share = static_cast<double>(received) / static_cast<double>(total) * bar;
  if (share < 1) return 0;
  if (share >= bar) return bar;
  return static_cast<int>(share);
}

// The bar itself: "\r[", the filled cells, the blank cells, "] ".
void AppendBar(LineWriter* line, int64_t received, int64_t total, int bar) {
  int filled = FilledCells(received, total, bar);
  line->Append("\r[");
  line->Repeat('#', filled);
  line->Repeat(' ', bar - filled);
  line->Append("] ");
}

}  // namespace

size_t BuildPlainBar(char* out, size_t outSize, int width, int64_t received, int64_t total) {
  LineWriter line(out, outSize, width);
  uint64_t count = received < 0 ? 0 : static_cast<uint64_t>(received);
  char text[64];
  if (total <= 0) {
    snprintf(text, sizeof(text), "\rDownloading: %" PRIu64 " bytes received          ", count);
    line.Append(text);
    return line.Finish();
  }
  snprintf(text, sizeof(text), "%" PRIu64 " bytes", count);
  // "\r[" + bar + "] " + text must fit in the width; 20 leaves room for
  // counts of up to ten digits, longer ones shrink the bar.
  int fixed = 4 + static_cast<int>(strlen(text));
  int bar = std::max(0, std::min(width - 20, width - fixed));
  AppendBar(&line, received, total, bar);
  line.Append(text);
  line.Pad();
  return line.Finish();
}

size_t BuildNamedBar(char* out, size_t outSize, int width, const char* name, int64_t received,
                     int64_t total) {
  LineWriter line(out, outSize, width);
  if (name == nullptr) name = "";
  char count[32];
  snprintf(count, sizeof(count), "%" PRId64, received);
  if (total <= 0) {
    line.Append("\rDownloading ");
    line.Append(name);
    line.Append(": ");
    line.Append(count);
    line.Append(" bytes received          ");
    return line.Finish();
  }
  // "\r[" + bar + "] " + name + " " + count + " bytes" is 11 characters
  // besides bar, name and count. A short name gives a bar of width - 35; a
  // long one shrinks it so that the text ends at the right edge; a name too
  // long even for an empty bar keeps its end, behind "...".
  int nameRoom = width - 11 - static_cast<int>(strlen(count));
  int nameLength = static_cast<int>(strlen(name));
  const char* shown = name;
  bool shortened = false;
  if (nameLength > nameRoom && nameRoom >= 4) {
    shown = name + nameLength - (nameRoom - 3);
    shortened = true;
  }
  int bar = std::max(0, std::min(nameRoom - nameLength, width - 35));
  AppendBar(&line, received, total, bar);
  if (shortened) line.Append("...");
  line.Append(shown);
  line.Append(" ");
  line.Append(count);
  line.Append(" bytes");
  line.Pad();
  return line.Finish();
}

size_t BuildTransfersLine(char* out, size_t outSize, int width, const UpdaterTransfers& transfers) {
  LineWriter line(out, outSize, width);
  char text[96];
  snprintf(text, sizeof(text), "\r%d of %d files, %" PRId64 " bytes", transfers.filesDone,
           transfers.filesTotal, transfers.bytesReceived);
  line.Append(text);
  int count = transfers.active != nullptr ? std::max(transfers.activeCount, 0) : 0;
  size_t used = strlen(text);
  int shown = 0;
  // A name goes in only whole, and only with room left for the count of
  // the names after it.
  for (; shown < count; ++shown) {
    const char* name = transfers.active[shown] != nullptr ? transfers.active[shown] : "";
    int left = count - shown - 1;
    size_t tail = left > 0 ? static_cast<size_t>(snprintf(text, sizeof(text), " +%d", left)) : 0;
    size_t need = 2 + strlen(name) + tail;
    if (used + need > static_cast<size_t>(std::max(width, 0))) break;
    line.Append(shown == 0 ? ": " : ", ");
    line.Append(name);
    used += 2 + strlen(name);
  }
  if (shown < count) {
    snprintf(text, sizeof(text), " +%d", count - shown);
    line.Append(text);
  }
  line.Pad();
  return line.Finish();
}

int ConsoleWidth() {
  struct winsize size;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
  return size.ws_col;
}

bool PlainProgress(int64_t received, int64_t total, void* userData) {
  int width = ConsoleWidth();
  std::vector<char> line(static_cast<size_t>(width) + 2);
  BuildPlainBar(line.data(), line.size(), width, received, total);
  fputs(line.data(), stdout);
  fflush(stdout);
  return true;
}

bool NamedProgress(int64_t received, int64_t total, void* userData) {
  const char* name = userData != nullptr ? static_cast<const char*>(userData) : "";
  // Names are remembered up to 1023 characters; longer names that agree in
  // those count as the same file.
  if (strncasecmp(g_lastName, name, sizeof(g_lastName) - 1) != 0) {
    if (g_lastName[0] != '\0') fputs("\n", stdout);
    strlcpy(g_lastName, name, sizeof(g_lastName));
  }
  int width = ConsoleWidth();
  std::vector<char> line(static_cast<size_t>(width) + 2);
  BuildNamedBar(line.data(), line.size(), width, name, received, total);
  fputs(line.data(), stdout);
  fflush(stdout);
  return true;
}

void PrintLine(const char* text) { printf("%s\n", text != nullptr ? text : ""); }

void TransfersProgress(const UpdaterTransfers* transfers) {
  if (transfers == nullptr) return;
  int width = ConsoleWidth();
  std::vector<char> line(static_cast<size_t>(width) + 2);
  BuildTransfersLine(line.data(), line.size(), width, *transfers);
  fputs(line.data(), stdout);
  if (transfers->endLine) fputs("\n", stdout);
  fflush(stdout);
}
