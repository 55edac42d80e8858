// A fresh folder under /tmp for one test, removed with everything in it afterwards; small file
// helpers for tests.
#pragma once

#include <string>
#include <vector>

namespace nimbra::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);  // the name itself, a dangling link included
// The messages of a log's text, without their time prefixes.
std::vector<std::string> logMessagesOf(const std::string& text);

}  // namespace nimbra::testing
