// What the replay does with a recording whatever its method: restarts,
// stretching, the step across switches, and the signs of a sensor unfit
// for tuning.
#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

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

// The median level of up to kSide samples in the same recorded mode, going
// from `from` in direction `step` (+1 or -1).
double sideLevel(const Recording& recording, double (*level)(const Sample&), size_t from, int step) {
  const bool mode = recording.recorded_night[from];
  std::vector<double> side;
  for (size_t i = from; side.size() < kSide && i < recording.size() && recording.recorded_night[i] == mode;
       i += static_cast<size_t>(step)) {
    side.push_back(level(recording.samples[i]));
    if (i == 0 && step < 0) break;
  }
  return median(side);
}

}  // namespace

bool restartsAt(const Recording& recording, size_t i, size_t* next) {
  if (*next >= recording.restarts.size() || recording.restarts[*next] != i) return false;
  ++*next;
  return true;
}

Recording stretched(const Recording& recording, size_t times) {
  Recording longer;
  longer.has_times = recording.has_times;
  longer.clock_times = recording.clock_times;
  for (size_t i = 0; i < recording.size(); ++i) {
    // Times between this sample's and the next, evenly.
    const double step = recording.has_times && i + 1 < recording.size()
                            ? (recording.times[i + 1] - recording.times[i]) / static_cast<double>(times)
                            : 0.0;
    for (size_t k = 0; k < times; ++k) {
      longer.samples.push_back(recording.samples[i]);
      if (!recording.recorded_night.empty()) longer.recorded_night.push_back(recording.recorded_night[i]);
      if (recording.has_times) {
        longer.times.push_back(recording.times[i] + step * static_cast<double>(k));
        longer.time_texts.push_back(recording.time_texts[i]);
      }
    }
  }
  for (size_t restart : recording.restarts) longer.restarts.push_back(restart * times);
  return longer;
}

void addSampleTimes(Recording* recording, ReadNotes* notes, int32_t delay) {
  recording->has_times = true;
  recording->clock_times = false;
  recording->times.clear();
  recording->time_texts.clear();
  for (size_t i = 0; i < recording->size(); ++i) {
    const long long seconds = static_cast<long long>(i) * delay;
    char text[64];
    snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    recording->times.push_back(static_cast<double>(seconds));
    recording->time_texts.push_back(text);
  }
  notes->format += ", a sample every " + duration(delay) + " (-d)";
}

bool medianStep(const Recording& recording, double (*level)(const Sample&),
                bool (*step)(double day, double night, double* value), double* middle, size_t* switches) {
  std::vector<double> steps;
  for (size_t i = 1; i < recording.recorded_night.size(); ++i) {
    if (recording.recorded_night[i] == recording.recorded_night[i - 1]) continue;
    const bool to_night = recording.recorded_night[i];
    const double before = sideLevel(recording, level, i - 1, -1);
    const double after = sideLevel(recording, level, i, +1);
    double value;
    if (step(to_night ? before : after, to_night ? after : before, &value)) steps.push_back(value);
  }
  if (steps.empty()) return false;
  *middle = median(steps);
  *switches = steps.size();
  return true;
}

std::vector<std::string> sensorProblems(const Recording& recording, double (*level)(const Sample&),
                                        const char* what, bool adc) {
  std::vector<std::string> problems;
  const size_t n = recording.size();
  char text[512];
  std::vector<double> values;
  for (const Sample& sample : recording.samples) values.push_back(level(sample));
  const auto range = std::minmax_element(values.begin(), values.end());
  // Full scale of the usual converters: 10, 12 and 16 bits, and the
  // largest value a 4-byte read can hold.
  static const double kTops[] = {0.0, 1023.0, 4095.0, 65535.0, 4294967295.0};
  bool stuck = false;
  for (double end : kTops) {
    if (!adc) break;
    const size_t at = static_cast<size_t>(std::count(values.begin(), values.end(), end));
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
  if (!stuck && n >= 2 && *range.second - *range.first <= 1.0) {
    snprintf(text, sizeof text,
             "never moves: every %s of %zu lies between %s and %s, within 1 unit; fix the sensor before tuning", what,
             n, formatReal(*range.first).c_str(), formatReal(*range.second).c_str());
    problems.push_back(text);
  }

  if (recording.has_times && n >= 3) {
    std::vector<double> steps;
    for (size_t i = 1; i < n; ++i) steps.push_back(recording.times[i] - recording.times[i - 1]);
    const double usual = median(steps);
    size_t gaps = 0;
    size_t longest = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
      if (!(steps[i] > 3.0 * usual && steps[i] > usual + 1.0)) continue;
      ++gaps;
      if (gaps == 1 || steps[i] > steps[longest]) longest = i;
    }
    if (gaps > 0) {
      snprintf(text, sizeof text,
               "%zu gap%s in the time column, the longest %s after %s; samples are %s apart otherwise",
               gaps, gaps == 1 ? "" : "s", duration(steps[longest]).c_str(), when(recording, longest).c_str(),
               duration(usual).c_str());
      problems.push_back(text);
    }
  }
  return problems;
}

}  // namespace replay
