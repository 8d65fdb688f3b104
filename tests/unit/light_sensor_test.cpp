// ADC reads, averaging, the sample window and the hysteresis decision.
#include "light_sensor.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "control.h"
#include "test_support.h"

namespace {

using test_support::captureOutput;
using test_support::Output;
using test_support::readFile;
using test_support::TempDir;
using test_support::writeFile;

// One raw conversion as the driver returns it: 4 bytes in host order.
std::string word(uint32_t raw) {
  char bytes[sizeof raw];
  memcpy(bytes, &raw, sizeof raw);
  return std::string(bytes, sizeof raw);
}

int openDescriptors() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

// Serves `bytes` to the next reader of the FIFO at `path`, then closes its
// end. Waits up to 5 s for the reader so that a broken test cannot hang.
std::thread feedFifo(const std::string& path, const std::string& bytes) {
  return std::thread([path, bytes] {
    int fd = -1;
    for (int tries = 0; tries < 5000 && fd < 0; ++tries) {
      fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);  // fails until a reader is there
      if (fd < 0) usleep(1000);
    }
    if (fd < 0) return;
    if (!bytes.empty() && write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      ADD_FAILURE() << "short write to " << path;
    }
    close(fd);
  });
}

class LightSensorRead : public ::testing::Test {
 protected:
  std::string device(const std::string& bytes) {
    const std::string path = dir_.file("adc");
    writeFile(path, bytes);
    return path;
  }

  TempDir dir_;
};

TEST_F(LightSensorRead, EachOpenReadsOneHostOrderWord) {
  // A regular file stands in for the device: every open reads from the start.
  const std::string path = device(word(0x12345678u) + word(7));
  for (int i = 0; i < 2; ++i) {
    uint32_t value = 0;
    EXPECT_EQ(1, jzAuxRead(path.c_str(), &value));
    EXPECT_EQ(0x12345678u, value);
  }
}

TEST_F(LightSensorRead, AnythingButFourBytesIsAFailedRead) {
  uint32_t value = 0;
  EXPECT_EQ(0, jzAuxRead(device("\x01\x02").c_str(), &value));
  EXPECT_EQ(0, jzAuxRead(device("\x01\x02\x03").c_str(), &value));
  EXPECT_EQ(0, jzAuxRead(device("").c_str(), &value));

  errno = 0;
  EXPECT_EQ(0, jzAuxRead(dir_.path().c_str(), &value));  // opens, but read fails
  EXPECT_EQ(EISDIR, errno);  // the read's error survives the close
}

TEST_F(LightSensorRead, MissingDeviceFailsToOpen) {
  uint32_t value = 0;
  errno = 0;
  EXPECT_EQ(-1, jzAuxRead(dir_.file("missing").c_str(), &value));
  EXPECT_EQ(ENOENT, errno);
}

TEST_F(LightSensorRead, ReadsFromAFifo) {
  const std::string path = dir_.file("fifo");
  ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
  uint32_t value = 0;

  std::thread writer = feedFifo(path, word(0xCAFEF00Du));
  EXPECT_EQ(1, jzAuxRead(path.c_str(), &value));
  writer.join();
  EXPECT_EQ(0xCAFEF00Du, value);

  writer = feedFifo(path, "\x01\x02");  // writer gone after 2 bytes
  EXPECT_EQ(0, jzAuxRead(path.c_str(), &value));
  writer.join();

  writer = feedFifo(path, "");  // end of file at once
  EXPECT_EQ(0, jzAuxRead(path.c_str(), &value));
  writer.join();
}

TEST_F(LightSensorRead, AverageTakesRawWordsAsUnsigned) {
  double average = 0.0;
  EXPECT_EQ(1, jzAuxReadAverage(device(word(0xFFFFFFFFu)).c_str(), &average, 3));
  EXPECT_EQ(4294967295.0, average);
  EXPECT_EQ(1, jzAuxReadAverage(device(word(0x80000000u)).c_str(), &average, 1));
  EXPECT_EQ(2147483648.0, average);
  EXPECT_EQ(1, jzAuxReadAverage(device(word(41)).c_str(), &average, 7));
  EXPECT_EQ(41.0, average);
}

TEST_F(LightSensorRead, AverageFailsOnCountBelowOneOrAnyBadRead) {
  const std::string good = device(word(5));
  double average = -1.0;
  EXPECT_EQ(0, jzAuxReadAverage(good.c_str(), &average, 0));
  EXPECT_EQ(0, jzAuxReadAverage(good.c_str(), &average, -1));
  EXPECT_EQ(0, jzAuxReadAverage(good.c_str(), &average, INT32_MIN));
  errno = 0;
  EXPECT_EQ(0, jzAuxReadAverage(dir_.file("missing").c_str(), &average, 3));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(0, jzAuxReadAverage(device("\x05").c_str(), &average, 3));
  EXPECT_EQ(-1.0, average);  // untouched by every failure
}

