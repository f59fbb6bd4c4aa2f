// Parser of the REGEDIT4 text: sections, removals, strings, dwords, hex lists and comments.
#include "sim/os/reg_text.h"

#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace sim::os_detail {
namespace {

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
  WString section_;
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
  std::string head = name.substr(0, root.size());
  for (char& c : head) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (name.size() < root.size() || head != root ||
      (name.size() > root.size() && name[root.size()] != '\\')) {
    return Fail("only keys under HKEY_LOCAL_MACHINE can be loaded: [" + name + "]");
  }
  section_ = Utf16(name.substr(root.size()));
  if (remove) {
    if (section_.find_first_not_of(TEXT('\\')) == WString::npos)
      return Fail("HKEY_LOCAL_MACHINE itself cannot be removed");
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

}  // namespace

bool ParseRegText(const std::string& text, std::vector<LoadOp>* ops, std::string* error) {
  RegText parser(text);
  return parser.Parse(ops, error);
}

std::string DumpValueLine(const WString& name, DWORD type, const BYTE* data, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  std::string line = "  \"" + Utf8(name) + "\" type " + std::to_string(type) + ":";
  for (size_t i = 0; i < size; ++i) {
    line += ' ';
    line += kHex[data[i] >> 4];
    line += kHex[data[i] & 15];
  }
  return line + '\n';
}

std::vector<BYTE> WideBytes(const WString& s) {
  std::vector<BYTE> bytes;
  for (WCHAR c : s) {
    bytes.push_back(static_cast<BYTE>(c & 0xFF));
    bytes.push_back(static_cast<BYTE>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

}  // namespace sim::os_detail

namespace sim {

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

}  // namespace sim
