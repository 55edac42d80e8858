#include "files/rewritten_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <utility>
#include <vector>

#include "files/termination_cleanup.h"

namespace nimbra {
namespace {

bool pwriteAll(int fd, std::string_view bytes) {
  off_t at = 0;
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
    at += n;
  }
  return true;
}

// An open racing with a write breaks the lease, and the holder is told by SIGIO, whose
// default action ends the process; the helper has no use for it. (F_SETSIG could name another
// signal, but releasing a lease forgets it, so it would cost a call at every write.)
void ignoreLeaseBreaks() {
  static const bool done = [] {
    struct sigaction old {};
    if (::sigaction(SIGIO, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) {
      ::signal(SIGIO, SIG_IGN);
    }
    return true;
  }();
  (void)done;
}

}  // namespace

RewrittenFile::RewrittenFile(const Paths& paths, std::string name)
    : paths_(paths), name_(std::move(name)), target_(paths_.join(name_)) {}

RewrittenFile::~RewrittenFile() {
  dropSpare();
  if (shown_.fd >= 0) ::close(shown_.fd);
}

bool RewrittenFile::write(std::string_view text) {
  // A second attempt only when the spare turned out to be gone (the folder was replaced).
  for (int attempt = 0; attempt < 2 && swapping_; ++attempt) {
    const bool leased = spare_.fd >= 0 && lease();
    if (!swapping_) break;
    if (!leased) dropSpare();
    // A new spare needs no lease: nobody else knows its name yet.
    if (spare_.fd < 0 && !makeSpare()) return false;
    const bool filled = fill(text);
    // Let go before the swap: at the name, a leased file would make a reader's open wait or
    // fail (EWOULDBLOCK with O_NONBLOCK). Nobody can have opened the spare meanwhile.
    if (leased) ::fcntl(spare_.fd, F_SETLEASE, F_UNLCK);
    const Outcome outcome = filled ? publish() : Outcome::kFailed;
    if (outcome != Outcome::kSpareGone) return outcome == Outcome::kDone;
    dropSpare();
  }
  if (swapping_) return false;
  dropSpare();
  return paths_.write(name_, text);
}

bool RewrittenFile::removeOtherSpares() {
  DIR* d = ::opendir(paths_.join(".").c_str());
  if (d == nullptr) return false;
  // mkostemp's names: the prefix and six letters or digits.
  const std::string prefix = std::string(".").append(name_).append(".");
  const std::string own = spareName_.substr(spareName_.rfind('/') + 1);
  std::vector<std::string> stale;
  while (const dirent* e = ::readdir(d)) {
    const std::string_view entry = e->d_name;
    if (entry.size() != prefix.size() + 6 || !entry.starts_with(prefix) || entry == own) continue;
    const std::string_view tail = entry.substr(prefix.size());
    if (std::all_of(tail.begin(), tail.end(), [](unsigned char c) { return std::isalnum(c) != 0; }))
      stale.emplace_back(entry);
  }
  ::closedir(d);
  for (const std::string& name : stale) ::unlink(paths_.join(name).c_str());
  return true;
}

bool RewrittenFile::makeSpare() {
  std::string path = paths_.join(std::string(".").append(name_).append(".XXXXXX"));
  const int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  // mkostemp creates 0600; the host application must be able to read what the helper writes.
  if (::fchmod(fd, 0644) != 0 || ::fstat(fd, &st) != 0) {
    ::close(fd);
    ::unlink(path.c_str());
    return false;
  }
  spare_ = Kept{fd, st.st_dev, st.st_ino, 0};
  spareName_ = std::move(path);
  cleanupSlot_ = removeOnTermination(spareName_);
  return true;
}

void RewrittenFile::dropSpare() {
  if (!spareName_.empty()) {
    ::unlink(spareName_.c_str());
    forgetRemoval(cleanupSlot_);
    cleanupSlot_ = -1;
    spareName_.clear();
  }
  if (spare_.fd >= 0) ::close(spare_.fd);
  spare_ = Kept{};
}

bool RewrittenFile::lease() {
  // Granted only while no other descriptor has the file open: a reader that opened the name
  // before the last swap may still be reading this file. Held while the bytes go in.
  ignoreLeaseBreaks();
  if (::fcntl(spare_.fd, F_SETLEASE, F_WRLCK) == 0) return true;
  if (errno != EAGAIN && errno != EBUSY) swapping_ = false;  // no leases on this file system
  return false;
}

bool RewrittenFile::fill(std::string_view text) {
  if (!pwriteAll(spare_.fd, text)) {
    spare_.size = SIZE_MAX;
    return false;
  }
  if (spare_.size > text.size() && ::ftruncate(spare_.fd, static_cast<off_t>(text.size())) != 0) {
    spare_.size = SIZE_MAX;
    return false;
  }
  spare_.size = text.size();
  return true;
}

RewrittenFile::Outcome RewrittenFile::publish() {
  if (::renameat2(AT_FDCWD, spareName_.c_str(), AT_FDCWD, target_.c_str(), RENAME_EXCHANGE) != 0) {
    if (errno == EINVAL || errno == ENOSYS) swapping_ = false;  // no exchange on this system
    // ENOENT: nothing at the name yet, or the spare is gone.
    if (errno != ENOENT && swapping_) return Outcome::kFailed;
    if (plainRename()) return Outcome::kDone;
    return errno == ENOENT && swapping_ ? Outcome::kSpareGone : Outcome::kFailed;
  }
  // The spare's name now holds what was at the name: normally the file of the last write.
  struct stat st;
  const bool found = ::fstatat(AT_FDCWD, spareName_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  const bool ours = found && shown_.fd >= 0 && st.st_dev == shown_.dev && st.st_ino == shown_.ino &&
                    st.st_nlink == 1;
  if (found && !ours && S_ISDIR(st.st_mode)) {
    // A rename cannot replace a folder; neither does this write. The folder goes back.
    ::renameat2(AT_FDCWD, spareName_.c_str(), AT_FDCWD, target_.c_str(), RENAME_EXCHANGE);
    return Outcome::kFailed;
  }
  std::swap(spare_, shown_);
  // Someone else's file or link (or ours with a second name): deleted, as a rename over it
  // would have deleted it, and never written again.
  if (!ours) dropSpare();
  return Outcome::kDone;
}

bool RewrittenFile::plainRename() {
  if (::rename(spareName_.c_str(), target_.c_str()) != 0) return false;
  forgetRemoval(cleanupSlot_);
  cleanupSlot_ = -1;
  spareName_.clear();
  if (shown_.fd >= 0) ::close(shown_.fd);
  shown_ = spare_;
  spare_ = Kept{};
  return true;
}

}  // namespace nimbra
