// The image-statistics method as the replay knows it: a sample is the ISP's
// exposure, Iridix strength and white balance (those its file publishes),
// the rules decide, and night mode's IR LEDs add their light to the scene.
#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "output.h"
#include "replay.h"
#include "text.h"

namespace replay {
namespace {

const unsigned kAll = kIspExposure | kIspIridix | kIspWb;
// Exposure units per halving of the light: the exposure is about -log2 of
// the light, times this.
const double kStop = 65536.0;
// A margin of a quarter: the gap between night and day must exceed night
// mode's effect by that much, for noise and the estimate's own error.
const double kMargin = 1.25;
// Samples of the brightest stretch, where Eq2 is looked at.
const size_t kStretch = 10;

const char kLineColour[] = "#1a4f8b";

double light(double exposure) { return exp2(-exposure / kStop); }
double exposureOf(double light_level) { return -kStop * log2(light_level); }

// The exposure with the IR LEDs' light added to the ambient light of an
// exposure, the IR alone needing `ir`.
double withIr(double ambient, double ir) { return exposureOf(light(ambient) + light(ir)); }

// The ambient's exposure from one under the IR LEDs; never more than the
// most the recording shows (the sensor's limit), which it is where the IR
// accounts for all of the light.
double withoutIr(double exposure, double ir, double highest) {
  const double rest = light(exposure) - light(ir);
  return rest > 0.0 ? fmin(exposureOf(rest), highest) : highest;
}

int32_t toInt(double value) { return static_cast<int32_t>(fmax(fmin(round(value), INT32_MAX), INT32_MIN)); }

// A round number at or below `value`, with three significant digits.
int32_t roundDown(double value) {
  const double unit = pow(10.0, floor(log10(fmax(value, 1.0))) - 2.0);
  return toInt(floor(value / unit) * unit);
}

double exposureLevel(const Sample& sample) { return sample.isp.exposure; }

// The IR LEDs' light: what the night side has more than the day side.
bool irLight(double day, double night, double* value) {
  *value = light(night) - light(day);
  return true;
}

// An Iridix above the one given, with room for noise.
int32_t raisedIridix(int32_t iridix) {
  return iridix < INT32_MAX - 100 ? iridix + std::max(5, iridix / 5) + 1 : INT32_MAX;
}

std::string statistic(int32_t value, bool published) { return published ? std::to_string(value) : OUT_ABSENT; }

// The exposure's highest value in the recording, and how it held there.
struct Highest {
  int32_t exposure = INT32_MIN;
  size_t samples = 0;  // at it, in all
  size_t longest = 0;  // in a row
  size_t from = 0;     // where that run starts
  bool limit = false;  // held long enough to be the sensor's limit
};

Highest highest(const Recording& recording) {
  Highest found;
  for (const Sample& sample : recording.samples) found.exposure = std::max(found.exposure, sample.isp.exposure);
  size_t run = 0;
  for (size_t i = 0; i < recording.size(); ++i) {
    if (recording.samples[i].isp.exposure != found.exposure) {
      run = 0;
      continue;
    }
    ++found.samples;
    if (++run > found.longest) {
      found.longest = run;
      found.from = i + 1 - run;
    }
  }
  // A sensor at its limit shows the same number for as long as it is dark;
  // a brightest moment passes.
  found.limit = found.longest >= 10 || found.samples >= std::max<size_t>(10, recording.size() / 50);
  return found;
}

// The `kStretch` samples in a row with the lowest mean exposure, among
// those that publish Iridix: where it starts, and its median exposure and
// Iridix. False when no such stretch is there.
bool brightestStretch(const Recording& recording, size_t* start, int32_t* exposure, int32_t* iridix) {
  const size_t n = recording.size();
  if (n < kStretch) return false;
  double best = INFINITY;
  for (size_t i = 0; i + kStretch <= n; ++i) {
    double sum = 0.0;
    bool all = true;
    for (size_t k = i; k < i + kStretch && all; ++k) {
      all = recording.samples[k].published & kIspIridix;
      sum += recording.samples[k].isp.exposure;
    }
    if (all && sum < best) {
      best = sum;
      *start = i;
    }
  }
  if (!isfinite(best)) return false;
  std::vector<int32_t> exposures;
  std::vector<int32_t> iridixes;
  for (size_t k = *start; k < *start + kStretch; ++k) {
    exposures.push_back(recording.samples[k].isp.exposure);
    iridixes.push_back(recording.samples[k].isp.iridix);
  }
  std::nth_element(exposures.begin(), exposures.begin() + kStretch / 2, exposures.end());
  std::nth_element(iridixes.begin(), iridixes.begin() + kStretch / 2, iridixes.end());
  *exposure = exposures[kStretch / 2];
  *iridix = iridixes[kStretch / 2];
  return true;
}

// The sample the daemon judges where the replay's mode is `night`: the
// recorded one with the IR LEDs' light moved to where the replay has them.
Sample judged(const Recording& recording, const Feedback& feedback, double highest_exposure, size_t i, bool night) {
  Sample sample = recording.samples[i];
  if (!feedback.active() || recording.recordedNight(i) == night) return sample;
  const double exposure = sample.isp.exposure;
  sample.isp.exposure = toInt(night ? withIr(exposure, feedback.effect)
                                    : withoutIr(exposure, feedback.effect, highest_exposure));
  return sample;
}

class ImageModel : public Model {
 public:
  bool software() const override { return true; }
  const char* sampleName() const override { return "software-method"; }
  const char* outputName() const override { return "lumenflip -S -v -v output"; }
  const char* recordingHint() const override { return "lumenflip -S -v -v for the software method"; }
  const char* startLine() const override { return OUT_SOFTWARE_START; }

