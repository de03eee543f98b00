// What the server console shows, held as plain state without any window: the
// sessions table, the connections list, the session-id list, their selections,
// the connection count, the window caption and the keep-alive settings.
//
// The model belongs to one "UI thread". Worker threads never touch it: they
// post tasks to a TConsoleQueue, which the UI thread drains in the order the
// tasks were posted (the headless server drains it on a small loop thread; a
// windowed console drains it from its event loop).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/qxDateTime.h"

namespace ordex {

// ---------------------------------------------------------------------------
// Event queue to the UI thread

class TConsoleQueue {
 public:
  using TTask = std::function<void()>;
  // Queues Task; any thread. Runs OnPosted (if set) after queueing.
  void Post(TTask Task);
  // Runs the tasks queued so far, in order, on the calling thread; a task that
  // throws is logged and the rest still run. Returns how many ran.
  std::size_t Drain();
  // Waits up to Timeout for a queued task; true when one is waiting.
  bool WaitForTask(std::chrono::milliseconds Timeout);
  // Number of tasks waiting.
  std::size_t Pending() const;
  // Wake-up hook for an event loop; set it before any Post.
  std::function<void()> OnPosted;

 private:
  mutable std::mutex FLock;  // guards FTasks
  std::condition_variable FArrived;
  std::deque<TTask> FTasks;
};

// Drains a queue on its own thread until destroyed (the headless server's UI thread).
class TConsoleLoop {
 public:
  explicit TConsoleLoop(TConsoleQueue& Queue);
  ~TConsoleLoop();  // stops the thread after a last drain
  TConsoleLoop(const TConsoleLoop&) = delete;
  TConsoleLoop& operator=(const TConsoleLoop&) = delete;
  // True when called on the loop's own thread.
  bool OnLoopThread() const noexcept { return std::this_thread::get_id() == FThread.get_id(); }

 private:
  TConsoleQueue& FQueue;
  std::jthread FThread;
};

// ---------------------------------------------------------------------------
// Console state (UI thread only)

// A TCP connection as the transport reports it, compared by identity (the
// owner, so an expired key still matches its line and is never mistaken for a
// later connection). It does not keep the connection alive: connections must
// not outlive the server that made them.
using TConnectionKey = std::weak_ptr<const void>;
// True when both keys name the same connection.
bool SameConnection(const TConnectionKey& A, const TConnectionKey& B) noexcept;

// One row of the sessions table.
struct TSessionRow {
  std::string SessionID;
  std::string UserName;
  std::string RoleID;
  std::string RoleName;
  std::string Protocol;
  std::string IPAdress;
  std::string ClientPort;
  std::string AppName;
  TDateTime SessionStart = 0;
};

// One line of the connections list.
struct TConnectionLine {
  std::string Text;
  TConnectionKey Connection;
};

class TConsoleModel {
 public:
  // Title: the application title that starts the window caption.
  explicit TConsoleModel(std::string Title = "Ordex Server");

  // Sessions table (meSession) and its current row (-1: none).
  std::vector<TSessionRow> meSession;
  int meSessionCurrent = -1;
  // Index of the row with that session id (exact match), or -1.
  int FindSessionRow(const std::string& SessionID) const;
  // Appends a row unless its session id is there already; true when added.
  bool AddSessionRow(TSessionRow Row);
  // Deletes the row of that session id; false when there is none.
  bool DelSessionRow(const std::string& SessionID);

  // Connections list (single selection, -1: none).
  std::vector<TConnectionLine> ConnectionsList;
  int ConnectionsSelected = -1;
  int FindConnectionLine(const TConnectionKey& Connection) const;
  void AddConnectionLine(std::string Text, TConnectionKey Connection);
  // Deletes the connection's line; false when there is none.
  bool DelConnectionLine(const TConnectionKey& Connection);

  // Session-id list (single selection, -1: none).
  std::vector<std::string> SessionIdList;
  int SessionIdSelected = -1;
  int FindSessionId(const std::string& SessionID) const;
  // Appends the id unless present; true when added.
  bool AddSessionId(const std::string& SessionID);
  bool DelSessionId(const std::string& SessionID);

  // Count label, caption and version label.
  int FConnectionCount = 0;
  std::string lbConnections = "Connections: 0";
  std::string Caption;
  std::string lbInfoServer;
  // Recounts the connections list, sets the label and the caption.
  void CalcConnections();
  // Caption: title + "QxSrv (" + count + ") - ".
  void SetCaptionWin();
  const std::string& Title() const noexcept { return FTitle; }

  // Keep-alive controls: "Use KeepAlive", the idle-time field and whether the
  // field and its label are enabled.
  bool UseKeepAlive = false;
  std::string KAIdleMS = "5000";
  bool KAIdleEnabled = false;
  // The check box changed: the field and label follow it.
  void KAIdleLabelClick() { KAIdleEnabled = UseKeepAlive; }

  // A change the console shows, as a line of text (the headless server logs it).
  std::function<void(const std::string&)> OnChange;
  void Changed(const std::string& Text) const {
    if (OnChange) OnChange(Text);
  }

 private:
  std::string FTitle;
};

}  // namespace ordex
