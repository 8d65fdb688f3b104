#include "software.h"

#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "control.h"
#include "output.h"

const char* const kIspInfoPath = "/proc/jz/isp/isp_info";
const char* const kIspM0Path = "/proc/jz/isp/isp-m0";

#define ISP_LABEL(text) \
  { (text), sizeof(text) - 1 }

namespace {

// Each label once. "ISP EV value: " and "ISP EV value us: " stand beside
// the EV log2's line, and "ExposureValue : " beside EVLog2's.
const IspLabel kExposureId = ISP_LABEL("ISP exposure log2 id: ");
const IspLabel kIridixStrength = ISP_LABEL("ISP Iridix strength : ");
const IspLabel kWbTemperature = ISP_LABEL("ISP WB Temperature : ");
const IspLabel kEvLog2 = ISP_LABEL("ISP EV value log2: ");
const IspLabel kWbColorTemperature = ISP_LABEL("ISP WB color temperature: ");
const IspLabel kEvLog2Block = ISP_LABEL("EVLog2 : ");
const IspLabel kAwbColorTemperature = ISP_LABEL("AWBColorTemperature: ");

#define WITHOUT_IRIDIX "no Iridix: day by exposure alone, white-balance rule off"

}  // namespace

const IspGeneration kIspGenerations[] = {
    {"T10/T20/T30", &kExposureId, &kIridixStrength, &kWbTemperature, "exposure, Iridix, white balance"},
    {"T23/T31", &kEvLog2, nullptr, &kWbColorTemperature, "exposure, white balance; " WITHOUT_IRIDIX},
    {"T21", &kEvLog2, nullptr, nullptr, "exposure; no white balance, " WITHOUT_IRIDIX},
    {"T40/T41", &kEvLog2Block, nullptr, &kAwbColorTemperature, "exposure, white balance; " WITHOUT_IRIDIX},
};
const int kIspGenerationCount = sizeof kIspGenerations / sizeof kIspGenerations[0];
const IspLabel kIspBlockStart = ISP_LABEL("****************** ISP(");

