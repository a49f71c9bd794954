// The find and filter texts as a user may type or paste them: sizes, dates and name patterns. None may crash,
// and a pattern never takes long, however many stars it holds.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "catalog/record_filter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)ParseSizeText(text);
  const auto from = ParseDateText(text, false), to = ParseDateText(text, true);
  if (from.has_value() != to.has_value() || (from && *to < *from)) std::abort();
  const size_t half = size / 2;
  const std::string_view pattern = text.substr(0, half), name = text.substr(half);
  // Any name holds itself, and "*" holds any name.
  if (!NameMatches(name, name) || !NameMatches("*", name)) std::abort();
  (void)NameMatches(pattern, name);
  return 0;
}
