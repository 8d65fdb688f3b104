// lumenflip-replay: runs a recorded day through the daemon's decisions.
#ifndef LUMENFLIP_REPLAY_H
#define LUMENFLIP_REPLAY_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "control.h"
#include "software.h"

namespace replay {

// One sample as the daemon judged it: the light sensor's mean of its
// conversions, or the ISP's statistics with those that its file publishes.
struct Sample {
  double light = 0.0;
  IspInfo isp = {0, 0, 0};
  unsigned published = 0;
};

// A recorded day: one entry per sample the daemon judged, in order.
struct Recording {
  std::vector<Sample> samples;
  // The daemon's own output says which samples it took in night: the
  // "Night Mode" lines stand between them. Empty for a CSV.
  std::vector<bool> recorded_night;
  // Samples at which a new daemon began (the init script's supervisor
  // started it again, or it was stopped and started): it starts in day,
  // and so does the replay there. Ascending, never 0.
  std::vector<size_t> restarts;
  // Times, when the recording has them: seconds, and the text as written.
  bool has_times = false;
  bool clock_times = false;  // written as a time of day (H:MM[:SS])
  std::vector<double> times;
  std::vector<std::string> time_texts;

  size_t size() const { return samples.size(); }
  bool recordedNight(size_t i) const { return !recorded_night.empty() && recorded_night[i]; }
};

// What reading the recording noticed, for the report.
struct ReadNotes {
  std::string name;    // the path, or "standard input"
  std::string format;  // how the recording was recognised
  std::string header;  // a CSV's header line
  int skipped = 0;     // lines that are neither samples, header nor blank
  int cut_short_line = 0;  // the last line, when the recording stops inside it
  // Lines that a daemon ended while writing, the next writer's text run on
  // into them: how many, and the first.
  int cut_inside = 0;
  int cut_inside_line = 0;
  // A system log (syslogd's file or logread): the lines of other programs,
  // the stamps of the first and last sample as written, how often the
  // clock went back (and the first such line), and how many samples shared
  // their stamp with later ones and were given earlier times, how far apart.
  bool system_log = false;
  int other_programs = 0;
  std::string first_stamp;
  std::string last_stamp;
  int clock_back = 0;
  int clock_back_line = 0;
  size_t spread = 0;
  double spread_spacing = 0.0;
};

// Night mode's own effect on what the daemon judges (its IR LEDs): the
// model says what `effect` measures.
struct Feedback {
  enum class Source { kNone, kEstimated, kGiven };
  Source source = Source::kNone;
  double effect = 0.0;  // 0: none
  size_t switches = 0;  // recorded switches it was estimated from

  bool active() const { return source != Source::kNone && effect != 0.0; }
};

enum class Rule { kWindow, kEq1, kEq2, kEq3, kRestart };

struct Switch {
  size_t sample;  // 0-based index into the recording
  bool night;     // the new mode
  Rule rule;
  double mean;    // light sensor: the window mean it decided on
  int32_t count;  // Eq2, Eq3: confirmations in a row
};

struct Outcome {
  std::vector<Switch> switches;
  size_t first_decision = 0;  // of the first sample decided on, or size()
  // With detail: the mode after each sample, what the daemon judged (the
  // recorded samples with night mode's effect moved to where the replayed
  // nights are), and the light sensor's window mean (NaN before it fills).
  std::vector<bool> night;
  std::vector<Sample> judged;
  std::vector<double> means;
};

// What a sweep looks for: per sample, night (1), day (-1) or either (0),
// by the given options on the light without night mode's own; where it is
// darkest, and whether it is dark there and light again after.
struct Goal {
  std::vector<signed char> wanted;
  size_t darkest = 0;
  bool dark = false;
  bool light = false;
};

// One panel of the picture: series on one value axis, with thresholds.
struct Series {
  std::vector<double> values;  // NaN: a gap
  const char* colour;
  double width;
};
struct Threshold {
  double value;
  const char* colour;
  std::string label;
  bool below;  // the label goes under the line
};
struct LegendItem {
  const char* colour;
  double width;
  bool dashed;  // a threshold's line
  std::string text;
};
// The colours of a switch to night and to day, in the markers and in the
// lines of the thresholds that make them; Eq3's own.
extern const char kToNightColour[];
extern const char kToDayColour[];
extern const char kToDayEq3Colour[];

struct Panel {
  std::string label;
  double height;
  std::vector<Series> series;
  std::vector<Threshold> thresholds;
  std::vector<LegendItem> legend;  // shown above the first panel
};

// A decision method as the replay knows it: what a sample holds, how it is
// read, replayed, explained, swept and drawn.
class Model {
 public:
  virtual ~Model() = default;

