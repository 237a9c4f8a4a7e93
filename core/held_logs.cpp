#include "core/held_logs.h"

#include <ios>
#include <ostream>

namespace serivane {

namespace {

thread_local HeldLogs* tHeld = nullptr;

// An ofstream whose buffer was swapped for held memory: its own file buffer is closed, and the
// stream's buffer is not that file buffer.
bool onHeldMemory(const std::ofstream& log) {
  const std::ostream& os = log;
  return os.rdbuf() != nullptr && os.rdbuf() != log.rdbuf();
}

}  // namespace

std::stringbuf* HeldLogs::open(const std::string& path) {
  streams_.emplace_back(path, std::make_unique<std::stringbuf>(std::ios::out));
  return streams_.back().second.get();
}

void HeldLogs::release() {
  for (const auto& stream : streams_) {
    const std::string text = stream.second->str();
    if (text.empty()) continue;
    std::ofstream file(stream.first, std::ios::out | std::ios::app);
    file << text;
  }
  streams_.clear();
}

HoldLogsScope::HoldLogsScope(HeldLogs* held) : previous_(tHeld) { tHeld = held; }

HoldLogsScope::~HoldLogsScope() { tHeld = previous_; }

void openLogForAppend(std::ofstream& log, const std::string& path) {
  if (logIsOpen(log)) return;
  if (tHeld && tHeld->passThrough()) {
    tHeld->noteOpenedOnFile();
  } else if (tHeld) {
    std::ostream& os = log;
    os.rdbuf(tHeld->open(path));  // also clears the stream's state
    return;
  }
  log.open(path, std::ios::out | std::ios::app);
}

bool logIsOpen(const std::ofstream& log) { return log.is_open() || onHeldMemory(log); }

}  // namespace serivane
