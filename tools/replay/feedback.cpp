// Night mode's own light, estimated from a recording, and what else about
// a trace makes it unfit for tuning.
#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "control.h"
#include "replay.h"

namespace replay {
namespace {

// Samples on each side of a switch that its step is measured between:
// enough to calm the noise, few enough that dusk has not moved on.
const size_t kSide = 3;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double sampleValue(const Trace& trace, size_t i) {
  return trace.method == Method::kLightSensor ? trace.values[i] : static_cast<double>(trace.isp[i].exposure);
}

// The median of up to kSide samples in the same recorded mode, going from
// `from` in direction `step` (+1 or -1).
double sideLevel(const Trace& trace, size_t from, int step) {
  const bool mode = trace.recorded_night[from];
  std::vector<double> side;
  for (size_t i = from; side.size() < kSide && i < trace.size() && trace.recorded_night[i] == mode;
       i += static_cast<size_t>(step)) {
    side.push_back(sampleValue(trace, i));
    if (i == 0 && step < 0) break;
  }
  return median(side);
}

}  // namespace

Feedback estimateFeedback(const Trace& trace) {
  Feedback feedback;
  const bool light = trace.method == Method::kLightSensor;
  std::vector<double> steps;
  for (size_t i = 1; i < trace.recorded_night.size(); ++i) {
    if (trace.recorded_night[i] == trace.recorded_night[i - 1]) continue;
    const bool to_night = trace.recorded_night[i];
    const double before = sideLevel(trace, i - 1, -1);
    const double after = sideLevel(trace, i, +1);
    const double day = to_night ? before : after;
    const double night = to_night ? after : before;
    if (light) {
      steps.push_back(night - day);
    } else if (day > 0.0 && night > 0.0) {
      // Exposures scale: the middle of the ratios is taken on a log scale.
      steps.push_back(log(night / day));
    }
  }
  if (steps.empty()) return feedback;
  // The median: a few odd switches (a car's headlights) do not move it.
  const double middle = median(steps);
  feedback.source = Feedback::Source::kEstimated;
  feedback.switches = steps.size();
  if (light)
    feedback.lift = middle;
  else
    feedback.factor = exp(middle);
  return feedback;
}

std::string flappingWarning(Method method, const Feedback& feedback) {
  if (!feedback.active()) return "";
  char text[512];
  if (method == Method::kLightSensor) {
    const double gap = settings.off_threshold - settings.on_threshold;
    if (feedback.lift <= 0.0 || gap > feedback.lift) return "";
    // A quarter more than the lift leaves room for noise and for the
    // estimate's own error.
    const double example = settings.on_threshold + ceil(feedback.lift * 1.25);
    snprintf(text, sizeof text,
             "flapping: night mode lifts the sensor by %.1f, no less than the gap of %s between -O %s and -F %s; "
             "widen the gap by more than %.1f (for example -F %s)",
             feedback.lift, formatReal(gap).c_str(), formatReal(settings.on_threshold).c_str(),
             formatReal(settings.off_threshold).c_str(), feedback.lift - gap, formatReal(example).c_str());
    return text;
  }
  // Night begins just above -1's exposure; night mode's light scales that
  // down, and below -2's exposure Eq2 can already count towards day.
  const double lowered = settings.eq1_user_exposure * feedback.factor;
  if (feedback.factor >= 1.0 || lowered >= settings.eq2_user_exposure) return "";
  const double example = ceil(settings.eq2_user_exposure / feedback.factor * 1.25);
  snprintf(text, sizeof text,
           "flapping: night mode multiplies the exposure by %.2f, so night begins at about %.0f, below -2's %d; "
           "widen the gap: -1 above %.0f (for example -1 %.0f), or -2's exposure below %.0f",
           feedback.factor, lowered, settings.eq2_user_exposure, settings.eq2_user_exposure / feedback.factor,
           example, lowered);
  return text;
}

std::vector<std::string> sensorProblems(const Trace& trace) {
  std::vector<std::string> problems;
  const size_t n = trace.size();
  const bool light = trace.method == Method::kLightSensor;
  char text[512];
  double lo = INFINITY;
  double hi = -INFINITY;
  for (size_t i = 0; i < n; ++i) {
    lo = fmin(lo, sampleValue(trace, i));
    hi = fmax(hi, sampleValue(trace, i));
  }
  const char* what = light ? "sample" : "exposure";
  // Full scale of the usual converters: 10, 12 and 16 bits, and the
  // largest value a 4-byte read can hold.
  static const double kTops[] = {0.0, 1023.0, 4095.0, 65535.0, 4294967295.0};
  bool stuck = false;
  for (double end : kTops) {
    if (!light) break;
    const size_t at = static_cast<size_t>(std::count(trace.values.begin(), trace.values.end(), end));
    // Only a sensor that never leaves an end is stuck there: a long dark
    // night reads exact zeros for hours, and a glitch or two at the start
    // of a recording must not hide a dead sensor.
    if (n < 2 || at < n - n / 100) continue;
    snprintf(text, sizeof text, "stuck: %zu of %zu samples (%.1f%%) read %s, %s; fix the sensor before tuning", at, n,
             100.0 * static_cast<double>(at) / static_cast<double>(n), formatReal(end).c_str(),
             end == 0.0 ? "its lowest value" : "the top of its range");
    problems.push_back(text);
    stuck = true;
  }
  if (!stuck && n >= 2 && hi - lo <= 1.0) {
    snprintf(text, sizeof text,
             "never moves: every %s of %zu lies between %s and %s, within 1 unit; fix the sensor before tuning", what,
             n, formatReal(lo).c_str(), formatReal(hi).c_str());
    problems.push_back(text);
  }

  if (trace.has_times && n >= 3) {
    std::vector<double> steps;
    for (size_t i = 1; i < n; ++i) steps.push_back(trace.times[i] - trace.times[i - 1]);
    const double usual = median(steps);
    size_t gaps = 0;
    size_t longest = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
      if (!(steps[i] > 3.0 * usual && steps[i] > usual + 1.0)) continue;
      ++gaps;
      if (gaps == 1 || steps[i] > steps[longest]) longest = i;
    }
    if (gaps > 0) {
      snprintf(text, sizeof text, "%zu gap%s in the time column, the longest %s after %s; samples are %s apart otherwise",
               gaps, gaps == 1 ? "" : "s", duration(steps[longest]).c_str(), when(trace, longest).c_str(),
               duration(usual).c_str());
      problems.push_back(text);
    }
  }
  return problems;
}

}  // namespace replay
