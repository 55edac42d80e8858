// The wheel model written as wheel.cfg, refusing what the helper would read differently.
#include <cctype>
#include <charconv>
#include <cmath>
#include <string_view>

#include "nimbra/host.h"

namespace nimbra::host {
namespace {

constexpr std::string_view kBrokenBar = "\xC2\xA6";  // stands for "|" inside a command

// The code point starting at s[i] (valid UTF-8 assumed) and its length in bytes.
char32_t codePointAt(std::string_view s, std::size_t i, std::size_t& length) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  if (b(0) < 0x80) return length = 1, b(0);
  if (b(0) < 0xE0) return length = 2, ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
  if (b(0) < 0xF0) return length = 3, ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
  length = 4;
  return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
}

// The helper reads a wheel.cfg that is not valid UTF-8 as empty.
bool isValidUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80           ? 1
                          : (c >> 5) == 0x6  ? 2
                          : (c >> 4) == 0xE  ? 3
                          : (c >> 3) == 0x1E ? 4
                                             : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    std::size_t length = 0;
    const char32_t cp = codePointAt(s, i, length);
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// Tab and the Unicode space separators: the helper trims these from both ends of a line.
bool isTrimmedSpace(char32_t c) {
  return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

bool endsWithTrimmedSpace(std::string_view s) {
  if (s.empty()) return false;
  std::size_t start = s.size() - 1;
  while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
  std::size_t length = 0;
  return isTrimmedSpace(codePointAt(s, start, length));
}

bool isColor(std::string_view c) {
  if (!c.empty() && c.front() == '#') c.remove_prefix(1);
  if (c.size() != 3 && c.size() != 6) return false;
  for (char ch : c) {
    if (!std::isxdigit(static_cast<unsigned char>(ch))) return false;
  }
  return true;
}

std::string quoted(std::string_view s) {
  return std::string("\"").append(s).append("\"");
}

// A name or label is one field of its line: a bar or a line break would cut it.
void checkField(std::string_view text, const std::string& item) {
  if (!isValidUtf8(text)) throw WheelError(item + " is not valid UTF-8");
  if (text.find('|') != std::string_view::npos)
    throw WheelError(item + " holds a \"|\", which would end the field");
  if (text.find_first_of("\r\n") != std::string_view::npos)
    throw WheelError(item + " holds a line break");
}

void checkCommand(std::string_view command, const std::string& item) {
  if (!isValidUtf8(command)) throw WheelError(item + ": the command is not valid UTF-8");
  if (command.find_first_of("\r\n") != std::string_view::npos)
    throw WheelError(item + ": the command holds a line break");
  if (command.find(kBrokenBar) != std::string_view::npos)
    throw WheelError(item + ": the command holds a \"\xC2\xA6\", which the helper reads as \"|\"");
  if (endsWithTrimmedSpace(command))
    throw WheelError(item + ": the command ends in white space, which the helper trims");
  if (command == "~open")
    throw WheelError(item + ": the command \"~open\" would read as the wheel opening");
}

std::string escapeBars(std::string_view command) {
  std::string out;
  for (char c : command) {
    if (c == '|') {
      out.append(kBrokenBar);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

Tool Tool::anchor(std::string label, double x, double y) {
  if (!(x >= 0 && x <= 1 && y >= 0 && y <= 1)) {
    throw WheelError("tool " + quoted(label) + ": anchor coordinates must lie from 0 to 1");
  }
  std::string command = "anchor:";
  for (double v : {x, y}) {
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
    command.append(digits, end).push_back(',');
  }
  command.pop_back();
  return Tool{std::move(label), std::move(command)};
}

std::string wheel_cfg(const Wheel& wheel) {
  if (wheel.segments.empty()) {
    throw WheelError("the wheel has no segment: the helper would keep its previous wheel");
  }
  std::string out;
  if (wheel.hold_ms) {
    if (*wheel.hold_ms < 120) throw WheelError("hold_ms is below the helper's minimum of 120");
    out += "HOLD|" + std::to_string(*wheel.hold_ms) + "\n";
  }
  if (wheel.size) {
    if (*wheel.size < 80) throw WheelError("size is below the helper's minimum of 80");
    out += "SIZE|" + std::to_string(*wheel.size) + "\n";
  }
  for (std::size_t s = 0; s < wheel.segments.size(); ++s) {
    const Segment& seg = wheel.segments[s];
    const std::string segItem = "segment " + std::to_string(s) + " " + quoted(seg.name);
    checkField(seg.name, segItem);
    if (!isColor(seg.color)) {
      throw WheelError(segItem + ": colour " + quoted(seg.color) +
                       " is not #rgb or #rrggbb; the helper would paint its fallback blue");
    }
    out += "SEG|" + seg.name + "|" + seg.color + "\n";
    for (const Tool& tool : seg.tools) {
      const std::string toolItem = segItem + ", tool " + quoted(tool.label);
      checkField(tool.label, toolItem);
      checkCommand(tool.command, toolItem);
      out += "TOOL|" + tool.label + "|" + escapeBars(tool.command) + "\n";
    }
  }
  return out;
}

}  // namespace nimbra::host
