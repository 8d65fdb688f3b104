#include "control.h"

#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

Settings settings;
const char kOptionString[] = "D:c:y:g:a:d:n:O:F:vShj:w:1:2:3:";
bool night_mode = false;
int32_t mode_switch_wait = 0;

namespace {

// Linux refuses any single argument longer than this (MAX_ARG_STRLEN), so a
// mode command that reached us through exec always fits with " off\n".
const unsigned long kLongestArgument = 32UL * 4096UL;
char command_line[kLongestArgument + sizeof(" off\n")];

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int32_t optionInt(const char* text) { return parseInt32(text, text + strlen(text), nullptr); }

}  // namespace

int32_t parseInt32(const char* text, const char* limit, const char** end) {
  const char* p = text;
  while (p < limit && isSpace(*p)) ++p;
  bool negative = false;
  if (p < limit && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  const char* digits = p;
  // Stop accumulating once past any 32-bit value; the result is clamped.
  uint64_t magnitude = 0;
  while (p < limit && *p >= '0' && *p <= '9') {
    if (magnitude <= UINT32_MAX) magnitude = magnitude * 10 + static_cast<uint64_t>(*p - '0');
    ++p;
  }
  const int64_t value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  if (end) *end = p == digits ? text : p;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

int parseIntTriple(const char* text, int32_t* first, int32_t* second, int32_t* third) {
  int32_t* fields[] = {first, second, third};
  const char* limit = text + strlen(text);
  const char* p = text;
  for (int i = 0; i < 3; ++i) {
    const char* end;
    const int32_t value = parseInt32(p, limit, &end);
    if (end == p) return i;
    *fields[i] = value;
    if (i == 2) break;
    if (*end != ',') return i + 1;
    p = end + 1;
  }
  return 3;
}

void printUsage() { printUsageOf(settings); }

void printUsageOf(const Settings& shown) {
  puts("Usage: lumenflip [options]\n");
  puts("Options:");
  puts("-v              Increase verbosity");
  printf("-c <str>        Sets the command to call to set night mode (default: %s)\n",
         shown.mode_command);
  printf("-y <str>        Sets the command to run for day mode (default: disabled, use %s for both day and night)\n",
         shown.mode_command);
  printf("-g <str>        Sets the command to run for night mode (default: disabled, use %s for both day and night)\n",
         shown.mode_command);
  puts("-S              uses software to determine day/night");
  puts("                    following options don't mean anything for software method");
  puts("                    use sw_night_configure.html for more software mode options");
  printf("-D <str>        Sets jz_adc_aux device (default: %s)\n", shown.adc_device);
  printf("-a <int>        Sets the number of ADC reads to average into a single sample (default: %d)\n",
         shown.adc_reads);
  printf("-d <int>        Delay (in seconds) between averaged reads (default: %d)\n", shown.delay_sec);
  printf("-n <int>        Number of averaged samples to window average for thresholding (default: %d)\n",
         shown.window_size);
  printf("-O <float>      Turn on night mode when window average value drops below this threshold (default: %.2lf)\n",
         shown.on_threshold);
  printf("-F <floag>      Turn off night mode when window average value goes above this threshold (default: %.2lf)\n",
         shown.off_threshold);
  puts("-h              Print this usage statement and exit");
}

void printError(const char* format, ...) {
  fflush(stdout);
  va_list arguments;
  va_start(arguments, format);
  vfprintf(stderr, format, arguments);
  va_end(arguments);
}

void pauseSeconds(uint32_t seconds) {
  // nanosleep rather than sleep: uClibc-ng's sleep asks for SIGCHLD's
  // action before each pause and makes no call at all for 0. A 32-bit
  // time_t takes at most 2^31 - 1 seconds in one call.
  const uint32_t kLongestPiece = 0x7fffffff;
  do {
    const uint32_t piece = seconds < kLongestPiece ? seconds : kLongestPiece;
    timespec left = {static_cast<time_t>(piece), 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    seconds -= piece;
  } while (seconds > 0);
}

OptionResult applyOption(Settings* target, int letter, const char* text) {
  switch (letter) {
    case 'D': target->adc_device = text; break;
    case 'c': target->mode_command = text; break;
    case 'y': target->day_command = text; break;
    case 'g': target->night_command = text; break;
    case 'a': target->adc_reads = optionInt(text); break;
    case 'd': target->delay_sec = optionInt(text); break;
    case 'n': target->window_size = optionInt(text); break;
    case 'O': target->on_threshold = strtod(text, nullptr); break;
    case 'F': target->off_threshold = strtod(text, nullptr); break;
    case 'v': ++target->verbose; break;
    case 'S': target->software_method = true; break;
    case 'h': return kOptionHelp;
    case 'j': target->jitter_percent = optionInt(text); break;
    case 'w': target->sec_wait = optionInt(text); break;
    case '1': target->eq1_user_exposure = optionInt(text); break;
    case '2':
      if (parseIntTriple(text, &target->eq2_user_exposure, &target->eq2_user_iridix, &target->eq2_count) < 3) {
        return kOptionBadTriple;
      }
      break;
    case '3':
      if (parseIntTriple(text, &target->eq3_user_wb, &target->eq3_user_iridix, &target->eq3_count) < 3) {
        return kOptionBadTriple;
      }
      break;
    default: return kOptionUnknown;
  }
  return kOptionApplied;
}

int parseCommandLine(int argc, char* argv[]) {
  // getopt_long permutes on every C library; plain getopt does only on
  // glibc, and elsewhere would silently drop the options after an operand.
  static const struct option kNoLongOptions[] = {{nullptr, 0, nullptr, 0}};
  int option;
  while ((option = getopt_long(argc, argv, kOptionString, kNoLongOptions, nullptr)) != -1) {
    switch (applyOption(&settings, option, optarg)) {
      case kOptionApplied: break;
      case kOptionBadTriple:
        printError("invalid argument: %s\n", optarg);
        printUsage();
        break;
      case kOptionHelp: printUsage(); return 0;
      case kOptionUnknown:
        printError("Unknown argument: '%c'\n", option);
        printUsage();
        return 1;
    }
  }
  return kRunMethod;
}

const char* buildModeCommand(char* buffer, unsigned long size) {
  const char* command = night_mode ? settings.night_command : settings.day_command;
  if (command) return command;
  const int length = snprintf(buffer, size, "%s %s\n", settings.mode_command, night_mode ? "on" : "off");
  if (length < 0 || static_cast<unsigned long>(length) >= size) return nullptr;
  return buffer;
}

void applyNightMode() {
  if (settings.verbose >= 1) printf("Night Mode %s\n", night_mode ? "Enabled" : "Disabled");
  const char* command = buildModeCommand(command_line, sizeof command_line);
  if (command) {
    // The command inherits our standard output: our lines go out before its.
    fflush(stdout);
    // A mode command is a shell command line by design.
    const int status = system(command);  // NOLINT(cert-env33-c)
    if (status != 0) printError("WARNING: %s returned %d\n", command, status);
  } else {
    printError("WARNING: mode command is too long to run: %s\n", settings.mode_command);
  }
  mode_switch_wait = settings.sec_wait;
}

void toggleNightMode() {
  night_mode = !night_mode;
  applyNightMode();
}
