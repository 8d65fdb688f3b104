// Fuzz target for lumenflip-replay's trace reader, on any bytes as a trace
// of either method: it reads a trace that holds together, or refuses it in
// one printable line naming the file; and what it reads goes through its
// method's estimate of night mode's effect, a replay with the daemon's
// defaults, and the report with its warnings.
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

void checkRecording(const replay::Recording& recording, const replay::Model& model) {
  const size_t n = recording.size();
  if (n == 0) fail("a trace without samples was taken");
  if (!recording.recorded_night.empty() && recording.recorded_night.size() != n)
    fail("modes and samples differ in number");
  if (recording.has_times && (recording.times.size() != n || recording.time_texts.size() != n))
    fail("times and samples differ in number");
  for (size_t i = 0; i < recording.times.size(); ++i) {
    if (!isfinite(recording.times[i])) fail("a time is not finite");
    if (i > 0 && recording.times[i] < recording.times[i - 1]) fail("times go back at", recording.time_texts[i]);
  }
  for (const replay::Sample& sample : recording.samples) {
    if (!isfinite(sample.light)) fail("a sample is not finite");
    if (model.software() && !(sample.published & kIspExposure)) fail("a statistics sample without its exposure");
  }
  for (size_t i = 0; i < recording.restarts.size(); ++i) {
    if (recording.restarts[i] == 0 || recording.restarts[i] >= n) fail("a restart outside the samples");
    if (i > 0 && recording.restarts[i] <= recording.restarts[i - 1]) fail("restarts out of order");
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
    replay::Recording recording;
    replay::ReadNotes notes;
    const replay::Model* model = nullptr;
    bool read = false;
    const std::string said =
        captureStderr([&] { read = replay::readTraceText(text, "fuzz", software, &recording, &notes, &model); });
    if (!read) {
      checkRefusal(said);
      continue;
    }
    if (!said.empty()) fail("took a trace but complained:", said);
    if (!model || (software && !model->software())) fail("the method does not match -S");
    checkRecording(recording, *model);

    const Settings defaults;
    const replay::Feedback feedback = model->estimateFeedback(recording);
    if (!isfinite(feedback.effect)) fail("night mode's effect is not a finite amount");
    replay::Outcome outcome;
    if (!model->replay(recording, defaults, feedback, true, &outcome)) fail("the default options did not start");
    if (outcome.night.size() != recording.size() || outcome.judged.size() != recording.size())
      fail("the replay lost samples");
    replay::printHeader(discard, *model, recording, notes, defaults, feedback, outcome);
    replay::printSwitches(discard, *model, recording, defaults, outcome);
  }
  return 0;
}