TEST_F(LightSensorRead, AverageOutputIsOptional) {
  EXPECT_EQ(1, jzAuxReadAverage(device(word(5)).c_str(), nullptr, 3));
  EXPECT_EQ(0, jzAuxReadAverage(dir_.file("missing").c_str(), nullptr, 3));
}

TEST_F(LightSensorRead, EveryReadClosesTheDevice) {
  const std::string path = device(word(5));
  const int before = openDescriptors();
  double average = 0.0;
  // More reads than a process may hold open at once.
  EXPECT_EQ(1, jzAuxReadAverage(path.c_str(), &average, 2000));
  const std::string short_path = dir_.file("short");
  writeFile(short_path, "ab");
  uint32_t value = 0;
  for (int i = 0; i < 100; ++i) jzAuxRead(short_path.c_str(), &value);
  EXPECT_EQ(before, openDescriptors());
}

// One pass of the method at a time, with a regular file as the device whose
// word the test rewrites between samples, and a script recording switches.
class LightSensorPass : public test_support::GlobalsFixture {
 protected:
  void SetUp() override {
    GlobalsFixture::SetUp();
    adc_ = dir_.file("adc");
    log_ = dir_.file("calls.log");
    recorder_ = dir_.file("record.sh");
    writeFile(recorder_, "#!/bin/sh\necho \"$@\" >> '" + log_ + "'\n", 0755);
    settings.adc_device = adc_.c_str();
    settings.adc_reads = 3;
    settings.verbose = 1;
    settings.mode_command = recorder_.c_str();
    useWindow(3);
  }

  void TearDown() override {
    free(window_.samples);
    GlobalsFixture::TearDown();
  }

  void useWindow(int32_t size) {
    free(window_.samples);
    window_.samples = nullptr;
    settings.window_size = size;
    ASSERT_EQ(0, openLightWindow(&window_, size));
  }

  // What the method's loop does with one sample: the pass, then the switch
  // it decided.
  Output pass() {
    return captureOutput([this] {
      if (lightSensorPass(&window_).switches) toggleNightMode();
    });
  }

  Output sample(uint32_t raw) {
    writeFile(adc_, word(raw));
    return pass();
  }

  Output failedSample() {
    std::filesystem::remove(adc_);
    return pass();
  }

  std::string switches() const { return readFile(log_); }

  TempDir dir_;
  std::string adc_;
  std::string log_;
  std::string recorder_;
  LightWindow window_ = {nullptr, 0, 0, false};
};

TEST_F(LightSensorPass, FirstDecisionOnTheSampleThatFillsTheWindow) {
  for (int i = 0; i < 2; ++i) {
    const Output output = sample(10);
    EXPECT_EQ("Current value: 10.00\n", output.out);
    EXPECT_EQ("", output.err);
    EXPECT_FALSE(night_mode);
  }
  EXPECT_EQ("", switches());

  EXPECT_EQ("Current value: 10.00\nWindow (3) Avg: 10.00\nNight Mode Enabled\n", sample(10).out);
  EXPECT_TRUE(night_mode);
  EXPECT_EQ("on\n", switches());

  // From then on every sample is judged.
  EXPECT_EQ("Current value: 10.00\nWindow (3) Avg: 10.00\n", sample(10).out);
}

TEST_F(LightSensorPass, MeanCoversEverySlotOfTheRing) {
  EXPECT_EQ("Current value: 30.00\n", sample(30).out);
  EXPECT_EQ("Current value: 60.00\n", sample(60).out);
  EXPECT_EQ("Current value: 90.00\nWindow (3) Avg: 60.00\n", sample(90).out);
  EXPECT_EQ("Current value: 0.00\nWindow (3) Avg: 50.00\n", sample(0).out);  // replaces 30
  EXPECT_EQ("Current value: 0.00\nWindow (3) Avg: 30.00\nNight Mode Enabled\n", sample(0).out);
  EXPECT_EQ("Current value: 90.00\nWindow (3) Avg: 30.00\n", sample(90).out);  // replaces 90
  EXPECT_EQ("Current value: 90.00\nWindow (3) Avg: 60.00\nNight Mode Disabled\n", sample(90).out);
  EXPECT_EQ("on\noff\n", switches());
}

TEST_F(LightSensorPass, ThresholdsAreInclusiveAndTheBandHoldsEitherState) {
  useWindow(1);
  for (uint32_t raw = 44; raw >= 41; --raw) sample(raw);
  EXPECT_FALSE(night_mode);
  sample(40);
  EXPECT_TRUE(night_mode);
  for (uint32_t raw = 41; raw <= 44; ++raw) sample(raw);
  EXPECT_TRUE(night_mode);
  sample(45);
  EXPECT_FALSE(night_mode);
  EXPECT_EQ("on\noff\n", switches());
}

