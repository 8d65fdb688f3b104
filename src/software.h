// Software method: the ISP information reader and the rule machine that
// decides day or night from the image statistics.
#ifndef LUMENFLIP_SOFTWARE_H
#define LUMENFLIP_SOFTWARE_H

#include <stdint.h>

struct IspInfo {
  int32_t exposure;
  int32_t iridix;
  int32_t wb;
};

// The file the ISP driver publishes its statistics in.
extern const char* const kIspInfoPath;

// Reads the three statistics from kIspInfoPath. Returns -1 when an output
// is missing or the file cannot be opened, otherwise how many of the lines
// were recognised (0 to 3). Outputs of lines not recognised are untouched.
int readIspInfo(int32_t* exposure, int32_t* iridix, int32_t* wb);

// readIspInfo on another file, for tests and tools.
int readIspInfoFile(const char* path, int32_t* exposure, int32_t* iridix, int32_t* wb);

// State the software method keeps from pass to pass.
struct SoftwareState {
  int32_t last_exposure;
  int32_t eq2_wait_count;
  int32_t eq3_wait_count;
  IspInfo sample;
};

// Prints the settings (verbose) and runs the day command.
void startSoftwareMethod();

// Which rule turned night into day, 2 or 3, when judgeSample has just done
// so: Eq2 stops judging as soon as it switches, with its count past eq2_count.
int dayRule(const SoftwareState& state);

// Judges state->sample, given what readIspInfo returned for it.
void judgeSample(SoftwareState* state, int read_result);

// One sample: read the ISP file and judge it.
void softwarePass(SoftwareState* state);

// Samples once a second for ever.
int runSoftwareMethod();

#endif
