#include "devices/zn_common_fun.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "platform/process.h"

using namespace murvik;

namespace {

struct Recorded {
  MessageKind kind;
  std::string caption, text;
};

// Installs a recording message handler for the life of the object.
class RecordMessages {
 public:
  explicit RecordMessages(bool answer = false) {
    SetMessageHandler([this, answer](MessageKind kind, const std::string& caption, const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.push_back({kind, caption, text});
      return answer;
    });
  }
  ~RecordMessages() { SetMessageHandler(nullptr); }
  std::vector<Recorded> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

 private:
  std::mutex mutex_;
  std::vector<Recorded> messages_;
};

void ExpectNoChildLeft() {
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

std::string Numbers(int upTo) {
  std::string s;
  for (int i = 1; i <= upTo; ++i) s += std::to_string(i) + "\n";
  return s;
}

TEST(RunCommand, CollectsStandardOutputOnly) {
  struct Case {
    const char* command;
    std::string expected;
  } cases[] = {
      {"true", ""},
      {"cat", ""},  // standard input is empty, not the test's terminal
      {"printf \"%s|\" \"a b\" c \"\"", "a b|c||"},
      {"sh -c \"echo out; echo err >&2\"", "out\n"},
      {"seq 1 3000", Numbers(3000)},  // far more than one 4096-byte read, in order
      {"false", ""},                  // an exit code is not a failure to start
  };
  RecordMessages messages;
  for (const auto& c : cases) {
    std::string sink = "kept:";
    EXPECT_TRUE(RunCommand(c.command, sink)) << c.command;
    EXPECT_EQ(sink, "kept:" + c.expected) << c.command;
  }
  EXPECT_TRUE(messages.Messages().empty());
  ExpectNoChildLeft();
}

TEST(RunCommand, MissingProgramIsReportedAndAnswersFalse) {
  for (const char* command : {"/nonexistent/murvik-no-such-tool --list", "murvik-no-such-tool", ""}) {
    RecordMessages messages;
    std::string sink;
    EXPECT_FALSE(RunCommand(command, sink)) << command;
    EXPECT_TRUE(sink.empty());
    auto got = messages.Messages();
    ASSERT_EQ(got.size(), 1u) << command;
    EXPECT_EQ(got[0].kind, MessageKind::Error);
    EXPECT_EQ(got[0].caption, "错误");
    EXPECT_EQ(got[0].text, "CreateProcess error:2");
  }
}

TEST(RunCommand, TimeOutKillsTheToolAndKeepsItsOutput) {
  std::string sink;
  EXPECT_TRUE(RunCommand("sh -c \"echo started; exec sleep 30\"", sink, 5, 300));
  EXPECT_EQ(sink, "started\n");
  // A shell that waits on a child of its own: the whole group goes.
  sink.clear();
  EXPECT_TRUE(RunCommand("sh -c \"sleep 30; echo never\"", sink, 0, 200));
  EXPECT_EQ(sink, "");
  ExpectNoChildLeft();
}

TEST(SplitCommandLine, BlanksSeparateAndQuotesGroup) {
  struct Case {
    const char* line;
    std::vector<std::string> words;
  } cases[] = {
      {"", {}},
      {"   \t ", {}},
      {"setupc --detail-prms list", {"setupc", "--detail-prms", "list"}},
      {"  a \t b  ", {"a", "b"}},
      {"install \"PortName=COM5 x\" -", {"install", "PortName=COM5 x", "-"}},
      {"a\"b c\"d", {"ab cd"}},
      {"x \"\" y", {"x", "", "y"}},
      {"\"unterminated quote", {"unterminated quote"}},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::SplitCommandLine(c.line), c.words) << c.line;
}

TEST(ZnWorkerThread, RunsTheFunctionOnANamedThreadOfItsOwn) {
  struct Shared {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::string name;
    std::thread::id id;
  } shared;
  auto fn = [](void* user) {
    auto* s = static_cast<Shared*>(user);
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    std::lock_guard<std::mutex> lock(s->m);
    s->name = name;
    s->id = std::this_thread::get_id();
    s->done = true;
    s->cv.notify_one();
  };
  for (bool suspended : {false, true}) {
    {
      std::lock_guard<std::mutex> lock(shared.m);
      shared.done = false;
    }
    auto* t = new TZnWorkerThread(suspended, &shared, fn);
    if (suspended) t->Resume();
    std::unique_lock<std::mutex> lock(shared.m);
    shared.cv.wait(lock, [&] { return shared.done; });
    EXPECT_EQ(shared.name, "TZnWorkerThread");
    EXPECT_NE(shared.id, std::this_thread::get_id());
  }
}

TEST(WinRandom, FillsTheBuffer) {
  unsigned char a[32] = {}, b[32] = {};
  EXPECT_EQ(WinRandom().Random(a, sizeof a), sizeof a);
  EXPECT_EQ(WinRandom().Random(b, sizeof b), sizeof b);
  EXPECT_NE(std::string(a, a + 32), std::string(b, b + 32));
}

TEST(MessageBoxes, CaptionsKindsAndAnswers) {
  {
    RecordMessages yes(true);
    ShowError("e");
    ShowInfo("i");
    SetApplicationTitle("标题");
    ShowInfo("j");
    SetApplicationTitle("MURVIK3");
    EXPECT_TRUE(AskYesNo("q"));
    auto got = yes.Messages();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].kind, MessageKind::Error);
    EXPECT_EQ(got[0].caption, "错误");
    EXPECT_EQ(got[1].kind, MessageKind::Info);
    EXPECT_EQ(got[1].caption, "MURVIK3");
    EXPECT_EQ(got[2].caption, "标题");
    EXPECT_EQ(got[3].kind, MessageKind::Question);
    EXPECT_EQ(got[3].caption, "询问");
    EXPECT_EQ(got[3].text, "q");
  }
  RecordMessages no(false);
  EXPECT_FALSE(AskYesNo("q"));
}

