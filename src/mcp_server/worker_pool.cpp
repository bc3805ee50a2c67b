#include "mcp_server/worker_pool.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <utility>

namespace tindrel {

namespace {

// Handlers are shallow (JSON nesting is bounded by the reader), so a modest
// stack keeps many concurrent workers cheap in address space.
constexpr std::size_t kWorkerStackSize = 1024 * 1024;
constexpr auto kSurplusIdleTime = std::chrono::seconds(5);

}  // namespace

struct WorkerPool::State {
  explicit State(std::size_t keepIdle) : keepIdle(keepIdle) {}

  const std::size_t keepIdle;
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> tasks;  // guarded by mutex
  std::size_t waiting = 0;                  // workers waiting for a task
  std::size_t waitingWithoutTimeout = 0;
  std::size_t workers = 0;
  bool stopping = false;

  void work();
};

void WorkerPool::State::work() {
  std::unique_lock lock(mutex);
  for (;;) {
    while (tasks.empty() && !stopping) {
      ++waiting;
      if (waitingWithoutTimeout < keepIdle) {
        ++waitingWithoutTimeout;
        wake.wait(lock);
        --waitingWithoutTimeout;
        --waiting;
      } else {
        const auto status = wake.wait_for(lock, kSurplusIdleTime);
        --waiting;
        if (status == std::cv_status::timeout && tasks.empty()) break;
      }
    }
    if (tasks.empty()) break;
    std::function<void()> task = std::move(tasks.front());
    tasks.pop_front();
    lock.unlock();
    task();
    task = nullptr;  // release what the task holds before waiting again
    lock.lock();
  }
  --workers;
}

namespace {

void* runWorker(void* argument) {
  const std::unique_ptr<std::shared_ptr<WorkerPool::State>> state(
      static_cast<std::shared_ptr<WorkerPool::State>*>(argument));
  (*state)->work();
  return nullptr;
}

// Starts one detached worker; returns the pthread error number, 0 on success.
int startWorker(const std::shared_ptr<WorkerPool::State>& state) {
  pthread_attr_t attributes;
  if (const int error = pthread_attr_init(&attributes); error != 0) return error;
  pthread_attr_setstacksize(&attributes, kWorkerStackSize);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  auto* argument = new std::shared_ptr<WorkerPool::State>(state);
  pthread_t thread;
  const int error = pthread_create(&thread, &attributes, runWorker, argument);
  pthread_attr_destroy(&attributes);
  if (error != 0) delete argument;
  return error;
}

}  // namespace

WorkerPool::WorkerPool(std::size_t keepIdle) : state_(std::make_shared<State>(keepIdle)) {}

WorkerPool::~WorkerPool() {
  {
    const std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
}

void WorkerPool::submit(std::function<void()> task) {
  {
    const std::lock_guard lock(state_->mutex);
    state_->tasks.push_back(std::move(task));
    // Every queued task needs a waiting worker of its own; otherwise it would
    // wait for a running task to end.
    if (state_->tasks.size() <= state_->waiting) {
      state_->wake.notify_one();
      return;
    }
    ++state_->workers;
  }
  if (const int error = startWorker(state_); error != 0) {
    const std::lock_guard lock(state_->mutex);
    --state_->workers;
    // With other workers alive the task still runs once one of them is free;
    // with none it would never run.
    if (state_->workers == 0) {
      state_->tasks.pop_back();
      throw std::system_error(error, std::generic_category(), "cannot start a worker thread");
    }
  }
}

}  // namespace tindrel
