// The ISP's statistics as each generation of SoC publishes them: isp_info
// on T10 and T20, isp-m0 on the later ones, read from the real cameras'
// dumps and from files made of each driver's own format strings (both in
// LUMENFLIP_ISP_DUMPS).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "software.h"
#include "test_support.h"

namespace {

using test_support::captureOutput;
using test_support::Output;
using test_support::readFile;
using test_support::TempDir;
using test_support::writeFile;

const unsigned kAll = kIspExposure | kIspIridix | kIspWb;
const unsigned kNoIridix = kIspExposure | kIspWb;

std::string dumps() { return LUMENFLIP_ISP_DUMPS; }

// A file of the real cameras' dumps, or "" when they are not here.
std::string dump(const std::string& name) {
  const std::string path = dumps() + "/" + name;
  return test_support::fileExists(path) ? readFile(path) : "";
}

// A file as a generation's driver writes it: each line of its format
// strings filled in, the exposure's and the white balance's with the values
// given, every other number with 7 and every text with "x"; without the
// lines that stand in the file only while the sensor is not running, and
// the driver's bare version strings. `isp` numbers a T40's block.
std::string fromFormat(const std::string& format, int32_t exposure, int32_t wb, int isp = 0) {
  static const std::regex kPlaceholder("^(sensor doesn't work|This ISP\\( %d \\) Don't Wrok|H[0-9]{8}[a-z]$)");
  static const std::regex kNumber("%0?[0-9]*[dux]");
  std::istringstream lines(format);
  std::string line;
  std::string file;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, kPlaceholder)) continue;
    std::string value = "7";
    if (line.rfind("****", 0) == 0) value = std::to_string(isp);
    if (line == "ISP EV value log2: %d" || line == "EVLog2 : %d") value = std::to_string(exposure);
    if (line == "ISP WB color temperature: %d" || line == "AWBColorTemperature: %d") value = std::to_string(wb);
    line = std::regex_replace(line, kNumber, value);
    line = std::regex_replace(line, std::regex("%s"), "x");
    file += line + "\n";
  }
  return file;
}

class IspGenerations : public test_support::GlobalsFixture {
 protected:
  void SetUp() override {
    GlobalsFixture::SetUp();
    if (dump("README.md").empty()) GTEST_SKIP() << "no ISP dumps in " << dumps();
    settings.verbose = 1;
    isp_info_ = dir_.file("isp_info");
    isp_m0_ = dir_.file("isp-m0");
    reader_ = makeIspReader(isp_info_.c_str(), isp_m0_.c_str());
  }

  struct Read {
    bool whole;
    IspInfo sample;
    unsigned published;
    std::string out;
    std::string err;
  };

  Read read() {
    Read r = {false, {-1, -1, -1}, 0, "", ""};
    const Output output = captureOutput([&] { r.whole = readIspSample(&reader_, &r.sample, &r.published); });
    r.out = output.out;
    r.err = output.err;
    return r;
  }

  static std::string source(const std::string& path, const std::string& labels, const std::string& gives) {
    return "ISP statistics: " + path + " (" + labels + " labels): " + gives + "\n";
  }

  TempDir dir_;
  std::string isp_info_;
  std::string isp_m0_;
  IspReader reader_;
};

const char kT31Gives[] = "exposure, white balance; no Iridix: day by exposure alone, white-balance rule off";

TEST_F(IspGenerations, RealT31DumpsAtIspM0) {
  writeFile(isp_m0_, dump("t31-gc2083-day.isp-m0"));
  Read r = read();
  EXPECT_TRUE(r.whole);
  EXPECT_EQ(r.sample.exposure, 752023);
  EXPECT_EQ(r.sample.wb, 4686);
  EXPECT_EQ(r.sample.iridix, -1) << "no Iridix is written";
  EXPECT_EQ(r.published, kNoIridix);
  EXPECT_EQ(r.out, source(isp_m0_, "T23/T31", kT31Gives));
  EXPECT_EQ(r.err, "");

  // Said once: the same file with the same labels says nothing more.
  writeFile(isp_m0_, dump("t31-gc2083-lowlight.isp-m0"));
  r = read();
  EXPECT_TRUE(r.whole);
  EXPECT_EQ(r.sample.exposure, 1176104);
  EXPECT_EQ(r.sample.wb, 3825);
  EXPECT_EQ(r.out + r.err, "");
}

