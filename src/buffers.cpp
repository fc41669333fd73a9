#include "buffers.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
// Defines the poisoning macros as no-ops when the sanitizer is not in use.
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace tessarin::buffers {
namespace {

using Clock = std::chrono::steady_clock;

std::size_t page_size() noexcept {
  static const std::size_t size = [] {
    const long v = sysconf(_SC_PAGESIZE);
    return v > 0 ? static_cast<std::size_t>(v) : std::size_t{4096};
  }();
  return size;
}

constexpr std::size_t MIB = std::size_t{1} << 20;

// The idle byte cap: TESSARIN_BUFFER_CACHE_MB when it is a non-negative
// integer, else 512 MiB or a quarter of physical memory, whichever is less.
// 512 MiB keeps every column of a million-point model batch (forty of
// 8 MB) for the next call.
std::size_t idle_cap() noexcept {
  static const std::size_t cap = [] {
    if (const char* s = std::getenv("TESSARIN_BUFFER_CACHE_MB"); s && *s && *s != '-') {
      errno = 0;
      char* end = nullptr;
      const unsigned long long mb = std::strtoull(s, &end, 10);
      while (end && (*end == ' ' || *end == '\t' || *end == '\n')) ++end;
      if (!errno && end != s && end && !*end)
        return static_cast<std::size_t>(std::min<unsigned long long>(mb, SIZE_MAX / MIB)) * MIB;
    }
    std::size_t cap = 512 * MIB;
    const long pages = sysconf(_SC_PHYS_PAGES);
    if (pages > 0) cap = std::min(cap, static_cast<std::size_t>(pages) / 4 * page_size());
    return cap;
  }();
  return cap;
}

struct Entry {
  Block block;
  Clock::time_point since;
};

// Idle blocks, oldest first, and their total size; guarded by `mutex`.
struct IdleList {
  std::mutex mutex;
  Entry entries[IDLE_SLOTS];
  std::size_t count = 0;
  std::size_t bytes = 0;

  // Moves the first n entries to out (returned to the system once the lock
  // is released).
  void take_front(std::size_t n, Block* out, std::size_t& taken) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
      out[taken++] = entries[i].block;
      bytes -= entries[i].block.bytes;
    }
    std::move(entries + n, entries + count, entries);
    count -= n;
  }

  // Moves the blocks idle for longer than IDLE_SECONDS to out.
  void expire(Clock::time_point now, Block* out, std::size_t& taken) noexcept {
    const auto limit = std::chrono::duration<double>(IDLE_SECONDS);
    std::size_t n = 0;
    while (n < count && now - entries[n].since > limit) ++n;
    take_front(n, out, taken);
  }
};

IdleList g_idle;

void unmap(const Block& b) noexcept {
  // The sanitizer's shadow of the range must be clear before the range can
  // be mapped again by anyone.
  ASAN_UNPOISON_MEMORY_REGION(b.data, b.bytes);
  munmap(b.data, b.bytes);
}

void unmap_all(const Block* blocks, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) unmap(blocks[i]);
}

void* map(std::size_t bytes) noexcept {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void before_fork() { g_idle.mutex.lock(); }
void after_fork_parent() { g_idle.mutex.unlock(); }
// Only the forking thread exists in the child, and it holds the lock. The
// inherited idle blocks share their pages with the parent until written,
// so reusing them would copy every page: the child returns them instead.
void after_fork_child() {
  for (std::size_t i = 0; i < g_idle.count; ++i) unmap(g_idle.entries[i].block);
  g_idle.count = 0;
  g_idle.bytes = 0;
  g_idle.mutex.unlock();
}

struct ForkHandlers {
  ForkHandlers() { pthread_atfork(before_fork, after_fork_parent, after_fork_child); }
};
ForkHandlers g_fork_handlers;

}  // namespace

Block acquire(std::size_t bytes) noexcept {
  const std::size_t page = page_size();
  if (bytes > SIZE_MAX - page) return {};
  const std::size_t need = std::max<std::size_t>((bytes + page - 1) / page * page, page);
  // A recycled block may be up to an eighth larger than asked for (its pages
  // past the array's end are simply not written), so that sizes that vary a
  // little from call to call still find their block.
  const std::size_t most = need + std::min(need / 8, SIZE_MAX - need);
  Block dropped[IDLE_SLOTS];
  std::size_t n_dropped = 0;
  Block found;
  {
    std::lock_guard<std::mutex> lock(g_idle.mutex);
    g_idle.expire(Clock::now(), dropped, n_dropped);
    std::size_t best = g_idle.count;
    for (std::size_t i = 0; i < g_idle.count; ++i) {
      const std::size_t size = g_idle.entries[i].block.bytes;
      if (size >= need && size <= most &&
          (best == g_idle.count || size < g_idle.entries[best].block.bytes))
        best = i;
    }
    if (best != g_idle.count) {
      found = g_idle.entries[best].block;
      g_idle.bytes -= found.bytes;
      std::move(g_idle.entries + best + 1, g_idle.entries + g_idle.count, g_idle.entries + best);
      --g_idle.count;
    }
  }
  unmap_all(dropped, n_dropped);
  if (found.data) {
    ASAN_UNPOISON_MEMORY_REGION(found.data, found.bytes);
    return found;
  }
  void* data = map(need);
  if (!data) {
    // Address space or memory is short: give up every idle block and try
    // once more.
    n_dropped = 0;
    {
      std::lock_guard<std::mutex> lock(g_idle.mutex);
      g_idle.take_front(g_idle.count, dropped, n_dropped);
    }
    unmap_all(dropped, n_dropped);
    data = map(need);
    if (!data) return {};
  }
  return {data, need};
}

void release(Block block) noexcept {
  if (!block.data) return;
  const std::size_t cap = idle_cap();
  Block dropped[IDLE_SLOTS + 1];
  std::size_t n_dropped = 0;
  if (block.bytes > cap) {
    dropped[n_dropped++] = block;
  } else {
    ASAN_POISON_MEMORY_REGION(block.data, block.bytes);
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(g_idle.mutex);
    g_idle.expire(now, dropped, n_dropped);
    // The oldest make room, in slots and in bytes.
    std::size_t n = 0, kept = g_idle.bytes;
    while (n < g_idle.count && (g_idle.count - n == IDLE_SLOTS || kept + block.bytes > cap))
      kept -= g_idle.entries[n++].block.bytes;
    g_idle.take_front(n, dropped, n_dropped);
    g_idle.entries[g_idle.count++] = {block, now};
    g_idle.bytes += block.bytes;
  }
  unmap_all(dropped, n_dropped);
}

}  // namespace tessarin::buffers
