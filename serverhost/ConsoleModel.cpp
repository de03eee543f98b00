#include "serverhost/ConsoleModel.h"

#include <exception>

#include "common/qxError.h"
#include "common/qxLog.h"

namespace ordex {

namespace {

// Keeps a single-selection index valid after the line at Removed went away.
void AfterRemove(int& Selected, int Removed) {
  if (Selected == Removed) Selected = -1;
  else if (Selected > Removed) --Selected;
}

}  // namespace

// ---------------------------------------------------------------------------
// TConsoleQueue

void TConsoleQueue::Post(TTask Task) {
  {
    const std::lock_guard Guard(FLock);
    FTasks.push_back(std::move(Task));
  }
  FArrived.notify_all();
  if (OnPosted) OnPosted();
}

std::size_t TConsoleQueue::Drain() {
  std::deque<TTask> Batch;
  {
    const std::lock_guard Guard(FLock);
    Batch.swap(FTasks);
  }
  for (auto& Task : Batch) {
    try {
      Task();
    } catch (const std::exception& E) {
      LogError(std::string("Console task failed: ") + ErrorClassName(E) + ": " + E.what());
    }
  }
  return Batch.size();
}

bool TConsoleQueue::WaitForTask(std::chrono::milliseconds Timeout) {
  std::unique_lock Guard(FLock);
  return FArrived.wait_for(Guard, Timeout, [this] { return !FTasks.empty(); });
}

std::size_t TConsoleQueue::Pending() const {
  const std::lock_guard Guard(FLock);
  return FTasks.size();
}

// ---------------------------------------------------------------------------
// TConsoleLoop

TConsoleLoop::TConsoleLoop(TConsoleQueue& Queue)
    : FQueue(Queue), FThread([this](std::stop_token Stop) {
        while (!Stop.stop_requested()) {
          if (FQueue.WaitForTask(std::chrono::milliseconds(50))) FQueue.Drain();
        }
        FQueue.Drain();
      }) {}

TConsoleLoop::~TConsoleLoop() {
  FThread.request_stop();
  if (FThread.joinable()) FThread.join();
}

// ---------------------------------------------------------------------------
// TConsoleModel

TConsoleModel::TConsoleModel(std::string Title) : FTitle(std::move(Title)) { SetCaptionWin(); }

int TConsoleModel::FindSessionRow(const std::string& SessionID) const {
  for (std::size_t I = 0; I < meSession.size(); ++I)
    if (meSession[I].SessionID == SessionID) return static_cast<int>(I);
  return -1;
}

bool TConsoleModel::AddSessionRow(TSessionRow Row) {
  if (FindSessionRow(Row.SessionID) >= 0) return false;
  Changed("Session " + Row.SessionID + ": user " + Row.UserName + " over " + Row.Protocol +
          (Row.IPAdress.empty() ? std::string{} : " from " + Row.IPAdress + ":" + Row.ClientPort));
  meSession.push_back(std::move(Row));
  return true;
}

bool TConsoleModel::DelSessionRow(const std::string& SessionID) {
  const int I = FindSessionRow(SessionID);
  if (I < 0) return false;
  meSession.erase(meSession.begin() + I);
  AfterRemove(meSessionCurrent, I);
  Changed("Session " + SessionID + " closed");
  return true;
}

bool SameConnection(const TConnectionKey& A, const TConnectionKey& B) noexcept {
  return !A.owner_before(B) && !B.owner_before(A);
}

int TConsoleModel::FindConnectionLine(const TConnectionKey& Connection) const {
  for (std::size_t I = 0; I < ConnectionsList.size(); ++I)
    if (SameConnection(ConnectionsList[I].Connection, Connection)) return static_cast<int>(I);
  return -1;
}

void TConsoleModel::AddConnectionLine(std::string Text, TConnectionKey Connection) {
  Changed("Connection " + Text + " opened");
  ConnectionsList.push_back({std::move(Text), std::move(Connection)});
}

bool TConsoleModel::DelConnectionLine(const TConnectionKey& Connection) {
  const int I = FindConnectionLine(Connection);
  if (I < 0) return false;
  Changed("Connection " + ConnectionsList[static_cast<std::size_t>(I)].Text + " closed");
  ConnectionsList.erase(ConnectionsList.begin() + I);
  AfterRemove(ConnectionsSelected, I);
  return true;
}

int TConsoleModel::FindSessionId(const std::string& SessionID) const {
  for (std::size_t I = 0; I < SessionIdList.size(); ++I)
    if (SessionIdList[I] == SessionID) return static_cast<int>(I);
  return -1;
}

bool TConsoleModel::AddSessionId(const std::string& SessionID) {
  if (FindSessionId(SessionID) >= 0) return false;
  SessionIdList.push_back(SessionID);
  return true;
}

bool TConsoleModel::DelSessionId(const std::string& SessionID) {
  const int I = FindSessionId(SessionID);
  if (I < 0) return false;
  SessionIdList.erase(SessionIdList.begin() + I);
  AfterRemove(SessionIdSelected, I);
  return true;
}

void TConsoleModel::CalcConnections() {
  const int Before = FConnectionCount;
  FConnectionCount = static_cast<int>(ConnectionsList.size());
  lbConnections = "Connections: " + std::to_string(FConnectionCount);
  SetCaptionWin();
  if (Before != FConnectionCount) Changed(lbConnections);
}

void TConsoleModel::SetCaptionWin() {
  Caption = FTitle + "QxSrv (" + std::to_string(FConnectionCount) + ") - ";
}

}  // namespace ordex
