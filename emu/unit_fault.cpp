#include "emu/unit_fault.h"

#include <algorithm>
#include <cstdio>

#include "usb/usb_block.h"

namespace {
// The one description of every fault kind. The demo's DEMO_FAULT names, the unit's defaults, the README's table
// and the help output all come from here.
constexpr FaultKindInfo FAULT_KINDS[] = {
    {FaultKind::DropAnswer, "drop", 0, 0, 0, nullptr,
     "the request is carried out but never answered: the host's read times out"},
    {FaultKind::BadCrc, "badcrc", 0, 0, 0, nullptr, "the answer's CRC is wrong"},
    {FaultKind::WrongId, "wrongid", 0, BLK_NAK, 0, "the answer's block id", "the answer carries another block id"},
    {FaultKind::WrongAddress, "wrongaddress", 0, 0x100, 0, "XORed into the answer's address",
     "the answer names another address"},
    {FaultKind::WrongLength, "wronglength", 0, 1, 0, "XORed into the answer's length",
     "the answer names another length"},
    {FaultKind::WrongData, "wrongdata", 0, 0, 0xFF, "the index of the data byte",
     "one data byte of the answer is inverted"},
    {FaultKind::ShortRead, "shortread", 0, 100, 0, "bytes of the answer", "the answer is cut short"},
    {FaultKind::TransientBitError, "transient", BLK_WRITE, 0, 0x01, "the offset of the byte in the block",
     "bit 0 of one written byte reads back wrong once"},
    {FaultKind::StuckBit, "stuck", BLK_WRITE, 0, 0x01, "the offset of the byte in the block",
     "bit 0 of one written byte can no longer be cleared, not even by an erase"},
    {FaultKind::SlowErase, "slowerase", BLK_ERASE, 25000, 0, "ms the erase takes",
     "the erase answers late; past 20 s the host has given up on it"},
    {FaultKind::Unplug, "unplug", 0, 3000, 0, "ms until the cable is back",
     "the cable is pulled as the request comes: the write fails, nothing is carried out"},
    {FaultKind::PowerLoss, "powerloss", 0, 3000, 0, "ms until the power is back",
     "the power fails while the request is carried out: half of it is done, no answer comes"},
    {FaultKind::AnswerLoss, "answerloss", 0, 3000, 0, "ms until the power is back",
     "the request is carried out in full, then the power fails before the answer goes out"},
    {FaultKind::SlowAnswer, "slowanswer", 0, 1500, 0, "ms the answer comes later",
     "the answer comes late; past the host's time limit it has given up on it"},
};

const char* RequestText(std::uint32_t blockId) {
  const BlockRequest* request = FindBlockRequest(blockId);
  if (request == nullptr) return "any request";
  switch (request->action) {
    case UnitAction::Program:
      return "a write";
    case UnitAction::EraseSector:
      return "an erase";
    default:
      return "any request";
  }
}
}  // namespace

std::span<const FaultKindInfo> FaultKinds() { return FAULT_KINDS; }

const FaultKindInfo& FaultKindInfoOf(FaultKind kind) {
  const auto found =
      std::find_if(std::begin(FAULT_KINDS), std::end(FAULT_KINDS), [&](const auto& info) { return info.kind == kind; });
  return found != std::end(FAULT_KINDS) ? *found : FAULT_KINDS[0];
}

const FaultKindInfo* FindFaultKind(std::string_view name) {
  for (const FaultKindInfo& info : FAULT_KINDS) {
    if (name == info.name) return &info;
  }
  return nullptr;
}

std::string FaultKindHelp() {
  std::string text;
  char line[320];
  for (const FaultKindInfo& info : FAULT_KINDS) {
    std::snprintf(line, sizeof line, "  %-12s (%s) %s", info.name, RequestText(info.blockId), info.help);
    text += line;
    if (info.valueText) {
      std::snprintf(line, sizeof line, "; value: %s, default %u", info.valueText, static_cast<unsigned>(info.value));
      text += line;
    }
    text += "\n";
  }
  return text;
}

std::string FaultKindMarkdownRows() {
  std::string text;
  char line[320];
  for (const FaultKindInfo& info : FAULT_KINDS) {
    std::string value = "none";
    if (info.valueText) {
      std::snprintf(line, sizeof line, "%s, default %u", info.valueText, static_cast<unsigned>(info.value));
      value = line;
    }
    std::snprintf(line, sizeof line, "| `%s` | %s | %s | %s |\n", info.name, RequestText(info.blockId), value.c_str(),
                  info.help);
    text += line;
  }
  return text;
}
