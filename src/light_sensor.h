// Light-sensor method: auxiliary ADC reads, averaging, the moving window
// and the hysteresis decision.
#ifndef LUMENFLIP_LIGHT_SENSOR_H
#define LUMENFLIP_LIGHT_SENSOR_H

#include <stdint.h>

#include "control.h"

// One conversion: open, read 4 bytes, close. 1 on a full read, 0 on any
// other read result, -1 when the device cannot be opened.
int jzAuxRead(const char* device, uint32_t* value);

// Mean of `count` conversions into *average (if given). 1 on success,
// 0 on the first failed conversion or a count below 1.
int jzAuxReadAverage(const char* device, double* average, int32_t count);

// The moving window of samples, written in ring order at `index`; `full`
// from the moment the index first wraps.
struct LightWindow {
  double* samples;
  int32_t size;
  int32_t index;
  bool full;
};

// Allocates a window of `size` samples, once for the life of the method.
// Returns 0, or the exit status after reporting why the method cannot start.
int openLightWindow(LightWindow* window, int32_t size);

// What one sample decided.
struct LightVerdict {
  double mean;
  bool decided;   // the window was full, and `mean` is its mean
  bool switches;  // the mean crossed the threshold of the other mode
};

// Stores `sample` in the window and, once it is full, judges its mean for
// a camera in `night`, printing the verbose lines of `with`.
LightVerdict judgeLightSample(LightWindow* window, const Settings& with, bool night, double sample);

// One sample of the daemon: read from the ADC, then judged. A failed read
// is reported and decides nothing.
LightVerdict lightSensorPass(LightWindow* window);

// Samples every `delay_sec` seconds for ever. Returns only when the window
// cannot be set up, with the exit status.
int runLightSensorMethod();

#endif
