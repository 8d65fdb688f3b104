// --sweep: the same trace replayed with a grid of options around the given
// ones, with night mode's own light, and the options to paste.
#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "control.h"
#include "replay.h"

namespace replay {
namespace {

// The candidates shown besides the given options.
const size_t kShown = 10;

struct Candidate {
  Settings settings;
  bool given = false;
  double distance = 0.0;  // from the given options
  std::vector<Switch> switches;
  bool night_in_dark = true;
  bool day_in_light = true;
  size_t mismatch = 0;  // samples in day where it is dark, or in night where light
  // What the lift a quarter stronger or weaker does to it, when that
  // changes its switches; empty when nothing.
  bool checked = false;
  std::string fragile;

  bool valid() const { return night_in_dark && day_in_light; }
};

// Where the trace is dark and where it is light again, by the user's own
// thresholds, judged on the light without night mode's: a candidate must
// be in night at the darkest sample and come back to day after it.
struct Goal {
  size_t darkest = 0;
  bool dark = false;   // the darkest is dark by the given options
  bool light = false;  // and it is light again after it
  std::vector<signed char> wanted;  // per sample: 1 night, -1 day, 0 either
};

// The light (or exposure) without night mode's share, averaged over
// `width` samples so that noise does not pick the darkest sample.
std::vector<double> ambient(const Trace& trace, const Feedback& feedback, size_t width) {
  const size_t n = trace.size();
  const bool light = trace.method == Method::kLightSensor;
  std::vector<double> level(n);
  for (size_t i = 0; i < n; ++i) {
    const bool night = feedback.active() && !trace.recorded_night.empty() && trace.recorded_night[i];
    if (light)
      level[i] = night ? fmax(trace.values[i] - feedback.lift, 0.0) : trace.values[i];
    else
      level[i] = static_cast<double>(trace.isp[i].exposure) / (night ? feedback.factor : 1.0);
  }
  std::vector<double> smooth(n);
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) {
    sum += level[i];
    if (i >= width) sum -= level[i - width];
    smooth[i] = sum / static_cast<double>(std::min(i + 1, width));
  }
  return smooth;
}

Goal findGoal(const Trace& trace, const Feedback& feedback) {
  const bool light = trace.method == Method::kLightSensor;
  const size_t width = light ? static_cast<size_t>(std::max(settings.window_size, 1)) : 10;
  const std::vector<double> level = ambient(trace, feedback, width);
  // Dark is low light, or a long exposure.
  const double sign = light ? 1.0 : -1.0;
  Goal goal;
  const size_t from = std::min(width, level.size()) - 1;
  goal.darkest = from;
  for (size_t i = from; i < level.size(); ++i)
    if (sign * level[i] < sign * level[goal.darkest]) goal.darkest = i;
  const double dark_level = light ? settings.on_threshold : settings.eq1_user_exposure;
  const double light_level = light ? settings.off_threshold : settings.eq2_user_exposure;
  goal.dark = light ? level[goal.darkest] <= dark_level : level[goal.darkest] > dark_level;
  goal.wanted.resize(level.size());
  for (size_t i = 0; i < level.size(); ++i) {
    const bool is_dark = light ? level[i] <= dark_level : level[i] > dark_level;
    const bool is_light = light ? level[i] >= light_level : level[i] < light_level;
    goal.wanted[i] = static_cast<signed char>(is_dark ? 1 : is_light ? -1 : 0);
    if (is_light && i >= goal.darkest) goal.light = true;
  }
  return goal;
}

bool nightAt(const std::vector<Switch>& switches, size_t sample) {
  bool night = false;
  for (const Switch& change : switches) {
    if (change.sample > sample) break;
    night = change.night;
  }
  return night;
}

bool run(const Trace& trace, const Feedback& feedback, const Goal& goal, Candidate* candidate) {
  settings = candidate->settings;
  Outcome outcome;
  if (!replayTrace(trace, feedback, &outcome, false)) return false;
  candidate->switches = outcome.switches;
  candidate->night_in_dark = !goal.dark || nightAt(candidate->switches, goal.darkest);
  bool day_after = false;
  for (const Switch& change : candidate->switches)
    if (!change.night && change.sample > goal.darkest) day_after = true;
  candidate->day_in_light = !goal.dark || !goal.light || day_after;
  candidate->mismatch = 0;
  bool night = false;
  size_t next = 0;
  for (size_t i = 0; i < goal.wanted.size(); ++i) {
    for (; next < candidate->switches.size() && candidate->switches[next].sample == i; ++next)
      night = candidate->switches[next].night;
    if (goal.wanted[i] == (night ? -1 : 1)) ++candidate->mismatch;
  }
  return true;
}

// Steps of 1, 2 or 5 times a power of ten.
double niceStep(double raw) {
  if (!(raw > 0.0) || !isfinite(raw)) return 1.0;
  const double magnitude = pow(10.0, floor(log10(raw)));
  const double norm = raw / magnitude;
  return (norm < 1.5 ? 1.0 : norm < 3.5 ? 2.0 : norm < 7.5 ? 5.0 : 10.0) * magnitude;
}

template <typename T>
void addUnique(std::vector<T>* list, T value) {
  if (std::find(list->begin(), list->end(), value) == list->end()) list->push_back(value);
}

std::vector<Candidate> lightGrid(const Trace& trace, const Feedback& feedback, double* grid_step) {
  const Settings given = settings;
  const double lift = feedback.active() ? fmax(feedback.lift, 0.0) : 0.0;
  const auto range = std::minmax_element(trace.values.begin(), trace.values.end());
  const double step = niceStep((*range.second - *range.first) / 16.0);
  *grid_step = step;
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
  if (lift > 0.0)
    for (double times : {1.25, 1.5, 2.0}) addUnique(&gaps, ceil(lift * times));

  std::vector<Candidate> grid;
  for (int32_t n : windows)
    for (double on : ons)
      for (double width : gaps) {
        if (width < 0.0 && width != gap) continue;
        Candidate candidate;
        candidate.settings = given;
        candidate.settings.window_size = n;
        candidate.settings.on_threshold = on;
        candidate.settings.off_threshold = on + width;
        candidate.given = n == given.window_size && on == given.on_threshold && width == gap;
        if (candidate.given) candidate.settings = given;
        candidate.distance = fabs(on - given.on_threshold) + fabs(width - gap) +
                             step * fabs(log2(static_cast<double>(n) / given.window_size));
        grid.push_back(candidate);
      }
  return grid;
}

std::vector<Candidate> softwareGrid(const Feedback& feedback) {
  const Settings given = settings;
  std::vector<int32_t> eq1s = {given.eq1_user_exposure};
  for (double times : {1.25, 1.5, 2.0}) addUnique(&eq1s, static_cast<int32_t>(fmin(given.eq1_user_exposure * times, INT32_MAX)));
  const double factor = feedback.active() ? feedback.factor : 1.0;
  if (factor > 0.0 && factor < 1.0)
    for (double times : {1.25, 1.5})
      addUnique(&eq1s, static_cast<int32_t>(fmin(ceil(given.eq2_user_exposure / factor * times), INT32_MAX)));
  const auto counts = [](int32_t count) {
    std::vector<int32_t> list = {count};
    const int32_t base = count > 0 ? count : 5;
    for (int32_t times : {2, 4})
      if (base <= INT32_MAX / times) addUnique(&list, base * times);
    return list;
  };
  std::vector<Candidate> grid;
  for (int32_t eq1 : eq1s)
    for (int32_t eq2 : counts(given.eq2_count))
      for (int32_t eq3 : counts(given.eq3_count)) {
        Candidate candidate;
        candidate.settings = given;
        candidate.settings.eq1_user_exposure = eq1;
        candidate.settings.eq2_count = eq2;
        candidate.settings.eq3_count = eq3;
        candidate.given = eq1 == given.eq1_user_exposure && eq2 == given.eq2_count && eq3 == given.eq3_count;
        const auto relative = [](double value, double from) { return fabs(value - from) / fmax(fabs(from), 1.0); };
        candidate.distance = relative(eq1, given.eq1_user_exposure) + relative(eq2, given.eq2_count) +
                             relative(eq3, given.eq3_count);
        grid.push_back(candidate);
      }
  return grid;
}

// Valid first, then the fewest switches, then the closest to the light
// (in steps of 2% of the trace, so that noise does not decide), then the
// nearest to the given options.
bool better(const Candidate& a, const Candidate& b, size_t step) {
  if (a.valid() != b.valid()) return a.valid();
  if (a.switches.size() != b.switches.size()) return a.switches.size() < b.switches.size();
  if (a.mismatch / step != b.mismatch / step) return a.mismatch < b.mismatch;
  return a.distance < b.distance;
}

// Night mode's light a quarter stronger (power 1.25) or weaker (0.8).
Feedback scaled(const Feedback& feedback, double power) {
  Feedback changed = feedback;
  changed.lift = feedback.lift * power;
  changed.factor = pow(feedback.factor, power);
  return changed;
}

std::string liftText(const Trace& trace, const Feedback& feedback) {
  char text[64];
  if (trace.method == Method::kLightSensor)
    snprintf(text, sizeof text, "lift %.1f", feedback.lift);
  else
    snprintf(text, sizeof text, "night factor %.2f", feedback.factor);
  return text;
}

// Still as many switches with night mode's light a quarter stronger or
// weaker: the estimate has an error, and the suggestion must survive it.
// Notes in candidate->fragile what breaks it, if anything.
void checkFragile(const Trace& trace, const Feedback& feedback, const Goal& goal, Candidate* candidate) {
  if (candidate->checked) return;
  candidate->checked = true;
  if (!feedback.active() || !candidate->valid()) return;
  const Settings saved = settings;
  for (double power : {1.25, 0.8}) {
    const Feedback changed = scaled(feedback, power);
    Candidate again = *candidate;
    if (!run(trace, changed, goal, &again)) {
      candidate->fragile = liftText(trace, changed) + ": cannot start";
      break;
    }
    if (again.switches.size() == candidate->switches.size() && again.valid()) continue;
    candidate->fragile = liftText(trace, changed) + ": " +
                         (!again.night_in_dark  ? std::string("no night in the dark")
                          : !again.day_in_light ? std::string("no day after the dark")
                                                : std::to_string(again.switches.size()) + " switches");
    break;
  }
  settings = saved;
}

std::string options(const Trace& trace, const Candidate& candidate) {
  const Settings saved = settings;
  settings = candidate.settings;
  std::string text = decisionOptions(trace.method);
  settings = saved;
  return text;
}

std::vector<std::string> row(const Trace& trace, const Candidate& candidate, const char* note) {
  const std::vector<Period> list = periods(trace, candidate.switches);
  const Period* day = shortestPeriod(trace, list, false);
  const Period* night = shortestPeriod(trace, list, true);
  std::string first_night = "-";
  std::string last_day = "-";
  for (const Switch& change : candidate.switches) {
    if (change.night && first_night == "-") first_night = when(trace, change.sample);
    if (!change.night) last_day = when(trace, change.sample);
  }
  std::string notes = note;
  if (!candidate.night_in_dark) notes += std::string(notes.empty() ? "" : ", ") + "no night in the dark";
  if (!candidate.day_in_light) notes += std::string(notes.empty() ? "" : ", ") + "no day after the dark";
  if (!candidate.fragile.empty()) notes += std::string(notes.empty() ? "" : ", ") + candidate.fragile;
  return {options(trace, candidate), std::to_string(candidate.switches.size()),
          day ? lengthText(trace, *day) : "-", night ? lengthText(trace, *night) : "-", first_night, last_day, notes};
}

// A label and a long text, wrapped at word ends under the text's start.
void printWrapped(FILE* out, const char* label, const std::string& text) {
  const size_t kWidth = 116;
  const size_t kIndent = 10;
  std::string line = label;
  line.resize(std::max(line.size() + 1, kIndent), ' ');
  size_t at = 0;
  bool first_word = true;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(at, end - at);
    if (!first_word && line.size() + 1 + word.size() > kWidth) {
      fprintf(out, "%s\n", line.c_str());
      line = std::string(kIndent, ' ') + word;
    } else {
      line += (first_word ? "" : " ") + word;
    }
    first_word = false;
    at = end + 1;
  }
  fprintf(out, "%s\n", line.c_str());
}

