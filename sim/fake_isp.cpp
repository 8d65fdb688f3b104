// A simulated ISP statistics file, as the ISP driver of each SoC
// generation publishes it under /proc/jz/isp/: written once, replaced
// step by step, or served through a FIFO in lock step with its reader,
// following a script. kUsage below says it all.
//
// The lines the daemon reads are written with the daemon's own labels
// (kIspGenerations, kIspBlockStart), so that each label is spelled once.
// The other lines are copies of a real camera's (the T20 and T31 dumps)
// or of each driver's format strings filled in with plausible values, kept
// here so that the tool needs nothing beside it.
//
// Plain C library calls only: this is built with C libraries that have
// no C++ library beside them, and runs on the emulated camera.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include "device_node.h"
#include "software.h"

namespace {

const char kUsage[] =
    "usage: fake_isp [OPTIONS] FILE EXPOSURE IRIDIX WB\n"
    "       fake_isp [OPTIONS] [--every SECONDS] FILE [SCRIPT]\n"
    "       fake_isp [OPTIONS] --fifo [--hold] FILE [SCRIPT]\n"
    "       fake_isp [OPTIONS] --print EXPOSURE IRIDIX WB\n"
    "       fake_isp [OPTIONS] --layout\n"
    "\n"
    "A simulated ISP statistics file, as the ISP driver of each SoC generation\n"
    "publishes it under /proc/jz/isp/: isp_info on T10 and T20, isp-m0 on later\n"
    "ones. A script is read whole, and refused on a bad line, before anything is\n"
    "written.\n"
    "\n"
    "  FILE EXPOSURE IRIDIX WB  writes one file with these statistics, atomically (a\n"
    "                           temporary file, then a rename), and exits\n"
    "  FILE [SCRIPT]            plays a script (SCRIPT, or standard input) as a\n"
    "                           regular file replaced atomically at each step, a\n"
    "                           step every SECONDS (default 1); the last step stays\n"
    "                           in place\n"
    "  --fifo FILE [SCRIPT]     plays it as a FIFO served in lock step with its\n"
    "                           reader: one whole file per open, and each open waits\n"
    "                           for the next step. Prints \"ready\" once the FIFO is\n"
    "                           in place. With --hold, once the script is done it\n"
    "                           waits for the reader's next open, prints \"held\" and\n"
    "                           keeps it open without writing until killed:\n"
    "                           everything the reader did before that open has\n"
    "                           happened. However the tool ends, even by SIGKILL,\n"
    "                           FILE goes with it.\n"
    "  --print E I W            writes the file to standard output\n"
    "  --layout                 prints \"LINE STATISTIC\" for each statistic the\n"
    "                           daemon reads in the file: the line it stands on,\n"
    "                           from 1 (in the first ISP's block)\n"
    "\n"
    "Options:\n"
    "  -g, --generation NAME    whose file: t20 (the default: isp_info), t21, t23,\n"
    "                           t31, t40 or t41 (isp-m0)\n"
    "  --isps N                 T40 and T41: a block for each of N ISPs (1 or 2);\n"
    "                           the statistics count for the first, and the second\n"
    "                           shows a scene of its own (EVLog2 1250000, colour\n"
    "                           temperature 6500)\n"
    "  --steps                  prints \"step N: WHAT\" at each step (in lock step\n"
    "                           once the reader has opened the file, before it is\n"
    "                           written)\n"
    "  -h, --help               this text\n"
    "\n"
    "Script lines:\n"
    "  E I W[*K]                a sample: exposure, Iridix strength, white-balance\n"
    "                           temperature (32-bit numbers), K times; a statistic\n"
    "                           that the generation does not publish is ignored, and\n"
    "                           may be -\n"
    "  ramp E I W E2 I2 W2 K    K samples going evenly from E I W to E2 I2 W2\n"
    "  gone[*K]                 no file, for a step (K steps). In lock step the step\n"
    "                           ends once the reader has looked for the file: FILE\n"
    "                           is then a dangling link with no access time, which\n"
    "                           the reader's lookup sets (so not on a noatime mount)\n"
    "  idle[*K]                 what the driver writes while the sensor is not\n"
    "                           running, for a step (K steps)\n"
    "  raw PATH                 PATH's bytes as they are, for a step: a real\n"
    "                           camera's dump, a hostile file\n"
    "  directory                a folder in FILE's place for a step, which the\n"
    "                           reader opens but cannot read (in lock step the step\n"
    "                           ends once it has closed it)\n"
    "  generation NAME [isps N]\n"
    "                           from here on, that generation's files\n"
    "  max E                    from here on, the sensor's limit: no exposure\n"
    "                           written is above E (a T31 in low light stops at\n"
    "                           1176104)\n"
    "  ir E_IR PATH             from here on, while the last line of PATH is \"on\"\n"
    "                           (the camera's mode script records each call there),\n"
    "                           night mode's IR LEDs add their light to the scene:\n"
    "                           with the exposure e of the scene alone, and e_ir the\n"
    "                           one that the IR light alone would need, the file\n"
    "                           shows -65536 * log2(2^(-e/65536) + 2^(-e_ir/65536)),\n"
    "                           then capped by max: in the dark, about e_ir whatever\n"
    "                           e. In lock step PATH is read once the reader has\n"
    "                           opened the file.\n"
    "  # ...                    a comment, to the end of the line; blank lines are\n"
    "                           skipped\n"
    "\n"
    "Bad input gives a message and status 2.\n";

// How many lines of kUsage to show with a complaint.
const int kUsageLines = 5;

const char kTool[] = "fake_isp";

// The statistics in the daemon's order.
const int kStatistics = 3;
const char* const kStatisticNames[kStatistics] = {"exposure", "iridix", "wb"};
const char* const kStatisticTexts[kStatistics] = {"exposure", "Iridix strength", "white balance"};

// ------------------------------------------------------------ the files

// {exposure}, {iridix} and {wb} stand for the daemon's label of that
// statistic and its value, {block} for the start of an ISP's block that
// the daemon looks for, {isp} for the ISP's number, {isps} for how many
// there are and {dual} for whether there are two.
#define BANNER "****************** ISP INFO **********************\n"
#define SENSOR_OFF BANNER "sensor doesn't work, please enable sensor\n"
#define BLOCK_BANNER "{block} {isp} ) INFO **********************\n"
#define ISP_OFF BLOCK_BANNER "This ISP( {isp} ) Don't Wrok\n"

// The real T20 dump (jxf23, daylight).
const char kT20[] =
    BANNER
    "Software Version : H201712121018\n"
    "Firmware Version : H01-380\n"
    "SENSOR NAME : jxf23\n"
    "SENSOR OUTPUT WIDTH : 1920\n"
    "SENSOR OUTPUT HEIGHT : 1080\n"
    "SENSOR OUTPUT RAW PATTERN : BGGR\n"
    "SENSOR Integration Time : 998 lines\n"
    "ISP Top Value : 0x137c2193\n"
    "ISP Runing Mode : Day\n"
    "ISP OUTPUT FPS : 25 / 1\n"
    "SENSOR analog gain : 29\n"
    "MAX SENSOR analog gain : 128\n"
    "SENSOR digital gain : 0\n"
    "MAX SENSOR digital gain : 0\n"
    "ISP digital gain : 3\n"
    "MAX ISP digital gain : 32\n"
    "ISP gain log2 id : 1\n"
    "ISP total gain : 512\n"
    "{exposure}\n"
    "ISP AE strategy: AE_SPLIT_BALANCED\n"
    "ISP Antiflicker : 0[0 means disable]\n"
    "Evtolux Probability Enable  : 0\n"
    "ISP WB Gain00 : 338\n"
    "ISP WB Gain01 : 256\n"
    "ISP WB Gain10 : 256\n"
    "ISP WB Gain11 : 521\n"
    "ISP WB rg : 247\n"
    "ISP WB bg : 224\n"
    "{wb}\n"
    "ISP Black level 00 : 65\n"
    "ISP Black level 01 : 65\n"
    "ISP Black level 10 : 65\n"
    "ISP Black level 11 : 66\n"
    "ISP LSC mesh module : enable\n"
    "ISP LSC mesh blend mode : 2\n"
    "ISP LSC mesh R table : 0\n"
    "ISP LSC mesh G table : 0\n"
    "ISP LSC mesh B table : 0\n"
    "ISP LSC mesh R blend : 176\n"
    "ISP LSC mesh G blend : 176\n"
    "ISP LSC mesh B blend : 176\n"
    "ISP LSC mesh shading strength : 1024\n"
    "ISP Sinter thresh1h : 5\n"
    "ISP Sinter thresh4h : 4\n"
    "ISP Sinter thresh1v : 5\n"
    "ISP Sinter thresh4v : 4\n"
    "ISP Sinter thresh short : 12\n"
    "ISP Sinter thresh long : 12\n"
    "ISP Sinter strength1 : 255\n"
    "ISP Sinter strength4 : 255\n"
    "ISP Temper thresh module :enable\n"
    "ISP Temper thresh short : 95\n"
    "ISP Temper thresh long : 95\n"
    "{iridix}\n"
    "ISP Defect pixel threshold : 64\n"
    "ISP Defect pixel slope : 1350\n"
    "ISP sharpening directional : 100\n"
    "ISP sharpening undirectional : 115\n"
    "ISP FR sharpen strength : 10\n"
    "ISP DS1 sharpen strength : 50\n"
    "ISP DS2 sharpen strength : 70\n"
    "ISP CCM R_R : 494\n"
    "ISP CCM R_G : 32937\n"
    "ISP CCM R_B : 32837\n"
    "ISP CCM G_R : 32888\n"
    "ISP CCM G_B : 32882\n"
    "ISP CCM G_G : 490\n"
    "ISP CCM B_R : 32818\n"
    "ISP CCM B_G : 33084\n"
    "ISP CCM B_B : 622\n"
    "Saturation Target : 128\n"
    "Saturation : 128\n"
    "Sharpness : 128\n"
    "Contrast : 127\n"
    "Brightness : 128\n";

// T21's format strings, filled in.
const char kT21[] =
    BANNER
    "Software Version : H20200509a\n"
    "Firmware Version : H01-380\n"
    "SENSOR NAME : gc2053\n"
    "SENSOR OUTPUT WIDTH : 1920\n"
    "SENSOR OUTPUT HEIGHT : 1080\n"
    "ISP OUTPUT FPS : 25 / 1\n"
    "SENSOR OUTPUT RAW PATTERN : RGGB\n"
    "ISP Top Value : 0x3570200b\n"
    "ISP Runing Mode : Day\n"
    "SENSOR Integration Time : 1123 lines\n"
    "SENSOR analog gain : 40\n"
    "MAX SENSOR analog gain : 222\n"
    "SENSOR digital gain : 0\n"
    "MAX SENSOR digital gain : 0\n"
    "ISP digital gain : 2\n"
    "MAX ISP digital gain : 26\n"
    "ISP Tgain DB : 2\n"
    "ISP EV value: 2510\n"
    "{exposure}\n"
    "ISP EV value us: 39881\n"
    "ISP EV min int: 2\n"
    "ISP EV min again: 1024\n"
    "ISP WB weighted rgain: 398\n"
    "ISP WB weighted bgain: 530\n"
    "Saturation : 128\n"
    "Sharpness : 128\n"
    "Contrast : 128\n"
    "Brightness : 128\n"
    "Antiflicker : 0\n"
    "debug : 0,1,(0,0,0),0,0(0),0\n";

// T23's format strings, filled in.
const char kT23[] =
    BANNER
    "Software Version : H20241028a\n"
    "SENSOR NAME : sc2336\n"
    "SENSOR OUTPUT WIDTH : 1920\n"
    "SENSOR OUTPUT HEIGHT : 1080\n"
    "ISP OUTPUT FPS : 25 / 1\n"
    "SENSOR OUTPUT RAW PATTERN : BGGR\n"
    "ISP Top Value : 0x35742a49\n"
    "ISP Runing Mode : Day\n"
    "ISP WDR Mode : Disable\n"
    "SENSOR Integration Time : 1123 lines\n"
    "SENSOR Max Integration Time : 1346 lines\n"
    "SENSOR analog gain : 48\n"
    "MAX SENSOR analog gain : 255\n"
    "SENSOR digital gain : 0\n"
    "MAX SENSOR digital gain : 0\n"
    "ISP digital gain : 2\n"
    "MAX ISP digital gain : 26\n"
    "ISP Tgain DB : 2\n"
    "ISP EV value: 3164\n"
    "{exposure}\n"
    "ISP EV value us: 37433\n"
    "ISP EV min int: 2\n"
    "ISP EV min again: 1024\n"
    "ISP WB weighted rgain: 402\n"
    "ISP WB weighted bgain: 521\n"
    "{wb}\n"
    "ISP AWB Start rgain 214: bgain 309\n"
    "Saturation : 128\n"
    "Sharpness : 128\n"
    "Contrast : 128\n"
    "Brightness : 128\n"
    "Antiflicker : 0\n"
    "Mirror: Disable, Flip: Disable\n"
    "debug : ch done 4416 0 0,ip done 4418,0,0,0,0,0,0\n"
    "debug1 : 0,0,900\n";

// The real T31 dump (gc2083, daylight).
const char kT31[] =
    BANNER
    "Software Version : H20221206a\n"
    "SENSOR NAME : gc2083\n"
    "SENSOR OUTPUT WIDTH : 1920\n"
    "SENSOR OUTPUT HEIGHT : 1080\n"
    "ISP OUTPUT FPS : 25 / 1\n"
    "SENSOR OUTPUT RAW PATTERN : RGGB\n"
    "ISP Top Value : 0xb5742a49\n"
    "ISP Runing Mode : Day\n"
    "ISP Custom Mode : Disable\n"
    "ISP WDR Mode : Disable\n"
    "SENSOR Integration Time : 1342 lines\n"
    "SENSOR Max Integration Time : 1342 lines\n"
    "SENSOR analog gain : 32\n"
    "MAX SENSOR analog gain : 222\n"
    "SENSOR digital gain : 0\n"
    "MAX SENSOR digital gain : 0\n"
    "ISP digital gain : 2\n"
    "MAX ISP digital gain : 26\n"
    "ISP Tgain DB : 1\n"
    "ISP EV value: 2846\n"
    "{exposure}\n"
    "ISP EV value us: 39762\n"
    "ISP EV min int: 2\n"
    "ISP EV min again: 1024\n"
    "ISP WB weighted rgain: 420\n"
    "ISP WB weighted bgain: 508\n"
    "{wb}\n"
    "ISP AWB Start rgain 221: bgain 301\n"
    "Saturation : 127\n"
    "Saturation : 127\n"
    "Sharpness : 128\n"
    "Contrast : 127\n"
    "Brightness : 127\n"
    "Antiflicker : 0\n"
    "Mirror: Disable, Flip: Disable\n"
    "debug : ch0 done 837065,ip done 837067,0,0,0,0,0,0\n"
    "debug1 : 0,0,900\n";

// T40 and T41 print the anti-flicker steps on one line, and the tuning
// file's whole path: lines well over 100 characters before the exposure.
#define ANTIFLICKER_NODES                                                                            \
  "Antiflicker nodes: 24: step : 62. 124. 186. 248. 310. 372. 434. 496. 558. 620. 682. 744. 806. " \
  "868. 930. 992. 1054. 1116. 1178. 1240. 1302. 1364. 1426. 1488. \n"
#define T40_TUNING "/usr/share/sensor/sc401ai/t40/2560x1440-25fps-linear/sc401ai-t40-h20240605a-day-night-v1.2.bin"
#define T41_TUNING "/usr/share/sensor/sc500ai/t41/2880x1620-20fps-linear/sc500ai-t41-h20250310a-day-night-v1.3.bin"

// Lines T40 and T41 print alike.
#define PICTURE_SETTINGS    \
  "SENSOR OUTPUT  : MIPI\n" \
  "SENSOR DFBOOT  : 0\n"    \
  "ISP Runing Mode : Day\n" \
  "Saturation : 128\n"      \
  "Sharpness : 128\n"       \
  "Contrast : 128\n"        \
  "Brightness : 128\n"      \
  "Hue : 128\n"

#define WB_AND_EXPOSURE     \
  "AWBWeightedRgain: 420\n" \
  "AWBWeightedBgain: 508\n" \
  "AWBStartRgain: 221\n"    \
  "AWBStartBgain: 301\n"    \
  "{wb}\n"                  \
  "TotalGainDb : 6\n"       \
  "TotalGainDbShort : 0\n"  \
  "ExposureValue : 2846\n"  \
  "{exposure}\n"

#define AE_EXPR_INFO                      \
  "********* Ae Expr Info *********\n"    \
  "AeIntegrationTimeUnit : 0\n"           \
  "AeMode : 0\n"                          \
  "AeIntegrationTimeMode : 0\n"           \
  "AeAGainManualMode : 0\n"               \
  "AeDGainManualMode : 0\n"               \
  "AeIspDGainManualMode : 0\n"            \
  "AeIntegrationTime : 1123\n"            \
  "AeAGain : 2048\n"                      \
  "AeDGain : 1024\n"                      \
  "AeIspDGain : 1024\n"                   \
  "AeMinIntegrationTimeMode : 0\n"        \
  "AeMinAGainMode : 0\n"                  \
  "AeMinDgainMode : 0\n"                  \
  "AeMinIspDGainMode : 0\n"               \
  "AeMaxIntegrationTimeMode : 0\n"        \
  "AeMaxAGainMode : 0\n"                  \
  "AeMaxDgainMode : 0\n"                  \
  "AeMaxIspDGainMode : 0\n"               \
  "AeMinIntegrationTime : 2\n"            \
  "AeMinAGain : 1024\n"                   \
  "AeMinDgain : 1024\n"                   \
  "AeMinIspDGain : 1024\n"                \
  "AeMaxIntegrationTime : 1496\n"         \
  "AeMaxAGain : 65536\n"                  \
  "AeMaxDgain : 1024\n"                   \
  "AeMaxIspDGain : 8192\n"                \
  "AeShortMode : 0\n"                     \
  "AeShortIntegrationTimeMode : 0\n"      \
  "AeShortAGainManualMode : 0\n"          \
  "AeShortDGainManualMode : 0\n"          \
  "AeShortIspDGainManualMode : 0\n"       \
  "AeShortIntegrationTime : 0\n"          \
  "AeShortAGain : 0\n"                    \
  "AeShortDGain : 0\n"                    \
  "AeShortIspDGain : 0\n"                 \
  "AeShortMinIntegrationTimeMode : 0\n"   \
  "AeShortMinAGainMode : 0\n"             \
  "AeShortMinDgainMode : 0\n"             \
  "AeShortMinIspDGainMode : 0\n"          \
  "AeShortMaxIntegrationTimeMode : 0\n"   \
  "AeShortMaxAGainMode : 0\n"             \
  "AeShortMaxDgainMode : 0\n"             \
  "AeShortMaxIspDGainMode : 0\n"          \
  "AeShortMinIntegrationTime : 0\n"       \
  "AeShortMinAGain : 0\n"                 \
  "AeShortMinDgain : 0\n"                 \
  "AeShortMinIspDGain : 0\n"              \
  "AeShortMaxIntegrationTime : 0\n"       \
  "AeShortMaxAGain : 0\n"                 \
  "AeShortMaxDgain : 0\n"                 \
  "AeShortMaxIspDGain : 0\n"

// T40's format strings, filled in: one ISP's block.
const char kT40[] =
    BLOCK_BANNER
    "Software Version : H20240605a\n"
    "SENSOR NAME : sc401ai\n"
    "SENSOR OUTPUT WIDTH : 2560\n"
    "SENSOR OUTPUT HEIGHT : 1440\n"
    "ISP OUTPUT FPS : 25 / 1\n"
    PICTURE_SETTINGS
    "expo fs : 25\n"
    "Wdr En : 0\n"
    "Bypass : 0\n"
    "Dual mode : {dual}, Sensor Num : {isps}, Joint_mode : 0\n"
    "Antiflicker : 50Hz freq: 50\n"
    ANTIFLICKER_NODES
    "FlipMode: 0\n"
    "FD Soft Interrupt Time : 0\n"
    "*********** Bin Attr ***********\n"
    "Version : V1.2.0\n"
    "DayStatus : 0x1\n"
    "NightStatus : 0x0\n"
    "DefaultPath : " T40_TUNING "\n"
    "RunningPath : " T40_TUNING "\n"
    AE_EXPR_INFO
    "AWBGlobalRgain: 418\n"
    "AWBGlobalBgain: 512\n"
    WB_AND_EXPOSURE
    "debug{isp} : 0, 0,0,0, 0,0,0, 0,0\n"
    "debug : 0, 0, 0, 0, 0 ,0\n";

// T41's format strings, filled in: one ISP's block.
const char kT41[] =
    BLOCK_BANNER
    "Software Version : H20250310a\n"
    "SENSOR NAME : sc500ai\n"
    "SENSOR OUTPUT WIDTH : 2880\n"
    "SENSOR OUTPUT HEIGHT : 1620\n"
    "ISP OUTPUT FPS : 20 / 1\n"
    PICTURE_SETTINGS
    "expo fs : 20\n"
    "Wdr En : 0\n"
    "Bypass : 0\n"
    "FlipMode: 0\n"
    "Antiflicker : 50Hz freq: 50\n"
    ANTIFLICKER_NODES
    "*********** Bin Attr ***********\n"
    "Version : V1.3.1\n"
    "Custom Version : none\n"
    "DefaultPath : " T41_TUNING "\n"
    "RunningPath : " T41_TUNING "\n"
    AE_EXPR_INFO
    "AWBGlobal R/G: 402\n"
    "AWBGlobal B/G: 498\n"
    "AWBWeighted R/G: 398\n"
    "AWBWeighted B/G: 505\n"
    WB_AND_EXPOSURE
    "LSC ERROR: 0x00\n"
    "BLC R:256, GR:256, GB:256, B:256, IR:0\n"
    "debug : 0,0,0 ,0,0,0,0,0,0,0\n"
    "raw debug : 0, 0,0, 0,0,0,0, 0x00000000\n"
    "event debug : 0,0, memopt is 1\n"
    "static debug :AWB: 0, AE_S: 0, AE_H: 0, AF: 0, GSM: 0\n"
    "static debug :LCE: 0, ADR: 0, DEFOG: 0, WDR: 0, RMO: 0\n";

struct Generation {
  const char* name;  // as the command line and the script give it
  const char* soc;   // as the daemon's table names it
  const char* body;  // the file, or one ISP's block of it
  const char* idle;  // the same while the sensor is not running
  bool blocks;       // one block per ISP
};

const Generation kGenerations[] = {
    {"t20", "T20", kT20, SENSOR_OFF, false}, {"t21", "T21", kT21, SENSOR_OFF, false},
    {"t23", "T23", kT23, SENSOR_OFF, false}, {"t31", "T31", kT31, SENSOR_OFF, false},
    {"t40", "T40", kT40, ISP_OFF, true},     {"t41", "T41", kT41, ISP_OFF, true},
};
const int kGenerationCount = sizeof kGenerations / sizeof kGenerations[0];
const int kMaxIsps = 2;
// The second ISP's own scene.
const int32_t kSecondIsp[kStatistics] = {1250000, 0, 6500};

// ------------------------------------------------------------ messages

void showUsage(FILE* to, int lines) {
  const char* end = kUsage;
  for (int line = 0; line < lines && *end; ++line) end = strchr(end, '\n') + 1;
  fwrite(kUsage, 1, static_cast<size_t>(end - kUsage), to);
}

[[noreturn]] void badUsage(const char* problem, const char* what) {
  fprintf(stderr, "%s: %s%s%s\n", kTool, problem, what ? ": " : "", what ? what : "");
  showUsage(stderr, kUsageLines);
  fprintf(stderr, "(%s -h says more)\n", kTool);
  exit(2);
}

int script_line = 0;          // the line being read, for messages
const char* script_text = "";  // and its text

[[noreturn]] void badLine(const char* problem) {
  if (script_line > 0) {
    fprintf(stderr, "%s: line %d: %s: %s\n", kTool, script_line, problem, script_text);
  } else {
    fprintf(stderr, "%s: %s: %s\n", kTool, script_text, problem);
    showUsage(stderr, kUsageLines);
  }
  exit(2);
}

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "%s: %s: %s\n", kTool, what, strerror(errno));
  exit(2);
}

