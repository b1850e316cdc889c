#include "jobs.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <streambuf>
#include <thread>
#include <utility>

#include "console.h"

namespace kzb::tool {
namespace {

// What one container's work wrote, in the order it wrote it: runs of bytes, each on
// standard output or standard error.
struct Recording {
  std::vector<std::pair<bool, std::string>> pieces;  // (on standard error, bytes)

  void add(bool error, const char* bytes, std::size_t count) {
    if (pieces.empty() || pieces.back().first != error) {
      pieces.emplace_back(error, std::string());
    }
    pieces.back().second.append(bytes, count);
  }

  // Onto the real streams. A stream is flushed when the other one comes next and at the end,
  // as the work flushes each before the other is written.
  void replay(Context& context) const {
    for (const auto& [error, bytes] : pieces) {
      std::ostream& stream = error ? context.err : context.out;
      stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      stream.flush();
    }
  }
};

class RecordingBuffer : public std::streambuf {
 public:
  RecordingBuffer(Recording& recording, bool error) : recording_(recording), error_(error) {}

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      const char byte = traits_type::to_char_type(c);
      recording_.add(error_, &byte, 1);
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char_type* bytes, std::streamsize count) override {
    recording_.add(error_, bytes, static_cast<std::size_t>(count));
    return count;
  }

 private:
  Recording& recording_;
  bool error_;
};

struct Slot {
  bool done = false;
  ContainerDone result;
  Recording recording;
  std::exception_ptr failure;
};

class Runner {
 public:
  Runner(const Options& options, Context& context, const std::vector<std::string>& keys,
         const ContainerWork& work)
      : context_(context), work_(work), slots_(options.containers.size()) {
    // Chains of containers that share a key, in the order of their first container.
    std::map<std::string, std::size_t> chainOf;
    for (std::size_t index = 0; index < slots_.size(); ++index) {
      if (keys.empty()) {
        chains_.push_back({index});
        continue;
      }
      const auto [at, added] = chainOf.emplace(keys[index], chains_.size());
      if (added) {
        chains_.emplace_back();
      }
      chains_[at->second].push_back(index);
    }
  }

  int run(unsigned jobs) {
    const std::size_t threads = std::min<std::size_t>(jobs, chains_.size());
    std::vector<std::thread> workers;
    workers.reserve(threads);
    for (std::size_t t = 0; t < threads; ++t) {
      workers.emplace_back([this] { work(); });
    }
    int status = kExitSuccess;
    std::exception_ptr failure;
    for (std::size_t index = 0; index < slots_.size(); ++index) {
      Slot& slot = waitFor(index);
      slot.recording.replay(context_);
      slot.recording = {};  // replayed: its memory goes
      if (slot.failure) {
        failure = slot.failure;
        break;
      }
      status = std::max(status, slot.result.status);
      if (slot.result.stopsTheRun) {
        break;
      }
    }
    stopped_ = true;
    for (std::thread& worker : workers) {
      worker.join();
    }
    if (failure) {
      std::rethrow_exception(failure);
    }
    return status;
  }

 private:
  void work() {
    for (std::size_t chain = nextChain_++; chain < chains_.size() && !stopped_;
         chain = nextChain_++) {
      for (const std::size_t index : chains_[chain]) {
        runOne(index);
      }
    }
  }

  void runOne(std::size_t index) {
    Slot& slot = slots_[index];
    if (!stopped_) {
      RecordingBuffer out(slot.recording, false);
      RecordingBuffer err(slot.recording, true);
      std::ostream outStream(&out);
      std::ostream errStream(&err);
      Context context{outStream, errStream, false, context_.progressDelay};
      try {
        slot.result = work_(index, context);
      } catch (...) {
        slot.failure = std::current_exception();
      }
    }
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      slot.done = true;
    }
    changed_.notify_all();
  }

  Slot& waitFor(std::size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return slots_[index].done; });
    return slots_[index];
  }

  Context& context_;
  const ContainerWork& work_;
  std::vector<Slot> slots_;
  std::vector<std::vector<std::size_t>> chains_;
  std::atomic<std::size_t> nextChain_{0};
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
};

// What the process holds open whatever its jobs do: the standard streams, the directory that
// every container shares, and what the runtime opens.
constexpr std::uint64_t kReservedDescriptors = 16;

}  // namespace

unsigned jobCount(const Options& options, unsigned jobDescriptors) {
  const unsigned asked =
      options.jobs != 0 ? options.jobs : std::max(1u, console::usableProcessors());
  const std::uint64_t limit = console::openFileLimit();
  if (limit == 0) {
    return asked;
  }
  const std::uint64_t fit =
      limit > kReservedDescriptors ? (limit - kReservedDescriptors) / jobDescriptors : 0;
  return static_cast<unsigned>(std::clamp<std::uint64_t>(fit, 1, asked));
}

std::uint64_t descriptorsPerJob(unsigned jobs) {
  const std::uint64_t limit = console::openFileLimit();
  if (limit == 0) {
    return UINT64_MAX;
  }
  return limit > kReservedDescriptors ? (limit - kReservedDescriptors) / std::max(1u, jobs) : 1;
}

int runContainers(const Options& options, Context& context, const std::vector<std::string>& keys,
                  const ContainerWork& work, unsigned jobDescriptors) {
  const unsigned jobs = jobCount(options, jobDescriptors);
  const bool oneChain =
      !keys.empty() && std::all_of(keys.begin(), keys.end(),
                                   [&](const std::string& key) { return key == keys.front(); });
  if (jobs <= 1 || options.containers.size() <= 1 || oneChain) {
    int status = kExitSuccess;
    for (std::size_t index = 0; index < options.containers.size(); ++index) {
      const ContainerDone done = work(index, context);
      status = std::max(status, done.status);
      if (done.stopsTheRun) {
        break;
      }
    }
    return status;
  }
  return Runner(options, context, keys, work).run(jobs);
}

}  // namespace kzb::tool
