#pragma once

// Building a FlatBuffers message straight into an NNG message, so that the
// finished message goes to nng_sendmsg as it is: at 10 MB, copying a finished
// buffer into a message costs about as much as building it.

#include <flatbuffers/flatbuffers.h>
#include <nng/nng.h>

#include <cstddef>
#include <functional>

namespace KXFakeShm {

// Runs `build` (which finishes the builder) on a builder whose storage is an NNG
// message of at least `capacity` bytes, growing it if `build` needs more. Returns
// the message cut to exactly the finished buffer, owned by the caller, or nullptr
// when NNG cannot allocate. Other exceptions of `build` pass through.
nng_msg* BuildNngMessage(size_t capacity,
                         const std::function<void(flatbuffers::FlatBufferBuilder&)>& build);

}  // namespace KXFakeShm
