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

  static HKEY Create(const char16_t* path, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, disposition),
              ERROR_SUCCESS);
    return key;
  }
  static LONG Open(const char16_t* path, HKEY* key, HKEY from = HKEY_LOCAL_MACHINE) {
    return RegOpenKeyExW(from, path, 0, KEY_READ, key);
  }
  static LONG SetString(HKEY key, const char16_t* name, const std::u16string& s) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(s.c_str()),
                          static_cast<DWORD>((s.size() + 1) * sizeof(char16_t)));
  }
  static LONG SetDword(HKEY key, const char16_t* name, DWORD v) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
  }
  // The value's type and bytes; rc receives the query's result.
  static std::vector<BYTE> Query(HKEY key, const char16_t* name, DWORD* type, LONG* rc) {
    DWORD size = 0;
    *rc = RegQueryValueExW(key, name, nullptr, type, nullptr, &size);
    if (*rc != ERROR_SUCCESS) return {};
    std::vector<BYTE> data(size);
    *rc = RegQueryValueExW(key, name, nullptr, type, data.data(), &size);
    data.resize(size);
    return data;
  }
  static std::u16string QueryString(HKEY key, const char16_t* name) {
    DWORD type = 0;
    LONG rc = 0;
    std::vector<BYTE> data = Query(key, name, &type, &rc);
    if (rc != ERROR_SUCCESS || type != REG_SZ || data.size() % 2 != 0) return u"<missing>";
    std::u16string s(data.size() / 2, u'\0');
    std::memcpy(s.data(), data.data(), data.size());
    if (s.empty() || s.back() != u'\0') return u"<unterminated>";
    s.pop_back();
    return s;
  }
  static DWORD QueryDword(HKEY key, const char16_t* name) {
    DWORD type = 0;
    LONG rc = 0;
    std::vector<BYTE> data = Query(key, name, &type, &rc);
    if (rc != ERROR_SUCCESS || type != REG_DWORD || data.size() != 4) return 0xBAADF00D;
    DWORD v = 0;
    std::memcpy(&v, data.data(), 4);
    return v;
  }
  static bool Exists(const char16_t* path) {
    HKEY key = nullptr;
    if (Open(path, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }

  size_t keysAtStart_ = 0;
};

TEST_F(Registry, CreateOpenSetAndQuery) {
  DWORD disposition = 0;
  HKEY created = Create(u"Drivers\\USB\\Test", &disposition);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  HKEY again = Create(u"Drivers\\USB\\Test", &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);

  EXPECT_EQ(SetString(created, u"Prefix", u"COM"), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(created, u"Index", 3), ERROR_SUCCESS);
  const BYTE multi[] = {'A', 0, 0, 0, 'B', 0, 0, 0, 0, 0};
  EXPECT_EQ(RegSetValueExW(created, u"Multi", 0, REG_MULTI_SZ, multi, sizeof multi), ERROR_SUCCESS);

  HKEY opened = nullptr;
  ASSERT_EQ(Open(u"Drivers\\USB\\Test", &opened), ERROR_SUCCESS);
  EXPECT_EQ(QueryString(opened, u"Prefix"), u"COM");
  EXPECT_EQ(QueryDword(opened, u"Index"), 3u);
  DWORD type = 0;
  LONG rc = 0;
  std::vector<BYTE> data = Query(opened, u"Multi", &type, &rc);
  EXPECT_EQ(rc, ERROR_SUCCESS);
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(data, std::vector<BYTE>(multi, multi + sizeof multi));

  // Type and size alone.
  DWORD size = 0;
  type = 0;
  EXPECT_EQ(RegQueryValueExW(opened, u"Prefix", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 8u);

  // Overwriting replaces type and data.
  EXPECT_EQ(SetDword(created, u"Prefix", 9), ERROR_SUCCESS);
  EXPECT_EQ(QueryDword(opened, u"Prefix"), 9u);

  // Paths relative to an open key.
  HKEY child = nullptr;
  EXPECT_EQ(RegCreateKeyExW(opened, u"Child", 0, nullptr, 0, 0, nullptr, &child, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(child);
  EXPECT_TRUE(Exists(u"Drivers\\USB\\Test\\Child"));

  EXPECT_EQ(RegCloseKey(opened), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(created), ERROR_SUCCESS);
}

TEST_F(Registry, MissingKeysAndValuesAreNotFound) {
  HKEY key = reinterpret_cast<HKEY>(uintptr_t{1});
  EXPECT_EQ(Open(u"No\\Such\\Key", &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  HKEY present = Create(u"Present");
  DWORD type = 0;
  LONG rc = 0;
  Query(present, u"Nothing", &type, &rc);
  EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueW(present, u"Nothing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Present\\Nothing"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(present);
}

TEST_F(Registry, NamesAreCaseInsensitiveAndKeepTheirCase) {
  HKEY key = Create(u"MixedCase\\SubKey");
  EXPECT_EQ(SetString(key, u"ValueName", u"one"), ERROR_SUCCESS);
  HKEY other = nullptr;
  ASSERT_EQ(Open(u"MIXEDCASE\\subkey", &other), ERROR_SUCCESS);
  EXPECT_EQ(QueryString(other, u"VALUENAME"), u"one");
  EXPECT_EQ(SetString(other, u"valuename", u"two"), ERROR_SUCCESS);
  EXPECT_EQ(QueryString(key, u"ValueName"), u"two");  // the same value, not a second one
  HKEY upper = Create(u"MIXEDCASE\\SUBKEY\\Leaf");
  RegCloseKey(upper);
  std::string dump = sim::RegistryDump();
  EXPECT_NE(dump.find("\\MixedCase\\SubKey\\Leaf]"), std::string::npos) << dump;
  EXPECT_EQ(dump.find("MIXEDCASE"), std::string::npos) << dump;
  EXPECT_EQ(RegDeleteValueW(key, u"VALUENAME"), ERROR_SUCCESS);
  EXPECT_EQ(QueryString(other, u"ValueName"), u"<missing>");
  RegCloseKey(key);
  RegCloseKey(other);
}

TEST_F(Registry, DwordMustBeFourBytesAndQwordEight) {
  HKEY key = Create(u"Sizes");
  const BYTE bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(SetDword(key, u"D", 5), ERROR_SUCCESS);
  for (DWORD size : {0u, 2u, 3u, 5u, 8u}) {
    EXPECT_EQ(RegSetValueExW(key, u"D", 0, REG_DWORD, bytes, size), ERROR_INVALID_PARAMETER)
        << size;
    EXPECT_EQ(RegSetValueExW(key, u"New", 0, REG_DWORD, bytes, size), ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(QueryDword(key, u"D"), 5u);  // a refused set changes nothing
  DWORD type = 0;
  LONG rc = 0;
  Query(key, u"New", &type, &rc);
  EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegSetValueExW(key, u"Q", 0, REG_QWORD, bytes, 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExW(key, u"Q", 0, REG_QWORD, bytes, 8), ERROR_SUCCESS);
  std::vector<BYTE> q = Query(key, u"Q", &type, &rc);
  EXPECT_EQ(type, REG_QWORD);
  EXPECT_EQ(q, std::vector<BYTE>(bytes, bytes + 8));
  EXPECT_EQ(RegSetValueExW(key, u"Bin", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
}

TEST_F(Registry, QueryWithTooSmallBufferGivesMoreDataAndTheSize) {
  HKEY key = Create(u"Small");
  ASSERT_EQ(SetString(key, u"Name", u"COM1:"), ERROR_SUCCESS);  // 12 bytes
  BYTE buffer[16];
  std::memset(buffer, 0xEE, sizeof buffer);
  for (DWORD given : {0u, 4u, 11u}) {
    DWORD size = given;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Name", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(type, REG_SZ);
    for (BYTE b : buffer) ASSERT_EQ(b, 0xEE) << "copied with a buffer of " << given;
  }
  DWORD size = 12;
  EXPECT_EQ(RegQueryValueExW(key, u"Name", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(std::memcmp(buffer, u"COM1:", 12), 0);
  EXPECT_EQ(buffer[12], 0xEE);
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(key, u"Name", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(RegQueryValueExW(key, u"Name", nullptr, nullptr, buffer, nullptr),
            ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
}

TEST_F(Registry, DeletedKeyFailsOnHandlesStillOpen) {
  HKEY parent = Create(u"A");
  HKEY middle = Create(u"A\\B");
  HKEY leaf = Create(u"A\\B\\C");
  SetString(leaf, u"v", u"x");
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"a\\B"), ERROR_SUCCESS);
  EXPECT_FALSE(Exists(u"A\\B"));
  EXPECT_FALSE(Exists(u"A\\B\\C"));
  EXPECT_TRUE(Exists(u"A"));

  for (HKEY gone : {middle, leaf}) {
    DWORD type = 0;
    LONG rc = 0;
    Query(gone, u"v", &type, &rc);
    EXPECT_EQ(rc, kKeyDeleted);
    EXPECT_EQ(SetString(gone, u"v", u"y"), kKeyDeleted);
    EXPECT_EQ(RegDeleteValueW(gone, u"v"), kKeyDeleted);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExW(gone, u"New", 0, nullptr, 0, 0, nullptr, &sub, nullptr), kKeyDeleted);
    EXPECT_EQ(sub, nullptr);
    EXPECT_EQ(Open(u"C", &sub, gone), kKeyDeleted);
    EXPECT_EQ(RegDeleteKeyW(gone, u"C"), kKeyDeleted);
  }
  // A key made again under the same name is a new, empty key; the old handles stay deleted.
  HKEY recreated = Create(u"A\\B\\C");
  EXPECT_EQ(QueryString(recreated, u"v"), u"<missing>");
  EXPECT_EQ(SetString(leaf, u"v", u"z"), kKeyDeleted);
  EXPECT_EQ(RegCloseKey(recreated), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(middle), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(leaf), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(parent), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(parent), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, BadHandlesAndArgumentsAreRefused) {
  HKEY garbage = reinterpret_cast<HKEY>(uintptr_t{0x4321});
  DWORD type = 0;
  LONG rc = 0;
  Query(garbage, u"v", &type, &rc);
  EXPECT_EQ(rc, ERROR_INVALID_HANDLE);
  EXPECT_EQ(SetString(garbage, u"v", u"x"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(garbage), ERROR_INVALID_HANDLE);
  HKEY result = nullptr;
  EXPECT_EQ(Open(u"x", &result, garbage), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"x", 0, 0, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
  // An event handle is not a key.
  HANDLE ev = NewEvent(true);
  EXPECT_EQ(SetString(reinterpret_cast<HKEY>(ev), u"v", u"x"), ERROR_INVALID_HANDLE);
  CloseHandle(ev);
}

TEST_F(Registry, OpenKeyCountReturnsToItsStart) {
  HKEY keys[3] = {Create(u"K1"), Create(u"K2"), nullptr};
  ASSERT_EQ(Open(u"k1", &keys[2]), ERROR_SUCCESS);
  EXPECT_EQ(sim::RegistryOpenKeys(), keysAtStart_ + 3);
  HKEY failed = nullptr;
  EXPECT_EQ(Open(u"K3", &failed), ERROR_FILE_NOT_FOUND);
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
  HKEY before = Create(u"Drivers\\Before\\Deep");
  RegCloseKey(before);
  HKEY test = Create(u"Drivers\\USB\\ClientDrivers\\Test");
  SetString(test, u"Dll", u"old.dll");
  SetString(test, u"Other", u"stays");
  SetString(test, u"Kept", u"removed by the text");

  std::string error = "untouched";
  ASSERT_TRUE(sim::RegistryLoadText(kFullText, &error)) << error;
  EXPECT_EQ(QueryString(test, u"Dll"), u"tv.dll");
  EXPECT_EQ(QueryString(test, u"Other"), u"stays");
  EXPECT_EQ(QueryString(test, u"Quote"), u"say \"hi\" to C:\\dir\\");
  EXPECT_EQ(QueryDword(test, u"Index"), 10u);
  EXPECT_EQ(QueryDword(test, u"Big"), 0xFFFFFFFEu);
  DWORD type = 0;
  LONG rc = 0;
  EXPECT_EQ(Query(test, u"Bytes", &type, &rc), (std::vector<BYTE>{1, 2, 0xFF}));
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(Query(test, u"Multi", &type, &rc),
            (std::vector<BYTE>{0x41, 0, 0, 0, 0x42, 0, 0, 0, 0, 0}));
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(Query(test, u"Word64", &type, &rc), (std::vector<BYTE>{1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(type, REG_QWORD);
  EXPECT_EQ(Query(test, u"Long", &type, &rc), (std::vector<BYTE>{0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(QueryString(test, u""), u"default");
  EXPECT_EQ(QueryString(test, nullptr), u"default");
  EXPECT_EQ(QueryString(test, u"Gone"), u"<missing>");
  EXPECT_EQ(QueryString(test, u"Kept"), u"<missing>");
  EXPECT_FALSE(Exists(u"Drivers\\Old"));
  EXPECT_FALSE(Exists(u"Drivers\\Before"));
  EXPECT_TRUE(Exists(u"Drivers\\USB"));
  RegCloseKey(test);
}

TEST_F(Registry, LoadTextAcceptsCrLfAndComments) {
  const std::string text =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Crlf] ; trailing comment\r\n"
      "\"S\"=\"text\"\r\n; \"Not\"=\"loaded\"\r\n\"D\"=dword:1 ; one\r\n";
  std::string error;
  ASSERT_TRUE(sim::RegistryLoadText(text, &error)) << error;
  HKEY key = nullptr;
  ASSERT_EQ(Open(u"Crlf", &key), ERROR_SUCCESS);
  EXPECT_EQ(QueryString(key, u"S"), u"text");
  EXPECT_EQ(QueryDword(key, u"D"), 1u);
  EXPECT_EQ(QueryString(key, u"Not"), u"<missing>");
  RegCloseKey(key);
}

struct Malformed {
  const char* what;
  const char* text;
  int line;
};

class RegistryMalformed : public Registry, public testing::WithParamInterface<Malformed> {};

// Every text starts with a valid key and value, which must not be loaded either.
const Malformed kMalformed[] = {
    {"no header", "[HKEY_LOCAL_MACHINE\\Loaded]\n\"v\"=\"1\"\n", 1},
    {"bad dword", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Loaded]\n\"v\"=\"1\"\n\"d\"=dword:12x4\n", 4},
    {"long dword", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Loaded]\n\"v\"=\"1\"\n\"d\"=dword:123456789\n",
     4},
    {"bad hex in a continued list",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Loaded]\n\"v\"=\"1\"\n\"h\"=hex:01,\\\n  0g,03\n", 5},
    {"unknown escape", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Loaded]\n\"v\"=\"1\"\n\"s\"=\"a\\nb\"\n", 4},
    {"unclosed string", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Loaded]\n\"v\"=\"1\"\n\"s\"=\"abc\n", 4},
    {"other root", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Loaded]\n\"v\"=\"1\"\n[HKEY_CURRENT_USER\\X]\n",
     4},
    {"unclosed key",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Loaded]\n\"v\"=\"1\"\n[HKEY_LOCAL_MACHINE\\X\n", 4},
    {"value after a removal",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Loaded]\n\"v\"=\"1\"\n[-HKEY_LOCAL_MACHINE\\X]\n\"w\"=\"2\"\n",
     5},
    {"missing '='", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Loaded]\n\"v\"=\"1\"\n; c\n\"w\" \"2\"\n", 5},
    {"unknown data", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Loaded]\n\"v\"=\"1\"\n\"w\"=qword:1\n", 4},
    {"bad hex type", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Loaded]\n\"v\"=\"1\"\n\"w\"=hex(z):01\n", 4},
    {"continued past the end",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Loaded]\n\"v\"=\"1\"\n\"w\"=hex:01,\\\n", 4},
    {"stray line", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Loaded]\n\"v\"=\"1\"\nnonsense\n", 4},
};

TEST_P(RegistryMalformed, LoadsNothingAndNamesTheLine) {
  const Malformed& m = GetParam();
  std::string error;
  EXPECT_FALSE(sim::RegistryLoadText(m.text, &error));
  const std::string prefix = "line " + std::to_string(m.line) + ": ";
  EXPECT_EQ(error.compare(0, prefix.size(), prefix), 0) << error;
  EXPECT_GT(error.size(), prefix.size()) << "no reason given";
  EXPECT_FALSE(Exists(u"Loaded")) << sim::RegistryDump();
}

INSTANTIATE_TEST_SUITE_P(Registry, RegistryMalformed, testing::ValuesIn(kMalformed));

TEST_F(Registry, LoadFileReportsAMissingFile) {
  std::string error;
  EXPECT_FALSE(sim::RegistryLoadFile("/nonexistent/dir/none.reg", &error));
  EXPECT_NE(error.find("none.reg"), std::string::npos) << error;
}

// An active key as the device manager writes it.
void WriteActiveKey(const char16_t* active, const std::u16string& deviceKey) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, active, 0, nullptr, 0, 0, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const std::u16string name = u"COM9:";
  RegSetValueExW(key, u"Key", 0, REG_SZ, reinterpret_cast<const BYTE*>(deviceKey.c_str()),
                 static_cast<DWORD>((deviceKey.size() + 1) * 2));
  RegSetValueExW(key, u"Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                 static_cast<DWORD>((name.size() + 1) * 2));
  DWORD_PTR client = 0x1234;
  EXPECT_EQ(RegSetValueExW(key, u"ClientInfo", 0, sizeof(DWORD_PTR) == 8 ? REG_QWORD : REG_DWORD,
                           reinterpret_cast<const BYTE*>(&client), sizeof client),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(Registry, OpenDeviceKeyOpensTheKeyNamedByTheActiveKey) {
  HKEY device = Create(u"Drivers\\Builtin\\Serial9");
  SetString(device, u"Prefix", u"COM");
  RegCloseKey(device);
  WriteActiveKey(u"Drivers\\Active\\01", u"Drivers\\Builtin\\Serial9");

  HKEY opened = OpenDeviceKey(u"Drivers\\Active\\01");
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(QueryString(opened, u"Prefix"), u"COM");
  EXPECT_EQ(sim::RegistryOpenKeys(), keysAtStart_ + 1);
  EXPECT_EQ(RegCloseKey(opened), ERROR_SUCCESS);

  // Case does not matter in either path.
  WriteActiveKey(u"Drivers\\Active\\02", u"drivers\\BUILTIN\\serial9");
  opened = OpenDeviceKey(u"DRIVERS\\active\\02");
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(QueryString(opened, u"Prefix"), u"COM");
  RegCloseKey(opened);
}

TEST_F(Registry, OpenDeviceKeyFailsCleanly) {
  SetLastError(0);
  EXPECT_EQ(OpenDeviceKey(u"Drivers\\Active\\77"), nullptr);
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(OpenDeviceKey(nullptr), nullptr);

  WriteActiveKey(u"Drivers\\Active\\03", u"Drivers\\Builtin\\Missing");
  SetLastError(0);
  EXPECT_EQ(OpenDeviceKey(u"Drivers\\Active\\03"), nullptr);
  EXPECT_NE(GetLastError(), 0u);

  HKEY active = Create(u"Drivers\\Active\\04");
  SetDword(active, u"Key", 5);
  RegCloseKey(active);
  SetLastError(0);
  EXPECT_EQ(OpenDeviceKey(u"Drivers\\Active\\04"), nullptr);
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(sim::RegistryOpenKeys(), keysAtStart_);
}

TEST(Strings, Utf8AndUtf16RoundTrip) {
  const std::string text = "COM1: \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
  const std::u16string wide = sim::Utf16(text);
  EXPECT_EQ(wide, u"COM1: \u00E9 \u20AC \U0001F600");
  EXPECT_EQ(sim::Utf8(wide), text);
  EXPECT_EQ(sim::Utf16("a\xC3"), u"a\uFFFD");  // a cut sequence
}

}  // namespace
