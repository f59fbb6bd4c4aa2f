// Port key paths and the registry table writer/reader.
#include "usb/registration.h"

#include <gtest/gtest.h>

#include <string>

#include "sim/os/sim_os.h"

namespace {

const WCHAR kKey[] = TEXT("Drivers\\USB\\ClientDrivers\\Tollaverk\\Test\\Values");

sim::WString Path(DWORD port, DWORD vendor, DWORD product) {
  WCHAR path[PortKeyPathChars];
  EXPECT_TRUE(BuildPortKeyPath(path, PortKeyPathChars, port, vendor, product));
  return path;
}

bool KeyExists(LPCWSTR path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Type and size of a stored value, or type REG_NONE when absent.
using Entry = std::pair<DWORD, DWORD>;  // type and size of a stored value

Entry Stored(LPCWSTR path, LPCWSTR name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return {0, 0};
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) type = REG_NONE;
  RegCloseKey(key);
  return {type, size};
}

class RegistryTableTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey); }
  void TearDown() override { RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey); }
};

TEST(PortKeyPath, FormatsEachNumberInDecimalWithoutLeadingZeros) {
  EXPECT_EQ(Path(0, 4292, 60000),
            TEXT("Drivers\\USB\\ClientDrivers\\Tollaverk\\Port0\\4292_60000"));
  EXPECT_EQ(Path(1, 4292, 60000),
            TEXT("Drivers\\USB\\ClientDrivers\\Tollaverk\\Port1\\4292_60000"));
  EXPECT_EQ(Path(1, 1, 2), TEXT("Drivers\\USB\\ClientDrivers\\Tollaverk\\Port1\\1_2"));
  EXPECT_EQ(Path(10, 0, 65535), TEXT("Drivers\\USB\\ClientDrivers\\Tollaverk\\Port10\\0_65535"));
  // "%d" of a 32-bit value.
  EXPECT_EQ(Path(0xFFFFFFFFu, 0x80000000u, 7),
            TEXT("Drivers\\USB\\ClientDrivers\\Tollaverk\\Port-1\\-2147483648_7"));
}

TEST(PortKeyPath, RefusesABufferThatIsTooSmall) {
  WCHAR path[20];
  path[0] = TEXT('x');
  EXPECT_FALSE(BuildPortKeyPath(path, 20, 0, 4292, 60000));
  EXPECT_EQ(path[0], 0);
  WCHAR exact[53];  // 52 characters and the terminator
  EXPECT_TRUE(BuildPortKeyPath(exact, 53, 0, 4292, 60000));
  EXPECT_FALSE(BuildPortKeyPath(exact, 52, 0, 4292, 60000));
  EXPECT_FALSE(BuildPortKeyPath(nullptr, 53, 0, 4292, 60000));
}

TEST_F(RegistryTableTest, SizesComeFromTheTypes) {
  WCHAR multi[] = TEXT("ab\0c\0");
  WCHAR empty[] = TEXT("");
  DWORD number = 42;
  RegistryValue values[] = {
      {TEXT("Multi"), REG_MULTI_SZ, 0, multi},
      {TEXT("Empty"), REG_SZ, 0, empty},
      {TEXT("Number"), REG_DWORD, 0, &number},
      {nullptr, 0, 0, nullptr},
  };
  ASSERT_TRUE(ApplyRegistryValues(kKey, values, RegistryWrite, FALSE));
  EXPECT_EQ(Stored(kKey, TEXT("Multi")), Entry(REG_MULTI_SZ, 12));
  EXPECT_EQ(Stored(kKey, TEXT("Empty")), Entry(REG_SZ, 2));
  EXPECT_EQ(Stored(kKey, TEXT("Number")), Entry(REG_DWORD, 4));

  WCHAR text[8] = {};
  DWORD read = 0;
  RegistryValue query[] = {
      {TEXT("Empty"), 0, sizeof(text), text},
      {TEXT("Number"), 0, sizeof(read), &read},
      {nullptr, 0, 0, nullptr},
  };
  ASSERT_TRUE(ApplyRegistryValues(kKey, query, RegistryRead, FALSE));
  EXPECT_EQ(query[0].type, REG_SZ);
  EXPECT_EQ(query[0].size, 2u);
  EXPECT_EQ(query[1].type, REG_DWORD);
  EXPECT_EQ(read, 42u);
}

TEST_F(RegistryTableTest, UnsupportedTypeStopsAfterTheValuesBeforeIt) {
  WCHAR text[] = TEXT("x");
  BYTE blob[2] = {1, 2};
  RegistryValue values[] = {
      {TEXT("First"), REG_SZ, 0, text},
      {TEXT("Binary"), REG_BINARY, 0, blob},
      {TEXT("Third"), REG_SZ, 0, text},
      {nullptr, 0, 0, nullptr},
  };
  EXPECT_FALSE(ApplyRegistryValues(kKey, values, RegistryWrite, TRUE));
  EXPECT_EQ(Stored(kKey, TEXT("First")), Entry(REG_SZ, 4));
  EXPECT_EQ(Stored(kKey, TEXT("Binary")).first, REG_NONE);
  EXPECT_EQ(Stored(kKey, TEXT("Third")).first, REG_NONE);
}

