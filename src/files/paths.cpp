#include "files/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "files/utf8.h"

namespace nimbra {
namespace {

// Bytes of a UTF-8 byte-order mark.
constexpr std::string_view kBom = "\xEF\xBB\xBF";

// Larger files read as unreadable: a huge or sparse file must not exhaust memory and end the
// helper (a real wheel.cfg is a few kilobytes).
constexpr std::size_t kMaxReadBytes = std::size_t{64} << 20;

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Reads a regular file to its end; nothing else is ever opened, so a FIFO or a device under a
// protocol name can neither block nor be disturbed.
bool readRegularFile(const std::string& path, std::string& out) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  // The name may have been swapped for something else since the stat above.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  if (static_cast<std::uint64_t>(st.st_size) > kMaxReadBytes) {
    ::close(fd);
    return false;
  }
  if (st.st_size > 0) out.reserve(static_cast<std::size_t>(st.st_size));
  char buf[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
    if (out.size() > kMaxReadBytes) {  // grew while being read
      ::close(fd);
      return false;
    }
  }
  ::close(fd);
  return true;
}

enum class Unlinked { kDone, kFailed, kFolder };

// Deletes anything but a folder, a symbolic link to one included; gone already counts as done.
Unlinked unlinkEntry(int parentFd, const char* name) {
  if (::unlinkat(parentFd, name, 0) == 0) return Unlinked::kDone;
  // Linux answers EISDIR for a folder, other systems EPERM.
  if (errno == EISDIR || errno == EPERM) return Unlinked::kFolder;
  return errno == ENOENT ? Unlinked::kDone : Unlinked::kFailed;
}

// O_NOFOLLOW keeps the walk inside the tree: a link is unlinked, never descended into.
int openFolder(int parentFd, const char* name, struct stat& st) {
  const int fd =
      ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0 && ::fstat(fd, &st) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Every name in the folder open at `fd` but "." and "..", gathered before anything is deleted,
// as deleting while reading may skip entries. False when the folder cannot be read.
bool listEntries(int fd, std::vector<std::string>& out) {
  const int own = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  DIR* d = own < 0 ? nullptr : ::fdopendir(own);
  if (d == nullptr) {
    if (own >= 0) ::close(own);
    return false;
  }
  while (const dirent* e = ::readdir(d)) {
    const std::string_view entry = e->d_name;
    if (entry != "." && entry != "..") out.emplace_back(entry);
  }
  ::closedir(d);
  return true;
}

// A folder on the way down: its name in its parent, its identity, and the names still to go.
struct Level {
  std::string name;
  dev_t dev = 0;
  ino_t ino = 0;
  std::vector<std::string> entries;
  int passes = 1;
  bool complete = true;  // everything seen in it so far is gone
};

// Another pass over a folder runs only after one that removed everything it saw, to catch
// entries that appeared meanwhile; a subtree that resists is never retried, which keeps the
// walk linear.
constexpr int kPasses = 4;

// Removes `path` with everything in it, without recursion: the levels on the way down live on
// the heap and only the folder at hand is open, so no depth exhausts the stack or the
// descriptors. The way back up goes through "..", which must be the folder the walk came down
// from; a tree moved away meanwhile is left as it is.
bool removeTree(const char* path) {
  const Unlinked first = unlinkEntry(AT_FDCWD, path);
  if (first != Unlinked::kFolder) return first == Unlinked::kDone;
  struct stat st;
  int fd = openFolder(AT_FDCWD, path, st);
  if (fd < 0) return false;
  std::vector<Level> levels(1);
  levels[0].dev = st.st_dev;
  levels[0].ino = st.st_ino;
  levels[0].complete = listEntries(fd, levels[0].entries);
  for (;;) {
    Level& top = levels.back();
    if (!top.entries.empty()) {
      std::string name = std::move(top.entries.back());
      top.entries.pop_back();
      const Unlinked u = unlinkEntry(fd, name.c_str());
      if (u == Unlinked::kFailed) top.complete = false;
      if (u != Unlinked::kFolder) continue;
      const int child = openFolder(fd, name.c_str(), st);
      if (child < 0) {
        top.complete = top.complete && errno == ENOENT;
        continue;
      }
      ::close(fd);
      fd = child;
      Level& down = levels.emplace_back();
      down.name = std::move(name);
      down.dev = st.st_dev;
      down.ino = st.st_ino;
      down.complete = listEntries(fd, down.entries);
      continue;
    }
    if (top.complete && top.passes < kPasses) {
      ++top.passes;
      top.complete = listEntries(fd, top.entries);
      if (!top.entries.empty()) continue;
    }
    if (levels.size() == 1) break;
    const std::string name = std::move(top.name);
    levels.pop_back();
    const int parent = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    ::close(fd);
    fd = parent;
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_dev != levels.back().dev ||
        st.st_ino != levels.back().ino) {
      if (fd >= 0) ::close(fd);
      return false;
    }
    if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
      levels.back().complete = false;
  }
  ::close(fd);
  return ::unlinkat(AT_FDCWD, path, AT_REMOVEDIR) == 0;
}

}  // namespace

std::string Paths::join(std::string_view name) const {
  std::string_view base = dir;
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);
  // A dir of "/" (or "//") keeps its root; an empty dir adds nothing, so the name stays relative.
  if (base.empty() && !dir.empty()) return std::string("/").append(name);
  if (base.empty()) return std::string(name);
  std::string path;
  path.reserve(base.size() + 1 + name.size());
  path.append(base).append("/").append(name);
  return path;
}

std::string Paths::read(std::string_view name) const {
  std::string bytes;
  if (!readRegularFile(join(name), bytes)) return {};
  if (!isValidUtf8(bytes)) return {};
  if (bytes.starts_with(kBom)) bytes.erase(0, kBom.size());
  return bytes;
}

bool Paths::write(std::string_view name, std::string_view text) const {
  const std::string target = join(name);
  std::string temp = join(std::string(".").append(name).append(".XXXXXX"));
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  // mkostemp creates 0600; the host application must be able to read what the helper writes.
  bool ok = ::fchmod(fd, 0644) == 0 && writeAll(fd, text);
  if (::close(fd) != 0) ok = false;
  // rename replaces whatever sits at the target name, a symbolic link included, and never
  // writes through it.
  if (ok && ::rename(temp.c_str(), target.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
}

double Paths::mtime(std::string_view name) const {
  struct stat st;
  if (::stat(join(name).c_str(), &st) != 0) return 0;
  return static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
}

void Paths::remove(std::string_view name) const {
  removeTree(join(name).c_str());
}

bool Paths::exists(std::string_view name) const {
  struct stat st;
  return ::stat(join(name).c_str(), &st) == 0;
}

}  // namespace nimbra
