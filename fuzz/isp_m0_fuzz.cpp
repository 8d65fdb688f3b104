// Fuzz target for the isp-m0 reader: readIspSample on a reader whose
// isp_info does not exist and whose isp-m0 is a FIFO.
//
// Input layout: the low three bits of the first byte give how many of the
// following bytes are read sizes (each (byte & 63) + 1); the next three
// bits, modulo the number of ISP generations, which generation a third
// reader learns before it reads the content; the rest is the file's
// content. A thread writes the content into the FIFO in pieces of those
// sizes, cycling through them, and waits for each piece to be read before
// writing the next, so the reader sees real short reads. A short read that
// ends a line is the end of the file to the reader, as a proc file's is, so
// a piece that would end a line before the end of the content takes the
// next byte too. Printable seeds work: '@', 'H', 'P' and 'X' write the
// content whole, the third reader learning the first, second, third or
// fourth generation; "A@" writes it one byte at a time.
//
// Three readers read the content, and each must give what a plain model
// gives that takes the content whole: a new reader; the same reader again,
// which now knows the file's generation; and a reader that learnt another
// generation from a file of that generation's labels alone.
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "capture.h"
#include "control.h"
#include "pieces.h"
#include "software.h"

namespace {

const int32_t kSentinel = -123456789;
const unsigned kUnpublished = 0xdeadu;
// The reader's buffer: a line that does not fit in it with the byte that
// ends it ('\n', or the end of the file) is skipped whole, as the reader
// cannot tell it from a longer one.
const size_t kLineRoom = 8192;

struct Read {
  bool whole = false;
  IspInfo sample = {kSentinel, kSentinel, kSentinel};
  unsigned published = kUnpublished;
  const IspGeneration* generation = nullptr;  // the reader's, after the read
  std::string message;
};

const IspLabel* labelOf(const IspGeneration& generation, int statistic) {
  return statistic == 0 ? generation.exposure : statistic == 1 ? generation.iridix : generation.wb;
}

bool startsWith(std::string_view line, std::string_view prefix) { return line.substr(0, prefix.size()) == prefix; }

// What a read must give, from a reader that knew `known` before it.
Read model(const std::string& content, const IspGeneration* known) {
  struct Label {
    std::string_view text;
    bool seen = false;
    bool digits = false;
    int32_t value = 0;
  };
  // Each label once, whichever generations share it.
  std::vector<Label> labels;
  for (int g = 0; g < kIspGenerationCount; ++g) {
    for (int statistic = 0; statistic < 3; ++statistic) {
      const IspLabel* label = labelOf(kIspGenerations[g], statistic);
      if (!label) continue;
      const std::string_view text(label->text, label->length);
      bool listed = false;
      for (const Label& l : labels) listed = listed || l.text == text;
      if (!listed) labels.push_back(Label{text});
    }
  }
  const auto find = [&](const IspLabel* label) -> const Label* {
    for (const Label& l : labels)
      if (l.text == std::string_view(label->text, label->length)) return &l;
    abort();
  };

  const std::string_view block_start(kIspBlockStart.text, kIspBlockStart.length);
  int blocks = 0;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = content.find('\n', pos);
    if (end == std::string::npos) end = content.size();
    const std::string_view line(content.data() + pos, end - pos);
    pos = end + 1;
    if (line.size() + 1 > kLineRoom) continue;
    if (startsWith(line, block_start) && ++blocks == 2) break;
    for (Label& l : labels) {
      if (l.seen || !startsWith(line, l.text)) continue;
      l.seen = true;
      l.value = plainNumber(line.data() + l.text.size(), line.data() + line.size(), &l.digits);
    }
  }

  Read want;
  want.generation = known;
  for (int g = 0; g < kIspGenerationCount; ++g) {
    const IspGeneration& generation = kIspGenerations[g];
    bool all_seen = true;
    bool all_numbers = true;
    for (int statistic = 0; statistic < 3; ++statistic) {
      const IspLabel* label = labelOf(generation, statistic);
      if (!label) continue;
      all_seen = all_seen && find(label)->seen;
      all_numbers = all_numbers && find(label)->digits;
    }
    if (!all_seen) continue;
    if (!all_numbers) return want;
    want.whole = true;
    want.generation = &generation;
    want.sample.exposure = find(generation.exposure)->value;
    want.published = kIspExposure;
    if (generation.iridix) {
      want.sample.iridix = find(generation.iridix)->value;
      want.published |= kIspIridix;
    }
    if (generation.wb) {
      want.sample.wb = find(generation.wb)->value;
      want.published |= kIspWb;
    }
    return want;
  }
  return want;
}

