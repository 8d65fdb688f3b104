// Option parsing, the usage text and the mode switcher.
#include "control.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using test_support::Args;
using test_support::captureOutput;
using test_support::Output;
using test_support::readFile;
using test_support::TempDir;
using test_support::writeFile;
using test_support::contains;
using test_support::endsWith;
using test_support::startsWith;
using test_support::str;

// The values that the usage text shows, as they should appear.
struct UsageValues {
  std::string mode_command = "/system/sdcard/scripts/nightmode.sh";
  std::string adc_device = "/dev/jz_adc_aux_0";
  std::string adc_reads = "25";
  std::string delay_sec = "10";
  std::string window_size = "5";
  std::string on_threshold = "40.00";
  std::string off_threshold = "45.00";
};

std::string expectedUsage(const UsageValues& v = UsageValues()) {
  return "Usage: lumenflip [options]\n"
         "\n"
         "Options:\n"
         "-v              Increase verbosity\n"
         "-c <str>        Sets the command to call to set night mode (default: " + v.mode_command + ")\n"
         "-y <str>        Sets the command to run for day mode (default: disabled, use " + v.mode_command +
         " for both day and night)\n"
         "-g <str>        Sets the command to run for night mode (default: disabled, use " + v.mode_command +
         " for both day and night)\n"
         "-S              uses software to determine day/night\n"
         "                    following options don't mean anything for software method\n"
         "                    use sw_night_configure.html for more software mode options\n"
         "-D <str>        Sets jz_adc_aux device (default: " + v.adc_device + ")\n"
         "-a <int>        Sets the number of ADC reads to average into a single sample (default: " +
         v.adc_reads + ")\n"
         "-d <int>        Delay (in seconds) between averaged reads (default: " + v.delay_sec + ")\n"
         "-n <int>        Number of averaged samples to window average for thresholding (default: " +
         v.window_size + ")\n"
         "-O <float>      Turn on night mode when window average value drops below this threshold (default: " +
         v.on_threshold + ")\n"
         "-F <floag>      Turn off night mode when window average value goes above this threshold (default: " +
         v.off_threshold + ")\n"
         "-h              Print this usage statement and exit\n";
}

class ControlParse : public test_support::GlobalsFixture {
 protected:
  // Parses `args`, capturing what parsing prints.
  Output parse(Args& args, int expected_result = kRunMethod) {
    int result = 0;
    Output output = captureOutput([&] { result = parseCommandLine(args.argc(), args.argv()); });
    EXPECT_EQ(expected_result, result);
    return output;
  }
};

TEST_F(ControlParse, NoOptionsKeepsTheDocumentedDefaultsAndPrintsNothing) {
  Args args;
  const Output output = parse(args);
  EXPECT_EQ("", output.out);
  EXPECT_EQ("", output.err);
  EXPECT_STREQ("/system/sdcard/scripts/nightmode.sh", settings.mode_command);
  EXPECT_EQ(nullptr, settings.day_command);
  EXPECT_EQ(nullptr, settings.night_command);
  EXPECT_FALSE(settings.software_method);
  EXPECT_STREQ("/dev/jz_adc_aux_0", settings.adc_device);
  EXPECT_EQ(25, settings.adc_reads);
  EXPECT_EQ(10, settings.delay_sec);
  EXPECT_EQ(5, settings.window_size);
  EXPECT_EQ(40.0, settings.on_threshold);
  EXPECT_EQ(45.0, settings.off_threshold);
  EXPECT_EQ(0, settings.verbose);
  EXPECT_EQ(3, settings.jitter_percent);
  EXPECT_EQ(3, settings.sec_wait);
  EXPECT_EQ(1200000, settings.eq1_user_exposure);
  EXPECT_EQ(930000, settings.eq2_user_exposure);
  EXPECT_EQ(14, settings.eq2_user_iridix);
  EXPECT_EQ(10, settings.eq2_count);
  EXPECT_EQ(3000, settings.eq3_user_wb);
  EXPECT_EQ(17, settings.eq3_user_iridix);
  EXPECT_EQ(8, settings.eq3_count);
}

