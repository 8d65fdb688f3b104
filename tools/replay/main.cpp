// lumenflip-replay: which thresholds suit this camera? Replays a recorded
// trace through the daemon's own decisions and reports (and draws) when it
// would have switched.
#include <errno.h>
#include <getopt.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "control.h"
#include "replay.h"

namespace {

const int kBadOption = 1;
const int kBadTrace = 2;

const char kSynopsis[] =
    "Usage: lumenflip-replay [lumenflip's options] [--sweep] [--night-offset X]\n"
    "                        [--night-exposure-factor F] [--svg FILE] TRACE";

void printOwnUsage() {
  printf("%s\n", kSynopsis);
  puts("\n"
       "Replays a recorded trace through lumenflip's own decisions, without running\n"
       "any mode command, and reports each switch and how the day split.\n"
       "\n"
       "TRACE is what lumenflip -v printed (light sensor), what lumenflip -S -v -v\n"
       "printed (software method), a system log holding that output (syslogd's\n"
       "file or logread's output, of which the lines tagged lumenflip are read,\n"
       "with the times of their stamps), or a CSV file with one sample per line:\n"
       "[time,]sample for the light sensor, [time,]exposure,iridix,wb for the\n"
       "software method, the time in seconds or as H:MM:SS, a header line allowed.\n"
       "Other lines of lumenflip's output are skipped and counted. \"-\" reads\n"
       "standard input.\n"
       "\n"
       "Decision options, read and converted exactly as lumenflip reads them:\n"
       "  -n N -O LEVEL -F LEVEL                                light sensor\n"
       "  -S -j PCT -w N -1 EXP -2 EXP,IRIDIX,N -3 WB,IRIDIX,N  software method\n"
       "A trace of ISP statistics implies -S. -d SEC gives a recording of lumenflip -v\n"
       "a sample every SEC seconds. lumenflip's other options are accepted and\n"
       "ignored, so its command line can be pasted; -h prints its usage with the\n"
       "values given so far.\n"
       "\n"
       "Night mode's own light (IR LEDs) is estimated from the switches a recording\n"
       "holds, taken out where the recording was in night and put back where the\n"
       "replay is.\n"
       "\n"
       "Options of its own:\n"
       "  --night-offset X           night mode adds X to the light sensor\n"
       "                             (0: no model)\n"
       "  --night-exposure-factor F  night mode multiplies the exposure by F\n"
       "                             (1: no model)\n"
       "  --sweep                    replay a grid of options and suggest the one with\n"
       "                             the fewest switches\n"
       "  --svg FILE                 also draw the samples, thresholds and nights as\n"
       "                             an SVG picture\n"
       "  --help                     print this text\n"
       "\n"
       "Exit status: 0 after a replay, 1 after a bad option, 2 when the trace cannot\n"
       "be read or the picture cannot be written.");
}

int usageError(const char* message, const char* detail) {
  fprintf(stderr, "lumenflip-replay: %s%s\nTry 'lumenflip-replay --help'.\n", message, detail);
  return kBadOption;
}

bool takesArgument(char option) {
  const char* found = option != ':' ? strchr(kOptionString, option) : nullptr;
  return found && found[1] == ':';
}

struct OwnOptions {
  std::string svg;
  bool help = false;
  bool sweep = false;
  bool offset_given = false;
  double offset = 0.0;
  bool factor_given = false;
  double factor = 1.0;
  bool delay_given = false;
};

// A finite number and nothing else.
bool parseNumber(const char* text, double* value) {
  char* end;
  *value = strtod(text, &end);
  return *text != '\0' && *end == '\0' && isfinite(*value);
}

// One of our long options, with its value taken from "--name=value" or the
// next word. Returns 0, or the exit status after a message.
int takeLong(int argc, char* argv[], int* i, OwnOptions* own) {
  std::string name = argv[*i];
  const char* value = nullptr;
  const size_t equals = name.find('=');
  if (equals != std::string::npos) {
    value = argv[*i] + equals + 1;
    name.resize(equals);
  }
  const bool wants_value = name == "--svg" || name == "--night-offset" || name == "--night-exposure-factor";
  if (name != "--help" && name != "--sweep" && !wants_value) return usageError("unknown option ", argv[*i]);
  if (!wants_value) {
    if (value) return usageError("no value is taken by ", name.c_str());
    (name == "--help" ? own->help : own->sweep) = true;
    return 0;
  }
  if (!value) value = *i + 1 < argc ? argv[++*i] : "";
  if (name == "--svg") {
    own->svg = value;
    if (own->svg.empty()) return usageError("--svg needs a file name", "");
  } else if (name == "--night-offset") {
    own->offset_given = true;
    if (!parseNumber(value, &own->offset)) return usageError("--night-offset needs a number of ADC units, not ", value);
  } else {
    own->factor_given = true;
    if (!parseNumber(value, &own->factor) || own->factor <= 0.0)
      return usageError("--night-exposure-factor needs a number above 0, not ", value);
  }
  return 0;
}

// Takes our long options out of argv; the rest, in order, is for the
// daemon's parser. Returns 0, or the exit status after a message.
int splitOptions(int argc, char* argv[], OwnOptions* own, std::vector<char*>* rest) {
  rest->push_back(argv[0]);
  for (int i = 1; i < argc; ++i) {
    char* arg = argv[i];
    if (strcmp(arg, "--") == 0) {
      for (; i < argc; ++i) rest->push_back(argv[i]);
      break;
    }
    if (strncmp(arg, "--", 2) == 0) {
      if (const int status = takeLong(argc, argv, &i, own)) return status;
      continue;
    }
    rest->push_back(arg);
    if (arg[0] != '-' || arg[1] == '\0') continue;
    // A cluster of short options: the first that takes an argument takes
    // the rest of the word, or else the next word whatever it looks like.
    for (const char* p = arg + 1; *p; ++p) {
      if (!takesArgument(*p)) continue;
      if (p[1] == '\0' && i + 1 < argc) rest->push_back(argv[++i]);
      break;
    }
  }
  rest->push_back(nullptr);
  return 0;
}

// Goes over the daemon's options once before the daemon's parser does, so
// that an unknown one gets our usage rather than the daemon's, and notes
// which were given. Returns 0, or the exit status after a message.
int checkDaemonOptions(std::vector<char*>* args, OwnOptions* own) {
  static const struct option kNoLongOptions[] = {{nullptr, 0, nullptr, 0}};
  const int argc = static_cast<int>(args->size()) - 1;
  std::vector<char*> copy(*args);  // getopt permutes what it is given
  int option;
  while ((option = getopt_long(argc, copy.data(), kOptionString, kNoLongOptions, nullptr)) != -1) {
    if (option == 'h') break;  // the daemon looks no further either
    if (option == 'd') own->delay_given = true;
    if (option == '?') {
      fprintf(stderr, "%s\nTry 'lumenflip-replay --help'.\n", kSynopsis);
      return kBadOption;
    }
  }
  optind = 0;  // the daemon's parser starts afresh
  return 0;
}

replay::Feedback chooseFeedback(const replay::Trace& trace, const OwnOptions& own, int* status) {
  const bool light = trace.method == replay::Method::kLightSensor;
  replay::Feedback feedback;
  if (own.offset_given || own.factor_given) {
    if (own.offset_given != light) {
      *status = usageError(light ? "--night-exposure-factor is for the software method; the light sensor takes "
                                   "--night-offset"
                                 : "--night-offset is for the light sensor; the software method takes "
                                   "--night-exposure-factor",
                           "");
      return feedback;
    }
    feedback.source = replay::Feedback::Source::kGiven;
    feedback.lift = own.offset;
    feedback.factor = own.factor;
    return feedback;
  }
  return replay::estimateFeedback(trace);
}

}  // namespace