namespace {

const int kLineBufferSize = 100;
// isp-m0 files are 1 to 3 KB: one read holds the whole of one.
const int kWholeFileSize = 8192;
char whole_file[kWholeFileSize];

bool startsWith(const char* held, size_t count, const IspLabel& label) {
  return count >= label.length && memcmp(held, label.text, label.length) == 0;
}

// Reads until `buffer` holds `size` bytes, the file ends or a read fails:
// the driver may hand out a line in pieces, and a value cut at a piece
// boundary would be parsed as a different number.
int fill(int fd, char* buffer, int held, int size) {
  while (held < size) {
    const ssize_t got = read(fd, buffer + held, static_cast<size_t>(size - held));
    if (got <= 0) break;
    held += static_cast<int>(got);
  }
  return held;
}

// The isp_info reader proper, on an open file.
int scanIspInfo(int fd, int32_t* exposure, int32_t* iridix, int32_t* wb) {
  char buffer[kLineBufferSize];
  int held = fill(fd, buffer, 0, kLineBufferSize);
  int recognised = 0;
  while (held > 0) {
    const size_t count = static_cast<size_t>(held);
    const IspLabel* label = nullptr;
    int32_t* output = nullptr;
    if (startsWith(buffer, count, kExposureId)) {
      label = &kExposureId;
      output = exposure;
    } else if (startsWith(buffer, count, kIridixStrength)) {
      label = &kIridixStrength;
      output = iridix;
    } else if (startsWith(buffer, count, kWbTemperature)) {
      label = &kWbTemperature;
      output = wb;
    }
    if (output) {
      *output = parseInt32(buffer + label->length, buffer + held, nullptr);
      if (++recognised == 3) break;
    }

    const char* line_break = static_cast<const char*>(memchr(buffer, '\n', count));
    if (!line_break) {
      printError("ERROR: %s: line is longer than %d chars buf\n", "readIspInfo", held);
      break;
    }
    const int dropped = static_cast<int>(line_break - buffer) + 1;
    held -= dropped;
    memmove(buffer, buffer + dropped, static_cast<size_t>(held));
    held = fill(fd, buffer, held, kLineBufferSize);
  }
  return recognised;
}

// What a scan of an isp-m0 file found, per generation and statistic
// (exposure, Iridix, white balance): the label, and a number after it.
struct Labels {
  bool seen[kIspGenerationCount][3];
  bool parsed[kIspGenerationCount][3];
  int32_t values[kIspGenerationCount][3];
};

const IspLabel* labelOf(const IspGeneration& generation, int statistic) {
  return statistic == 0 ? generation.exposure : statistic == 1 ? generation.iridix : generation.wb;
}

// Notes the labels a line holds; the first occurrence of each counts.
void scanLine(const char* line, const char* end, Labels* found) {
  const size_t count = static_cast<size_t>(end - line);
  for (int g = 0; g < kIspGenerationCount; ++g) {
    for (int statistic = 0; statistic < 3; ++statistic) {
      const IspLabel* text = labelOf(kIspGenerations[g], statistic);
      if (!text || found->seen[g][statistic] || !startsWith(line, count, *text)) continue;
      const char* value = line + text->length;
      const char* digits_end;
      found->seen[g][statistic] = true;
      found->values[g][statistic] = parseInt32(value, end, &digits_end);
      found->parsed[g][statistic] = digits_end != value;
    }
  }
}

// Whether every label of generation `g` was seen (and, with `parsed`, had
// a number after it).
bool holdsAll(const Labels& found, int g, bool parsed) {
  for (int statistic = 0; statistic < 3; ++statistic) {
    if (!labelOf(kIspGenerations[g], statistic)) continue;
    if (!(parsed ? found.parsed[g][statistic] : found.seen[g][statistic])) return false;
  }
  return true;
}

// Scans an isp-m0 file line by line, skipping lines of any length, up to
// its end or its second ISP's block. A read that returns less than it was
// asked for, ending a line, is the end: a proc file hands out the whole of
// itself to a read that has room for it, so that one read does.
void scanIspM0(int fd, Labels* found) {
  int held = 0;
  bool skipping = false;  // inside a line longer than the buffer
  bool blocks = false;    // an ISP's block has begun
  for (;;) {
    const size_t room = static_cast<size_t>(kWholeFileSize - held);
    const ssize_t got = read(fd, whole_file + held, room);
    if (got > 0) held += static_cast<int>(got);
    const bool end = got <= 0 || (static_cast<size_t>(got) < room && whole_file[held - 1] == '\n');
    int start = 0;
    while (start < held) {
      const char* line = whole_file + start;
      const char* line_break = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(held - start)));
      if (!line_break && !end) break;  // the rest comes with the next read
      const char* line_end = line_break ? line_break : whole_file + held;
      start = static_cast<int>(line_end - whole_file) + (line_break ? 1 : 0);
      if (skipping) {
        skipping = false;
        continue;
      }
      if (startsWith(line, static_cast<size_t>(line_end - line), kIspBlockStart)) {
        if (blocks) return;
        blocks = true;
      }
      scanLine(line, line_end, found);
    }
    if (end) return;
    if (start == 0 && held == kWholeFileSize) {
      skipping = true;
      held = 0;
    } else {
      held -= start;
      memmove(whole_file, whole_file + start, static_cast<size_t>(held));
    }
  }
}

// The generation whose labels an isp-m0 file holds, or nullptr.
const IspGeneration* recognise(const Labels& found) {
  for (int g = 0; g < kIspGenerationCount; ++g) {
    if (holdsAll(found, g, false)) return &kIspGenerations[g];
  }
  return nullptr;
}

// A sample from an open isp_info: its generation when it held all three
// statistics, or nullptr.
const IspGeneration* readIspInfoSample(int fd, IspInfo* sample) {
  return scanIspInfo(fd, &sample->exposure, &sample->iridix, &sample->wb) == 3 ? &kIspGenerations[0] : nullptr;
}

// The same from an open isp-m0, of whichever generation wrote it; out of
// line, so that an isp_info's read makes no room for its scan.
__attribute__((noinline)) const IspGeneration* readIspM0Sample(int fd, IspInfo* sample) {
  Labels found;
  memset(&found, 0, sizeof found);
  scanIspM0(fd, &found);
  const IspGeneration* generation = recognise(found);
  if (!generation) return nullptr;
  const int g = static_cast<int>(generation - kIspGenerations);
  if (!holdsAll(found, g, true)) return nullptr;
  sample->exposure = found.values[g][0];
  if (generation->iridix) sample->iridix = found.values[g][1];
  if (generation->wb) sample->wb = found.values[g][2];
  return generation;
}

unsigned publishedBy(const IspGeneration& generation) {
  return kIspExposure | (generation.iridix ? kIspIridix : 0) | (generation.wb ? kIspWb : 0);
}

// A statistic as the verbose lines show it.
const char* statisticText(char* buffer, size_t size, int32_t value, bool published) {
  if (!published) return OUT_ABSENT;
  snprintf(buffer, size, "%d", value);
  return buffer;
}