TEST_F(ControlParse, EveryOptionReachesItsOwnSetting) {
  // Distinct values everywhere, so that a swapped case shows.
  Args args{"-D", "dev", "-c", "mode", "-y", "day", "-g", "night", "-a", "11", "-d", "12",
            "-n", "13", "-O", "1.5", "-F", "2.5", "-j", "14", "-w", "15", "-1", "16",
            "-2", "17,18,19", "-3", "20,21,22", "-S", "-v"};
  const Output output = parse(args);
  EXPECT_EQ("", output.out);
  EXPECT_EQ("", output.err);
  EXPECT_STREQ("dev", settings.adc_device);
  EXPECT_STREQ("mode", settings.mode_command);
  EXPECT_STREQ("day", settings.day_command);
  EXPECT_STREQ("night", settings.night_command);
  EXPECT_EQ(11, settings.adc_reads);
  EXPECT_EQ(12, settings.delay_sec);
  EXPECT_EQ(13, settings.window_size);
  EXPECT_EQ(1.5, settings.on_threshold);
  EXPECT_EQ(2.5, settings.off_threshold);
  EXPECT_EQ(14, settings.jitter_percent);
  EXPECT_EQ(15, settings.sec_wait);
  EXPECT_EQ(16, settings.eq1_user_exposure);
  EXPECT_EQ(17, settings.eq2_user_exposure);
  EXPECT_EQ(18, settings.eq2_user_iridix);
  EXPECT_EQ(19, settings.eq2_count);
  EXPECT_EQ(20, settings.eq3_user_wb);
  EXPECT_EQ(21, settings.eq3_user_iridix);
  EXPECT_EQ(22, settings.eq3_count);
  EXPECT_TRUE(settings.software_method);
  EXPECT_EQ(1, settings.verbose);
}

TEST_F(ControlParse, NonOptionsAnywhereAreSkippedAndLaterOptionsWin) {
  Args args{"first", "-a", "7", "middle", "-c", "one", "-a7x", "-c", "two", "last", "-w", "9"};
  const Output output = parse(args);
  EXPECT_EQ("", output.out);
  EXPECT_EQ("", output.err);
  EXPECT_EQ(7, settings.adc_reads);
  EXPECT_STREQ("two", settings.mode_command);
  EXPECT_EQ(9, settings.sec_wait);
}

TEST_F(ControlParse, TextOptionsAreStoredUnchangedIncludingEmpty) {
  Args args{"-y", "", "-g", "  spaced  ; cmd\n"};
  parse(args);
  ASSERT_NE(nullptr, settings.day_command);
  EXPECT_STREQ("", settings.day_command);
  EXPECT_STREQ("  spaced  ; cmd\n", settings.night_command);
}

TEST_F(ControlParse, VerboseCountsEveryOccurrence) {
  Args args{"-v", "x", "-vvS", "-v"};
  parse(args);
  EXPECT_EQ(4, settings.verbose);
  EXPECT_TRUE(settings.software_method);
}

struct IntCase {
  const char* text;
  int32_t value;
};

void PrintTo(const IntCase& c, std::ostream* os) { *os << ::testing::PrintToString(std::string(c.text)); }

class ControlIntOption : public ControlParse, public ::testing::WithParamInterface<IntCase> {};

TEST_P(ControlIntOption, ConvertsLikeStrtolClampedTo32Bits) {
  const IntCase& c = GetParam();
  // Every integer option shares the conversion; check each of them.
  Args args{"-a", c.text, "-d", c.text, "-n", c.text, "-j", c.text, "-w", c.text, "-1", c.text};
  const Output output = parse(args);
  EXPECT_EQ("", output.err);
  EXPECT_EQ(c.value, settings.adc_reads);
  EXPECT_EQ(c.value, settings.delay_sec);
  EXPECT_EQ(c.value, settings.window_size);
  EXPECT_EQ(c.value, settings.jitter_percent);
  EXPECT_EQ(c.value, settings.sec_wait);
  EXPECT_EQ(c.value, settings.eq1_user_exposure);
}

