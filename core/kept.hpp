// What the module keeps between calls: one working buffer per thread that has
// opened an RGB PNG of several IDAT chunks or saved a PNG, at most WorkingBuffer::kKeptBytes
// each, freed with the thread. Nothing else outlives a call but what import
// made for the whole process (binding/process.hpp).
#pragma once

#include "core/layer.hpp"

#include "core/working_buffer.hpp"

namespace vextaro {

// The calling thread's kept buffer, made on its first need; none where it
// cannot be had (the open then uses memory of its own). The interpreter lock
// must be held.
KeptBuffer* this_threads_kept_buffer();

}  // namespace vextaro
