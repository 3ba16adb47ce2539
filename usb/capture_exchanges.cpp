#include "usb/capture_exchanges.h"

#include <cstdlib>
#include <cstring>

#include "app/windows_numbers.h"

std::uint32_t ErrorOfStatus(std::uint32_t status, const std::string& comment) {
  if (status == USBD_STATUS_DEVICE_GONE) return WIN_ERROR_DEVICE_NOT_CONNECTED;
  if (status == USBD_STATUS_CANCELED) {
    return comment == "aborted" ? WIN_ERROR_OPERATION_ABORTED : WIN_ERROR_SEM_TIMEOUT;
  }
  const std::size_t at = comment.find("error ");
  if (at != std::string::npos) return static_cast<std::uint32_t>(std::strtoul(comment.c_str() + at + 6, nullptr, 10));
  return WIN_ERROR_GEN_FAILURE;
}

std::vector<CaptureEvent> CaptureEvents(const CaptureContents& contents, std::string* problem) {
  std::vector<CaptureEvent> events;
  CaptureEvent* pending = nullptr;  // the exchange whose request came last
  const auto note = [&](std::size_t index, const char* what) {
    if (problem != nullptr && problem->empty()) *problem = "packet " + std::to_string(index + 1) + ": " + what;
  };
  for (std::size_t i = 0; i < contents.packets.size(); ++i) {
    const CapturedPacket& packet = contents.packets[i];
    const UsbPcapHeader& h = packet.header;
    const bool completion = (h.info & USBPCAP_INFO_COMPLETION) != 0;
    if (h.transfer == USBPCAP_TRANSFER_CONTROL) {
      // The device descriptor's completion names the unit: an opening.
      if (completion && packet.data.size() >= 12 && packet.data[1] == 1) {
        CaptureEvent open;
        open.open = true;
        open.startUs = open.endUs = packet.timeUs;
        open.ids.vendorId = static_cast<std::uint16_t>(packet.data[8] | packet.data[9] << 8);
        open.ids.productId = static_cast<std::uint16_t>(packet.data[10] | packet.data[11] << 8);
        events.push_back(open);
        pending = nullptr;
      }
      continue;
    }
    if (h.transfer != USBPCAP_TRANSFER_BULK) {
      note(i, "not a bulk or control transfer");
      continue;
    }
    if (!completion && (h.endpoint & 0x80) == 0) {
      CaptureEvent exchange;
      exchange.number = h.irpId;
      exchange.startUs = exchange.endUs = packet.timeUs;
      exchange.pipeOut = h.endpoint;
      exchange.request = packet.data;
      events.push_back(std::move(exchange));
      pending = &events.back();
      continue;
    }
    if (pending == nullptr || pending->number != h.irpId || !completion) {
      note(i, "an answer without its request");
      continue;
    }
    pending->endUs = packet.timeUs;
    if ((h.endpoint & 0x80) == 0) {  // the OUT's completion: the write failed
      pending->written = h.status == USBD_STATUS_SUCCESS;
      pending->error = pending->written ? 0 : ErrorOfStatus(h.status, packet.comment);
      pending->comment = packet.comment;
      if (!pending->written) pending = nullptr;
      continue;
    }
    pending->pipeIn = h.endpoint;
    pending->answered = true;
    pending->comment = packet.comment;
    pending->readOk = h.status == USBD_STATUS_SUCCESS;
    if (pending->readOk) {
      pending->answer = packet.data;
      pending->answerLength = h.dataLength;
    } else {
      pending->error = ErrorOfStatus(h.status, packet.comment);
    }
    pending = nullptr;
  }
  return events;
}
