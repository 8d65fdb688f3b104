// Reading a trace: the daemon's verbose output or a CSV file.
#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "control.h"
#include "replay.h"

namespace replay {
namespace {

// What the daemon prints per sample: "Current value: %.2lf" (-v, light
// sensor) and "(%d, %d, %d)" (-S -v -v, before judging a read).
const char kCurrentValue[] = "Current value:";
const char kNightEnabled[] = "Night Mode Enabled";
const char kNightDisabled[] = "Night Mode Disabled";
const char kWindow[] = "Window (";
const char kSoftwareStart[] = "Starting software method using";
// The init script's supervisor, before it starts a daemon that ended again.
const char kRestarted[] = "lumenflip ended with status ";

const double kDay = 86400.0;
// Far beyond any sensor's reading and any recording's seconds, and small
// enough that their sums and steps stay finite.
const double kLargest = 1e15;

struct Line {
  int number;
  std::string text;
  bool terminated;
  double stamp;            // in a system log: seconds, from LogClock
  std::string stamp_text;  // and as written
};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

// A finite real number and nothing else. The text may hold NUL bytes,
// which strtod would stop at: they count as junk.
bool parseReal(const std::string& field, double* value) {
  const std::string text = trim(field);
  if (text.empty()) return false;
  const char* begin = text.c_str();
  char* end;
  const double parsed = strtod(begin, &end);
  if (end != begin + text.size() || !isfinite(parsed)) return false;
  *value = parsed;
  return true;
}

enum class IntResult { kOk, kNotInteger, kOutOfRange };

// An integer read as the daemon reads one, and nothing else.
IntResult parseInt(const std::string& field, int32_t* value) {
  const std::string text = trim(field);
  const char* begin = text.c_str();
  const char* limit = begin + text.size();
  const char* end;
  const int32_t parsed = parseInt32(begin, limit, &end);
  if (end == begin || end != limit) return IntResult::kNotInteger;
  // The daemon clamps; a value at a limit is one only when written as one.
  if (parsed == INT32_MAX || parsed == INT32_MIN) {
    size_t digits = text.find_first_of("0123456789");
    while (digits + 1 < text.size() && text[digits] == '0') ++digits;
    if (text.substr(digits) != (parsed == INT32_MAX ? "2147483647" : "2147483648")) return IntResult::kOutOfRange;
  }
  *value = parsed;
  return IntResult::kOk;
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
    if (rest.size() > 2) {
      if (rest[2] != '.' || !allDigits(rest.substr(3))) return false;
    }
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

std::vector<std::string> splitFields(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    fields.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return fields;
    start = comma + 1;
  }
}

// "(%d, %d, %d)" with any blanks. 1: a triple; 0: not one; -1: one whose
// numbers do not fit 32 bits (the daemon cannot have printed it).
int parseTriple(const std::string& raw, IspInfo* isp) {
  const std::string text = trim(raw);
  if (text.size() < 2 || text.front() != '(' || text.back() != ')') return 0;
  const std::vector<std::string> fields = splitFields(text.substr(1, text.size() - 2));
  if (fields.size() != 3) return 0;
  int32_t values[3];
  bool out_of_range = false;
  for (size_t i = 0; i < 3; ++i) {
    const IntResult result = parseInt(fields[i], &values[i]);
    if (result == IntResult::kNotInteger) return 0;
    if (result == IntResult::kOutOfRange) out_of_range = true;
  }
  if (out_of_range) return -1;
  *isp = IspInfo{values[0], values[1], values[2]};
  return 1;
}

// A triple after the rest of a cut line, as findCurrentValue below.
int findTriple(const std::string& text, IspInfo* isp, bool* cut) {
  *cut = false;
  const int whole = parseTriple(text, isp);
  if (whole != 0) return whole;
  const size_t at = text.rfind('(');
  if (at == std::string::npos || at == 0) return 0;
  const int rest = parseTriple(text.substr(at), isp);
  *cut = rest != 0;
  return rest;
}

bool isCurrentValue(const std::string& text) { return startsWith(text, kCurrentValue); }

// A daemon that is stopped or killed loses what it had not yet written,
// and the last line it wrote may end anywhere: the next writer's text runs
// on from there. So a sample line may follow the rest of a cut one.

// The light-sensor sample of a line: 1 and *value, with *cut when it came
// after the rest of another line; 0 when the line holds none; -1 when a
// line starting "Current value:" holds no number, -2 one out of range.
int findCurrentValue(const std::string& text, double* value, bool* cut) {
  const size_t at = text.rfind(kCurrentValue);
  if (at == std::string::npos) return 0;
  if (parseReal(text.substr(at + strlen(kCurrentValue)), value)) {
    *cut = at > 0;
    return fabs(*value) > kLargest ? -2 : 1;
  }
  return isCurrentValue(text) ? -1 : 0;
}

// Trimmed and made printable, for quoting in a message.
std::string quoted(const std::string& text) { return printable(trim(text)); }

class Reader {
 public:
  Reader(const std::string& name, Trace* trace) : name_(name), trace_(trace) {}

