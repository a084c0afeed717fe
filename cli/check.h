// The report of `updater --check`: what an update would do, printed after
// the parser's lines, in lines that a monitoring check or a script can grep.
//
// Thread-safety: call from the thread that drives the Updater.
#ifndef UPDATER_CLI_CHECK_H_
#define UPDATER_CLI_CHECK_H_

#include <cstdio>

class Updater;

// Exit status of a check that finds an update pending, beside 0 (up to
// date) and 1 (an error).
constexpr int kUpdatePending = 2;

// Asks `updater` (parsed, in dry-run mode) for its plan and prints it to
// `out`: one line per file, then the totals. Returns 0 when there is
// nothing to do, kUpdatePending when there is, or 1 after printing the error
// when no plan could be made.
int RunCheck(Updater* updater, FILE* out);

#endif  // UPDATER_CLI_CHECK_H_
