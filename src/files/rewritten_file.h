// A file of the work directory that is replaced over and over (the heartbeat, every second),
// as atomically as Paths::write but without creating and deleting a file each time.
//
// Paths::write puts the bytes in a new temporary file and renames it over the name, which
// deletes the file it replaces; on a file system that discards freed blocks at once, that
// deletion waits for the disk: a second wake-up and most of the cost of the write. Here the
// bytes go into a spare file kept from the previous write, and one rename swaps it with the
// name (RENAME_EXCHANGE); the file it displaces becomes the next spare. A spare is written only
// while nobody else has it open (a write lease can be taken on it), so a reader that opened
// the name never sees the bytes change under it. Where the file system offers no exchange or
// no leases, every write is a Paths::write.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "files/paths.h"

namespace nimbra {

class RewrittenFile {
 public:
  RewrittenFile(const Paths& paths, std::string name);
  ~RewrittenFile();  // the spare goes, the file stays
  RewrittenFile(const RewrittenFile&) = delete;
  RewrittenFile& operator=(const RewrittenFile&) = delete;

  // As Paths::write: the text replaces the file whole, or the file is left as it was; true on
  // success. Created 0644; a link at the name is replaced, never written through.
  bool write(std::string_view text);
  // Deletes every spare of this name in the folder but this object's own: those of writers
  // that were killed. False when the folder cannot be read.
  bool removeOtherSpares();

 private:
  // A file this object created, with the descriptor it writes through.
  struct Kept {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    std::size_t size = 0;  // bytes in it; SIZE_MAX when a failed write left it unknown
  };

  enum class Outcome { kDone, kFailed, kSpareGone };

  bool makeSpare();
  // Deletes the spare's name (whatever it holds by now) and closes the spare.
  void dropSpare();
  // Takes a write lease on the spare: false when someone else has it open, or when the file
  // system has no leases (every write is then a Paths::write).
  bool lease();
  bool fill(std::string_view text);
  // Swaps the spare in at the name, or renames it there when nothing is at the name yet.
  Outcome publish();
  bool plainRename();

  Paths paths_;
  std::string name_;
  std::string target_;
  std::string spareName_;  // the spare's path; empty while there is none
  int cleanupSlot_ = -1;
  Kept spare_;
  Kept shown_;  // what the last successful write left at the name
  bool swapping_ = true;
};

}  // namespace nimbra
