// The replay itself: every sample goes through the daemon's own decision
// functions, with a mode-command runner that records instead of running.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "control.h"
#include "light_sensor.h"
#include "replay.h"
#include "software.h"

namespace replay {
namespace {

struct Recorder {
  size_t sample = 0;
  std::vector<std::pair<size_t, bool>> switches;  // sample, new mode
};

Recorder recorder;

int recordSwitch(const char*) {
  recorder.switches.emplace_back(recorder.sample, night_mode);
  return 0;
}

// Which rule turned night into day. Eq2 returns as soon as it switches, so
// it switched exactly when its condition held and its count went past
// eq2_count; otherwise it was Eq3.
Rule dayRule(const SoftwareState& state) {
  const IspInfo& s = state.sample;
  const bool eq2_held = s.exposure < settings.eq2_user_exposure && s.iridix < settings.eq2_user_iridix;
  return eq2_held && state.eq2_wait_count > settings.eq2_count ? Rule::kEq2 : Rule::kEq3;
}

void replayLightSensor(const Trace& trace, Outcome* outcome) {
  const size_t n = trace.size();
  outcome->means.assign(n, NAN);
  outcome->first_decision = n;
  for (size_t i = 0; i < n; ++i) {
    recorder.sample = i;
    const size_t before = recorder.switches.size();
    if (addSample(trace.values[i])) {
      outcome->means[i] = windowMean();
      if (outcome->first_decision == n) outcome->first_decision = i;
    }
    for (size_t k = before; k < recorder.switches.size(); ++k)
      outcome->switches.push_back(Switch{i, recorder.switches[k].second, Rule::kWindow, outcome->means[i], 0});
    outcome->night.push_back(night_mode);
  }
}

void replaySoftware(const Trace& trace, Outcome* outcome) {
  const size_t n = trace.size();
  // As the daemon starts: the day command runs (not a switch) and the
  // settle period begins.
  startSoftwareMethod();
  recorder.switches.clear();
  SoftwareState state = {0, 0, 0, {0, 0, 0}};
  outcome->first_decision = n;
  for (size_t i = 0; i < n; ++i) {
    recorder.sample = i;
    const size_t before = recorder.switches.size();
    state.sample = trace.isp[i];
    judgeSample(&state, 3);  // every sample in a trace was a whole read
    for (size_t k = before; k < recorder.switches.size(); ++k) {
      const bool night = recorder.switches[k].second;
      const Rule rule = night ? Rule::kEq1 : dayRule(state);
      const int32_t count = rule == Rule::kEq2 ? state.eq2_wait_count : rule == Rule::kEq3 ? state.eq3_wait_count : 0;
      outcome->switches.push_back(Switch{i, night, rule, NAN, count});
    }
    outcome->night.push_back(night_mode);
  }
}

}  // namespace

bool replayTrace(const Trace& trace, Outcome* outcome) {
  // Nothing is run and nothing of the daemon's own progress is printed.
  runModeCommand = recordSwitch;
  settings.verbose = 0;
  night_mode = false;
  mode_switch_wait = 0;
  recorder = Recorder();
  if (trace.method == Method::kLightSensor) {
    if (openSampleWindow() != 0) return false;
    replayLightSensor(trace, outcome);
  } else {
    replaySoftware(trace, outcome);
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