// ------------------------------------------------------------ the labels

// The daemon's labels of a SoC: the generation whose name lists it.
const IspGeneration* daemonLabels(const char* soc) {
  const size_t length = strlen(soc);
  for (int g = 0; g < kIspGenerationCount; ++g) {
    for (const char* name = kIspGenerations[g].name; *name;) {
      const size_t word = strcspn(name, "/");
      if (word == length && memcmp(name, soc, length) == 0) return &kIspGenerations[g];
      name += word;
      if (*name == '/') ++name;
    }
  }
  return nullptr;
}

const IspLabel* labelOf(const IspGeneration& labels, int statistic) {
  return statistic == 0 ? labels.exposure : statistic == 1 ? labels.iridix : labels.wb;
}

// ------------------------------------------------------------ rendering

char file[32768];
size_t file_length;

void put(const char* text, size_t length) {
  if (length > sizeof file - file_length) {
    fprintf(stderr, "%s: a file over %u bytes\n", kTool, static_cast<unsigned>(sizeof file));
    exit(2);
  }
  memcpy(file + file_length, text, length);
  file_length += length;
}

void putNumber(int32_t value) {
  char text[16];
  const int length = snprintf(text, sizeof text, "%d", static_cast<int>(value));
  put(text, static_cast<size_t>(length));
}

