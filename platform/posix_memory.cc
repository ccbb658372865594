// Large blocks on POSIX: anonymous mappings aligned to 2 MiB and, where the
// system has transparent huge pages, advised to use them, so that filling a
// block of many megabytes costs a few page faults instead of one per 4 KiB.
#include <sys/mman.h>

#include <cstdint>
#include <system_error>
#include <thread>

#include "platform/platform.h"

namespace {

constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

std::size_t rounded_size(std::size_t size) {
  return (size + kHugePageSize - 1) / kHugePageSize * kHugePageSize;
}

}  // namespace

void* platform_allocate_large(std::size_t size) {
  if (size == 0 || size > SIZE_MAX - 2 * kHugePageSize) return nullptr;
  const std::size_t length = rounded_size(size);
  // Map one huge page more and cut the mapping down to an aligned block.
  const std::size_t mapped = length + kHugePageSize;
  void* mapping = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(mapping);
  const std::uintptr_t aligned = (start + kHugePageSize - 1) / kHugePageSize * kHugePageSize;
  if (aligned > start) munmap(mapping, aligned - start);
  const std::uintptr_t end = start + mapped;
  if (end > aligned + length)
    munmap(reinterpret_cast<void*>(aligned + length), end - aligned - length);
  void* block = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
  madvise(block, length, MADV_HUGEPAGE);
#endif
  return block;
}

void platform_prefault_large(void* block, std::size_t size) {
#if defined(MADV_POPULATE_WRITE)
  // Kernels before 5.14 refuse the advice. A block released meanwhile makes it
  // fail, and one mapped in its place only has its pages faulted in early.
  try {
    std::thread([block, length = rounded_size(size)] {
      madvise(block, length, MADV_POPULATE_WRITE);
    }).detach();
  } catch (const std::system_error&) {
    // Without a thread the pages come as they are touched.
  }
#else
  (void)block;
  (void)size;
#endif
}

void platform_release_large(void* block, std::size_t size) {
  if (block != nullptr) munmap(block, rounded_size(size));
}
