#include "mcp_server/worker_pool.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

namespace tindrel {
namespace {

using namespace std::chrono_literals;

// Tasks that each wait for all the others of their wave: a pool that let any
// of them wait for a free worker would time out. The second wave runs on the
// workers left idle by the first.
TEST(WorkerPool, RunsEveryTaskAtOnceAndReusesIdleWorkers) {
  WorkerPool pool(2);
  for (const int tasks : {64, 64, 3}) {
    std::mutex mutex;
    std::condition_variable changed;
    int started = 0;
    int together = 0;
    int finished = 0;
    for (int i = 0; i < tasks; ++i) {
      pool.submit([&] {
        std::unique_lock lock(mutex);
        ++started;
        changed.notify_all();
        if (changed.wait_for(lock, 10s, [&] { return started == tasks; })) ++together;
        ++finished;
        changed.notify_all();
      });
    }
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return finished == tasks; }));
    EXPECT_EQ(together, tasks);
  }
}

}  // namespace
}  // namespace tindrel
