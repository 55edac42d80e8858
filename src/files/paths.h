// The work directory and its four whole-file operations, none of which ever fails loudly.
#pragma once

#include <string>
#include <string_view>

namespace nimbra {

class Paths {
 public:
  explicit Paths(std::string dir) : dir(std::move(dir)) {}

  std::string dir;  // exactly as given on the command line; never changed

  // `dir` and `name` with exactly one "/" between them.
  std::string join(std::string_view name) const;

  // The whole file as UTF-8 with one leading byte-order mark dropped; empty text when the file
  // is missing, not a regular file, unreadable, larger than 64 MiB or not valid UTF-8.
  std::string read(std::string_view name) const;
  // Replaces the file atomically (temporary file in the same folder, then rename).
  bool write(std::string_view name, std::string_view text) const;
  // Modification time in seconds since 1970 with its fraction; 0 when it cannot be read.
  double mtime(std::string_view name) const;
  // Deletes the file (or folder, with its content at any depth, never following a link);
  // every error is ignored.
  void remove(std::string_view name) const;
  // Whether anything exists at the name.
  bool exists(std::string_view name) const;
};

}  // namespace nimbra
