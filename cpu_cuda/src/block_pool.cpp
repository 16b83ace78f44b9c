#include "block_pool.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "block_runner.hpp"
#include "device_memory_poison.hpp"

namespace cpu_cuda::detail {
namespace {
constexpr std::align_val_t kSharedAlignment{16};  // what the device guarantees for dynamic shared memory
// Launches come in quick succession (launch, copy, launch): threads poll this many times, yielding the core each
// time, before they sleep, so the next launch or the last block does not wait for a thread to be woken.
constexpr int kPollsBeforeSleep = 200;

// A participant's dynamic shared memory, exactly as large as the launch asked so overruns reach the sanitizer.
class SharedBuffer {
 public:
  explicit SharedBuffer(std::size_t bytes)
      : bytes_(bytes), data_(::operator new(std::max<std::size_t>(bytes, 1), kSharedAlignment)) {}
  ~SharedBuffer() { ::operator delete(data_, kSharedAlignment); }
  SharedBuffer(const SharedBuffer&) = delete;
  SharedBuffer& operator=(const SharedBuffer&) = delete;
  // Shared memory starts undefined in every block.
  void* fresh() {
    fill_with_poison(data_, bytes_);
    return data_;
  }

 private:
  std::size_t bytes_;
  void* data_;
};

uint3 block_coordinates(const dim3& grid, unsigned long linear) {
  return uint3{static_cast<unsigned int>(linear % grid.x), static_cast<unsigned int>((linear / grid.x) % grid.y),
               static_cast<unsigned int>(linear / (static_cast<unsigned long>(grid.x) * grid.y))};
}

unsigned long block_count(const dim3& grid) { return static_cast<unsigned long>(grid.x) * grid.y * grid.z; }

// One launch shared by its participants.
struct Job {
  const KernelLaunch* launch = nullptr;
  unsigned long total = 0;
  std::atomic<unsigned long> next{0};
  std::atomic<bool> failed{false};
  std::mutex mutex;                 // guards changes of participants, and fault
  std::condition_variable finished;
  std::atomic<int> participants{0};  // pool workers inside the job
  std::string fault;

  bool has_work() const { return !failed.load() && next.load() < total; }

  // Takes blocks until none is left or one has faulted.
  void participate() {
    SharedBuffer shared(launch->dynamic_shared_bytes);
    BlockRunner& runner = this_thread_runner();
    std::string block_fault;
    for (unsigned long linear; !failed.load() && (linear = next.fetch_add(1)) < total;) {
      const uint3 coordinates = block_coordinates(launch->grid, linear);
      if (runner.run_block(*launch, coordinates, linear, shared.fresh(), block_fault)) continue;
      const std::lock_guard<std::mutex> lock(mutex);
      if (!failed.exchange(true)) fault = block_fault;
    }
  }
};

class WorkerPool {
 public:
  static WorkerPool& instance() {
    static WorkerPool pool;
    return pool;
  }

  bool has_workers() const { return !workers_.empty(); }

  void run(Job& job) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(&job);
    }
    ++submissions_;
    // The launching thread takes blocks too, so at most one worker per further block is of use.
    const unsigned long helpers = std::min<unsigned long>(workers_.size(), job.total - 1);
    for (unsigned long i = 0; i < helpers; ++i) wake_.notify_one();
    job.participate();
    {
      // No worker joins once the job leaves the queue; then wait for those inside.
      const std::lock_guard<std::mutex> lock(mutex_);
      jobs_.erase(std::find(jobs_.begin(), jobs_.end(), &job));
    }
    for (int poll = 0; poll < kPollsBeforeSleep && job.participants.load() != 0; ++poll) std::this_thread::yield();
    std::unique_lock<std::mutex> lock(job.mutex);
    job.finished.wait(lock, [&] { return job.participants.load() == 0; });
  }

 private:
  WorkerPool() {
    const unsigned int cores = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned int i = 1; i < cores; ++i) workers_.emplace_back([this] { work(); });
  }

  ~WorkerPool() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  Job* job_with_work() {
    for (Job* job : jobs_) {
      if (job->has_work()) return job;
    }
    return nullptr;
  }

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      Job* job = nullptr;
      if (!stopping_ && job_with_work() == nullptr) {
        const unsigned long seen = submissions_.load();
        lock.unlock();
        for (int poll = 0; poll < kPollsBeforeSleep && submissions_.load() == seen; ++poll) std::this_thread::yield();
        lock.lock();
      }
      wake_.wait(lock, [&] { return stopping_ || (job = job_with_work()) != nullptr; });
      if (stopping_) return;
      {
        const std::lock_guard<std::mutex> job_lock(job->mutex);
        ++job->participants;
      }
      lock.unlock();
      job->participate();
      {
        const std::lock_guard<std::mutex> job_lock(job->mutex);
        if (--job->participants == 0) job->finished.notify_all();
      }
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job*> jobs_;
  std::atomic<unsigned long> submissions_{0};  // jobs ever queued, so idle workers notice a new one without the lock
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};
}  // namespace

bool run_blocks(const KernelLaunch& launch, bool serial, std::string& fault) {
  Job job;
  job.launch = &launch;
  job.total = block_count(launch.grid);
  if (serial || job.total == 1 || !WorkerPool::instance().has_workers()) {
    job.participate();
  } else {
    WorkerPool::instance().run(job);
  }
  fault = job.fault;
  return !job.failed.load();
}
}  // namespace cpu_cuda::detail
