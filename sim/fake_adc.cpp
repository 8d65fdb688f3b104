// A simulated auxiliary-ADC device node: a FIFO that hands out one 4-byte
// conversion per open, in lock step with the reader, following a script.
//
//   fake_adc [--hold] FIFO [SCRIPT]
//
// Script lines (from SCRIPT, or standard input):
//   N            one conversion of N (decimal, or hex with 0x)
//   N*K          K conversions of N
//   ramp A B K   K conversions going evenly from A to B
//   short B      the next open gets only B bytes (1 to 3) of a conversion
//   gone S       the device vanishes for S seconds, then comes back
//   lift N FILE  from here on, N is added to each conversion while the last
//                line of FILE is "on": a camera whose night mode lights the
//                scene, FILE being where its mode script records each call
//   level FILE   for ever, each conversion is the number in FILE when the
//                reader opens the device (the last one read while FILE holds
//                none): a light that changes with the device always there.
//                Once a new node is in place, the conversion of the open
//                before it has been taken from FILE
//   # ...        a comment; blank lines are skipped
//
// With --hold, once the script is done it waits for the reader's next
// open, prints "held" and keeps the device open without writing until it
// is killed: everything the reader did before that open has happened.
//
// However it ends (the script done, an error, a signal, even SIGKILL) the
// FIFO goes with it, so that a later reader gets "No such file" instead of
// waiting for a writer that never comes. Plain C library calls only: this
// is built with C libraries that have no C++ library beside them.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

namespace {

const char* fifo_path;
char next_path[4096];  // where the next FIFO is made before it moves into place
uint32_t lift = 0;
char state_path[4096];
char level_path[4096];  // with a "level" line: where each conversion comes from
int watchdog_fd = -1;  // the write end of the pipe to the watchdog, below

[[noreturn]] void die(const char* what) {
  fprintf(stderr, "fake_adc: %s: %s\n", what, strerror(errno));
  exit(2);
}

void makeFifo() {
  if (mkfifo(fifo_path, 0600) != 0 && errno != EEXIST) die("mkfifo");
}

int openForReader() {
  for (;;) {
    const int fd = open(fifo_path, O_WRONLY);
    if (fd >= 0) return fd;
    if (errno != EINTR) die("open");
  }
}

// Puts a fresh FIFO at the path. Called once the reader's open has paired
// with ours and before anything is written: the reader's next open, which
// can only follow its read, then finds the fresh node and waits there for
// the next conversion instead of joining the node it has just read.
void replaceFifo() {
  unlink(next_path);
  if (mkfifo(next_path, 0600) != 0) die("mkfifo");
  if (rename(next_path, fifo_path) != 0) die("rename");
}

// Whether the mode script's record ends in "on". Read once the reader has
// opened the device: a mode command it ran before that has had its effect.
bool nightByState() {
  const int fd = open(state_path, O_RDONLY);
  if (fd < 0) return false;  // no call yet: day
  char tail[4];
  const off_t size = lseek(fd, 0, SEEK_END);
  const off_t from = size > 4 ? size - 4 : 0;
  const ssize_t got = pread(fd, tail, sizeof tail, from);
  close(fd);
  return got >= 3 && memcmp(tail + got - 3, "on\n", 3) == 0 && (got == 3 || tail[got - 4] == '\n');
}

// The number in level_path, or the last one read when it holds none, as
// while it is being written.
uint32_t currentLevel() {
  static uint32_t last = 0;
  FILE* file = fopen(level_path, "r");
  if (!file) return last;
  unsigned long long value;
  if (fscanf(file, "%llu", &value) == 1 && value <= UINT32_MAX) last = static_cast<uint32_t>(value);
  fclose(file);
  return last;
}

void serve(uint32_t value, size_t bytes) {
  const int fd = openForReader();
  // Taken before the node is replaced: whoever sees a new node knows that
  // this conversion no longer depends on the level file.
  if (level_path[0]) value = currentLevel();
  replaceFifo();
  if (lift > 0 && nightByState()) value = value > UINT32_MAX - lift ? UINT32_MAX : value + lift;
  if (write(fd, &value, bytes) != static_cast<ssize_t>(bytes) && errno != EPIPE) die("write");
  close(fd);
}

// Removes the device. A reader already waiting in open on it is let
// through to an empty read (a failed conversion) rather than left hanging
// on a node that no writer will ever open again.
// Async-signal-safe.
void removeFifo() {
  const int fd = open(fifo_path, O_RDWR | O_NONBLOCK);
  unlink(fifo_path);
  if (fd >= 0) close(fd);
}

// On every way out but SIGKILL: removes the device and tells the watchdog
// that all is done. Async-signal-safe.
void cleanUp() {
  removeFifo();
  unlink(next_path);
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

// A child that outlives this process by a moment: it waits for the end of
// the pipe and removes the device unless told that it has been removed
// already. It alone sees a SIGKILL of this process.
void startWatchdog() {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) die("pipe");
  const pid_t pid = fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    close(pipe_fds[1]);
    close(STDIN_FILENO);
    close(STDOUT_FILENO);  // whoever reads ours sees its end with ours
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    char done = 0;
    ssize_t got;
    while ((got = read(pipe_fds[0], &done, 1)) < 0 && errno == EINTR) {
    }
    if (got != 1) {
      removeFifo();
      unlink(next_path);
    }
    _exit(0);
  }
  close(pipe_fds[0]);
  watchdog_fd = pipe_fds[1];
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

[[noreturn]] void badLine(int number, const char* line) {
  fprintf(stderr, "fake_adc: line %d: cannot read: %s", number, line);
  exit(2);
}

}  // namespace

