// Tests of the ISP information reader on files and FIFOs written here.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "software.h"
#include "test_support.h"

namespace {

// What an output holds when the reader has not written it.
const int32_t kUntouched = -777;

const char kInvalidParam[] = "ERROR: readIspInfo: Invalid param\n";
const char kOpenFailed[] = "ERROR: readIspInfo: open failed\n";

std::string lineTooLong(int held) {
  return "ERROR: readIspInfo: line is longer than " + std::to_string(held) + " chars buf\n";
}

const std::string kExposure = "ISP exposure log2 id: ";
const std::string kIridix = "ISP Iridix strength : ";
const std::string kWb = "ISP WB Temperature : ";

struct Reading {
  int result;
  int32_t exposure;
  int32_t iridix;
  int32_t wb;
  std::string err;
};

Reading readPath(const std::string& path) {
  Reading r{0, kUntouched, kUntouched, kUntouched, {}};
  testing::internal::CaptureStderr();
  r.result = readIspInfoFile(path.c_str(), &r.exposure, &r.iridix, &r.wb);
  r.err = testing::internal::GetCapturedStderr();
  return r;
}

// Ignores SIGPIPE while alive, so a writer whose reader has gone sees EPIPE.
class IgnoreSigpipe {
 public:
  IgnoreSigpipe() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &saved_);
  }
  ~IgnoreSigpipe() { sigaction(SIGPIPE, &saved_, nullptr); }
  IgnoreSigpipe(const IgnoreSigpipe&) = delete;
  IgnoreSigpipe& operator=(const IgnoreSigpipe&) = delete;

 private:
  struct sigaction saved_ = {};
};

// Writes `pieces` into a FIFO from its own thread, pausing between them so
// that the reader sees each piece as a separate short read.
class FifoWriter {
 public:
  FifoWriter(std::string path, std::vector<std::string> pieces, std::chrono::milliseconds pause)
      : thread_([this, path = std::move(path), pieces = std::move(pieces), pause] { run(path, pieces, pause); }) {}
  ~FifoWriter() { join(); }
  FifoWriter(const FifoWriter&) = delete;
  FifoWriter& operator=(const FifoWriter&) = delete;

  void join() {
    if (thread_.joinable()) thread_.join();
  }
  bool opened() const { return opened_; }
  bool sawBrokenPipe() const { return broken_pipe_; }

