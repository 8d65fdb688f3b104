// The light-sensor method as the replay knows it: a sample is the mean of
// the ADC's conversions, the window decides, and night mode's IR LEDs lift
// what the sensor sees by a constant.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "light_sensor.h"
#include "output.h"
#include "replay.h"
#include "text.h"

namespace replay {
namespace {

// Far beyond any sensor's reading, and small enough that sums and steps of
// samples stay finite.
const double kLargest = 1e15;

const char kSampleColour[] = "#8fb3d9";
const char kMeanColour[] = "#1a4f8b";

double lightLevel(const Sample& sample) { return sample.light; }

bool lift(double day, double night, double* value) {
  *value = night - day;
  return true;
}

class LightModel : public Model {
 public:
  bool software() const override { return false; }
  const char* sampleName() const override { return "light-sensor"; }
  const char* outputName() const override { return "lumenflip -v output"; }
  const char* recordingHint() const override { return "lumenflip -v for the light sensor"; }
  const char* startLine() const override { return nullptr; }

  int findSample(const std::string& text, Sample* sample, bool* cut, std::string* why) const override {
    static const std::string kCurrent = trim(formatPrefix(OUT_CURRENT_VALUE));
    const size_t at = text.rfind(kCurrent);
    if (at == std::string::npos) return 0;
    if (parseReal(text.substr(at + kCurrent.size()), &sample->light)) {
      *cut = at > 0;
      if (fabs(sample->light) <= kLargest) return 1;
      *why = "out of range after \"" + kCurrent + "\" (samples lie within +-1e15): " + quoted(text);
      return -2;
    }
    if (!startsWith(text, kCurrent)) return 0;
    *why = "not a number after \"" + kCurrent + "\": " + quoted(text);
    return -1;
  }

  size_t csvColumns() const override { return 1; }

  bool csvSample(const std::vector<std::string>& fields, size_t first, Sample* sample,
                 std::string* why) const override {
    const std::string column = "column " + std::to_string(first + 1) + ": '" + quoted(fields[first]) + "'";
    if (!parseReal(fields[first], &sample->light)) {
      *why = column + " is not a number";
      return false;
    }
    if (fabs(sample->light) > kLargest) {
      *why = column + " is out of range (samples lie within +-1e15)";
      return false;
    }
    return true;
  }

  bool replay(const Recording& recording, const Settings& with, const Feedback& feedback, bool detail,
              Outcome* outcome) const override;

  Feedback estimateFeedback(const Recording& recording) const override {
    Feedback feedback;
    if (!medianStep(recording, lightLevel, lift, &feedback.effect, &feedback.switches)) return feedback;
    feedback.source = Feedback::Source::kEstimated;
    return feedback;
  }

  Feedback scaled(const Feedback& feedback, double power) const override {
    Feedback changed = feedback;
    changed.effect = feedback.effect * power;
    return changed;
  }

  std::string feedbackText(const Feedback& feedback) const override {
    char text[128];
    snprintf(text, sizeof text, "night mode adds %+.1f to the light sensor", feedback.effect);
    return text;
  }
  const char* feedbackOption() const override { return "--night-offset"; }
  const char* noFeedback() const override { return "0"; }
  std::string effectName(const Feedback& feedback) const override {
    char text[64];
    snprintf(text, sizeof text, "lift %.1f", feedback.effect);
    return text;
  }

  double clearance(const Recording&, const Settings& with, const Feedback& feedback) const override {
    if (!feedback.active() || feedback.effect <= 0.0) return INFINITY;
    return (with.off_threshold - with.on_threshold) / feedback.effect;
  }

  std::string flapping(const Recording& recording, const Settings& with, const Feedback& feedback) const override {
    if (clearance(recording, with, feedback) > 1.0) return "";
    const double gap = with.off_threshold - with.on_threshold;
    // A quarter more than the lift leaves room for noise and for the
    // estimate's own error.
    const double example = with.on_threshold + ceil(feedback.effect * 1.25);
    char text[512];
    snprintf(text, sizeof text,
             "flapping: night mode lifts the sensor by %.1f, no less than the gap of %s between -O %s and -F %s; "
             "widen the gap by more than %.1f (for example -F %s)",
             feedback.effect, formatReal(gap).c_str(), formatReal(with.on_threshold).c_str(),
             formatReal(with.off_threshold).c_str(), feedback.effect - gap, formatReal(example).c_str());
    return text;
  }

  std::vector<std::pair<std::string, std::string>> problems(const Recording& recording,
                                                            const Settings&) const override {
    std::vector<std::pair<std::string, std::string>> found;
    for (const std::string& problem : sensorProblems(recording, lightLevel, "sample", true))
      found.emplace_back("Sensor", problem);
    return found;
  }

