// A small host stack for the bridge port tests: one bridge with up to two interfaces, answering
// vendor requests like the bridge (modem status, comm status, properties, latch, part number),
// logging every control request and bulk OUT transfer, and completing bulk transfers on its own
// thread. With the loopback plug on, bytes sent on bulk OUT come back on bulk IN.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ce_usb.h"

namespace wirehost {

struct Request {
  USB_DEVICE_REQUEST setup;
  DWORD flags;
  std::vector<BYTE> data;  // OUT: what the driver sent; IN: what the bridge answered
};

class Host {
 public:
  Host();
  ~Host();

  LPCUSB_FUNCS Funcs() const;
  USB_HANDLE Handle();
  USB_PIPE InPipe();
  USB_PIPE OutPipe();

  // Bridge state.
  void SetModemStatus(BYTE status);
  void SetCommStatus(const std::vector<BYTE>& status);  // 19 bytes
  void SetProperties(const std::vector<BYTE>& properties);
  void SetPartNumber(BYTE partNumber);
  void SetLatch(BYTE latch);
  BYTE Latch();
  void SetLoopback(bool on);

  // Faults. The next count requests with this bRequest complete with a stall.
  void FailNext(BYTE request, int count);
  // Every request fails with a stall while on.
  void FailAll(bool on);
  // Bulk OUT transfer number index (0-based, counted from now) never completes; its status then
  // reports bytes moved.
  void HangBulkOut(int index, DWORD bytes);
  // Bytes the bridge sends to the host.
  void Feed(const std::vector<BYTE>& bytes);

  // Log.
  std::vector<Request> Requests();
  size_t RequestCount();
  std::vector<std::vector<BYTE>> BulkOuts();
  void ClearLog();
  // Waits until the log holds at least count requests; false after timeoutMs.
  bool WaitRequests(size_t count, int timeoutMs);
  // Bulk IN transfers waiting for data.
  size_t PendingIn();

  // Used by the USB_FUNCS table.
  struct Transfer;
  USB_TRANSFER Vendor(LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter, DWORD flags,
                      LPCUSB_DEVICE_REQUEST setup, LPVOID buffer);
  USB_TRANSFER Bulk(USB_PIPE pipe, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter, DWORD flags,
                    DWORD length, LPVOID buffer);
  BOOL Status(USB_TRANSFER transfer, LPDWORD bytes, LPDWORD error);
  BOOL Close(USB_TRANSFER transfer);

 private:
  void Complete(Transfer* transfer);  // lock held
  void ServeInLocked();
  void Worker();

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Transfer*> completions_;
  std::vector<Transfer*> pendingIn_;
  std::vector<Transfer*> live_;
  std::deque<BYTE> inFifo_;
  std::vector<Request> requests_;
  std::vector<std::vector<BYTE>> bulkOuts_;
  BYTE modem_ = 0;
  std::vector<BYTE> commStatus_ = std::vector<BYTE>(19, 0);
  std::vector<BYTE> properties_ = std::vector<BYTE>(64, 0);
  BYTE partNumber_ = 2;
  BYTE latch_ = 0;
  bool loopback_ = false;
  bool failAll_ = false;
  int failRequest_ = -1;
  int failCount_ = 0;
  int bulkOutSeen_ = 0;
  int hangIndex_ = -1;
  DWORD hangBytes_ = 0;
  bool stop_ = false;
  std::thread worker_;
};

}  // namespace wirehost
