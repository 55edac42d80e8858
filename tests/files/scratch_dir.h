// A throw-away folder per test, plain byte-level file helpers, and a way to run a step in a
// child process so that limits, signals or a blocking call cannot harm the test process.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>

namespace nimbra::testing {

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nimbra-files-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    // Undo any chmod a test made, so that cleanup works for every user.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0755);
    }
    ::chmod(path_.c_str(), 0755);
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  // Every name in the folder, hidden ones included.
  std::set<std::string> names() const {
    std::set<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(path_, ec)) {
      out.insert(e.path().filename().string());
    }
    return out;
  }

 private:
  std::string path_;
};

inline void putFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs `step` in a forked child with a watchdog alarm and returns its exit code; a child that
// blocks or crashes gives -1.
inline int runInChild(const std::function<int()>& step, unsigned watchdogSeconds = 10) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(watchdogSeconds);
    ::_exit(step());
  }
  if (pid < 0) return -1;
  int status = 0;
  pid_t done;
  while ((done = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (done != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace nimbra::testing