  std::string options(const Settings& with) const override {
    return "-n " + std::to_string(with.window_size) + " -O " + formatReal(with.on_threshold) + " -F " +
           formatReal(with.off_threshold);
  }

  std::string decidedBy(const Switch& change, const Outcome&, const Settings& with) const override {
    char text[256];
    snprintf(text, sizeof text, "window mean %.2f %s %s", change.mean, change.night ? "<=" : ">=",
             formatReal(change.night ? with.on_threshold : with.off_threshold).c_str());
    return text;
  }

  std::string startText(const Outcome& outcome, size_t samples, const Settings& with) const override {
    char text[160];
    if (outcome.first_decision < samples)
      snprintf(text, sizeof text, "day; first decision at sample %zu, once the window of %d had filled",
               outcome.first_decision + 1, with.window_size);
    else
      snprintf(text, sizeof text, "day; the window of %d never filled, so nothing was decided", with.window_size);
    return text;
  }
  const char* restartText() const override { return "an empty window"; }

  Goal goal(const Recording& recording, const Settings& given, const Feedback& feedback) const override;
  std::vector<Candidate> grid(const Recording& recording, const Settings& given,
                              const Feedback& feedback) const override;

  std::string nearness(const Recording& recording) const override {
    return "the change to -O plus the change to the gap between -O and -F, each halving or doubling of -n "
           "counting as a step of the grid (" + formatReal(gridStep(recording)) + ")";
  }

  std::string goalText() const override { return "dark: the given -O or below; light: the given -F or above"; }

  std::string assumption(const Recording& recording) const override {
    return std::string("night mode adds nothing to the light sensor: ") +
           (recording.recorded_night.empty() ? "a CSV does not say when night mode was on"
                                             : "the recording holds no switch to measure it from") +
           ", and no --night-offset was given. If the IR LEDs light the sensor, the suggestion can flap. To measure "
           "the lift, replay a recording that switches (lumenflip -v output, or its lines in the system log): the "
           "replay takes it from the step at each switch; or in the dark compare the \"Current value\" lines after "
           "the mode command's \"on\" and after its \"off\", and give the difference as --night-offset";
  }

  std::vector<Panel> panels(const Outcome& outcome, const Settings& with) const override;

