// Settings, command line, usage text and the mode switcher.
#ifndef LUMENFLIP_CONTROL_H
#define LUMENFLIP_CONTROL_H

#include <stdint.h>

// Process-wide settings. Written only while the options are parsed; text
// settings point into the argument vector.
struct Settings {
  const char* mode_command = "/system/sdcard/scripts/nightmode.sh";
  const char* day_command = nullptr;
  const char* night_command = nullptr;
  bool software_method = false;
  const char* adc_device = "/dev/jz_adc_aux_0";
  int32_t adc_reads = 25;
  int32_t delay_sec = 10;
  int32_t window_size = 5;
  double on_threshold = 40.0;
  double off_threshold = 45.0;
  int32_t verbose = 0;
  int32_t jitter_percent = 3;
  int32_t sec_wait = 3;  // in software-method samples, not seconds
  int32_t eq1_user_exposure = 1200000;
  int32_t eq2_user_exposure = 930000;
  int32_t eq2_user_iridix = 14;
  int32_t eq2_count = 10;
  int32_t eq3_user_wb = 3000;
  int32_t eq3_user_iridix = 17;
  int32_t eq3_count = 8;
};

extern Settings settings;

// Day/night state shared by both methods and the switcher.
extern bool night_mode;
extern int32_t mode_switch_wait;

// Returned by parseCommandLine when the chosen method should start.
const int kRunMethod = -1;

// The daemon's options, for getopt. Tools that accept the daemon's command
// line parse it with this and applyOption too.
extern const char kOptionString[];

// What applyOption made of an option.
enum OptionResult {
  kOptionApplied,
  kOptionBadTriple,  // -2 or -3 converted fewer than three fields
  kOptionHelp,       // -h
  kOptionUnknown,    // getopt's '?', or any letter that is not an option
};

// The one table of options: stores option `letter`, with its argument
// `text` where it takes one, into `target`. Prints nothing.
OptionResult applyOption(Settings* target, int letter, const char* text);

// Fills `settings` from the command line. Returns kRunMethod, or the exit
// status when the process must end (0 after -h, 1 after a bad option).
int parseCommandLine(int argc, char* argv[]);

void printUsage();
// The usage text with another set of values, for tools.
void printUsageOf(const Settings& shown);

// Every error and warning of the daemon goes through here: whatever it has
// written to standard output goes out first, so that when both streams
// share a pipe (the system log) neither lands inside a line of the other,
// and each error arrives with everything before it.
void printError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sleeps the whole of `seconds`, up to 2^32 - 1 (-d -1), with one system
// call per pause on every C library, 0 seconds included.
void pauseSeconds(uint32_t seconds);

// Decimal conversion in the manner of strtol, clamped to 32 bits, reading
// no further than `limit`. Sets *end past the digits, or to `text` when
// there were none (the value is then 0).
int32_t parseInt32(const char* text, const char* limit, const char** end);

// Reads "%d,%d,%d" into three settings; returns how many fields converted.
int parseIntTriple(const char* text, int32_t* first, int32_t* second, int32_t* third);

// The command line for the current mode: a per-mode command as given, or
// the mode command with "on" or "off" built into `buffer`. Returns nullptr
// when the built line would not fit, so that nothing cut short is run.
const char* buildModeCommand(char* buffer, unsigned long size);

// Runs the command for `night_mode` and starts the settle period.
void applyNightMode();

// What the methods' loops do when a pass decides to switch: night becomes
// day or day night, and its command runs.
void toggleNightMode();

#endif
