// The report of `updater --check`: what an update would do, printed after
// the parser's lines, in lines that a monitoring check or a script can grep.
//
// Thread-safety: call from the thread that drives the Updater.
#ifndef UPDATER_CLI_CHECK_H_
#define UPDATER_CLI_CHECK_H_

#include <cstdio>

class Updater;
struct UpdatePlan;

// Exit statuses of a check beside 0 (up to date) and 1 (an error).
constexpr int kUpdatePending = 2;

// Prints `plan` to `out`, one line per file, then the totals. Returns 0 when
// the plan is empty, kUpdatePending otherwise.
int PrintPlan(const UpdatePlan& plan, FILE* out);

// Asks `updater` (parsed, in dry-run mode) for its plan and prints it.
// Returns PrintPlan's status, or 1 after printing the error when no plan
// could be made.
int RunCheck(Updater* updater, FILE* out);

#endif  // UPDATER_CLI_CHECK_H_
