// The registry: keys and values through the Win32 calls, deleted keys under open handles, the
// REGEDIT4 loader (every construct it knows and its refusal of malformed text) and OpenDeviceKey.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "os_test_util.h"
#include "platform/ce_os.h"
#include "sim/os/sim_os.h"

namespace {

using namespace ostest;

constexpr LONG kKeyDeleted = ERROR_KEY_DELETED;

class Registry : public testing::Test {
 protected:
  void SetUp() override {
    sim::RegistryClear();
    keysAtStart_ = sim::RegistryOpenKeys();
  }
  void TearDown() override {
    EXPECT_EQ(sim::RegistryOpenKeys(), keysAtStart_);
    sim::RegistryClear();
  }

  static HKEY Create(const WCHAR* path, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, disposition),
              ERROR_SUCCESS);
    return key;
  }
  static LONG Open(const WCHAR* path, HKEY* key, HKEY from = HKEY_LOCAL_MACHINE,
                   REGSAM access = KEY_READ) {
    return RegOpenKeyExW(from, path, 0, access, key);
  }
  static LONG SetString(HKEY key, const WCHAR* name, const sim::WString& s) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(s.c_str()),
                          static_cast<DWORD>((s.size() + 1) * sizeof(WCHAR)));
  }
  static LONG SetDword(HKEY key, const WCHAR* name, DWORD v) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
  }
  // A value as a query finds it: the query's result, the type and the bytes.
  struct Value {
    LONG rc = ERROR_SUCCESS;
    DWORD type = 0;
    std::vector<BYTE> data;
    bool operator==(const Value&) const = default;
  };
  static Value Query(HKEY key, const WCHAR* name) {
    Value v;
    DWORD size = 0;
    v.rc = RegQueryValueExW(key, name, nullptr, &v.type, nullptr, &size);
    if (v.rc != ERROR_SUCCESS) return v;
    v.data.resize(size);
    v.rc = RegQueryValueExW(key, name, nullptr, &v.type, v.data.data(), &size);
    v.data.resize(size);
    return v;
  }
  static sim::WString QueryString(HKEY key, const WCHAR* name) {
    Value v = Query(key, name);
    if (v.rc != ERROR_SUCCESS || v.type != REG_SZ || v.data.size() % 2 != 0)
      return TEXT("<missing>");
    sim::WString s(v.data.size() / 2, TEXT('\0'));
    std::memcpy(s.data(), v.data.data(), v.data.size());
    if (s.empty() || s.back() != TEXT('\0')) return TEXT("<unterminated>");
    s.pop_back();
    return s;
  }
  static DWORD QueryDword(HKEY key, const WCHAR* name) {
    Value v = Query(key, name);
    if (v.rc != ERROR_SUCCESS || v.type != REG_DWORD || v.data.size() != 4) return 0xBAADF00D;
    DWORD word = 0;
    std::memcpy(&word, v.data.data(), 4);
    return word;
  }
  static bool Exists(const WCHAR* path) {
    HKEY key = nullptr;
    if (Open(path, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }

  size_t keysAtStart_ = 0;
};

TEST_F(Registry, CreateOpenSetAndQuery) {
  DWORD disposition = 0;
  HKEY created = Create(TEXT("Drivers\\USB\\Test"), &disposition);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  HKEY again = Create(TEXT("Drivers\\USB\\Test"), &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);

  EXPECT_EQ(SetString(created, TEXT("Prefix"), TEXT("COM")), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(created, TEXT("Index"), 3), ERROR_SUCCESS);
  const BYTE multi[] = {'A', 0, 0, 0, 'B', 0, 0, 0, 0, 0};
  EXPECT_EQ(RegSetValueExW(created, TEXT("Multi"), 0, REG_MULTI_SZ, multi, sizeof multi),
            ERROR_SUCCESS);

  HKEY opened = nullptr;
  ASSERT_EQ(Open(TEXT("Drivers\\USB\\Test"), &opened), ERROR_SUCCESS);
  EXPECT_EQ(QueryString(opened, TEXT("Prefix")), TEXT("COM"));
  EXPECT_EQ(QueryDword(opened, TEXT("Index")), 3u);
  EXPECT_EQ(Query(opened, TEXT("Multi")),
            (Value{ERROR_SUCCESS, REG_MULTI_SZ, std::vector<BYTE>(multi, multi + sizeof multi)}));

  // Type and size alone.
  DWORD size = 0;
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueExW(opened, TEXT("Prefix"), nullptr, &type, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 8u);

  // Overwriting replaces type and data.
  EXPECT_EQ(SetDword(created, TEXT("Prefix"), 9), ERROR_SUCCESS);
  EXPECT_EQ(QueryDword(opened, TEXT("Prefix")), 9u);

  // Paths relative to an open key.
  HKEY child = nullptr;
  EXPECT_EQ(RegCreateKeyExW(opened, TEXT("Child"), 0, nullptr, 0, 0, nullptr, &child, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(child);
  EXPECT_TRUE(Exists(TEXT("Drivers\\USB\\Test\\Child")));

  EXPECT_EQ(RegCloseKey(opened), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(created), ERROR_SUCCESS);
}

TEST_F(Registry, MissingKeysAndValuesAreNotFound) {
  HKEY key = reinterpret_cast<HKEY>(uintptr_t{1});
  EXPECT_EQ(Open(TEXT("No\\Such\\Key"), &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  HKEY present = Create(TEXT("Present"));
  EXPECT_EQ(Query(present, TEXT("Nothing")).rc, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueW(present, TEXT("Nothing")), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("Present\\Nothing")), ERROR_FILE_NOT_FOUND);
  RegCloseKey(present);
}

TEST_F(Registry, NamesAreCaseInsensitiveAndKeepTheirCase) {
  HKEY key = Create(TEXT("MixedCase\\SubKey"));
  EXPECT_EQ(SetString(key, TEXT("ValueName"), TEXT("one")), ERROR_SUCCESS);
  HKEY other = nullptr;
  ASSERT_EQ(Open(TEXT("MIXEDCASE\\subkey"), &other, HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS),
            ERROR_SUCCESS);
  EXPECT_EQ(QueryString(other, TEXT("VALUENAME")), TEXT("one"));
  EXPECT_EQ(SetString(other, TEXT("valuename"), TEXT("two")), ERROR_SUCCESS);
  EXPECT_EQ(QueryString(key, TEXT("ValueName")), TEXT("two"));  // the same value, not a second one
  HKEY upper = Create(TEXT("MIXEDCASE\\SUBKEY\\Leaf"));
  RegCloseKey(upper);
  std::string dump = sim::RegistryDump();
  EXPECT_NE(dump.find("\\MixedCase\\SubKey\\Leaf]"), std::string::npos) << dump;
  EXPECT_EQ(dump.find("MIXEDCASE"), std::string::npos) << dump;
  EXPECT_EQ(RegDeleteValueW(key, TEXT("VALUENAME")), ERROR_SUCCESS);
  EXPECT_EQ(QueryString(other, TEXT("ValueName")), TEXT("<missing>"));
  RegCloseKey(key);
  RegCloseKey(other);
}

// The type is a label on the bytes: a REG_DWORD or REG_QWORD of another size is stored as given,
// so a reader checks the size it gets (a four-byte buffer: more data, or fewer bytes).
TEST_F(Registry, DwordAndQwordKeepTheSizeTheyAreGiven) {
  HKEY key = Create(TEXT("Sizes"));
  const BYTE bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (DWORD size : {0u, 2u, 3u, 5u, 8u}) {
    EXPECT_EQ(RegSetValueExW(key, TEXT("D"), 0, REG_DWORD, bytes, size), ERROR_SUCCESS) << size;
    EXPECT_EQ(Query(key, TEXT("D")),
              (Value{ERROR_SUCCESS, REG_DWORD, std::vector<BYTE>(bytes, bytes + size)}))
        << size;
    DWORD type = 0, word = 0, got = sizeof word;
    LONG rc =
        RegQueryValueExW(key, TEXT("D"), nullptr, &type, reinterpret_cast<BYTE*>(&word), &got);
    EXPECT_EQ(rc, size > 4 ? ERROR_MORE_DATA : ERROR_SUCCESS) << size;
    EXPECT_EQ(got, size);
  }
  EXPECT_EQ(RegSetValueExW(key, TEXT("Q"), 0, REG_QWORD, bytes, 4), ERROR_SUCCESS);
  EXPECT_EQ(Query(key, TEXT("Q")),
            (Value{ERROR_SUCCESS, REG_QWORD, std::vector<BYTE>(bytes, bytes + 4)}));
  // No data with a size is refused and stores nothing.
  EXPECT_NE(RegSetValueExW(key, TEXT("Bin"), 0, REG_BINARY, nullptr, 4), ERROR_SUCCESS);
  EXPECT_EQ(Query(key, TEXT("Bin")).rc, ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(Registry, QueryWithTooSmallBufferGivesMoreDataAndTheSize) {
  HKEY key = Create(TEXT("Small"));
  ASSERT_EQ(SetString(key, TEXT("Name"), TEXT("COM1:")), ERROR_SUCCESS);  // 12 bytes
  BYTE buffer[16];
  std::memset(buffer, 0xEE, sizeof buffer);
  for (DWORD given : {0u, 4u, 11u}) {
    DWORD size = given;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExW(key, TEXT("Name"), nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(type, REG_SZ);
    for (BYTE b : buffer) ASSERT_EQ(b, 0xEE) << "copied with a buffer of " << given;
  }
  DWORD size = 12;
  EXPECT_EQ(RegQueryValueExW(key, TEXT("Name"), nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(std::memcmp(buffer, TEXT("COM1:"), 12), 0);
  EXPECT_EQ(buffer[12], 0xEE);
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(key, TEXT("Name"), nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(RegQueryValueExW(key, TEXT("Name"), nullptr, nullptr, buffer, nullptr),
            ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
}

TEST_F(Registry, DeletedKeyFailsOnHandlesStillOpen) {
  HKEY parent = Create(TEXT("A"));
  HKEY middle = Create(TEXT("A\\B"));
  HKEY leaf = Create(TEXT("A\\B\\C"));
  SetString(leaf, TEXT("v"), TEXT("x"));
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("a\\B")), ERROR_SUCCESS);
  EXPECT_FALSE(Exists(TEXT("A\\B")));
  EXPECT_FALSE(Exists(TEXT("A\\B\\C")));
  EXPECT_TRUE(Exists(TEXT("A")));

  for (HKEY gone : {middle, leaf}) {
    EXPECT_EQ(Query(gone, TEXT("v")).rc, kKeyDeleted);
    EXPECT_EQ(SetString(gone, TEXT("v"), TEXT("y")), kKeyDeleted);
    EXPECT_EQ(RegDeleteValueW(gone, TEXT("v")), kKeyDeleted);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExW(gone, TEXT("New"), 0, nullptr, 0, 0, nullptr, &sub, nullptr),
              kKeyDeleted);
    EXPECT_EQ(sub, nullptr);
    EXPECT_EQ(Open(TEXT("C"), &sub, gone), kKeyDeleted);
    EXPECT_EQ(RegDeleteKeyW(gone, TEXT("C")), kKeyDeleted);
  }
  // A key made again under the same name is a new, empty key; the old handles stay deleted.
  HKEY recreated = Create(TEXT("A\\B\\C"));
  EXPECT_EQ(QueryString(recreated, TEXT("v")), TEXT("<missing>"));
  EXPECT_EQ(SetString(leaf, TEXT("v"), TEXT("z")), kKeyDeleted);
  EXPECT_EQ(RegCloseKey(recreated), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(middle), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(leaf), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(parent), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(parent), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, BadHandlesAndArgumentsAreRefused) {
  HKEY garbage = reinterpret_cast<HKEY>(uintptr_t{0x4321});
  EXPECT_EQ(Query(garbage, TEXT("v")).rc, ERROR_INVALID_HANDLE);
  EXPECT_EQ(SetString(garbage, TEXT("v"), TEXT("x")), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(garbage), ERROR_INVALID_HANDLE);
  HKEY result = nullptr;
  EXPECT_EQ(Open(TEXT("x"), &result, garbage), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("x"), 0, 0, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("")), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
  // An event handle is not a key.
  HANDLE ev = NewEvent(true);
  EXPECT_EQ(SetString(reinterpret_cast<HKEY>(ev), TEXT("v"), TEXT("x")), ERROR_INVALID_HANDLE);
  CloseHandle(ev);
}

TEST_F(Registry, OpenKeyCountReturnsToItsStart) {
  HKEY keys[3] = {Create(TEXT("K1")), Create(TEXT("K2")), nullptr};
  ASSERT_EQ(Open(TEXT("k1"), &keys[2]), ERROR_SUCCESS);
  EXPECT_EQ(sim::RegistryOpenKeys(), keysAtStart_ + 3);
  HKEY failed = nullptr;
  EXPECT_EQ(Open(TEXT("K3"), &failed), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(sim::RegistryOpenKeys(), keysAtStart_ + 3);
  for (HKEY k : keys) EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  EXPECT_EQ(sim::RegistryOpenKeys(), keysAtStart_);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(sim::RegistryOpenKeys(), keysAtStart_);
}

constexpr char kFullText[] = R"(REGEDIT4

; a comment line
[HKEY_LOCAL_MACHINE\Drivers\USB\ClientDrivers\Test]
"Dll"="tv.dll"
"Quote"="say \"hi\" to C:\\dir\\"
"Index"=dword:0000000a
"Big"=dword:FFFFFFFE
"Bytes"=hex:01,02,ff
"Multi"=hex(7):41,00,00,00,42,00,00,00,00,00
"Word64"=hex(b):01,00,00,00,00,00,00,00
"Long"=hex:00,01,02,03,\
  04,05,\
  06
@="default"
"Gone"="x"
"Gone"=-
"Kept"=-

[HKEY_LOCAL_MACHINE\Drivers\Old]
"v"="1"
[HKEY_LOCAL_MACHINE\Drivers\Old\Child]
[-HKEY_LOCAL_MACHINE\drivers\old]
[-HKEY_LOCAL_MACHINE\Drivers\Before]
)";

TEST_F(Registry, LoadTextUnderstandsEveryConstruct) {
  HKEY before = Create(TEXT("Drivers\\Before\\Deep"));
  RegCloseKey(before);
  HKEY test = Create(TEXT("Drivers\\USB\\ClientDrivers\\Test"));
  SetString(test, TEXT("Dll"), TEXT("old.dll"));
  SetString(test, TEXT("Other"), TEXT("stays"));
  SetString(test, TEXT("Kept"), TEXT("removed by the text"));

  std::string error = "untouched";
  ASSERT_TRUE(sim::RegistryLoadText(kFullText, &error)) << error;
  EXPECT_EQ(QueryString(test, TEXT("Dll")), TEXT("tv.dll"));
  EXPECT_EQ(QueryString(test, TEXT("Other")), TEXT("stays"));
  EXPECT_EQ(QueryString(test, TEXT("Quote")), TEXT("say \"hi\" to C:\\dir\\"));
  EXPECT_EQ(QueryDword(test, TEXT("Index")), 10u);
  EXPECT_EQ(QueryDword(test, TEXT("Big")), 0xFFFFFFFEu);
  EXPECT_EQ(Query(test, TEXT("Bytes")), (Value{ERROR_SUCCESS, REG_BINARY, {1, 2, 0xFF}}));
  EXPECT_EQ(Query(test, TEXT("Multi")),
            (Value{ERROR_SUCCESS, REG_MULTI_SZ, {0x41, 0, 0, 0, 0x42, 0, 0, 0, 0, 0}}));
  EXPECT_EQ(Query(test, TEXT("Word64")),
            (Value{ERROR_SUCCESS, REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}}));
  EXPECT_EQ(Query(test, TEXT("Long")), (Value{ERROR_SUCCESS, REG_BINARY, {0, 1, 2, 3, 4, 5, 6}}));
  EXPECT_EQ(QueryString(test, TEXT("")), TEXT("default"));
  EXPECT_EQ(QueryString(test, nullptr), TEXT("default"));
  EXPECT_EQ(QueryString(test, TEXT("Gone")), TEXT("<missing>"));
  EXPECT_EQ(QueryString(test, TEXT("Kept")), TEXT("<missing>"));
  EXPECT_FALSE(Exists(TEXT("Drivers\\Old")));
  EXPECT_FALSE(Exists(TEXT("Drivers\\Before")));
  EXPECT_TRUE(Exists(TEXT("Drivers\\USB")));
  RegCloseKey(test);
}

TEST_F(Registry, LoadTextAcceptsCrLfAndComments) {
  const std::string text =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Crlf] ; trailing comment\r\n"
      "\"S\"=\"text\"\r\n; \"Not\"=\"loaded\"\r\n\"D\"=dword:1 ; one\r\n";
  std::string error;
  ASSERT_TRUE(sim::RegistryLoadText(text, &error)) << error;
  HKEY key = nullptr;
  ASSERT_EQ(Open(TEXT("Crlf"), &key), ERROR_SUCCESS);
  EXPECT_EQ(QueryString(key, TEXT("S")), TEXT("text"));
  EXPECT_EQ(QueryDword(key, TEXT("D")), 1u);
  EXPECT_EQ(QueryString(key, TEXT("Not")), TEXT("<missing>"));
  RegCloseKey(key);
}

struct Malformed {
  const char* what;
  const char* text;  // what follows kLoadedHead, or the whole text where `whole` is set
  int line;
  bool whole = false;
};

// Every text starts with a valid key and value, which must not be loaded either.
constexpr char kLoadedHead[] = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Loaded]\n\"v\"=\"1\"\n";

class RegistryMalformed : public Registry, public testing::WithParamInterface<Malformed> {};

const Malformed kMalformed[] = {
    {"no header", "[HKEY_LOCAL_MACHINE\\Loaded]\n\"v\"=\"1\"\n", 1, true},
    {"bad dword", "\"d\"=dword:12x4\n", 4},
    {"long dword", "\"d\"=dword:123456789\n", 4},
    {"bad hex in a continued list",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Loaded]\n\"v\"=\"1\"\n\"h\"=hex:01,\\\n  0g,03\n", 5, true},
    {"unknown escape", "\"s\"=\"a\\nb\"\n", 4},
    {"unclosed string", "\"s\"=\"abc\n", 4},
    {"other root", "[HKEY_CURRENT_USER\\X]\n", 4},
    {"unclosed key", "[HKEY_LOCAL_MACHINE\\X\n", 4},
    {"value after a removal", "[-HKEY_LOCAL_MACHINE\\X]\n\"w\"=\"2\"\n", 5},
    {"missing '='", "; c\n\"w\" \"2\"\n", 5},
    {"unknown data", "\"w\"=qword:1\n", 4},
    {"bad hex type", "\"w\"=hex(z):01\n", 4},
    {"continued past the end", "\"w\"=hex:01,\\\n", 4},
    {"stray line", "nonsense\n", 4},
};

TEST_P(RegistryMalformed, LoadsNothingAndNamesTheLine) {
  const Malformed& m = GetParam();
  std::string error;
  EXPECT_FALSE(sim::RegistryLoadText(m.whole ? m.text : kLoadedHead + std::string(m.text), &error));
  const std::string prefix = "line " + std::to_string(m.line) + ": ";
  EXPECT_EQ(error.compare(0, prefix.size(), prefix), 0) << error;
  EXPECT_GT(error.size(), prefix.size()) << "no reason given";
  EXPECT_FALSE(Exists(TEXT("Loaded"))) << sim::RegistryDump();
}

INSTANTIATE_TEST_SUITE_P(Registry, RegistryMalformed, testing::ValuesIn(kMalformed));

TEST_F(Registry, LoadFileReportsAMissingFile) {
  std::string error;
  EXPECT_FALSE(sim::RegistryLoadFile("/nonexistent/dir/none.reg", &error));
  EXPECT_NE(error.find("none.reg"), std::string::npos) << error;
}

// An active key as the device manager writes it.
void WriteActiveKey(const WCHAR* active, const sim::WString& deviceKey) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, active, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  const sim::WString name = TEXT("COM9:");
  RegSetValueExW(key, TEXT("Key"), 0, REG_SZ, reinterpret_cast<const BYTE*>(deviceKey.c_str()),
                 static_cast<DWORD>((deviceKey.size() + 1) * 2));
  RegSetValueExW(key, TEXT("Name"), 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                 static_cast<DWORD>((name.size() + 1) * 2));
  DWORD_PTR client = 0x1234;
  EXPECT_EQ(
      RegSetValueExW(key, TEXT("ClientInfo"), 0, sizeof(DWORD_PTR) == 8 ? REG_QWORD : REG_DWORD,
                     reinterpret_cast<const BYTE*>(&client), sizeof client),
      ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(Registry, OpenDeviceKeyOpensTheKeyNamedByTheActiveKey) {
  HKEY device = Create(TEXT("Drivers\\Builtin\\Serial9"));
  SetString(device, TEXT("Prefix"), TEXT("COM"));
  RegCloseKey(device);
  WriteActiveKey(TEXT("Drivers\\Active\\01"), TEXT("Drivers\\Builtin\\Serial9"));

  HKEY opened = OpenDeviceKey(TEXT("Drivers\\Active\\01"));
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(QueryString(opened, TEXT("Prefix")), TEXT("COM"));
  EXPECT_EQ(sim::RegistryOpenKeys(), keysAtStart_ + 1);
  EXPECT_EQ(RegCloseKey(opened), ERROR_SUCCESS);

  // Case does not matter in either path.
  WriteActiveKey(TEXT("Drivers\\Active\\02"), TEXT("drivers\\BUILTIN\\serial9"));
  opened = OpenDeviceKey(TEXT("DRIVERS\\active\\02"));
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(QueryString(opened, TEXT("Prefix")), TEXT("COM"));
  RegCloseKey(opened);
}

TEST_F(Registry, OpenDeviceKeyFailsCleanly) {
  SetLastError(0);
  EXPECT_EQ(OpenDeviceKey(TEXT("Drivers\\Active\\77")), nullptr);
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(OpenDeviceKey(nullptr), nullptr);

  WriteActiveKey(TEXT("Drivers\\Active\\03"), TEXT("Drivers\\Builtin\\Missing"));
  SetLastError(0);
  EXPECT_EQ(OpenDeviceKey(TEXT("Drivers\\Active\\03")), nullptr);
  EXPECT_NE(GetLastError(), 0u);

  HKEY active = Create(TEXT("Drivers\\Active\\04"));
  SetDword(active, TEXT("Key"), 5);
  RegCloseKey(active);
  SetLastError(0);
  EXPECT_EQ(OpenDeviceKey(TEXT("Drivers\\Active\\04")), nullptr);
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(sim::RegistryOpenKeys(), keysAtStart_);
}

TEST(Strings, Utf8AndUtf16RoundTrip) {
  const std::string text = "COM1: \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
  const sim::WString wide = sim::Utf16(text);
  EXPECT_EQ(wide, TEXT("COM1: \u00E9 \u20AC \U0001F600"));
  EXPECT_EQ(sim::Utf8(wide), text);
  EXPECT_EQ(sim::Utf16("a\xC3"), TEXT("a\uFFFD"));  // a cut sequence
}

}  // namespace
