// The mail queue without the desktop client: reports the server refused are queued,
// listed, sent, kept or cleared by varno-ctl, sent first by the next job, and a full series
// says in agent.log which queued report the newest one replaces.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/engine_world.h"

namespace fs = std::filesystem;

namespace engine_test {
namespace {

using testing_support::file_exists;
using testing_support::read_file;

class MailQueueTest : public EngineWorld {
 protected:
  void TearDown() override {
    unsetenv("VARNO_SEND_QUEUE");
    EngineWorld::TearDown();
  }
  std::string queue(int i) const {
    return dir() + "/" + kSchedule + (i == 0 ? "" : "-" + std::to_string(i)) + ".eml";
  }
  std::vector<std::string> mails() const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir() + "/store/mail", ec))
      out.push_back(read_file(e.path().string()));
    return out;
  }
  // A run against a server that refuses every report: it queues one.
  void queue_one() {
    start_server({"--fault", "mail fail ERR_IO"});
    JobRun r = run();
    ASSERT_TRUE(r.logged("Backup job completed normally.")) << r.log;
    stop_server();
  }
};

struct QueueStep {
  const char* name;
  bool refusing_server;  // the server answers every mail with ERR_IO
  const char* command;   // varno-ctl queue ... kSchedule
  int exit_code;
  const char* printed;  // a part of the output
  bool file_left;       // SCHEDULE.eml afterwards
  size_t mails;         // reports the server holds afterwards
};

TEST_F(MailQueueTest, CtlListsSendsKeepsAndClearsTheQueue) {
  write_data("a.txt", "a\n");
  write_schedule("Src=D:\\\n");
  ASSERT_NO_FATAL_FAILURE(queue_one());
  ASSERT_TRUE(file_exists(queue(0)));
  ASSERT_EQ(mails().size(), 0u);
  const std::string name = queue(0).substr(dir().size() + 1);
  const std::vector<QueueStep> steps = {
      {"list", true, "list", 0, "\tto owner@example.invalid\t", true, 0},
      {"refused send keeps it", true, "send", 1, "the server did not take it", true, 0},
      {"send", false, "send", 0, "sent ", false, 1},
      {"list of nothing", false, "list", 0, "no queued reports", false, 1},
      {"queue again", true, nullptr, 0, "", true, 1},
      {"clear", false, "clear", 0, "removed ", false, 1},
  };
  for (const QueueStep& s : steps) {
    SCOPED_TRACE(s.name);
    if (s.command == nullptr) {
      ASSERT_NO_FATAL_FAILURE(queue_one());
    } else {
      if (s.refusing_server) {
        start_server({"--fault", "mail fail ERR_IO"});
      } else {
        start_server();
      }
      std::string out;
      EXPECT_EQ(ctl(std::string("queue ") + s.command + " " + kSchedule, &out), s.exit_code) << out;
      EXPECT_NE(out.find(s.printed), std::string::npos) << out;
      if (std::string(s.command) != "clear" && s.file_left) {
        EXPECT_NE(out.find(name), std::string::npos) << out;
      }
      stop_server();
    }
    EXPECT_EQ(file_exists(queue(0)), s.file_left);
    std::vector<std::string> held = mails();
    ASSERT_EQ(held.size(), s.mails);
    if (!held.empty()) {
      EXPECT_NE(held[0].find("X-Kfs-Recipients: owner@example.invalid"), std::string::npos)
          << held[0];
      EXPECT_NE(held[0].find("Process test"), std::string::npos) << held[0];
    }
  }
}

TEST_F(MailQueueTest, NextJobSendsTheQueueFirstUnlessTurnedOff) {
  write_data("a.txt", "a\n");
  write_schedule("Src=D:\\\n");
  ASSERT_NO_FATAL_FAILURE(queue_one());

  setenv("VARNO_SEND_QUEUE", "0", 1);
  start_server();
  JobRun off = run();
  EXPECT_EQ(off.count_logged("Sent queued report"), 0) << off.log;
  EXPECT_TRUE(file_exists(queue(0)));
  EXPECT_EQ(mails().size(), 1u) << "only this run's own report";
  unsetenv("VARNO_SEND_QUEUE");

  JobRun on = run();
  const std::string sent =
      "Sent queued report '" + std::string(kSchedule) + ".eml' to owner@example.invalid.";
  EXPECT_TRUE(on.logged(sent)) << on.log;
  EXPECT_LT(on.position("User lock obtained; Ready to begin."), on.position(sent));
  EXPECT_LT(on.position(sent), on.position("Starting backup of files...")) << on.log;
  EXPECT_FALSE(file_exists(queue(0)));
  EXPECT_EQ(mails().size(), 3u) << "the queued report and both runs' own";
}

TEST_F(MailQueueTest, FullSeriesSaysInAgentLogWhichReportTheNewOneReplaces) {
  write_data("a.txt", "a\n");
  write_schedule("Src=D:\\\n");
  ASSERT_NO_FATAL_FAILURE(queue_one());
  for (int i = 1; i < 10; ++i) fs::copy_file(queue(0), queue(i));
  const std::string before = read_file(queue(8));
  const std::string last = read_file(queue(9));

  start_server({"--fault", "mail fail ERR_IO"});
  JobRun r = run();
  EXPECT_EQ(r.count_logged("Kept queued report"), 10) << r.log;
  const std::string line = "Mail queue full (" + std::string(kSchedule) + ".eml to " + kSchedule +
                           "-9.eml taken); the report of 'Process test' to " +
                           "owner@example.invalid replaces '" + kSchedule + "-9.eml'.";
  size_t at = r.agent_log.find(line);
  EXPECT_NE(at, std::string::npos) << r.agent_log;
  EXPECT_EQ(r.agent_log.find("Mail queue full", at + 1), std::string::npos) << r.agent_log;
  EXPECT_TRUE(read_file(queue(8)) == before) << "only the last name is replaced";
  EXPECT_FALSE(read_file(queue(9)) == last) << "the newest report is kept";
  EXPECT_FALSE(file_exists(dir() + "/" + kSchedule + "-10.eml"));
  EXPECT_EQ(mails().size(), 0u);
}

}  // namespace
}  // namespace engine_test
