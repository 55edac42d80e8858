// A fresh folder under /tmp for one test, removed with everything in it afterwards; small file
// helpers for tests.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace nimbra::testing {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/nimbra-test-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

inline void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline bool fileExists(const std::string& path) {  // the name itself, a dangling link included
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// The messages of a log's text, without their time prefixes.
inline std::vector<std::string> logMessagesOf(const std::string& text) {
  std::vector<std::string> out;
  for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const auto close = text.find("] ", at);
    if (close < end) out.push_back(text.substr(close + 2, end - close - 2));
  }
  return out;
}

// How many of a log's lines carry exactly `message`.
inline int countMessages(const std::string& text, const std::string& message) {
  const auto all = logMessagesOf(text);
  return static_cast<int>(std::count(all.begin(), all.end(), message));
}

}  // namespace nimbra::testing
