#include "writer_pool.h"

#include <algorithm>
#include <utility>

namespace kzb {

WriterPool::WriterPool(unsigned threads) {
  threads_.reserve(std::max(1u, threads));
  for (unsigned t = 0; t < std::max(1u, threads); ++t) {
    threads_.emplace_back([this] { serve(); });
  }
}

WriterPool::~WriterPool() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  taskGiven_.notify_all();
  for (std::thread& thread : threads_) {
    thread.join();
  }
}

// Waking a thread costs a system call and a switch, as much as writing a small file: idle
// threads are woken once a few tasks wait, or when someone waits for one.
void WriterPool::run(std::function<void()> task, std::atomic<bool>& done) {
  done.store(false);
  bool wake = false;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back({std::move(task), &done});
    wake = tasks_.size() >= kTasksToWake;
  }
  if (wake) {
    taskGiven_.notify_all();
  }
}

// A thread that would wait runs the tasks that wait for a thread instead, the one it waits
// for among them: on a machine of few cores, the placing thread would otherwise sit idle
// while a file waits to be written.
void WriterPool::waitUntil(const std::atomic<bool>& done) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!done.load()) {
    if (!tasks_.empty()) {
      runFirst(lock);
      continue;
    }
    ++waiting_;
    taskEnded_.wait(lock, [&] { return done.load() || !tasks_.empty(); });
    --waiting_;
  }
}

// Takes the first task waiting and runs it, with the lock let go meanwhile.
// The flag is set under the lock that waitUntil checks it under, so no wake-up is lost. A
// task that throws (memory ran out) still counts as ended: its extractor finds what it
// recorded before, and reports the file as not written.
void WriterPool::runFirst(std::unique_lock<std::mutex>& lock) {
  Task task = std::move(tasks_.front());
  tasks_.pop_front();
  lock.unlock();
  try {
    task.work();
  } catch (...) {  // NOLINT(bugprone-empty-catch): what the task recorded tells
  }
  lock.lock();
  task.done->store(true);
  if (waiting_ > 0) {
    taskEnded_.notify_all();
  }
}

void WriterPool::serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    taskGiven_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
    if (tasks_.empty()) {
      return;  // stopping, and nothing left to run
    }
    runFirst(lock);
  }
}

}  // namespace kzb