// Appends `body` filled in for ISP `isp` of `isps`; notes in lines[] the
// line (from 1, counting from the start of the file) of each statistic.
void renderBody(const char* body, const IspGeneration& labels, const int32_t values[kStatistics], int isp,
                int isps, int lines[kStatistics]) {
  int line = 1;
  for (size_t at = 0; at < file_length; ++at) line += file[at] == '\n';
  for (const char* at = body; *at;) {
    if (*at != '{') {
      const size_t plain = strcspn(at, "{\n");
      put(at, plain + (at[plain] == '\n'));
      line += at[plain] == '\n';
      at += plain + (at[plain] == '\n');
      continue;
    }
    const char* close = strchr(at, '}');
    const size_t length = static_cast<size_t>(close - at - 1);
    const char* name = at + 1;
    at = close + 1;
    if (length == 5 && memcmp(name, "block", 5) == 0) {
      put(kIspBlockStart.text, kIspBlockStart.length);
    } else if (length == 3 && memcmp(name, "isp", 3) == 0) {
      putNumber(isp);
    } else if (length == 4 && memcmp(name, "isps", 4) == 0) {
      putNumber(isps);
    } else if (length == 4 && memcmp(name, "dual", 4) == 0) {
      putNumber(isps > 1);
    } else {
      for (int statistic = 0; statistic < kStatistics; ++statistic) {
        if (strlen(kStatisticNames[statistic]) != length || memcmp(name, kStatisticNames[statistic], length) != 0)
          continue;
        const IspLabel* label = labelOf(labels, statistic);
        if (!label) {
          fprintf(stderr, "%s: this tool's file has a line of %s where the daemon reads none\n", kTool,
                  kStatisticTexts[statistic]);
          exit(2);
        }
        put(label->text, label->length);
        putNumber(values[statistic]);
        if (lines && !lines[statistic]) lines[statistic] = line;
      }
    }
  }
}

