// lumenflip-replay: which thresholds suit this camera? Replays a recorded
// day through the daemon's own decisions and reports (and draws) when it
// would have switched.
#include <errno.h>
#include <getopt.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "control.h"
#include "replay.h"

namespace {

const int kBadOption = 1;
const int kBadTrace = 2;

const char kSynopsis[] =
    "Usage: lumenflip-replay [lumenflip's options] [--sweep] [--night-offset X]\n"
    "                        [--night-exposure E] [--svg FILE] TRACE";

void printOwnUsage() {
  printf("%s\n", kSynopsis);
  puts("\n"
       "Replays a recorded trace through lumenflip's own decisions, without running\n"
       "any mode command, and reports each switch and how the day split.\n"
       "\n"
       "TRACE is what lumenflip -v printed (light sensor), what lumenflip -S -v -v\n"
       "printed (software method, from isp_info or isp-m0, \"-\" for a statistic that\n"
       "the ISP's file does not publish), a system log holding that output (syslogd's\n"
       "file or logread's output, of which the lines tagged lumenflip are read,\n"
       "with the times of their stamps), or a CSV file with one sample per line:\n"
       "[time,]sample for the light sensor, [time,]exposure,iridix,wb for the\n"
       "software method (iridix and wb may be \"-\"), the time in seconds or as\n"
       "H:MM:SS, a header line allowed. Other lines of lumenflip's output are\n"
       "skipped and counted. \"-\" reads standard input.\n"
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
       "replay is: added to the light sensor, and added to the scene's light for\n"
       "the exposure (which is about -log2 of the light, times 65536).\n"
       "\n"
       "Options of its own:\n"
       "  --night-offset X           night mode adds X to the light sensor\n"
       "                             (0: no model)\n"
       "  --night-exposure E         night mode's IR LEDs alone hold the exposure\n"
       "                             near E, in the dark (0: no model)\n"
       "  --sweep                    replay a grid of options and suggest the best\n"
       "                             that holds on a slower evening\n"
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

struct Options {
  Settings with;  // the daemon's options, as it reads them
  std::string svg;
  bool sweep = false;
  bool offset_given = false;
  double offset = 0.0;
  bool exposure_given = false;
  double exposure = 0.0;
  bool delay_given = false;
  std::string trace;
};

// A finite number and nothing else.
bool parseNumber(const char* text, double* value) {
  char* end;
  *value = strtod(text, &end);
  return *text != '\0' && *end == '\0' && isfinite(*value);
}

enum LongOption { kSweep = 256, kSvg, kNightOffset, kNightExposure, kExposureFactor, kHelp };

// One of our own options. Returns 0, or the exit status after a message.
int takeOwn(int option, const char* value, Options* options) {
  switch (option) {
    case kSweep: options->sweep = true; return 0;
    case kSvg:
      options->svg = value;
      return options->svg.empty() ? usageError("--svg needs a file name", "") : 0;
    case kNightOffset:
      options->offset_given = true;
      if (!parseNumber(value, &options->offset))
        return usageError("--night-offset needs a number of ADC units, not ", value);
      return 0;
    case kNightExposure:
      options->exposure_given = true;
      if (!parseNumber(value, &options->exposure) || options->exposure < 0.0 || options->exposure > INT32_MAX)
        return usageError("--night-exposure needs an exposure (0 for none), not ", value);
      return 0;
    case kExposureFactor:
      return usageError("--night-exposure-factor is no more: night mode's IR LEDs add light rather than scale the "
                        "exposure; give --night-exposure, the exposure they alone hold in the dark", "");
    default:
      fprintf(stderr, "%s\nTry 'lumenflip-replay --help'.\n", kSynopsis);
      return kBadOption;
  }
}

// The daemon's options through its own table, and ours, in one pass.
// Returns -1 to go on, or the exit status.
int parseOptions(int argc, char* argv[], Options* options) {
  static const struct option kLong[] = {{"sweep", no_argument, nullptr, kSweep},
                                        {"svg", required_argument, nullptr, kSvg},
                                        {"night-offset", required_argument, nullptr, kNightOffset},
                                        {"night-exposure", required_argument, nullptr, kNightExposure},
                                        {"night-exposure-factor", required_argument, nullptr, kExposureFactor},
                                        {"help", no_argument, nullptr, kHelp},
                                        {nullptr, 0, nullptr, 0}};
  int option;
  while ((option = getopt_long(argc, argv, kOptionString, kLong, nullptr)) != -1) {
    if (option == kHelp) {
      printOwnUsage();
      return 0;
    }
    if (option >= kSweep || option == '?' || option == ':') {
      if (const int status = takeOwn(option, optarg, options)) return status;
      continue;
    }
    if (option == 'd') options->delay_given = true;
    switch (applyOption(&options->with, option, optarg)) {
      case kOptionApplied: break;
      case kOptionBadTriple:
        fprintf(stderr, "invalid argument: %s\n", optarg);
        printUsageOf(options->with);
        break;
      case kOptionHelp:  // the daemon's usage with the values so far, then ours
        printUsageOf(options->with);
        putchar('\n');
        printOwnUsage();
        return 0;
      case kOptionUnknown: return takeOwn('?', nullptr, options);
    }
  }
  const int operands = argc - optind;
  if (operands < 1) return usageError("no trace given", "");
  if (operands > 1) return usageError("one trace at a time; also given: ", argv[optind + 1]);
  options->trace = argv[optind];
  return -1;
}

replay::Feedback chooseFeedback(const replay::Model& model, const replay::Recording& recording,
                                const Options& options, int* status) {
  replay::Feedback feedback;
  if (!options.offset_given && !options.exposure_given) return model.estimateFeedback(recording);
  const bool software = model.software();
  if (options.exposure_given != software || options.offset_given == software) {
    *status = usageError(software ? "--night-offset is for the light sensor; the software method takes "
                                    "--night-exposure"
                                  : "--night-exposure is for the software method; the light sensor takes "
                                    "--night-offset",
                         "");
    return feedback;
  }
  feedback.source = replay::Feedback::Source::kGiven;
  feedback.effect = software ? options.exposure : options.offset;
  return feedback;
}

}  // namespace

int main(int argc, char* argv[]) {
  Options options;
  const int parsed = parseOptions(argc, argv, &options);
  if (parsed >= 0) return parsed;

  replay::Recording recording;
  replay::ReadNotes notes;
  const replay::Model* model = nullptr;
  FILE* in = options.trace == "-" ? stdin : fopen(options.trace.c_str(), "r");
  if (!in) {
    fprintf(stderr, "lumenflip-replay: cannot open %s: %s\n", options.trace.c_str(), strerror(errno));
    return kBadTrace;
  }
  const bool read = replay::readTrace(in, options.trace == "-" ? "standard input" : options.trace,
                                      options.with.software_method, &recording, &notes, &model);
  if (in != stdin) fclose(in);
  if (!read) return kBadTrace;
  // The daemon's output has no times; its -d says how far apart the
  // light-sensor samples were.
  Settings& with = options.with;
  if (options.delay_given && with.delay_sec > 0 && !recording.has_times && !recording.recorded_night.empty() &&
      !model->software())
    replay::addSampleTimes(&recording, &notes, with.delay_sec);

  int status = 0;
  const replay::Feedback feedback = chooseFeedback(*model, recording, options, &status);
  if (status != 0) return status;
  // Nothing of the daemon's own progress is printed.
  with.verbose = 0;
  replay::Outcome outcome;
  if (!model->replay(recording, with, feedback, true, &outcome)) return kBadOption;
  replay::printHeader(stdout, *model, recording, notes, with, feedback, outcome);
  if (options.sweep) {
    if (!replay::printSweep(stdout, *model, recording, with, feedback)) return kBadOption;
  } else {
    replay::printSwitches(stdout, *model, recording, with, outcome);
  }
  if (!options.svg.empty()) {
    if (!replay::writeSvg(options.svg, *model, recording, notes, with, outcome)) return kBadTrace;
    printf("\nPicture:  %s\n", options.svg.c_str());
  }
  if (fflush(stdout) != 0) return kBadTrace;
  return 0;
}