  bool fail(int line, const std::string& message) {
    fprintf(stderr, "%s:%d: %s\n", name_.c_str(), line, message.c_str());
    return false;
  }

  bool fail(const std::string& message) {
    fprintf(stderr, "%s: %s\n", name_.c_str(), message.c_str());
    return false;
  }

  // Times only ever go forward; a time of day that falls back by half a
  // day or more has passed midnight.
  bool addTime(int line, const std::string& text, double seconds, bool clock) {
    if (trace_->times.empty()) {
      trace_->clock_times = clock;
    } else if (clock != trace_->clock_times) {
      return fail(line, "time '" + printable(text) + "' is not written like the times before it");
    } else {
      seconds += day_offset_;
      const double previous = trace_->times.back();
      if (clock && seconds < previous && previous - seconds >= kDay / 2) {
        day_offset_ += kDay;
        seconds += kDay;
      }
      if (seconds < previous) return fail(line, "time '" + printable(text) + "' is before the time on the line above");
    }
    trace_->times.push_back(seconds);
    trace_->time_texts.push_back(text);
    return true;
  }

  // The daemon's output: its sample lines, and the lines that say when
  // night mode was on and when a new daemon began. Lines of the mode
  // commands, of the init script's supervisor and anything else are
  // skipped and counted.
  bool readDaemonLog(const std::vector<Line>& lines, bool stamped) {
    const bool software = trace_->method == Method::kSoftware;
    trace_->format = std::string(stamped ? "system log, " : "") +
                     (software ? "lumenflip -S -v -v output" : "lumenflip -v output");
    std::vector<Event> events;
    std::vector<bool> windowed;  // per sample: its window mean was printed
    std::vector<size_t> marked;  // samples that follow a start of the daemon
    std::vector<Unreadable> unreadable;
    for (const Line& line : lines) {
      const std::string text = trim(line.text);
      if (text.empty()) continue;
      // Killed while writing: the daemon ends every line it prints.
      if (!line.terminated) {
        trace_->cut_short_line = line.number;
        continue;
      }
      const size_t count = trace_->size();
      if (text.find(kRestarted) != std::string::npos || (software && startsWith(text, kSoftwareStart))) {
        marked.push_back(count);
        ++trace_->skipped;
        continue;
      }
      if (text == kNightEnabled || text == kNightDisabled) {
        events.push_back(Event{text == kNightEnabled ? Event::kToNight : Event::kToDay, 0});
        ++trace_->skipped;
        continue;
      }
      if (!software && startsWith(text, kWindow) && count > 0) windowed[count - 1] = true;
      bool cut = false;
      if (software) {
        IspInfo isp;
        const int triple = findTriple(text, &isp, &cut);
        if (triple == 0) {
          ++trace_->skipped;
          continue;
        }
        if (triple < 0) return fail(line.number, "a value does not fit in 32 bits: " + quoted(line.text));
        trace_->isp.push_back(isp);
      } else {
        double value;
        const int found = findCurrentValue(text, &value, &cut);
        if (found == 0) {
          ++trace_->skipped;
          continue;
        }
        if (found == -2)
          return fail(line.number, "out of range after \"Current value:\" (samples lie within +-1e15): " +
                                       quoted(line.text));
        if (found < 0) {
          // Cut short where a daemon was stopped, or an error: the
          // samples after it tell.
          unreadable.push_back(
              Unreadable{count, line.number, "not a number after \"Current value:\": " + quoted(line.text)});
          ++trace_->skipped;
          continue;
        }
        trace_->values.push_back(value);
        windowed.push_back(false);
      }
      if (cut) noteCutInside(line.number);
      events.push_back(Event{Event::kSample, count});
      if (stamped) {
        stamps_.push_back(line.stamp);
        if (count == 0) trace_->first_stamp = line.stamp_text;
        trace_->last_stamp = line.stamp_text;
      }
    }

    findRestarts(marked, windowed);
    for (const Unreadable& line : unreadable) {
      if (!std::binary_search(trace_->restarts.begin(), trace_->restarts.end(), line.before))
        return fail(line.number, line.message);
      noteCutInside(line.number);
    }
    // Both methods start in day, and so does a new daemon: the init script
    // runs the day command before each start.
    bool night = false;
    size_t next_restart = 0;
    for (const Event& event : events) {
      if (event.kind != Event::kSample) {
        night = event.kind == Event::kToNight;
        continue;
      }
      if (next_restart < trace_->restarts.size() && trace_->restarts[next_restart] == event.sample) {
        night = false;
        ++next_restart;
      }
      trace_->recorded_night.push_back(night);
    }
    return true;
  }

