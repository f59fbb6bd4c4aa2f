// The registry: one HKEY_LOCAL_MACHINE tree in memory, its Win32 calls, the REGEDIT4 loader and
// OpenDeviceKey.
//
// Registry::lock protects the whole tree and the handle table. An open HKEY holds its key node;
// a node removed from the tree is marked deleted, so that handles still open on it fail cleanly.
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "sim/os/os_internal.h"
#include "sim/os/sim_os.h"

namespace sim {
namespace {

constexpr uintptr_t kTagShift = sizeof(uintptr_t) * 8 - 8;
constexpr uintptr_t kRegistryTag = uintptr_t{0x52} << kTagShift;

struct Value {
  std::u16string name;  // as created
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct Key {
  std::u16string name;                                      // as created
  std::map<std::u16string, std::shared_ptr<Key>> children;  // by lower-case name
  std::map<std::u16string, Value> values;                   // by lower-case name
  bool deleted = false;
};

struct Registry {
  std::mutex lock;
  std::shared_ptr<Key> root = std::make_shared<Key>();
  std::unordered_map<uintptr_t, std::shared_ptr<Key>> handles;
  uintptr_t nextSerial = 1;
};

// Never destroyed: driver threads may still call in while the process exits.
Registry& R() {
  static Registry* registry = new Registry;
  return *registry;
}

std::u16string Lower(std::u16string s) {
  for (char16_t& c : s) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return s;
}

std::vector<std::u16string> SplitPath(const std::u16string& path) {
  std::vector<std::u16string> parts;
  std::u16string part;
  for (char16_t c : path) {
    if (c == u'\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

void MarkDeletedLocked(Key& key) {
  key.deleted = true;
  for (auto& child : key.children) MarkDeletedLocked(*child.second);
}

// Resolves an HKEY: ERROR_SUCCESS and the node, or the error for a bad or deleted key.
LONG ResolveLocked(HKEY key, std::shared_ptr<Key>* node) {
  if (key == HKEY_LOCAL_MACHINE) {
    *node = R().root;
    return ERROR_SUCCESS;
  }
  auto it = R().handles.find(reinterpret_cast<uintptr_t>(key));
  if (it == R().handles.end()) return ERROR_INVALID_HANDLE;
  if (it->second->deleted) return ERROR_KEY_DELETED;
  *node = it->second;
  return ERROR_SUCCESS;
}

std::shared_ptr<Key> FindLocked(std::shared_ptr<Key> from, const std::u16string& path) {
  for (const std::u16string& part : SplitPath(path)) {
    auto it = from->children.find(Lower(part));
    if (it == from->children.end()) return nullptr;
    from = it->second;
  }
  return from;
}

std::shared_ptr<Key> CreateLocked(std::shared_ptr<Key> from, const std::u16string& path,
                                  bool* created) {
  *created = false;
  for (const std::u16string& part : SplitPath(path)) {
    auto& slot = from->children[Lower(part)];
    if (!slot) {
      slot = std::make_shared<Key>();
      slot->name = part;
      *created = true;
    }
    from = slot;
  }
  return from;
}

HKEY NewHandleLocked(std::shared_ptr<Key> node) {
  uintptr_t value = kRegistryTag | R().nextSerial++;
  R().handles.emplace(value, std::move(node));
  return reinterpret_cast<HKEY>(value);
}

void SetValueLocked(Key& key, const std::u16string& name, DWORD type, std::vector<BYTE> data) {
  Value& value = key.values[Lower(name)];
  value.name = name;
  value.type = type;
  value.data = std::move(data);
}

bool DeleteKeyLocked(std::shared_ptr<Key> from, const std::u16string& path) {
  std::vector<std::u16string> parts = SplitPath(path);
  if (parts.empty()) return false;
  std::u16string leaf = Lower(parts.back());
  parts.pop_back();
  for (const std::u16string& part : parts) {
    auto it = from->children.find(Lower(part));
    if (it == from->children.end()) return false;
    from = it->second;
  }
  auto it = from->children.find(leaf);
  if (it == from->children.end()) return false;
  MarkDeletedLocked(*it->second);
  from->children.erase(it);
  return true;
}

std::u16string FromWide(LPCWSTR s) {
  return s == nullptr ? std::u16string() : std::u16string(s);
}

std::vector<BYTE> WideBytes(const std::u16string& s) {
  std::vector<BYTE> bytes;
  for (char16_t c : s) {
    bytes.push_back(static_cast<BYTE>(c & 0xFF));
    bytes.push_back(static_cast<BYTE>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

// ---- REGEDIT4 text

struct LoadOp {
  enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
  Kind kind;
  std::u16string path;
  std::u16string name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

class RegText {
 public:
  explicit RegText(const std::string& text) : text_(text) {}

  bool Parse(std::vector<LoadOp>* ops, std::string* error);

 private:
  bool NextLine(std::string* line);
  bool Fail(const std::string& why);
  bool ParseSection(const std::string& line, std::vector<LoadOp>* ops);
  bool ParseValue(const std::string& line, std::vector<LoadOp>* ops);
  bool ParseQuoted(const std::string& line, size_t* pos, std::string* out);
  bool ParseHexBytes(const std::string& list, std::vector<BYTE>* out);
  bool OnlyCommentAfter(const std::string& line, size_t pos);

  const std::string& text_;
  size_t pos_ = 0;
  unsigned lineNumber_ = 0;  // of the line being parsed (the first, when continued)
  unsigned readLines_ = 0;
  bool inSection_ = false;
  std::u16string section_;
  std::string error_;
};

std::string Trim(const std::string& s) {
  size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  size_t last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

bool StartsWith(const std::string& s, const std::string& head) {
  return s.compare(0, head.size(), head) == 0;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool RegText::NextLine(std::string* line) {
  if (pos_ >= text_.size()) return false;
  size_t end = text_.find('\n', pos_);
  if (end == std::string::npos) end = text_.size();
  *line = text_.substr(pos_, end - pos_);
  if (!line->empty() && line->back() == '\r') line->pop_back();
  pos_ = end + 1;
  ++readLines_;
  return true;
}

bool RegText::Fail(const std::string& why) {
  error_ = "line " + std::to_string(lineNumber_) + ": " + why;
  return false;
}

bool RegText::Parse(std::vector<LoadOp>* ops, std::string* error) {
  std::string line;
  bool header = false;
  bool ok = true;
  if (StartsWith(text_, "\xEF\xBB\xBF")) pos_ = 3;
  while (ok && NextLine(&line)) {
    lineNumber_ = readLines_;
    line = Trim(line);
    if (line.empty() || line[0] == ';') continue;
    if (!header) {
      if (line != "REGEDIT4") {
        ok = Fail("expected the header line \"REGEDIT4\"");
        break;
      }
      header = true;
      continue;
    }
    if (line[0] == '[') {
      ok = ParseSection(line, ops);
      continue;
    }
    // A hex list may continue over several lines, each but the last ending with a backslash.
    while (!line.empty() && line.back() == '\\') {
      line.pop_back();
      std::string more;
      if (!NextLine(&more)) {
        ok = Fail("the value continues past the end of the text");
        break;
      }
      line += Trim(more);
    }
    if (ok) ok = ParseValue(line, ops);
  }
  if (ok && !header) {
    lineNumber_ = readLines_ == 0 ? 1 : readLines_;
    ok = Fail("expected the header line \"REGEDIT4\"");
  }
  if (!ok && error != nullptr) *error = error_;
  return ok;
}

bool RegText::ParseSection(const std::string& line, std::vector<LoadOp>* ops) {
  size_t close = line.find(']');
  if (close == std::string::npos) return Fail("the key name has no closing ']'");
  if (!OnlyCommentAfter(line, close + 1)) return Fail("unexpected text after the key name");
  std::string name = line.substr(1, close - 1);
  bool remove = !name.empty() && name[0] == '-';
  if (remove) name.erase(0, 1);
  const std::string root = "HKEY_LOCAL_MACHINE";
  if (name.size() < root.size() ||
      Lower(Utf16(name.substr(0, root.size()))) != u"hkey_local_machine" ||
      (name.size() > root.size() && name[root.size()] != '\\')) {
    return Fail("only keys under HKEY_LOCAL_MACHINE can be loaded: [" + name + "]");
  }
  section_ = Utf16(name.substr(root.size()));
  if (remove) {
    if (SplitPath(section_).empty()) return Fail("HKEY_LOCAL_MACHINE itself cannot be removed");
    ops->push_back(LoadOp{LoadOp::Kind::DeleteKey, section_, {}, REG_NONE, {}});
    inSection_ = false;
  } else {
    ops->push_back(LoadOp{LoadOp::Kind::CreateKey, section_, {}, REG_NONE, {}});
    inSection_ = true;
  }
  return true;
}

bool RegText::ParseQuoted(const std::string& line, size_t* pos, std::string* out) {
  // *pos is at the opening quote.
  out->clear();
  size_t i = *pos + 1;
  while (i < line.size()) {
    char c = line[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= line.size()) break;
      char next = line[i + 1];
      if (next != '\\' && next != '"') {
        return Fail(std::string("unknown escape \\") + next + " in a quoted string");
      }
      *out += next;
      i += 2;
      continue;
    }
    *out += c;
    ++i;
  }
  return Fail("the quoted string has no closing '\"'");
}

bool RegText::OnlyCommentAfter(const std::string& line, size_t pos) {
  std::string rest = Trim(line.substr(pos));
  return rest.empty() || rest[0] == ';';
}

bool RegText::ParseHexBytes(const std::string& list, std::vector<BYTE>* out) {
  std::string item;
  std::stringstream stream(list);
  std::vector<std::string> items;
  while (std::getline(stream, item, ',')) items.push_back(Trim(item));
  // A trailing comma (before a continuation that was joined) leaves one empty item at the end.
  if (!items.empty() && items.back().empty()) items.pop_back();
  for (const std::string& byte : items) {
    if (byte.empty() || byte.size() > 2 || HexDigit(byte[0]) < 0 ||
        (byte.size() == 2 && HexDigit(byte[1]) < 0)) {
      return Fail("bad hex byte '" + byte + "'");
    }
    int v = HexDigit(byte[0]);
    if (byte.size() == 2) v = v * 16 + HexDigit(byte[1]);
    out->push_back(static_cast<BYTE>(v));
  }
  return true;
}

bool RegText::ParseValue(const std::string& line, std::vector<LoadOp>* ops) {
  if (line[0] != '"' && line[0] != '@') {
    return Fail("expected [key], \"name\"=value or @=value");
  }
  if (!inSection_) return Fail("a value before any [HKEY_LOCAL_MACHINE\\...] key");
  size_t pos = 0;
  std::string name;
  if (line[0] == '@') {
    pos = 1;
  } else if (!ParseQuoted(line, &pos, &name)) {
    return false;
  }
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  if (pos >= line.size() || line[pos] != '=') return Fail("expected '=' after the value name");
  ++pos;
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  std::string data = line.substr(pos);

  LoadOp op{LoadOp::Kind::SetValue, section_, Utf16(name), REG_NONE, {}};
  if (StartsWith(data, "\"")) {
    std::string s;
    size_t at = 0;
    if (!ParseQuoted(data, &at, &s)) return false;
    if (!OnlyCommentAfter(data, at)) return Fail("unexpected text after the string");
    op.type = REG_SZ;
    op.data = WideBytes(Utf16(s));
  } else if (StartsWith(data, "dword:")) {
    std::string digits = Trim(data.substr(6));
    size_t comment = digits.find(';');
    if (comment != std::string::npos) digits = Trim(digits.substr(0, comment));
    if (digits.empty() || digits.size() > 8) return Fail("a dword needs 1 to 8 hex digits");
    uint32_t v = 0;
    for (char c : digits) {
      if (HexDigit(c) < 0) return Fail("bad hex digit '" + std::string(1, c) + "' in a dword");
      v = v * 16 + static_cast<uint32_t>(HexDigit(c));
    }
    op.type = REG_DWORD;
    op.data.resize(4);
    for (int i = 0; i < 4; ++i) op.data[i] = static_cast<BYTE>(v >> (8 * i));
  } else if (StartsWith(data, "hex")) {
    size_t colon = data.find(':');
    if (colon == std::string::npos) return Fail("expected ':' after hex");
    std::string kind = data.substr(3, colon - 3);
    op.type = REG_BINARY;
    if (!kind.empty()) {
      if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' || kind.size() > 10) {
        return Fail("expected hex(type): with the type in hex");
      }
      uint32_t type = 0;
      for (size_t i = 1; i + 1 < kind.size(); ++i) {
        if (HexDigit(kind[i]) < 0) return Fail("bad value type " + kind);
        type = type * 16 + static_cast<uint32_t>(HexDigit(kind[i]));
      }
      op.type = type;
    }
    std::string list = data.substr(colon + 1);
    size_t comment = list.find(';');
    if (comment != std::string::npos) list = list.substr(0, comment);
    if (!ParseHexBytes(list, &op.data)) return false;
  } else if (Trim(data) == "-" || (StartsWith(data, "-") && OnlyCommentAfter(data, 1))) {
    op.kind = LoadOp::Kind::DeleteValue;
  } else {
    return Fail("unknown value data '" + data + "'");
  }
  ops->push_back(std::move(op));
  return true;
}

void DumpLocked(const Key& key, const std::string& path, std::string* out) {
  *out += "[" + path + "]\n";
  for (const auto& entry : key.values) {
    const Value& v = entry.second;
    *out += "  \"" + Utf8(v.name) + "\" type " + std::to_string(v.type) + ":";
    static const char kHex[] = "0123456789abcdef";
    for (BYTE b : v.data) {
      *out += ' ';
      *out += kHex[b >> 4];
      *out += kHex[b & 15];
    }
    *out += '\n';
  }
  for (const auto& child : key.children) {
    DumpLocked(*child.second, path + "\\" + Utf8(child.second->name), out);
  }
}

}  // namespace

// ---- Strings

std::u16string Utf16(const std::string& utf8) {
  std::u16string out;
  size_t i = 0;
  while (i < utf8.size()) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    size_t extra = c < 0x80             ? 0
                   : (c & 0xE0) == 0xC0 ? 1
                   : (c & 0xF0) == 0xE0 ? 2
                   : (c & 0xF8) == 0xF0 ? 3
                                        : 4;
    uint32_t cp = extra == 0   ? c
                  : extra == 1 ? (c & 0x1Fu)
                  : extra == 2 ? (c & 0x0Fu)
                               : (c & 0x07u);
    bool bad = extra == 4 || i + extra >= utf8.size();
    for (size_t k = 1; !bad && k <= extra; ++k) {
      unsigned char d = static_cast<unsigned char>(utf8[i + k]);
      if ((d & 0xC0) != 0x80) bad = true;
      cp = (cp << 6) | (d & 0x3Fu);
    }
    if (bad || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string Utf8(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;  // an unpaired surrogate
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// ---- Test-facing interface

void RegistryClear() {
  std::lock_guard<std::mutex> guard(R().lock);
  MarkDeletedLocked(*R().root);
  R().root = std::make_shared<Key>();
}

bool RegistryLoadText(const std::string& text, std::string* error) {
  std::vector<LoadOp> ops;
  RegText parser(text);
  if (!parser.Parse(&ops, error)) return false;
  std::lock_guard<std::mutex> guard(R().lock);
  for (LoadOp& op : ops) {
    bool created = false;
    switch (op.kind) {
      case LoadOp::Kind::CreateKey:
        CreateLocked(R().root, op.path, &created);
        break;
      case LoadOp::Kind::DeleteKey:
        DeleteKeyLocked(R().root, op.path);
        break;
      case LoadOp::Kind::SetValue:
        SetValueLocked(*CreateLocked(R().root, op.path, &created), op.name, op.type,
                       std::move(op.data));
        break;
      case LoadOp::Kind::DeleteValue:
        if (auto key = FindLocked(R().root, op.path)) key->values.erase(Lower(op.name));
        break;
    }
  }
  return true;
}

bool RegistryLoadFile(const std::string& path, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (error != nullptr) *error = path + ": cannot be opened";
    return false;
  }
  std::stringstream content;
  content << file.rdbuf();
  std::string why;
  if (RegistryLoadText(content.str(), &why)) return true;
  if (error != nullptr) *error = path + ": " + why;
  return false;
}

std::string RegistryDump() {
  std::lock_guard<std::mutex> guard(R().lock);
  std::string out;
  DumpLocked(*R().root, "HKEY_LOCAL_MACHINE", &out);
  return out;
}

size_t RegistryOpenKeys() {
  std::lock_guard<std::mutex> guard(R().lock);
  return R().handles.size();
}

}  // namespace sim

using namespace sim;
using sim::os_detail::Checkpoint;

extern "C" LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM sam, PHKEY result) {
  Checkpoint();
  (void)options;
  (void)sam;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::lock_guard<std::mutex> guard(R().lock);
  std::shared_ptr<Key> from;
  LONG rc = ResolveLocked(key, &from);
  if (rc != ERROR_SUCCESS) return rc;
  std::shared_ptr<Key> node = FindLocked(from, FromWide(subKey));
  if (!node) return ERROR_FILE_NOT_FOUND;
  *result = NewHandleLocked(std::move(node));
  return ERROR_SUCCESS;
}

extern "C" LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                                DWORD options, REGSAM sam, LPSECURITY_ATTRIBUTES attributes,
                                PHKEY result, LPDWORD disposition) {
  Checkpoint();
  (void)reserved;
  (void)keyClass;
  (void)options;
  (void)sam;
  (void)attributes;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::lock_guard<std::mutex> guard(R().lock);
  std::shared_ptr<Key> from;
  LONG rc = ResolveLocked(key, &from);
  if (rc != ERROR_SUCCESS) return rc;
  bool created = false;
  std::shared_ptr<Key> node = CreateLocked(from, FromWide(subKey), &created);
  if (disposition != nullptr)
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = NewHandleLocked(std::move(node));
  return ERROR_SUCCESS;
}

extern "C" LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                 LPBYTE data, LPDWORD size) {
  Checkpoint();
  if (reserved != nullptr || (data != nullptr && size == nullptr)) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(R().lock);
  std::shared_ptr<Key> node;
  LONG rc = ResolveLocked(key, &node);
  if (rc != ERROR_SUCCESS) return rc;
  auto it = node->values.find(Lower(FromWide(valueName)));
  if (it == node->values.end()) return ERROR_FILE_NOT_FOUND;
  const Value& value = it->second;
  const DWORD length = static_cast<DWORD>(value.data.size());
  if (type != nullptr) *type = value.type;
  if (data != nullptr && *size < length) {
    *size = length;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && length != 0) std::memcpy(data, value.data.data(), length);
  if (size != nullptr) *size = length;
  return ERROR_SUCCESS;
}

extern "C" LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                               const BYTE* data, DWORD size) {
  Checkpoint();
  (void)reserved;
  if (data == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
  if ((type == REG_DWORD && size != 4) || (type == REG_QWORD && size != 8)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::vector<BYTE> bytes(data, data + size);
  std::lock_guard<std::mutex> guard(R().lock);
  std::shared_ptr<Key> node;
  LONG rc = ResolveLocked(key, &node);
  if (rc != ERROR_SUCCESS) return rc;
  SetValueLocked(*node, FromWide(valueName), type, std::move(bytes));
  return ERROR_SUCCESS;
}

extern "C" LONG RegDeleteValueW(HKEY key, LPCWSTR valueName) {
  Checkpoint();
  std::lock_guard<std::mutex> guard(R().lock);
  std::shared_ptr<Key> node;
  LONG rc = ResolveLocked(key, &node);
  if (rc != ERROR_SUCCESS) return rc;
  return node->values.erase(Lower(FromWide(valueName))) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

extern "C" LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  Checkpoint();
  if (subKey == nullptr || SplitPath(subKey).empty()) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(R().lock);
  std::shared_ptr<Key> from;
  LONG rc = ResolveLocked(key, &from);
  if (rc != ERROR_SUCCESS) return rc;
  return DeleteKeyLocked(from, subKey) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

extern "C" LONG RegCloseKey(HKEY key) {
  Checkpoint();
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  std::lock_guard<std::mutex> guard(R().lock);
  return R().handles.erase(reinterpret_cast<uintptr_t>(key)) == 0 ? ERROR_INVALID_HANDLE
                                                                  : ERROR_SUCCESS;
}

extern "C" HKEY OpenDeviceKey(LPCWSTR activeKey) {
  Checkpoint();
  if (activeKey == nullptr) {
    os_detail::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::u16string devicePath;
  {
    std::lock_guard<std::mutex> guard(R().lock);
    std::shared_ptr<Key> active = FindLocked(R().root, activeKey);
    LONG rc = ERROR_FILE_NOT_FOUND;
    if (active) {
      auto it = active->values.find(u"key");
      if (it != active->values.end()) {
        rc = ERROR_SUCCESS;
        const Value& value = it->second;
        if (value.type != REG_SZ || value.data.size() < 2 || value.data.size() % 2 != 0) {
          rc = ERROR_BADKEY;
        } else {
          for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
            char16_t c = static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
            if (c == 0) break;
            devicePath += c;
          }
        }
      }
    }
    if (rc == ERROR_SUCCESS) {
      std::shared_ptr<Key> device = FindLocked(R().root, devicePath);
      if (!device) rc = ERROR_FILE_NOT_FOUND;
      if (rc == ERROR_SUCCESS) return NewHandleLocked(std::move(device));
    }
    os_detail::SetError(static_cast<DWORD>(rc));
  }
  return nullptr;
}
