// The application API: each call reaches the driver with the platform's control code and buffers,
// answers come back to the caller, and a closed handle or a deactivated device gives error 6.
#include "sim/app/comm_api.h"

#include <cstring>
#include <functional>
#include <thread>

#include "tests/sim_devmgr/devmgr_test_support.h"

namespace {

struct ApiCase {
  const char* name;
  std::function<BOOL(HANDLE)> call;
  DWORD code;
  std::vector<BYTE> in;  // expected input bytes; empty means no input buffer
  DWORD outSize;
};

DCB SampleDcb() {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = CBR_19200;
  dcb.fBinary = 1;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  return dcb;
}

template <typename T>
std::vector<BYTE> Bytes(const T& value) {
  const BYTE* p = reinterpret_cast<const BYTE*>(&value);
  return std::vector<BYTE>(p, p + sizeof value);
}

std::vector<ApiCase> SerialCases() {
  static DCB dcb = SampleDcb();
  static COMMTIMEOUTS timeouts{1, 2, 3, 4, 5};
  static DCB dcbOut;
  static COMMTIMEOUTS timeoutsOut;
  static DWORD word;
  static COMMPROP prop;
  // clang-format off
  std::vector<ApiCase> cases = {
      {"GetCommState", [](HANDLE h) { return ceapp::GetCommState(h, &dcbOut); },
       IOCTL_SERIAL_GET_DCB, {}, 28},
      {"SetCommState", [](HANDLE h) { return ceapp::SetCommState(h, &dcb); },
       IOCTL_SERIAL_SET_DCB, Bytes(dcb), 0},
      {"GetCommTimeouts", [](HANDLE h) { return ceapp::GetCommTimeouts(h, &timeoutsOut); },
       IOCTL_SERIAL_GET_TIMEOUTS, {}, 20},
      {"SetCommTimeouts", [](HANDLE h) { return ceapp::SetCommTimeouts(h, &timeouts); },
       IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts), 0},
      {"GetCommMask", [](HANDLE h) { return ceapp::GetCommMask(h, &word); },
       IOCTL_SERIAL_GET_WAIT_MASK, {}, 4},
      {"SetCommMask", [](HANDLE h) { return ceapp::SetCommMask(h, EV_RXCHAR | EV_CTS); },
       IOCTL_SERIAL_SET_WAIT_MASK, {0x09, 0, 0, 0}, 0},
      {"WaitCommEvent", [](HANDLE h) { return ceapp::WaitCommEvent(h, &word, nullptr); },
       IOCTL_SERIAL_WAIT_ON_MASK, {}, 4},
      {"PurgeComm", [](HANDLE h) { return ceapp::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXABORT); },
       IOCTL_SERIAL_PURGE, {0x09, 0, 0, 0}, 0},
      {"ClearCommError",
       [](HANDLE h) { COMSTAT stat{}; return ceapp::ClearCommError(h, &word, &stat); },
       IOCTL_SERIAL_GET_COMMSTATUS, {}, 16},
      {"GetCommModemStatus", [](HANDLE h) { return ceapp::GetCommModemStatus(h, &word); },
       IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4},
      {"GetCommProperties", [](HANDLE h) { return ceapp::GetCommProperties(h, &prop); },
       IOCTL_SERIAL_GET_PROPERTIES, {}, 64},
      {"SetupComm", [](HANDLE h) { return ceapp::SetupComm(h, 4096, 2048); },
       IOCTL_SERIAL_SET_QUEUE_SIZE, {0x00, 0x10, 0, 0, 0x00, 0x08, 0, 0}, 0},
      {"TransmitCommChar", [](HANDLE h) { return ceapp::TransmitCommChar(h, 'X'); },
       IOCTL_SERIAL_IMMEDIATE_CHAR, {'X'}, 0},
      {"SetCommBreak", [](HANDLE h) { return ceapp::SetCommBreak(h); },
       IOCTL_SERIAL_SET_BREAK_ON, {}, 0},
      {"ClearCommBreak", [](HANDLE h) { return ceapp::ClearCommBreak(h); },
       IOCTL_SERIAL_SET_BREAK_OFF, {}, 0},
      {"DeviceIoControl",
       [](HANDLE h) {
         BYTE in[2] = {0x12, 0x34};
         BYTE out[6];
         DWORD actual = 0;
         return ceapp::DeviceIoControl(h, 0x222008, in, 2, out, 6, &actual, nullptr);
       },
       0x222008, {0x12, 0x34}, 6},
  };
  // clang-format on
  const std::pair<DWORD, DWORD> escapes[] = {
      {SETXOFF, IOCTL_SERIAL_SET_XOFF},      {SETXON, IOCTL_SERIAL_SET_XON},
      {SETRTS, IOCTL_SERIAL_SET_RTS},        {CLRRTS, IOCTL_SERIAL_CLR_RTS},
      {SETDTR, IOCTL_SERIAL_SET_DTR},        {CLRDTR, IOCTL_SERIAL_CLR_DTR},
      {SETBREAK, IOCTL_SERIAL_SET_BREAK_ON}, {CLRBREAK, IOCTL_SERIAL_SET_BREAK_OFF},
      {SETIR, IOCTL_SERIAL_ENABLE_IR},       {CLRIR, IOCTL_SERIAL_DISABLE_IR},
  };
  for (auto [function, code] : escapes) {
    DWORD f = function;
    cases.push_back({"EscapeCommFunction",
                     [f](HANDLE h) { return ceapp::EscapeCommFunction(h, f); },
                     code,
                     {},
                     0});
  }
  return cases;
}