 private:
  void run(const std::string& path, const std::vector<std::string>& pieces, std::chrono::milliseconds pause) {
    // Wait for the reader without blocking for ever if it never opens.
    int fd = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((fd = open(path.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && errno == ENXIO &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (fd < 0) return;
    opened_ = true;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    for (size_t i = 0; i < pieces.size() && !broken_pipe_; ++i) {
      if (i > 0) std::this_thread::sleep_for(pause);
      const std::string& piece = pieces[i];
      size_t done = 0;
      while (done < piece.size()) {
        const ssize_t wrote = write(fd, piece.data() + done, piece.size() - done);
        if (wrote < 0) {
          if (errno == EINTR) continue;
          broken_pipe_ = errno == EPIPE;
          break;
        }
        done += static_cast<size_t>(wrote);
      }
    }
    close(fd);
  }

  bool opened_ = false;
  bool broken_pipe_ = false;
  std::thread thread_;
};

class IspReader : public testing::Test {
 protected:
  std::string pathOf(const std::string& name) const { return dir_.file(name); }

  std::string writeFile(const std::string& content, mode_t mode = 0644) const {
    const std::string path = pathOf("isp_info");
    test_support::writeFile(path, content, mode);
    return path;
  }

  Reading readContent(const std::string& content) const { return readPath(writeFile(content)); }

  std::string makeFifo() const {
    const std::string path = pathOf("isp_fifo");
    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
    return path;
  }

  Reading readThroughFifo(std::vector<std::string> pieces, std::chrono::milliseconds pause,
                          bool* broken_pipe = nullptr) const {
    const std::string path = makeFifo();
    IgnoreSigpipe ignore_sigpipe;
    FifoWriter writer(path, std::move(pieces), pause);
    Reading r = readPath(path);
    writer.join();
    EXPECT_TRUE(writer.opened());
    if (broken_pipe) *broken_pipe = writer.sawBrokenPipe();
    return r;
  }

  test_support::TempDir dir_;
};

// A driver dump in the usual layout, with the three lines among others.
const char kDriverDump[] =
    "****************** ISP INFO **********************\n"
    "Software Version : V2.0.0\n"
    "SENSOR NAME : jxf22\n"
    "SENSOR OUTPUT WIDTH : 1920\n"
    "ISP exposure log2 id: 1052346\n"
    "ISP AE Target : 43\n"
    "ISP Iridix strength : 12\n"
    "ISP AWB Mode : auto\n"
    "ISP WB Temperature : 4800\n"
    "ISP Saturation : 128\n";

using IspReaderStop = IspReader;
using IspReaderMissing = IspReader;
using IspReaderLastLine = IspReader;
using IspReaderValue = IspReader;
using IspReaderLongLine = IspReader;
using IspReaderRepeat = IspReader;
using IspReaderFile = IspReader;
using IspReaderShortRead = IspReader;

TEST_F(IspReaderStop, ReadsTheDriverDump) {
  const Reading r = readContent(kDriverDump);
  EXPECT_EQ(r.result, 3);
  EXPECT_EQ(r.exposure, 1052346);
  EXPECT_EQ(r.iridix, 12);
  EXPECT_EQ(r.wb, 4800);
  EXPECT_EQ(r.err, "");
}

TEST_F(IspReaderStop, AnyOrderThenNothingAfterTheThirdIsLookedAt) {
  std::array<std::string, 3> lines = {kExposure + "930000\n", kIridix + "14\n", kWb + "3000\n"};
  std::sort(lines.begin(), lines.end());
  do {
    // The trailing line has no break and would be reported if it were read,
    // and a fourth prefix would change a value.
    const Reading r = readContent("header\n" + lines[0] + "other : 1\n" + lines[1] + lines[2] + kWb + "1\n" +
                                  std::string(150, 'z'));
    SCOPED_TRACE(lines[0] + lines[1] + lines[2]);
    EXPECT_EQ(r.result, 3);
    EXPECT_EQ(r.exposure, 930000);
    EXPECT_EQ(r.iridix, 14);
    EXPECT_EQ(r.wb, 3000);
    EXPECT_EQ(r.err, "");
  } while (std::next_permutation(lines.begin(), lines.end()));
}

TEST_F(IspReaderStop, ClosesTheFileOnceAllThreeAreRead) {
  // Far more than a pipe holds: the writer can only finish if the reader
  // keeps reading, and sees EPIPE if it closes early.
  std::string filler;
  while (filler.size() < (1u << 20)) filler += "ISP filler line : 0123456789\n";
  bool broken_pipe = false;
  const Reading r = readThroughFifo({kDriverDump, filler}, std::chrono::milliseconds(0), &broken_pipe);
  EXPECT_EQ(r.result, 3);
  EXPECT_EQ(r.wb, 4800);
  EXPECT_TRUE(broken_pipe);
}

TEST_F(IspReaderMissing, LinesNotFoundLeaveTheirOutputs) {
  Reading r = readContent("head\n" + kExposure + "930000\nmiddle\n" + kIridix + "14\ntail\n");
  EXPECT_EQ(r.result, 2);
  EXPECT_EQ(r.exposure, 930000);
  EXPECT_EQ(r.iridix, 14);
  EXPECT_EQ(r.wb, kUntouched);
  EXPECT_EQ(r.err, "");

  r = readContent(kWb + "3000\n");
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.exposure, kUntouched);
  EXPECT_EQ(r.iridix, kUntouched);
  EXPECT_EQ(r.wb, 3000);
}

TEST_F(IspReaderMissing, PrefixesMatchOnlyExactlyAtTheLineStart) {
  const Reading r = readContent(
      // The space that ends each prefix is part of it.
      "ISP exposure log2 id:5\n"
      "ISP Iridix strength :5\n"
      "ISP WB Temperature :5\n"
      // Case, a space inside the prefix, text before it.
      "isp Iridix strength : 5\n"
      "ISP WB Temperature: 5\n"
      " ISP WB Temperature : 5\n"
      "XISP exposure log2 id: 5\n");
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.exposure, kUntouched);
  EXPECT_EQ(r.iridix, kUntouched);
  EXPECT_EQ(r.wb, kUntouched);
  EXPECT_EQ(r.err, "");
}

TEST_F(IspReaderMissing, EmptyFileGivesZeroWithoutMessage) {
  const Reading r = readContent("");
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.exposure, kUntouched);
  EXPECT_EQ(r.err, "");
}

TEST_F(IspReaderLastLine, LoneLineWithoutBreakCountsAndIsReported) {
  const Reading r = readContent(kExposure + "1052346");
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.exposure, 1052346);
  EXPECT_EQ(r.iridix, kUntouched);
  EXPECT_EQ(r.err, lineTooLong(29));
}

