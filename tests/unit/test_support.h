// Helpers shared by the unit tests: scratch directories, files, resetting
// the daemon's process-wide state, and capturing what it prints.
#ifndef LUMENFLIP_TEST_SUPPORT_H
#define LUMENFLIP_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "control.h"

namespace test_support {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/lumenflip-unit-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) ADD_FAILURE() << "mkdtemp failed for " << pattern;
    path_ = buffer.data();
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Path of `name` inside the directory.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Replaces the file's contents with `bytes` (binary, no newline added).
inline void writeFile(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) ADD_FAILURE() << "cannot write " << path;
  }
  if (chmod(path.c_str(), mode) != 0) ADD_FAILURE() << "cannot chmod " << path;
}

// The file's contents, or an empty string when it does not exist.
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

inline bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A C string for comparisons, with null shown rather than dereferenced.
inline std::string str(const char* text) { return text ? std::string(text) : std::string("<null>"); }

inline bool fileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Restores the daemon's process-wide state to its start-up values before
// and after each test, and rewinds getopt so a new argument vector is
// parsed from the start (glibc reinitialises fully on optind 0).
class GlobalsFixture : public ::testing::Test {
 protected:
  void SetUp() override { resetGlobals(); }
  void TearDown() override { resetGlobals(); }

  static void resetGlobals() {
    settings = Settings();
    night_mode = false;
    mode_switch_wait = 0;
    optind = 0;
  }
};

// A mutable argument vector for parseCommandLine. getopt permutes it and
// text settings point into it, so keep it alive while the settings are used.
class Args {
 public:
  Args(std::initializer_list<std::string> args = {}) : storage_(args) {
    storage_.insert(storage_.begin(), "lumenflip");
    for (std::string& arg : storage_) pointers_.push_back(&arg[0]);
    pointers_.push_back(nullptr);
  }
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;

  int argc() const { return static_cast<int>(storage_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> storage_;
  std::vector<char*> pointers_;
};

struct Output {
  std::string out;
  std::string err;
};

// Runs `action` with standard output and standard error captured (stdio
// is flushed at both ends, and child processes write to the same files).
template <typename Action>
Output captureOutput(Action&& action) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  std::forward<Action>(action)();
  Output output;
  output.err = ::testing::internal::GetCapturedStderr();
  output.out = ::testing::internal::GetCapturedStdout();
  return output;
}

}  // namespace test_support

#endif