int main(int argc, char* argv[]) {
  OwnOptions own;
  std::vector<char*> daemon_argv;
  if (const int status = splitOptions(argc, argv, &own, &daemon_argv)) return status;
  if (own.help) {
    printOwnUsage();
    return 0;
  }
  if (const int status = checkDaemonOptions(&daemon_argv, &own)) return status;
  const int daemon_argc = static_cast<int>(daemon_argv.size()) - 1;
  const int parsed = parseCommandLine(daemon_argc, daemon_argv.data());
  if (parsed == 0) {  // -h: the daemon's usage with the values so far, then ours
    putchar('\n');
    printOwnUsage();
    return 0;
  }
  if (parsed != kRunMethod) {
    fprintf(stderr, "Try 'lumenflip-replay --help'.\n");
    return kBadOption;
  }

  const int operands = daemon_argc - optind;
  if (operands < 1) return usageError("no trace given", "");
  if (operands > 1) return usageError("one trace at a time; also given: ", daemon_argv[static_cast<size_t>(optind) + 1]);
  const std::string path = daemon_argv[static_cast<size_t>(optind)];

  replay::Trace trace;
  FILE* in = path == "-" ? stdin : fopen(path.c_str(), "r");
  if (!in) {
    fprintf(stderr, "lumenflip-replay: cannot open %s: %s\n", path.c_str(), strerror(errno));
    return kBadTrace;
  }
  const bool read = replay::readTrace(in, path == "-" ? "standard input" : path, settings.software_method, &trace);
  if (in != stdin) fclose(in);
  if (!read) return kBadTrace;
  // The daemon's output has no times; its -d says how far apart the
  // light-sensor samples were.
  if (own.delay_given && settings.delay_sec > 0 && !trace.has_times && !trace.recorded_night.empty() &&
      trace.method == replay::Method::kLightSensor)
    replay::addSampleTimes(&trace, settings.delay_sec);

  int status = 0;
  const replay::Feedback feedback = chooseFeedback(trace, own, &status);
  if (status != 0) return status;
  replay::Outcome outcome;
  if (!replay::replayTrace(trace, feedback, &outcome)) return kBadOption;
  replay::printHeader(stdout, trace, feedback, outcome);
  if (own.sweep) {
    if (!replay::printSweep(stdout, trace, feedback)) return kBadOption;
  } else {
    replay::printSwitches(stdout, trace, outcome);
  }
  if (!own.svg.empty()) {
    if (!replay::writeSvg(own.svg, trace, outcome)) return kBadTrace;
    printf("\nPicture:  %s\n", own.svg.c_str());
  }
  if (fflush(stdout) != 0) return kBadTrace;
  return 0;
}
