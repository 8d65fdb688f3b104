// Reading a recording: the daemon's verbose output, a system log holding
// it, or a CSV file.
#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "output.h"
#include "replay.h"
#include "text.h"

namespace replay {
namespace {

// The init script's supervisor, before it starts a daemon that ended again.
const char kRestarted[] = "lumenflip ended with status ";

const double kDay = 86400.0;
// Far beyond any recording's seconds, and small enough that steps stay finite.
const double kLargest = 1e15;

struct Line {
  int number;
  std::string text;
  bool terminated;
  double stamp;            // in a system log: seconds, from LogClock
  std::string stamp_text;  // and as written
};

// "Night Mode Enabled" and "Night Mode Disabled", as the daemon writes them.
std::string nightModeLine(const char* state) {
  char text[64];
  snprintf(text, sizeof text, OUT_NIGHT_MODE, state);
  return trim(std::string(text, strcspn(text, "\n")));
}

// "H:MM", "H:MM:SS" or "H:MM:SS.fff" as seconds after midnight.
bool parseClock(const std::string& text, double* seconds) {
  const size_t first = text.find(':');
  if (first == 0 || first == std::string::npos) return false;
  const size_t second = text.find(':', first + 1);
  const std::string hours = text.substr(0, first);
  const std::string minutes = text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
  const auto allDigits = [](const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
      if (c < '0' || c > '9') return false;
    return true;
  };
  if (!allDigits(hours) || hours.size() > 3 || minutes.size() != 2 || !allDigits(minutes)) return false;
  const double m = atof(minutes.c_str());
  if (m >= 60.0) return false;
  double s = 0.0;
  if (second != std::string::npos) {
    const std::string rest = text.substr(second + 1);
    if (rest.size() < 2 || rest[0] < '0' || rest[0] > '5' || rest[1] < '0' || rest[1] > '9') return false;
    if (rest.size() > 2 && (rest[2] != '.' || !allDigits(rest.substr(3)))) return false;
    s = atof(rest.c_str());
  }
  *seconds = atof(hours.c_str()) * 3600.0 + m * 60.0 + s;
  return true;
}

// A time field: a time of day, or seconds as a plain number.
bool parseTime(const std::string& field, double* seconds, bool* clock) {
  const std::string text = trim(field);
  if (text.find(':') != std::string::npos) {
    *clock = true;
    return parseClock(text, seconds);
  }
  *clock = false;
  return parseReal(text, seconds);
}

// A header is a first line whose fields are not all numbers or times.
bool looksLikeData(const std::vector<std::string>& fields) {
  for (size_t i = 0; i < fields.size(); ++i) {
    double value;
    bool clock;
    if (trim(fields[i]) == OUT_ABSENT && i > 0) continue;
    if (!(i == 0 ? parseTime(fields[i], &value, &clock) : parseReal(fields[i], &value))) return false;
  }
  return true;
}

class Reader {
 public:
  Reader(Recording* recording, ReadNotes* notes) : recording_(recording), notes_(notes) {}

  bool fail(int line, const std::string& message) {
    fprintf(stderr, "%s:%d: %s\n", notes_->name.c_str(), line, message.c_str());
    return false;
  }

  bool fail(const std::string& message) {
    fprintf(stderr, "%s: %s\n", notes_->name.c_str(), message.c_str());
    return false;
  }

  bool readDaemonLog(const Model& model, const std::vector<Line>& lines, bool stamped);
  bool takeOwnLines(std::vector<Line>* lines);
  bool failNoSamples();
  void stampTimes();
  bool readCsv(const Model* model, const std::vector<Line>& lines, bool wanted_software, const Model** chosen);

 private:
  struct Event {
    enum Kind { kSample, kToNight, kToDay };
    Kind kind;
    size_t sample;
  };
  // A sample line that cannot be read, and the sample it came before.
  struct Unreadable {
    size_t before;
    int number;
    std::string message;
  };

  bool takeSampleLine(const Model& model, const Line& line, const std::string& text, bool stamped);
  void findRestarts();
  void markNights();
  bool addTime(int line, const std::string& text, double seconds, bool clock);
  bool readCsvLine(const Model& model, const Line& line, const std::vector<std::string>& fields, bool times);

  void noteCutInside(int line) {
    if (notes_->cut_inside++ == 0) notes_->cut_inside_line = line;
  }

