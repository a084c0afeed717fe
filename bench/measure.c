// measure: runs one command and reports its wall time, CPU time and peak
// memory, taken from wait4's resource usage of the command (its waited-for
// descendants included), so a shell pipeline is measured as a whole.
//
// Usage: measure [-t SECONDS] [-C DIR] [-o LOG] -- COMMAND [ARG...]
//
// Prints one line to standard output:
//   WALL_S USER_S SYS_S MAXRSS_KIB STATUS
// where STATUS is "ok" (exit status 0), "exit:N", "signal:N" or "timeout".
// The command runs in its own process group with standard input from
// /dev/null and, with -o, standard output and error going to LOG. After
// SECONDS (default 600) the whole group is killed and the status is
// "timeout". Exits 0 when a line was printed, 2 for a usage or system error,
// 130 when interrupted (the command's group is killed first).
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

struct options {
  double timeout;
  const char* dir;
  const char* log;
  char** command;
};

static double now_seconds(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static double timeval_seconds(struct timeval tv) {
  return (double)tv.tv_sec + (double)tv.tv_usec / 1e6;
}

static int usage(void) {
  fprintf(stderr, "usage: measure [-t SECONDS] [-C DIR] [-o LOG] -- COMMAND [ARG...]\n");
  return 2;
}

static int parse_options(int argc, char** argv, struct options* opts) {
  int c;
  opts->timeout = 600;
  opts->dir = NULL;
  opts->log = NULL;
  while ((c = getopt(argc, argv, "+t:C:o:")) != -1) {
    switch (c) {
      case 't':
        opts->timeout = atof(optarg);
        if (opts->timeout <= 0) return -1;
        break;
      case 'C':
        opts->dir = optarg;
        break;
      case 'o':
        opts->log = optarg;
        break;
      default:
        return -1;
    }
  }
  if (optind >= argc) return -1;
  opts->command = argv + optind;
  return 0;
}

// In the child: own process group, working directory, redirections, exec.
static void run_child(const struct options* opts) {
  setpgid(0, 0);
  if (opts->dir != NULL && chdir(opts->dir) != 0) {
    fprintf(stderr, "measure: cannot enter %s: %s\n", opts->dir, strerror(errno));
    _exit(127);
  }
  int in = open("/dev/null", O_RDONLY);
  if (in >= 0) dup2(in, 0);
  if (opts->log != NULL) {
    int out = open(opts->log, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) {
      fprintf(stderr, "measure: cannot open %s: %s\n", opts->log, strerror(errno));
      _exit(127);
    }
    dup2(out, 1);
    dup2(out, 2);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, NULL);
  execvp(opts->command[0], opts->command);
  fprintf(stderr, "measure: cannot run %s: %s\n", opts->command[0], strerror(errno));
  _exit(127);
}

// The signals this program waits for: the child's end, and the requests to
// stop, which must take the child's process group down too, since it does
// not share the terminal's group.
static void watched_signals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGCHLD);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGHUP);
}

// Waits for the child until the deadline or a request to stop; kills its
// group then. Returns 0 when it ended by itself, 1 after the deadline, 2
// after a request to stop.
static int wait_child(pid_t pid, double deadline, int* status, struct rusage* usage) {
  sigset_t watched;
  watched_signals(&watched);
  int result = 1;
  for (;;) {
    pid_t got = wait4(pid, status, WNOHANG, usage);
    if (got == pid) return 0;
    double left = deadline - now_seconds();
    if (left <= 0) break;
    struct timespec ts = {(time_t)left, (long)((left - (double)(time_t)left) * 1e9)};
    int sig = sigtimedwait(&watched, NULL, &ts);  // a time-out or EINTR: look again
    if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) {
      result = 2;
      break;
    }
  }
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  while (wait4(pid, status, 0, usage) < 0 && errno == EINTR) {
  }
  return result;
}

static void describe_status(int timed_out, int status, char* text, size_t size) {
  if (timed_out) {
    snprintf(text, size, "timeout");
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    snprintf(text, size, "ok");
  } else if (WIFEXITED(status)) {
    snprintf(text, size, "exit:%d", WEXITSTATUS(status));
  } else {
    snprintf(text, size, "signal:%d", WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  }
}

int main(int argc, char** argv) {
  struct options opts;
  if (parse_options(argc, argv, &opts) != 0) return usage();
  sigset_t watched;
  watched_signals(&watched);
  sigprocmask(SIG_BLOCK, &watched, NULL);  // so no signal slips past sigtimedwait
  double start = now_seconds();
  pid_t pid = fork();
  if (pid < 0) {
    fprintf(stderr, "measure: fork: %s\n", strerror(errno));
    return 2;
  }
  if (pid == 0) run_child(&opts);
  int status = 0;
  struct rusage usage;
  memset(&usage, 0, sizeof usage);
  int ended = wait_child(pid, start + opts.timeout, &status, &usage);
  double wall = now_seconds() - start;
  if (ended == 2) {
    fprintf(stderr, "measure: interrupted; %s stopped\n", opts.command[0]);
    return 130;
  }
  int timed_out = ended == 1;
  char text[32];
  describe_status(timed_out, status, text, sizeof text);
  printf("%.4f %.4f %.4f %ld %s\n", wall, timeval_seconds(usage.ru_utime),
         timeval_seconds(usage.ru_stime), usage.ru_maxrss, text);
  return 0;
}
