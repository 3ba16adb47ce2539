#include "app/unit_text.h"

#include <cstddef>

namespace {
bool Continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the well-formed UTF-8 character that starts at `at`, or 0 when none does (RFC 3629: no
// overlong forms, no surrogates, nothing past U+10FFFF).
std::size_t CharacterLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80;  // the range of the second byte
  unsigned char high = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // below: overlong
    if (lead == 0xED) high = 0x9F;  // above: a surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // below: overlong
    if (lead == 0xF4) high = 0x8F;  // above: past U+10FFFF
  } else {
    return 0;  // a continuation byte alone, C0/C1 (overlong two-byte leads), F5 to FF
  }
  if (text.size() - at < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (!Continuation(byte(i))) return 0;
  }
  return length;
}

// C0, DEL, and the C1 characters U+0080 to U+009F (C2 80 to C2 9F), which some terminals obey as controls.
bool Control(std::string_view character) {
  const auto lead = static_cast<unsigned char>(character[0]);
  if (character.size() == 1) return lead < 0x20 || lead == 0x7F;
  return character.size() == 2 && lead == 0xC2 && static_cast<unsigned char>(character[1]) <= 0x9F;
}

void AppendEscaped(std::string& out, std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0F];
  }
}
}  // namespace

std::string UnitText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = CharacterLength(text, at);
    if (length == 0) {
      AppendEscaped(out, text.substr(at, 1));  // the bytes after it are looked at on their own
      ++at;
      continue;
    }
    const std::string_view character = text.substr(at, length);
    if (Control(character)) {
      AppendEscaped(out, character);
    } else {
      out += character;
    }
    at += length;
  }
  return out;
}
