// Fuzz target for lumenflip-replay's trace reader, on any bytes as a trace
// of either method: it reads a trace that holds together, or refuses it in
// one printable line naming the file; and what it reads goes through the
// lift estimate, the sensor checks, a replay with the daemon's defaults
// and the report.
//
// The seeds are small pieces of real recordings of every kind the reader
// takes: lumenflip -v and -S -v -v output, CSV files of both methods from
// sim/day_trace, and, from the init script on the simulated camera whose
// night mode lights its sensor, busybox syslogd's file (one with a daemon
// killed and started again, one moved across the new year), logread's
// output of syslogd -S, and the script's LOGFILE.
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "capture.h"
#include "control.h"
#include "replay.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
  fprintf(stderr, "%s %s\n", what, detail.c_str());
  abort();
}

void checkTrace(const replay::Trace& trace) {
  const size_t n = trace.size();
  if (n == 0) fail("a trace without samples was taken");
  if (!trace.recorded_night.empty() && trace.recorded_night.size() != n) fail("modes and samples differ in number");
  if (trace.has_times && (trace.times.size() != n || trace.time_texts.size() != n))
    fail("times and samples differ in number");
  for (size_t i = 0; i < trace.times.size(); ++i) {
    if (!isfinite(trace.times[i])) fail("a time is not finite");
    if (i > 0 && trace.times[i] < trace.times[i - 1]) fail("times go back at", trace.time_texts[i]);
  }
  for (double value : trace.values)
    if (!isfinite(value)) fail("a sample is not finite");
  for (size_t i = 0; i < trace.restarts.size(); ++i) {
    if (trace.restarts[i] == 0 || trace.restarts[i] >= n) fail("a restart outside the samples");
    if (i > 0 && trace.restarts[i] <= trace.restarts[i - 1]) fail("restarts out of order");
  }
}

// A refusal is one line: "fuzz", a colon, printable text.
void checkRefusal(const std::string& message) {
  if (message.compare(0, 5, "fuzz:") != 0 || message.back() != '\n') fail("refused without naming it:", message);
  for (size_t i = 0; i + 1 < message.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(message[i]);
    if (c < 0x20 || c >= 0x7F) fail("refused in unprintable text:", message);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* const discard = fopen("/dev/null", "w");
  if (!discard) abort();
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (bool software : {false, true}) {
    replay::Trace trace;
    bool read = false;
    const std::string said = captureStderr([&] { read = replay::readTraceText(text, "fuzz", software, &trace); });
    if (!read) {
      checkRefusal(said);
      continue;
    }
    if (!said.empty()) fail("took a trace but complained:", said);
    checkTrace(trace);

    settings = Settings();
    const replay::Feedback feedback = replay::estimateFeedback(trace);
    if (!isfinite(feedback.lift) || !(feedback.factor > 0.0) || !isfinite(feedback.factor))
      fail("night mode's light is not a finite amount");
    replay::sensorProblems(trace);
    replay::Outcome outcome;
    if (!replay::replayTrace(trace, feedback, &outcome)) fail("the default options did not start");
    if (outcome.night.size() != trace.size()) fail("the replay lost samples");
    replay::printHeader(discard, trace, feedback, outcome);
    replay::printSwitches(discard, trace, outcome);
  }
  return 0;
}
