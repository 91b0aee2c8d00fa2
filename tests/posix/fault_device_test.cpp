// The serial device goes away under an open channel: the adapter is pulled
// (the pty's master closes) or its name disappears. The worker must neither
// spin nor crash, the host keeps what was already decoded, and closing the
// channel does not wait out any interval.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "fault_rig.h"
#include "kvarn_rcvr.h"

namespace kvarn {
namespace {

using test::CpuWhileIdle;
using test::FaultRig;
using test::Frame5;
using test::TakeWithin;

// A spinning worker would burn close to all of the idle time.
constexpr uint32_t kIdleMs = 800;
constexpr uint64_t kIdleCpuLimitMs = 250;

TEST(DeviceFault, PulledWhileAnEventWaitsForPickup) {
  FaultRig rig;
  auto channel = rig.Open({500, 3000});
  ASSERT_TRUE(channel);
  rig.SendFrame(Frame5(0x1234));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  rig.Line.CloseMaster();
  TlfMsg m{};
  ASSERT_TRUE(TakeWithin(*channel, m)) << "an event decoded before the device went is still delivered";
  EXPECT_EQ(m.Account, 0x1234);
  EXPECT_LT(CpuWhileIdle(kIdleMs), kIdleCpuLimitMs);
  EXPECT_EQ(channel->GetMsg(m), 0);
  const uint64_t start = platform::MonotonicMs();
  channel->Close();
  EXPECT_LT(platform::MonotonicMs() - start, 1500u);
}

TEST(DeviceFault, PulledInTheMiddleOfAFrame) {
  FaultRig rig;
  auto channel = rig.Open();
  ASSERT_TRUE(channel);
  rig.Line.Send("5011 181234E1");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  rig.Line.CloseMaster();
  EXPECT_LT(CpuWhileIdle(kIdleMs), kIdleCpuLimitMs);
  TlfMsg m{};
  EXPECT_EQ(channel->GetMsg(m), 0) << "half a frame is no frame";
  channel->Close();
}

// The open descriptor keeps the device; only a new open misses it.
TEST(DeviceFault, NameRemovedWhileOpen) {
  FaultRig rig;
  auto channel = rig.Open();
  ASSERT_TRUE(channel);
  std::filesystem::remove("Com" + std::to_string(test::kFaultPort));
  rig.SendFrame(Frame5(0x0042));
  TlfMsg m{};
  ASSERT_TRUE(TakeWithin(*channel, m));
  EXPECT_EQ(m.Account, 0x0042);
  EXPECT_EQ(rig.AcksWithin(2000), 1u);
  channel->Close();
  EXPECT_EQ(rig.Open(), nullptr);
}

// Through the exported functions, with their own limits: the device and its
// name both go; polling goes on harmlessly and the close is prompt.
TEST(DeviceFault, ExportedChannelClosesPromptlyAfterTheDeviceWent) {
  FaultRig rig;
  TlfChannel channel = tlf_InitComm(test::kFaultPort, 1);
  ASSERT_NE(channel, nullptr);
  rig.SendFrame(Frame5(0x0777));
  TlfMsg m{};
  bool taken = false;
  for (int i = 0; i < 5000 && !(taken = tlf_GetMsg(channel, &m) == 1); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(taken);
  EXPECT_EQ(rig.AcksWithin(2000), 1u);
  rig.Line.CloseMaster();
  std::filesystem::remove("Com" + std::to_string(test::kFaultPort));
  EXPECT_LT(CpuWhileIdle(kIdleMs), kIdleCpuLimitMs);
  EXPECT_EQ(tlf_GetMsg(channel, &m), 0);
  const uint64_t start = platform::MonotonicMs();
  tlf_CloseComm(channel);
  EXPECT_LT(platform::MonotonicMs() - start, 1500u) << "close waited out the 2000 ms wait";
}

}  // namespace
}  // namespace kvarn