TEST(MessageBoxes, DefaultHandlerWritesToStderrAndAnswersNo) {
  SetMessageHandler(nullptr);
  testing::internal::CaptureStderr();
  bool answer = AskYesNo("继续？");
  ShowError("CreateProcess error:2");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(answer);
  EXPECT_EQ(err, "询问: 继续？\n错误: CreateProcess error:2\n");
}

TEST(ReplaceAll, ReplacesEveryOccurrenceCaseSensitively) {
  struct Case {
    const char *text, *oldText, *newText, *expected;
  } cases[] = {
      {"  CNCA0 PortName=COM#", " ", ",", ",,CNCA0,PortName=COM#"},
      {"aaa", "a", "aa", "aaaaaa"},  // replacements are not searched again
      {"abcABC", "b", "", "acABC"},
      {"xyz", "", "-", "xyz"},
      {"CNCA0CNCA0", "CNCA0", "CNCB0", "CNCB0CNCB0"},
      {"", "a", "b", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ReplaceAll(c.text, c.oldText, c.newText), c.expected) << c.text;
}

TEST(FormatMsTime, MonthDayAndTimeOfDay) {
  struct Case {
    std::int64_t ms;
    const char* expected;
  } cases[] = {
      {0, "12-30,00:00:00.000"},
      {86400000 + 1, "12-31,00:00:00.001"},
      {2 * 86400000LL, "01-01,00:00:00.000"},
      {5184000000LL, "02-28,00:00:00.000"},  // 1900 is no leap year
      {5270400000LL, "03-01,00:00:00.000"},
      {3918412799999LL, "02-29,23:59:59.999"},
      {3918981909042LL, "03-07,14:05:09.042"},
      {-1, "12-29,23:59:59.999"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatMsTime(c.ms), c.expected) << c.ms;
  // Extremes must format something, not crash.
  EXPECT_EQ(FormatMsTime(INT64_MIN).size(), 18u);
  EXPECT_EQ(FormatMsTime(INT64_MAX).size(), 18u);
}

}  // namespace