int main(int argc, char* argv[]) {
  signal(SIGPIPE, SIG_IGN);
  bool hold = false;
  int arg = 1;
  if (arg < argc && strcmp(argv[arg], "--hold") == 0) {
    hold = true;
    ++arg;
  }
  if (arg >= argc || argc - arg > 2) {
    fprintf(stderr, "usage: fake_adc [--hold] FIFO [SCRIPT]\n");
    return 2;
  }
  fifo_path = argv[arg];
  if (snprintf(next_path, sizeof next_path, "%s.next", fifo_path) >= static_cast<int>(sizeof next_path)) {
    fprintf(stderr, "fake_adc: %s: path too long\n", fifo_path);
    return 2;
  }
  FILE* script = stdin;
  if (arg + 1 < argc && !(script = fopen(argv[arg + 1], "r"))) die(argv[arg + 1]);
  fflush(stdout);
  startWatchdog();
  atexit(atExit);
  signal(SIGTERM, onSignal);
  signal(SIGINT, onSignal);
  signal(SIGHUP, onSignal);
  makeFifo();

  char line[256];
  int number = 0;
  size_t next_bytes = 4;
  while (fgets(line, sizeof line, script)) {
    ++number;
    char word[16];
    unsigned long long a, b, count;
    double seconds;
    if (sscanf(line, " %15s", word) != 1 || word[0] == '#') continue;
    if (strcmp(word, "short") == 0) {
      if (sscanf(line, " short %llu", &a) != 1 || a < 1 || a > 3) badLine(number, line);
      next_bytes = static_cast<size_t>(a);
    } else if (strcmp(word, "lift") == 0) {
      if (sscanf(line, " lift %llu %4095s", &a, state_path) != 2 || a > UINT32_MAX) badLine(number, line);
      lift = static_cast<uint32_t>(a);
    } else if (strcmp(word, "level") == 0) {
      if (sscanf(line, " level %4095s", level_path) != 1) badLine(number, line);
      for (;;) {
        serve(0, next_bytes);
        next_bytes = 4;
      }
    } else if (strcmp(word, "gone") == 0) {
      if (sscanf(line, " gone %lf", &seconds) != 1) badLine(number, line);
      removeFifo();
      pauseSeconds(seconds);
      makeFifo();
    } else if (strcmp(word, "ramp") == 0) {
      if (sscanf(line, " ramp %llu %llu %llu", &a, &b, &count) != 3 || count < 1 || count > UINT32_MAX ||
          a > UINT32_MAX || b > UINT32_MAX)
        badLine(number, line);
      const double from = static_cast<uint32_t>(a), to = static_cast<uint32_t>(b);
      const uint32_t steps = static_cast<uint32_t>(count);
      for (uint32_t i = 0; i < steps; ++i) {
        const double step = steps > 1 ? static_cast<double>(i) / static_cast<double>(steps - 1) : 0.0;
        const double value = from + (to - from) * step;
        serve(static_cast<uint32_t>(value + 0.5), next_bytes);
        next_bytes = 4;
      }
    } else {
      char* end;
      a = strtoull(word, &end, 0);
      count = 1;
      if (*end == '*') count = strtoull(end + 1, &end, 10);
      if (*end != '\0' || a > UINT32_MAX) badLine(number, line);
      for (unsigned long long i = 0; i < count; ++i) {
        serve(static_cast<uint32_t>(a), next_bytes);
        next_bytes = 4;
      }
    }
  }
  if (hold) {
    (void)openForReader();
    printf("held\n");
    fflush(stdout);
    for (;;) pause();
  }
  return 0;
}
