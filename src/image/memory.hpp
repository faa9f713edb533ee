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

// Names the size of the image a kernel call works on.  Kept blocks serve a
// run of calls on images of one size; the first call on another size gives
// them all back to the system.
void begin_call(std::size_t pixels);

// The most the kept blocks may hold together, in bytes: an eighth of the
// physical memory, unless set otherwise (setting it gives them all back).
std::size_t kept_limit();
void set_kept_limit(std::size_t bytes);

}  // namespace velkor::memory