// What the daemon reads of a generation's file.
struct Layout {
  const Generation* generation;
  const IspGeneration* labels;
  int isps;
};

Layout layoutOf(int generation, int isps) {
  const Layout layout = {&kGenerations[generation], daemonLabels(kGenerations[generation].soc), isps};
  if (!layout.labels) {
    fprintf(stderr, "%s: the daemon has no labels for %s\n", kTool, layout.generation->soc);
    exit(2);
  }
  return layout;
}

// Renders the file of a sample into file[]; lines[] as for renderBody.
void render(const Layout& layout, const int32_t values[kStatistics], int lines[kStatistics]) {
  file_length = 0;
  const int isps = layout.generation->blocks ? layout.isps : 1;
  for (int isp = 0; isp < isps; ++isp)
    renderBody(layout.generation->body, *layout.labels, isp == 0 ? values : kSecondIsp, isp, isps,
               isp == 0 ? lines : nullptr);
}

void renderIdle(const Layout& layout) {
  file_length = 0;
  const int isps = layout.generation->blocks ? layout.isps : 1;
  for (int isp = 0; isp < isps; ++isp) renderBody(layout.generation->idle, *layout.labels, nullptr, isp, isps, nullptr);
}

// Whether the daemon reads a statistic from the generation's file.
bool publishes(const Layout& layout, int statistic) { return labelOf(*layout.labels, statistic) != nullptr; }

