// Light-sensor method: auxiliary ADC reads, averaging, the moving window
// and the hysteresis decision.
#ifndef LUMENFLIP_LIGHT_SENSOR_H
#define LUMENFLIP_LIGHT_SENSOR_H

#include <stdint.h>

// One conversion: open, read 4 bytes, close. 1 on a full read, 0 on any
// other read result, -1 when the device cannot be opened.
int jzAuxRead(const char* device, uint32_t* value);

// Mean of `count` conversions into *average (if given). 1 on success,
// 0 on the first failed conversion or a count below 1.
int jzAuxReadAverage(const char* device, double* average, int32_t count);

// Allocates the sample window for `window_size` samples. Returns 0, or the
// exit status after reporting why the method cannot start.
int openSampleWindow();

// The window's mean over all of its slots.
double windowMean();

// Stores a sample and, once the window has filled, decides on its mean.
// Returns whether it decided (whether or not the mode changed).
bool addSample(double sample);

// One sample: read it from the ADC, then addSample.
void lightSensorPass();

// Samples every `delay_sec` seconds for ever. Returns only when the window
// cannot be set up, with the exit status.
int runLightSensorMethod();

#endif
