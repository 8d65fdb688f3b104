// The replay itself: every sample goes through the daemon's own decisions,
// with the replay's own mode, settle period and window.
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

// The mode and settle period the replay keeps in place of the daemon's.
struct Mode {
  bool night = false;
  int32_t switch_wait = 0;
};

// Night mode's light moved from where the recording had it to where the
// replay has it. Where the two agree the recorded sample is used as it is,
// so that a replay with the recording's own options repeats it exactly.
double lightSample(const Trace& trace, const Feedback& feedback, size_t i, bool night) {
  const bool recorded = !trace.recorded_night.empty() && trace.recorded_night[i];
  if (recorded == night) return trace.values[i];
  // No sensor reads below 0, however dark it is.
  return fmax(trace.values[i] + (night ? feedback.lift : -feedback.lift), 0.0);
}

IspInfo ispSample(const Trace& trace, const Feedback& feedback, size_t i, bool night) {
  const bool recorded = !trace.recorded_night.empty() && trace.recorded_night[i];
  IspInfo sample = trace.isp[i];
  if (recorded == night || feedback.factor <= 0.0) return sample;
  const double exposure = night ? sample.exposure * feedback.factor : sample.exposure / feedback.factor;
  sample.exposure = static_cast<int32_t>(fmax(fmin(round(exposure), INT32_MAX), INT32_MIN));
  return sample;
}

// Whether a new daemon begins at sample i, as the recording shows.
bool restartsAt(const Trace& trace, size_t i, size_t* next) {
  if (*next >= trace.restarts.size() || trace.restarts[*next] != i) return false;
  ++*next;
  return true;
}

// A new daemon: in day, with the day command run at its start (a switch
// when the camera was in night).
void restart(size_t i, Mode* mode, int32_t settle, Outcome* outcome) {
  if (mode->night) outcome->switches.push_back(Switch{i, false, Rule::kRestart, NAN, 0});
  mode->night = false;
  mode->switch_wait = settle;
}

bool replayLightSensor(const Trace& trace, const Settings& with, const Feedback& feedback, Outcome* outcome,
                       bool detail) {
  const size_t n = trace.size();
  const bool model = feedback.active();
  if (detail) {
    outcome->means.assign(n, NAN);
    outcome->values.reserve(n);
  }
  LightWindow window = {nullptr, 0, 0, false};
  if (openLightWindow(&window, with.window_size) != 0) return false;
  Mode mode;
  size_t next_restart = 0;
  for (size_t i = 0; i < n; ++i) {
    if (restartsAt(trace, i, &next_restart)) {
      restart(i, &mode, 0, outcome);
      free(window.samples);
      if (openLightWindow(&window, with.window_size) != 0) return false;
    }
    const double sample = model ? lightSample(trace, feedback, i, mode.night) : trace.values[i];
    const LightVerdict verdict = judgeLightSample(&window, with, mode.night, sample);
    if (verdict.decided && outcome->first_decision == n) outcome->first_decision = i;
    if (verdict.switches) {
      mode.night = !mode.night;
      outcome->switches.push_back(Switch{i, mode.night, Rule::kWindow, verdict.mean, 0});
    }
    if (detail) {
      if (verdict.decided) outcome->means[i] = verdict.mean;
      outcome->values.push_back(sample);
      outcome->night.push_back(mode.night);
    }
  }
  free(window.samples);
  return true;
}

void replaySoftware(const Trace& trace, const Settings& with, const Feedback& feedback, Outcome* outcome,
                    bool detail) {
  const size_t n = trace.size();
  const bool model = feedback.active();
  // As the daemon starts: the day command runs (not a switch) and the
  // settle period begins.
  Mode mode;
  mode.switch_wait = with.sec_wait;
  SoftwareState state = {0, 0, 0, {0, 0, 0}, kIspExposure | kIspIridix | kIspWb};
  outcome->first_decision = 0;
  if (detail) outcome->isp.reserve(n);
  size_t next_restart = 0;
  for (size_t i = 0; i < n; ++i) {
    if (restartsAt(trace, i, &next_restart)) {
      restart(i, &mode, with.sec_wait, outcome);
      state = SoftwareState{0, 0, 0, {0, 0, 0}, state.published};
    }
    state.sample = model ? ispSample(trace, feedback, i, mode.night) : trace.isp[i];
    const SoftwareVerdict verdict = judgeIspSample(&state, with, mode.night, &mode.switch_wait);
    if (verdict.switches) {
      mode.night = !mode.night;
      mode.switch_wait = with.sec_wait;
      const Rule rule = verdict.rule == SoftwareRule::kEq1   ? Rule::kEq1
                        : verdict.rule == SoftwareRule::kEq2 ? Rule::kEq2
                                                              : Rule::kEq3;
      const int32_t count = rule == Rule::kEq2 ? verdict.eq2_wait_count : rule == Rule::kEq3 ? verdict.eq3_wait_count : 0;
      outcome->switches.push_back(Switch{i, mode.night, rule, NAN, count});
    }
    if (detail) {
      outcome->isp.push_back(state.sample);
      outcome->night.push_back(mode.night);
    }
  }
}

}  // namespace

bool replayTrace(const Trace& trace, const Feedback& feedback, Outcome* outcome, bool detail) {
  // Nothing of the daemon's own progress is printed.
  Settings with = settings;
  with.verbose = 0;
  *outcome = Outcome();
  outcome->first_decision = trace.size();
  if (trace.method == Method::kLightSensor) return replayLightSensor(trace, with, feedback, outcome, detail);
  replaySoftware(trace, with, feedback, outcome, detail);
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