  virtual bool software() const = 0;
  virtual const char* sampleName() const = 0;     // "light-sensor"
  virtual const char* outputName() const = 0;     // "lumenflip -v output"
  virtual const char* recordingHint() const = 0;  // how to record one
  // The line with which the daemon's output starts (a new daemon), or nullptr.
  virtual const char* startLine() const = 0;

  // The sample on a line of the daemon's output: 1 with *sample and *cut
  // (it came after the rest of a cut line), 0 when the line holds none,
  // -1 when it holds a broken one (*why), -2 one that the daemon cannot
  // have printed (*why).
  virtual int findSample(const std::string& text, Sample* sample, bool* cut, std::string* why) const = 0;
  // A CSV's sample columns: how many, and the sample from them starting at
  // `first` (false and *why when they are not one).
  virtual size_t csvColumns() const = 0;
  virtual bool csvSample(const std::vector<std::string>& fields, size_t first, Sample* sample,
                         std::string* why) const = 0;

  // Replays the recording with `with`. False when the method cannot start.
  virtual bool replay(const Recording& recording, const Settings& with, const Feedback& feedback, bool detail,
                      Outcome* outcome) const = 0;

  // Night mode's effect: estimated from the recorded switches, scaled (a
  // quarter stronger: power 1.25), in the owner's words, the option that
  // gives it and its value for none, and short, for the sweep's notes.
  virtual Feedback estimateFeedback(const Recording& recording) const = 0;
  virtual Feedback scaled(const Feedback& feedback, double power) const = 0;
  virtual std::string feedbackText(const Feedback& feedback) const = 0;
  virtual const char* feedbackOption() const = 0;
  virtual const char* noFeedback() const = 0;
  virtual std::string effectName(const Feedback& feedback) const = 0;
  // How many times over the gap between the options' night and day
  // exceeds night mode's effect where night begins: at or below 1 they
  // flap. INFINITY without an effect.
  virtual double clearance(const Recording& recording, const Settings& with, const Feedback& feedback) const = 0;
  // Why `with` will flap with this effect, and what to change; empty when
  // it will not.
  virtual std::string flapping(const Recording& recording, const Settings& with, const Feedback& feedback) const = 0;
  // What makes the recording unfit for these options: (label, text) a line.
  virtual std::vector<std::pair<std::string, std::string>> problems(const Recording& recording,
                                                                    const Settings& with) const = 0;

  virtual std::string options(const Settings& with) const = 0;
  virtual std::string decidedBy(const Switch& change, const Outcome& outcome, const Settings& with) const = 0;
  virtual std::string startText(const Outcome& outcome, size_t samples, const Settings& with) const = 0;
  virtual const char* restartText() const = 0;  // what a new daemon begins with

  // The sweep: the goal and what it calls dark and light, the grid around
  // the given options (each candidate's distance from them), how nearness
  // is measured, and what a sweep without night mode's effect assumes.
  virtual Goal goal(const Recording& recording, const Settings& given, const Feedback& feedback) const = 0;
  virtual std::string goalText() const = 0;
  struct Candidate {
    Settings settings;
    double distance;
  };
  virtual std::vector<Candidate> grid(const Recording& recording, const Settings& given,
                                      const Feedback& feedback) const = 0;
  virtual std::string nearness(const Recording& recording) const = 0;
  virtual std::string assumption(const Recording& recording) const = 0;

