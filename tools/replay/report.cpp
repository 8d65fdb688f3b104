// The text report: the switches as they happened, then how the day split.
#include <math.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "replay.h"

namespace replay {

std::vector<Period> periods(const Recording& recording, const std::vector<Switch>& switches) {
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
  list.push_back(Period{start, recording.size(), night, false});
  // A switch on the very first sample leaves an empty day before it.
  if (list.front().start == list.front().end) list.erase(list.begin());
  return list;
}

double periodLength(const Recording& recording, const Period& period) {
  if (!recording.has_times) return static_cast<double>(period.end - period.start);
  const size_t last = period.end < recording.size() ? period.end : recording.size() - 1;
  return recording.times[last] - recording.times[period.start];
}

const Period* shortestPeriod(const Recording& recording, const std::vector<Period>& list, bool night) {
  const Period* shortest = nullptr;
  for (const Period& period : list) {
    if (period.night == night && period.complete &&
        (!shortest || periodLength(recording, period) < periodLength(recording, *shortest)))
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

std::string lengthText(const Recording& recording, const Period& period) {
  const size_t samples = period.end - period.start;
  std::string text = std::to_string(samples) + (samples == 1 ? " sample" : " samples");
  if (recording.has_times) text += ", " + duration(periodLength(recording, period));
  return text;
}

std::string when(const Recording& recording, size_t sample) {
  std::string text = "sample " + std::to_string(sample + 1);
  if (recording.has_times) text += " (" + recording.time_texts[sample] + ")";
  return text;
}

namespace {

void printModeShare(FILE* out, const Recording& recording, const std::vector<Period>& list, bool night) {
  size_t samples = 0;
  double time = 0.0;
  for (const Period& period : list) {
    if (period.night != night) continue;
    samples += period.end - period.start;
    if (recording.has_times) time += periodLength(recording, period);
  }
  fprintf(out, "  %-6s %zu sample%s", night ? "night:" : "day:", samples, samples == 1 ? "" : "s");
  const double total = recording.has_times ? recording.times.back() - recording.times.front() : 0.0;
  if (recording.has_times && total > 0.0)
    fprintf(out, ", %s (%.1f%%)", duration(time).c_str(), 100.0 * time / total);
  else
    fprintf(out, " (%.1f%%)", 100.0 * static_cast<double>(samples) / static_cast<double>(recording.size()));
  fputc('\n', out);
}

// Flapping shows here: the shortest stretch between two switches.
void printShortest(FILE* out, const Recording& recording, const std::vector<Period>& list, bool night) {
  const Period* shortest = shortestPeriod(recording, list, night);
  fprintf(out, "  shortest %-6s ", night ? "night:" : "day:");
  if (!shortest)
    fprintf(out, "none between two switches\n");
  else
    fprintf(out, "%s, from %s\n", lengthText(recording, *shortest).c_str(), when(recording, shortest->start).c_str());
}

void printFeedback(FILE* out, const Model& model, const Recording& recording, const Feedback& feedback) {
  const char* option = model.feedbackOption();
  const std::string text = model.feedbackText(feedback);
  switch (feedback.source) {
    case Feedback::Source::kEstimated:
      if (feedback.active())
        fprintf(out, "Feedback: %s (from %zu switch%s)\n", text.c_str(), feedback.switches,
                feedback.switches == 1 ? "" : "es");
      else
        fprintf(out, "Feedback: none: night mode does not change what the daemon judges at its %zu switch%s (%s sets "
                     "it)\n", feedback.switches, feedback.switches == 1 ? "" : "es", option);
      break;
    case Feedback::Source::kGiven:
      if (feedback.active())
        fprintf(out, "Feedback: %s (%s)\n", text.c_str(), option);
      else
        fprintf(out, "Feedback: none (%s %s)\n", option, model.noFeedback());
      break;
    case Feedback::Source::kNone:
      if (recording.recorded_night.empty())
        fprintf(out, "Feedback: not modelled: a CSV does not say when night mode was on (%s sets it)\n", option);
      else
        fprintf(out, "Feedback: none estimated: the recording has no switch (%s sets it)\n", option);
      break;
  }
}

// Where a system log's times come from, when they are not its stamps.
void printTimes(FILE* out, const ReadNotes& notes) {
  if (notes.clock_back > 0)
    fprintf(out,
            "Times:    the clock went back %d time%s (first at line %d): the times after stand still over each "
            "step\n",
            notes.clock_back, notes.clock_back == 1 ? "" : "s", notes.clock_back_line);
  if (notes.spread > 0)
    fprintf(out,
            "Times:    %zu samples reached the log in blocks, sharing the stamp of the last in each: "
            "put before it, %s apart\n",
            notes.spread, duration(notes.spread_spacing).c_str());
}

void printRestarts(FILE* out, const Model& model, const Recording& recording) {
  if (recording.restarts.empty()) return;
  std::string list;
  for (size_t i = 0; i < recording.restarts.size(); ++i) {
    if (i == 5) {
      list += ", ...";
      break;
    }
    list += (i == 0 ? "" : ", ") + when(recording, recording.restarts[i]);
  }
  fprintf(out, "Restarts: %zu, at %s: a new daemon began in day, with %s, and so does the replay\n",
          recording.restarts.size(), list.c_str(), model.restartText());
}

// The first line: what was read, and what was skipped on the way.
void printTrace(FILE* out, const Model& model, const Recording& recording, const ReadNotes& notes) {
  const size_t n = recording.size();
  fprintf(out, "Trace:    %s (%s): %zu %s sample%s", printable(notes.name).c_str(), notes.format.c_str(), n,
          model.sampleName(), n == 1 ? "" : "s");
  if (notes.system_log)
    fprintf(out, ", %s to %s", notes.first_stamp.c_str(), notes.last_stamp.c_str());
  else if (recording.has_times)
    fprintf(out, ", %s to %s", recording.time_texts.front().c_str(), recording.time_texts.back().c_str());
  if (!notes.header.empty()) fprintf(out, "; header \"%s\"", printable(notes.header).c_str());
  if (notes.skipped > 0) fprintf(out, "; %d line%s skipped", notes.skipped, notes.skipped == 1 ? "" : "s");
  if (notes.other_programs > 0)
    fprintf(out, "; %d line%s of other programs skipped", notes.other_programs, notes.other_programs == 1 ? "" : "s");
  if (notes.cut_inside > 0)
    fprintf(out, "; %d line%s cut short where a daemon ended (first at line %d)", notes.cut_inside,
            notes.cut_inside == 1 ? "" : "s", notes.cut_inside_line);
  if (notes.cut_short_line > 0)
    fprintf(out, "; the last line (%d) is cut short, as when the recording stopped inside it", notes.cut_short_line);
  fputc('\n', out);
}

}  // namespace

void printHeader(FILE* out, const Model& model, const Recording& recording, const ReadNotes& notes,
                 const Settings& with, const Feedback& feedback, const Outcome& outcome) {
  printTrace(out, model, recording, notes);
  printTimes(out, notes);
  printRestarts(out, model, recording);
  fprintf(out, "Options:  %s\n", model.options(with).c_str());
  printFeedback(out, model, recording, feedback);
  const std::string warning = model.flapping(recording, with, feedback);
  if (!warning.empty()) fprintf(out, "Warning:  %s\n", warning.c_str());
  for (const auto& problem : model.problems(recording, with))
    fprintf(out, "%-10s%s\n", (problem.first + ":").c_str(), problem.second.c_str());
  fprintf(out, "Start:    %s\n", model.startText(outcome, recording.size(), with).c_str());
}

void printSwitches(FILE* out, const Model& model, const Recording& recording, const Settings& with,
                   const Outcome& outcome) {
  fprintf(out, "\nSwitches:%s\n", outcome.switches.empty() ? " none" : "");
  if (!outcome.switches.empty()) {
    const int width = recording.has_times ? 12 : 0;
    fprintf(out, "  %8s  %-*s%-6s %s\n", "sample", width, recording.has_times ? "time" : "", "to", "decided by");
    for (const Switch& change : outcome.switches) {
      const std::string decided =
          change.rule == Rule::kRestart ? "a new daemon, in day (the init script runs the day command first)"
                                        : model.decidedBy(change, outcome, with);
      fprintf(out, "  %8zu  %-*s%-6s %s\n", change.sample + 1, width,
              recording.has_times ? recording.time_texts[change.sample].c_str() : "", change.night ? "night" : "day",
              decided.c_str());
    }
  }

  const std::vector<Period> list = periods(recording, outcome.switches);
  size_t to_night = 0;
  for (const Switch& change : outcome.switches) to_night += change.night ? 1 : 0;
  fprintf(out, "\nSummary:  %zu switch%s (%zu to night, %zu to day)\n", outcome.switches.size(),
          outcome.switches.size() == 1 ? "" : "es", to_night, outcome.switches.size() - to_night);
  printModeShare(out, recording, list, false);
  printModeShare(out, recording, list, true);
  printShortest(out, recording, list, false);
  printShortest(out, recording, list, true);
}

}  // namespace replay
