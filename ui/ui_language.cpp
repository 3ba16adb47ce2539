#include "ui/ui_language.h"

namespace {
// Where string `index` (0 to 15) of a block lies: its units and their count; false when the block has no
// such string or is cut short.
bool FindInBlock(const std::uint16_t* block, std::size_t blockUnits, unsigned index, const std::uint16_t*& text,
                 std::size_t& length) {
  if (block == nullptr || index >= 16) return false;
  std::size_t position = 0;
  for (unsigned skipped = 0; skipped < index; ++skipped) {
    if (position >= blockUnits) return false;
    position += 1 + static_cast<std::size_t>(block[position]);
  }
  if (position >= blockUnits) return false;
  length = block[position++];
  if (length > blockUnits - position) return false;  // the count runs past the block
  text = block + position;
  return true;
}
}  // namespace

int CopyStringFromBlock(const std::uint16_t* block, std::size_t blockUnits, unsigned index,
                        wchar_t (&buffer)[UI_TEXT_CAPACITY]) {
  buffer[0] = L'\0';
  const std::uint16_t* text = nullptr;
  std::size_t length = 0;
  if (!FindInBlock(block, blockUnits, index, text, length)) return 0;
  if (length > UI_TEXT_CAPACITY - 1) length = UI_TEXT_CAPACITY - 1;
  for (std::size_t i = 0; i < length; ++i) buffer[i] = static_cast<wchar_t>(text[i]);
  buffer[length] = L'\0';
  return static_cast<int>(length);
}

std::wstring StringFromBlock(const std::uint16_t* block, std::size_t blockUnits, unsigned index) {
  const std::uint16_t* text = nullptr;
  std::size_t length = 0;
  if (!FindInBlock(block, blockUnits, index, text, length)) return {};
  return std::wstring(text, text + length);
}