INSTANTIATE_TEST_SUITE_P(
    ControlConversions, ControlIntOption,
    ::testing::Values(IntCase{"42", 42}, IntCase{"+42", 42}, IntCase{"007", 7}, IntCase{"  -12abc", -12},
                      IntCase{"\t\n\v\f\r 5", 5}, IntCase{"abc", 0}, IntCase{"", 0}, IntCase{"-", 0},
                      IntCase{"- 5", 0}, IntCase{"+-5", 0}, IntCase{"0x1F", 0}, IntCase{"1e3", 1},
                      IntCase{"2147483647", INT32_MAX}, IntCase{"2147483648", INT32_MAX},
                      IntCase{"-2147483648", INT32_MIN}, IntCase{"-2147483649", INT32_MIN},
                      IntCase{"99999999999", INT32_MAX}, IntCase{"-99999999999", INT32_MIN},
                      IntCase{"4294967296", INT32_MAX}, IntCase{"-4294967296", INT32_MIN},
                      IntCase{"18446744073709551617", INT32_MAX},
                      IntCase{"-000000000000000000000000000012", -12},
                      IntCase{"99999999999999999999999999999999999999", INT32_MAX}));

TEST_F(ControlParse, RealOptionsConvertLikeStrtod) {
  Args args{"-O", " -3.5x", "-F", "1e2"};
  parse(args);
  EXPECT_EQ(-3.5, settings.on_threshold);
  EXPECT_EQ(100.0, settings.off_threshold);

  Args again{"-O", "abc", "-F", "0x10"};
  optind = 0;
  parse(again);
  EXPECT_EQ(0.0, settings.on_threshold);
  EXPECT_EQ(16.0, settings.off_threshold);
}

struct TripleCase {
  const char* text;
  int32_t first, second, third;
  bool reported;
};

void PrintTo(const TripleCase& c, std::ostream* os) { *os << ::testing::PrintToString(std::string(c.text)); }

class ControlTriple : public ControlParse, public ::testing::WithParamInterface<TripleCase> {};

const int32_t kEq2Exposure = 930000, kEq2Iridix = 14, kEq2Count = 10;

TEST_P(ControlTriple, ReadsCommaSeparatedFieldsKeepingPartialConversions) {
  const TripleCase& c = GetParam();
  Args args{"-2", c.text};
  const Output output = parse(args);
  EXPECT_EQ(c.first, settings.eq2_user_exposure);
  EXPECT_EQ(c.second, settings.eq2_user_iridix);
  EXPECT_EQ(c.third, settings.eq2_count);
  if (c.reported) {
    EXPECT_EQ("invalid argument: " + std::string(c.text) + "\n", output.err);
    EXPECT_EQ(expectedUsage(), output.out);
  } else {
    EXPECT_EQ("", output.err);
    EXPECT_EQ("", output.out);
  }
}

INSTANTIATE_TEST_SUITE_P(
    ControlFields, ControlTriple,
    ::testing::Values(
        TripleCase{"5,6,7", 5, 6, 7, false}, TripleCase{"5,6,7x", 5, 6, 7, false},
        TripleCase{"5,6,7,8", 5, 6, 7, false}, TripleCase{" -5, +6,\t7", -5, 6, 7, false},
        TripleCase{"99999999999,-99999999999,4294967296", INT32_MAX, INT32_MIN, INT32_MAX, false},
        TripleCase{"5,6", 5, 6, kEq2Count, true}, TripleCase{"5,6,", 5, 6, kEq2Count, true},
        TripleCase{"5,6,x", 5, 6, kEq2Count, true}, TripleCase{"5", 5, kEq2Iridix, kEq2Count, true},
        TripleCase{"5 ,6,7", 5, kEq2Iridix, kEq2Count, true},
        TripleCase{"5;6;7", 5, kEq2Iridix, kEq2Count, true},
        TripleCase{"5,,7", 5, kEq2Iridix, kEq2Count, true},
        TripleCase{"a,6,7", kEq2Exposure, kEq2Iridix, kEq2Count, true},
        TripleCase{",6,7", kEq2Exposure, kEq2Iridix, kEq2Count, true},
        TripleCase{"-,6,7", kEq2Exposure, kEq2Iridix, kEq2Count, true},
        TripleCase{"", kEq2Exposure, kEq2Iridix, kEq2Count, true}));

