// The software method's rule machine, driven sample by sample through
// judgeIspSample with prepared readings as the method's loop drives it (the
// verdict, then the switch it decided): no ISP file and no sleeping.
#include <gtest/gtest.h>
#include <stdint.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "control.h"
#include "software.h"
#include "test_support.h"

namespace {

using test_support::Args;
using test_support::captureOutput;
using test_support::GlobalsFixture;
using test_support::Output;
using test_support::readFile;
using test_support::TempDir;

using Lines = std::vector<std::string>;

const int kWhole = 3;  // what readIspInfo returns when it found all three lines
const unsigned kAll = kIspExposure | kIspIridix | kIspWb;

class SoftwareTest : public GlobalsFixture {
 protected:
  void SetUp() override {
    GlobalsFixture::SetUp();
    // The mode command appends its argument ("on" or "off") to a log.
    mode_command_ = "echo >>'" + dir_.file("modes") + "'";
    settings.mode_command = mode_command_.c_str();
  }

  // One pass: a whole read gives the sample; any other read result, a
  // file holding that many of the three lines.
  SoftwareVerdict feed(int32_t exposure, int32_t iridix, int32_t wb, int read_result = kWhole,
                       unsigned published = kAll) {
    SoftwareVerdict verdict;
    if (read_result == kWhole) {
      state_.sample = IspInfo{exposure, iridix, wb};
      state_.published = published;
      verdict = judgeIspSample(&state_, settings, night_mode, &mode_switch_wait);
    } else {
      const std::string lines[] = {"ISP exposure log2 id: 1\n", "ISP Iridix strength : 2\n", "ISP WB Temperature : 3\n"};
      std::string content;
      for (int i = 0; i < read_result; ++i) content += lines[i];
      if (read_result >= 0) test_support::writeFile(dir_.file("isp_info"), content);
      const std::string isp_info = dir_.file(read_result >= 0 ? "isp_info" : "none");
      const std::string isp_m0 = dir_.file("isp-m0");
      IspReader reader = makeIspReader(isp_info.c_str(), isp_m0.c_str());
      verdict = softwarePass(&state_, &reader);
    }
    if (verdict.switches) toggleNightMode();
    return verdict;
  }

  void feedTimes(int times, int32_t exposure, int32_t iridix, int32_t wb) {
    for (int i = 0; i < times; ++i) feed(exposure, iridix, wb);
  }

  // Night, settle period over, with `exposure` as the last sample.
  void atNight(int32_t exposure) {
    night_mode = true;
    mode_switch_wait = 0;
    state_.last_exposure = exposure;
  }