  // The picture's panels, top to bottom.
  virtual std::vector<Panel> panels(const Outcome& outcome, const Settings& with) const = 0;
};

const Model& lightModel();
const Model& imageModel();

// Reads a recording. `wanted_software` is whether -S was given. On failure
// it writes "<name>:<line>: ..." (or "<name>: ...") to stderr and returns
// false.
bool readTrace(FILE* in, const std::string& name, bool wanted_software, Recording* recording, ReadNotes* notes,
               const Model** model);
// The same from text in memory.
bool readTraceText(const std::string& text, const std::string& name, bool wanted_software, Recording* recording,
                   ReadNotes* notes, const Model** model);

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
void addSampleTimes(Recording* recording, ReadNotes* notes, int32_t delay);

// Text from a recording, safe to print: control characters and bytes
// outside ASCII as \xNN, a backslash doubled.
std::string printable(const std::string& text);

// The recording with every sample taken `times` times over: its dusk and
// dawn come that many times slower.
Recording stretched(const Recording& recording, size_t times);

// Where a new daemon begins at sample i, in recording order; *next is the
// index into recording.restarts to look at next.
bool restartsAt(const Recording& recording, size_t i, size_t* next);

// The middle of the steps across the recorded switches: `step` of the
// levels on the day side and on the night side of each, a side being the
// median `level` of up to three samples in its mode, next to the switch.
// A few odd switches (a car's headlights) do not move it. False when the
// recording holds no switch with a step.
bool medianStep(const Recording& recording, double (*level)(const Sample&),
                bool (*step)(double day, double night, double* value), double* median, size_t* switches);

// What else about a recording makes it unfit for tuning: a sensor that
// never moves or sits at an end of its range, and gaps in the times.
std::vector<std::string> sensorProblems(const Recording& recording, double (*level)(const Sample&),
                                        const char* what, bool adc);

// How long each mode lasted, from the switches.
struct Period {
  size_t start;   // first sample in this mode
  size_t end;     // first sample after it
  bool night;
  bool complete;  // began and ended with a switch
};
std::vector<Period> periods(const Recording& recording, const std::vector<Switch>& switches);
// In seconds when the recording has times, otherwise in samples.
double periodLength(const Recording& recording, const Period& period);
// The shortest complete period in that mode, or nullptr.
const Period* shortestPeriod(const Recording& recording, const std::vector<Period>& list, bool night);
// "3m20s"; "5 samples" for a recording without times.
std::string lengthText(const Recording& recording, const Period& period);
// "1h02m03s", "40s".
std::string duration(double seconds);
// "sample 12 (17:10:50)", the time when the recording has one.
std::string when(const Recording& recording, size_t sample);

// The report: the recording, options, feedback and warnings; the switches
// and the summary.
void printHeader(FILE* out, const Model& model, const Recording& recording, const ReadNotes& notes,
                 const Settings& with, const Feedback& feedback, const Outcome& outcome);
void printSwitches(FILE* out, const Model& model, const Recording& recording, const Settings& with,
                   const Outcome& outcome);

// Replays a grid of options around `given` and suggests the best. False
// when the method cannot start.
bool printSweep(FILE* out, const Model& model, const Recording& recording, const Settings& given,
                const Feedback& feedback);

bool writeSvg(const std::string& path, const Model& model, const Recording& recording, const ReadNotes& notes,
              const Settings& with, const Outcome& outcome);

// A label and a long text, wrapped at word ends under the text's start.
void printWrapped(FILE* out, const char* label, const std::string& text);

// Shortest "%g"-style text that reads back as the same double.
std::string formatReal(double value);
// Steps of 1, 2 or 5 times a power of ten, near `raw`.
double niceStep(double raw);
// The text of a printf format before its first conversion.
std::string formatPrefix(const char* format);

}  // namespace replay

#endif