// How the table is ordered and the suggestion chosen.
std::string ranking(const Trace& trace, const Feedback& feedback, double grid_step) {
  const bool light = trace.method == Method::kLightSensor;
  std::string text = std::string("first the options that go to night in the dark and back to day after it (") +
                     (light ? "dark: the given -O or below; light: the given -F or above"
                            : "dark: an exposure above the given -1; light: below -2's exposure") +
                     "), then by fewer switches, then by fewer samples in the wrong mode (in steps of 2% of the "
                     "trace), then by nearness to the given options: ";
  text += light ? "the change to -O plus the change to the gap between -O and -F, each halving or doubling of -n "
                  "counting as a step of the grid (" + formatReal(grid_step) + ")."
                : "the relative changes to -1 and to the counts of -2 and -3, added.";
  if (!feedback.active()) return text + " Suggested: the first.";
  return text + " Suggested: the first that keeps its switches with " + liftText(trace, scaled(feedback, 1.25)) +
         " and with " + liftText(trace, scaled(feedback, 0.8)) + ", a quarter stronger and weaker; the rows that "
         "do not say what they do then.";
}

// What a sweep without night mode's light takes for granted, and how to
// find out.
std::string assumption(const Trace& trace) {
  const bool light = trace.method == Method::kLightSensor;
  std::string text =
      light ? "night mode adds nothing to the light sensor: " : "night mode leaves the exposure as it is: ";
  text += trace.recorded_night.empty() ? "a CSV does not say when night mode was on"
                                       : "the recording holds no switch to measure it from";
  if (light)
    return text + ", and no --night-offset was given. If the IR LEDs light the sensor, the suggestion can flap. To "
                  "measure the lift, replay a recording that switches (lumenflip -v output, or its lines in the "
                  "system log): the replay takes it from the step at each switch; or in the dark compare the "
                  "\"Current value\" lines after the mode command's \"on\" and after its \"off\", and give the "
                  "difference as --night-offset";
  return text + ", and no --night-exposure-factor was given. If the IR LEDs change the exposure, the suggestion can "
                "flap. To measure it, replay a recording that switches (lumenflip -S -v -v output, or its lines in "
                "the system log); or in the dark compare the exposure after the mode command's \"on\" and after "
                "its \"off\", and give on divided by off as --night-exposure-factor";
}

