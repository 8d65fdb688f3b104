// Software method: the ISP information reader and the rule machine that
// decides day or night from the image statistics.
#ifndef LUMENFLIP_SOFTWARE_H
#define LUMENFLIP_SOFTWARE_H

#include <stdint.h>

#include "control.h"

struct IspInfo {
  int32_t exposure;
  int32_t iridix;
  int32_t wb;
};

// The file the ISP driver of T10 and T20 publishes its statistics in, and
// the one that stands in its place on later SoCs.
extern const char* const kIspInfoPath;
extern const char* const kIspM0Path;

// Reads the three statistics from kIspInfoPath. Returns -1 when an output
// is missing or the file cannot be opened, otherwise how many of the lines
// were recognised (0 to 3). Outputs of lines not recognised are untouched.
int readIspInfo(int32_t* exposure, int32_t* iridix, int32_t* wb);

// readIspInfo on another file, for tests and tools.
int readIspInfoFile(const char* path, int32_t* exposure, int32_t* iridix, int32_t* wb);

// The statistics a file publishes, as bits.
const unsigned kIspExposure = 1;
const unsigned kIspIridix = 2;
const unsigned kIspWb = 4;

// The start of a line of the ISP's file, compared byte for byte.
struct IspLabel {
  const char* text;
  unsigned length;
};

// One generation's labels: each statistic's line starts with its label and
// the value follows; nullptr where its file has no such line.
struct IspGeneration {
  const char* name;  // the SoCs that write these labels
  const IspLabel* exposure;
  const IspLabel* iridix;
  const IspLabel* wb;
  const char* gives;  // what the file gives, and what that means for the rules
};

// Every generation, in the order in which a file is recognised: the first
// whose labels it holds all of. The first is isp_info's.
extern const IspGeneration kIspGenerations[];
extern const int kIspGenerationCount;
// On T40 and T41 each ISP's block of the file starts with this; the
// statistics are the first ISP's.
extern const IspLabel kIspBlockStart;

// Which of the two files the statistics come from, and what it held.
struct IspReader {
  const char* paths[2];  // isp_info's first: it wins when both can be opened
  int in_use;     // index of the file read last, kept while it can be opened
  int announced;  // the file and labels of the last -v line: -1 and nullptr before
  const IspGeneration* announced_generation;
};

// A reader of `isp_info` and, in its place, `isp_m0`.
IspReader makeIspReader(const char* isp_info, const char* isp_m0);

// Reads a sample from the file in use, or from the other one when that
// cannot be opened: isp_info as readIspInfo reads it, isp-m0 whole (up to
// its second ISP's block; a read that returns less than asked, ending a
// line, is its end), with the labels of whichever generation wrote it.
// True when the file held every statistic it publishes; *published says
// which those are. Writes the source line (-v) when it differs from the
// last one.
bool readIspSample(IspReader* reader, IspInfo* sample, unsigned* published);

// State the software method keeps from pass to pass.
struct SoftwareState {
  int32_t last_exposure;
  int32_t eq2_wait_count;
  int32_t eq3_wait_count;
  IspInfo sample;
  unsigned published;  // which of the sample's statistics its file gives
};

// What decided a sample: nothing (a day sample, or a night sample that
// only counted), a failed read, the jitter filter, the settle period, or a
// rule that switches.
enum class SoftwareRule { kNone, kUnread, kJitter, kSettle, kEq1, kEq2, kEq3 };

struct SoftwareVerdict {
  SoftwareRule rule;
  bool switches;
  int32_t eq2_wait_count;  // confirmations in a row, after this sample
  int32_t eq3_wait_count;
};

// Prints the settings (verbose) and runs the day command.
void startSoftwareMethod();

// Judges state->sample for a camera in `night`, with the settle period's
// samples still to wait in *switch_wait, printing the verbose lines of
// `with`.
SoftwareVerdict judgeIspSample(SoftwareState* state, const Settings& with, bool night, int32_t* switch_wait);

// One sample of the daemon: read, then judged. A failed read is reported
// and decides nothing.
SoftwareVerdict softwarePass(SoftwareState* state, IspReader* reader);

// Samples once a second for ever.
int runSoftwareMethod();

#endif
