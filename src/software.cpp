#include "software.h"

#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "control.h"

const char* const kIspInfoPath = "/proc/jz/isp/isp_info";

namespace {

const int kLineBufferSize = 100;

struct IspLine {
  const char* prefix;
  size_t length;
};

const IspLine kExposureLine = {"ISP exposure log2 id: ", 22};
const IspLine kIridixLine = {"ISP Iridix strength : ", 22};
const IspLine kWbLine = {"ISP WB Temperature : ", 21};

bool startsWith(const char* held, int count, const IspLine& line) {
  return static_cast<size_t>(count) >= line.length && memcmp(held, line.prefix, line.length) == 0;
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

int32_t incrementCapped(int32_t count) { return count < INT32_MAX ? count + 1 : count; }

void switchMode(bool night) {
  night_mode = night;
  applyNightMode();
}

// Change of exposure relative to the new exposure, in percent above the
// allowed jitter, computed in this order. The sample is jitter when that is
// not a number, or its integer part is above 0 or outside 32 bits; compared
// directly, as trunc() would pull in the maths library for one call.
bool isJitter(int32_t exposure, int32_t last_exposure) {
  const double excess = fabs(static_cast<double>(exposure) - static_cast<double>(last_exposure)) /
                            static_cast<double>(exposure) * 100.0 -
                        static_cast<double>(settings.jitter_percent);
  return isnan(excess) || excess >= 1.0 || excess <= -2147483649.0;
}

// The conditions of the rules that turn night into day.
bool eq2Holds(const IspInfo& sample) {
  return sample.exposure < settings.eq2_user_exposure && sample.iridix < settings.eq2_user_iridix;
}

bool eq3Holds(const IspInfo& sample) {
  return sample.wb < settings.eq3_user_wb && sample.iridix > settings.eq3_user_iridix;
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

  char buffer[kLineBufferSize];
  int held = fill(fd, buffer, 0, kLineBufferSize);
  int recognised = 0;
  while (held > 0) {
    const char* limit = buffer + held;
    int32_t* output = nullptr;
    size_t skip = 0;
    if (startsWith(buffer, held, kExposureLine)) {
      output = exposure;
      skip = kExposureLine.length;
    } else if (startsWith(buffer, held, kIridixLine)) {
      output = iridix;
      skip = kIridixLine.length;
    } else if (startsWith(buffer, held, kWbLine)) {
      output = wb;
      skip = kWbLine.length;
    }
    if (output) {
      *output = parseInt32(buffer + skip, limit, nullptr);
      if (++recognised == 3) break;
    }

    const char* line_break = static_cast<const char*>(memchr(buffer, '\n', static_cast<size_t>(held)));
    if (!line_break) {
      printError("ERROR: %s: line is longer than %d chars buf\n", "readIspInfo", held);
      break;
    }
    const int dropped = static_cast<int>(line_break - buffer) + 1;
    held -= dropped;
    memmove(buffer, buffer + dropped, static_cast<size_t>(held));
    held = fill(fd, buffer, held, kLineBufferSize);
  }
  close(fd);
  return recognised;
}

int readIspInfo(int32_t* exposure, int32_t* iridix, int32_t* wb) {
  return readIspInfoFile(kIspInfoPath, exposure, iridix, wb);
}

void startSoftwareMethod() {
  if (settings.verbose >= 1) {
    printf("Starting software method using \n");
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
  switchMode(false);
}

int dayRule(const SoftwareState& state) {
  return eq2Holds(state.sample) && state.eq2_wait_count > settings.eq2_count ? 2 : 3;
}

void judgeSample(SoftwareState* state, int read_result) {
  if (read_result != 3) {
    printError("Unable to read isp_info\n");
    return;
  }
  const IspInfo& sample = state->sample;
  if (settings.verbose >= 2) printf("(%d, %d, %d)\n", sample.exposure, sample.iridix, sample.wb);

  const int32_t last_exposure = state->last_exposure;
  state->last_exposure = sample.exposure;

  if (isJitter(sample.exposure, last_exposure)) {
    if (settings.verbose >= 1) printf("jitter active\n");
    state->eq2_wait_count = 0;
    state->eq3_wait_count = 0;
    return;
  }

  if (mode_switch_wait != 0) {
    // A negative wait never ends; it stops at the 32-bit limit.
    if (mode_switch_wait > INT32_MIN) --mode_switch_wait;
    if (settings.verbose >= 1) printf("mode switch wait active\n");
    return;
  }

  if (!night_mode) {
    if (sample.exposure > settings.eq1_user_exposure) {
      if (settings.verbose >= 1) printf("Switching to night new exp=%d\n", sample.exposure);
      switchMode(true);
    }
    state->eq2_wait_count = 0;
    state->eq3_wait_count = 0;
    return;
  }

  if (eq2Holds(sample)) {
    state->eq2_wait_count = incrementCapped(state->eq2_wait_count);
    if (state->eq2_wait_count > settings.eq2_count) {
      if (settings.verbose >= 1) printf("Eq2 switching to day mode exp=%d iridix=%d\n", sample.exposure, sample.iridix);
      switchMode(false);
      return;
    }
    if (settings.verbose >= 1) printf("Eq2 wait_count active exp=%d iridix=%d\n", sample.exposure, sample.iridix);
  } else {
    state->eq2_wait_count = 0;
  }

  if (eq3Holds(sample)) {
    state->eq3_wait_count = incrementCapped(state->eq3_wait_count);
    if (state->eq3_wait_count > settings.eq3_count) {
      if (settings.verbose >= 1) printf("Eq3 switching to day mode wb=%d iridix=%d\n", sample.wb, sample.iridix);
      switchMode(false);
    } else {
      if (settings.verbose >= 1) printf("Eq3 wait_count active wb=%d iridix=%d\n", sample.wb, sample.iridix);
    }
  } else {
    state->eq3_wait_count = 0;
  }
}

void softwarePass(SoftwareState* state) {
  judgeSample(state, readIspInfo(&state->sample.exposure, &state->sample.iridix, &state->sample.wb));
}

int runSoftwareMethod() {
  SoftwareState state = {0, 0, 0, {0, 0, 0}};
  startSoftwareMethod();
  for (;;) {
    pauseSeconds(1);
    softwarePass(&state);
  }
}
