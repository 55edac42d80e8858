// Trimming of the blanks that "wheel.cfg" ignores at the ends of lines and values.
#pragma once

#include <string_view>

namespace nimbra {

// Drops, at both ends, every tab and every space separator of Unicode category Zs (U+0020,
// U+00A0, U+1680, U+2000..U+200A, U+202F, U+205F, U+3000), read as UTF-8 code points. Line
// breaks, vertical tab and form feed stay. Never allocates.
std::string_view trimBlanks(std::string_view text);

}  // namespace nimbra