TEST_F(RegistryTableTest, ExistingKeyIsRewrittenOnlyWhenForced) {
  WCHAR first[] = TEXT("one");
  WCHAR second[] = TEXT("three");
  RegistryValue v1[] = {{TEXT("Dll"), REG_SZ, 0, first}, {nullptr, 0, 0, nullptr}};
  RegistryValue v2[] = {{TEXT("Dll"), REG_SZ, 0, second}, {nullptr, 0, 0, nullptr}};
  ASSERT_TRUE(ApplyRegistryValues(kKey, v1, RegistryWrite, FALSE));
  EXPECT_TRUE(ApplyRegistryValues(kKey, v2, RegistryWrite, FALSE));
  EXPECT_EQ(Stored(kKey, TEXT("Dll")).second, 8u);  // untouched: "one"
  EXPECT_TRUE(ApplyRegistryValues(kKey, v2, RegistryWrite, TRUE));
  EXPECT_EQ(Stored(kKey, TEXT("Dll")).second, 12u);  // "three"
}

TEST_F(RegistryTableTest, ReadingAMissingKeyFailsWithoutCreatingIt) {
  DWORD value = 0;
  RegistryValue query[] = {{TEXT("Dll"), 0, sizeof(value), &value}, {nullptr, 0, 0, nullptr}};
  EXPECT_FALSE(ApplyRegistryValues(kKey, query, RegistryRead, FALSE));
  EXPECT_FALSE(KeyExists(kKey));
  EXPECT_FALSE(ApplyRegistryValues(nullptr, query, RegistryRead, FALSE));
  EXPECT_FALSE(ApplyRegistryValues(kKey, nullptr, RegistryWrite, TRUE));
}

TEST_F(RegistryTableTest, ReadingAMissingValueFails) {
  WCHAR text[] = TEXT("x");
  RegistryValue values[] = {{TEXT("Present"), REG_SZ, 0, text}, {nullptr, 0, 0, nullptr}};
  ASSERT_TRUE(ApplyRegistryValues(kKey, values, RegistryWrite, TRUE));
  WCHAR buffer[4];
  RegistryValue query[] = {{TEXT("Present"), 0, sizeof(buffer), buffer},
                           {TEXT("Absent"), 0, sizeof(buffer), buffer},
                           {nullptr, 0, 0, nullptr}};
  EXPECT_FALSE(ApplyRegistryValues(kKey, query, RegistryRead, FALSE));
}

TEST_F(RegistryTableTest, UnreadableDataFailsCleanly) {
  // A null string or dword pointer is a fault the writer catches: FALSE, key closed, nothing
  // written for that value.
  RegistryValue nullString[] = {{TEXT("S"), REG_SZ, 0, nullptr}, {nullptr, 0, 0, nullptr}};
  EXPECT_FALSE(ApplyRegistryValues(kKey, nullString, RegistryWrite, TRUE));
  RegistryValue nullNumber[] = {{TEXT("D"), REG_DWORD, 0, nullptr}, {nullptr, 0, 0, nullptr}};
  EXPECT_FALSE(ApplyRegistryValues(kKey, nullNumber, RegistryWrite, TRUE));
  EXPECT_EQ(Stored(kKey, TEXT("S")).first, REG_NONE);
  EXPECT_EQ(Stored(kKey, TEXT("D")).first, REG_NONE);
  // The key can be opened and deleted again: it was closed on the failure.
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey), ERROR_SUCCESS);
}

}  // namespace

namespace {

const WCHAR kPort0Key[] = TEXT("Drivers\\USB\\ClientDrivers\\Tollaverk\\Port0\\4292_60000");
const WCHAR kClientKey[] = TEXT("Drivers\\USB\\ClientDrivers\\Tollaverk");
const WCHAR kLoadKey[] =
    TEXT("Drivers\\USB\\LoadClients\\4292_60000\\Any\\Any_Any_Any\\Any_Any_Any\\Tollaverk");

sim::WString ReadString(LPCWSTR path, LPCWSTR name) {
  WCHAR buffer[128] = {};
  RegistryValue query[] = {{name, 0, sizeof(buffer) - sizeof(WCHAR), buffer},
                           {nullptr, 0, 0, nullptr}};
  if (!ApplyRegistryValues(path, query, RegistryRead, FALSE) || query[0].type != REG_SZ) {
    return TEXT("<none>");
  }
  return buffer;
}

TEST(Installation, RegistersTheClientAndWritesPortZeroOnly) {
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPort0Key);
  // An older configuration is overwritten: installation forces.
  WCHAR old[] = TEXT("Other");
  RegistryValue stale[] = {{TEXT("Dll"), REG_SZ, 0, old}, {nullptr, 0, 0, nullptr}};
  ASSERT_TRUE(ApplyRegistryValues(kPort0Key, stale, RegistryWrite, TRUE));

  ASSERT_TRUE(InstallDriver(TEXT("/opt/drivers/libTollaverk.so")));
  EXPECT_TRUE(KeyExists(kClientKey));
  EXPECT_EQ(ReadString(kLoadKey, TEXT("Dll")), TEXT("/opt/drivers/libTollaverk.so"));
  EXPECT_EQ(ReadString(kPort0Key, TEXT("Dll")), TEXT("Tollaverk"));
  EXPECT_EQ(ReadString(kPort0Key, TEXT("Prefix")), TEXT("COM"));
  EXPECT_FALSE(KeyExists(TEXT("Drivers\\USB\\ClientDrivers\\Tollaverk\\Port1\\4292_60000")));

  EXPECT_TRUE(UnInstallDriver());
  EXPECT_FALSE(KeyExists(kLoadKey));
  // The port key outlasts the registration.
  EXPECT_EQ(ReadString(kPort0Key, TEXT("Dll")), TEXT("Tollaverk"));
  // Nothing left to remove: both unregistrations are attempted and the result says so.
  EXPECT_FALSE(UnInstallDriver());
}

}  // namespace
