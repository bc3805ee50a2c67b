// WorkerPool: runs tasks on threads that are reused, without any limit on how
// many run at once. A task submitted while every worker is busy gets a new
// thread at once, so a slow task never delays another.
//
// Idle workers wait on a condition variable. A handful of them wait without a
// timeout (an idle process has no wake-ups at all); workers beyond that wait a
// few seconds for new work and then exit, so a burst does not leave threads
// behind.
//
// Thread-safety: submit() may be called from any number of threads.
// Lifetime: destroying the pool lets idle workers exit; tasks already running
// or queued still run to completion on their threads, so they must not depend
// on objects that die with the pool's owner unless the owner waits for them.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace tindrel {

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t keepIdle = 4);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues `task` and makes sure a worker will take it without waiting for
  // another task to end. Throws std::system_error when no worker exists and
  // none can be created (the task is then not queued).
  void submit(std::function<void()> task);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace tindrel
