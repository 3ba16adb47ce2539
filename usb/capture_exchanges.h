#pragma once
// A capture read back (pcapng_reader.h) as what happened on the device link: each opening of the unit (its
// descriptor) and each block exchange (its request, and its answer or failure as the system error the
// program saw), in order.

#include <cstdint>
#include <string>
#include <vector>

#include "usb/pcapng_reader.h"
#include "usb/usb_platform.h"

struct CaptureEvent {
  bool open = false;  // an opening of the unit; else a block exchange
  UsbDeviceIds ids{};
  std::uint64_t number = 0;  // the exchange's irpId
  std::uint64_t startUs = 0;
  std::uint64_t endUs = 0;
  std::uint8_t pipeOut = 0x02;
  std::uint8_t pipeIn = 0x81;
  std::vector<std::uint8_t> request;  // as captured: 272 bytes, or the block header of a cut record
  bool written = true;                // false: the write failed with `error`
  bool answered = false;              // an IN record follows: the answer or the read's failure
  bool readOk = false;
  std::uint32_t error = 0;           // the system error of the failed write or read
  std::vector<std::uint8_t> answer;  // the bytes of the answer as captured
  std::uint32_t answerLength = 0;    // the bytes the unit sent (more than `answer` holds when cut)
  std::string comment;               // the failure's comment
};

// The events of the capture's packets; a packet that belongs to no exchange (an answer without its request,
// another device's transfer) is named in `problem` and skipped.
std::vector<CaptureEvent> CaptureEvents(const CaptureContents& contents, std::string* problem);

// The system error that a failed transfer's status and comment stand for.
std::uint32_t ErrorOfStatus(std::uint32_t status, const std::string& comment);
