#include "ui/ui_language.h"

int CopyStringFromBlock(const std::uint16_t* block, std::size_t blockUnits, unsigned index,
                        wchar_t (&buffer)[UI_TEXT_CAPACITY]) {
  buffer[0] = L'\0';
  if (block == nullptr || index >= 16) return 0;
  std::size_t position = 0;
  for (unsigned skipped = 0; skipped < index; ++skipped) {
    if (position >= blockUnits) return 0;
    position += 1 + static_cast<std::size_t>(block[position]);
  }
  if (position >= blockUnits) return 0;
  std::size_t length = block[position++];
  if (length > blockUnits - position) return 0;  // the count runs past the block
  if (length > UI_TEXT_CAPACITY - 1) length = UI_TEXT_CAPACITY - 1;
  for (std::size_t i = 0; i < length; ++i) buffer[i] = static_cast<wchar_t>(block[position + i]);
  buffer[length] = L'\0';
  return static_cast<int>(length);
}
