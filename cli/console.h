// Console output of the updater: the callback table handed to the engine, the
// two progress bars, the line of several transfers at once, and the line
// printer.
//
// Progress lines begin with a carriage return and end without a line feed, so
// every call redraws the same terminal line; they are sized to the width of
// the terminal on standard output (80 columns when it has none). The line
// builders are pure functions of their arguments. The callbacks write to
// standard output and the named bar remembers the last file name in a
// process-wide buffer, so they are meant for one thread, as the engine calls
// them.
#ifndef UPDATER_CLI_CONSOLE_H_
#define UPDATER_CLI_CONSOLE_H_

#include <cstddef>
#include <cstdint>

#include "updater.h"

// The table handed to Updater::Init: plain bar, named bar, line printer
// twice, and the line of several transfers at once.
extern UpdaterCallbacks g_consoleCallbacks;

// Columns of the terminal on standard output; 80 when the terminal-size
// request fails or reports 0.
int ConsoleWidth();

// Build the progress line for a terminal `width` columns wide into `out`
// (`outSize` bytes, at least width + 2 for the whole line) and return its
// length. The line never holds more than `width` characters, carriage return
// included, nor more than outSize - 1; it is always zero-terminated when
// outSize is not 0. A total of 0 (or less) means the size is unknown. Bytes
// received above the total show a full bar; a name or number too long for
// the line shortens the bar, then the name, then cuts the line.
size_t BuildPlainBar(char* out, size_t outSize, int width, int64_t received, int64_t total);
size_t BuildNamedBar(char* out, size_t outSize, int width, const char* name, int64_t received,
                     int64_t total);

// Build the line of several pack transfers at once, under the same limits:
// "\r", "D of T files, N bytes", then ": " and the names of the files being
// downloaded, separated by ", ", as many whole names as fit, and " +K" for
// the K that do not; blanks up to the width.
size_t BuildTransfersLine(char* out, size_t outSize, int width, const UpdaterTransfers& transfers);

// The callbacks of the table. Both bars always return true.
bool PlainProgress(int64_t received, int64_t total, void* userData);
// `userData` is the file name as text (null is taken as empty). A name that
// differs, without regard to case, from the one shown last first ends the
// previous line with a line feed.
bool NamedProgress(int64_t received, int64_t total, void* userData);
// Prints the text and a line feed.
void PrintLine(const char* text);
// Redraws the line of several transfers; a line feed after it when
// `endLine` is set.
void TransfersProgress(const UpdaterTransfers* transfers);

#endif  // UPDATER_CLI_CONSOLE_H_