TEST_F(ControlParse, BadTripleIsReportedWithCurrentValuesAndParsingGoesOn) {
  Args args{"-c", "/bin/mode", "-3", "1,2", "-a", "9", "-2", "x"};
  const Output output = parse(args);
  UsageValues shown;
  shown.mode_command = "/bin/mode";
  // One usage text per bad triple; the second shows the -a parsed between.
  UsageValues later = shown;
  later.adc_reads = "9";
  EXPECT_EQ("invalid argument: 1,2\ninvalid argument: x\n", output.err);
  EXPECT_EQ(expectedUsage(shown) + expectedUsage(later), output.out);
  EXPECT_EQ(1, settings.eq3_user_wb);
  EXPECT_EQ(2, settings.eq3_user_iridix);
  EXPECT_EQ(8, settings.eq3_count);
  EXPECT_EQ(9, settings.adc_reads);
  EXPECT_EQ(kEq2Exposure, settings.eq2_user_exposure);
}

TEST_F(ControlParse, HelpPrintsUsageWithValuesParsedBeforeItAndStops) {
  Args args{"-a", "7", "stray", "-h", "-a", "8", "-x", "-2", "bad"};
  const Output output = parse(args, 0);
  UsageValues shown;
  shown.adc_reads = "7";
  EXPECT_EQ(expectedUsage(shown), output.out);
  EXPECT_EQ("", output.err);
  EXPECT_EQ(7, settings.adc_reads);
  EXPECT_EQ(kEq2Exposure, settings.eq2_user_exposure);
}

TEST_F(ControlParse, UnknownOptionEndsWithStatusOneAfterUsage) {
  Args args{"-a", "7", "-x", "-a", "8"};
  const Output output = parse(args, 1);
  // getopt's own diagnostic comes first, then ours.
  EXPECT_PRED2(startsWith, output.err, "lumenflip: ");
  EXPECT_PRED2(contains, output.err, "'x'");
  EXPECT_PRED2(endsWith, output.err, "\nUnknown argument: '?'\n");
  UsageValues shown;
  shown.adc_reads = "7";
  EXPECT_EQ(expectedUsage(shown), output.out);
  EXPECT_EQ(7, settings.adc_reads);
}

TEST_F(ControlParse, MissingArgumentEndsWithStatusOneAfterUsage) {
  Args args{"-v", "-n"};
  const Output output = parse(args, 1);
  EXPECT_PRED2(startsWith, output.err, "lumenflip: ");
  EXPECT_PRED2(contains, output.err, "'n'");
  EXPECT_PRED2(endsWith, output.err, "\nUnknown argument: '?'\n");
  EXPECT_EQ(expectedUsage(), output.out);
  EXPECT_EQ(5, settings.window_size);
}

TEST_F(ControlParse, UsageShowsCurrentValuesByteForByte) {
  EXPECT_EQ(expectedUsage(), captureOutput(printUsage).out);

  Args args{"-c", "/opt/switch.sh", "-D", "/dev/adc9", "-a", "-3", "-d", "0", "-n", "99999999999",
            "-O", "12.345", "-F", "-0.004", "-y", "ignored", "-g", "ignored"};
  parse(args);
  UsageValues shown;
  shown.mode_command = "/opt/switch.sh";
  shown.adc_device = "/dev/adc9";
  shown.adc_reads = "-3";
  shown.delay_sec = "0";
  shown.window_size = "2147483647";
  shown.on_threshold = "12.35";
  shown.off_threshold = "-0.00";
  EXPECT_EQ(expectedUsage(shown), captureOutput(printUsage).out);
}