// Every statistic the daemon reads must stand in the file, or it would
// never recognise it.
void checkLayout(const Layout& layout) {
  int lines[kStatistics] = {0, 0, 0};
  const int32_t values[kStatistics] = {0, 0, 0};
  render(layout, values, lines);
  for (int statistic = 0; statistic < kStatistics; ++statistic) {
    if (publishes(layout, statistic) && !lines[statistic]) {
      fprintf(stderr, "%s: the daemon reads the %s of %s files, which this tool's file lacks\n", kTool,
              kStatisticTexts[statistic], layout.generation->soc);
      exit(2);
    }
  }
}

// ------------------------------------------------------------ night mode's IR light

const double kLn2 = 0.69314718055994530942;

// 2^-x for x from 0 to 64, from e^-y's series on x's fraction. No maths
// library: its conversions between double and 64-bit integers call
// helpers of libgcc's that a 2008-NaN build does not have.
double twoToMinus(double x) {
  const int whole = static_cast<int>(x);
  const double y = (x - static_cast<double>(whole)) * kLn2;
  double term = 1.0;
  double sum = 1.0;
  for (int k = 1; k < 30; ++k) {
    term *= -y / static_cast<double>(k);
    sum += term;
  }
  for (int i = 0; i < whole; ++i) sum *= 0.5;
  return sum;
}

// log2(1 + x) for x from 0 to 1: ln(1 + x) = 2 atanh(x / (2 + x)).
double log2OnePlus(double x) {
  const double y = x / (2.0 + x);
  double power = y;
  double sum = 0.0;
  for (int k = 1; k < 80; k += 2) {
    sum += power / static_cast<double>(k);
    power *= y * y;
  }
  return 2.0 * sum / kLn2;
}

int32_t roundToInt32(double value) {
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value < 0 ? value - 0.5 : value + 0.5);
}

// The exposure of a scene lit by two sources, each of which alone needs
// its exposure: exposure is -log2 of the light, times 65536, so the
// lights add as 2^(-e/65536). Written as the smaller exposure less a
// correction of at most 65536 (two equal lights).
int32_t litTogether(int32_t ambient, int32_t ir) {
  const double a = ambient;
  const double b = ir;
  const double lower = a < b ? a : b;
  const double apart = (a < b ? b - a : a - b) / 65536.0;
  return roundToInt32(apart >= 64.0 ? lower : lower - 65536.0 * log2OnePlus(twoToMinus(apart)));
}

// ------------------------------------------------------------ the script

// What a script's line is; kEnd stands after its last.
enum class Kind { kSample, kRamp, kGone, kIdle, kRaw, kDirectory, kGeneration, kMax, kIr, kEnd };

struct Item {
  Kind kind;
  uint32_t count;  // steps, for a step
  int32_t from[kStatistics];
  int32_t to[kStatistics];
  char* text;  // raw: the file's name; ir: the mode script's record
  char* bytes;  // raw: its content
  size_t size;
  int generation;
  int isps;
  int32_t number;  // max, ir
};

Item* items;
size_t item_count;

Item* newItem(Kind kind) {
  static size_t room = 0;
  if (item_count == room) {
    room = room ? room * 2 : 64;
    items = static_cast<Item*>(realloc(items, room * sizeof *items));
    if (!items) fail("realloc");
  }
  Item* item = &items[item_count++];
  memset(item, 0, sizeof *item);
  item->kind = kind;
  item->count = 1;
  return item;
}

char* copyText(const char* text) {
  char* copy = strdup(text);
  if (!copy) fail("strdup");
  return copy;
}

bool readInt32(const char* word, int32_t* value) {
  const char* digits = word + (*word == '-' || *word == '+');
  if (!*digits || strspn(digits, "0123456789") != strlen(digits) || strlen(digits) > 10) return false;
  const long long number = strtoll(word, nullptr, 10);
  if (number < INT32_MIN || number > INT32_MAX) return false;
  *value = static_cast<int32_t>(number);
  return true;
}

// A count of steps, from 1.
bool readCount(const char* digits, uint32_t* count) {
  if (!*digits || strspn(digits, "0123456789") != strlen(digits) || strlen(digits) > 10) return false;
  const unsigned long long number = strtoull(digits, nullptr, 10);
  if (number < 1 || number > UINT32_MAX) return false;
  *count = static_cast<uint32_t>(number);
  return true;
}

// Splits "WORD*K" into WORD and K; K is 1 without a star.
uint32_t repeatOf(char* word) {
  char* star = strchr(word, '*');
  if (!star) return 1;
  *star = '\0';
  uint32_t count = 0;
  if (!readCount(star + 1, &count)) badLine("*K wants a count of steps from 1");
  return count;
}

int generationNamed(const char* name) {
  for (int g = 0; g < kGenerationCount; ++g)
    if (strcmp(kGenerations[g].name, name) == 0) return g;
  return -1;
}

