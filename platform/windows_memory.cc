// Large blocks on Windows: committed pages straight from the system. Large
// pages there need a privilege that a console program does not have.
#include "platform/platform.h"

void* platform_allocate_large(std::size_t size) {
  if (size == 0) return nullptr;
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void platform_release_large(void* block, std::size_t /*size*/) {
  if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
}

// Pages of a committed block come as they are touched.
void platform_prefault_large(void* /*block*/, std::size_t /*size*/) {}