  Lines modes() const {
    Lines lines;
    std::string all = readFile(dir_.file("modes"));
    for (size_t start = 0, end; (end = all.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(all.substr(start, end - start));
    return lines;
  }

  TempDir dir_;
  std::string mode_command_;
  SoftwareState state_ = {0, 0, 0, {0, 0, 0}, kAll};
};

using SoftwareJitter = SoftwareTest;
using SoftwareSettle = SoftwareTest;
using SoftwareReadFailure = SoftwareTest;
using SoftwareEq1 = SoftwareTest;
using SoftwareEq2 = SoftwareTest;
using SoftwareEq3 = SoftwareTest;
using SoftwareLimits = SoftwareTest;
using SoftwareMessages = SoftwareTest;

// ---------------------------------------------------------------- jitter

struct JitterCase {
  int32_t jitter_percent;
  int32_t last;
  int32_t exposure;
  bool jitter;
  const char* why;
};

TEST_F(SoftwareJitter, ChangeIsTakenRelativeToTheNewExposure) {
  const JitterCase cases[] = {
      {3, 0, 1300000, true, "first read: nothing read before"},
      {99, 0, 1, true, "first read, allowance below 100 percent"},
      {100, 0, 1, false, "first read, allowance of 100 percent"},
      {3, 0, 0, true, "zero after zero: not a number"},
      {3, 1000000, 0, true, "zero: infinite change"},
      {1000, 0, 0, true, "zero after zero, however large the allowance"},
      {1000, 1000000, 0, true, "zero, however large the allowance"},
      {1000, 0, 1000000, false, "a large allowance passes a real change"},
      {3, 1000000, 1000000, false, "steady"},
      {3, 1039000, 1000000, false, "3.9 percent of the new exposure"},
      {3, 1040000, 1000000, true, "4.0 percent of the new exposure (3.85 of the old)"},
      {3, 1000000, 1040000, false, "3.85 percent of the new exposure (4.0 of the old)"},
      {3, 961000, 1000000, false, "3.9 percent, rising"},
      {3, 960000, 1000000, true, "4.0 percent, rising"},
      {0, 1009999, 1000000, false, "0.9999 percent over a zero allowance"},
      {0, 1010000, 1000000, true, "1 percent over a zero allowance"},
      {-1, 1000000, 1000000, true, "a negative allowance filters even a steady exposure"},
      {3, 0, -1, false, "a negative change percentage is far below the allowance"},
      {3, INT32_MAX, -1, true, "a change far below the 32-bit range"},
      {INT32_MAX, -98, -100, true, "integer part one below the 32-bit range"},
      {INT32_MAX, -203, -200, false, "integer part at the bottom of the 32-bit range"},
  };
  settings.verbose = 1;
  for (const JitterCase& c : cases) {
    SCOPED_TRACE(c.why);
    settings.jitter_percent = c.jitter_percent;
    state_.last_exposure = c.last;
    mode_switch_wait = 100;  // keeps the rules out of it
    const Output output = captureOutput([&] { feed(c.exposure, 10, 5000); });
    EXPECT_EQ(output.out, c.jitter ? "jitter active\n" : "mode switch wait active\n");
    EXPECT_EQ(mode_switch_wait, c.jitter ? 100 : 99);
    EXPECT_EQ(state_.last_exposure, c.exposure);
  }
  EXPECT_EQ(modes(), Lines{});
}

TEST_F(SoftwareJitter, ResetsBothCountsButKeepsTheSettlePeriod) {
  atNight(900000);
  mode_switch_wait = 2;
  state_.eq2_wait_count = 6;
  state_.eq3_wait_count = 7;
  feed(500000, 10, 2000);
  EXPECT_EQ(state_.eq2_wait_count, 0);
  EXPECT_EQ(state_.eq3_wait_count, 0);
  EXPECT_EQ(mode_switch_wait, 2);
  EXPECT_EQ(state_.last_exposure, 500000);
  EXPECT_TRUE(night_mode);
}

TEST_F(SoftwareJitter, JumpySamplesDoNotUseUpTheSettlePeriod) {
  startSoftwareMethod();
  ASSERT_EQ(mode_switch_wait, 3);
  for (int i = 0; i < 3; ++i) {
    feed(2600000, 10, 5000);
    feed(1300000, 10, 5000);
  }
  EXPECT_EQ(mode_switch_wait, 3);
  feedTimes(3, 1300000, 10, 5000);
  EXPECT_EQ(mode_switch_wait, 0);
  EXPECT_EQ(modes(), Lines{"off"});
  feed(1300000, 10, 5000);
  EXPECT_EQ(modes(), (Lines{"off", "on"}));
}

// ---------------------------------------------------------------- settle period

TEST_F(SoftwareSettle, SamplesInsideItNeitherCountNorResetNorSwitch) {
  settings.verbose = 1;
  atNight(900000);
  mode_switch_wait = 2;
  state_.eq2_wait_count = 3;
  state_.eq3_wait_count = 4;
  // Meets Eq2's condition, then misses both rules: neither may count.
  const Output output = captureOutput([&] {
    feed(900000, 10, 2000);
    feed(910000, 20, 5000);
  });
  EXPECT_EQ(output.out, "mode switch wait active\nmode switch wait active\n");
  EXPECT_EQ(state_.eq2_wait_count, 3);
  EXPECT_EQ(state_.eq3_wait_count, 4);
  EXPECT_EQ(state_.last_exposure, 910000);
  EXPECT_EQ(mode_switch_wait, 0);

  night_mode = false;
  mode_switch_wait = 1;
  const Output day = captureOutput([&] {
    feed(1300000, 10, 5000);  // 30 percent: jitter
    feed(1300000, 10, 5000);
  });
  EXPECT_EQ(day.out, "jitter active\nmode switch wait active\n");
  EXPECT_FALSE(night_mode);
  EXPECT_EQ(modes(), Lines{});
}

TEST_F(SoftwareSettle, NegativeWaitNeverEnds) {
  settings.sec_wait = -1;
  startSoftwareMethod();
  feedTimes(30, 1300000, 10, 5000);
  EXPECT_EQ(mode_switch_wait, -30);  // the first read was jitter
  EXPECT_FALSE(night_mode);
  EXPECT_EQ(modes(), Lines{"off"});
}

TEST_F(SoftwareSettle, LowestWaitStaysAtTheLimit) {
  Args args{"-S", "-v", "-w", "-99999999999"};
  ASSERT_EQ(parseCommandLine(args.argc(), args.argv()), kRunMethod);
  ASSERT_EQ(settings.sec_wait, INT32_MIN);
  captureOutput([] { startSoftwareMethod(); });
  const Output output = captureOutput([&] { feedTimes(3, 1300000, 10, 5000); });
  EXPECT_EQ(output.out, "jitter active\nmode switch wait active\nmode switch wait active\n");
  EXPECT_EQ(mode_switch_wait, INT32_MIN);
  EXPECT_FALSE(night_mode);
}

// ---------------------------------------------------------------- failed reads

TEST_F(SoftwareReadFailure, ChangesNothingButSaysSo) {
  settings.verbose = 2;
  atNight(900000);
  mode_switch_wait = 2;
  state_.eq2_wait_count = 5;
  state_.eq3_wait_count = 6;
  for (int result : {-1, 0, 1, 2}) {
    SCOPED_TRACE(result);
    const Output output = captureOutput([&] { feed(100, 1, 1, result); });
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(output.err, std::string(result < 0 ? "ERROR: readIspInfo: open failed\n" : "") +
                              "Unable to read isp_info\n");
  }
  EXPECT_EQ(state_.last_exposure, 900000);
  EXPECT_EQ(state_.eq2_wait_count, 5);
  EXPECT_EQ(state_.eq3_wait_count, 6);
  EXPECT_EQ(mode_switch_wait, 2);
  EXPECT_TRUE(night_mode);
  EXPECT_EQ(modes(), Lines{});
}

TEST_F(SoftwareReadFailure, PassWithoutEitherIspFileGivesBothMessages) {
  state_.last_exposure = 1234;
  mode_switch_wait = 2;
  const std::string isp_info = dir_.file("isp_info");
  const std::string isp_m0 = dir_.file("isp-m0");
  IspReader reader = makeIspReader(isp_info.c_str(), isp_m0.c_str());
  SoftwareVerdict verdict;
  const Output output = captureOutput([&] { verdict = softwarePass(&state_, &reader); });
  EXPECT_EQ(output.err, "ERROR: readIspInfo: open failed\nUnable to read isp_info\n");
  EXPECT_TRUE(verdict.rule == SoftwareRule::kUnread);
  EXPECT_FALSE(verdict.switches);
  EXPECT_EQ(state_.last_exposure, 1234);
  EXPECT_EQ(mode_switch_wait, 2);
}

// ---------------------------------------------------------------- Eq1

TEST_F(SoftwareEq1, DefaultsSwitchToNightOnTheFifthRead) {
  startSoftwareMethod();
  ASSERT_EQ(modes(), Lines{"off"});
  feedTimes(4, 1300000, 10, 5000);  // jitter, then three settle samples
  EXPECT_FALSE(night_mode);
  EXPECT_EQ(modes(), Lines{"off"});
  feed(1300000, 10, 5000);
  EXPECT_TRUE(night_mode);
  EXPECT_EQ(modes(), (Lines{"off", "on"}));
  EXPECT_EQ(mode_switch_wait, 3);
}

TEST_F(SoftwareEq1, ExposureMustBeAboveTheThreshold) {
  state_.last_exposure = 1200000;
  state_.eq2_wait_count = 5;
  state_.eq3_wait_count = 5;
  feed(1200000, 10, 5000);
  EXPECT_FALSE(night_mode);
  EXPECT_EQ(state_.eq2_wait_count, 0);  // a day sample resets both
  EXPECT_EQ(state_.eq3_wait_count, 0);
  feed(1200001, 10, 5000);
  EXPECT_TRUE(night_mode);
  EXPECT_EQ(modes(), Lines{"on"});
}

// ---------------------------------------------------------------- Eq2

TEST_F(SoftwareEq2, SwitchesToDayOnTheEleventhSampleInARow) {
  atNight(900000);
  feedTimes(10, 900000, 10, 5000);
  EXPECT_EQ(state_.eq2_wait_count, 10);
  EXPECT_EQ(modes(), Lines{});
  feed(900000, 10, 5000);
  EXPECT_FALSE(night_mode);
  EXPECT_EQ(modes(), Lines{"off"});
  EXPECT_EQ(mode_switch_wait, 3);
}

TEST_F(SoftwareEq2, AfterANightSwitchTheFifteenthDarkSampleSwitchesBack) {
  state_.last_exposure = 1300000;
  feed(1300000, 10, 5000);
  ASSERT_EQ(modes(), Lines{"on"});
  feedTimes(14, 900000, 10, 5000);  // jitter, three settle samples, ten counted
  EXPECT_EQ(modes(), Lines{"on"});
  feed(900000, 10, 5000);
  EXPECT_EQ(modes(), (Lines{"on", "off"}));
}

TEST_F(SoftwareEq2, AMissAtEitherLimitOrAJitterSampleRestartsTheCount) {
  atNight(900000);
  feedTimes(10, 900000, 10, 5000);
  feed(930000, 10, 5000);  // exposure at the limit
  EXPECT_EQ(state_.eq2_wait_count, 0);
  feedTimes(10, 900000, 10, 5000);
  feed(900000, 14, 5000);  // Iridix at the limit
  EXPECT_EQ(state_.eq2_wait_count, 0);
  feedTimes(10, 900000, 10, 5000);
  feed(800000, 10, 5000);  // 12.5 percent jump
  EXPECT_EQ(state_.eq2_wait_count, 0);
  feedTimes(10, 800000, 10, 5000);
  EXPECT_EQ(modes(), Lines{});
  feed(800000, 10, 5000);
  EXPECT_EQ(modes(), Lines{"off"});
}

// ---------------------------------------------------------------- Eq3

TEST_F(SoftwareEq3, SwitchesToDayOnTheNinthSampleInARow) {
  // An exposure at Eq2's limit: Eq2 misses on every sample, Eq3 still counts.
  atNight(930000);
  feedTimes(8, 930000, 20, 2500);
  EXPECT_EQ(state_.eq3_wait_count, 8);
  EXPECT_EQ(modes(), Lines{});
  feed(930000, 20, 2500);
  EXPECT_FALSE(night_mode);
  EXPECT_EQ(modes(), Lines{"off"});
}

TEST_F(SoftwareEq3, AMissAtEitherLimitRestartsTheCount) {
  atNight(1000000);
  feedTimes(8, 1000000, 20, 2500);
  feed(1000000, 20, 3000);  // white balance at the limit
  EXPECT_EQ(state_.eq3_wait_count, 0);
  feedTimes(8, 1000000, 20, 2500);
  feed(1000000, 17, 2500);  // Iridix at the limit
  EXPECT_EQ(state_.eq3_wait_count, 0);
  feedTimes(8, 1000000, 20, 2500);
  EXPECT_EQ(modes(), Lines{});
  feed(1000000, 20, 2500);
  EXPECT_EQ(modes(), Lines{"off"});
}

TEST_F(SoftwareEq3, CountsInTheSameSampleAsEq2) {
  settings.verbose = 1;
  settings.eq3_user_iridix = 5;  // Iridix 10 now meets both rules
  settings.eq3_count = 3;
  atNight(900000);
  Output output = captureOutput([&] { feed(900000, 10, 2000); });
  EXPECT_EQ(output.out,
            "Eq2 wait_count active exp=900000 iridix=10\n"
            "Eq3 wait_count active wb=2000 iridix=10\n");
  captureOutput([&] { feedTimes(2, 900000, 10, 2000); });
  EXPECT_EQ(state_.eq2_wait_count, 3);
  EXPECT_EQ(state_.eq3_wait_count, 3);
  output = captureOutput([&] { feed(900000, 10, 2000); });
  EXPECT_EQ(output.out,
            "Eq2 wait_count active exp=900000 iridix=10\n"
            "Eq3 switching to day mode wb=2000 iridix=10\n"
            "Night Mode Disabled\n");
  EXPECT_EQ(state_.eq2_wait_count, 4);
  EXPECT_EQ(modes(), Lines{"off"});
}

TEST_F(SoftwareEq3, NotLookedAtOnceEq2HasSwitched) {
  settings.verbose = 1;
  settings.eq2_count = 1;
  settings.eq3_user_iridix = 5;
  settings.eq3_count = 1;
  atNight(900000);
  captureOutput([&] { feed(900000, 10, 2000); });
  const Output output = captureOutput([&] { feed(900000, 10, 2000); });
  EXPECT_EQ(output.out, "Eq2 switching to day mode exp=900000 iridix=10\nNight Mode Disabled\n");
  EXPECT_EQ(state_.eq3_wait_count, 1);
  EXPECT_EQ(modes(), Lines{"off"});
}

// ---------------------------------------------------------------- limits

TEST_F(SoftwareLimits, HugeCountsStopAtTheLimitWithoutSwitching) {
  Args args{"-S", "-2", "930000,14,2147483647", "-3", "3000,5,99999999999"};
  ASSERT_EQ(parseCommandLine(args.argc(), args.argv()), kRunMethod);
  ASSERT_EQ(settings.eq3_count, INT32_MAX);
  atNight(900000);
  state_.eq2_wait_count = INT32_MAX - 1;
  state_.eq3_wait_count = INT32_MAX - 1;
  feedTimes(3, 900000, 10, 2000);
  EXPECT_EQ(state_.eq2_wait_count, INT32_MAX);
  EXPECT_EQ(state_.eq3_wait_count, INT32_MAX);
  EXPECT_TRUE(night_mode);
  EXPECT_EQ(modes(), Lines{});
}

// ---------------------------------------------------------------- messages

TEST_F(SoftwareMessages, StartListsTheSettingsThenRunsTheDayCommand) {
  settings.verbose = 1;
  settings.jitter_percent = 7;
  settings.eq1_user_exposure = 1100000;
  settings.eq2_user_exposure = 920000;
  settings.eq2_user_iridix = 13;
  settings.eq2_count = 6;
  settings.eq3_user_wb = 2900;
  settings.eq3_user_iridix = 18;
  settings.eq3_count = 5;
  settings.sec_wait = 2;
  night_mode = true;
  const Output output = captureOutput([] { startSoftwareMethod(); });
  EXPECT_EQ(output.out,
            "Starting software method using \n"
            "jitter_percent = 7\n"
            "eq1_user_exposure = 1100000\n"
            "eq2_user_exposure = 920000\n"
            "eq2_user_iridix = 13\n"
            "eq2_count = 6\n"
            "eq3_user_wb = 2900\n"
            "eq3_user_iridix = 18\n"
            "eq3_count = 5\n"
            "sec_wait = 2\n"
            "Night Mode Disabled\n");
  EXPECT_FALSE(night_mode);
  EXPECT_EQ(mode_switch_wait, 2);
  EXPECT_EQ(modes(), Lines{"off"});
}

TEST_F(SoftwareMessages, QuietStartStillRunsTheDayCommand) {
  const Output output = captureOutput([] { startSoftwareMethod(); });
  EXPECT_EQ(output.out, "");
  EXPECT_EQ(output.err, "");
  EXPECT_EQ(mode_switch_wait, 3);
  EXPECT_EQ(modes(), Lines{"off"});
}

// Every message of a pass, through both ways back to day, at each verbosity:
// the raw triple from 2 on and always first in its pass.
TEST_F(SoftwareMessages, EachPassAtEachVerbosity) {
  struct Pass {
    IspInfo sample;
    int read_result;
    Lines messages;
  };
  const IspInfo bright = {1300000, 10, 5000};
  const IspInfo warm = {1310000, 20, 2500};
  const IspInfo dark = {900000, 10, 5000};
  const std::vector<Pass> passes = {
      {bright, kWhole, {"jitter active"}},
      {bright, kWhole, {"mode switch wait active"}},
      {bright, kWhole, {"Switching to night new exp=1300000", "Night Mode Enabled"}},
      {warm, kWhole, {"mode switch wait active"}},
      {warm, kWhole, {"Eq3 wait_count active wb=2500 iridix=20"}},
      {warm, 2, {}},
      {warm, kWhole, {"Eq3 switching to day mode wb=2500 iridix=20", "Night Mode Disabled"}},
      {warm, kWhole, {"mode switch wait active"}},
      {warm, kWhole, {"Switching to night new exp=1310000", "Night Mode Enabled"}},
      {dark, kWhole, {"jitter active"}},
      {dark, kWhole, {"mode switch wait active"}},
      {dark, kWhole, {"Eq2 wait_count active exp=900000 iridix=10"}},
      {dark, kWhole, {"Eq2 switching to day mode exp=900000 iridix=10", "Night Mode Disabled"}},
  };
  for (int32_t verbose = 0; verbose <= 3; ++verbose) {
    SCOPED_TRACE(verbose);
    GlobalsFixture::resetGlobals();
    settings.mode_command = mode_command_.c_str();
    settings.verbose = verbose;
    settings.sec_wait = 1;
    settings.eq2_count = 1;
    settings.eq3_count = 1;
    state_ = SoftwareState{0, 0, 0, {0, 0, 0}, kAll};

    std::string expected_out;
    std::string expected_err;
    const Output output = captureOutput([&] {
      startSoftwareMethod();
      for (const Pass& pass : passes) {
        feed(pass.sample.exposure, pass.sample.iridix, pass.sample.wb, pass.read_result);
        if (pass.read_result != kWhole) {
          expected_err += "Unable to read isp_info\n";
          continue;
        }
        if (verbose >= 2) {
          expected_out += "(" + std::to_string(pass.sample.exposure) + ", " + std::to_string(pass.sample.iridix) +
                          ", " + std::to_string(pass.sample.wb) + ")\n";
        }
        if (verbose >= 1)
          for (const std::string& message : pass.messages) expected_out += message + "\n";
      }
    });
    if (verbose >= 1) {
      const std::string start_dump =
          "Starting software method using \njitter_percent = 3\neq1_user_exposure = 1200000\n"
          "eq2_user_exposure = 930000\neq2_user_iridix = 14\neq2_count = 1\neq3_user_wb = 3000\n"
          "eq3_user_iridix = 17\neq3_count = 1\nsec_wait = 1\nNight Mode Disabled\n";
      expected_out = start_dump + expected_out;
    }
    EXPECT_EQ(output.out, expected_out);
    EXPECT_EQ(output.err, expected_err);
  }
  // Four runs of: off at start, on, off by Eq3, on, off by Eq2.
  Lines expected_modes;
  for (int run = 0; run < 4; ++run)
    for (const char* mode : {"off", "on", "off", "on", "off"}) expected_modes.push_back(mode);
  EXPECT_EQ(modes(), expected_modes);
}

// ---------------------------------------------------------------- absent statistics

using SoftwareAbsent = SoftwareTest;
const unsigned kNoIridix = kIspExposure | kIspWb;

TEST_F(SoftwareAbsent, WithoutIridixEq2HoldsOnTheExposureAlone) {
  settings.verbose = 2;
  atNight(900000);
  // The Iridix value held is an earlier file's, far above -2's: it must not count.
  Output output = captureOutput([&] {
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(feed(900000, 99, 2500, kWhole, kNoIridix).rule == SoftwareRule::kNone);
  });
  EXPECT_PRED2(test_support::startsWith, output.out,
               "(900000, -, 2500)\nEq2 wait_count active exp=900000 iridix=-\n(900000, -, 2500)\n");
  EXPECT_EQ(state_.eq2_wait_count, 10);
  SoftwareVerdict verdict;
  output = captureOutput([&] { verdict = feed(900000, 99, 2500, kWhole, kNoIridix); });
  EXPECT_EQ(output.out, "(900000, -, 2500)\nEq2 switching to day mode exp=900000 iridix=-\nNight Mode Disabled\n");
  EXPECT_TRUE(verdict.rule == SoftwareRule::kEq2);
  EXPECT_EQ(verdict.eq2_wait_count, 11);
  EXPECT_EQ(modes(), Lines{"off"});
}

TEST_F(SoftwareAbsent, Eq3NeedsBothIridixAndWhiteBalance) {
  // A warm, strongly corrected night: Eq3 would switch on the ninth sample
  // with both statistics, and never without either.
  for (unsigned published : {kNoIridix, kIspExposure | kIspIridix, kIspExposure}) {
    SCOPED_TRACE(published);
    GlobalsFixture::resetGlobals();
    settings.mode_command = mode_command_.c_str();
    atNight(1000000);
    for (int i = 0; i < 30; ++i) feed(1000000, 20, 2500, kWhole, published);
    EXPECT_EQ(state_.eq3_wait_count, 0);
    EXPECT_TRUE(night_mode);
  }
  EXPECT_EQ(modes(), Lines{});
  feedTimes(8, 1000000, 20, 2500);
  EXPECT_EQ(modes(), Lines{});
  EXPECT_TRUE(feed(1000000, 20, 2500).rule == SoftwareRule::kEq3);
  EXPECT_EQ(modes(), Lines{"off"});
}

TEST_F(SoftwareAbsent, TheRawLineShowsWhatTheFileDoesNotPublish) {
  settings.verbose = 2;
  mode_switch_wait = 5;
  const Output output = captureOutput([&] {
    feed(700000, 1, 2, kWhole, kIspExposure);
    feed(700000, 1, 2, kWhole, kNoIridix);
    feed(700000, -1, -2, kWhole, kAll);
  });
  EXPECT_EQ(output.out,
            "(700000, -, -)\njitter active\n(700000, -, 2)\nmode switch wait active\n"
            "(700000, -1, -2)\nmode switch wait active\n");
}

// ---------------------------------------------------------------- verdicts

TEST_F(SoftwareTest, AVerdictUsesItsOwnSettingsAndLeavesTheDaemonsStateAlone) {
  // What a replay does: its own settings, mode and settle period.
  settings.verbose = 2;
  Settings own;
  own.eq1_user_exposure = 500000;
  own.sec_wait = 1;
  int32_t wait = 1;
  SoftwareState state = {600000, 0, 0, {600000, 10, 5000}, kAll};
  const Output output = captureOutput([&] {
    EXPECT_TRUE(judgeIspSample(&state, own, false, &wait).rule == SoftwareRule::kSettle);
    EXPECT_EQ(wait, 0);
    const SoftwareVerdict verdict = judgeIspSample(&state, own, false, &wait);
    EXPECT_TRUE(verdict.rule == SoftwareRule::kEq1);
    EXPECT_TRUE(verdict.switches);
  });
  EXPECT_EQ(output.out + output.err, "");
  EXPECT_FALSE(night_mode);
  EXPECT_EQ(mode_switch_wait, 0);
  EXPECT_EQ(modes(), Lines{});
}

TEST_F(SoftwareTest, VerdictsNameTheRuleAndCarryTheCounts) {
  settings.eq2_count = 2;
  settings.eq3_user_iridix = 5;
  atNight(900000);
  SoftwareVerdict verdict = feed(900000, 10, 2000);
  EXPECT_TRUE(verdict.rule == SoftwareRule::kNone);
  EXPECT_FALSE(verdict.switches);
  EXPECT_EQ(verdict.eq2_wait_count, 1);
  EXPECT_EQ(verdict.eq3_wait_count, 1);
  mode_switch_wait = 1;
  verdict = feed(900000, 10, 2000);
  EXPECT_TRUE(verdict.rule == SoftwareRule::kSettle);
  EXPECT_EQ(verdict.eq2_wait_count, 1);
  EXPECT_TRUE(feed(1800000, 10, 2000).rule == SoftwareRule::kJitter);
  EXPECT_EQ(state_.eq2_wait_count, 0);
  feed(1800000, 10, 2000);
  feed(900000, 10, 2000);  // jitter again
  feedTimes(2, 900000, 10, 2000);
  verdict = feed(900000, 10, 2000);
  EXPECT_TRUE(verdict.rule == SoftwareRule::kEq2);
  EXPECT_EQ(verdict.eq2_wait_count, 3);
  EXPECT_EQ(modes(), Lines{"off"});
}

}  // namespace