void printTable(FILE* out, const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& cells : rows)
    for (size_t k = 0; k < cells.size(); ++k) widths[k] = std::max(widths[k], cells[k].size());
  for (const auto& cells : rows) {
    std::string line = " ";
    for (size_t k = 0; k < cells.size(); ++k) {
      const size_t pad = widths[k] - cells[k].size();
      line += "  ";
      // Counts right-aligned, the rest left.
      line += k == 1 ? std::string(pad, ' ') + cells[k] : cells[k] + std::string(pad, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    fprintf(out, "%s\n", line.c_str());
  }
}

}  // namespace

bool printSweep(FILE* out, const Trace& trace, const Feedback& feedback) {
  const Settings given = settings;
  const Goal goal = findGoal(trace, feedback);
  double grid_step = 0.0;
  std::vector<Candidate> grid =
      trace.method == Method::kLightSensor ? lightGrid(trace, feedback, &grid_step) : softwareGrid(feedback);
  for (Candidate& candidate : grid) {
    if (!run(trace, feedback, goal, &candidate)) {
      settings = given;
      return false;
    }
  }
  const size_t step = std::max<size_t>(trace.size() / 50, 1);
  std::stable_sort(grid.begin(), grid.end(),
                   [step](const Candidate& a, const Candidate& b) { return better(a, b, step); });
  Candidate* suggested = nullptr;
  for (Candidate& candidate : grid) {
    if (!candidate.valid()) break;
    checkFragile(trace, feedback, goal, &candidate);
    if (candidate.fragile.empty()) {
      suggested = &candidate;
      break;
    }
  }
  const bool none_robust = !suggested && !grid.empty() && grid.front().valid();
  if (none_robust) suggested = &grid.front();

  Candidate* given_row = nullptr;
  for (Candidate& candidate : grid)
    if (candidate.given) given_row = &candidate;
  std::vector<Candidate*> shown;
  for (Candidate& candidate : grid)
    if (&candidate != given_row && shown.size() < kShown) shown.push_back(&candidate);
  if (suggested && suggested != given_row && std::find(shown.begin(), shown.end(), suggested) == shown.end())
    shown.push_back(suggested);
  // Every row shown says whether it keeps its switches with the lift off.
  for (Candidate* candidate : shown) checkFragile(trace, feedback, goal, candidate);
  if (given_row) checkFragile(trace, feedback, goal, given_row);
  settings = given;

  fprintf(out, "\nSweep:    %zu sets of options", grid.size());
  if (feedback.active()) {
    if (trace.method == Method::kLightSensor)
      fprintf(out, ", night mode adding %+.1f to the light sensor", feedback.lift);
    else
      fprintf(out, ", night mode multiplying the exposure by %.2f", feedback.factor);
  } else {
    fprintf(out, ", without night mode's own light");
  }
  if (goal.dark)
    fprintf(out, "; dark at %s%s", when(trace, goal.darkest).c_str(), goal.light ? ", light again after it" : "");
  fprintf(out, "\n");
  printWrapped(out, "Ranked:", ranking(trace, feedback, grid_step));
  std::vector<std::vector<std::string>> rows = {
      {"options", "switches", "shortest day", "shortest night", "first night", "last day", ""}};
  if (given_row) rows.push_back(row(trace, *given_row, given_row == suggested ? "given, suggested" : "given"));
  for (const Candidate* candidate : shown)
    rows.push_back(row(trace, *candidate, candidate == suggested ? "suggested" : ""));
  printTable(out, rows);
  if (suggested)
    fprintf(out, "Suggested: %s (%zu switch%s)\n", options(trace, *suggested).c_str(), suggested->switches.size(),
            suggested->switches.size() == 1 ? "" : "es");
  else
    fprintf(out, "Suggested: none of these goes to night in the dark and back to day in the light\n");
  if (none_robust)
    printWrapped(out, "Note:",
                 std::string("none of those that go to night in the dark and back to day after it keeps its switches "
                             "with ") +
                     (trace.method == Method::kLightSensor ? "the lift" : "night mode's factor") +
                     " a quarter stronger and weaker: the suggestion is the best without that test");
  if (feedback.source == Feedback::Source::kNone) printWrapped(out, "Assumed:", assumption(trace));
  return true;
}

}  // namespace replay
