// Windows console handling for tvk.
#include <windows.h>

#include <cstring>

#include "tools/host.h"

namespace tvk::host {
namespace {

bool IsConsole(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

bool StdoutIsTerminal() {
  return IsConsole(STD_OUTPUT_HANDLE);
}
bool StdinIsTerminal() {
  return IsConsole(STD_INPUT_HANDLE);
}

RawTerminal::RawTerminal() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD saved = 0;
  if (!GetConsoleMode(in, &saved)) return;
  std::memcpy(saved_, &saved, sizeof saved);
  const DWORD raw = saved & ~(ENABLE_ECHO_INPUT | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT);
  if (SetConsoleMode(in, raw)) active_ = true;
}

RawTerminal::~RawTerminal() {
  if (!active_) return;
  DWORD saved = 0;
  std::memcpy(&saved, saved_, sizeof saved);
  SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), saved);
}

int ReadStdin(void* buffer, std::size_t size, int timeoutMs) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD count = 0;
  if (StdinIsTerminal()) {
    // A console handle is signalled while input events are queued; only key presses carry bytes.
    if (WaitForSingleObject(in, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) return 0;
    char* out = static_cast<char*>(buffer);
    INPUT_RECORD records[64];
    DWORD events = 0;
    if (!ReadConsoleInputA(in, records, 64, &events)) return -1;
    for (DWORD i = 0; i < events && count < size; ++i) {
      const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
      if (records[i].EventType == KEY_EVENT && key.bKeyDown && key.uChar.AsciiChar != 0) {
        out[count++] = key.uChar.AsciiChar;
      }
    }
    return static_cast<int>(count);
  }
  DWORD available = 0;
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  // A pipe or file: wait for bytes by peeking, then read what is there.
  while (PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr) && available == 0) {
    if (GetTickCount64() >= deadline) return 0;
    Sleep(10);
  }
  DWORD want = static_cast<DWORD>(size < available || available == 0 ? size : available);
  if (!ReadFile(in, buffer, want, &count, nullptr) || count == 0) return -1;
  return static_cast<int>(count);
}

void WriteStdout(const void* data, std::size_t size) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(out, p, static_cast<DWORD>(size), &written, nullptr) || written == 0) return;
    p += written;
    size -= written;
  }
}

}  // namespace tvk::host
