# cmake -DINPUT=file -DOUTPUT=source.cpp -DSYMBOL=name -DNAMESPACE=ns -P EmbedFile.cmake
# Writes a C++ source holding the file's bytes and a span accessor `std::span<const uint8_t> SYMBOL()`.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Break the one long line every 32 bytes so compilers and editors stay comfortable.
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){32})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include <cstddef>\n#include <cstdint>\n#include <span>\n\n"
  "namespace ${NAMESPACE} {\n"
  "namespace {\nalignas(16) const uint8_t kData[${size} + 1] = {\n${bytes}0};\n}  // namespace\n\n"
  "std::span<const uint8_t> ${SYMBOL}() { return {kData, ${size}}; }\n\n"
  "}  // namespace ${NAMESPACE}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
