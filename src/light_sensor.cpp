#include "light_sensor.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "control.h"

namespace {

double* sample_window = nullptr;
int32_t window_index = 0;
bool window_full = false;

void decide(double mean) {
  if (night_mode) {
    if (mean >= settings.off_threshold) {
      night_mode = false;
      applyNightMode();
    }
  } else if (mean <= settings.on_threshold) {
    night_mode = true;
    applyNightMode();
  }
}

}  // namespace

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

int openSampleWindow() {
  if (settings.window_size < 1) {
    printError("ERROR: -n %d: the window must hold at least 1 sample\n", settings.window_size);
    return 1;
  }
  free(sample_window);
  sample_window = static_cast<double*>(calloc(static_cast<size_t>(settings.window_size), sizeof(double)));
  if (!sample_window) {
    printError("ERROR: -n %d: cannot allocate the sample window: %s\n", settings.window_size,
               strerror(errno));
    return 1;
  }
  window_index = 0;
  window_full = false;
  return 0;
}

double windowMean() {
  double sum = 0.0;
  for (int32_t i = 0; i < settings.window_size; ++i) sum += sample_window[i];
  return sum / settings.window_size;
}

bool addSample(double sample) {
  if (settings.verbose >= 1) printf("Current value: %.2lf\n", sample);

  sample_window[window_index++] = sample;
  if (window_index == settings.window_size) {
    window_full = true;
    window_index = 0;
  } else if (!window_full) {
    return false;
  }

  const double mean = windowMean();
  if (settings.verbose >= 1) printf("Window (%d) Avg: %.2lf\n", settings.window_size, mean);
  decide(mean);
  return true;
}

void lightSensorPass() {
  double sample;
  if (!jzAuxReadAverage(settings.adc_device, &sample, settings.adc_reads)) {
    printError("ERROR: jzAuxReadAverage(%d) failed: %s\n", settings.adc_reads, strerror(errno));
    return;
  }
  addSample(sample);
}

int runLightSensorMethod() {
  const int status = openSampleWindow();
  if (status != 0) return status;
  for (;;) {
    lightSensorPass();
    pauseSeconds(static_cast<uint32_t>(settings.delay_sec));
  }
}
