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
//   # ...        a comment; blank lines are skipped
//
// With --hold, once the script is done it waits for the reader's next
// open, prints "held" and keeps the device open without writing until it
// is killed: everything the reader did before that open has happened.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

const char* fifo_path;

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
  std::string next = std::string(fifo_path) + ".next";
  unlink(next.c_str());
  if (mkfifo(next.c_str(), 0600) != 0) die("mkfifo");
  if (rename(next.c_str(), fifo_path) != 0) die("rename");
}

void serve(uint32_t value, size_t bytes) {
  const int fd = openForReader();
  replaceFifo();
  if (write(fd, &value, bytes) != static_cast<ssize_t>(bytes) && errno != EPIPE) die("write");
  close(fd);
}

// Removes the device. A reader already waiting in open on it is let
// through to an empty read (a failed conversion) rather than left hanging
// on a node that no writer will ever open again.
void removeFifo() {
  const int fd = open(fifo_path, O_RDWR | O_NONBLOCK);
  unlink(fifo_path);
  if (fd >= 0) close(fd);
}

void pauseSeconds(double seconds) {
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
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
  FILE* script = stdin;
  if (arg + 1 < argc && !(script = fopen(argv[arg + 1], "r"))) die(argv[arg + 1]);
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
    } else if (strcmp(word, "gone") == 0) {
      if (sscanf(line, " gone %lf", &seconds) != 1) badLine(number, line);
      removeFifo();
      pauseSeconds(seconds);
      makeFifo();
    } else if (strcmp(word, "ramp") == 0) {
      if (sscanf(line, " ramp %llu %llu %llu", &a, &b, &count) != 3 || count < 1) badLine(number, line);
      for (unsigned long long i = 0; i < count; ++i) {
        const double step = count > 1 ? static_cast<double>(i) / static_cast<double>(count - 1) : 0.0;
        const double value = static_cast<double>(a) + (static_cast<double>(b) - static_cast<double>(a)) * step;
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