  // The lines tagged lumenflip of a system log, with their times; the
  // others are counted.
  bool takeOwnLines(std::vector<Line>* lines) {
    trace_->system_log = true;
    std::vector<Line> ours;
    LogClock clock;
    for (const Line& line : *lines) {
      if (trim(line.text).empty()) continue;
      if (!line.terminated) {
        trace_->cut_short_line = line.number;
        continue;
      }
      LogLine log;
      if (!parseLogLine(line.text, &log) || log.tag != "lumenflip") {
        ++trace_->other_programs;
        continue;
      }
      bool went_back;
      const double seconds = clock.seconds(log, &went_back);
      if (went_back && trace_->clock_back++ == 0) trace_->clock_back_line = line.number;
      ours.push_back(Line{line.number, log.message, true, seconds, log.stamp});
    }
    if (ours.empty())
      return fail("no lines tagged lumenflip among the " + std::to_string(trace_->other_programs) +
                  " lines of this system log (the init script logs the daemon's output with logger -t lumenflip)");
    own_lines_ = static_cast<int>(ours.size());
    *lines = ours;
    return true;
  }

  bool failNoSamples() {
    if (trace_->system_log)
      return fail("no samples among the " + std::to_string(own_lines_) +
                  " lines tagged lumenflip: run the daemon with -v (light sensor) or -S -v -v (software "
                  "method), in OPTIONS of /etc/default/lumenflip for the init script");
    return fail("no samples (record with lumenflip -v for the light sensor, lumenflip -S -v -v "
                "for the software method, or write a CSV)");
  }

  // A system log's samples get times from their stamps.
  void stampTimes() {
    trace_->has_times = true;
    trace_->clock_times = true;
    spreadTimes(stamps_, &trace_->times, &trace_->spread, &trace_->spread_spacing);
    trace_->time_texts.clear();
    for (double seconds : trace_->times) trace_->time_texts.push_back(clockText(seconds));
  }

  bool readCsv(const std::vector<Line>& lines, bool wanted_software) {
    size_t columns = 0;
    int columns_line = 0;
    bool first = true;
    for (const Line& line : lines) {
      const std::string text = trim(line.text);
      if (text.empty()) continue;
      if (text[0] == '#') {
        ++trace_->skipped;
        continue;
      }
      const std::vector<std::string> fields = splitFields(text);
      if (first) {
        first = false;
        if (!looksLikeData(fields)) {
          trace_->header = text;
          continue;
        }
      }
      if (columns == 0) {
        columns = fields.size();
        columns_line = line.number;
        if (columns < 1 || columns > 4)
          return fail(line.number, "expected 1 or 2 columns ([time,]sample) or 3 or 4 "
                                   "([time,]exposure,iridix,wb), found " + std::to_string(columns));
        trace_->method = columns >= 3 ? Method::kSoftware : Method::kLightSensor;
        trace_->has_times = columns == 2 || columns == 4;
        if (wanted_software && trace_->method != Method::kSoftware)
          return fail(line.number, "a light-sensor sample ([time,]sample), but -S asks for the "
                                   "software method's [time,]exposure,iridix,wb");
        trace_->format = std::string("CSV") + (trace_->has_times ? " with times" : "");
      } else if (fields.size() != columns) {
        return fail(line.number, std::to_string(fields.size()) + " columns, but line " +
                                     std::to_string(columns_line) + " has " + std::to_string(columns));
      }
      size_t column = 0;
      if (trace_->has_times) {
        double seconds;
        bool clock;
        if (!parseTime(fields[0], &seconds, &clock))
          return fail(line.number, "column 1: '" + quoted(fields[0]) + "' is not a time (seconds, or H:MM:SS)");
        if (fabs(seconds) > kLargest)
          return fail(line.number, "column 1: '" + quoted(fields[0]) + "' is out of range (times lie within +-1e15 s)");
        if (!addTime(line.number, trim(fields[0]), seconds, clock)) return false;
        column = 1;
      }
      if (trace_->method == Method::kLightSensor) {
        double value;
        if (!parseReal(fields[column], &value))
          return fail(line.number, "column " + std::to_string(column + 1) + ": '" + quoted(fields[column]) +
                                       "' is not a number");
        if (fabs(value) > kLargest)
          return fail(line.number, "column " + std::to_string(column + 1) + ": '" + quoted(fields[column]) +
                                       "' is out of range (samples lie within +-1e15)");
        trace_->values.push_back(value);
      } else {
        int32_t values[3];
        for (size_t i = 0; i < 3; ++i, ++column) {
          const IntResult result = parseInt(fields[column], &values[i]);
          if (result != IntResult::kOk)
            return fail(line.number, "column " + std::to_string(column + 1) + ": '" + quoted(fields[column]) +
                                         (result == IntResult::kOutOfRange ? "' does not fit in 32 bits"
                                                                           : "' is not an integer"));
        }
        trace_->isp.push_back(IspInfo{values[0], values[1], values[2]});
      }
    }
    return true;
  }

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

