// Whether Shift, Ctrl, Alt or Super is held, from the keyboards' key state alone: each is
// opened read-only with every event masked out (EVIOCSMASK), so nothing typed ever reaches
// the helper, and its state is asked for (EVIOCGKEY) only when a right press comes.
#pragma once

#include <string>
#include <unordered_map>

namespace nimbra {

class ModifierKeys {
 public:
  ModifierKeys() = default;
  ~ModifierKeys();
  ModifierKeys(const ModifierKeys&) = delete;
  ModifierKeys& operator=(const ModifierKeys&) = delete;

  // Keeps `devnode` when it is a keyboard this process may open.
  void add(const std::string& devnode);
  void remove(const std::string& devnode);
  bool anyHeld() const;

 private:
  std::unordered_map<std::string, int> keyboards_;  // device node -> descriptor
};

}  // namespace nimbra
