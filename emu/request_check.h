#pragma once
// What the emulated unit requires of every request block it receives: the CRC over bytes 0 to 267, a known
// request id, unused fields zero, and lengths and addresses that fit the request and the flash.

#include <cstdint>
#include <string>

#include "usb/usb_block.h"

// "BLK_WRITE", or "id 5" for an id that names no request.
std::string BlockIdName(std::uint32_t blockId);

// Calls report(text) once per problem found; true when the block has none (the unit may carry it out).
// A template so that checking a good block costs no allocation.
template <typename Report>
bool CheckRequestBlock(const UsbBlock& block, std::uint32_t flashSize, Report&& report);

// The checks themselves, reporting through a plain callback.
using RequestProblemFn = void (*)(void* context, const std::string& text);
bool CheckRequestBlockWith(const UsbBlock& block, std::uint32_t flashSize, RequestProblemFn problem, void* context);

template <typename Report>
bool CheckRequestBlock(const UsbBlock& block, std::uint32_t flashSize, Report&& report) {
  return CheckRequestBlockWith(
      block, flashSize, [](void* context, const std::string& text) { (*static_cast<Report*>(context))(text); },
      &report);
}