// The statistics of a sample: a 32-bit number each, or "-" where the
// generation publishes none.
void readSample(char* const words[kStatistics], const Layout& layout, int32_t values[kStatistics]) {
  for (int statistic = 0; statistic < kStatistics; ++statistic) {
    values[statistic] = 0;
    if (strcmp(words[statistic], "-") == 0) {
      if (publishes(layout, statistic)) {
        static char problem[128];
        snprintf(problem, sizeof problem, "%s files publish the %s: give a number, not -", layout.generation->soc,
                 kStatisticTexts[statistic]);
        badLine(problem);
      }
    } else if (!readInt32(words[statistic], &values[statistic])) {
      static char problem[128];
      snprintf(problem, sizeof problem, "%s is not a 32-bit number", words[statistic]);
      badLine(problem);
    }
  }
}

void readRaw(Item* item, const char* name) {
  item->text = copyText(name);
  const int fd = open(name, O_RDONLY);
  if (fd < 0) badLine(strerror(errno));
  const size_t limit = 1 << 20;
  item->bytes = static_cast<char*>(malloc(limit));
  if (!item->bytes) fail("malloc");
  for (;;) {
    const ssize_t got = read(fd, item->bytes + item->size, limit - item->size);
    if (got < 0) badLine(strerror(errno));
    if (got == 0) break;
    item->size += static_cast<size_t>(got);
    if (item->size == limit) badLine("a raw file of 1 MiB or more");
  }
  close(fd);
  char* kept = static_cast<char*>(realloc(item->bytes, item->size ? item->size : 1));
  if (kept) item->bytes = kept;
}

// Reads the whole script before anything is written: a bad line is told
// at once. `generation` and `isps` are the command line's.
void readScript(FILE* script, int generation, int isps) {
  Layout layout = layoutOf(generation, isps);
  static char line[4096];
  static char text[sizeof line];
  while (fgets(line, sizeof line, script)) {
    ++script_line;
    const size_t length = strcspn(line, "\n");
    const bool whole = line[length] == '\n' || feof(script);
    line[length] = '\0';
    memcpy(text, line, length + 1);
    script_text = text;
    if (!whole) badLine("a line of 4095 characters or more");
    line[strcspn(line, "#")] = '\0';
    char* words[10];
    int count = 0;
    for (char* word = strtok(line, " \t\r"); word; word = strtok(nullptr, " \t\r")) {
      if (count == 10) badLine("cannot read");
      words[count++] = word;
    }
    if (count == 0) continue;

    uint32_t repeat = 1;
    char* head = words[0];
    if (strncmp(head, "gone", 4) == 0 || strncmp(head, "idle", 4) == 0) repeat = repeatOf(head);
    if (strcmp(head, "gone") == 0 || strcmp(head, "idle") == 0) {
      if (count != 1) badLine(head[0] == 'g' ? "gone[*K] stands alone" : "idle[*K] stands alone");
      newItem(head[0] == 'g' ? Kind::kGone : Kind::kIdle)->count = repeat;
    } else if (strcmp(head, "directory") == 0) {
      if (count != 1) badLine("directory stands alone");
      newItem(Kind::kDirectory);
    } else if (strcmp(head, "raw") == 0) {
      if (count != 2) badLine("raw wants a PATH (without blanks)");
      readRaw(newItem(Kind::kRaw), words[1]);
    } else if (strcmp(head, "ramp") == 0) {
      Item* item = newItem(Kind::kRamp);
      if (count != 8 || !readCount(words[7], &item->count))
        badLine("a ramp is: ramp E I W E2 I2 W2 K, with K samples from 1");
      readSample(words + 1, layout, item->from);
      readSample(words + 4, layout, item->to);
    } else if (strcmp(head, "generation") == 0) {
      Item* item = newItem(Kind::kGeneration);
      if (count != 2 && !(count == 4 && strcmp(words[2], "isps") == 0))
        badLine("generation wants a NAME, and may add isps N");
      item->generation = generationNamed(words[1]);
      if (item->generation < 0) badLine("no such generation (t20, t21, t23, t31, t40, t41)");
      item->isps = 1;
      if (count == 4) {
        int32_t n = 0;
        if (!readInt32(words[3], &n) || n < 1 || n > kMaxIsps) badLine("isps is 1 or 2");
        if (n > 1 && !kGenerations[item->generation].blocks) badLine("only T40 and T41 files have a block per ISP");
        item->isps = n;
      }
      layout = layoutOf(item->generation, item->isps);
      checkLayout(layout);
    } else if (strcmp(head, "max") == 0) {
      if (count != 2 || !readInt32(words[1], &newItem(Kind::kMax)->number))
        badLine("max wants a 32-bit EXPOSURE");
    } else if (strcmp(head, "ir") == 0) {
      Item* item = count == 3 ? newItem(Kind::kIr) : nullptr;
      if (!item || !readInt32(words[1], &item->number)) badLine("ir wants E_IR, a 32-bit exposure, and a PATH");
      item->text = copyText(words[2]);
    } else if (count == 3 && (strchr("+-0123456789", head[0]))) {
      Item* item = newItem(Kind::kSample);
      item->count = repeatOf(words[2]);
      readSample(words, layout, item->from);
    } else if (strchr("+-0123456789", head[0])) {
      badLine("a sample is: EXPOSURE IRIDIX WB[*K]");
    } else {
      badLine("cannot read (fake_isp -h lists the script's lines)");
    }
  }
  if (ferror(script)) fail("the script");
}

// ------------------------------------------------------------ playing

// What the file is at a step.
struct Step {
  Kind kind;  // kSample (a ramp's too), kGone, kIdle, kRaw or kDirectory
  int32_t values[kStatistics];
  const Item* item;
};

struct Player {
  size_t item;
  uint32_t done;  // steps of that item
  int generation;
  int isps;
  bool capped;
  int32_t max;
  const Item* ir;
};

bool isStep(Kind kind) { return kind != Kind::kGeneration && kind != Kind::kMax && kind != Kind::kIr; }

// The next step, with the lines before it taken into account; false at
// the end of the script.
bool nextStep(Player* player, Step* step) {
  for (; player->item < item_count; ++player->item, player->done = 0) {
    const Item& item = items[player->item];
    if (item.kind == Kind::kGeneration) {
      player->generation = item.generation;
      player->isps = item.isps;
    } else if (item.kind == Kind::kMax) {
      player->capped = true;
      player->max = item.number;
    } else if (item.kind == Kind::kIr) {
      player->ir = &item;
    } else if (player->done < item.count) {
      step->kind = item.kind == Kind::kRamp ? Kind::kSample : item.kind;
      step->item = &item;
      for (int statistic = 0; statistic < kStatistics; ++statistic) {
        double value = item.from[statistic];
        if (item.kind == Kind::kRamp && item.count > 1)
          value += (static_cast<double>(item.to[statistic]) - value) * static_cast<double>(player->done) /
                   static_cast<double>(item.count - 1);
        step->values[statistic] = roundToInt32(value);
      }
      ++player->done;
      return true;
    }
  }
  return false;
}