  int findSample(const std::string& text, Sample* sample, bool* cut, std::string* why) const override;
  size_t csvColumns() const override { return 3; }
  bool csvSample(const std::vector<std::string>& fields, size_t first, Sample* sample,
                 std::string* why) const override;

  bool replay(const Recording& recording, const Settings& with, const Feedback& feedback, bool detail,
              Outcome* outcome) const override;

  Feedback estimateFeedback(const Recording& recording) const override {
    Feedback feedback;
    double ir_light;
    if (!medianStep(recording, exposureLevel, irLight, &ir_light, &feedback.switches)) return feedback;
    feedback.source = Feedback::Source::kEstimated;
    if (ir_light > 0.0) feedback.effect = exposureOf(ir_light);
    return feedback;
  }

  // Their light a quarter stronger: the exposure they alone hold lower.
  Feedback scaled(const Feedback& feedback, double power) const override {
    Feedback changed = feedback;
    if (feedback.active()) changed.effect = feedback.effect - kStop * log2(power);
    return changed;
  }

  std::string feedbackText(const Feedback& feedback) const override {
    if (!feedback.active()) return "night mode leaves the exposure as it is";
    return "the IR LEDs alone hold the exposure near " + std::to_string(toInt(feedback.effect));
  }
  const char* feedbackOption() const override { return "--night-exposure"; }
  const char* noFeedback() const override { return "0"; }
  std::string effectName(const Feedback& feedback) const override {
    return "IR alone " + std::to_string(toInt(feedback.effect));
  }

  double clearance(const Recording&, const Settings& with, const Feedback& feedback) const override {
    if (!feedback.active()) return INFINITY;
    const double e1 = with.eq1_user_exposure;
    const double effect = e1 - withIr(e1, feedback.effect);
    return (e1 - with.eq2_user_exposure) / effect;
  }

  std::string flapping(const Recording& recording, const Settings& with, const Feedback& feedback) const override;
  std::vector<std::pair<std::string, std::string>> problems(const Recording& recording,
                                                            const Settings& with) const override;

  std::string options(const Settings& with) const override {
    char text[256];
    snprintf(text, sizeof text, "-S -j %d -w %d -1 %d -2 %d,%d,%d -3 %d,%d,%d", with.jitter_percent, with.sec_wait,
             with.eq1_user_exposure, with.eq2_user_exposure, with.eq2_user_iridix, with.eq2_count, with.eq3_user_wb,
             with.eq3_user_iridix, with.eq3_count);
    return text;
  }

