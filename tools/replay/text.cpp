#include "text.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "control.h"
#include "replay.h"

namespace replay {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

std::string trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The text may hold NUL bytes, which strtod would stop at: they count as junk.
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

std::string quoted(const std::string& text) { return printable(trim(text)); }

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

std::string formatReal(double value) {
  char text[64];
  for (int precision = 6; precision <= 17; ++precision) {
    snprintf(text, sizeof text, "%.*g", precision, value);
    if (strtod(text, nullptr) == value) break;
  }
  return text;
}

double niceStep(double raw) {
  if (!(raw > 0.0) || !isfinite(raw)) return 1.0;
  const double magnitude = pow(10.0, floor(log10(raw)));
  const double norm = raw / magnitude;
  return (norm < 1.5 ? 1.0 : norm < 3.5 ? 2.0 : norm < 7.5 ? 5.0 : 10.0) * magnitude;
}

std::string formatPrefix(const char* format) {
  const char* percent = strchr(format, '%');
  return percent ? std::string(format, static_cast<size_t>(percent - format)) : std::string(format);
}

}  // namespace replay
