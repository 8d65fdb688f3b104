// The system log as a camera writes it: syslogd's file or logread's output.
// Its lines carry a time stamp without a year, often a host and a
// facility.level, and the tag of the program that logged them.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "replay.h"

namespace replay {
namespace {

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// The days before each month and in it, in a leap year; the clock below
// takes Feb 29 out again in a year that has none.
const int kMonthStart[12] = {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335};
const int kMonthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
const int kFeb29 = 59;  // its day of the year, from 0
const double kDay = 86400.0;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int twoDigits(const char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

// A tag is a program's name, maybe with "[pid]", ending in ':'.
bool splitTag(const std::string& word, std::string* tag) {
  if (word.size() < 2 || word.back() != ':') return false;
  std::string name = word.substr(0, word.size() - 1);
  const size_t bracket = name.find('[');
  if (bracket != std::string::npos) {
    if (name.back() != ']' || bracket == 0 || bracket + 2 > name.size() - 1) return false;
    for (size_t i = bracket + 1; i + 1 < name.size(); ++i)
      if (!isDigit(name[i])) return false;
    name.resize(bracket);
  }
  *tag = name;
  return true;
}

}  // namespace

bool parseLogLine(const std::string& text, LogLine* line) {
  // "Dec  8 15:26:17" or "Dec 08 15:26:17", maybe with a fraction of a second.
  const char* p = text.c_str();
  const size_t size = text.size();
  if (size < 15) return false;
  int month = -1;
  for (int m = 0; m < 12; ++m)
    if (memcmp(p, kMonths[m], 3) == 0) month = m;
  if (month < 0 || p[3] != ' ') return false;
  size_t at = 4;
  if (p[at] == ' ') ++at;
  int day = 0;
  const size_t day_start = at;
  while (at < size && isDigit(p[at]) && at - day_start < 2) day = day * 10 + (p[at++] - '0');
  if (at == day_start || day < 1 || day > kMonthDays[month] || at + 9 > size || p[at] != ' ') return false;
  const char* clock = p + at + 1;
  if (!isDigit(clock[0]) || !isDigit(clock[1]) || clock[2] != ':' || !isDigit(clock[3]) || !isDigit(clock[4]) ||
      clock[5] != ':' || !isDigit(clock[6]) || !isDigit(clock[7]))
    return false;
  const int hours = twoDigits(clock);
  const int minutes = twoDigits(clock + 3);
  const int secs = twoDigits(clock + 6);
  if (hours > 23 || minutes > 59 || secs > 60) return false;  // 60: a leap second
  at += 9;
  double fraction = 0.0;
  if (at < size && p[at] == '.') {
    const size_t digits = ++at;
    double scale = 0.1;
    for (; at < size && isDigit(p[at]); ++at, scale /= 10) fraction += (p[at] - '0') * scale;
    if (at == digits) return false;
  }
  if (at >= size || p[at] != ' ') return false;
  ++at;

  line->month = month;
  line->day = day;
  line->seconds = hours * 3600.0 + minutes * 60.0 + secs + fraction;
  char stamp[32];
  snprintf(stamp, sizeof stamp, "%s %d %.8s", kMonths[month], day, clock);
  line->stamp = stamp;
  line->tag.clear();
  line->message = text.substr(at);
  // The host and the facility.level may stand before the tag, or not:
  // the tag is the first of the next three words that ends in ':'.
  size_t word_start = at;
  for (int word = 0; word < 3 && word_start < size; ++word) {
    const size_t space = text.find(' ', word_start);
    const size_t word_end = space == std::string::npos ? size : space;
    std::string tag;
    if (splitTag(text.substr(word_start, word_end - word_start), &tag)) {
      line->tag = tag;
      line->message = space == std::string::npos ? "" : text.substr(space + 1);
      break;
    }
    if (space == std::string::npos) break;
    word_start = space + 1;
  }
  return true;
}

double LogClock::seconds(const LogLine& line, bool* went_back) {
  *went_back = false;
  const int day_of_year = kMonthStart[line.month] + line.day - 1;
  double now = (days_ + day_of_year) * kDay + line.seconds + shift_;
  if (started_) {
    if (now < last_ - kDay * 183) {
      // Back by more than half a year: the new year.
      days_ += 366;
      now += 366 * kDay;
    } else if (now > last_ && last_day_ < kFeb29 && day_of_year > kFeb29) {
      // Straight from February to March: no Feb 29 this year.
      days_ -= 1;
      now -= kDay;
    }
    if (now < last_) {
      // The clock was set back: time stands still over the step.
      *went_back = true;
      shift_ += last_ - now;
      now = last_;
    }
  }
  started_ = true;
  last_ = now;
  last_day_ = day_of_year;
  return now;
}

void spreadTimes(const std::vector<double>& stamps, std::vector<double>* times, size_t* moved, double* spacing) {
  const size_t n = stamps.size();
  times->assign(stamps.begin(), stamps.end());
  *moved = 0;
  *spacing = 0.0;
  // Runs of samples that share a stamp: the last of each was written about
  // then, the others before it.
  std::vector<size_t> ends;
  for (size_t i = 0; i < n; ++i)
    if (i + 1 == n || stamps[i + 1] != stamps[i]) ends.push_back(i);
  std::vector<double> steps;
  for (size_t k = 1; k < ends.size(); ++k)
    steps.push_back((stamps[ends[k]] - stamps[ends[k - 1]]) / static_cast<double>(ends[k] - ends[k - 1]));
  if (steps.empty()) return;
  // The usual time between samples (the lower median); a long pause (the
  // camera off) does not spread the samples after it over the pause.
  const size_t middle = (steps.size() - 1) / 2;
  std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(middle), steps.end());
  const double usual = steps[middle];
  // Several samples a second: the stamps say all they can.
  if (usual < 1.0) return;
  *spacing = usual;
  size_t begin = 0;
  for (size_t k = 0; k < ends.size(); ++k) {
    const size_t end = ends[k];
    const double stamp = stamps[end];
    double step = usual;
    if (k > 0) step = std::min(usual, (stamp - stamps[ends[k - 1]]) / static_cast<double>(end - ends[k - 1]));
    for (size_t i = begin; i < end; ++i) {
      (*times)[i] = stamp - static_cast<double>(end - i) * step;
      if (stamp - (*times)[i] >= 1.0) ++*moved;
    }
    begin = end + 1;
  }
}

std::string clockText(double seconds) {
  long long whole = llround(seconds);
  whole %= 86400;
  if (whole < 0) whole += 86400;
  char text[16];
  snprintf(text, sizeof text, "%02lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  return text;
}

}  // namespace replay
