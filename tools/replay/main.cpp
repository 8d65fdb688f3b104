// lumenflip-replay: which thresholds suit this camera? Replays a recorded
// trace through the daemon's own decisions and reports (and draws) when it
// would have switched.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "control.h"
#include "replay.h"

namespace {

const int kBadOption = 1;
const int kBadTrace = 2;

// The daemon's option string, only to tell which words are the arguments
// of its options while our own long options are taken out; the options
// themselves are parsed by the daemon's parseCommandLine.
const char kDaemonOptions[] = "D:c:y:g:a:d:n:O:F:vShj:w:1:2:3:";

void printOwnUsage() {
  puts("Usage: lumenflip-replay [options] TRACE\n"
       "\n"
       "Replays a recorded trace through lumenflip's own decisions, without running\n"
       "any mode command, and reports each switch and how the day split.\n"
       "\n"
       "TRACE is what lumenflip -v printed (light sensor), what lumenflip -S -v -v\n"
       "printed (software method), or a CSV file with one sample per line:\n"
       "[time,]sample for the light sensor, [time,]exposure,iridix,wb for the\n"
       "software method, the time in seconds or as H:MM:SS, a header line allowed.\n"
       "Other lines of lumenflip's output are skipped and counted. \"-\" reads\n"
       "standard input.\n"
       "\n"
       "Decision options, read and converted exactly as lumenflip reads them:\n"
       "  -n N -O LEVEL -F LEVEL                                light sensor\n"
       "  -S -j PCT -w N -1 EXP -2 EXP,IRIDIX,N -3 WB,IRIDIX,N  software method\n"
       "A trace of ISP statistics implies -S. lumenflip's other options are accepted\n"
       "and ignored, so its command line can be pasted; -h prints its usage with the\n"
       "values given so far.\n"
       "\n"
       "Options of its own:\n"
       "  --svg FILE   also draw the samples, thresholds and nights as an SVG picture\n"
       "  --help       print this text\n"
       "\n"
       "Exit status: 0 after a replay, 1 after a bad option, 2 when the trace cannot\n"
       "be read or the picture cannot be written.");
}

int usageError(const char* message, const char* detail) {
  fprintf(stderr, "lumenflip-replay: %s%s\nTry 'lumenflip-replay --help'.\n", message, detail);
  return kBadOption;
}

bool takesArgument(char option) {
  const char* found = option != ':' ? strchr(kDaemonOptions, option) : nullptr;
  return found && found[1] == ':';
}

struct OwnOptions {
  std::string svg;
  bool help = false;
};

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
      if (strcmp(arg, "--help") == 0) {
        own->help = true;
      } else if (strcmp(arg, "--svg") == 0) {
        own->svg = i + 1 < argc ? argv[++i] : "";
        if (own->svg.empty()) return usageError("--svg needs a file name", "");
      } else if (strncmp(arg, "--svg=", 6) == 0) {
        own->svg = arg + 6;
        if (own->svg.empty()) return usageError("--svg needs a file name", "");
      } else {
        return usageError("unknown option ", arg);
      }
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

}  // namespace

int main(int argc, char* argv[]) {
  OwnOptions own;
  std::vector<char*> daemon_argv;
  if (const int status = splitOptions(argc, argv, &own, &daemon_argv)) return status;
  if (own.help) {
    printOwnUsage();
    return 0;
  }
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

  replay::Outcome outcome;
  if (!replay::replayTrace(trace, &outcome)) return kBadOption;
  replay::printReport(stdout, trace, outcome);
  if (!own.svg.empty()) {
    if (!replay::writeSvg(own.svg, trace, outcome)) return kBadTrace;
    printf("\nPicture:  %s\n", own.svg.c_str());
  }
  if (fflush(stdout) != 0) return kBadTrace;
  return 0;
}
