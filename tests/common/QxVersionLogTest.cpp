// The version record, the log and the message presenter.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>

#include "common/qxBase.h"
#include "common/qxLog.h"
#include "common/qxversion.h"

namespace ordex {
namespace {

TEST(QxVersion, ValuesAtConstructionAndVerInfo) {
  Tqxversion Ver;
  EXPECT_EQ(Ver.Version(), "2.3.17");
  EXPECT_EQ(Ver.CompanyName(), "Ordex Software");
  EXPECT_EQ(Ver.Copyright(), "(c) Ordex Software");
  EXPECT_EQ(Ver.ProductName(), "");
  EXPECT_EQ(Ver.PoductCode(), "");
  EXPECT_EQ(Ver.ProductType(), "");
  Ver.SetProductName("Ordex Server");
  std::ostringstream Out;
  Ver.verInfo(Out);
  EXPECT_EQ(Out.str(),
            "ProductName: Ordex Server\nVersion: 2.3.17\nCompanyName: Ordex Software\nCopyright: (c) Ordex Software\n");
}

TEST(QxLog, LinesCarryTimeAndLevelAndStayWholeAcrossThreads) {
  const std::regex Line(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (INFO|ERROR) [^\n]*)");
  ::testing::internal::CaptureStderr();
  LogError("first\r\nsecond");  // one event, one line
  std::vector<std::thread> Threads;
  for (int T = 0; T < 4; ++T)
    Threads.emplace_back([T] {
      for (int I = 0; I < 200; ++I) LogInfo("thread " + std::to_string(T) + " line " + std::to_string(I));
    });
  for (std::thread& T : Threads) T.join();
  const std::string Out = ::testing::internal::GetCapturedStderr();
  std::istringstream In(Out);
  std::string L;
  int Count = 0;
  while (std::getline(In, L)) {
    ASSERT_TRUE(std::regex_match(L, Line)) << L;
    ++Count;
  }
  EXPECT_EQ(Count, 801);
  EXPECT_NE(Out.find(" ERROR first\\r\\nsecond\n"), std::string::npos);
}

// Collects what the presenter is asked to show.
struct TRecordingPresenter : IMessagePresenter {
  std::vector<std::string> Calls;
  void ShowError(const std::string& Text) override { Calls.push_back("error:" + Text); }
  void ShowInfo(const std::string& Text) override { Calls.push_back("info:" + Text); }
  int AskOkCancel(const std::string& Caption, const std::string& Text) override {
    Calls.push_back("ask:" + Caption + "|" + Text);
    return 1;
  }
  void ShowErrorWindow(const std::string& Title, const std::string& Message) override {
    Calls.push_back("window:" + Title + "|" + Message);
  }
};

TEST(QxMessages, HeadlessPresenterLogsAndAnswersCancel) {
  std::vector<std::pair<TLogLevel, std::string>> Logged;
  SetLogSink([&](TLogLevel Level, const std::string& Text) { Logged.emplace_back(Level, Text); });
  SetMessagePresenter(nullptr);
  EXPECT_EQ(ShowErrorMsg("bad"), "");
  EXPECT_EQ(ShowInfoMsg("note"), "");
  EXPECT_EQ(AskOkCancel("Update", "Install?"), 2);
  ShowErrorWindow("Title", "");
  SetLogSink({});
  ASSERT_EQ(Logged.size(), 4u);
  EXPECT_EQ(Logged[0], std::make_pair(TLogLevel::Error, std::string("bad")));
  EXPECT_EQ(Logged[1], std::make_pair(TLogLevel::Info, std::string("note")));
  EXPECT_EQ(Logged[2].first, TLogLevel::Info);
  EXPECT_NE(Logged[2].second.find("Install?"), std::string::npos);
  EXPECT_EQ(Logged[3].first, TLogLevel::Error);
  EXPECT_NE(Logged[3].second.find("Title"), std::string::npos);
}

TEST(QxMessages, InstalledPresenterReceivesEveryKindAndCanBeReplaced) {
  auto Recorder = std::make_shared<TRecordingPresenter>();
  const auto Previous = SetMessagePresenter(Recorder);
  ShowErrorMsg("e");
  ShowInfoMsg("i");
  EXPECT_EQ(AskOkCancel("c", "t"), 1);
  ShowErrorWindow("T", "M", "ignored buttons");
  EXPECT_EQ(SetMessagePresenter(Previous), Recorder);
  EXPECT_EQ(Recorder->Calls, (std::vector<std::string>{"error:e", "info:i", "ask:c|t", "window:T|M"}));
  ShowErrorMsg("after");  // goes to the restored presenter, not the recorder
  EXPECT_EQ(Recorder->Calls.size(), 4u);
}

}  // namespace
}  // namespace ordex
