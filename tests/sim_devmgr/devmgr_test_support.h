// Fixture shared by the device manager and application API tests: a device key for the fake
// stream driver, and cleanup of every device a test activated.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ce_os.h"
#include "sim/devmgr/sim_devmgr.h"
#include "sim/os/sim_os.h"
#include "tests/sim_devmgr/fake_stream.h"

inline constexpr const WCHAR* kFakeKey = TEXT("Drivers\\TestDevmgr\\Fake");

inline void WriteStringValue(HKEY key, const WCHAR* name, const sim::WString& value) {
  ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * 2)),
            ERROR_SUCCESS);
}

// Creates the device key with the values given; an empty string leaves that value out.
inline void WriteDeviceKey(const WCHAR* path, const sim::WString& dll, const sim::WString& prefix,
                           int index = -1) {
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            &disposition),
            ERROR_SUCCESS);
  if (!dll.empty()) WriteStringValue(key, TEXT("Dll"), dll);
  if (!prefix.empty()) WriteStringValue(key, TEXT("Prefix"), prefix);
  if (index >= 0) {
    DWORD value = static_cast<DWORD>(index);
    ASSERT_EQ(
        RegSetValueExW(key, TEXT("Index"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
        ERROR_SUCCESS);
  }
  RegCloseKey(key);
}

inline bool RegistryKeyExists(const sim::WString& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

class FakeDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    fake::Register();
    WriteDeviceKey(kFakeKey, TEXT("fakestream"), TEXT("FAK"));
    openKeys_ = sim::RegistryOpenKeys();
  }

  void TearDown() override {
    for (HANDLE device : devices_) DeactivateDevice(device);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kFakeKey);
    sim::UnregisterBuiltinStreamModule(fake::kModuleName);
    EXPECT_EQ(sim::ActiveDeviceCount(), 0u);
    EXPECT_EQ(sim::RegistryOpenKeys(), openKeys_) << "registry keys left open";
  }

  // Activates from the device key and remembers the device for cleanup.
  HANDLE Activate(const WCHAR* key = kFakeKey, DWORD_PTR clientInfo = 0) {
    HANDLE device = ActivateDevice(key, clientInfo);
    if (device) devices_.push_back(device);
    return device;
  }

  // Activation from the key is refused with `error`.
  void ExpectActivationFails(DWORD error, const WCHAR* key = kFakeKey) {
    EXPECT_EQ(Activate(key), nullptr);
    EXPECT_EQ(GetLastError(), error);
  }

  // Deactivates a device activated by Activate.
  BOOL Deactivate(HANDLE device) {
    std::erase(devices_, device);
    return DeactivateDevice(device);
  }

  std::vector<HANDLE> devices_;
  size_t openKeys_ = 0;
};

// With the fake's device activated as FAK1:.
class ActiveDeviceTest : public FakeDeviceTest {
 protected:
  void SetUp() override {
    FakeDeviceTest::SetUp();
    device_ = Activate();
    ASSERT_NE(device_, nullptr);
  }
  HANDLE device_ = nullptr;
};
