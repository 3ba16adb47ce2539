#pragma once
// What the terminal program needs to know of UTF-8 text.

#include <cstddef>
#include <string>
#include <string_view>

// The columns a text takes on a terminal: one per character (the program's texts have no wide characters).
inline std::size_t Utf8Columns(std::string_view text) {
  std::size_t columns = 0;
  for (const char c : text) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return columns;
}

// The start of `text` that takes at most `columns` columns, ending on a whole character.
inline std::string Utf8CutColumns(std::string_view text, std::size_t columns) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (seen == columns) return std::string(text.substr(0, i));
    ++seen;
  }
  return std::string(text);
}

// The length of the longest start of `text` that ends on a whole character: a character whose last bytes have
// not come yet is left out.
inline std::size_t WholeUtf8Prefix(std::string_view text) {
  for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    const auto byte = static_cast<unsigned char>(text[text.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return length > back ? text.size() - back : text.size();
  }
  return text.size();
}
