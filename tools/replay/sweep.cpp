// --sweep: the same recording replayed with a grid of options around the
// given ones, with night mode's own effect, and the options to paste: the
// best of those that still hold with that effect a quarter off, with dusk
// and dawn four times slower, and with a gap that clears the effect.
#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "replay.h"

namespace replay {
namespace {

// The candidates shown besides the given options.
const size_t kShown = 10;
// How many times over a suggestion's gap must clear night mode's effect.
const double kClearance = 1.25;
// How many times slower the dusk and dawn a suggestion must also hold on.
const size_t kSlower = 4;

struct Candidate {
  Settings settings;
  bool given = false;
  double distance = 0.0;  // from the given options
  std::vector<Switch> switches;
  bool night_in_dark = true;
  bool day_in_light = true;
  size_t mismatch = 0;  // samples in day where it is dark, or in night where light
  // What makes it fail to hold (the effect a quarter off, a slower dusk,
  // too narrow a gap); empty when nothing does.
  bool checked = false;
  std::string fragile;

  bool valid() const { return night_in_dark && day_in_light; }
};

class Sweep {
 public:
  Sweep(const Model& model, const Recording& recording, const Settings& given, const Feedback& feedback)
      : model_(model), recording_(recording), given_(given), feedback_(feedback),
        goal_(model.goal(recording, given, feedback)) {}

  // Replays a candidate on the recording (or a slower copy) with the
  // effect given, and judges it against the goal. False when it cannot start.
  bool run(Candidate* candidate, const Feedback& feedback, bool slower = false);
  void checkFragile(Candidate* candidate);
  const Goal& goal() const { return goal_; }

