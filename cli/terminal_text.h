// Names from disk made safe to print on a terminal.
#pragma once

#include <string>
#include <string_view>

namespace snapsave::cli {

// `text` with every byte that a terminal could act on, or that is not part of valid UTF-8, written as a
// visible "\xNN": C0 controls and DEL, the C1 controls U+0080..U+009F, and invalid sequences byte by byte.
// A backslash before an "x" is written "\x5C" so that the output reads back unambiguously (others, as in
// Windows paths, stay). Valid printable UTF-8 passes unchanged.
std::string EscapeForTerminal(std::string_view text);

}  // namespace snapsave::cli