  Recording* recording_;
  ReadNotes* notes_;
  double day_offset_ = 0.0;
  std::vector<double> stamps_;  // of the samples, from a system log
  int own_lines_ = 0;
  // What the daemon's output showed besides its samples.
  std::vector<Event> events_;
  std::vector<bool> windowed_;  // per sample: its window mean was printed
  std::vector<size_t> marked_;  // samples that follow a start of the daemon
  std::vector<Unreadable> unreadable_;
};

// A line of the daemon's output that holds a sample, or another line of
// the daemon's. False after a message when it cannot be read.
bool Reader::takeSampleLine(const Model& model, const Line& line, const std::string& text, bool stamped) {
  static const std::string kWindow = formatPrefix(OUT_WINDOW_MEAN);
  const size_t count = recording_->size();
  if (!model.software() && startsWith(text, kWindow) && count > 0) windowed_[count - 1] = true;
  Sample sample;
  bool cut = false;
  std::string why;
  const int found = model.findSample(text, &sample, &cut, &why);
  if (found == 0) {
    ++notes_->skipped;
    return true;
  }
  if (found == -2) return fail(line.number, why);
  if (found < 0) {
    // Cut short where a daemon was stopped, or an error: the samples after
    // it tell.
    unreadable_.push_back(Unreadable{count, line.number, why});
    ++notes_->skipped;
    return true;
  }
  recording_->samples.push_back(sample);
  windowed_.push_back(false);
  if (cut) noteCutInside(line.number);
  events_.push_back(Event{Event::kSample, count});
  if (stamped) {
    stamps_.push_back(line.stamp);
    if (count == 0) notes_->first_stamp = line.stamp_text;
    notes_->last_stamp = line.stamp_text;
  }
  return true;
}

// The daemon's output: its sample lines, and the lines that say when night
// mode was on and when a new daemon began. Lines of the mode commands, of
// the init script's supervisor and anything else are skipped and counted.
bool Reader::readDaemonLog(const Model& model, const std::vector<Line>& lines, bool stamped) {
  static const std::string kEnabled = nightModeLine(OUT_NIGHT_ENABLED);
  static const std::string kDisabled = nightModeLine(OUT_NIGHT_DISABLED);
  const std::string start = model.startLine() ? trim(std::string(model.startLine(), strcspn(model.startLine(), "\n")))
                                              : std::string();
  notes_->format = std::string(stamped ? "system log, " : "") + model.outputName();
  for (const Line& line : lines) {
    const std::string text = trim(line.text);
    if (text.empty()) continue;
    // Killed while writing: the daemon ends every line it prints.
    if (!line.terminated) {
      notes_->cut_short_line = line.number;
      continue;
    }
    if (text.find(kRestarted) != std::string::npos || (!start.empty() && startsWith(text, start))) {
      marked_.push_back(recording_->size());
      ++notes_->skipped;
    } else if (text == kEnabled || text == kDisabled) {
      events_.push_back(Event{text == kEnabled ? Event::kToNight : Event::kToDay, 0});
      ++notes_->skipped;
    } else if (!takeSampleLine(model, line, text, stamped)) {
      return false;
    }
  }
  findRestarts();
  for (const Unreadable& line : unreadable_) {
    if (!std::binary_search(recording_->restarts.begin(), recording_->restarts.end(), line.before))
      return fail(line.number, line.message);
    noteCutInside(line.number);
  }
  markNights();
  return true;
}

// Where a new daemon began: after a line saying so (the supervisor's, or
// the software method's first), or, with the light sensor, where samples
// come again without a window mean after samples with one: a new daemon is
// filling its window. A recording that ends so is only cut short.
void Reader::findRestarts() {
  std::vector<size_t>& restarts = recording_->restarts;
  const size_t n = recording_->size();
  for (size_t sample : marked_)
    if (sample > 0 && sample < n) restarts.push_back(sample);
  bool later = false;  // a window mean follows
  for (size_t i = windowed_.size(); i-- > 1;) {
    if (!windowed_[i] && windowed_[i - 1] && later) restarts.push_back(i);
    later = later || windowed_[i];
  }
  std::sort(restarts.begin(), restarts.end());
  restarts.erase(std::unique(restarts.begin(), restarts.end()), restarts.end());
}

// Both methods start in day, and so does a new daemon: the init script runs
// the day command before each start.
void Reader::markNights() {
  bool night = false;
  size_t next_restart = 0;
  for (const Event& event : events_) {
    if (event.kind != Event::kSample) {
      night = event.kind == Event::kToNight;
      continue;
    }
    if (restartsAt(*recording_, event.sample, &next_restart)) night = false;
    recording_->recorded_night.push_back(night);
  }
}

// The lines tagged lumenflip of a system log, with their times; the others
// are counted.
bool Reader::takeOwnLines(std::vector<Line>* lines) {
  notes_->system_log = true;
  std::vector<Line> ours;
  LogClock clock;
  for (const Line& line : *lines) {
    if (trim(line.text).empty()) continue;
    if (!line.terminated) {
      notes_->cut_short_line = line.number;
      continue;
    }
    LogLine log;
    if (!parseLogLine(line.text, &log) || log.tag != "lumenflip") {
      ++notes_->other_programs;
      continue;
    }
    bool went_back;
    const double seconds = clock.seconds(log, &went_back);
    if (went_back && notes_->clock_back++ == 0) notes_->clock_back_line = line.number;
    ours.push_back(Line{line.number, log.message, true, seconds, log.stamp});
  }
  if (ours.empty())
    return fail("no lines tagged lumenflip among the " + std::to_string(notes_->other_programs) +
                " lines of this system log (the init script logs the daemon's output with logger -t lumenflip)");
  own_lines_ = static_cast<int>(ours.size());
  *lines = ours;
  return true;
}

bool Reader::failNoSamples() {
  if (notes_->system_log)
    return fail("no samples among the " + std::to_string(own_lines_) +
                " lines tagged lumenflip: run the daemon with -v (light sensor) or -S -v -v (software method), in "
                "OPTIONS of /etc/default/lumenflip for the init script");
  return fail("no samples (record with " + std::string(lightModel().recordingHint()) + ", " +
              imageModel().recordingHint() + ", or write a CSV)");
}

// A system log's samples get times from their stamps.
void Reader::stampTimes() {
  recording_->has_times = true;
  recording_->clock_times = true;
  spreadTimes(stamps_, &recording_->times, &notes_->spread, &notes_->spread_spacing);
  recording_->time_texts.clear();
  for (double seconds : recording_->times) recording_->time_texts.push_back(clockText(seconds));
}

// Times only ever go forward; a time of day that falls back by half a day
// or more has passed midnight.
bool Reader::addTime(int line, const std::string& text, double seconds, bool clock) {
  std::vector<double>& times = recording_->times;
  if (times.empty()) {
    recording_->clock_times = clock;
  } else if (clock != recording_->clock_times) {
    return fail(line, "time '" + printable(text) + "' is not written like the times before it");
  } else {
    seconds += day_offset_;
    const double previous = times.back();
    if (clock && seconds < previous && previous - seconds >= kDay / 2) {
      day_offset_ += kDay;
      seconds += kDay;
    }
    if (seconds < previous) return fail(line, "time '" + printable(text) + "' is before the time on the line above");
  }
  times.push_back(seconds);
  recording_->time_texts.push_back(text);
  return true;
}

bool Reader::readCsvLine(const Model& model, const Line& line, const std::vector<std::string>& fields, bool times) {
  size_t column = 0;
  if (times) {
    double seconds;
    bool clock;
    if (!parseTime(fields[0], &seconds, &clock))
      return fail(line.number, "column 1: '" + quoted(fields[0]) + "' is not a time (seconds, or H:MM:SS)");
    if (fabs(seconds) > kLargest)
      return fail(line.number, "column 1: '" + quoted(fields[0]) + "' is out of range (times lie within +-1e15 s)");
    if (!addTime(line.number, trim(fields[0]), seconds, clock)) return false;
    column = 1;
  }
  Sample sample;
  std::string why;
  if (!model.csvSample(fields, column, &sample, &why)) return fail(line.number, why);
  recording_->samples.push_back(sample);
  return true;
}

// One sample a line, [time,]sample for the light sensor or
// [time,]exposure,iridix,wb for the software method; a header allowed.
bool Reader::readCsv(const Model* model, const std::vector<Line>& lines, bool wanted_software, const Model** chosen) {
  size_t columns = 0;
  int columns_line = 0;
  bool first = true;
  for (const Line& line : lines) {
    const std::string text = trim(line.text);
    if (text.empty()) continue;
    if (text[0] == '#') {
      ++notes_->skipped;
      continue;
    }
    const std::vector<std::string> fields = splitFields(text);
    if (first) {
      first = false;
      if (!looksLikeData(fields)) {
        notes_->header = text;
        continue;
      }
    }
    if (columns == 0) {
      columns = fields.size();
      columns_line = line.number;
      if (columns < 1 || columns > 4)
        return fail(line.number, "expected 1 or 2 columns ([time,]sample) or 3 or 4 ([time,]exposure,iridix,wb), "
                                 "found " + std::to_string(columns));
      model = columns >= 3 ? &imageModel() : &lightModel();
      recording_->has_times = columns == 2 || columns == 4;
      if (wanted_software && !model->software())
        return fail(line.number, "a light-sensor sample ([time,]sample), but -S asks for the software method's "
                                 "[time,]exposure,iridix,wb");
      notes_->format = std::string("CSV") + (recording_->has_times ? " with times" : "");
    } else if (fields.size() != columns) {
      return fail(line.number, std::to_string(fields.size()) + " columns, but line " + std::to_string(columns_line) +
                                   " has " + std::to_string(columns));
    }
    if (!readCsvLine(*model, line, fields, recording_->has_times)) return false;
  }
  if (model) *chosen = model;
  return true;
}

bool readAll(FILE* in, std::string* text) {
  char buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, in)) > 0) text->append(buffer, got);
  return !ferror(in);
}

