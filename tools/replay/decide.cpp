// The replay itself: every sample goes through the daemon's own decision
// functions, with a mode-command runner that records instead of running.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "control.h"
#include "light_sensor.h"
#include "replay.h"
#include "software.h"

namespace replay {
namespace {

// Switches the daemon asked for during the current sample.
size_t switched = 0;

int recordSwitch(const char*) {
  ++switched;
  return 0;
}

// Night mode's light moved from where the recording had it to where the
// replay has it. Where the two agree the recorded sample is used as it is,
// so that a replay with the recording's own options repeats it exactly.
double lightSample(const Trace& trace, const Feedback& feedback, size_t i) {
  const bool recorded = !trace.recorded_night.empty() && trace.recorded_night[i];
  if (recorded == night_mode) return trace.values[i];
  // No sensor reads below 0, however dark it is.
  return fmax(trace.values[i] + (night_mode ? feedback.lift : -feedback.lift), 0.0);
}

IspInfo ispSample(const Trace& trace, const Feedback& feedback, size_t i) {
  const bool recorded = !trace.recorded_night.empty() && trace.recorded_night[i];
  IspInfo sample = trace.isp[i];
  if (recorded == night_mode || feedback.factor <= 0.0) return sample;
  const double exposure = night_mode ? sample.exposure * feedback.factor : sample.exposure / feedback.factor;
  sample.exposure = static_cast<int32_t>(fmax(fmin(round(exposure), INT32_MAX), INT32_MIN));
  return sample;
}

// Where the recording shows a new daemon, the replay's begins there too:
// in day, with the day command (a switch when it was night) and the
// method's start, with the software method's `state` anew. Returns false
// when the method cannot start.
bool restart(const Trace& trace, size_t i, size_t* next, Outcome* outcome, SoftwareState* state = nullptr) {
  if (*next >= trace.restarts.size() || trace.restarts[*next] != i) return true;
  ++*next;
  if (night_mode) outcome->switches.push_back(Switch{i, false, Rule::kRestart, NAN, 0});
  night_mode = false;
  mode_switch_wait = 0;
  if (trace.method == Method::kLightSensor) return openSampleWindow() == 0;
  *state = SoftwareState{0, 0, 0, {0, 0, 0}};
  startSoftwareMethod();
  return true;
}

bool replayLightSensor(const Trace& trace, const Feedback& feedback, Outcome* outcome, bool detail) {
  const size_t n = trace.size();
  const bool model = feedback.active();
  if (detail) {
    outcome->means.assign(n, NAN);
    outcome->values.reserve(n);
  }
  size_t next_restart = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!restart(trace, i, &next_restart, outcome)) return false;
    const double sample = model ? lightSample(trace, feedback, i) : trace.values[i];
    switched = 0;
    const bool decided = addSample(sample);
    if (decided && outcome->first_decision == n) outcome->first_decision = i;
    if (switched > 0) {
      const double mean = windowMean();
      for (size_t k = 0; k < switched; ++k) outcome->switches.push_back(Switch{i, night_mode, Rule::kWindow, mean, 0});
    }
    if (detail) {
      if (decided) outcome->means[i] = windowMean();
      outcome->values.push_back(sample);
      outcome->night.push_back(night_mode);
    }
  }
  return true;
}

void replaySoftware(const Trace& trace, const Feedback& feedback, Outcome* outcome, bool detail) {
  const size_t n = trace.size();
  const bool model = feedback.active();
  // As the daemon starts: the day command runs (not a switch) and the
  // settle period begins.
  startSoftwareMethod();
  SoftwareState state = {0, 0, 0, {0, 0, 0}};
  outcome->first_decision = 0;
  if (detail) outcome->isp.reserve(n);
  size_t next_restart = 0;
  for (size_t i = 0; i < n; ++i) {
    restart(trace, i, &next_restart, outcome, &state);
    state.sample = model ? ispSample(trace, feedback, i) : trace.isp[i];
    switched = 0;
    judgeSample(&state, 3);  // every sample in a trace was a whole read
    for (size_t k = 0; k < switched; ++k) {
      Rule rule = Rule::kEq1;
      int32_t count = 0;
      if (!night_mode) {
        rule = dayRule(state) == 2 ? Rule::kEq2 : Rule::kEq3;
        count = rule == Rule::kEq2 ? state.eq2_wait_count : state.eq3_wait_count;
      }
      outcome->switches.push_back(Switch{i, night_mode, rule, NAN, count});
    }
    if (detail) {
      outcome->isp.push_back(state.sample);
      outcome->night.push_back(night_mode);
    }
  }
}

}  // namespace

bool replayTrace(const Trace& trace, const Feedback& feedback, Outcome* outcome, bool detail) {
  // Nothing is run and nothing of the daemon's own progress is printed.
  runModeCommand = recordSwitch;
  settings.verbose = 0;
  night_mode = false;
  mode_switch_wait = 0;
  *outcome = Outcome();
  outcome->first_decision = trace.size();
  if (trace.method == Method::kLightSensor) {
    if (openSampleWindow() != 0 || !replayLightSensor(trace, feedback, outcome, detail)) return false;
  } else {
    replaySoftware(trace, feedback, outcome, detail);
  }
  return true;
}

std::string decisionOptions(Method method) {
  char text[256];
  if (method == Method::kLightSensor) {
    snprintf(text, sizeof text, "-n %d -O %s -F %s", settings.window_size, formatReal(settings.on_threshold).c_str(),
             formatReal(settings.off_threshold).c_str());
  } else {
    snprintf(text, sizeof text, "-S -j %d -w %d -1 %d -2 %d,%d,%d -3 %d,%d,%d", settings.jitter_percent,
             settings.sec_wait, settings.eq1_user_exposure, settings.eq2_user_exposure, settings.eq2_user_iridix,
             settings.eq2_count, settings.eq3_user_wb, settings.eq3_user_iridix, settings.eq3_count);
  }
  return text;
}

std::string formatReal(double value) {
  char text[64];
  for (int precision = 6; precision <= 17; ++precision) {
    snprintf(text, sizeof text, "%.*g", precision, value);
    if (strtod(text, nullptr) == value) break;
  }
  return text;
}

}  // namespace replay
