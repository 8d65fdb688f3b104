// lumenflip-replay: runs a recorded trace through the daemon's decisions.
#ifndef LUMENFLIP_REPLAY_H
#define LUMENFLIP_REPLAY_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "software.h"

namespace replay {

enum class Method { kLightSensor, kSoftware };

// A recorded day: one entry per sample the daemon judged, in order.
struct Trace {
  std::string name;         // for messages: the path, or "standard input"
  Method method = Method::kLightSensor;
  std::string format;       // how the trace was recognised, for the report
  std::vector<double> values;   // light sensor: the samples
  std::vector<IspInfo> isp;     // software method: the statistics
  std::vector<int> lines;       // line of each sample in the trace
  // Times, when the trace has them: seconds, and the text as written.
  bool has_times = false;
  bool clock_times = false;  // written as a time of day (H:MM[:SS])
  std::vector<double> times;
  std::vector<std::string> time_texts;
  int skipped = 0;  // lines that are neither samples nor blank

  size_t size() const { return method == Method::kLightSensor ? values.size() : isp.size(); }
};

// Reads a trace. `wanted_software` is whether -S was given. On failure it
// writes "<name>:<line>: ..." (or "<name>: ...") to stderr and returns false.
bool readTrace(FILE* in, const std::string& name, bool wanted_software, Trace* trace);

enum class Rule { kWindow, kEq1, kEq2, kEq3 };

struct Switch {
  size_t sample;  // 0-based index into the trace
  bool night;     // the new mode
  Rule rule;
  double mean;    // light sensor: the window mean it decided on
  int32_t count;  // Eq2, Eq3: confirmations in a row
};

struct Outcome {
  std::vector<Switch> switches;
  std::vector<bool> night;     // the mode after each sample
  std::vector<double> means;   // light sensor: the window mean, NaN before it filled
  size_t first_decision = 0;   // index of the first sample decided on, or size()
};

// Replays the trace through the daemon's own functions with the current
// settings. Returns false (after the daemon's message) when the method
// cannot start.
bool replayTrace(const Trace& trace, Outcome* outcome);

// The decision settings as the daemon's options, to paste on its command line.
std::string decisionOptions(Method method);

void printReport(FILE* out, const Trace& trace, const Outcome& outcome);

bool writeSvg(const std::string& path, const Trace& trace, const Outcome& outcome);

// Shortest "%g"-style text that reads back as the same double.
std::string formatReal(double value);

}  // namespace replay

#endif
