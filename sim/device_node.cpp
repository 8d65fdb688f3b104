#include "device_node.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

namespace device_node {
namespace {

const char* tool_name = "device";
char node_path[4096];
char next_path[4096];
int watchdog_fd = -1;  // the write end of the pipe to the watchdog, below

// Removes whatever is at `where`: a file, a FIFO, a link or an empty
// folder. Async-signal-safe.
void removeAt(const char* where) {
  if (unlink(where) != 0 && errno == EISDIR) rmdir(where);
}

// On every way out but SIGKILL: removes the node and tells the watchdog
// that all is done. Async-signal-safe.
void cleanUp() {
  remove();
  removeAt(next_path);
  if (watchdog_fd >= 0) {
    const char done = 1;
    if (write(watchdog_fd, &done, 1) != 1) {
    }
    close(watchdog_fd);
    watchdog_fd = -1;
  }
}

extern "C" void atExit() { cleanUp(); }

extern "C" void onSignal(int number) {
  cleanUp();
  signal(number, SIG_DFL);
  raise(number);
}

// A child that outlives the tool by a moment: it waits for the end of the
// pipe and removes the node unless told that it has been removed already.
// It alone sees a SIGKILL of the tool.
void startWatchdog() {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) die("pipe");
  const pid_t pid = fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    close(pipe_fds[1]);
    close(STDIN_FILENO);
    close(STDOUT_FILENO);  // whoever reads the tool's sees its end with the tool's
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    char done = 0;
    ssize_t got;
    while ((got = read(pipe_fds[0], &done, 1)) < 0 && errno == EINTR) {
    }
    if (got != 1) {
      remove();
      removeAt(next_path);
    }
    _exit(0);
  }
  close(pipe_fds[0]);
  watchdog_fd = pipe_fds[1];
}

}  // namespace

void start(const char* tool, const char* where) {
  tool_name = tool;
  if (snprintf(node_path, sizeof node_path, "%s", where) >= static_cast<int>(sizeof node_path) ||
      snprintf(next_path, sizeof next_path, "%s.next", where) >= static_cast<int>(sizeof next_path)) {
    fprintf(stderr, "%s: %s: path too long\n", tool, where);
    exit(2);
  }
  signal(SIGPIPE, SIG_IGN);
  fflush(stdout);  // or the watchdog would write it again
  startWatchdog();
  atexit(atExit);
  signal(SIGTERM, onSignal);
  signal(SIGINT, onSignal);
  signal(SIGHUP, onSignal);
}

const char* path() { return node_path; }

const char* nextPath() { return next_path; }

void die(const char* what) {
  fprintf(stderr, "%s: %s: %s\n", tool_name, what, strerror(errno));
  exit(2);
}

void makeFifo() {
  if (mkfifo(node_path, 0600) != 0 && errno != EEXIST) die(node_path);
}

void moveIntoPlace() {
  if (rename(next_path, node_path) == 0) return;
  // A folder neither replaces nor is replaced by anything else: the old
  // node goes first. The reader is between opens meanwhile.
  if (errno != EISDIR && errno != ENOTDIR && errno != ENOTEMPTY && errno != EEXIST) die(node_path);
  removeAt(node_path);
  if (rename(next_path, node_path) != 0) die(node_path);
}

void replaceWithFifo() {
  removeAt(next_path);
  if (mkfifo(next_path, 0600) != 0) die(next_path);
  moveIntoPlace();
}

int openForReader() {
  for (;;) {
    const int fd = open(node_path, O_WRONLY);
    if (fd >= 0) return fd;
    if (errno != EINTR) die(node_path);
  }
}

void remove() {
  const int fd = open(node_path, O_RDWR | O_NONBLOCK);
  removeAt(node_path);
  if (fd >= 0) close(fd);
}

bool lastLineIsOn(const char* file) {
  const int fd = open(file, O_RDONLY);
  if (fd < 0) return false;  // no call yet: day
  char tail[4];
  const off_t size = lseek(fd, 0, SEEK_END);
  const off_t from = size > 4 ? size - 4 : 0;
  const ssize_t got = pread(fd, tail, sizeof tail, from);
  close(fd);
  return got >= 3 && memcmp(tail + got - 3, "on\n", 3) == 0 && (got == 3 || tail[got - 4] == '\n');
}

// Conversions between double and 32-bit integers only: a 32-bit camera CPU
// makes them inline, where 64-bit ones call helpers of libgcc's that a
// 2008-NaN build does not have (toolchains/libc/musl-nan2008.py).
void pauseSeconds(double seconds) {
  const long whole = static_cast<long>(seconds);
  struct timespec ts;
  ts.tv_sec = whole;
  ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(whole)) * 1e9);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void hold() {
  (void)openForReader();
  printf("held\n");
  fflush(stdout);
  for (;;) pause();
}

}  // namespace device_node