// The verbose lines that show a statistic as its file publishes it, kept
// out of line so that a quiet sample pays nothing for their buffers.
__attribute__((noinline)) void printRawSample(const SoftwareState& state) {
  char texts[3][12];
  printf(OUT_RAW_SAMPLE, statisticText(texts[0], sizeof texts[0], state.sample.exposure, true),
         statisticText(texts[1], sizeof texts[1], state.sample.iridix, (state.published & kIspIridix) != 0),
         statisticText(texts[2], sizeof texts[2], state.sample.wb, (state.published & kIspWb) != 0));
}

__attribute__((noinline)) void printEq2(bool switching, const SoftwareState& state) {
  char text[12];
  const char* iridix = statisticText(text, sizeof text, state.sample.iridix, (state.published & kIspIridix) != 0);
  if (switching) {
    printf(OUT_EQ2_SWITCH, state.sample.exposure, iridix);
  } else {
    printf(OUT_EQ2_WAIT, state.sample.exposure, iridix);
  }
}

int32_t incrementCapped(int32_t count) { return count < INT32_MAX ? count + 1 : count; }

// Change of exposure relative to the new exposure, in percent above the
// allowed jitter, computed in this order. The sample is jitter when that is
// not a number, or its integer part is above 0 or outside 32 bits; compared
// directly, as trunc() would pull in the maths library for one call.
bool isJitter(const Settings& with, int32_t exposure, int32_t last_exposure) {
  const double excess = fabs(static_cast<double>(exposure) - static_cast<double>(last_exposure)) /
                            static_cast<double>(exposure) * 100.0 -
                        static_cast<double>(with.jitter_percent);
  return isnan(excess) || excess >= 1.0 || excess <= -2147483649.0;
}

// The conditions of the rules that turn night into day. Without Iridix,
// Eq2 holds on the exposure alone; Eq3 needs both Iridix and white balance.
bool eq2Holds(const Settings& with, const SoftwareState& state) {
  return state.sample.exposure < with.eq2_user_exposure &&
         ((state.published & kIspIridix) == 0 || state.sample.iridix < with.eq2_user_iridix);
}

bool eq3Holds(const Settings& with, const SoftwareState& state) {
  const unsigned both = kIspIridix | kIspWb;
  return (state.published & both) == both && state.sample.wb < with.eq3_user_wb &&
         state.sample.iridix > with.eq3_user_iridix;
}

// The read itself, inlined into the daemon's pass.
__attribute__((always_inline)) inline bool readSample(IspReader* reader, IspInfo* sample, unsigned* published) {
  int fd = open(reader->paths[reader->in_use], O_RDONLY);
  if (fd < 0) {
    const int other = 1 - reader->in_use;
    fd = open(reader->paths[other], O_RDONLY);
    if (fd < 0) {
      printError("ERROR: %s: open failed\n", "readIspInfo");
      return false;
    }
    reader->in_use = other;
  }
  const IspGeneration* generation = reader->in_use == 0 ? readIspInfoSample(fd, sample) : readIspM0Sample(fd, sample);
  close(fd);
  if (!generation) return false;

  *published = publishedBy(*generation);
  // isp_info says nothing at first: its lines are those of old.
  if (reader->announced != reader->in_use || reader->announced_generation != generation) {
    if (settings.verbose >= 1 && (reader->announced >= 0 || reader->in_use != 0)) {
      printf(OUT_ISP_SOURCE, reader->paths[reader->in_use], generation->name, generation->gives);
    }
    reader->announced = reader->in_use;
    reader->announced_generation = generation;
  }
  return true;
}

}  // namespace

int readIspInfoFile(const char* path, int32_t* exposure, int32_t* iridix, int32_t* wb) {
  if (!exposure || !iridix || !wb) {
    printError("ERROR: %s: Invalid param\n", "readIspInfo");
    return -1;
  }
  const int fd = open(path, O_RDONLY);
  if (fd < 0) {
    printError("ERROR: %s: open failed\n", "readIspInfo");
    return -1;
  }
  const int recognised = scanIspInfo(fd, exposure, iridix, wb);
  close(fd);
  return recognised;
}

int readIspInfo(int32_t* exposure, int32_t* iridix, int32_t* wb) {
  return readIspInfoFile(kIspInfoPath, exposure, iridix, wb);
}

IspReader makeIspReader(const char* isp_info, const char* isp_m0) {
  const IspReader reader = {{isp_info, isp_m0}, 0, -1, nullptr};
  return reader;
}

bool readIspSample(IspReader* reader, IspInfo* sample, unsigned* published) {
  return readSample(reader, sample, published);
}

