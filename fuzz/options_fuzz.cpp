// Fuzz target for option parsing.
//
// Input layout: the bytes, split at NUL bytes, are the arguments after the
// program name (at most kMaxArguments; the rest of the input is dropped).
// Each argument gets a heap block of its own, exactly as long as the text
// and its terminator, so a read past any of them is caught.
//
// The daemon's parser must return kRunMethod, 0 (-h) or 1 (bad option),
// never end the process, and leave the settings and standard error exactly
// as a plain model does: the model asks the C library's getopt_long for the
// same options and hands each to the daemon's own table of options
// (applyOption). The table's conversions are checked on every argument
// apart: integers as strtol reads them, clamped to 32 bits, and the -2 and
// -3 triples field by field.
#include <getopt.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "control.h"

namespace {

const size_t kMaxArguments = 48;

// Standard error of one parse, kept in a fixed buffer so that a run costs
// no allocation; both the daemon and the model write into one like it.
struct Capture {
  char text[1 << 16];
  size_t length = 0;
};
Capture daemon_errors;
Capture model_errors;

template <typename Function>
int captureErrors(Capture* capture, Function function) {
  memset(capture->text, 0, sizeof capture->text);
  FILE* stream = fmemopen(capture->text, sizeof capture->text, "w");
  if (!stream) abort();
  FILE* const saved = stderr;
  stderr = stream;
  const int result = function();
  stderr = saved;
  fflush(stream);
  capture->length = static_cast<size_t>(ftell(stream));
  fclose(stream);
  return result;
}

int32_t clamped(long value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

int32_t modelInt(const char* text) { return clamped(strtol(text, nullptr, 10)); }

// "%d,%d,%d" with each field clamped; returns how many fields converted.
int modelTriple(const char* text, int32_t* first, int32_t* second, int32_t* third) {
  int32_t* fields[] = {first, second, third};
  const char* p = text;
  for (int i = 0; i < 3; ++i) {
    char* end;
    const long value = strtol(p, &end, 10);
    if (end == p) return i;
    *fields[i] = clamped(value);
    if (i < 2 && *end != ',') return i + 1;
    p = end + 1;
  }
  return 3;
}

int modelParse(int argc, char* argv[], Settings* s) {
  optind = 0;
  int option;
  static const struct option kNoLongOptions[] = {{nullptr, 0, nullptr, 0}};
  while ((option = getopt_long(argc, argv, kOptionString, kNoLongOptions, nullptr)) != -1) {
    switch (applyOption(s, option, optarg)) {
      case kOptionApplied: break;
      case kOptionBadTriple: fprintf(stderr, "invalid argument: %s\n", optarg); break;
      case kOptionHelp: return 0;
      case kOptionUnknown: fprintf(stderr, "Unknown argument: '%c'\n", option); return 1;
    }
  }
  return kRunMethod;
}

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "options_fuzz: %s\n", what);
  abort();
}

// A text setting is its default or points into one of the arguments.
void checkText(const char* value, const char* fallback, const std::vector<std::unique_ptr<char[]>>& args,
               const char* what) {
  if (value == fallback) return;
  for (const auto& arg : args) {
    const char* start = arg.get();
    if (value >= start && value <= start + strlen(start)) return;
  }
  fail(what);
}

bool sameDouble(double a, double b) { return memcmp(&a, &b, sizeof a) == 0; }

// The table's conversions of one argument, against strtol's and strtod's.
void checkConversions(const char* text) {
  Settings converted;
  applyOption(&converted, 'a', text);
  if (converted.adc_reads != modelInt(text)) fail("an integer converts unlike strtol");
  applyOption(&converted, 'O', text);
  if (!sameDouble(converted.on_threshold, strtod(text, nullptr))) fail("a real converts unlike strtod");
  Settings triple;
  Settings model;
  const int fields = modelTriple(text, &model.eq2_user_exposure, &model.eq2_user_iridix, &model.eq2_count);
  if ((applyOption(&triple, '2', text) == kOptionApplied) != (fields == 3)) fail("a triple is judged unlike the model");
  if (triple.eq2_user_exposure != model.eq2_user_exposure || triple.eq2_user_iridix != model.eq2_user_iridix ||
      triple.eq2_count != model.eq2_count) {
    fail("a triple's fields convert unlike the model");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The usage text goes to standard output; nothing here needs to see it.
  if (!freopen("/dev/null", "w", stdout)) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::unique_ptr<char[]>> args;
  const char* text = reinterpret_cast<const char*>(data);
  size_t start = 0;
  while (start <= size && args.size() < kMaxArguments) {
    const void* nul = memchr(text + start, '\0', size - start);
    const size_t end = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : size;
    std::unique_ptr<char[]> arg(new char[end - start + 1]);
    memcpy(arg.get(), text + start, end - start);
    arg[end - start] = '\0';
    args.push_back(std::move(arg));
    start = end + 1;
  }

  for (const auto& arg : args) checkConversions(arg.get());

  static char program[] = "lumenflip";
  std::vector<char*> argv(1, program);
  for (const auto& arg : args) argv.push_back(arg.get());
  argv.push_back(nullptr);
  // getopt reorders the vector it is given: the model gets its own copy.
  std::vector<char*> model_argv(argv);
  const int argc = static_cast<int>(argv.size() - 1);

  settings = Settings();
  optind = 0;  // start afresh, permutation state included
  const int result = captureErrors(&daemon_errors, [&] { return parseCommandLine(argc, argv.data()); });

  Settings model;
  const int want = captureErrors(&model_errors, [&] { return modelParse(argc, model_argv.data(), &model); });

  if (result != kRunMethod && result != 0 && result != 1) fail("result out of range");
  if (result != want) fail("result differs from the model");
  if (daemon_errors.length != model_errors.length ||
      memcmp(daemon_errors.text, model_errors.text, daemon_errors.length) != 0) {
    fail("standard error differs from the model");
  }

  const Settings defaults;
  checkText(settings.mode_command, defaults.mode_command, args, "mode_command outside the arguments");
  checkText(settings.adc_device, defaults.adc_device, args, "adc_device outside the arguments");
  checkText(settings.day_command, nullptr, args, "day_command outside the arguments");
  checkText(settings.night_command, nullptr, args, "night_command outside the arguments");
  if (settings.mode_command != model.mode_command || settings.adc_device != model.adc_device ||
      settings.day_command != model.day_command || settings.night_command != model.night_command) {
    fail("a text setting differs from the model");
  }
  if (settings.software_method != model.software_method || settings.verbose != model.verbose) {
    fail("a flag differs from the model");
  }
  if (settings.adc_reads != model.adc_reads || settings.delay_sec != model.delay_sec ||
      settings.window_size != model.window_size || settings.jitter_percent != model.jitter_percent ||
      settings.sec_wait != model.sec_wait || settings.eq1_user_exposure != model.eq1_user_exposure) {
    fail("an integer setting differs from the model");
  }
  if (!sameDouble(settings.on_threshold, model.on_threshold) ||
      !sameDouble(settings.off_threshold, model.off_threshold)) {
    fail("a threshold differs from the model");
  }
  if (settings.eq2_user_exposure != model.eq2_user_exposure || settings.eq2_user_iridix != model.eq2_user_iridix ||
      settings.eq2_count != model.eq2_count || settings.eq3_user_wb != model.eq3_user_wb ||
      settings.eq3_user_iridix != model.eq3_user_iridix || settings.eq3_count != model.eq3_count) {
    fail("a -2 or -3 field differs from the model");
  }
  if (night_mode || mode_switch_wait != 0) fail("parsing touched the switching state");
  return 0;
}
