#pragma once
// Where buffers get their memory: 64-byte aligned blocks from malloc, with
// two policies for large ones (see memory.cpp).
#include <cstddef>

namespace velkor::memory {

// `bytes` (at least 1) of uninitialised memory aligned to 64 bytes, or
// nullptr when none is left.
void* allocate(std::size_t bytes);

// Gives back a block from allocate.  Any thread may call it, and it has
// free's signature, so a block can be handed to an owner that frees it
// through a plain function pointer.
void release(void* block);

}  // namespace velkor::memory