 private:
  const Model& model_;
  const Recording& recording_;
  const Settings& given_;
  const Feedback& feedback_;
  Goal goal_;
  // The recording and its goal with dusk and dawn kSlower times slower,
  // made when first needed.
  std::unique_ptr<Recording> slower_;
  Goal slower_goal_;
};

bool nightAt(const std::vector<Switch>& switches, size_t sample) {
  bool night = false;
  for (const Switch& change : switches) {
    if (change.sample > sample) break;
    night = change.night;
  }
  return night;
}

bool Sweep::run(Candidate* candidate, const Feedback& feedback, bool slower) {
  if (slower && !slower_) {
    slower_.reset(new Recording(stretched(recording_, kSlower)));
    slower_goal_ = model_.goal(*slower_, given_, feedback_);
  }
  const Recording& recording = slower ? *slower_ : recording_;
  const Goal& goal = slower ? slower_goal_ : goal_;
  Outcome outcome;
  if (!model_.replay(recording, candidate->settings, feedback, false, &outcome)) return false;
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

// What breaks a candidate that goes to night in the dark and back to day:
// a gap that does not clear night mode's effect with room to spare, the
// effect a quarter stronger or weaker (the estimate has an error), or a
// dusk and dawn four times slower (a large window or count smooths a fast
// dusk's step away). Noted in candidate->fragile.
void Sweep::checkFragile(Candidate* candidate) {
  if (candidate->checked) return;
  candidate->checked = true;
  if (!candidate->valid()) return;
  char text[128];
  const double clearance = model_.clearance(recording_, candidate->settings, feedback_);
  if (feedback_.active() && clearance <= kClearance) {
    snprintf(text, sizeof text, "gap clears night mode's effect only %.2f times", clearance);
    candidate->fragile = text;
    return;
  }
  const auto outcome = [](const Candidate& again) {
    return !again.night_in_dark  ? std::string("no night in the dark")
           : !again.day_in_light ? std::string("no day after the dark")
                                 : std::to_string(again.switches.size()) + " switches";
  };
  if (feedback_.active()) {
    for (double power : {1.25, 0.8}) {
      const Feedback changed = model_.scaled(feedback_, power);
      Candidate again = *candidate;
      if (!run(&again, changed)) {
        candidate->fragile = model_.effectName(changed) + ": cannot start";
        return;
      }
      if (again.switches.size() == candidate->switches.size() && again.valid()) continue;
      candidate->fragile = model_.effectName(changed) + ": " + outcome(again);
      return;
    }
  }
  Candidate again = *candidate;
  if (!run(&again, feedback_, true)) {
    candidate->fragile = "4x slower dusk: cannot start";
  } else if (again.switches.size() != candidate->switches.size() || !again.valid()) {
    candidate->fragile = "4x slower dusk: " + outcome(again);
  }
}

// Valid first, then the fewest switches, then the closest to the light
// (in steps of 2% of the recording, so that noise does not decide), then
// the nearest to the given options.
bool better(const Candidate& a, const Candidate& b, size_t step) {
  if (a.valid() != b.valid()) return a.valid();
  if (a.switches.size() != b.switches.size()) return a.switches.size() < b.switches.size();
  if (a.mismatch / step != b.mismatch / step) return a.mismatch < b.mismatch;
  return a.distance < b.distance;
}

std::vector<std::string> row(const Model& model, const Recording& recording, const Candidate& candidate,
                             const char* note) {
  const std::vector<Period> list = periods(recording, candidate.switches);
  const Period* day = shortestPeriod(recording, list, false);
  const Period* night = shortestPeriod(recording, list, true);
  std::string first_night = "-";
  std::string last_day = "-";
  for (const Switch& change : candidate.switches) {
    if (change.night && first_night == "-") first_night = when(recording, change.sample);
    if (!change.night) last_day = when(recording, change.sample);
  }
  std::string notes = note;
  const auto add = [&notes](const std::string& text) { notes += (notes.empty() ? "" : ", ") + text; };
  if (!candidate.night_in_dark) add("no night in the dark");
  if (!candidate.day_in_light) add("no day after the dark");
  if (!candidate.fragile.empty()) add(candidate.fragile);
  return {model.options(candidate.settings), std::to_string(candidate.switches.size()),
          day ? lengthText(recording, *day) : "-", night ? lengthText(recording, *night) : "-", first_night, last_day,
          notes};
}

// How the table is ordered and the suggestion chosen.
std::string ranking(const Model& model, const Recording& recording, const Feedback& feedback) {
  std::string text = "first the options that go to night in the dark and back to day after it (" + model.goalText() +
                     "), then by fewer switches, then by fewer samples in the wrong mode (in steps of 2% of the "
                     "recording), then by nearness to the given options: " + model.nearness(recording) + ".";
  std::string holds = "with dusk and dawn four times slower";
  if (feedback.active())
    holds = "with " + model.effectName(model.scaled(feedback, 1.25)) + " and with " +
            model.effectName(model.scaled(feedback, 0.8)) + ", a quarter stronger and weaker, " + holds +
            ", and whose gap between night and day clears night mode's effect by more than a quarter, whatever "
            "the window or count";
  return text + " Suggested: the first that keeps its switches " + holds +
         "; the rows that do not say what they do then.";
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

// The grid, replayed and ranked, the given options marked.
bool rankedGrid(const Model& model, const Recording& recording, const Settings& given, const Feedback& feedback,
                Sweep* sweep, std::vector<Candidate>* grid) {
  for (const Model::Candidate& option : model.grid(recording, given, feedback)) {
    Candidate candidate;
    candidate.settings = option.settings;
    candidate.distance = option.distance;
    candidate.given = model.options(option.settings) == model.options(given);
    if (!sweep->run(&candidate, feedback)) return false;
    grid->push_back(candidate);
  }
  const size_t step = std::max<size_t>(recording.size() / 50, 1);
  std::stable_sort(grid->begin(), grid->end(),
                   [step](const Candidate& a, const Candidate& b) { return better(a, b, step); });
  return true;
}

// The first that holds, or, when none does, the first that goes to night in
// the dark and back (*none_holds).
Candidate* suggest(Sweep* sweep, std::vector<Candidate>* grid, bool* none_holds) {
  for (Candidate& candidate : *grid) {
    if (!candidate.valid()) break;
    sweep->checkFragile(&candidate);
    if (candidate.fragile.empty()) return &candidate;
  }
  *none_holds = !grid->empty() && grid->front().valid();
  return *none_holds ? &grid->front() : nullptr;
}

void printRows(FILE* out, const Model& model, const Recording& recording, Sweep* sweep,
               std::vector<Candidate>* grid, const Candidate* suggested) {
  Candidate* given_row = nullptr;
  for (Candidate& candidate : *grid)
    if (candidate.given) given_row = &candidate;
  std::vector<Candidate*> shown;
  for (Candidate& candidate : *grid)
    if (&candidate != given_row && shown.size() < kShown) shown.push_back(&candidate);
  Candidate* suggested_row = nullptr;
  for (Candidate& candidate : *grid)
    if (&candidate == suggested) suggested_row = &candidate;
  const bool listed = std::find(shown.begin(), shown.end(), suggested_row) != shown.end();
  if (suggested_row && suggested_row != given_row && !listed) shown.push_back(suggested_row);
  // Every row shown says whether it holds.
  for (Candidate* candidate : shown) sweep->checkFragile(candidate);
  if (given_row) sweep->checkFragile(given_row);

  std::vector<std::vector<std::string>> rows = {
      {"options", "switches", "shortest day", "shortest night", "first night", "last day", ""}};
  if (given_row)
    rows.push_back(row(model, recording, *given_row, given_row == suggested ? "given, suggested" : "given"));
  for (const Candidate* candidate : shown)
    rows.push_back(row(model, recording, *candidate, candidate == suggested ? "suggested" : ""));
  printTable(out, rows);
}

}  // namespace

bool printSweep(FILE* out, const Model& model, const Recording& recording, const Settings& given,
                const Feedback& feedback) {
  Sweep sweep(model, recording, given, feedback);
  std::vector<Candidate> grid;
  if (!rankedGrid(model, recording, given, feedback, &sweep, &grid)) return false;
  bool none_holds = false;
  const Candidate* suggested = suggest(&sweep, &grid, &none_holds);

  fprintf(out, "\nSweep:    %zu sets of options; %s", grid.size(),
          feedback.active() ? model.feedbackText(feedback).c_str() : "without night mode's own light");
  if (sweep.goal().dark)
    fprintf(out, "; dark at %s%s", when(recording, sweep.goal().darkest).c_str(),
            sweep.goal().light ? ", light again after it" : "");
  fprintf(out, "\n");
  printWrapped(out, "Ranked:", ranking(model, recording, feedback));
  printRows(out, model, recording, &sweep, &grid, suggested);
  if (suggested)
    fprintf(out, "Suggested: %s (%zu switch%s)\n", model.options(suggested->settings).c_str(),
            suggested->switches.size(), suggested->switches.size() == 1 ? "" : "es");
  else
    fprintf(out, "Suggested: none of these goes to night in the dark and back to day in the light\n");
  if (none_holds)
    printWrapped(out, "Note:",
                 "none of those that go to night in the dark and back to day after it holds with night mode's effect "
                 "a quarter off, with a slower dusk and with a gap clear of the effect: the suggestion is the best "
                 "without those tests");
  if (feedback.source == Feedback::Source::kNone) printWrapped(out, "Assumed:", model.assumption(recording));
  return true;
}

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

}  // namespace replay
