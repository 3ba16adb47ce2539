#pragma once
// A loader that counts its constructions and destructions in a record with loadersMade and loadersDeleted, so
// that tests of the main window can tell that every window's loader is released with it.

#include "usb/usb_fw_loader.h"

template <typename Counts>
class CountingLoader final : public UsbFwLoader {
 public:
  CountingLoader(const DeviceLinkContext& context, Counts& counts) : UsbFwLoader(context), counts_(counts) {
    ++counts_.loadersMade;
  }
  ~CountingLoader() override { ++counts_.loadersDeleted; }

 private:
  Counts& counts_;
};
