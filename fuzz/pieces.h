// Plumbing of the ISP reader targets: content handed to a reader through a
// pipe in pieces of fuzzer-chosen sizes, and decimal numbers read the plain
// way, for the models.
#ifndef LUMENFLIP_FUZZ_PIECES_H
#define LUMENFLIP_FUZZ_PIECES_H

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

// The read sizes and the content of an input whose first byte's low three
// bits say how many of the following bytes are read sizes (each
// (byte & 63) + 1). The first byte's other bits are the target's own.
struct Pieces {
  std::vector<size_t> sizes;  // empty: the content in one write
  std::string content;
};

inline Pieces splitInput(const uint8_t* data, size_t size) {
  Pieces pieces;
  if (size == 0) return pieces;
  const size_t count = std::min<size_t>(data[0] & 7u, size - 1);
  for (size_t i = 0; i < count; ++i) pieces.sizes.push_back((data[1 + i] & 63u) + 1);
  pieces.content.assign(reinterpret_cast<const char*>(data) + 1 + count, size - 1 - count);
  return pieces;
}

// Writes `content` to `fd` in pieces of `sizes`, cycling through them, and
// waits for each piece to be read before writing the next, so that the
// reader sees real short reads. Stops once the reader is done; closes `fd`.
inline void writePieces(int fd, const std::string& content, const std::vector<size_t>& sizes,
                        const std::atomic<bool>& reader_done) {
  size_t done = 0;
  for (size_t piece = 0; done < content.size() && !reader_done; ++piece) {
    const size_t size = sizes.empty() ? content.size() : std::min(sizes[piece % sizes.size()], content.size() - done);
    const ssize_t wrote = write(fd, content.data() + done, size);
    if (wrote <= 0) break;  // the reader has gone
    done += static_cast<size_t>(wrote);
    int pending = 0;
    while (!reader_done && ioctl(fd, FIONREAD, &pending) == 0 && pending > 0) sched_yield();
  }
  close(fd);
}

// libFuzzer's timer signal would cut a blocked read short with EINTR; the
// daemon installs no handlers, so its reads are never interrupted. Held
// back while an object of this lives (and in the threads it starts), the
// signal arrives once the reader is done.
class TimerSignalHeld {
 public:
  TimerSignalHeld() {
    sigset_t timer_signal;
    sigemptyset(&timer_signal);
    sigaddset(&timer_signal, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &timer_signal, &saved_);
  }
  ~TimerSignalHeld() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  TimerSignalHeld(const TimerSignalHeld&) = delete;
  TimerSignalHeld& operator=(const TimerSignalHeld&) = delete;

 private:
  sigset_t saved_;
};

// A decimal number as strtol reads one, clamped to 32 bits, from `p` up to
// `end`. *digits says whether there was any.
inline int32_t plainNumber(const char* p, const char* end, bool* digits = nullptr) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
  while (p < end && space(*p)) ++p;
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  const char* first = p;
  int64_t magnitude = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    magnitude = std::min<int64_t>(magnitude * 10 + (*p - '0'), int64_t{1} << 32);
  }
  if (digits) *digits = p != first;
  const int64_t value = negative ? -magnitude : magnitude;
  return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

#endif
