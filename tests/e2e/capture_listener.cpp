// Every end-to-end test records the bus into a capture of its own; a test that fails keeps it
// beside its output (the current folder, or TV_CAPTURE_DIR) and says where, so that a failure in
// CI can be read in Wireshark. A passing test's capture is deleted. With TV_USB_CAPTURE set the
// whole process is captured instead.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "sim/usb/usbmon_capture.h"

namespace {

class CaptureKeeper : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo& test) override {
    started_ = false;
    const char* whole = std::getenv("TV_USB_CAPTURE");
    if (whole && *whole) return;
    const char* dir = std::getenv("TV_CAPTURE_DIR");
    std::string name = std::string(test.test_suite_name()) + "." + test.name();
    for (char& c : name)
      if (c == '/' || c == '\\' || c == ':') c = '_';
    path_ = (std::filesystem::path(dir && *dir ? dir : ".") / ("usb-" + name + ".pcap")).string();
    // Recorded under another name, so that a passing run of the same test does not delete the
    // capture an earlier failure kept.
    partial_ = path_ + ".part";
    std::string error;
    started_ = sim::StartUsbCapture(partial_, &error);
    if (!started_) std::printf("no USB capture for this test: %s\n", error.c_str());
  }

  void OnTestEnd(const ::testing::TestInfo& test) override {
    if (!started_) return;
    started_ = false;
    const bool written = sim::StopUsbCapture();
    std::error_code ignored;
    if (!test.result()->Failed()) {
      std::filesystem::remove(partial_, ignored);
      return;
    }
    std::filesystem::rename(partial_, path_, ignored);
    std::printf(
        "USB capture of this test%s: %s (Wireshark; tools/wireshark/tvbridge.lua names the "
        "bridge's requests)\n",
        written ? "" : " (incomplete: writing failed)",
        std::filesystem::absolute(path_, ignored).lexically_normal().string().c_str());
    std::fflush(stdout);
  }

  std::string path_, partial_;
  bool started_ = false;
};

// Registered before main runs; GoogleTest owns the listener from here on.
const bool kRegistered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new CaptureKeeper);
  return true;
}();

}  // namespace
