#pragma once
// Every request of the block exchange, described once: its id and name, what its address and length carry, what
// the unit does with it, what its answer carries and how long the host waits for that answer. The host builds its
// requests with these ids; the emulated unit checks and carries out a request by its row, and the fuzzers'
// scripted unit answers it by the same row. A new request is a row here, the host's use of it and, if it does
// something new, the unit's behaviour for that.

#include <cstdint>

// The two answers.
inline constexpr std::uint32_t BLK_ACK = 1;
inline constexpr std::uint32_t BLK_NAK = 2;
// The requests.
inline constexpr std::uint32_t BLK_PING = 3;
inline constexpr std::uint32_t BLK_GET_MODE = 4;
inline constexpr std::uint32_t BLK_START = 6;
inline constexpr std::uint32_t BLK_ERASE = 7;
inline constexpr std::uint32_t BLK_WRITE = 8;
inline constexpr std::uint32_t BLK_READ = 9;
inline constexpr std::uint32_t BLK_FINISH = 10;
inline constexpr std::uint32_t BLK_RESET = 11;
inline constexpr std::uint32_t BLK_GET_VERSION = 12;
inline constexpr std::uint32_t BLK_GET_FLAGS = 13;
inline constexpr std::uint32_t BLK_GET_HWID = 14;

// What BlockAddress and BlockLength carry.
enum class RequestFields : std::uint8_t {
  Zero,         // both 0
  Image,        // an image's place in the flash: its address and its size (at least one byte)
  Sector,       // a 64 KiB-aligned address and 1 to 65536 bytes from it
  Block,        // an address and 1 to 256 bytes from it
  ImageOrZero,  // an image's place, or both 0
};

// What the unit does with the request.
enum class UnitAction : std::uint8_t {
  Answer,       // nothing but the answer
  OpenImage,    // the slots it touches lose their flags; its bytes count as unwritten until written
  EraseSector,  // the sector at the address is erased
  Program,      // BlockData's first BlockLength bytes go into the flash at the address
  ReadBack,     // the flash's bytes at the address go into the answer
  CloseImage,   // the slot becomes valid when the whole image was written since it was opened
  Restart,      // the unit restarts (the image's, or its own choice) after the answer
};

// What the answer carries; a request the unit refuses is answered NAK.
enum class AnswerData : std::uint8_t {
  Ack,         // ACK, the request's address and length
  ModeNak,     // the bootloader answers NAK, the application ACK
  FlashBytes,  // BlockData: the bytes read
  Versions,    // BlockData: the application's version text, a zero, the bootloader's version text
  SlotFlags,   // BlockData: one byte per slot (bootloader 1, bootloader 2, application), 1 when valid
  HardwareId,  // BlockData: the hardware id, a 32-bit little-endian word
};

// How long the host waits for the answer.
enum class AnswerWait : std::uint8_t {
  Command,  // 1 s
  Erase,    // 20 s: a sector's erase takes long
};

struct BlockRequest {
  std::uint32_t id;
  const char* name;
  RequestFields fields;
  UnitAction action;
  AnswerData answer;
  bool bootloaderOnly;  // the application refuses it
  AnswerWait wait;
};

inline constexpr BlockRequest BLOCK_REQUESTS[] = {
    {BLK_PING, "BLK_PING", RequestFields::Zero, UnitAction::Answer, AnswerData::Ack, false, AnswerWait::Command},
    {BLK_GET_MODE, "BLK_GET_MODE", RequestFields::Zero, UnitAction::Answer, AnswerData::ModeNak, false,
     AnswerWait::Command},
    {BLK_START, "BLK_START", RequestFields::Image, UnitAction::OpenImage, AnswerData::Ack, true, AnswerWait::Command},
    {BLK_ERASE, "BLK_ERASE", RequestFields::Sector, UnitAction::EraseSector, AnswerData::Ack, true, AnswerWait::Erase},
    {BLK_WRITE, "BLK_WRITE", RequestFields::Block, UnitAction::Program, AnswerData::Ack, true, AnswerWait::Command},
    {BLK_READ, "BLK_READ", RequestFields::Block, UnitAction::ReadBack, AnswerData::FlashBytes, true,
     AnswerWait::Command},
    {BLK_FINISH, "BLK_FINISH", RequestFields::Image, UnitAction::CloseImage, AnswerData::Ack, true,
     AnswerWait::Command},
    {BLK_RESET, "BLK_RESET", RequestFields::ImageOrZero, UnitAction::Restart, AnswerData::Ack, false,
     AnswerWait::Command},
    {BLK_GET_VERSION, "BLK_GET_VERSION", RequestFields::Zero, UnitAction::Answer, AnswerData::Versions, false,
     AnswerWait::Command},
    {BLK_GET_FLAGS, "BLK_GET_FLAGS", RequestFields::Zero, UnitAction::Answer, AnswerData::SlotFlags, false,
     AnswerWait::Command},
    {BLK_GET_HWID, "BLK_GET_HWID", RequestFields::Zero, UnitAction::Answer, AnswerData::HardwareId, false,
     AnswerWait::Command},
};

// The row of a request id; null for an id that names no request (the answers ACK and NAK among them).
constexpr const BlockRequest* FindBlockRequest(std::uint32_t id) {
  for (const BlockRequest& request : BLOCK_REQUESTS) {
    if (request.id == id) return &request;
  }
  return nullptr;
}

// One more than the largest request id: arrays indexed by a request id are this long.
inline constexpr std::uint32_t BLOCK_REQUEST_ID_LIMIT = [] {
  std::uint32_t limit = 0;
  for (const BlockRequest& request : BLOCK_REQUESTS) limit = request.id + 1 > limit ? request.id + 1 : limit;
  return limit;
}();

// The time the host waits for the answer to a request of this kind.
constexpr std::uint32_t AnswerWaitMs(AnswerWait wait) { return wait == AnswerWait::Erase ? 20000 : 1000; }