// The kind of the step after the current one.
Kind kindAfter(const Player& player) {
  for (size_t at = player.item, done = player.done; at < item_count; ++at, done = 0) {
    if (isStep(items[at].kind) && done < items[at].count)
      return items[at].kind == Kind::kRamp ? Kind::kSample : items[at].kind;
  }
  return Kind::kEnd;
}

// Fills file[] with what a step shows, night mode's light read now.
void make(const Player& player, Step* step) {
  const Layout layout = layoutOf(player.generation, player.isps);
  if (step->kind == Kind::kIdle) {
    renderIdle(layout);
  } else if (step->kind == Kind::kRaw) {
    file_length = 0;
    put(step->item->bytes, step->item->size);
  } else if (step->kind == Kind::kSample) {
    int32_t& exposure = step->values[0];
    if (player.ir && device_node::lastLineIsOn(player.ir->text)) exposure = litTogether(exposure, player.ir->number);
    if (player.capped && exposure > player.max) exposure = player.max;
    render(layout, step->values, nullptr);
  }
}

bool say_steps = false;

void tell(const Player& player, int number, const Step& step) {
  if (!say_steps) return;
  printf("step %d: ", number);
  if (step.kind == Kind::kSample) {
    const Layout layout = layoutOf(player.generation, player.isps);
    const char* separator = "";
    for (int statistic = 0; statistic < kStatistics; ++statistic) {
      if (!publishes(layout, statistic)) continue;
      printf("%s%s %d", separator, kStatisticNames[statistic], static_cast<int>(step.values[statistic]));
      separator = ", ";
    }
    printf("\n");
  } else if (step.kind == Kind::kGone) {
    printf("no file\n");
  } else if (step.kind == Kind::kIdle) {
    printf("the sensor is not running\n");
  } else if (step.kind == Kind::kRaw) {
    printf("the bytes of %s\n", step.item->text);
  } else {
    printf("a directory\n");
  }
  fflush(stdout);
}