  std::string decidedBy(const Switch& change, const Outcome& outcome, const Settings& with) const override;
  std::string startText(const Outcome&, size_t, const Settings&) const override {
    return "day (the day command runs at start)";
  }
  const char* restartText() const override { return "the day command and a settle period"; }

  Goal goal(const Recording& recording, const Settings& given, const Feedback& feedback) const override;
  std::string goalText() const override {
    return "dark: an exposure above the given -1, or at the sensor's limit; light: below -2's exposure";
  }
  std::vector<Candidate> grid(const Recording& recording, const Settings& given,
                              const Feedback& feedback) const override;
  std::string nearness(const Recording&) const override {
    return "the relative changes to -1, to -2's exposure and Iridix, to -w and to the counts of -2 and -3, added";
  }
  std::string assumption(const Recording& recording) const override;

  std::vector<Panel> panels(const Outcome& outcome, const Settings& with) const override;
};

// "(%s, %s, %s)" with any blanks, each a number or OUT_ABSENT (the
// exposure always a number). 1: a sample; 0: not one; -1: one whose
// numbers do not fit 32 bits (the daemon cannot have printed it).
int parseRaw(const std::string& raw, Sample* sample) {
  const std::string text = trim(raw);
  if (text.size() < 2 || text.front() != '(' || text.back() != ')') return 0;
  const std::vector<std::string> fields = splitFields(text.substr(1, text.size() - 2));
  if (fields.size() != 3) return 0;
  int32_t values[3] = {0, 0, 0};
  unsigned published = 0;
  bool out_of_range = false;
  for (size_t i = 0; i < 3; ++i) {
    if (i > 0 && trim(fields[i]) == OUT_ABSENT) continue;
    const IntResult result = parseInt(fields[i], &values[i]);
    if (result == IntResult::kNotInteger) return 0;
    if (result == IntResult::kOutOfRange) out_of_range = true;
    published |= i == 0 ? kIspExposure : i == 1 ? kIspIridix : kIspWb;
  }
  if (out_of_range) return -1;
  sample->isp = IspInfo{values[0], values[1], values[2]};
  sample->published = published;
  return 1;
}

int ImageModel::findSample(const std::string& text, Sample* sample, bool* cut, std::string* why) const {
  // The daemon ends each line it writes: after a cut one, its sample runs on.
  int found = parseRaw(text, sample);
  *cut = false;
  if (found == 0) {
    const size_t at = text.rfind('(');
    if (at == std::string::npos || at == 0) return 0;
    found = parseRaw(text.substr(at), sample);
    *cut = found != 0;
  }
  if (found < 0) {
    *why = "a value does not fit in 32 bits: " + quoted(text);
    return -2;
  }
  return found;
}

bool ImageModel::csvSample(const std::vector<std::string>& fields, size_t first, Sample* sample,
                           std::string* why) const {
  int32_t values[3] = {0, 0, 0};
  sample->published = 0;
  for (size_t i = 0; i < 3; ++i) {
    const size_t column = first + i;
    if (i > 0 && trim(fields[column]) == OUT_ABSENT) continue;
    const IntResult result = parseInt(fields[column], &values[i]);
    if (result != IntResult::kOk) {
      *why = "column " + std::to_string(column + 1) + ": '" + quoted(fields[column]) +
             (result == IntResult::kOutOfRange ? "' does not fit in 32 bits" : "' is not an integer");
      return false;
    }
    sample->published |= i == 0 ? kIspExposure : i == 1 ? kIspIridix : kIspWb;
  }
  sample->isp = IspInfo{values[0], values[1], values[2]};
  return true;
}

Rule ruleOf(SoftwareRule rule) {
  return rule == SoftwareRule::kEq1 ? Rule::kEq1 : rule == SoftwareRule::kEq2 ? Rule::kEq2 : Rule::kEq3;
}

bool ImageModel::replay(const Recording& recording, const Settings& with, const Feedback& feedback, bool detail,
                        Outcome* outcome) const {
  // Where night mode's light is taken out, what the recording shows at most.
  const double top = feedback.active() ? highest(recording).exposure : 0.0;
  *outcome = Outcome();
  bool night = false;
  // As the daemon starts: the day command runs (not a switch) and the
  // settle period begins.
  int32_t wait = with.sec_wait;
  SoftwareState state = {0, 0, 0, {0, 0, 0}, 0};
  size_t next_restart = 0;
  for (size_t i = 0; i < recording.size(); ++i) {
    if (restartsAt(recording, i, &next_restart)) {
      if (night) outcome->switches.push_back(Switch{i, false, Rule::kRestart, NAN, 0});
      night = false;
      wait = with.sec_wait;
      state = SoftwareState{0, 0, 0, {0, 0, 0}, 0};
    }
    const Sample sample = judged(recording, feedback, top, i, night);
    state.sample = sample.isp;
    state.published = sample.published;
    const SoftwareVerdict verdict = judgeIspSample(&state, with, night, &wait);
    if (verdict.switches) {
      night = !night;
      wait = with.sec_wait;
      const Rule rule = ruleOf(verdict.rule);
      const int32_t count = rule == Rule::kEq2   ? verdict.eq2_wait_count
                            : rule == Rule::kEq3 ? verdict.eq3_wait_count
                                                 : 0;
      outcome->switches.push_back(Switch{i, night, rule, NAN, count});
    }
    if (detail) {
      outcome->judged.push_back(sample);
      outcome->night.push_back(night);
    }
  }
  return true;
}

std::string ImageModel::flapping(const Recording& recording, const Settings& with, const Feedback& feedback) const {
  if (clearance(recording, with, feedback) > 1.0) return "";
  const double ir = feedback.effect;
  const double e1 = with.eq1_user_exposure;
  const double lowered = withIr(e1, ir);
  // The largest -2 exposure clear of the IR with a margin.
  const double clear = lowered - (kMargin - 1.0) * (e1 - lowered);
  char text[768];
  int length = snprintf(text, sizeof text,
                        "flapping: where night begins, just above -1's %d, the IR LEDs bring the exposure down "
                        "to about %d, below -2's %d, so Eq2 counts towards day at once; give -2's exposure below "
                        "%d (for example -2 %d,%d,%d)",
                        with.eq1_user_exposure, toInt(lowered), with.eq2_user_exposure, toInt(lowered),
                        roundDown(clear), with.eq2_user_iridix, with.eq2_count);
  // Or raise -1: the least that clears -2, where the exposure gets that high.
  const double e2 = with.eq2_user_exposure;
  const double top = highest(recording).exposure;
  const double room = light(e2) - light(ir);
  const char* more;
  char more_text[256];
  if (room <= 0.0) {
    snprintf(more_text, sizeof more_text, "; raising -1 cannot help: the IR LEDs alone hold the exposure near %d, at "
             "or below -2's %d", toInt(ir), with.eq2_user_exposure);
    more = more_text;
  } else if (exposureOf(room) >= top) {
    snprintf(more_text, sizeof more_text, "; raising -1 cannot help: the exposure never gets above %d, and -1 would "
             "have to be above %d", toInt(top), toInt(exposureOf(room)));
    more = more_text;
  } else {
    snprintf(more_text, sizeof more_text, ", or -1 above %d", toInt(exposureOf(room)));
    more = more_text;
  }
  return std::string(text, length > 0 ? std::min(static_cast<size_t>(length), sizeof text - 1) : 0) + more;
}

std::vector<std::pair<std::string, std::string>> ImageModel::problems(const Recording& recording,
                                                                      const Settings& with) const {
  std::vector<std::pair<std::string, std::string>> found;
  for (const std::string& problem : sensorProblems(recording, exposureLevel, "exposure", false))
    found.emplace_back("Sensor", problem);
  char text[768];
  const Highest top = highest(recording);
  std::string stretch = std::to_string(top.samples) + (top.samples == 1 ? " sample" : " samples") + " in all";
  if (top.longest > 1) {
    const Period run = {top.from, top.from + top.longest, false, false};
    stretch += ", the longest " + lengthText(recording, run) + " from " + when(recording, top.from);
  }
  if (top.exposure <= with.eq1_user_exposure && top.limit) {
    snprintf(text, sizeof text,
             "never above -1's %d: its highest is %d, held for %s, the sensor's limit; -1 lies above it, so Eq1 never "
             "switches to night: give -1 below %d (--sweep suggests one)",
             with.eq1_user_exposure, top.exposure, stretch.c_str(), top.exposure);
    found.emplace_back("Exposure", text);
  } else if (top.exposure <= with.eq1_user_exposure) {
    snprintf(text, sizeof text,
             "never above -1's %d: its highest is %d, at %s; the recording holds no night, or -1 lies above what "
             "this camera shows in the dark",
             with.eq1_user_exposure, top.exposure, when(recording, top.from).c_str());
    found.emplace_back("Exposure", text);
  } else if (top.limit) {
    snprintf(text, sizeof text, "at the sensor's limit, %d, for %s; -1's %d lies below it", top.exposure,
             stretch.c_str(), with.eq1_user_exposure);
    found.emplace_back("Exposure", text);
  }

  size_t start = 0;
  int32_t exposure = 0;
  int32_t iridix = 0;
  if (brightestStretch(recording, &start, &exposure, &iridix) && exposure < with.eq2_user_exposure &&
      iridix >= with.eq2_user_iridix) {
    snprintf(text, sizeof text,
             "Eq2 cannot return the camera to day: in the brightest stretch (%zu samples from %s, exposure %d) the "
             "Iridix strength is %d, at or above -2's Iridix %d, and Eq2 needs it below; give -2's Iridix above %d "
             "(for example -2 %d,%d,%d)",
             kStretch, when(recording, start).c_str(), exposure, iridix, with.eq2_user_iridix, iridix,
             with.eq2_user_exposure, raisedIridix(iridix), with.eq2_count);
    found.emplace_back("Warning", text);
  }
  return found;
}

std::string ImageModel::decidedBy(const Switch& change, const Outcome& outcome, const Settings& with) const {
  char text[256];
  const Sample s = outcome.judged.empty() ? Sample() : outcome.judged[change.sample];
  const std::string iridix = statistic(s.isp.iridix, s.published & kIspIridix);
  const std::string wb = statistic(s.isp.wb, s.published & kIspWb);
  switch (change.rule) {
    case Rule::kEq1:
      snprintf(text, sizeof text, "Eq1: exposure %d > %d (iridix %s, wb %s)", s.isp.exposure, with.eq1_user_exposure,
               iridix.c_str(), wb.c_str());
      break;
    case Rule::kEq2:
      if (s.published & kIspIridix)
        snprintf(text, sizeof text, "Eq2: exposure %d < %d and iridix %d < %d, %d in a row > %d (wb %s)",
                 s.isp.exposure, with.eq2_user_exposure, s.isp.iridix, with.eq2_user_iridix, change.count,
                 with.eq2_count, wb.c_str());
      else
        snprintf(text, sizeof text, "Eq2: exposure %d < %d (no Iridix), %d in a row > %d (wb %s)", s.isp.exposure,
                 with.eq2_user_exposure, change.count, with.eq2_count, wb.c_str());
      break;
    case Rule::kEq3:
      snprintf(text, sizeof text, "Eq3: wb %d < %d and iridix %d > %d, %d in a row > %d (exposure %d)", s.isp.wb,
               with.eq3_user_wb, s.isp.iridix, with.eq3_user_iridix, change.count, with.eq3_count, s.isp.exposure);
      break;
    default:  // a restart: the report says it for every method
      text[0] = '\0';
      break;
  }
  return text;
}

Goal ImageModel::goal(const Recording& recording, const Settings& given, const Feedback& feedback) const {
  const Highest top = highest(recording);
  const size_t n = recording.size();
  // The exposure without the IR LEDs' light.
  std::vector<double> level(n);
  for (size_t i = 0; i < n; ++i) level[i] = judged(recording, feedback, top.exposure, i, false).isp.exposure;
  const double dark_level = top.limit ? fmin(given.eq1_user_exposure, top.exposure) : given.eq1_user_exposure;
  Goal goal;
  goal.wanted.resize(n);
  // The darkest: the middle of the longest stretch at the highest level,
  // smoothed over a few samples so that noise does not pick it.
  const size_t width = std::min<size_t>(kStretch, n);
  double best = -INFINITY;
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) {
    sum += level[i];
    if (i >= width) sum -= level[i - width];
    if (i + 1 >= width && sum > best) {
      best = sum;
      goal.darkest = i + 1 - width + width / 2;
    }
  }
  goal.dark = level[goal.darkest] >= dark_level;
  for (size_t i = 0; i < n; ++i) {
    const bool is_dark = level[i] >= dark_level && level[i] > given.eq2_user_exposure;
    const bool is_light = level[i] < given.eq2_user_exposure;
    goal.wanted[i] = static_cast<signed char>(is_dark ? 1 : is_light ? -1 : 0);
    if (is_light && i >= goal.darkest) goal.light = true;
  }
  return goal;
}

template <typename T>
void addUnique(std::vector<T>* list, T value) {
  if (std::find(list->begin(), list->end(), value) == list->end()) list->push_back(value);
}

// Whether Eq3 can hold on a sample: it needs both Iridix and white balance.
bool publishesEq3(const Sample& sample) { return (sample.published & (kIspIridix | kIspWb)) == (kIspIridix | kIspWb); }

double relative(double value, double from) { return fabs(value - from) / fmax(fabs(from), 1.0); }

std::vector<int32_t> counts(int32_t count, std::initializer_list<int32_t> times) {
  std::vector<int32_t> list = {count};
  const int32_t base = count > 0 ? count : 5;
  for (int32_t factor : times)
    if (base <= INT32_MAX / factor) addUnique(&list, base * factor);
  return list;
}

// -1 around the given one and below the sensor's limit; -2's exposure
// around the given one and, for each -1, clear of the IR LEDs with a margin.
std::vector<Model::Candidate> ImageModel::grid(const Recording& recording, const Settings& given,
                                               const Feedback& feedback) const {
  const Highest top = highest(recording);
  std::vector<int32_t> eq1s = {given.eq1_user_exposure};
  for (double times : {0.9, 1.1}) addUnique(&eq1s, toInt(given.eq1_user_exposure * times));
  if (top.limit || top.exposure <= given.eq1_user_exposure)
    for (double below : {0.99, 0.97, 0.93}) addUnique(&eq1s, roundDown(top.exposure * below));
  std::vector<int32_t> iridixes = {given.eq2_user_iridix};
  size_t start;
  int32_t exposure;
  int32_t iridix;
  if (brightestStretch(recording, &start, &exposure, &iridix) && iridix >= given.eq2_user_iridix)
    for (int32_t raised : {raisedIridix(iridix), raisedIridix(2 * iridix)}) addUnique(&iridixes, raised);
  const std::vector<int32_t> waits = counts(given.sec_wait, {2});
  const std::vector<int32_t> eq2_counts = counts(given.eq2_count, {2, 4});
  const bool eq3 = std::any_of(recording.samples.begin(), recording.samples.end(), publishesEq3);
  const std::vector<int32_t> eq3_counts = eq3 ? counts(given.eq3_count, {2}) : std::vector<int32_t>{given.eq3_count};

  std::vector<Candidate> grid;
  for (int32_t eq1 : eq1s) {
    std::vector<int32_t> eq2s = {given.eq2_user_exposure};
    for (double times : {0.9, 0.8}) addUnique(&eq2s, toInt(given.eq2_user_exposure * times));
    if (feedback.active()) {
      const double lowered = withIr(eq1, feedback.effect);
      const double clear = lowered - (kMargin - 1.0) * (eq1 - lowered);
      for (double times : {0.97, 0.9}) addUnique(&eq2s, roundDown(clear * times));
    }
    for (int32_t eq2 : eq2s)
      for (int32_t eq2_iridix : iridixes)
        for (int32_t wait : waits)
          for (int32_t eq2_count : eq2_counts)
            for (int32_t eq3_count : eq3_counts) {
              Candidate candidate = {given, 0.0};
              Settings& s = candidate.settings;
              s.eq1_user_exposure = eq1;
              s.eq2_user_exposure = eq2;
              s.eq2_user_iridix = eq2_iridix;
              s.sec_wait = wait;
              s.eq2_count = eq2_count;
              s.eq3_count = eq3_count;
              candidate.distance = relative(eq1, given.eq1_user_exposure) + relative(eq2, given.eq2_user_exposure) +
                                   relative(eq2_iridix, given.eq2_user_iridix) + relative(wait, given.sec_wait) +
                                   relative(eq2_count, given.eq2_count) + relative(eq3_count, given.eq3_count);
              grid.push_back(candidate);
            }
  }
  return grid;
}

std::string ImageModel::assumption(const Recording& recording) const {
  return std::string("night mode leaves the exposure as it is: ") +
         (recording.recorded_night.empty() ? "a CSV does not say when night mode was on"
                                           : "the recording holds no switch to measure it from") +
         ", and no --night-exposure was given. If the IR LEDs light the scene, the suggestion can flap. To measure "
         "them, run the suggestion, record again with -S -v -v and sweep that recording: the replay takes the IR "
         "LEDs' light from the step at each switch; or in the dark, with the mode command's \"on\", read the "
         "exposure, and give it as --night-exposure";
}

// A panel of one statistic, a gap where its file does not publish it.
Panel statisticPanel(const Outcome& outcome, const char* label, unsigned statistic, int32_t IspInfo::*value) {
  Panel panel;
  panel.label = label;
  Series line = {{}, kLineColour, 1.4};
  for (const Sample& s : outcome.judged)
    line.values.push_back(s.published & statistic ? static_cast<double>(s.isp.*value) : NAN);
  panel.series = {line};
  return panel;
}

std::vector<Panel> ImageModel::panels(const Outcome& outcome, const Settings& with) const {
  unsigned published = 0;
  for (const Sample& sample : outcome.judged) published |= sample.published;
  char text[128];
  Panel exposure = statisticPanel(outcome, "exposure", kIspExposure, &IspInfo::exposure);
  const bool crossed = with.eq1_user_exposure < with.eq2_user_exposure;
  snprintf(text, sizeof text, "Eq2: day below %d, %d+ in a row (-2)", with.eq2_user_exposure, with.eq2_count + 1);
  exposure.thresholds = {{static_cast<double>(with.eq1_user_exposure), kToNightColour,
                          "Eq1: night above " + std::to_string(with.eq1_user_exposure) + " (-1)", crossed},
                         {static_cast<double>(with.eq2_user_exposure), kToDayColour, text, !crossed}};
  exposure.legend = {{kLineColour, 1.4, false, "statistic"},
                     {kToNightColour, 1.5, true, "to night: Eq1"},
                     {kToDayColour, 1.5, true, "to day: Eq2"}};
  if ((published & kAll) == kAll) exposure.legend.push_back({kToDayEq3Colour, 1.5, true, "to day: Eq3"});
  std::vector<Panel> list = {exposure};
  if (published & kIspIridix) {
    Panel iridix = statisticPanel(outcome, "Iridix strength", kIspIridix, &IspInfo::iridix);
    const bool iridix_crossed = with.eq2_user_iridix > with.eq3_user_iridix;
    iridix.thresholds = {{static_cast<double>(with.eq2_user_iridix), kToDayColour,
                          "Eq2: below " + std::to_string(with.eq2_user_iridix) + " (-2)", !iridix_crossed},
                         {static_cast<double>(with.eq3_user_iridix), kToDayEq3Colour,
                          "Eq3: above " + std::to_string(with.eq3_user_iridix) + " (-3)", iridix_crossed}};
    list.push_back(iridix);
  }
  if (published & kIspWb) {
    Panel wb = statisticPanel(outcome, "white balance (K)", kIspWb, &IspInfo::wb);
    if (published & kIspIridix) {
      snprintf(text, sizeof text, "Eq3: day below %d, %d+ in a row (-3)", with.eq3_user_wb, with.eq3_count + 1);
      wb.thresholds = {{static_cast<double>(with.eq3_user_wb), kToDayEq3Colour, text, true}};
    }
    list.push_back(wb);
  }
  // One panel alone is drawn as tall as the light sensor's.
  for (Panel& panel : list) panel.height = list.size() == 1 ? 380.0 : 200.0;
  return list;
}

}  // namespace

const Model& imageModel() {
  static const ImageModel model;
  return model;
}

}  // namespace replay
