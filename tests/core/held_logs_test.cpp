#include "core/held_logs.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>

#include "support/temp_folder.h"

namespace serivane {

namespace {

void writeRecord(const std::string& path, const std::string& text) {
  std::ofstream log;
  openLogForAppend(log, path);
  ASSERT_TRUE(logIsOpen(log));
  log << text;
}

// Logs written while held reach their files only when released, stream by stream in the order
// the streams were opened, and never when dropped; other threads and the time outside the scope
// write straight to the files; a stream opened once stays where it was opened.
TEST(HeldLogs, HeldTextReachesTheFilesOnlyWhenReleased) {
  TempFolder folder;
  writeRecord("a.txt", "before\n");
  HeldLogs kept;
  HeldLogs dropped;
  {
    const HoldLogsScope hold(&kept);
    writeRecord("a.txt", "one\n");
    std::ofstream open;
    openLogForAppend(open, "b.txt");
    open << "two";
    openLogForAppend(open, "b.txt");  // already open: the same held stream
    open << "+\n";
    {
      const HoldLogsScope inner(&dropped);
      writeRecord("a.txt", "never\n");
    }
    writeRecord("a.txt", "three\n");
    // A thread that holds nothing writes at once.
    std::thread other([] { writeRecord("a.txt", "other\n"); });
    other.join();
  }
  writeRecord("a.txt", "after\n");
  EXPECT_EQ(folder.read("a.txt"), "before\nother\nafter\n");
  EXPECT_EQ(folder.read("b.txt"), "");
  EXPECT_FALSE(kept.empty());
  kept.release();
  EXPECT_TRUE(kept.empty());
  EXPECT_EQ(folder.read("a.txt"), "before\nother\nafter\none\nthree\n");
  EXPECT_EQ(folder.read("b.txt"), "two+\n");
  kept.release();  // nothing twice
  EXPECT_EQ(folder.read("a.txt"), "before\nother\nafter\none\nthree\n");
}

}  // namespace

}  // namespace serivane
