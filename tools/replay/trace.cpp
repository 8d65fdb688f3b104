// Reading a trace: the daemon's verbose output or a CSV file.
#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "replay.h"

namespace replay {
namespace {

// What the daemon prints per sample: "Current value: %.2lf" (-v, light
// sensor) and "(%d, %d, %d)" (-S -v -v, before judging a read).
const char kCurrentValue[] = "Current value:";

const double kDay = 86400.0;

struct Line {
  int number;
  std::string text;
  bool terminated;
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

IntResult parseInt(const std::string& field, int32_t* value) {
  const std::string text = trim(field);
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return IntResult::kNotInteger;
  int64_t magnitude = 0;
  bool too_big = false;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return IntResult::kNotInteger;
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > (int64_t{1} << 32)) {
      too_big = true;
      magnitude = int64_t{1} << 32;
    }
  }
  const int64_t signed_value = negative ? -magnitude : magnitude;
  if (too_big || signed_value > INT32_MAX || signed_value < INT32_MIN) return IntResult::kOutOfRange;
  *value = static_cast<int32_t>(signed_value);
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

bool isCurrentValue(const std::string& text) { return startsWith(text, kCurrentValue); }

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
      return fail(line, "time '" + text + "' is not written like the times before it");
    } else {
      seconds += day_offset_;
      const double previous = trace_->times.back();
      if (clock && seconds < previous && previous - seconds >= kDay / 2) {
        day_offset_ += kDay;
        seconds += kDay;
      }
      if (seconds < previous) return fail(line, "time '" + text + "' is before the time on the line above");
    }
    trace_->times.push_back(seconds);
    trace_->time_texts.push_back(text);
    return true;
  }

  bool readDaemonLog(const std::vector<Line>& lines) {
    const bool software = trace_->method == Method::kSoftware;
    trace_->format = software ? "lumenflip -S -v -v output" : "lumenflip -v output";
    for (const Line& line : lines) {
      if (trim(line.text).empty()) continue;
      IspInfo isp;
      const int triple = software ? parseTriple(line.text, &isp) : 0;
      const bool sample = software ? triple != 0 : isCurrentValue(line.text);
      if (!sample) {
        ++trace_->skipped;
        continue;
      }
      // Killed while writing: the daemon ends every line it prints.
      if (!line.terminated) {
        fprintf(stderr, "%s:%d: warning: the last line is cut short; skipped\n", name_.c_str(), line.number);
        ++trace_->skipped;
        continue;
      }
      if (software) {
        if (triple < 0) return fail(line.number, "a value does not fit in 32 bits: " + trim(line.text));
        trace_->isp.push_back(isp);
      } else {
        double value;
        if (!parseReal(line.text.substr(strlen(kCurrentValue)), &value))
          return fail(line.number, "not a number after \"Current value:\": " + trim(line.text));
        trace_->values.push_back(value);
      }
      trace_->lines.push_back(line.number);
    }
    return true;
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
          ++trace_->skipped;  // a header
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
          return fail(line.number, "column 1: '" + trim(fields[0]) + "' is not a time (seconds, or H:MM:SS)");
        if (!addTime(line.number, trim(fields[0]), seconds, clock)) return false;
        column = 1;
      }
      if (trace_->method == Method::kLightSensor) {
        double value;
        if (!parseReal(fields[column], &value))
          return fail(line.number, "column " + std::to_string(column + 1) + ": '" + trim(fields[column]) +
                                       "' is not a number");
        trace_->values.push_back(value);
      } else {
        int32_t values[3];
        for (size_t i = 0; i < 3; ++i, ++column) {
          const IntResult result = parseInt(fields[column], &values[i]);
          if (result != IntResult::kOk)
            return fail(line.number, "column " + std::to_string(column + 1) + ": '" + trim(fields[column]) +
                                         (result == IntResult::kOutOfRange ? "' does not fit in 32 bits"
                                                                           : "' is not an integer"));
        }
        trace_->isp.push_back(IspInfo{values[0], values[1], values[2]});
      }
      trace_->lines.push_back(line.number);
    }
    return true;
  }

 private:
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
    lines.push_back(Line{++number, text.substr(start, terminated ? end - start : std::string::npos), terminated});
    if (!terminated) break;
    start = end + 1;
  }
  return lines;
}

}  // namespace

bool readTrace(FILE* in, const std::string& name, bool wanted_software, Trace* trace) {
  trace->name = name;
  Reader reader(name, trace);
  std::string text;
  if (!readAll(in, &text)) return reader.fail(std::string("cannot read: ") + strerror(errno));
  const std::vector<Line> lines = splitLines(text);

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
    ok = reader.readDaemonLog(lines);
  } else if (has_current) {
    if (wanted_software)
      return reader.fail("holds lumenflip -v output (\"Current value:\" lines) of the light sensor, "
                         "but -S asks for the software method");
    trace->method = Method::kLightSensor;
    ok = reader.readDaemonLog(lines);
  } else {
    ok = reader.readCsv(lines, wanted_software);
  }
  if (!ok) return false;
  if (trace->size() == 0)
    return reader.fail("no samples (record with lumenflip -v for the light sensor, lumenflip -S -v -v "
                       "for the software method, or write a CSV)");
  return true;
}

}  // namespace replay