TEST_F(IspGenerations, RealT20DumpAtIspInfoReadsAsOfOld) {
  writeFile(isp_info_, dump("t20-jxf23-day.isp_info"));
  const Read r = read();
  EXPECT_TRUE(r.whole);
  EXPECT_EQ(r.sample.exposure, 718531);
  EXPECT_EQ(r.sample.iridix, 69);
  EXPECT_EQ(r.sample.wb, 3600);
  EXPECT_EQ(r.published, kAll);
  EXPECT_EQ(r.out + r.err, "") << "isp_info's lines are those of old";
}

TEST_F(IspGenerations, FormatsOfEveryGeneration) {
  struct Case {
    const char* format;
    const char* labels;
    unsigned published;
    const char* gives;
  };
  const Case cases[] = {
      {"t21.format", "T21", kIspExposure,
       "exposure; no white balance, no Iridix: day by exposure alone, white-balance rule off"},
      {"t23.format", "T23/T31", kNoIridix, kT31Gives},
      {"t31.format", "T23/T31", kNoIridix, kT31Gives},
      {"t40.format", "T40/T41", kNoIridix, kT31Gives},
      {"t41.format", "T40/T41", kNoIridix, kT31Gives},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    reader_ = makeIspReader(isp_info_.c_str(), isp_m0_.c_str());
    writeFile(isp_m0_, fromFormat(dump(c.format), 1100000, 5200));
    const Read r = read();
    EXPECT_TRUE(r.whole);
    EXPECT_EQ(r.sample.exposure, 1100000);
    EXPECT_EQ(r.published, c.published);
    if (c.published & kIspWb) {
      EXPECT_EQ(r.sample.wb, 5200);
    }
    EXPECT_EQ(r.out, source(isp_m0_, c.labels, c.gives));
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(IspGenerations, TwoIspsLongLinesAndTheFirstIspsStatistics) {
  // A two-sensor T40: a long default path and anti-flicker list before the
  // first ISP's exposure, then the second ISP's own block.
  std::string first = fromFormat(dump("t40.format"), 990000, 4100, 0);
  first = std::regex_replace(first, std::regex("DefaultPath : x"), "DefaultPath : /etc/sensor/" + std::string(180, 'p'));
  first = std::regex_replace(first, std::regex("Antiflicker nodes: 7: step : "),
                             "Antiflicker nodes: 40: step : " + std::string(300, '9'));
  const std::string second = fromFormat(dump("t40.format"), 300000, 6500, 1);
  writeFile(isp_m0_, first + second);
  Read r = read();
  EXPECT_TRUE(r.whole);
  EXPECT_EQ(r.sample.exposure, 990000);
  EXPECT_EQ(r.sample.wb, 4100);

  // The first ISP not running is a failed read, whatever the second gives.
  writeFile(isp_m0_, "****************** ISP( 0 ) INFO **********************\nThis ISP( 0 ) Don't Wrok\n" + second);
  r = read();
  EXPECT_FALSE(r.whole);
}

TEST_F(IspGenerations, PlaceholdersAndFilesWithoutAnExposureFailQuietly) {
  const std::string t31 = dump("t31-gc2083-day.isp-m0");
  const std::string placeholders[] = {
      "****************** ISP INFO **********************\nsensor doesn't work, please enable sensor\n",
      "****************** ISP( 0 ) INFO **********************\nThis ISP( 0 ) Don't Wrok\n",
      "",
      std::regex_replace(t31, std::regex("ISP EV value log2: 752023"), "ISP EV value log2: n/a"),
      std::regex_replace(t31, std::regex("ISP WB color temperature: 4686\n"), "ISP WB color temperature: \n"),
      std::regex_replace(t31, std::regex("ISP EV value log2: 752023\n"), ""),
  };
  for (const std::string& content : placeholders) {
    SCOPED_TRACE(content.substr(0, 120));
    writeFile(isp_m0_, content);
    const Read r = read();
    EXPECT_FALSE(r.whole);
    EXPECT_EQ(r.out + r.err, "");
  }
  // Then the statistics arrive.
  writeFile(isp_m0_, t31);
  const Read r = read();
  EXPECT_TRUE(r.whole);
  EXPECT_EQ(r.out, source(isp_m0_, "T23/T31", kT31Gives));
}

TEST_F(IspGenerations, CollidingPrefixesAreNotTheExposure) {
  // "ISP EV value: " and "ISP EV value us: " come first in every dump.
  writeFile(isp_m0_, "ISP EV value: 2846\nISP EV value us: 39762\nISP EV value log2: 752023\n");
  const Read r = read();
  EXPECT_TRUE(r.whole);
  EXPECT_EQ(r.sample.exposure, 752023);
  EXPECT_EQ(r.published, kIspExposure);
}

TEST_F(IspGenerations, LinesLongerThanTheBufferAreSkipped) {
  // The first line's rest, past a full buffer, would read as an exposure.
  writeFile(isp_m0_, std::string(8192, 'x') + "ISP EV value log2: 1\n" + std::string(20000, 'x') + "\n" +
                         "ISP EV value log2: 5" + std::string(9000, '1') +
                         "\nISP EV value log2: 752023\nISP WB color temperature: 4686\n");
  const Read r = read();
  EXPECT_TRUE(r.whole);
  EXPECT_EQ(r.sample.exposure, 752023) << "the cut line's value is not taken";
  EXPECT_EQ(r.sample.wb, 4686);
}

TEST_F(IspGenerations, IspInfoWinsAndTheFileInUseIsKept) {
  writeFile(isp_info_, dump("t20-jxf23-day.isp_info"));
  writeFile(isp_m0_, dump("t31-gc2083-day.isp-m0"));
  EXPECT_EQ(read().sample.exposure, 718531);

  unlink(isp_info_.c_str());
  Read r = read();
  EXPECT_EQ(r.sample.exposure, 752023);
  EXPECT_EQ(r.out, source(isp_m0_, "T23/T31", kT31Gives));

  // isp_info coming back changes nothing while isp-m0 can be opened.
  writeFile(isp_info_, dump("t20-jxf23-day.isp_info"));
  EXPECT_EQ(read().sample.exposure, 752023);
  unlink(isp_m0_.c_str());
  r = read();
  EXPECT_EQ(r.sample.exposure, 718531);
  EXPECT_EQ(r.out, source(isp_info_, "T10/T20/T30", "exposure, Iridix, white balance"));

  unlink(isp_info_.c_str());
  r = read();
  EXPECT_FALSE(r.whole);
  EXPECT_EQ(r.err, "ERROR: readIspInfo: open failed\n");
}

TEST_F(IspGenerations, AFileThatAppearsLateIsPickedUp) {
  EXPECT_FALSE(read().whole);
  writeFile(isp_m0_, fromFormat(dump("t21.format"), 800000, 0));
  const Read r = read();
  EXPECT_TRUE(r.whole);
  EXPECT_EQ(r.sample.exposure, 800000);
}

TEST_F(IspGenerations, AChangeOfLabelsIsSaid) {
  writeFile(isp_m0_, fromFormat(dump("t31.format"), 800000, 5000));
  EXPECT_EQ(read().out, source(isp_m0_, "T23/T31", kT31Gives));
  writeFile(isp_m0_, dump("t20-jxf23-day.isp_info"));  // T30: the old labels in isp-m0
  const Read r = read();
  EXPECT_EQ(r.published, kAll);
  EXPECT_EQ(r.out, source(isp_m0_, "T10/T20/T30", "exposure, Iridix, white balance"));
  settings.verbose = 0;
  writeFile(isp_m0_, fromFormat(dump("t31.format"), 800000, 5000));
  EXPECT_EQ(read().out, "");
}

// A read that returns less than it asked for, ending a line, is the whole
// file, as a proc file hands it out: no second read waits for its end. One
// that ends inside a line is read on.
TEST_F(IspGenerations, AShortReadEndingALineIsTheWholeFile) {
  const std::string t31 = dump("t31-gc2083-day.isp-m0");
  ASSERT_EQ(mkfifo(isp_m0_.c_str(), 0600), 0);
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction saved = {};
  sigaction(SIGPIPE, &ignore, &saved);
  std::promise<void> read_done;
  bool released_by_the_reader = false;
  std::thread writer([&] {
    const int fd = open(isp_m0_.c_str(), O_WRONLY);
    // Cut inside the white balance's value: the reader must read on.
    const size_t at = t31.find("4686") + 2;
    EXPECT_EQ(write(fd, t31.data(), at), static_cast<ssize_t>(at));
    // The rest only once the reader has taken the first part on its own.
    int unread = 1;
    for (int i = 0; i < 2000 && ioctl(fd, FIONREAD, &unread) == 0 && unread > 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(unread, 0);
    EXPECT_EQ(write(fd, t31.data() + at, t31.size() - at), static_cast<ssize_t>(t31.size() - at));
    // Held open, as though more were to come, until the read has returned
    // (or, should it wait for the end of the file, long enough to tell).
    released_by_the_reader = read_done.get_future().wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    close(fd);
  });
  const Read r = read();
  read_done.set_value();
  writer.join();
  sigaction(SIGPIPE, &saved, nullptr);
  EXPECT_TRUE(released_by_the_reader) << "the read waited for the end of the file";
  EXPECT_TRUE(r.whole);
  EXPECT_EQ(r.sample.exposure, 752023);
  EXPECT_EQ(r.sample.wb, 4686) << "the value cut between two reads";
}

}  // namespace
