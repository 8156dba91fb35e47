// The process-wide worker pool.
//
// Jobs wait in a FIFO queue; idle workers take the front job and claim its items one
// at a time, so a job of many long items spreads over every worker and several callers
// can share the pool. The caller sleeps until its job's last item has finished. All
// bookkeeping happens under one mutex; the items themselves (graph links, searches)
// run for tens of microseconds or more, so the lock is cheap by comparison.
#include "util/worker_pool.h"

#include <pthread.h>
#include <sched.h>

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace dralm {
namespace {

thread_local bool t_is_worker = false;

size_t affinity_cpu_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<size_t>(count);
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1;
}

struct Job {
  const std::function<void(size_t)>* task;
  size_t count;
  size_t next = 0;      // next unclaimed item
  size_t finished = 0;  // items done
  std::exception_ptr error;
};

class Pool {
 public:
  explicit Pool(size_t workers) {
    threads_.reserve(workers);
    for (size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  }

  // Never destroyed: the pool lives for the process (see instance()).
  ~Pool() = delete;

  size_t size() const { return threads_.size(); }

  void run(size_t count, const std::function<void(size_t)>& task) {
    Job job{&task, count, 0, 0, nullptr};
    std::unique_lock<std::mutex> lock(mutex_);
    queue_.push_back(&job);
    work_ready_.notify_all();
    job_done_.wait(lock, [&] { return job.finished == job.count; });
    lock.unlock();
    if (job.error) std::rethrow_exception(job.error);
  }

 private:
  void work() {
    t_is_worker = true;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_ready_.wait(lock, [&] { return !queue_.empty(); });
      Job* job = queue_.front();
      const size_t item = job->next++;
      // Once every item is claimed the job leaves the queue; the workers still
      // running its items finish them and report below.
      if (job->next == job->count) queue_.pop_front();
      lock.unlock();
      std::exception_ptr error;
      try {
        (*job->task)(item);
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      if (error && !job->error) job->error = error;
      // After this increment the caller may return and destroy `job`: no access follows.
      if (++job->finished == job->count) job_done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable job_done_;
  std::deque<Job*> queue_;
  std::vector<std::thread> threads_;
};

std::mutex g_pool_mutex;
Pool* g_pool = nullptr;  // leaked on purpose: joining workers during exit is unsafe

// A forked child has none of the parent's worker threads; it builds its own pool on
// first use. The mutex is held across the fork so the child never inherits it locked
// by a thread that does not exist there.
void lock_pool_for_fork() { g_pool_mutex.lock(); }
void unlock_pool_in_parent() { g_pool_mutex.unlock(); }
void forget_pool_in_child() {
  g_pool = nullptr;
  g_pool_mutex.unlock();
}

Pool& instance() {
  std::lock_guard<std::mutex> guard(g_pool_mutex);
  if (g_pool == nullptr) {
    static const bool registered =
        (pthread_atfork(lock_pool_for_fork, unlock_pool_in_parent, forget_pool_in_child), true);
    (void)registered;
    g_pool = new Pool(affinity_cpu_count());
  }
  return *g_pool;
}

}  // namespace

size_t worker_count() {
  {
    std::lock_guard<std::mutex> guard(g_pool_mutex);
    if (g_pool != nullptr) return g_pool->size();
  }
  return affinity_cpu_count();
}

void parallel_for(size_t count, const std::function<void(size_t)>& task) {
  if (count == 0) return;
  // Inline when nesting (a worker waiting on its own pool could deadlock) and when a
  // single item or a single worker makes a hand-off pure overhead.
  if (t_is_worker || count == 1) {
    for (size_t i = 0; i < count; ++i) task(i);
    return;
  }
  Pool& pool = instance();
  if (pool.size() <= 1) {
    for (size_t i = 0; i < count; ++i) task(i);
    return;
  }
  pool.run(count, task);
}

}  // namespace dralm
