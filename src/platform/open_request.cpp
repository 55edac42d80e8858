#include "platform/open_request.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/work_dir_lock.h"

namespace nimbra {
namespace {

constexpr char kReply[] = "ok\n";
constexpr int kReplyWaitMs = 2000;

socklen_t address(const std::string& name, sockaddr_un& addr) {
  addr = sockaddr_un{};
  addr.sun_family = AF_UNIX;
  // Abstract: the first byte stays NUL, and no file is made anywhere.
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

}  // namespace

std::string openRequestName(const std::string& workDir) {
  struct stat st {};
  if (::stat(workDir.c_str(), &st) != 0) return {};
  char name[80];
  std::snprintf(name, sizeof name, "nimbra-wheel/%llx/%llx",
                static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  return name;
}

int sendOpenRequest(const std::string& workDir, std::string& error) {
  const std::string none = "nimbra-wheel: no helper serves " + workDir;
  const std::string name = workDir.empty() ? std::string() : openRequestName(workDir);
  if (name.empty()) {
    error = workDir.empty() ? "nimbra-wheel: --open needs -Dir <folder>" : none;
    return 1;
  }
  const pid_t holder = lockHolderOf(workDir + "/helper.lock").value_or(0);
  if (holder <= 0) {
    error = none;
    return 1;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // A stalled helper's full backlog would hold the connect for ever: a key binding's command
  // must end.
  const timeval limit{kReplyWaitMs / 1000, 0};
  if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_un addr;
  const socklen_t length = address(name, addr);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
    if (fd >= 0) ::close(fd);
    error = none + " (it takes no requests)";
    return 1;
  }
  ucred peer{};
  socklen_t peerLength = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) != 0 || peer.pid != holder) {
    ::close(fd);
    error = none + " (another process answers in its name)";
    return 1;
  }
  char reply[sizeof kReply] = {};
  std::size_t got = 0;
  pollfd p{fd, POLLIN, 0};
  while (got < sizeof kReply - 1 && ::poll(&p, 1, kReplyWaitMs) > 0) {
    const ssize_t n = ::read(fd, reply + got, sizeof kReply - 1 - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (std::strcmp(reply, kReply) != 0) {
    error = "nimbra-wheel: the helper serving " + workDir + " did not take the request";
    return 1;
  }
  return 0;
}

OpenRequestListener::OpenRequestListener(GMainContext* context, const std::string& workDir,
                                         std::function<void()> open)
    : context_(context), name_(openRequestName(workDir)), open_(std::move(open)) {
  if (name_.empty() || tryListen()) return;
  retry_ = g_timeout_source_new(100);
  g_source_set_callback(retry_, &OpenRequestListener::onRetry, this, nullptr);
  g_source_attach(retry_, context_);
}

OpenRequestListener::~OpenRequestListener() {
  for (GSource* s : {watch_, retry_}) {
    if (!s) continue;
    g_source_destroy(s);
    g_source_unref(s);
  }
  if (fd_ >= 0) ::close(fd_);
}

bool OpenRequestListener::tryListen() {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  sockaddr_un addr;
  const socklen_t length = address(name_, addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0 || ::listen(fd, 8) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  watch_ = g_unix_fd_source_new(fd_, G_IO_IN);
  g_source_set_callback(watch_, G_SOURCE_FUNC(&OpenRequestListener::onConnection), this, nullptr);
  g_source_attach(watch_, context_);
  return true;
}

gboolean OpenRequestListener::onRetry(gpointer self) {
  auto* l = static_cast<OpenRequestListener*>(self);
  // The name is still held by the helper this one took over from, until it has gone.
  if (!l->tryListen() && --l->retriesLeft_ > 0) return G_SOURCE_CONTINUE;
  g_source_unref(l->retry_);
  l->retry_ = nullptr;
  return G_SOURCE_REMOVE;
}

gboolean OpenRequestListener::onConnection(gint fd, GIOCondition, gpointer self) {
  auto* l = static_cast<OpenRequestListener*>(self);
  const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (client < 0) return G_SOURCE_CONTINUE;
  ucred peer{};
  socklen_t length = sizeof peer;
  // Anyone may connect to an abstract name: only this user (or root) may open the wheel.
  const bool allowed = ::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
                       (peer.uid == ::getuid() || peer.uid == 0);
  if (allowed) {
    // A fresh socket's buffer takes the few bytes at once: this never waits for the caller.
    [[maybe_unused]] ssize_t n = ::send(client, kReply, sizeof kReply - 1, MSG_NOSIGNAL);
  }
  ::close(client);
  if (allowed && l->open_) l->open_();
  return G_SOURCE_CONTINUE;
}

}  // namespace nimbra
