// The text report: the switches as they happened, then how the day split.
#include <math.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "control.h"
#include "replay.h"

namespace replay {

std::vector<Period> periods(const Trace& trace, const std::vector<Switch>& switches) {
  std::vector<Period> list;
  size_t start = 0;
  bool night = false;
  bool after_switch = false;
  for (const Switch& change : switches) {
    list.push_back(Period{start, change.sample, night, after_switch});
    start = change.sample;
    night = change.night;
    after_switch = true;
  }
  list.push_back(Period{start, trace.size(), night, false});
  // A switch on the very first sample leaves an empty day before it.
  if (list.front().start == list.front().end) list.erase(list.begin());
  return list;
}

double periodLength(const Trace& trace, const Period& period) {
  if (!trace.has_times) return static_cast<double>(period.end - period.start);
  const size_t last = period.end < trace.size() ? period.end : trace.size() - 1;
  return trace.times[last] - trace.times[period.start];
}

const Period* shortestPeriod(const Trace& trace, const std::vector<Period>& list, bool night) {
  const Period* shortest = nullptr;
  for (const Period& period : list) {
    if (period.night == night && period.complete &&
        (!shortest || periodLength(trace, period) < periodLength(trace, *shortest)))
      shortest = &period;
  }
  return shortest;
}

std::string duration(double total) {
  char text[64];
  if (total < 60.0) {
    snprintf(text, sizeof text, total == floor(total) ? "%.0fs" : "%.1fs", total);
    return text;
  }
  const long long whole = llround(total);
  const long long h = whole / 3600;
  const long long m = whole / 60 % 60;
  const long long s = whole % 60;
  if (h > 0)
    snprintf(text, sizeof text, "%lldh%02lldm%02llds", h, m, s);
  else
    snprintf(text, sizeof text, "%lldm%02llds", m, s);
  return text;
}

std::string lengthText(const Trace& trace, const Period& period) {
  const size_t samples = period.end - period.start;
  std::string text = std::to_string(samples) + (samples == 1 ? " sample" : " samples");
  if (trace.has_times) text += ", " + duration(periodLength(trace, period));
  return text;
}

std::string when(const Trace& trace, size_t sample) {
  std::string text = "sample " + std::to_string(sample + 1);
  if (trace.has_times) text += " (" + trace.time_texts[sample] + ")";
  return text;
}

namespace {

std::string decidedBy(const Outcome& outcome, const Switch& change) {
  char text[256];
  const IspInfo s = outcome.isp.empty() ? IspInfo{0, 0, 0} : outcome.isp[change.sample];
  switch (change.rule) {
    case Rule::kWindow:
      snprintf(text, sizeof text, "window mean %.2f %s %s", change.mean, change.night ? "<=" : ">=",
               formatReal(change.night ? settings.on_threshold : settings.off_threshold).c_str());
      break;
    case Rule::kEq1:
      snprintf(text, sizeof text, "Eq1: exposure %d > %d (iridix %d, wb %d)", s.exposure, settings.eq1_user_exposure,
               s.iridix, s.wb);
      break;
    case Rule::kEq2:
      snprintf(text, sizeof text, "Eq2: exposure %d < %d and iridix %d < %d, %d in a row > %d (wb %d)", s.exposure,
               settings.eq2_user_exposure, s.iridix, settings.eq2_user_iridix, change.count, settings.eq2_count, s.wb);
      break;
    case Rule::kEq3:
      snprintf(text, sizeof text, "Eq3: wb %d < %d and iridix %d > %d, %d in a row > %d (exposure %d)", s.wb,
               settings.eq3_user_wb, s.iridix, settings.eq3_user_iridix, change.count, settings.eq3_count,
               s.exposure);
      break;
    case Rule::kRestart:
      snprintf(text, sizeof text, "a new daemon, in day (the init script runs the day command first)");
      break;
  }
  return text;
}

void printModeShare(FILE* out, const Trace& trace, const std::vector<Period>& list, bool night) {
  size_t samples = 0;
  double time = 0.0;
  for (const Period& period : list) {
    if (period.night != night) continue;
    samples += period.end - period.start;
    if (trace.has_times) time += periodLength(trace, period);
  }
  fprintf(out, "  %-6s %zu sample%s", night ? "night:" : "day:", samples, samples == 1 ? "" : "s");
  const double total = trace.has_times ? trace.times.back() - trace.times.front() : 0.0;
  if (trace.has_times && total > 0.0)
    fprintf(out, ", %s (%.1f%%)", duration(time).c_str(), 100.0 * time / total);
  else
    fprintf(out, " (%.1f%%)", 100.0 * static_cast<double>(samples) / static_cast<double>(trace.size()));
  fputc('\n', out);
}

// Flapping shows here: the shortest stretch between two switches.
void printShortest(FILE* out, const Trace& trace, const std::vector<Period>& list, bool night) {
  const Period* shortest = shortestPeriod(trace, list, night);
  fprintf(out, "  shortest %-6s ", night ? "night:" : "day:");
  if (!shortest)
    fprintf(out, "none between two switches\n");
  else
    fprintf(out, "%s, from %s\n", lengthText(trace, *shortest).c_str(), when(trace, shortest->start).c_str());
}

void printFeedback(FILE* out, const Trace& trace, const Feedback& feedback) {
  const bool light = trace.method == Method::kLightSensor;
  const char* option = light ? "--night-offset" : "--night-exposure-factor";
  char text[128];
  if (light)
    snprintf(text, sizeof text, "night mode adds %+.1f to the light sensor", feedback.lift);
  else
    snprintf(text, sizeof text, "night mode multiplies the exposure by %.2f", feedback.factor);
  switch (feedback.source) {
    case Feedback::Source::kEstimated:
      fprintf(out, "Feedback: %s (from %zu switch%s)\n", text, feedback.switches, feedback.switches == 1 ? "" : "es");
      break;
    case Feedback::Source::kGiven:
      if (feedback.active())
        fprintf(out, "Feedback: %s (%s)\n", text, option);
      else
        fprintf(out, "Feedback: none (%s %s)\n", option, light ? "0" : "1");
      break;
    case Feedback::Source::kNone:
      if (trace.recorded_night.empty())
        fprintf(out, "Feedback: not modelled: a CSV does not say when night mode was on (%s sets it)\n", option);
      else
        fprintf(out, "Feedback: none estimated: the recording has no switch (%s sets it)\n", option);
      break;
  }
}

// Where a system log's times come from, when they are not its stamps.
void printTimes(FILE* out, const Trace& trace) {
  if (trace.clock_back > 0)
    fprintf(out,
            "Times:    the clock went back %d time%s (first at line %d): the times after stand still over each "
            "step\n",
            trace.clock_back, trace.clock_back == 1 ? "" : "s", trace.clock_back_line);
  if (trace.spread > 0)
    fprintf(out,
            "Times:    %zu samples reached the log in blocks, sharing the stamp of the last in each: "
            "put before it, %s apart\n",
            trace.spread, duration(trace.spread_spacing).c_str());
}

void printRestarts(FILE* out, const Trace& trace) {
  if (trace.restarts.empty()) return;
  std::string list;
  for (size_t i = 0; i < trace.restarts.size(); ++i) {
    if (i == 5) {
      list += ", ...";
      break;
    }
    list += (i == 0 ? "" : ", ") + when(trace, trace.restarts[i]);
  }
  fprintf(out, "Restarts: %zu, at %s: a new daemon began in day, with %s, and so does the replay\n",
          trace.restarts.size(), list.c_str(),
          trace.method == Method::kLightSensor ? "an empty window" : "the day command and a settle period");
}

}  // namespace

void printHeader(FILE* out, const Trace& trace, const Feedback& feedback, const Outcome& outcome) {
  const bool light = trace.method == Method::kLightSensor;
  const size_t n = trace.size();
  fprintf(out, "Trace:    %s (%s): %zu %s sample%s", printable(trace.name).c_str(), trace.format.c_str(), n,
          light ? "light-sensor" : "software-method", n == 1 ? "" : "s");
  if (trace.system_log)
    fprintf(out, ", %s to %s", trace.first_stamp.c_str(), trace.last_stamp.c_str());
  else if (trace.has_times)
    fprintf(out, ", %s to %s", trace.time_texts.front().c_str(), trace.time_texts.back().c_str());
  if (!trace.header.empty()) fprintf(out, "; header \"%s\"", printable(trace.header).c_str());
  if (trace.skipped > 0) fprintf(out, "; %d line%s skipped", trace.skipped, trace.skipped == 1 ? "" : "s");
  if (trace.other_programs > 0)
    fprintf(out, "; %d line%s of other programs skipped", trace.other_programs, trace.other_programs == 1 ? "" : "s");
  if (trace.cut_inside > 0)
    fprintf(out, "; %d line%s cut short where a daemon ended (first at line %d)", trace.cut_inside,
            trace.cut_inside == 1 ? "" : "s", trace.cut_inside_line);
  if (trace.cut_short_line > 0)
    fprintf(out, "; the last line (%d) is cut short, as when the recording stopped inside it", trace.cut_short_line);
  fputc('\n', out);
  printTimes(out, trace);
  printRestarts(out, trace);
  fprintf(out, "Options:  %s\n", decisionOptions(trace.method).c_str());
  printFeedback(out, trace, feedback);
  const std::string warning = flappingWarning(trace.method, feedback);
  if (!warning.empty()) fprintf(out, "Warning:  %s\n", warning.c_str());
  for (const std::string& problem : sensorProblems(trace)) fprintf(out, "Sensor:   %s\n", problem.c_str());
  if (!light) {
    fprintf(out, "Start:    day (the day command runs at start)\n");
  } else if (outcome.first_decision < n) {
    fprintf(out, "Start:    day; first decision at sample %zu, once the window of %d had filled\n",
            outcome.first_decision + 1, settings.window_size);
  } else {
    fprintf(out, "Start:    day; the window of %d never filled, so nothing was decided\n", settings.window_size);
  }
}

void printSwitches(FILE* out, const Trace& trace, const Outcome& outcome) {
  fprintf(out, "\nSwitches:%s\n", outcome.switches.empty() ? " none" : "");
  if (!outcome.switches.empty()) {
    fprintf(out, "  %8s  %-*s%-6s %s\n", "sample", trace.has_times ? 12 : 0, trace.has_times ? "time" : "", "to",
            "decided by");
    for (const Switch& change : outcome.switches) {
      fprintf(out, "  %8zu  %-*s%-6s %s\n", change.sample + 1, trace.has_times ? 12 : 0,
              trace.has_times ? trace.time_texts[change.sample].c_str() : "", change.night ? "night" : "day",
              decidedBy(outcome, change).c_str());
    }
  }

  const std::vector<Period> list = periods(trace, outcome.switches);
  size_t to_night = 0;
  for (const Switch& change : outcome.switches) to_night += change.night ? 1 : 0;
  fprintf(out, "\nSummary:  %zu switch%s (%zu to night, %zu to day)\n", outcome.switches.size(),
          outcome.switches.size() == 1 ? "" : "es", to_night, outcome.switches.size() - to_night);
  printModeShare(out, trace, list, false);
  printModeShare(out, trace, list, true);
  printShortest(out, trace, list, false);
  printShortest(out, trace, list, true);
}

}  // namespace replay