TEST_F(IspReaderLastLine, ThirdLineWithoutBreakEndsQuietly) {
  const Reading r = readContent(kExposure + "930000\n" + kIridix + "14\n" + kWb + "3000");
  EXPECT_EQ(r.result, 3);
  EXPECT_EQ(r.wb, 3000);
  EXPECT_EQ(r.err, "");
}

TEST_F(IspReaderLastLine, UnrecognisedLastLineReportsCountSoFar) {
  const Reading r = readContent(kExposure + "930000\n" + kIridix + "14\ntrailer");
  EXPECT_EQ(r.result, 2);
  EXPECT_EQ(r.exposure, 930000);
  EXPECT_EQ(r.iridix, 14);
  EXPECT_EQ(r.wb, kUntouched);
  EXPECT_EQ(r.err, lineTooLong(7));
}

TEST_F(IspReaderLastLine, ValueStopsAtTheBytesHeld) {
  // Moving the last line to the front leaves "777" from the first line just
  // past the bytes held; they must not become part of the value.
  const Reading r = readContent(std::string(23, 'x') + "777\n" + kExposure + "5");
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.exposure, 5);
  EXPECT_EQ(r.err, lineTooLong(23));
}

TEST_F(IspReaderLastLine, ValueRunningToTheEndOfAFullBuffer) {
  const Reading r = readContent(kExposure + std::string(76, '0') + "42" + "999\n");
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.exposure, 42);
  EXPECT_EQ(r.err, lineTooLong(100));
}

TEST_F(IspReaderValue, LeadingWhiteSpaceIsSkipped) {
  const Reading r = readContent(kExposure + "    1052346\n" + kIridix + "\t 12\n" + kWb + " \r\v\f4800\n");
  EXPECT_EQ(r.result, 3);
  EXPECT_EQ(r.exposure, 1052346);
  EXPECT_EQ(r.iridix, 12);
  EXPECT_EQ(r.wb, 4800);
}

TEST_F(IspReaderValue, NoDigitsGivesZeroAndStillCounts) {
  const Reading r = readContent(kExposure + "abc\n" + kIridix + "-\n" + kWb + "+ 5\n");
  EXPECT_EQ(r.result, 3);
  EXPECT_EQ(r.exposure, 0);
  EXPECT_EQ(r.iridix, 0);
  EXPECT_EQ(r.wb, 0);
  EXPECT_EQ(r.err, "");
}

TEST_F(IspReaderValue, SignAndTrailingText) {
  const Reading r = readContent(kExposure + "-17 units\n" + kIridix + "+12.9\n" + kWb + "4800K\n");
  EXPECT_EQ(r.result, 3);
  EXPECT_EQ(r.exposure, -17);
  EXPECT_EQ(r.iridix, 12);
  EXPECT_EQ(r.wb, 4800);
}

TEST_F(IspReaderValue, BeyondThirtyTwoBitsClamps) {
  const std::pair<const char*, int32_t> cases[] = {
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"4294967296", INT32_MAX},
      {"18446744073709551617", INT32_MAX},
      {"99999999999999999999999999999999", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
      {"-4294967296", INT32_MIN},
      {"-18446744073709551617", INT32_MIN},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    const Reading r = readContent(kExposure + c.first + "\n");
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.exposure, c.second);
  }
}

TEST_F(IspReaderValue, EmptyValueReadsOnIntoTheNextLine) {
  const Reading r = readContent(kExposure + "\n  42 apples\n" + kIridix + "\n" + kWb + "4800\n");
  EXPECT_EQ(r.result, 3);
  EXPECT_EQ(r.exposure, 42);
  EXPECT_EQ(r.iridix, 0);  // the next line starts with the white-balance prefix
  EXPECT_EQ(r.wb, 4800);
  EXPECT_EQ(r.err, "");
}

TEST_F(IspReaderLongLine, LongLineEndsTheScanWithCountSoFar) {
  const Reading r =
      readContent(kExposure + "930000\n" + std::string(150, 'y') + "\n" + kIridix + "14\n" + kWb + "3000\n");
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.exposure, 930000);
  EXPECT_EQ(r.iridix, kUntouched);
  EXPECT_EQ(r.wb, kUntouched);
  EXPECT_EQ(r.err, lineTooLong(100));
}

TEST_F(IspReaderLongLine, NinetyNineCharactersFitOneHundredDoNot) {
  const std::string wanted = kExposure + "930000\n" + kIridix + "14\n" + kWb + "3000\n";
  Reading r = readContent(std::string(99, 'y') + "\n" + wanted);
  EXPECT_EQ(r.result, 3);
  EXPECT_EQ(r.err, "");

  r = readContent(std::string(100, 'y') + "\n" + wanted);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.exposure, kUntouched);
  EXPECT_EQ(r.err, lineTooLong(100));
}