std::string fifo;      // the reader's isp-m0
std::string isp_info;  // never there

IspReader newReader() { return makeIspReader(isp_info.c_str(), fifo.c_str()); }

// The pieces of `content` as the writer hands them out: of `sizes` in turn
// (whole, in pieces a pipe writes at once), none ending a line before the end.
std::vector<size_t> pieces(const std::string& content, const std::vector<size_t>& sizes) {
  std::vector<size_t> list;
  size_t done = 0;
  for (size_t k = 0; done < content.size(); ++k) {
    size_t size = std::min(sizes.empty() ? size_t{4096} : sizes[k % sizes.size()], content.size() - done);
    while (done + size < content.size() && content[done + size - 1] == '\n') ++size;
    list.push_back(size);
    done += size;
  }
  return list;
}

// One readIspSample of `content`, written into the FIFO in pieces of `sizes`.
Read readThroughFifo(IspReader* reader, const std::string& content, const std::vector<size_t>& sizes) {
  const TimerSignalHeld held;
  const std::vector<size_t> list = pieces(content, sizes);
  std::atomic<bool> reader_done(false);
  std::thread writer([&] {
    const int fd = open(fifo.c_str(), O_WRONLY);  // waits for the reader's open
    if (fd < 0) abort();
    writePieces(fd, content, list, reader_done);
  });
  Read got;
  got.message = captureStderr([&] { got.whole = readIspSample(reader, &got.sample, &got.published); });
  reader_done = true;
  writer.join();
  got.generation = reader->announced_generation;
  return got;
}

const char* nameOf(const IspGeneration* generation) { return generation ? generation->name : "none"; }

void show(const char* which, const Read& r) {
  fprintf(stderr, "  %s: %s (%d, %d, %d) published %#x, generation %s, \"%s\"\n", which, r.whole ? "whole" : "failed",
          r.sample.exposure, r.sample.iridix, r.sample.wb, r.published, nameOf(r.generation), r.message.c_str());
}

void expectModel(const char* what, const Read& got, const Read& want) {
  if (got.whole == want.whole && got.published == want.published && got.generation == want.generation &&
      got.sample.exposure == want.sample.exposure && got.sample.iridix == want.sample.iridix &&
      got.sample.wb == want.sample.wb && got.message == want.message) {
    return;
  }
  fprintf(stderr, "%s differs from the model\n", what);
  show("got ", got);
  show("want", want);
  abort();
}

// A file of `generation`'s labels alone, each with a number.
std::string fileOf(const IspGeneration& generation) {
  std::string file;
  for (int statistic = 0; statistic < 3; ++statistic) {
    const IspLabel* label = labelOf(generation, statistic);
    if (label) file += std::string(label->text, label->length) + "1\n";
  }
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  signal(SIGPIPE, SIG_IGN);
  // The FIFO is reached through a descriptor kept open, its folder gone at
  // once: a run that ends in a crash leaves nothing behind, and isp_info's
  // path, in that folder, is never there.
  char dir[] = "/tmp/isp_m0_fuzz.XXXXXX";
  if (!mkdtemp(dir)) abort();
  const std::string named = std::string(dir) + "/isp-m0";
  if (mkfifo(named.c_str(), 0600) != 0) abort();
  const int kept = open(named.c_str(), O_PATH);
  if (kept < 0 || unlink(named.c_str()) != 0 || rmdir(dir) != 0) abort();
  fifo = "/proc/self/fd/" + std::to_string(kept);
  isp_info = std::string(dir) + "/isp_info";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Pieces input = splitInput(data, size);
  const int learnt = size > 0 ? ((data[0] >> 3) & 7) % kIspGenerationCount : 0;

  IspReader reader = newReader();
  const Read first = readThroughFifo(&reader, input.content, input.sizes);
  expectModel("a new reader", first, model(input.content, nullptr));
  // Knowing the file's generation now (when the read was whole): nothing
  // may change.
  expectModel("the same reader again", readThroughFifo(&reader, input.content, input.sizes),
              model(input.content, first.generation));

  IspReader other = newReader();
  const IspGeneration& generation = kIspGenerations[learnt];
  const Read taught = readThroughFifo(&other, fileOf(generation), {});
  if (!taught.whole || taught.generation != &generation) {
    fprintf(stderr, "a file of %s's labels alone was not read as %s's\n", generation.name, generation.name);
    show("got ", taught);
    abort();
  }
  const std::string what = std::string("a reader that knew ") + generation.name + " labels";
  expectModel(what.c_str(), readThroughFifo(&other, input.content, input.sizes), model(input.content, &generation));
  return 0;
}