bool writeAll(int fd) {
  for (size_t done = 0; done < file_length;) {
    const ssize_t wrote = write(fd, file + done, file_length - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

// ------------------------------------------------------------ a regular file

void removePath(const char* path) {
  if (unlink(path) != 0 && errno == EISDIR) rmdir(path);
}

// file[] at `path`, whole for any reader: a temporary file, then a rename.
void writeAtomically(const char* path) {
  char temporary[4096];
  if (snprintf(temporary, sizeof temporary, "%s.XXXXXX", path) >= static_cast<int>(sizeof temporary)) {
    fprintf(stderr, "%s: %s: path too long\n", kTool, path);
    exit(2);
  }
  const int fd = mkstemp(temporary);
  if (fd < 0) fail(temporary);
  if (!writeAll(fd) || fchmod(fd, 0444) != 0 || close(fd) != 0) {
    const int error = errno;
    unlink(temporary);
    errno = error;
    fail(temporary);
  }
  if (rename(temporary, path) != 0) {
    // A folder in its place (a "directory" step) goes first.
    struct stat there;
    if (errno == EISDIR && lstat(path, &there) == 0 && S_ISDIR(there.st_mode) && rmdir(path) == 0 &&
        rename(temporary, path) == 0)
      return;
    const int error = errno;
    unlink(temporary);
    errno = error;
    fail(path);
  }
}

int playRegular(const char* path, double every, Player player) {
  Step step;
  for (int number = 1; nextStep(&player, &step); ++number) {
    if (number > 1) device_node::pauseSeconds(every);
    if (step.kind == Kind::kGone) {
      removePath(path);
    } else if (step.kind == Kind::kDirectory) {
      removePath(path);
      if (mkdir(path, 0755) != 0) fail(path);
    } else {
      make(player, &step);
      writeAtomically(path);
    }
    tell(player, number, step);
  }
  return 0;
}

// ------------------------------------------------------------ lock step

int inotify_fd = -1;
int watched = -1;

// A step with no file: a dangling link, whose times are set to nothing.
// The reader's open follows it and fails as on a missing file, and the
// lookup sets its access time (relatime updates an access time older
// than the change), which no other trace of a failed lookup gives.
void placeGone() {
  const char* next = device_node::nextPath();
  removePath(next);
  if (symlink(".fake_isp-nowhere", next) != 0) device_node::die(next);
  const struct timespec never[2] = {{0, 0}, {0, 0}};
  if (utimensat(AT_FDCWD, next, never, AT_SYMLINK_NOFOLLOW) != 0) device_node::die(next);
  device_node::moveIntoPlace();
}

void placeDirectory() {
  const char* next = device_node::nextPath();
  removePath(next);
  if (mkdir(next, 0755) != 0) device_node::die(next);
  if (inotify_fd < 0 && (inotify_fd = inotify_init()) < 0) device_node::die("inotify_init");
  // Watched before it moves into place: the reader cannot open it unseen.
  watched = inotify_add_watch(inotify_fd, next, IN_CLOSE_NOWRITE | IN_CLOSE_WRITE);
  if (watched < 0) device_node::die("inotify_add_watch");
  device_node::moveIntoPlace();
}

// What is at the path for a step of that kind, or after the last: a FIFO
// to hold, or nothing.
void place(Kind kind, bool hold) {
  if (kind == Kind::kGone) {
    placeGone();
  } else if (kind == Kind::kDirectory) {
    placeDirectory();
  } else if (kind != Kind::kEnd || hold) {
    device_node::replaceWithFifo();
  } else {
    device_node::remove();
  }
}

void waitLookedFor() {
  for (;;) {
    struct stat node;
    if (lstat(device_node::path(), &node) != 0) device_node::die(device_node::path());
    if (!S_ISLNK(node.st_mode)) {
      fprintf(stderr, "%s: %s was replaced by someone else during a \"gone\" step\n", kTool, device_node::path());
      exit(2);
    }
    if (node.st_atime != 0) return;
    device_node::pauseSeconds(0.01);
  }
}

void waitClosed() {
  alignas(struct inotify_event) char events[sizeof(struct inotify_event) + 4096];
  for (;;) {
    const ssize_t got = read(inotify_fd, events, sizeof events);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) device_node::die("inotify");
    for (ssize_t at = 0; at < got;) {
      const struct inotify_event* event = reinterpret_cast<const struct inotify_event*>(events + at);
      if (event->wd == watched && (event->mask & (IN_CLOSE_NOWRITE | IN_CLOSE_WRITE))) {
        inotify_rm_watch(inotify_fd, watched);
        watched = -1;
        return;
      }
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
    }
  }
}

// A "gone" step waits for the reader's lookup to set an access time.
void checkAccessTimes(const char* path) {
  bool gone = false;
  for (size_t at = 0; at < item_count; ++at) gone = gone || items[at].kind == Kind::kGone;
  if (!gone) return;
  char folder[4096];
  snprintf(folder, sizeof folder, "%s", path);
  char* slash = strrchr(folder, '/');
  if (!slash) snprintf(folder, sizeof folder, ".");
  else if (slash == folder) folder[1] = '\0';
  else *slash = '\0';
  struct statvfs filesystem;
  if (statvfs(folder, &filesystem) == 0 && (filesystem.f_flag & ST_NOATIME)) {
    fprintf(stderr, "%s: %s is on a noatime mount: a \"gone\" step cannot tell when the reader has looked\n",
            kTool, folder);
    exit(2);
  }
}

int playFifo(const char* path, bool hold, Player player) {
  checkAccessTimes(path);
  device_node::start(kTool, path);
  place(kindAfter(player), hold);
  printf("ready\n");
  fflush(stdout);
  Step step;
  for (int number = 1; nextStep(&player, &step); ++number) {
    if (step.kind == Kind::kGone || step.kind == Kind::kDirectory) {
      if (step.kind == Kind::kGone) {
        waitLookedFor();
      } else {
        waitClosed();
      }
      tell(player, number, step);
      place(kindAfter(player), hold);
      continue;
    }
    const int fd = device_node::openForReader();
    // Before anything is written: the reader's next open can only follow
    // its read, and must find the next step's node.
    place(kindAfter(player), hold);
    make(player, &step);
    tell(player, number, step);
    // The reader may leave early, once it has what it wants.
    if (!writeAll(fd) && errno != EPIPE) device_node::die("write");
    close(fd);
  }
  if (hold) device_node::hold();
  return 0;
}

// ------------------------------------------------------------ the command line

bool readSeconds(const char* text, double* seconds) {
  char* end;
  errno = 0;
  *seconds = strtod(text, &end);
  return end != text && !*end && errno == 0 && *seconds >= 0 && *seconds < 2147483647.0;
}

}  // namespace

int main(int argc, char* argv[]) {
  int generation = 0;
  int isps = 1;
  bool fifo = false;
  bool hold = false;
  bool print = false;
  bool layout_only = false;
  bool every_given = false;
  double every = 1.0;
  int arg = 1;
  for (; arg < argc && argv[arg][0] == '-' && argv[arg][1] != '\0'; ++arg) {
    const char* option = argv[arg];
    const bool has_value = arg + 1 < argc;
    if (strcmp(option, "--") == 0) {
      ++arg;
      break;
    } else if (strcmp(option, "-h") == 0 || strcmp(option, "--help") == 0) {
      fputs(kUsage, stdout);
      return 0;
    } else if (strcmp(option, "-g") == 0 || strcmp(option, "--generation") == 0) {
      if (!has_value) badUsage("a generation is missing", option);
      generation = generationNamed(argv[++arg]);
      if (generation < 0) badUsage("no such generation (t20, t21, t23, t31, t40, t41)", argv[arg]);
    } else if (strcmp(option, "--isps") == 0) {
      int32_t n = 0;
      if (!has_value || !readInt32(argv[arg + 1], &n) || n < 1 || n > kMaxIsps)
        badUsage("--isps is 1 or 2", has_value ? argv[arg + 1] : nullptr);
      isps = n;
      ++arg;
    } else if (strcmp(option, "--every") == 0) {
      if (!has_value || !readSeconds(argv[arg + 1], &every)) badUsage("--every wants SECONDS", has_value ? argv[arg + 1] : nullptr);
      every_given = true;
      ++arg;
    } else if (strcmp(option, "--fifo") == 0) {
      fifo = true;
    } else if (strcmp(option, "--hold") == 0) {
      hold = true;
    } else if (strcmp(option, "--steps") == 0) {
      say_steps = true;
    } else if (strcmp(option, "--print") == 0) {
      print = true;
    } else if (strcmp(option, "--layout") == 0) {
      layout_only = true;
    } else if (option[1] >= '0' && option[1] <= '9') {
      break;  // a negative number: the statistics of --print or of one file
    } else {
      badUsage("unknown option", option);
    }
  }
  if (isps > 1 && !kGenerations[generation].blocks) badUsage("only T40 and T41 files have a block per ISP", nullptr);
  if (hold && !fifo) badUsage("--hold goes with --fifo", nullptr);
  if (every_given && (fifo || print || layout_only)) badUsage("--every goes with a regular file's script", nullptr);
  if (fifo + print + layout_only > 1) badUsage("--fifo, --print and --layout exclude each other", nullptr);
  const Layout layout = layoutOf(generation, isps);
  checkLayout(layout);
  const int left = argc - arg;

  if (layout_only) {
    if (left != 0) badUsage("--layout takes no file", argv[arg]);
    int lines[kStatistics] = {0, 0, 0};
    const int32_t values[kStatistics] = {0, 0, 0};
    render(layout, values, lines);
    // In the file's order.
    for (int printed = 0, last = 0; printed < kStatistics; ++printed) {
      int next = -1;
      for (int statistic = 0; statistic < kStatistics; ++statistic)
        if (lines[statistic] > last && (next < 0 || lines[statistic] < lines[next])) next = statistic;
      if (next < 0) break;
      printf("%d %s\n", lines[next], kStatisticNames[next]);
      last = lines[next];
    }
    return 0;
  }

  // One sample from the command line: printed, or written once.
  if (print || (!fifo && left == 4)) {
    if (print && left != 3) badUsage("--print wants EXPOSURE IRIDIX WB", nullptr);
    script_text = "the command line";
    int32_t values[kStatistics];
    readSample(argv + argc - 3, layout, values);
    render(layout, values, nullptr);
    if (print) {
      if (fwrite(file, 1, file_length, stdout) != file_length || fflush(stdout) != 0) fail("standard output");
    } else {
      writeAtomically(argv[arg]);
    }
    return 0;
  }

  if (left < 1 || left > 2) badUsage(left ? "too many arguments" : "no FILE", nullptr);
  FILE* script = stdin;
  if (left == 2 && !(script = fopen(argv[arg + 1], "r"))) fail(argv[arg + 1]);
  readScript(script, generation, isps);
  if (script != stdin) fclose(script);
  script_line = 0;
  bool any = false;
  for (size_t at = 0; at < item_count; ++at) any = any || isStep(items[at].kind);
  if (!any) {
    fprintf(stderr, "%s: %s holds no step\n", kTool, left == 2 ? argv[arg + 1] : "the script");
    return 2;
  }
  const Player player = {0, 0, generation, isps, false, 0, nullptr};
  return fifo ? playFifo(argv[arg], hold, player) : playRegular(argv[arg], every, player);
}
