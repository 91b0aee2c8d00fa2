// The handoff through the library's message window, with real Win32 threads
// and messages and an in-memory port: which thread runs the ready mark, what
// a host thread that does not pump does to the worker, closing from each
// thread, and the window's life.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "host/comm_thread.h"
#include "platform/handoff.h"
#include "support/channel_probe.h"
#include "support/fake_port.h"

namespace kvarn {
namespace {

const std::string kFrame = "5011 181234E13001001\x14";  // one event, account 0x1234
constexpr char kWindowClass[] = "Kvarn_Rcvr handoff";

// A host thread as GUI hosts have one: between the jobs given to it, it
// retrieves and dispatches its messages, and calls `eachTurn`.
class HostThread {
 public:
  explicit HostThread(std::function<void()> eachTurn = {}) : FEachTurn(std::move(eachTurn)) {
    FThread = std::thread([this] { Loop(); });
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [this] { return FId != 0; });
  }
  ~HostThread() { Quit(); }

  // Runs `job` on the host thread and returns once it has run.
  void Call(std::function<void()> job) {
    std::packaged_task<void()> task(std::move(job));
    std::future<void> done = task.get_future();
    {
      std::lock_guard lock(FMutex);
      FJobs.push_back(std::move(task));
    }
    PostThreadMessageA(FId, WM_NULL, 0, 0);
    done.get();
  }

  // Ends the thread; its windows go with it.
  void Quit() {
    if (!FThread.joinable()) return;
    {
      std::lock_guard lock(FMutex);
      FQuit = true;
    }
    FThread.join();
  }

  DWORD Id() const { return FId; }

 private:
  void Loop() {
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);  // makes the thread's queue
    {
      std::lock_guard lock(FMutex);
      FId = GetCurrentThreadId();
    }
    FChanged.notify_all();
    for (;;) {
      while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
      std::deque<std::packaged_task<void()>> jobs;
      {
        std::lock_guard lock(FMutex);
        if (FQuit) return;
        jobs.swap(FJobs);
      }
      for (auto& job : jobs) job();
      if (FEachTurn) FEachTurn();
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 2, QS_ALLINPUT);
    }
  }

  std::function<void()> FEachTurn;
  std::mutex FMutex;
  std::condition_variable FChanged;
  std::deque<std::packaged_task<void()>> FJobs;
  bool FQuit = false;
  DWORD FId = 0;
  std::thread FThread;
};

int LibraryWindows() {
  int n = 0;
  for (HWND w = FindWindowExA(HWND_MESSAGE, nullptr, kWindowClass, nullptr); w;
       w = FindWindowExA(HWND_MESSAGE, w, kWindowClass, nullptr))
    ++n;
  return n;
}

DWORD LibraryWindowThread() {
  HWND w = FindWindowExA(HWND_MESSAGE, nullptr, kWindowClass, nullptr);
  return w ? GetWindowThreadProcessId(w, nullptr) : 0;
}

void DispatchPosted() {
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
}

// True once another thread is blocked sending this thread a message: the
// worker waits in its handoff.
bool AwaitSentMessage() {
  for (int i = 0; i < 10000; ++i) {
    if (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) return true;
    Sleep(1);
  }
  return false;
}

// Serves the handoffs of the calling thread until an event can be taken.
bool ServeAndTake(TCommThread& channel, TlfMsg& msg) {
  for (int i = 0; i < 10000; ++i) {
    platform::ServeHandoffs();
    if (channel.GetMsg(msg)) return true;
    Sleep(1);
  }
  return false;
}

TEST(HandoffWindow, RunsOnTheOwnersThreadAndCarriesExceptionsBack) {
  DWORD alone = 0;
  platform::RunOnWindowThread([&] { alone = GetCurrentThreadId(); });
  EXPECT_EQ(alone, GetCurrentThreadId()) << "without a window it runs at once";
  HostThread host;
  host.Call(platform::AcquireWindow);
  EXPECT_EQ(LibraryWindowThread(), host.Id());
  DWORD ranOn = 0;
  platform::RunOnWindowThread([&] { ranOn = GetCurrentThreadId(); });
  EXPECT_EQ(ranOn, host.Id());
  EXPECT_THROW(platform::RunOnWindowThread([] { throw std::runtime_error("x"); }), std::runtime_error);
  host.Call(platform::ReleaseWindow);
  EXPECT_EQ(LibraryWindows(), 0);
}

TEST(HandoffWindow, ServingHandoffsLeavesPostedMessagesQueued) {
  MSG m;
  PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
  ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_APP + 7, 0, 0));
  platform::ServeHandoffs();
  EXPECT_TRUE(PeekMessageA(&m, nullptr, WM_APP + 7, WM_APP + 7, PM_REMOVE));
}

// A release on a thread that does not own the window leaves it to that
// thread, which destroys it when it next dispatches its messages.
TEST(HandoffWindow, IsDestroyedOnItsOwnThreadByTheLastRelease) {
  platform::AcquireWindow();
  platform::AcquireWindow();
  EXPECT_EQ(LibraryWindows(), 1);
  platform::ReleaseWindow();
  EXPECT_EQ(LibraryWindows(), 1);
  platform::ReleaseWindow();
  EXPECT_EQ(LibraryWindows(), 0);
  WNDCLASSA wc;
  EXPECT_FALSE(GetClassInfoA(GetModuleHandleA(nullptr), kWindowClass, &wc)) << "class left registered";
  platform::ReleaseWindow();  // one too many: ignored

  HostThread host;
  host.Call(platform::AcquireWindow);
  platform::ReleaseWindow();
  for (int i = 0; i < 10000 && LibraryWindows() > 0; ++i) Sleep(1);
  EXPECT_EQ(LibraryWindows(), 0);
}

