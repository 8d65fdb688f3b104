// The lines the daemon writes on standard output, as printf formats: its
// own printf calls use them, and so do the tools that read a recording of
// them back (lumenflip-replay). Macros, so that the compiler checks every
// call's arguments against the format.
#ifndef LUMENFLIP_OUTPUT_H
#define LUMENFLIP_OUTPUT_H

// The mode switcher, with OUT_NIGHT_ENABLED or OUT_NIGHT_DISABLED.
#define OUT_NIGHT_MODE "Night Mode %s\n"
#define OUT_NIGHT_ENABLED "Enabled"
#define OUT_NIGHT_DISABLED "Disabled"

// The light sensor: each sample, then the window's mean once it is full.
#define OUT_CURRENT_VALUE "Current value: %.2lf\n"
#define OUT_WINDOW_MEAN "Window (%d) Avg: %.2lf\n"

// The image statistics: the settings at start, then per sample the raw
// statistics (-v -v) as exposure, Iridix strength and white balance, each
// a number or OUT_ABSENT where the ISP's file does not publish it.
#define OUT_SOFTWARE_START "Starting software method using \n"
#define OUT_RAW_SAMPLE "(%s, %s, %s)\n"
#define OUT_ABSENT "-"
#define OUT_JITTER "jitter active\n"
#define OUT_SETTLE "mode switch wait active\n"
#define OUT_EQ1_SWITCH "Switching to night new exp=%d\n"
// Eq2's Iridix as the raw sample shows it: OUT_ABSENT where there is none.
#define OUT_EQ2_WAIT "Eq2 wait_count active exp=%d iridix=%s\n"
#define OUT_EQ2_SWITCH "Eq2 switching to day mode exp=%d iridix=%s\n"
#define OUT_EQ3_WAIT "Eq3 wait_count active wb=%d iridix=%d\n"
#define OUT_EQ3_SWITCH "Eq3 switching to day mode wb=%d iridix=%d\n"
// Which file the statistics come from and what it gives, at the first read
// of a generation's file and whenever the file or its labels change: the
// path, the generation whose labels it holds, and what that means.
#define OUT_ISP_SOURCE "ISP statistics: %s (%s labels): %s\n"

#endif