TEST(ControlParseInt32, StopsAtTheLimit) {
  // Heap copies without a terminator, so reading past the end is caught
  // by the address sanitizer.
  auto check = [](const std::string& text, size_t limit, int32_t value, size_t consumed) {
    std::vector<char> bytes(text.begin(), text.end());
    const char* end = nullptr;
    EXPECT_EQ(value, parseInt32(bytes.data(), bytes.data() + limit, &end)) << text << " limit " << limit;
    EXPECT_EQ(bytes.data() + consumed, end) << text << " limit " << limit;
  };
  check("12345", 5, 12345, 5);
  check("12345", 3, 123, 3);
  check("  -42", 5, -42, 5);
  check("  -42", 3, 0, 0);  // sign at the limit, no digits
  check("  -42", 2, 0, 0);
  check("-42", 0, 0, 0);
  check("   ", 3, 0, 0);  // white space up to the limit, nothing after it
  check("9999999999", 10, INT32_MAX, 10);
  check("9999999999", 9, 999999999, 9);
  check("-9999999999", 11, INT32_MIN, 11);
  check("7,8", 3, 7, 1);

  const char text[] = "  15x";
  EXPECT_EQ(15, parseInt32(text, text + 5, nullptr));
}

// ---------------------------------------------------------------- switcher

class ModeCommand : public test_support::GlobalsFixture {};

TEST_F(ModeCommand, BuildsBaseCommandWithOnOrOff) {
  char buffer[256];
  night_mode = true;
  EXPECT_STREQ("/system/sdcard/scripts/nightmode.sh on\n", buildModeCommand(buffer, sizeof buffer));
  night_mode = false;
  EXPECT_STREQ("/system/sdcard/scripts/nightmode.sh off\n", buildModeCommand(buffer, sizeof buffer));
}

TEST_F(ModeCommand, PerModeCommandsAreUsedUnchangedAndOnlyForTheirMode) {
  char buffer[256];
  settings.mode_command = "base";
  settings.night_command = "night cmd";
  night_mode = true;
  EXPECT_STREQ("night cmd", buildModeCommand(buffer, sizeof buffer));
  night_mode = false;
  EXPECT_STREQ("base off\n", buildModeCommand(buffer, sizeof buffer));

  settings.night_command = nullptr;
  settings.day_command = "";  // present, though empty
  EXPECT_STREQ("", buildModeCommand(buffer, sizeof buffer));
  night_mode = true;
  EXPECT_STREQ("base on\n", buildModeCommand(buffer, sizeof buffer));
}

TEST_F(ModeCommand, LongCommandsAreNeverCut) {
  const std::string per_mode(4000, 'n');
  const std::string base(300, 'b');
  settings.night_command = per_mode.c_str();
  settings.mode_command = base.c_str();
  std::vector<char> buffer(8192);
  night_mode = true;
  EXPECT_EQ(per_mode, str(buildModeCommand(buffer.data(), buffer.size())));
  night_mode = false;
  EXPECT_EQ(base + " off\n", str(buildModeCommand(buffer.data(), buffer.size())));
}

TEST_F(ModeCommand, RefusesABufferTooSmallForTheWholeLine) {
  settings.mode_command = "abc";
  char buffer[16];
  night_mode = true;  // "abc on\n" needs 8 bytes with the terminator
  EXPECT_STREQ("abc on\n", buildModeCommand(buffer, 8));
  EXPECT_EQ(nullptr, buildModeCommand(buffer, 7));
  EXPECT_EQ(nullptr, buildModeCommand(buffer, 1));
  night_mode = false;
  EXPECT_EQ(nullptr, buildModeCommand(buffer, 8));
  EXPECT_STREQ("abc off\n", buildModeCommand(buffer, 9));
}

// Runs the real command through the shell; a script records each call.
class ModeSwitch : public test_support::GlobalsFixture {
 protected:
  void SetUp() override {
    GlobalsFixture::SetUp();
    log_ = dir_.file("calls.log");
    recorder_ = dir_.file("record.sh");
    // One line per call: the argument count, then each argument bracketed.
    writeFile(recorder_,
              "#!/bin/sh\n"
              "{ printf '%s' \"$#\"; for a in \"$@\"; do printf ' [%s]' \"$a\"; done; echo; } >> '" +
                  log_ + "'\n"
              "exit \"${RECORD_STATUS:-0}\"\n",
              0755);
    settings.mode_command = recorder_.c_str();
    settings.sec_wait = 17;
  }