void startSoftwareMethod() {
  if (settings.verbose >= 1) {
    printf(OUT_SOFTWARE_START);
    printf("jitter_percent = %d\n", settings.jitter_percent);
    printf("eq1_user_exposure = %d\n", settings.eq1_user_exposure);
    printf("eq2_user_exposure = %d\n", settings.eq2_user_exposure);
    printf("eq2_user_iridix = %d\n", settings.eq2_user_iridix);
    printf("eq2_count = %d\n", settings.eq2_count);
    printf("eq3_user_wb = %d\n", settings.eq3_user_wb);
    printf("eq3_user_iridix = %d\n", settings.eq3_user_iridix);
    printf("eq3_count = %d\n", settings.eq3_count);
    printf("sec_wait = %d\n", settings.sec_wait);
  }
  night_mode = false;
  applyNightMode();
}

namespace {

// The judging and the pass themselves, inlined into the daemon's loop so
// that returning a verdict costs a sample nothing.
__attribute__((always_inline)) inline SoftwareVerdict judge(SoftwareState* state, const Settings& with, bool night,
                                                            int32_t* switch_wait) {
  const IspInfo& sample = state->sample;
  if (with.verbose >= 2) printRawSample(*state);
  SoftwareVerdict verdict = {SoftwareRule::kNone, false, 0, 0};

  const int32_t last_exposure = state->last_exposure;
  state->last_exposure = sample.exposure;

  if (isJitter(with, sample.exposure, last_exposure)) {
    if (with.verbose >= 1) printf(OUT_JITTER);
    state->eq2_wait_count = 0;
    state->eq3_wait_count = 0;
    verdict.rule = SoftwareRule::kJitter;
    return verdict;
  }

  if (*switch_wait != 0) {
    // A negative wait never ends; it stops at the 32-bit limit.
    if (*switch_wait > INT32_MIN) --*switch_wait;
    if (with.verbose >= 1) printf(OUT_SETTLE);
    verdict.rule = SoftwareRule::kSettle;
    verdict.eq2_wait_count = state->eq2_wait_count;
    verdict.eq3_wait_count = state->eq3_wait_count;
    return verdict;
  }

  if (!night) {
    if (sample.exposure > with.eq1_user_exposure) {
      if (with.verbose >= 1) printf(OUT_EQ1_SWITCH, sample.exposure);
      verdict.rule = SoftwareRule::kEq1;
      verdict.switches = true;
    }
    state->eq2_wait_count = 0;
    state->eq3_wait_count = 0;
    return verdict;
  }

  if (eq2Holds(with, *state)) {
    state->eq2_wait_count = incrementCapped(state->eq2_wait_count);
    if (state->eq2_wait_count > with.eq2_count) {
      if (with.verbose >= 1) printEq2(true, *state);
      verdict.rule = SoftwareRule::kEq2;
      verdict.switches = true;
      verdict.eq2_wait_count = state->eq2_wait_count;
      verdict.eq3_wait_count = state->eq3_wait_count;
      return verdict;
    }
    if (with.verbose >= 1) printEq2(false, *state);
  } else {
    state->eq2_wait_count = 0;
  }

  if (eq3Holds(with, *state)) {
    state->eq3_wait_count = incrementCapped(state->eq3_wait_count);
    if (state->eq3_wait_count > with.eq3_count) {
      if (with.verbose >= 1) printf(OUT_EQ3_SWITCH, sample.wb, sample.iridix);
      verdict.rule = SoftwareRule::kEq3;
      verdict.switches = true;
    } else {
      if (with.verbose >= 1) printf(OUT_EQ3_WAIT, sample.wb, sample.iridix);
    }
  } else {
    state->eq3_wait_count = 0;
  }
  verdict.eq2_wait_count = state->eq2_wait_count;
  verdict.eq3_wait_count = state->eq3_wait_count;
  return verdict;
}

__attribute__((always_inline)) inline SoftwareVerdict pass(SoftwareState* state, IspReader* reader) {
  if (!readSample(reader, &state->sample, &state->published)) {
    printError("Unable to read isp_info\n");
    const SoftwareVerdict unread = {SoftwareRule::kUnread, false, state->eq2_wait_count, state->eq3_wait_count};
    return unread;
  }
  return judge(state, settings, night_mode, &mode_switch_wait);
}

}  // namespace

SoftwareVerdict judgeIspSample(SoftwareState* state, const Settings& with, bool night, int32_t* switch_wait) {
  return judge(state, with, night, switch_wait);
}

SoftwareVerdict softwarePass(SoftwareState* state, IspReader* reader) { return pass(state, reader); }

int runSoftwareMethod() {
  IspReader reader = makeIspReader(kIspInfoPath, kIspM0Path);
  SoftwareState state = {0, 0, 0, {0, 0, 0}, 0};
  startSoftwareMethod();
  for (;;) {
    pauseSeconds(1);
    if (pass(&state, &reader).switches) toggleNightMode();
  }
}
