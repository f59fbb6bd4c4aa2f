// Host-specific services of the tvk program: terminal handling and process statistics. The POSIX
// versions live in terminal_posix.cpp and process_posix.cpp, the Windows ones in *_win.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tvk::host {

bool StdoutIsTerminal();
bool StdinIsTerminal();

// Puts standard input into raw mode (no echo, no line editing, no signals from keys) for the
// lifetime of the object and restores the previous mode on destruction. Does nothing when standard
// input is not a terminal.
class RawTerminal {
 public:
  RawTerminal();
  ~RawTerminal();
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;
  bool active() const { return active_; }

 private:
  bool active_ = false;
  alignas(8) unsigned char saved_[128];
};

// Reads what standard input has within timeoutMs: the count read, 0 on time-out, -1 at end of input
// or on an error.
int ReadStdin(void* buffer, std::size_t size, int timeoutMs);
void WriteStdout(const void* data, std::size_t size);

// CPU time of the whole process (user + system) in seconds.
double ProcessCpuSeconds();
// CPU time of the calling thread in seconds.
double ThreadCpuSeconds();
// Peak resident set size of the process in bytes.
std::uint64_t PeakResidentBytes();

}  // namespace tvk::host