  Output apply(bool night) {
    night_mode = night;
    return captureOutput(applyNightMode);
  }

  TempDir dir_;
  std::string log_;
  std::string recorder_;
};

TEST_F(ModeSwitch, RunsBaseCommandWithOneArgumentPerMode) {
  const Output night = apply(true);
  const Output day = apply(false);
  EXPECT_EQ("1 [on]\n1 [off]\n", readFile(log_));
  EXPECT_EQ("", night.out + night.err + day.out + day.err);
  EXPECT_EQ(17, mode_switch_wait);
  EXPECT_FALSE(night_mode);  // the switcher only reads the state
}

TEST_F(ModeSwitch, VerboseAnnouncesTheNewMode) {
  settings.verbose = 1;
  EXPECT_EQ("Night Mode Enabled\n", apply(true).out);
  EXPECT_EQ("Night Mode Disabled\n", apply(false).out);
  settings.verbose = 2;
  EXPECT_EQ("Night Mode Enabled\n", apply(true).out);
  EXPECT_EQ("1 [on]\n1 [off]\n1 [on]\n", readFile(log_));
}

TEST_F(ModeSwitch, PerModeCommandRunsAsGivenWithoutArgument) {
  const std::string night = recorder_ + " " + std::string(300, 'g') + " tail";
  settings.night_command = night.c_str();
  settings.day_command = recorder_.c_str();
  apply(true);
  apply(false);
  EXPECT_EQ("2 [" + std::string(300, 'g') + "] [tail]\n0\n", readFile(log_));
}

TEST_F(ModeSwitch, LongBaseCommandKeepsItsArgument) {
  const std::string base = recorder_ + " " + std::string(4000, 'm');
  settings.mode_command = base.c_str();
  const Output output = apply(true);
  EXPECT_EQ("", output.err);
  EXPECT_EQ("2 [" + std::string(4000, 'm') + "] [on]\n", readFile(log_));
}

TEST_F(ModeSwitch, EmptyPerModeCommandRunsNothingAndSucceeds) {
  settings.day_command = "";
  const Output output = apply(false);
  EXPECT_EQ("", output.err);
  EXPECT_FALSE(test_support::fileExists(log_));
  EXPECT_EQ(17, mode_switch_wait);
}

TEST_F(ModeSwitch, FailedCommandWarnsWithRawStatusAndLineAsRun) {
  const std::string failing = "RECORD_STATUS=1 " + recorder_;
  settings.mode_command = failing.c_str();
  const Output built = apply(true);
  EXPECT_EQ("WARNING: " + failing + " on\n returned 256\n", built.err);
  EXPECT_EQ(17, mode_switch_wait);

  mode_switch_wait = 0;
  settings.sec_wait = -2;
  settings.day_command = "exit 3";
  const Output per_mode = apply(false);
  EXPECT_EQ("WARNING: exit 3 returned 768\n", per_mode.err);
  EXPECT_EQ("", per_mode.out);
  EXPECT_EQ(-2, mode_switch_wait);
  EXPECT_EQ("1 [on]\n", readFile(log_));
}

TEST_F(ModeSwitch, CommandKilledBySignalReportsTheWaitStatus) {
  settings.night_command = "kill -TERM $$";
  EXPECT_EQ("WARNING: kill -TERM $$ returned 15\n", apply(true).err);
}

TEST_F(ModeSwitch, OverlongBaseCommandIsNotRunCut) {
  // Longer than any argument the kernel passes through exec, so no built
  // line for it exists; the recorder must not run with a cut argument.
  const std::string base = recorder_ + " " + std::string(200000, 'z');
  settings.mode_command = base.c_str();
  const Output output = apply(true);
  EXPECT_PRED2(startsWith, output.err, "WARNING: ");
  EXPECT_FALSE(test_support::fileExists(log_));
  EXPECT_EQ(17, mode_switch_wait);
}

}  // namespace
