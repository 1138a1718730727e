#include "python/semantics.hpp"

#include <cstddef>
#include <cstdint>

namespace vorn::python {

namespace {

// Decodes one UTF-8 code point at `i`, advancing it; -1 on malformed input.
int32_t decode_utf8(std::string_view s, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  int len = 0;
  int32_t cp = 0;
  if (b0 < 0x80) {
    ++i;
    return b0;
  } else if ((b0 & 0xe0) == 0xc0) {
    len = 2;
    cp = b0 & 0x1f;
  } else if ((b0 & 0xf0) == 0xe0) {
    len = 3;
    cp = b0 & 0x0f;
  } else if ((b0 & 0xf8) == 0xf0) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    return -1;
  }
  if (i + len > s.size()) return -1;
  for (int k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xc0) != 0x80) return -1;
    cp = (cp << 6) | (byte(i + k) & 0x3f);
  }
  i += len;
  return cp;
}

// The full upper-case mapping of a code point where it consists of ASCII
// letters only; every other code point upper-cases to something non-ASCII or
// to itself.
std::string_view ascii_upper(int32_t cp, char& scratch) {
  if (cp < 0x80) {
    scratch = static_cast<char>(cp >= 'a' && cp <= 'z' ? cp - 'a' + 'A' : cp);
    return {&scratch, 1};
  }
  switch (cp) {
    case 0x00df:
      return "SS";  // sharp s
    case 0x0131:
      return "I";  // dotless i
    case 0x017f:
      return "S";  // long s
    case 0xfb00:
      return "FF";
    case 0xfb01:
      return "FI";
    case 0xfb02:
      return "FL";
    case 0xfb03:
      return "FFI";
    case 0xfb04:
      return "FFL";
    case 0xfb05:
      return "ST";
    case 0xfb06:
      return "ST";
    default:
      return {};
  }
}

}  // namespace

bool upper_equals(std::string_view text, std::string_view upper) {
  std::size_t i = 0;
  std::size_t matched = 0;
  while (i < text.size()) {
    const int32_t cp = decode_utf8(text, i);
    if (cp < 0) return false;
    char scratch = 0;
    const std::string_view mapped = ascii_upper(cp, scratch);
    if (mapped.empty() || upper.substr(matched, mapped.size()) != mapped) return false;
    matched += mapped.size();
  }
  return matched == upper.size();
}

std::optional<Semantics> semantics_named(std::string_view text) {
  if (upper_equals(text, "DPO")) return Semantics::dpo;
  if (upper_equals(text, "SPO")) return Semantics::spo;
  return std::nullopt;
}

const char* semantics_name(Semantics semantics) { return semantics == Semantics::dpo ? "DPO" : "SPO"; }

}  // namespace vorn::python
