#include "platform/x11/x11_event_source.h"

#include <X11/Xlib.h>

#include "platform/x11/x11_connection.h"

namespace nimbra {

struct X11EventSource::Source {
  GSource base;
  X11Connection* connection;
  gpointer fdTag;
  unsigned long flushedUpTo;  // XNextRequest as of the last flush
};

namespace {

GSourceFuncs gFuncs = {};

}  // namespace

X11EventSource::X11EventSource(X11Connection& connection, GMainContext* context) {
  gFuncs.prepare = &X11EventSource::prepare;
  gFuncs.check = &X11EventSource::check;
  gFuncs.dispatch = &X11EventSource::dispatch;
  GSource* base = g_source_new(&gFuncs, sizeof(Source));
  source_ = reinterpret_cast<Source*>(base);
  source_->connection = &connection;
  source_->flushedUpTo = 0;
  source_->fdTag = g_source_add_unix_fd(base, ConnectionNumber(connection.display()),
                                        static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR));
  g_source_set_name(base, "x11-display");
  g_source_attach(base, context);
}

X11EventSource::~X11EventSource() {
  stop();
  g_source_unref(&source_->base);
}

void X11EventSource::stop() {
  if (!g_source_is_destroyed(&source_->base)) g_source_destroy(&source_->base);
}

// Runs at every turn of the loop, also for the once-a-second tick: while nothing happens it
// reads only the Display's own fields (NextRequest, QLength) and makes no call into Xlib.
gboolean X11EventSource::prepare(GSource* base, gint* timeout) {
  auto* self = reinterpret_cast<Source*>(base);
  *timeout = -1;
  X11Connection& c = *self->connection;
  if (!c.alive()) return FALSE;
  // Requests made by callbacks leave before the loop sleeps. With none made since the last
  // flush there is nothing to send, and XFlush would still read the socket twice.
  const unsigned long next = NextRequest(c.display());
  if (next != self->flushedUpTo) {
    XFlush(c.display());
    self->flushedUpTo = next;
  }
  return c.alive() && QLength(c.display()) > 0;
}

gboolean X11EventSource::check(GSource* base) {
  auto* self = reinterpret_cast<Source*>(base);
  X11Connection& c = *self->connection;
  if (!c.alive()) return FALSE;
  if (QLength(c.display()) > 0) return TRUE;
  if (g_source_query_unix_fd(base, self->fdTag) == 0) return FALSE;
  // Reads without blocking; a closed socket ends in the connection-lost handler here.
  return XEventsQueued(c.display(), QueuedAfterReading) > 0 && c.alive();
}

gboolean X11EventSource::dispatch(GSource* base, GSourceFunc, gpointer) {
  auto* self = reinterpret_cast<Source*>(base);
  X11Connection& c = *self->connection;
  if (c.alive()) c.dispatchQueued();
  return c.alive() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

}  // namespace nimbra
