#include "light_sensor.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "control.h"
#include "output.h"

int jzAuxRead(const char* device, uint32_t* value) {
  const int fd = open(device, O_RDONLY);
  if (fd < 0) return -1;
  const ssize_t got = read(fd, value, sizeof *value);
  // Keep the read's error number for the caller's message.
  const int read_errno = errno;
  close(fd);
  errno = read_errno;
  return got == static_cast<ssize_t>(sizeof *value) ? 1 : 0;
}

int jzAuxReadAverage(const char* device, double* average, int32_t count) {
  if (count < 1) return 0;
  double sum = 0.0;
  for (int32_t i = 0; i < count; ++i) {
    uint32_t value;
    if (jzAuxRead(device, &value) != 1) return 0;
    sum += static_cast<double>(value);
  }
  if (average) *average = sum / count;
  return 1;
}

int openLightWindow(LightWindow* window, int32_t size) {
  if (size < 1) {
    printError("ERROR: -n %d: the window must hold at least 1 sample\n", size);
    return 1;
  }
  window->samples = static_cast<double*>(calloc(static_cast<size_t>(size), sizeof(double)));
  if (!window->samples) {
    printError("ERROR: -n %d: cannot allocate the sample window: %s\n", size, strerror(errno));
    return 1;
  }
  window->size = size;
  window->index = 0;
  window->full = false;
  return 0;
}

namespace {

// The judging and the pass themselves, inlined into the daemon's loop so
// that returning a verdict costs a sample nothing.
__attribute__((always_inline)) inline LightVerdict judge(LightWindow* window, const Settings& with, bool night,
                                                         double sample) {
  if (with.verbose >= 1) printf(OUT_CURRENT_VALUE, sample);

  LightVerdict verdict = {0.0, false, false};
  window->samples[window->index++] = sample;
  if (window->index == window->size) {
    window->full = true;
    window->index = 0;
  } else if (!window->full) {
    return verdict;
  }

  double sum = 0.0;
  for (int32_t i = 0; i < window->size; ++i) sum += window->samples[i];
  verdict.decided = true;
  verdict.mean = sum / window->size;
  if (with.verbose >= 1) printf(OUT_WINDOW_MEAN, window->size, verdict.mean);
  verdict.switches = night ? verdict.mean >= with.off_threshold : verdict.mean <= with.on_threshold;
  return verdict;
}

__attribute__((always_inline)) inline LightVerdict pass(LightWindow* window) {
  double sample;
  if (!jzAuxReadAverage(settings.adc_device, &sample, settings.adc_reads)) {
    printError("ERROR: jzAuxReadAverage(%d) failed: %s\n", settings.adc_reads, strerror(errno));
    const LightVerdict nothing = {0.0, false, false};
    return nothing;
  }
  return judge(window, settings, night_mode, sample);
}

}  // namespace

LightVerdict judgeLightSample(LightWindow* window, const Settings& with, bool night, double sample) {
  return judge(window, with, night, sample);
}

LightVerdict lightSensorPass(LightWindow* window) { return pass(window); }

int runLightSensorMethod() {
  LightWindow window;
  const int status = openLightWindow(&window, settings.window_size);
  if (status != 0) return status;
  for (;;) {
    if (pass(&window).switches) toggleNightMode();
    pauseSeconds(static_cast<uint32_t>(settings.delay_sec));
  }
}
