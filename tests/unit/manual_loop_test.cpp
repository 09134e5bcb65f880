#include "platform/manual_loop.h"

#include <gtest/gtest.h>

#include <vector>

using murvik::platform::ManualLoop;

TEST(ManualLoop, TimersFireAtTheirDueTimesInOrder) {
  ManualLoop loop(0xFFFFFF00u);  // crosses the 32-bit wrap
  std::vector<std::pair<char, std::uint32_t>> fired;
  loop.AddTimer(100, [&] { fired.push_back({'a', loop.Now()}); });
  loop.AddTimer(250, [&] { fired.push_back({'b', loop.Now()}); }, false);
  loop.Advance(300);
  ASSERT_EQ(fired.size(), 4u);
  EXPECT_EQ(fired[0], std::make_pair('a', 0xFFFFFF64u));
  EXPECT_EQ(fired[1], std::make_pair('a', 0xFFFFFFC8u));
  EXPECT_EQ(fired[2], std::make_pair('b', 0xFFFFFFFAu));
  EXPECT_EQ(fired[3], std::make_pair('a', 0x0000002Cu));
  EXPECT_EQ(loop.Now(), 0x0000002Cu);
}

TEST(ManualLoop, PostedTasksRunInOrderAndATimerMayCancelItself) {
  ManualLoop loop;
  std::vector<int> order;
  loop.Post([&] { order.push_back(1); loop.Post([&] { order.push_back(3); }); });
  loop.Post([&] { order.push_back(2); });
  EXPECT_EQ(loop.RunPending(), 3);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

  int count = 0;
  murvik::platform::EventLoop::TimerId id = 0;
  id = loop.AddTimer(10, [&] {
    if (++count == 2) loop.CancelTimer(id);
  });
  loop.Advance(100);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(loop.TimerCount(), 0u);
}
