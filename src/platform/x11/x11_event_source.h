// The X connection as a GLib event source. Its prepare and check look at Xlib's own queue as
// well as the socket: a round trip made anywhere (XQueryPointer, XSync) may already have read
// events into the queue, and a watch on the socket alone would not wake up for them.
#pragma once

#include <glib.h>

namespace nimbra {

class X11Connection;

class X11EventSource {
 public:
  X11EventSource(X11Connection& connection, GMainContext* context);
  ~X11EventSource();
  X11EventSource(const X11EventSource&) = delete;
  X11EventSource& operator=(const X11EventSource&) = delete;

  // Stops watching the socket for good (the server went away); safe from inside a dispatch.
  void stop();

 private:
  struct Source;
  static gboolean prepare(GSource* source, gint* timeout);
  static gboolean check(GSource* source);
  static gboolean dispatch(GSource* source, GSourceFunc, gpointer);

  Source* source_ = nullptr;
};

}  // namespace nimbra