std::vector<Line> splitLines(const std::string& text) {
  std::vector<Line> lines;
  size_t start = 0;
  int number = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const bool terminated = end != std::string::npos;
    lines.push_back(
        Line{++number, text.substr(start, terminated ? end - start : std::string::npos), terminated, 0.0, ""});
    if (!terminated) break;
    start = end + 1;
  }
  return lines;
}

// A system log, when most lines start with a time stamp.
bool isSystemLog(const std::vector<Line>& lines) {
  size_t stamped = 0;
  size_t written = 0;
  for (const Line& line : lines) {
    LogLine log;
    if (trim(line.text).empty()) continue;
    ++written;
    if (parseLogLine(line.text, &log)) ++stamped;
  }
  return stamped > 0 && stamped * 2 >= written;
}

// The model whose samples the daemon's output holds, if any: the light
// sensor's unless -S asks otherwise or only statistics are there.
const Model* modelOfOutput(const std::vector<Line>& lines, bool wanted_software, bool* mismatch) {
  static const std::string kCurrent = trim(formatPrefix(OUT_CURRENT_VALUE));
  bool light = false;
  bool image = false;
  for (const Line& line : lines) {
    Sample sample;
    bool cut;
    std::string why;
    light = light || startsWith(line.text, kCurrent);
    image = image || (imageModel().findSample(line.text, &sample, &cut, &why) != 0 && !cut);
  }
  *mismatch = wanted_software && light && !image;
  if (image && (wanted_software || !light)) return &imageModel();
  return light && !wanted_software ? &lightModel() : nullptr;
}

}  // namespace

