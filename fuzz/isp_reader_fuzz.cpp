// Fuzz target for the ISP information reader.
//
// Input layout: the low three bits of the first byte give how many of the
// following bytes are read sizes (each (byte & 63) + 1); the rest is the
// file's content. A thread writes the content into a pipe in pieces of
// those sizes, cycling through them, and waits for each piece to be read
// before writing the next, so the reader sees real short reads. Printable
// seeds work: "0" writes the content whole, "1@" one byte at a time.
//
// The reader fills its buffer to the full 100 bytes whatever the pieces,
// so its result must match a plain model that scans the whole content.
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "pieces.h"
#include "software.h"

namespace {

const int32_t kSentinel = -123456789;
const size_t kHeld = 100;

struct Outcome {
  int result = 0;
  int32_t values[3] = {kSentinel, kSentinel, kSentinel};
  std::string message;
};

// What the reader must do: look at the next 100 bytes of the content at
// each line start, as if every read had been complete.
Outcome model(const std::string& content) {
  static const std::string prefixes[3] = {"ISP exposure log2 id: ", "ISP Iridix strength : ",
                                          "ISP WB Temperature : "};
  Outcome out;
  size_t pos = 0;
  while (pos < content.size()) {
    const size_t held = std::min(kHeld, content.size() - pos);
    const char* window = content.data() + pos;
    for (int i = 0; i < 3; ++i) {
      const std::string& prefix = prefixes[i];
      if (held >= prefix.size() && memcmp(window, prefix.data(), prefix.size()) == 0) {
        out.values[i] = plainNumber(window + prefix.size(), window + held);
        if (++out.result == 3) return out;
        break;
      }
    }
    const void* line_break = memchr(window, '\n', held);
    if (!line_break) {
      out.message = "ERROR: readIspInfo: line is longer than " + std::to_string(held) + " chars buf\n";
      return out;
    }
    pos += static_cast<size_t>(static_cast<const char*>(line_break) - window) + 1;
  }
  return out;
}

Outcome runReader(const std::string& content, const std::vector<size_t>& sizes) {
  const TimerSignalHeld held;
  int fds[2];
  if (pipe(fds) != 0) abort();
  // The reader opens the pipe by path, as it opens the driver's file.
  const std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
  std::atomic<bool> reader_done(false);
  std::thread writer(writePieces, fds[1], std::cref(content), std::cref(sizes), std::cref(reader_done));

  Outcome out;
  out.message =
      captureStderr([&] { out.result = readIspInfoFile(path.c_str(), &out.values[0], &out.values[1], &out.values[2]); });

  reader_done = true;
  close(fds[0]);  // a writer still blocked now gets EPIPE
  writer.join();
  return out;
}

[[noreturn]] void fail(const char* what, const Outcome& got, const Outcome& want) {
  fprintf(stderr, "%s\n  got:  %d (%d, %d, %d) \"%s\"\n  want: %d (%d, %d, %d) \"%s\"\n", what, got.result,
          got.values[0], got.values[1], got.values[2], got.message.c_str(), want.result, want.values[0],
          want.values[1], want.values[2], want.message.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  signal(SIGPIPE, SIG_IGN);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Pieces input = splitInput(data, size);
  const Outcome got = runReader(input.content, input.sizes);
  const Outcome want = model(input.content);
  if (got.result < -1 || got.result > 3) fail("result out of range", got, want);
  if (got.result == -1) fail("readable file refused", got, want);
  for (int i = 0; i < 3; ++i) {
    if (want.values[i] == kSentinel && got.values[i] != kSentinel) fail("unrecognised output written", got, want);
  }
  if (got.result != want.result || got.message != want.message ||
      !std::equal(got.values, got.values + 3, want.values)) {
    fail("reader differs from the model", got, want);
  }
  return 0;
}
