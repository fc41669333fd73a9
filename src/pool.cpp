#include "pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace tessarin {
namespace {

// A positive integer from the environment, or 0 when absent or not one.
std::size_t env_count(const char* name) {
  const char* s = std::getenv(name);
  if (!s || !*s) return 0;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(s, &end, 10);
  while (end && (*end == ' ' || *end == '\n' || *end == '\t')) ++end;
  if (errno || !end || *end || s[0] == '-' || v == 0 || v > 4096) return 0;
  return static_cast<std::size_t>(v);
}

// CPUs permitted by a cgroup CPU quota, rounded up; 0 when no quota is set.
std::size_t cgroup_cpu_limit() {
  // cgroup v2: "max 100000" or "<quota> <period>"
  {
    std::ifstream f("/sys/fs/cgroup/cpu.max");
    std::string quota;
    long long period = 0;
    if (f >> quota >> period && quota != "max" && period > 0) {
      long long q = std::atoll(quota.c_str());
      if (q > 0) return static_cast<std::size_t>((q + period - 1) / period);
    }
  }
  // cgroup v1
  std::ifstream fq("/sys/fs/cgroup/cpu/cpu.cfs_quota_us");
  std::ifstream fp("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
  long long q = 0, p = 0;
  if (fq >> q && fp >> p && q > 0 && p > 0)
    return static_cast<std::size_t>((q + p - 1) / p);
  return 0;
}

std::size_t available_cpus() {
  std::size_t n = 0;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) n = static_cast<std::size_t>(CPU_COUNT(&set));
  if (n == 0) {
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    n = online > 0 ? static_cast<std::size_t>(online) : 1;
  }
  std::size_t quota = cgroup_cpu_limit();
  if (quota > 0) n = std::min(n, quota);
  return std::max<std::size_t>(n, 1);
}

thread_local bool t_is_worker = false;

struct Job {
  RangeFn fn;
  void* ctx;
  std::size_t n;
  std::size_t chunk;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;  // first failure, written once under `failed`

  void run() noexcept {
    for (;;) {
      if (failed.load(std::memory_order_relaxed)) return;
      std::size_t b = next.fetch_add(chunk, std::memory_order_relaxed);
      if (b >= n) return;
      std::size_t e = std::min(n, b + chunk);
      try {
        fn(ctx, b, e);
      } catch (...) {
        if (!failed.exchange(true)) error = std::current_exception();
        return;
      }
    }
  }
};

class Pool {
 public:
  explicit Pool(std::size_t threads) {
    workers_.reserve(threads - 1);
    // Where the system refuses more threads, the pool makes do with those it
    // has (the calling thread always works too).
    try {
      for (std::size_t i = 0; i + 1 < threads; ++i) workers_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
    }
    threads_ = workers_.size() + 1;
  }
  // The pool lives until the process ends (and is abandoned in a forked
  // child), so it is never destroyed.
  ~Pool() = delete;

  std::size_t threads() const { return threads_; }

  // Runs `job` on every worker and on the calling thread; returns when all
  // are done with it.
  void run(Job& job) {
    {
      std::lock_guard<std::mutex> lk(m_);
      job_ = &job;
      ++generation_;
      busy_ = workers_.size();
    }
    cv_start_.notify_all();
    job.run();
    std::unique_lock<std::mutex> lk(m_);
    cv_done_.wait(lk, [this] { return busy_ == 0; });
    job_ = nullptr;
  }

 private:
  void work() {
    t_is_worker = true;
    std::uint64_t seen = 0;
    for (;;) {
      Job* job;
      {
        std::unique_lock<std::mutex> lk(m_);
        cv_start_.wait(lk, [&] { return generation_ != seen; });
        seen = generation_;
        job = job_;
      }
      job->run();
      {
        std::lock_guard<std::mutex> lk(m_);
        if (--busy_ == 0) cv_done_.notify_one();
      }
    }
  }

  std::size_t threads_ = 1;
  std::vector<std::thread> workers_;
  std::mutex m_;
  std::condition_variable cv_start_, cv_done_;
  std::uint64_t generation_ = 0;
  std::size_t busy_ = 0;
  Job* job_ = nullptr;
};

// Guards creation of the pool and its use: one batch at a time drives the
// pool; a batch that finds it busy (another Python thread's batch) runs on its
// own thread instead of queueing.
std::mutex g_mutex;
Pool* g_pool = nullptr;

void before_fork() { g_mutex.lock(); }
void after_fork_parent() { g_mutex.unlock(); }
// The child has only the forking thread: the workers do not exist there.
// Abandon the old pool (its mutexes may be in any state) and let the next
// parallel evaluation build a fresh one.
void after_fork_child() {
  g_pool = nullptr;
  g_mutex.unlock();
}

struct ForkHandlers {
  ForkHandlers() { pthread_atfork(before_fork, after_fork_parent, after_fork_child); }
};
ForkHandlers g_fork_handlers;

void run_serial(std::size_t n, RangeFn fn, void* ctx) {
  if (n) fn(ctx, 0, n);
}

}  // namespace

std::size_t configured_thread_count() {
  std::size_t n = env_count("RAYON_NUM_THREADS");
  if (!n) n = env_count("RAYON_RS_NUM_CPUS");
  if (!n) n = available_cpus();
  return n;
}

namespace detail {

void parallel_for_impl(std::size_t n, std::size_t min_chunk, RangeFn fn, void* ctx) {
  min_chunk = std::max<std::size_t>(min_chunk, 1);
  if (n <= min_chunk || t_is_worker) return run_serial(n, fn, ctx);

  std::unique_lock<std::mutex> lk(g_mutex, std::try_to_lock);
  if (!lk.owns_lock()) return run_serial(n, fn, ctx);
  if (!g_pool) g_pool = new Pool(configured_thread_count());
  Pool& pool = *g_pool;
  if (pool.threads() == 1) {
    lk.unlock();
    return run_serial(n, fn, ctx);
  }

  // Many chunks per thread so that threads finishing early (points that
  // need more solver iterations are slower, and a thread may lose its
  // processor for a while) can pick up more: the last chunk, which one
  // thread finishes while the others wait, is then a small part of the
  // work. Taking a chunk costs one atomic addition.
  std::size_t chunk = std::max(min_chunk, n / (pool.threads() * 64));
  Job job;
  job.fn = fn;
  job.ctx = ctx;
  job.n = n;
  job.chunk = chunk;
  pool.run(job);
  lk.unlock();
  if (job.error) std::rethrow_exception(job.error);
}

}  // namespace detail
}  // namespace tessarin
