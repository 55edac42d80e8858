// `nimbra-wheel --open -Dir DIR`: asks the helper serving DIR to act as on its hot key.
//
// The helper listens on an abstract local socket named after the work directory's device and
// inode; a connection is the request, and the helper answers "ok" once it has taken it. The
// caller finds the serving helper by the lock on DIR/helper.lock and talks only to a listener
// whose process (SO_PEERCRED) is that lock's holder.
#pragma once

#include <glib.h>

#include <functional>
#include <string>

namespace nimbra {

// The socket address for a work directory (without the leading NUL); empty when the folder
// cannot be seen.
std::string openRequestName(const std::string& workDir);

// The caller's side: status 0 once the request was taken, 1 with a line on `error` otherwise.
int sendOpenRequest(const std::string& workDir, std::string& error);

// The helper's side, on the GLib loop: `open` runs for every request of the same user. A name
// still held by a helper that is going away is retried for a few seconds.
class OpenRequestListener {
 public:
  OpenRequestListener(GMainContext* context, const std::string& workDir,
                      std::function<void()> open);
  ~OpenRequestListener();
  OpenRequestListener(const OpenRequestListener&) = delete;
  OpenRequestListener& operator=(const OpenRequestListener&) = delete;

 private:
  bool tryListen();
  static gboolean onRetry(gpointer self);
  static gboolean onConnection(gint fd, GIOCondition, gpointer self);

  GMainContext* context_;
  std::string name_;
  std::function<void()> open_;
  int fd_ = -1;
  GSource* watch_ = nullptr;
  GSource* retry_ = nullptr;
  int retriesLeft_ = 50;
};

}  // namespace nimbra
