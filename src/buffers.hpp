// Recycled memory for large result arrays.
//
// A call at a million points returns up to forty columns of 8 MB. Memory of
// that size comes from the system as fresh mappings and goes back to it when
// freed, so every call would fault in and zero each page again, and the
// workers filling the columns would contend in the kernel's page-fault path
// instead of computing. The blocks here are kept when their array dies and
// handed to the next call that needs a block of about that size: a repeated
// call writes over pages that are already resident.
//
// Bounds: the idle blocks of a process (of each extension module, which has
// its own copy) hold at most a byte cap, by default 512 MiB but no more than
// a quarter of physical memory, and set in MiB by the environment variable
// TESSARIN_BUFFER_CACHE_MB (0 returns every block to the system at once);
// at most IDLE_SLOTS blocks are kept; a block that waits longer than
// IDLE_SECONDS is returned to the system at the next acquire or release, and
// the oldest go first when the cap or the slots are exhausted. Blocks in use
// are not counted: they belong to live arrays.
//
// Thread-safe. After fork the child drops the idle blocks it inherited (they
// are the parent's pages, which the child would copy on first write) and
// starts with an empty list; blocks of arrays that live on in the child are
// released into the child's own list. Under AddressSanitizer an idle block is
// poisoned, so a write through a stale pointer into recycled memory is
// reported.
//
// Pure C++: no Python types.
#pragma once
#include <cstddef>

namespace tessarin::buffers {

// Results smaller than this (2048 values) are left to NumPy's own
// allocator. Already from this size on, the C library hands the memory of a
// call's columns back to the system often enough that a repeated call
// faults in most of it again (three of four pages at 2048 points, none at
// 1024), while a block here is rounded up to whole pages.
inline constexpr std::size_t MIN_BYTES = 16 * 1024;

inline constexpr std::size_t IDLE_SLOTS = 256;
inline constexpr double IDLE_SECONDS = 30.0;

struct Block {
  void* data = nullptr;
  std::size_t bytes = 0;  // the usable size, a whole number of pages
};

// A block of at least `bytes` bytes (page-aligned), recycled when an idle one
// of at most an eighth more fits, otherwise newly mapped; its contents are
// unspecified. An empty block (null data) when the system refuses memory even
// after every idle block was returned to it.
Block acquire(std::size_t bytes) noexcept;

// Hands a block from acquire back: it waits for reuse or returns to the
// system, as the bounds above decide.
void release(Block block) noexcept;

}  // namespace tessarin::buffers
