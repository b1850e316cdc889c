// WriterPool: threads that make and write extracted files while one thread places them.
//
// Creating an unnamed temporary and writing into it takes no lock on the directory, so those
// steps of many files go side by side; linking names into one directory is serialised by the
// directory's own lock, so placing stays on the thread that submits (extract.h). One pool
// serves every extractor of a run: a run over several containers shares the same threads,
// and never holds more of them than the cores it was given.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kzb {

class WriterPool {
 public:
  // `threads` threads, at least one.
  explicit WriterPool(unsigned threads);
  // Runs every task already given, then ends the threads.
  ~WriterPool();
  WriterPool(const WriterPool&) = delete;
  WriterPool& operator=(const WriterPool&) = delete;

  unsigned threads() const { return static_cast<unsigned>(threads_.size()); }

  // Runs `task` on one of the pool's threads, in the order given as threads come free.
  // `done` turns false now and true once the task has ended, however it ended.
  void run(std::function<void()> task, std::atomic<bool>& done);

  // Returns once `done` is true; meanwhile runs tasks that no thread has taken yet.
  void waitUntil(const std::atomic<bool>& done);

 private:
  static constexpr std::size_t kTasksToWake = 8;
  struct Task {
    std::function<void()> work;
    std::atomic<bool>* done;
  };
  void serve();
  void runFirst(std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::condition_variable taskGiven_;
  std::condition_variable taskEnded_;
  std::deque<Task> tasks_;
  bool stopping_ = false;
  unsigned waiting_ = 0;  // threads in waitUntil: a task's end wakes no one otherwise
  std::vector<std::thread> threads_;
};

}  // namespace kzb