class Handoff : public ::testing::Test {
 protected:
  std::unique_ptr<TCommThread> Open(ChannelTiming timing = {200, 10000}) {
    return TCommThread::Open(test::MakeFakePort(line_), 1, timing);
  }

  std::shared_ptr<test::FakeLine> line_ = std::make_shared<test::FakeLine>();
};

TEST_F(Handoff, PumpingHostThreadReceivesEvents) {
  std::unique_ptr<TCommThread> channel;
  std::mutex m;
  std::vector<int32_t> accounts;
  HostThread host([&] {
    TlfMsg msg;
    if (!channel || !channel->GetMsg(msg)) return;
    std::lock_guard lock(m);
    accounts.push_back(msg.Account);
  });
  host.Call([&] { channel = Open(); });
  ASSERT_TRUE(channel);
  EXPECT_EQ(LibraryWindowThread(), host.Id());
  for (int i = 1; i <= 3; ++i) {
    line_->Send(kFrame);
    ASSERT_TRUE(line_->WaitAcks(static_cast<size_t>(i))) << "frame " << i;
  }
  host.Call([&] { channel->Close(); });
  std::lock_guard lock(m);
  EXPECT_EQ(accounts, (std::vector<int32_t>{0x1234, 0x1234, 0x1234}));
}

// The pickup time runs only once the event is handed over: a window thread
// that looks away for longer holds the worker, and loses nothing.
TEST_F(Handoff, HostThatDoesNotPumpHoldsTheWorkerWithoutLosingTheEvent) {
  auto channel = Open({200, 400});
  ASSERT_TRUE(channel);
  line_->Send(kFrame);
  ASSERT_TRUE(AwaitSentMessage());
  Sleep(600);
  EXPECT_FALSE(TCommThreadProbe::Ready(*channel));
  EXPECT_EQ(line_->Acks(), 0u);
  EXPECT_EQ(line_->FramesDone(), 0u) << "the worker went on";

  TlfMsg msg{};
  ASSERT_TRUE(ServeAndTake(*channel, msg));
  EXPECT_EQ(msg.Account, 0x1234);
  EXPECT_TRUE(line_->WaitAcks(1));
  channel->Close();
}

TEST_F(Handoff, CloseOnTheWindowThreadDuringAHandoffEnds) {
  auto channel = Open({200, 100});
  ASSERT_TRUE(channel);
  line_->Send(kFrame);
  ASSERT_TRUE(AwaitSentMessage());
  channel->Close();  // serves the handoff, then the pickup time runs out
  EXPECT_TRUE(line_->Closed());
  EXPECT_EQ(line_->Acks(), 0u);
  EXPECT_EQ(LibraryWindows(), 0);
}

// Another thread's close can end only once the window thread serves the
// handoff; an event taken meanwhile is still acknowledged.
TEST_F(Handoff, CloseFromAnotherThreadDuringAHandoffEndsWhenTheWindowThreadServes) {
  auto channel = Open({200, 10000});
  ASSERT_TRUE(channel);
  line_->Send(kFrame);
  ASSERT_TRUE(AwaitSentMessage());
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    channel->Close();
    closed = true;
  });
  Sleep(300);
  EXPECT_FALSE(closed) << "the worker cannot have left its handoff";
  TlfMsg msg{};
  EXPECT_TRUE(ServeAndTake(*channel, msg));
  closer.join();
  EXPECT_EQ(line_->Acks(), 1u);
  EXPECT_TRUE(line_->Closed());
  EXPECT_EQ(LibraryWindows(), 1) << "destroyed by its own thread only";
  DispatchPosted();
  EXPECT_EQ(LibraryWindows(), 0);
}

TEST_F(Handoff, CloseRightAfterOpenEndsOnEveryThread) {
  auto onMain = Open({10000, 10000});
  ASSERT_TRUE(onMain);
  onMain->Close();

  HostThread host;
  std::unique_ptr<TCommThread> onHost;
  host.Call([&] { onHost = Open({10000, 10000}); });
  ASSERT_TRUE(onHost);
  onHost->Close();  // from another thread than the window's
  host.Call([&] {
    onHost = Open({10000, 10000});
    onHost->Close();
  });
  EXPECT_TRUE(line_->Closed());
}

TEST_F(Handoff, WindowGoesWithTheLastChannel) {
  auto first = Open();
  auto second = Open();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(LibraryWindows(), 1);
  EXPECT_EQ(LibraryWindowThread(), GetCurrentThreadId());
  first->Close();
  first->Close();  // again: it released its hold once
  EXPECT_EQ(LibraryWindows(), 1);
  second->Close();
  EXPECT_EQ(LibraryWindows(), 0);
}

// The window went with the thread that made it while a channel is still
// open: the worker marks its events ready itself rather than never.
TEST_F(Handoff, WindowGoneWithItsThreadLeavesTheHandoffToTheWorker) {
  std::unique_ptr<TCommThread> channel;
  {
    HostThread host;
    host.Call([&] { channel = Open(); });
  }
  ASSERT_TRUE(channel);
  EXPECT_EQ(LibraryWindows(), 0);
  line_->Send(kFrame);
  TlfMsg msg{};
  ASSERT_TRUE(ServeAndTake(*channel, msg));
  EXPECT_TRUE(line_->WaitAcks(1));
  channel->Close();
}

}  // namespace
}  // namespace kvarn