  void noteCutInside(int line) {
    if (trace_->cut_inside++ == 0) trace_->cut_inside_line = line;
  }

  // Where a new daemon began: after a line saying so (the supervisor's),
  // or, with the light sensor, where samples come again without a window
  // mean after samples with one: a new daemon is filling its window. A
  // recording that ends so is only cut short.
  void findRestarts(const std::vector<size_t>& marked, const std::vector<bool>& windowed) {
    std::vector<size_t>& restarts = trace_->restarts;
    const size_t n = trace_->size();
    for (size_t sample : marked)
      if (sample > 0 && sample < n) restarts.push_back(sample);
    bool later = false;  // a window mean follows
    for (size_t i = windowed.size(); i-- > 1;) {
      if (!windowed[i] && windowed[i - 1] && later) restarts.push_back(i);
      later = later || windowed[i];
    }
    std::sort(restarts.begin(), restarts.end());
    restarts.erase(std::unique(restarts.begin(), restarts.end()), restarts.end());
  }

  // A header is a first line whose fields are not all numbers or times.
  static bool looksLikeData(const std::vector<std::string>& fields) {
    for (size_t i = 0; i < fields.size(); ++i) {
      double value;
      bool clock;
      if (!(i == 0 ? parseTime(fields[i], &value, &clock) : parseReal(fields[i], &value))) return false;
    }
    return true;
  }

  std::string name_;
  Trace* trace_;
  double day_offset_ = 0.0;
  std::vector<double> stamps_;  // of the samples, from a system log
  int own_lines_ = 0;
};

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

}  // namespace

std::string printable(const std::string& text) {
  std::string out;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (u < 0x20 || u >= 0x7F) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

void addSampleTimes(Trace* trace, int32_t delay) {
  trace->has_times = true;
  trace->clock_times = false;
  trace->times.clear();
  trace->time_texts.clear();
  for (size_t i = 0; i < trace->size(); ++i) {
    const long long seconds = static_cast<long long>(i) * delay;
    char text[64];
    snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    trace->times.push_back(static_cast<double>(seconds));
    trace->time_texts.push_back(text);
  }
  trace->format += ", a sample every " + duration(delay) + " (-d)";
}

bool readTraceText(const std::string& text, const std::string& name, bool wanted_software, Trace* trace) {
  trace->name = name;
  Reader reader(name, trace);
  std::vector<Line> lines = splitLines(text);

  // A system log, when most lines start with a time stamp: lumenflip's
  // lines in it are read as its output.
  size_t stamped = 0;
  size_t written = 0;
  for (const Line& line : lines) {
    LogLine log;
    if (trim(line.text).empty()) continue;
    ++written;
    if (parseLogLine(line.text, &log)) ++stamped;
  }
  if (stamped > 0 && stamped * 2 >= written && !reader.takeOwnLines(&lines)) return false;

  // The daemon's own output, when it holds any of its sample lines;
  // everything else in it (window means, switches, the mode commands' own
  // output) is skipped.
  bool has_current = false;
  bool has_triples = false;
  for (const Line& line : lines) {
    IspInfo isp;
    has_current = has_current || isCurrentValue(line.text);
    has_triples = has_triples || parseTriple(line.text, &isp) != 0;
  }
  bool ok;
  if (has_triples && (wanted_software || !has_current)) {
    trace->method = Method::kSoftware;
    ok = reader.readDaemonLog(lines, trace->system_log);
  } else if (has_current) {
    if (wanted_software)
      return reader.fail("holds lumenflip -v output (\"Current value:\" lines) of the light sensor, "
                         "but -S asks for the software method");
    trace->method = Method::kLightSensor;
    ok = reader.readDaemonLog(lines, trace->system_log);
  } else if (trace->system_log) {
    ok = true;
  } else {
    ok = reader.readCsv(lines, wanted_software);
  }
  if (!ok) return false;
  if (trace->size() == 0) return reader.failNoSamples();
  if (trace->system_log) reader.stampTimes();
  return true;
}

bool readTrace(FILE* in, const std::string& name, bool wanted_software, Trace* trace) {
  std::string text;
  if (!readAll(in, &text)) {
    fprintf(stderr, "%s: cannot read: %s\n", name.c_str(), strerror(errno));
    return false;
  }
  return readTraceText(text, name, wanted_software, trace);
}

}  // namespace replay