 private:
  static double gridStep(const Recording& recording) {
    double lo = INFINITY;
    double hi = -INFINITY;
    for (const Sample& sample : recording.samples) {
      lo = fmin(lo, sample.light);
      hi = fmax(hi, sample.light);
    }
    return niceStep((hi - lo) / 16.0);
  }
};

// Night mode's light moved from where the recording had it to where the
// replay has it. Where the two agree the recorded sample is used as it is,
// so that a replay with the recording's own options repeats it exactly.
double judged(const Recording& recording, const Feedback& feedback, size_t i, bool night) {
  const double recorded = recording.samples[i].light;
  if (!feedback.active() || recording.recordedNight(i) == night) return recorded;
  // No sensor reads below 0, however dark it is.
  return fmax(recorded + (night ? feedback.effect : -feedback.effect), 0.0);
}

bool LightModel::replay(const Recording& recording, const Settings& with, const Feedback& feedback, bool detail,
                        Outcome* outcome) const {
  const size_t n = recording.size();
  *outcome = Outcome();
  outcome->first_decision = n;
  if (detail) outcome->means.assign(n, NAN);
  LightWindow window = {nullptr, 0, 0, false};
  bool night = false;
  size_t next_restart = 0;
  for (size_t i = 0; i < n; ++i) {
    // A new daemon begins in day with an empty window.
    if (i == 0 || restartsAt(recording, i, &next_restart)) {
      if (night) outcome->switches.push_back(Switch{i, false, Rule::kRestart, NAN, 0});
      night = false;
      free(window.samples);
      if (openLightWindow(&window, with.window_size) != 0) return false;
    }
    Sample sample = recording.samples[i];
    sample.light = judged(recording, feedback, i, night);
    const LightVerdict verdict = judgeLightSample(&window, with, night, sample.light);
    if (verdict.decided && outcome->first_decision == n) outcome->first_decision = i;
    if (verdict.switches) {
      night = !night;
      outcome->switches.push_back(Switch{i, night, Rule::kWindow, verdict.mean, 0});
    }
    if (detail) {
      if (verdict.decided) outcome->means[i] = verdict.mean;
      outcome->judged.push_back(sample);
      outcome->night.push_back(night);
    }
  }
  free(window.samples);
  return true;
}

// The light without night mode's share, averaged over `width` samples so
// that noise does not pick the darkest sample.
std::vector<double> ambient(const Recording& recording, const Feedback& feedback, size_t width) {
  const size_t n = recording.size();
  std::vector<double> smooth(n);
  double sum = 0.0;
  std::vector<double> level(n);
  for (size_t i = 0; i < n; ++i) {
    level[i] = judged(recording, feedback, i, false);
    sum += level[i];
    if (i >= width) sum -= level[i - width];
    smooth[i] = sum / static_cast<double>(std::min(i + 1, width));
  }
  return smooth;
}

Goal LightModel::goal(const Recording& recording, const Settings& given, const Feedback& feedback) const {
  const size_t width = static_cast<size_t>(std::max(given.window_size, 1));
  const std::vector<double> level = ambient(recording, feedback, width);
  Goal goal;
  const size_t from = std::min(width, level.size()) - 1;
  goal.darkest = from;
  for (size_t i = from; i < level.size(); ++i)
    if (level[i] < level[goal.darkest]) goal.darkest = i;
  goal.dark = level[goal.darkest] <= given.on_threshold;
  goal.wanted.resize(level.size());
  for (size_t i = 0; i < level.size(); ++i) {
    const bool is_light = level[i] >= given.off_threshold;
    goal.wanted[i] = static_cast<signed char>(level[i] <= given.on_threshold ? 1 : is_light ? -1 : 0);
    if (is_light && i >= goal.darkest) goal.light = true;
  }
  return goal;
}

template <typename T>
void addUnique(std::vector<T>* list, T value) {
  if (std::find(list->begin(), list->end(), value) == list->end()) list->push_back(value);
}

std::vector<Model::Candidate> LightModel::grid(const Recording& recording, const Settings& given,
                                               const Feedback& feedback) const {
  const double lift_now = feedback.active() ? fmax(feedback.effect, 0.0) : 0.0;
  const double step = gridStep(recording);
  const double gap = given.off_threshold - given.on_threshold;

  std::vector<int32_t> windows;
  // In 64 bits: -n may be as large as an int holds.
  const int64_t size = given.window_size;
  for (int64_t n : {size, size / 2, size * 2, size * 4})
    if (n >= 1 && n <= 1000) addUnique(&windows, static_cast<int32_t>(n));
  addUnique(&windows, given.window_size);
  std::vector<double> ons;
  for (int k : {0, -1, 1, -2}) addUnique(&ons, given.on_threshold + k * step);
  std::vector<double> gaps = {gap};
  for (int k : {1, 2}) addUnique(&gaps, gap + k * step);
  if (lift_now > 0.0)
    for (double times : {1.3, 1.5, 2.0}) addUnique(&gaps, ceil(lift_now * times));

  std::vector<Candidate> grid;
  for (int32_t n : windows)
    for (double on : ons)
      for (double width : gaps) {
        if (width < 0.0 && width != gap) continue;
        Candidate candidate = {given, 0.0};
        candidate.settings.window_size = n;
        candidate.settings.on_threshold = on;
        // The given options exactly, however their gap rounds.
        candidate.settings.off_threshold = width == gap && on == given.on_threshold ? given.off_threshold : on + width;
        candidate.distance = fabs(on - given.on_threshold) + fabs(width - gap) +
                             step * fabs(log2(static_cast<double>(n) / given.window_size));
        grid.push_back(candidate);
      }
  return grid;
}

std::vector<Panel> LightModel::panels(const Outcome& outcome, const Settings& with) const {
  Panel panel;
  panel.label = "light sensor (ADC units)";
  panel.height = 380.0;
  Series samples = {{}, kSampleColour, 1.0};
  for (const Sample& sample : outcome.judged) samples.values.push_back(sample.light);
  panel.series = {samples, Series{outcome.means, kMeanColour, 2.2}};
  const bool crossed = with.on_threshold > with.off_threshold;
  panel.thresholds = {
      {with.on_threshold, kToNightColour, "night at \xE2\x89\xA4 " + formatReal(with.on_threshold) + " (-O)", !crossed},
      {with.off_threshold, kToDayColour, "day at \xE2\x89\xA5 " + formatReal(with.off_threshold) + " (-F)", crossed}};
  const std::string window =
      "window mean (" + std::to_string(with.window_size) + " sample" + (with.window_size == 1 ? ")" : "s)");
  panel.legend = {{kSampleColour, 1.0, false, "sample"},
                  {kMeanColour, 2.2, false, window},
                  {kToNightColour, 1.5, true, "night at or below -O"},
                  {kToDayColour, 1.5, true, "day at or above -F"}};
  return {panel};
}

}  // namespace

const Model& lightModel() {
  static const LightModel model;
  return model;
}

}  // namespace replay