TEST_F(IspReaderRepeat, PrefixTwiceCountsTwiceAndTheLaterValueWins) {
  Reading r = readContent(kExposure + "1\n" + kIridix + "14\n" + kExposure + "2\n" + kWb + "3000\n");
  EXPECT_EQ(r.result, 3);
  EXPECT_EQ(r.exposure, 2);
  EXPECT_EQ(r.iridix, 14);
  EXPECT_EQ(r.wb, kUntouched);  // the scan ended on the third recognised line

  r = readContent(kWb + "1\n" + kWb + "2\n");
  EXPECT_EQ(r.result, 2);
  EXPECT_EQ(r.wb, 2);
  EXPECT_EQ(r.err, "");
}

TEST_F(IspReaderFile, MissingFile) {
  const Reading r = readPath(pathOf("absent"));
  EXPECT_EQ(r.result, -1);
  EXPECT_EQ(r.exposure, kUntouched);
  EXPECT_EQ(r.err, kOpenFailed);
}

TEST_F(IspReaderFile, FileWithoutReadPermission) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
  const Reading r = readPath(writeFile(kDriverDump, 0));
  EXPECT_EQ(r.result, -1);
  EXPECT_EQ(r.exposure, kUntouched);
  EXPECT_EQ(r.err, kOpenFailed);
}

TEST_F(IspReaderFile, FirstReadFailingGivesZeroWithoutMessage) {
  // A directory opens read-only, but reading it fails.
  const Reading r = readPath(dir_.path());
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.exposure, kUntouched);
  EXPECT_EQ(r.err, "");
}

TEST_F(IspReaderFile, MissingOutputIsRefusedBeforeOpening) {
  const std::string present = writeFile(kDriverDump);
  const std::string absent = pathOf("absent");
  for (int missing = 0; missing < 3; ++missing) {
    for (const std::string* path : {&present, &absent}) {
      SCOPED_TRACE("missing output " + std::to_string(missing) + " reading " + *path);
      int32_t values[3] = {kUntouched, kUntouched, kUntouched};
      int32_t* outputs[3] = {&values[0], &values[1], &values[2]};
      outputs[missing] = nullptr;
      testing::internal::CaptureStderr();
      const int result = readIspInfoFile(path->c_str(), outputs[0], outputs[1], outputs[2]);
      EXPECT_EQ(testing::internal::GetCapturedStderr(), kInvalidParam);
      EXPECT_EQ(result, -1);
      EXPECT_EQ(values[0], kUntouched);
      EXPECT_EQ(values[1], kUntouched);
      EXPECT_EQ(values[2], kUntouched);
    }
  }
}

// The driver may hand out its text in pieces; a pause makes each piece a
// read of its own.
const std::chrono::milliseconds kPause(50);

TEST_F(IspReaderShortRead, ValueSplitAtTheStartIsReadWhole) {
  const Reading r = readThroughFifo({kExposure + "93", "0000\n" + kIridix + "14\n" + kWb + "3000\n"}, kPause);
  EXPECT_EQ(r.result, 3);
  EXPECT_EQ(r.exposure, 930000);
  EXPECT_EQ(r.iridix, 14);
  EXPECT_EQ(r.wb, 3000);
  EXPECT_EQ(r.err, "");
}

TEST_F(IspReaderShortRead, ValueSplitAfterALineIsDroppedIsReadWhole) {
  // The first piece fills the buffer; the split comes in the top-up that
  // follows dropping it.
  const Reading r = readThroughFifo(
      {std::string(99, 'y') + "\n", kIridix + "1", "4\n" + kExposure + "93", "0000\n" + kWb + "30", "00\n"}, kPause);
  EXPECT_EQ(r.result, 3);
  EXPECT_EQ(r.exposure, 930000);
  EXPECT_EQ(r.iridix, 14);
  EXPECT_EQ(r.wb, 3000);
  EXPECT_EQ(r.err, "");
}

TEST_F(IspReaderShortRead, LongLineInPiecesStillFillsTheBuffer) {
  const std::string line = std::string(150, 'y') + "\n";
  std::vector<std::string> pieces;
  for (size_t at = 0; at < line.size(); at += 30) pieces.push_back(line.substr(at, 30));
  pieces.push_back(kExposure + "930000\n");
  const Reading r = readThroughFifo(pieces, std::chrono::milliseconds(10));
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.exposure, kUntouched);
  EXPECT_EQ(r.err, lineTooLong(100));
}

}  // namespace