bool readTraceText(const std::string& text, const std::string& name, bool wanted_software, Recording* recording,
                   ReadNotes* notes, const Model** model) {
  *recording = Recording();
  *notes = ReadNotes();
  notes->name = name;
  Reader reader(recording, notes);
  std::vector<Line> lines = splitLines(text);
  if (isSystemLog(lines) && !reader.takeOwnLines(&lines)) return false;

  bool mismatch = false;
  *model = modelOfOutput(lines, wanted_software, &mismatch);
  if (mismatch)
    return reader.fail("holds lumenflip -v output (\"Current value:\" lines) of the light sensor, but -S asks for "
                       "the software method");
  bool ok = true;
  if (*model) {
    ok = reader.readDaemonLog(**model, lines, notes->system_log);
  } else if (!notes->system_log) {
    *model = wanted_software ? &imageModel() : &lightModel();
    ok = reader.readCsv(nullptr, lines, wanted_software, model);
  }
  if (!ok) return false;
  if (!*model) *model = wanted_software ? &imageModel() : &lightModel();
  if (recording->size() == 0) return reader.failNoSamples();
  if (notes->system_log) reader.stampTimes();
  return true;
}

bool readTrace(FILE* in, const std::string& name, bool wanted_software, Recording* recording, ReadNotes* notes,
               const Model** model) {
  std::string text;
  if (!readAll(in, &text)) {
    fprintf(stderr, "%s: cannot read: %s\n", name.c_str(), strerror(errno));
    return false;
  }
  return readTraceText(text, name, wanted_software, recording, notes, model);
}

}  // namespace replay
