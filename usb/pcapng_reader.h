#pragma once
// Reads a USB capture (pcapng, USBPcap link type, little endian) back: the section's comments and program, and
// every packet's USBPcap header, bytes and comment. Every length in the file is checked against what is there:
// a file that is cut off or made up is an error with its offset, never a read past the buffer. Blocks of other
// types are skipped. The pairs of a block exchange: capture_exchanges.h.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "usb/pcapng_blocks.h"

struct CapturedPacket {
  std::uint64_t timeUs = 0;
  UsbPcapHeader header;
  std::vector<std::uint8_t> data;    // the bytes after the USBPcap header, as captured
  std::uint32_t originalLength = 0;  // the packet's length before it was cut, header included
  std::string comment;               // the first opt_comment, if any
};

struct CaptureContents {
  std::string application;  // shb_userappl
  std::vector<std::string> comments;
  std::vector<CapturedPacket> packets;
};

enum class CaptureReadError { None, NotPcapng, CutOff, Malformed };

struct CaptureReadResult {
  CaptureReadError error = CaptureReadError::None;
  std::size_t offset = 0;  // where the problem is
  std::string text;        // what it is, in English
};

CaptureReadResult ReadCapture(const std::uint8_t* bytes, std::size_t size, CaptureContents* contents);