TEST_F(LightSensorPass, ThresholdsCompareTheMeanNotTheSample) {
  // 40, 40, 40 gives exactly 40; then 45s lift the mean to exactly 45 on
  // the third of them.
  for (int i = 0; i < 3; ++i) sample(40);
  EXPECT_TRUE(night_mode);
  sample(45);
  sample(45);
  EXPECT_TRUE(night_mode);
  EXPECT_EQ("Current value: 45.00\nWindow (3) Avg: 45.00\nNight Mode Disabled\n", sample(45).out);
  EXPECT_FALSE(night_mode);
}

TEST_F(LightSensorPass, AtMostOneSwitchPerSample) {
  // Overlapping thresholds: 47 qualifies for both directions.
  settings.on_threshold = 50.0;
  settings.off_threshold = 45.0;
  useWindow(1);
  sample(47);
  EXPECT_TRUE(night_mode);
  EXPECT_EQ("on\n", switches());
  sample(47);
  EXPECT_FALSE(night_mode);
  EXPECT_EQ("on\noff\n", switches());
}

TEST_F(LightSensorPass, TopBitSetCountsAsALargeValue) {
  useWindow(1);
  EXPECT_EQ("Current value: 4294967295.00\nWindow (1) Avg: 4294967295.00\n", sample(0xFFFFFFFFu).out);
  EXPECT_FALSE(night_mode);
}

TEST_F(LightSensorPass, SwitchesQuietlyWithoutVerbose) {
  settings.verbose = 0;
  useWindow(1);
  const Output output = sample(0);
  EXPECT_EQ("", output.out + output.err);
  EXPECT_TRUE(night_mode);
  EXPECT_EQ("on\n", switches());
}

TEST_F(LightSensorPass, FailedSampleLeavesTheWindowAlone) {
  // Thresholds out of reach: only the means matter here.
  settings.on_threshold = -1.0;
  settings.off_threshold = 1e12;
  sample(10);
  const Output failed = failedSample();
  EXPECT_EQ("ERROR: jzAuxReadAverage(3) failed: No such file or directory\n", failed.err);
  EXPECT_EQ("", failed.out);
  EXPECT_EQ("Current value: 20.00\n", sample(20).out);  // still filling
  EXPECT_EQ("Current value: 30.00\nWindow (3) Avg: 20.00\n", sample(30).out);

  failedSample();
  failedSample();
  // Overwrites the first slot (10), not the second: (70 + 20 + 30) / 3.
  EXPECT_EQ("Current value: 70.00\nWindow (3) Avg: 40.00\n", sample(70).out);
  EXPECT_EQ("", switches());
}

TEST_F(LightSensorPass, FailedSampleNeverSwitches) {
  useWindow(1);
  sample(0);
  ASSERT_TRUE(night_mode);
  failedSample();
  EXPECT_TRUE(night_mode);
  EXPECT_EQ("on\n", switches());
}

TEST_F(LightSensorPass, ErrorNamesTheReadCountAndTheErrorText) {
  settings.adc_device = dir_.path().c_str();  // opens, then the read fails
  EXPECT_EQ("ERROR: jzAuxReadAverage(3) failed: Is a directory\n", pass().err);

  writeFile(adc_, word(0));
  settings.adc_device = adc_.c_str();
  settings.adc_reads = 0;
  const Output output = pass();
  EXPECT_PRED2(test_support::startsWith, output.err, "ERROR: jzAuxReadAverage(0) failed: ");
  EXPECT_PRED2(test_support::endsWith, output.err, "\n");
  EXPECT_EQ("", output.out);
  settings.adc_reads = -5;
  EXPECT_PRED2(test_support::startsWith, pass().err, "ERROR: jzAuxReadAverage(-5) failed: ");
  EXPECT_EQ("", switches());
}

class LightSensorWindow : public test_support::GlobalsFixture {};

TEST_F(LightSensorWindow, RefusesAWindowBelowOneSample) {
  for (int32_t size : {0, -7, INT32_MIN}) {
    LightWindow window;
    int status = 0;
    const Output output = captureOutput([&] { status = openLightWindow(&window, size); });
    EXPECT_EQ(1, status) << size;
    EXPECT_EQ("", output.out);
    EXPECT_PRED2(test_support::contains, output.err, "-n");
    EXPECT_PRED2(test_support::contains, output.err, std::to_string(size));
    EXPECT_EQ(output.err.find('\n'), output.err.size() - 1) << "one line: " << output.err;
  }
}

TEST_F(LightSensorWindow, AcceptsOneSample) {
  LightWindow window;
  int status = -1;
  const Output output = captureOutput([&] { status = openLightWindow(&window, 1); });
  EXPECT_EQ(0, status);
  EXPECT_EQ("", output.out + output.err);
  EXPECT_EQ(1, window.size);
  free(window.samples);
}

}  // namespace
