// Process-wide worker pool.
//
// The pool is created by the first parallel evaluation and sized from
// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, else the CPUs available to the
// process. The calling thread takes part in the work, so a pool of N threads
// runs N - 1 background workers. Work is handed out in chunks from a shared
// counter; since every index is evaluated independently and written to its
// own slot, results do not depend on the thread count or on the split.
#pragma once
#include <cstddef>
#include <utility>

namespace tessarin {

using RangeFn = void (*)(void* ctx, std::size_t begin, std::size_t end);

namespace detail {
void parallel_for_impl(std::size_t n, std::size_t min_chunk, RangeFn fn, void* ctx);
}

// Calls body(begin, end) on disjoint ranges that together cover [0, n).
// Ranges hold at least `min_chunk` indices (except the last); a batch of at
// most `min_chunk` indices runs on the calling thread without waking the pool.
// Must be called without holding the interpreter lock when n is large, and
// body must not touch Python objects. An exception thrown by the body on any
// thread is rethrown on the calling thread after all work has stopped.
template <class Body>
void parallel_for(std::size_t n, std::size_t min_chunk, Body&& body) {
  using B = std::remove_reference_t<Body>;
  detail::parallel_for_impl(
      n, min_chunk,
      [](void* ctx, std::size_t b, std::size_t e) { (*static_cast<B*>(ctx))(b, e); },
      const_cast<void*>(static_cast<const void*>(&body)));
}

// The thread count the environment and the machine ask for: RAYON_NUM_THREADS,
// then RAYON_RS_NUM_CPUS (positive integers), else the available CPUs.
std::size_t configured_thread_count();

}  // namespace tessarin
