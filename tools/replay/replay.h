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
  // The daemon's own output says which samples it took in night: the
  // "Night Mode" lines stand between them. Empty for a CSV.
  std::vector<bool> recorded_night;
  // Times, when the trace has them: seconds, and the text as written.
  bool has_times = false;
  bool clock_times = false;  // written as a time of day (H:MM[:SS])
  std::vector<double> times;
  std::vector<std::string> time_texts;
  std::string header;        // a CSV's header line
  int skipped = 0;           // lines that are neither samples, header nor blank
  int cut_short_line = 0;    // the last line, when the recording stops inside it
  // Lines that a daemon ended while writing, the next writer's text run on
  // into them: how many, and the first.
  int cut_inside = 0;
  int cut_inside_line = 0;
  // Samples at which a new daemon began (the init script's supervisor
  // started it again, or it was stopped and started): it starts in day with
  // an empty window, and so does the replay there. Ascending, never 0.
  std::vector<size_t> restarts;

  // A system log (syslogd's file or logread): the lines of other programs,
  // the stamps of the first and last sample as written, how often the
  // clock went back (and the first such line), and how many samples shared
  // their stamp with later ones, the daemon's output reaching the log in
  // blocks, and were given earlier times, and how far apart.
  bool system_log = false;
  int other_programs = 0;
  std::string first_stamp;
  std::string last_stamp;
  int clock_back = 0;
  int clock_back_line = 0;
  size_t spread = 0;
  double spread_spacing = 0.0;

  size_t size() const { return method == Method::kLightSensor ? values.size() : isp.size(); }
};

// Reads a trace. `wanted_software` is whether -S was given. On failure it
// writes "<name>:<line>: ..." (or "<name>: ...") to stderr and returns false.
bool readTrace(FILE* in, const std::string& name, bool wanted_software, Trace* trace);
// The same from text in memory.
bool readTraceText(const std::string& text, const std::string& name, bool wanted_software, Trace* trace);

// One line of a system log as syslogd writes it and logread prints it:
// "Mmm dd HH:MM:SS[.fff] [host] [facility.level] tag[[pid]]: message".
struct LogLine {
  int month = 0;        // 0 to 11
  int day = 0;          // 1 to 31
  double seconds = 0;   // since midnight
  std::string stamp;    // "Dec 8 15:26:17", single-spaced
  std::string tag;      // without the pid; empty when there is none
  std::string message;  // after "tag: ", or all after the stamp
};
// Whether the text starts with a time stamp; fills *line when it does.
bool parseLogLine(const std::string& text, LogLine* line);

// Turns the stamps of a log, in order, into seconds that only go forward:
// past midnight, into the new year (a date back by more than half a year),
// across the end of February of a year with or without Feb 29. A clock set
// back holds still for the step, and says so.
class LogClock {
 public:
  double seconds(const LogLine& line, bool* went_back);

 private:
  bool started_ = false;
  int days_ = 0;         // added to the day of the year
  double shift_ = 0.0;   // the clock's steps back, taken out
  double last_ = 0.0;
  int last_day_ = 0;
};

// A daemon's output reaches the log in blocks, so samples share the stamp
// of the block that brought them. Gives each the time of its stamp, less
// the usual time between samples for each later one in its block, unless
// that is below the stamps' second. *moved: how many moved by a second or
// more; *spacing: that usual time.
void spreadTimes(const std::vector<double>& stamps, std::vector<double>* times, size_t* moved, double* spacing);

// "HH:MM:SS" of seconds since a midnight.
std::string clockText(double seconds);

// Gives a recording of the daemon's output, which has no times, one sample
// every `delay` seconds from 0:00:00.
void addSampleTimes(Trace* trace, int32_t delay);

// Text from a trace, safe to print: control characters and bytes outside
// ASCII as \xNN, a backslash doubled.
std::string printable(const std::string& text);

// The light that night mode adds to what the sensor sees (IR LEDs).
struct Feedback {
  enum class Source { kNone, kEstimated, kGiven };
  Source source = Source::kNone;
  double lift = 0.0;    // light sensor: ADC units added in night
  double factor = 1.0;  // software method: exposure multiplied in night
  size_t switches = 0;  // recorded switches estimated from

  bool active() const { return source != Source::kNone && (lift != 0.0 || factor != 1.0); }
};

// From the step of the samples across each recorded switch; kNone when the
// trace records no switch.
Feedback estimateFeedback(const Trace& trace);

// Why the current options will flap with this feedback, and by how much to
// widen their gap; empty when they will not.
std::string flappingWarning(Method method, const Feedback& feedback);

// What makes the sensor's trace unfit for tuning: it never moves, sits at
// an end of its range, or has gaps in its times. One line each.
std::vector<std::string> sensorProblems(const Trace& trace);

enum class Rule { kWindow, kEq1, kEq2, kEq3, kRestart };

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
  // What the daemon judged: the recorded samples with night mode's light
  // moved to where the replayed nights are.
  std::vector<double> values;
  std::vector<IspInfo> isp;
  size_t first_decision = 0;   // index of the first sample decided on, or size()
};

// Replays the trace through the daemon's own functions with the current
// settings and the feedback model. Returns false (after the daemon's
// message) when the method cannot start. Without `detail` only the
// switches are kept.
bool replayTrace(const Trace& trace, const Feedback& feedback, Outcome* outcome, bool detail = true);

// The decision settings as the daemon's options, to paste on its command line.
std::string decisionOptions(Method method);

// How long each mode lasted, from the switches.
struct Period {
  size_t start;   // first sample in this mode
  size_t end;     // first sample after it
  bool night;
  bool complete;  // began and ended with a switch
};
std::vector<Period> periods(const Trace& trace, const std::vector<Switch>& switches);
// In seconds when the trace has times, otherwise in samples.
double periodLength(const Trace& trace, const Period& period);
// The shortest complete period in that mode, or nullptr.
const Period* shortestPeriod(const Trace& trace, const std::vector<Period>& list, bool night);
// "3m20s"; "5 samples" for a trace without times.
std::string lengthText(const Trace& trace, const Period& period);
// "1h02m03s", "40s".
std::string duration(double seconds);
// "sample 12 (17:10:50)", the time when the trace has one.
std::string when(const Trace& trace, size_t sample);

// Trace, options, feedback and sensor lines; the switches and the summary.
void printHeader(FILE* out, const Trace& trace, const Feedback& feedback, const Outcome& outcome);
void printSwitches(FILE* out, const Trace& trace, const Outcome& outcome);

// Replays a grid of options around the current ones and suggests the best.
// Leaves the settings as they were.
bool printSweep(FILE* out, const Trace& trace, const Feedback& feedback);

bool writeSvg(const std::string& path, const Trace& trace, const Outcome& outcome);

// Shortest "%g"-style text that reads back as the same double.
std::string formatReal(double value);

}  // namespace replay

#endif
