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
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "device_node.h"

namespace {

using device_node::die;

uint32_t lift = 0;
char state_path[4096];
char level_path[4096];  // with a "level" line: where each conversion comes from

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
  const int fd = device_node::openForReader();
  // Taken before the node is replaced: whoever sees a new node knows that
  // this conversion no longer depends on the level file.
  if (level_path[0]) value = currentLevel();
  device_node::replaceWithFifo();
  // Read once the reader has opened the device: a mode command it ran
  // before that open has had its effect.
  if (lift > 0 && device_node::lastLineIsOn(state_path)) value = value > UINT32_MAX - lift ? UINT32_MAX : value + lift;
  if (write(fd, &value, bytes) != static_cast<ssize_t>(bytes) && errno != EPIPE) die("write");
  close(fd);
}

[[noreturn]] void badLine(int number, const char* line) {
  fprintf(stderr, "fake_adc: line %d: cannot read: %s", number, line);
  exit(2);
}

}  // namespace

int main(int argc, char* argv[]) {
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
  FILE* script = stdin;
  if (arg + 1 < argc && !(script = fopen(argv[arg + 1], "r"))) {
    fprintf(stderr, "fake_adc: %s: %s\n", argv[arg + 1], strerror(errno));
    return 2;
  }
  device_node::start("fake_adc", argv[arg]);
  device_node::makeFifo();

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
      device_node::remove();
      device_node::pauseSeconds(seconds);
      device_node::makeFifo();
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
  if (hold) device_node::hold();
  return 0;
}