class CommApiTest : public ActiveDeviceTest {
 protected:
  void SetUp() override {
    ActiveDeviceTest::SetUp();
    if (HasFatalFailure()) return;
    port_ = ceapp::CreateFileW(TEXT("FAK1:"), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) ceapp::CloseHandle(port_);
    ActiveDeviceTest::TearDown();
  }
  // Every serial call, ReadFile and WriteFile fail on the handle with ERROR_INVALID_HANDLE.
  static void ExpectEveryCallRefused(HANDLE h) {
    for (const ApiCase& c : SerialCases()) {
      SCOPED_TRACE(c.name);
      SetLastError(0);
      EXPECT_FALSE(c.call(h));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    BYTE buffer[4];
    DWORD count = 0;
    SetLastError(0);
    EXPECT_FALSE(ceapp::ReadFile(h, buffer, 4, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(ceapp::WriteFile(h, buffer, 4, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(CommApiTest, SerialCallsReachTheDriverWithTheirCodesAndBuffers) {
  for (const ApiCase& c : SerialCases()) {
    SCOPED_TRACE(c.name);
    size_t before = fake::S().ioCalls.size();
    EXPECT_TRUE(c.call(port_));
    ASSERT_EQ(fake::S().ioCalls.size(), before + 1);
    const fake::IoCall& io = fake::S().ioCalls.back();
    EXPECT_EQ(io.code, c.code);
    EXPECT_EQ(io.inNull, c.in.empty());
    EXPECT_EQ(io.in, c.in);
    EXPECT_EQ(io.inSize, static_cast<DWORD>(c.in.size()));
    EXPECT_EQ(io.outSize, c.outSize);
    EXPECT_EQ(io.outNull, c.outSize == 0);
    EXPECT_FALSE(io.actualNull);
  }
}

TEST_F(CommApiTest, AnswersComeBackToTheCaller) {
  // The fake answers every output byte i with 0xA0 + i.
  DCB dcb{};
  ASSERT_TRUE(ceapp::GetCommState(port_, &dcb));
  EXPECT_EQ(dcb.DCBlength, 0xA3A2A1A0u);
  EXPECT_EQ(static_cast<BYTE>(dcb.EvtChar), 0xA0 + 25);

  DWORD errors = 0;
  COMSTAT stat{};
  ASSERT_TRUE(ceapp::ClearCommError(port_, &errors, &stat));
  EXPECT_EQ(errors, 0xA3A2A1A0u);
  EXPECT_EQ(stat.cbInQue, 0xABAAA9A8u);
  EXPECT_EQ(stat.cbOutQue, 0xAFAEADACu);
  EXPECT_TRUE(ceapp::ClearCommError(port_, nullptr, nullptr));

  COMMPROP prop{};
  ASSERT_TRUE(ceapp::GetCommProperties(port_, &prop));
  EXPECT_EQ(prop.wPacketLength, 0xA1A0);
  DWORD modem = 0;
  ASSERT_TRUE(ceapp::GetCommModemStatus(port_, &modem));
  EXPECT_EQ(modem, 0xA3A2A1A0u);
}

TEST_F(CommApiTest, ReadAndWriteReportCountsAndTheDriversFailure) {
  BYTE buffer[8] = {};
  DWORD count = 99;
  ASSERT_TRUE(ceapp::ReadFile(port_, buffer, 8, &count, nullptr));
  EXPECT_EQ(count, 8u);
  EXPECT_EQ(buffer[7], 8);
  BYTE data[3] = {1, 2, 3};
  ASSERT_TRUE(ceapp::WriteFile(port_, data, 3, &count, nullptr));
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(fake::S().written, (std::vector<BYTE>{1, 2, 3}));

  fake::S().readResult = ERROR_GEN_FAILURE;
  count = 99;
  EXPECT_FALSE(ceapp::ReadFile(port_, buffer, 8, &count, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(count, 0u);
}

TEST_F(CommApiTest, RefusedArgumentsNeverReachTheDriver) {
  int before = fake::Calls();
  ceapp::OVERLAPPED overlapped{};
  BYTE buffer[4];
  DWORD count = 0;
  DWORD mask = 0;
  EXPECT_FALSE(ceapp::ReadFile(port_, buffer, 4, &count, &overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(ceapp::WriteFile(port_, buffer, 4, &count, &overlapped));
  EXPECT_FALSE(ceapp::WaitCommEvent(port_, &mask, &overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(ceapp::DeviceIoControl(port_, IOCTL_SERIAL_GET_DCB, nullptr, 0, buffer, 4, &count,
                                      &overlapped));
  EXPECT_FALSE(ceapp::EscapeCommFunction(port_, 7));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(ceapp::EscapeCommFunction(port_, 0));
  EXPECT_EQ(fake::Calls(), before);

  EXPECT_EQ(ceapp::CreateFileW(TEXT("FAK1:"), GENERIC_READ, 0, nullptr, 2 /* CREATE_ALWAYS */, 0,
                               nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(ceapp::CreateFileW(TEXT("FAK3:"), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(fake::S().opens, 1);
}

TEST_F(CommApiTest, ClosedHandleGivesInvalidHandleEverywhere) {
  HANDLE closed = port_;
  ASSERT_TRUE(ceapp::CloseHandle(closed));
  port_ = INVALID_HANDLE_VALUE;
  int before = fake::Calls();
  ExpectEveryCallRefused(closed);
  EXPECT_FALSE(ceapp::CloseHandle(closed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(fake::Calls(), before);
  EXPECT_EQ(fake::S().callsOnClosed, 0);
}

TEST_F(CommApiTest, DeactivatedDeviceGivesInvalidHandleEverywhere) {
  ASSERT_TRUE(Deactivate(device_));
  int before = fake::Calls();
  ExpectEveryCallRefused(port_);
  EXPECT_EQ(fake::Calls(), before);
  EXPECT_EQ(fake::S().closes, 1);
  EXPECT_TRUE(ceapp::CloseHandle(port_));
  port_ = INVALID_HANDLE_VALUE;
  EXPECT_EQ(sim::ApplicationHandleCount(), 0u);
}

TEST_F(CommApiTest, GarbageHandlesAreRefused) {
  const HANDLE garbage[] = {nullptr, INVALID_HANDLE_VALUE,
                            reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(port_) + 77)};
  int before = fake::Calls();
  for (HANDLE h : garbage) {
    DWORD mask = 0;
    SetLastError(0);
    EXPECT_FALSE(ceapp::SetCommMask(h, EV_RXCHAR));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ceapp::WaitCommEvent(h, &mask, nullptr));
    SetLastError(0);
    EXPECT_FALSE(ceapp::CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  EXPECT_EQ(fake::Calls(), before);
}

TEST_F(CommApiTest, CloseFromAnotherThreadEndsABlockedWaitAndRead) {
  fake::S().blockWait = true;
  fake::S().blockRead = true;
  HANDLE second = ceapp::CreateFileW(TEXT("FAK1:"), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  BOOL waited = FALSE;
  DWORD mask = 0xFFFF;
  BOOL read = TRUE;
  DWORD readError = 0;
  std::thread waiter([&] { waited = ceapp::WaitCommEvent(second, &mask, nullptr); });
  std::thread reader([&] {
    BYTE buffer[4];
    DWORD count = 0;
    read = ceapp::ReadFile(port_, buffer, 4, &count, nullptr);
    readError = GetLastError();
  });
  ASSERT_TRUE(fake::WaitFor([] { return fake::S().blocked == 2; }));
  EXPECT_TRUE(ceapp::CloseHandle(second));
  waiter.join();
  EXPECT_TRUE(waited);
  EXPECT_EQ(mask, 0u);
  EXPECT_TRUE(ceapp::CloseHandle(port_));
  port_ = INVALID_HANDLE_VALUE;
  reader.join();
  EXPECT_FALSE(read);
  EXPECT_EQ(readError, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(fake::S().closeWhileRunning, 0);
  EXPECT_EQ(fake::S().closes, 2);
}

}  // namespace
