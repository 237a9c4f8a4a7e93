#ifndef SERIVANE_CORE_HELD_LOGS_H_
#define SERIVANE_CORE_HELD_LOGS_H_

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace serivane {

// The program's text logs ("GARCH_PDESolverLog.txt", "ErrorLog.txt", "Conv.txt") are appended to
// by whoever has something to say. Work done ahead of need (a model evaluation that may yet be
// dropped) must leave no trace until it is known to count: while a thread holds its logs, every
// log stream it opens through openLogForAppend writes into memory instead, and the held text is
// appended to the files later (release) or forgotten (by destroying the HeldLogs).
//
// A HeldLogs made to pass through holds nothing: the streams go to the files at once, and it only
// notes that some were opened (work that opened no log can be known to have written none).
class HeldLogs {
 public:
  explicit HeldLogs(bool passThrough = false) : passThrough_(passThrough) {}
  HeldLogs(HeldLogs&&) = default;
  HeldLogs& operator=(HeldLogs&&) = default;

  // Appends the held text to the files, one stream's text after another in the order they were
  // opened, and forgets it.
  void release();
  // No log stream was opened under this object.
  bool empty() const { return streams_.empty() && openedOnFiles_ == 0; }
  bool passThrough() const { return passThrough_; }

  // A new in-memory stream for the log at `path`.
  std::stringbuf* open(const std::string& path);
  // Notes a stream opened on its file.
  void noteOpenedOnFile() { ++openedOnFiles_; }

 private:
  bool passThrough_ = false;
  int openedOnFiles_ = 0;
  std::vector<std::pair<std::string, std::unique_ptr<std::stringbuf>>> streams_;
};

// While it lives, the calling thread's log streams opened through openLogForAppend go to `held`
// (which must outlive every stream opened meanwhile). Scopes nest; null holds nothing.
class HoldLogsScope {
 public:
  explicit HoldLogsScope(HeldLogs* held);
  ~HoldLogsScope();
  HoldLogsScope(const HoldLogsScope&) = delete;
  HoldLogsScope& operator=(const HoldLogsScope&) = delete;

 private:
  HeldLogs* previous_;
};

// Opens `log` for appending to the file at `path`, or onto the calling thread's held logs while
// it holds them. A stream already open (on the file or on held memory) is left as it is.
void openLogForAppend(std::ofstream& log, const std::string& path);

// True when `log` was opened by openLogForAppend, on the file or on held memory.
bool logIsOpen(const std::ofstream& log);

}  // namespace serivane

#endif  // SERIVANE_CORE_HELD_LOGS_H_
