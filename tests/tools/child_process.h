// Runs tvk as a child process for the tools tests; POSIX versions in child_process_posix.cpp.
#pragma once

#include <string>
#include <vector>

namespace tvktest {

struct RunResult {
  int exitCode = -1;  // -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// Runs the program with the arguments, standard input empty, and waits for it at most timeoutMs
// (then kills it and reports exit code -1).
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     int timeoutMs);

// A child on a pseudo-terminal: what it writes to its terminal can be read, keys typed.
class PtyChild {
 public:
  PtyChild(const std::string& program, const std::vector<std::string>& args);
  ~PtyChild();
  bool started() const { return pid_ > 0; }
  void Type(const std::string& keys);
  // Reads the terminal until `text` appeared in everything read so far, or timeoutMs passed.
  bool WaitFor(const std::string& text, int timeoutMs);
  // Waits for the child to end; its exit code, or -1 on a signal or time-out (then killed).
  int Wait(int timeoutMs);
  const std::string& screen() const { return screen_; }
  // Sends a signal to the child.
  void Signal(int signal);
  // The child's terminal (the slave side), which stays while this object holds the master.
  std::string TerminalPath() const;

 private:
  int pid_ = -1;
  int master_ = -1;
  std::string screen_;
};

}  // namespace tvktest
