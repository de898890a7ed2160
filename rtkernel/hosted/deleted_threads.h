// The threads the shutdown had to delete: noted as they go, said on stderr in
// one line as the process exits.
#pragma once

#include <cstdint>

#include "rtkernel/kernel.h"

namespace hosted {

// The host's id of a thread, for a handle that names no live thread.
inline constexpr std::int32_t kNoHostThread = 0;

// The service deletes threads only in its shutdown, for the worker slots still
// full once its wait for them ran out; each such deletion is noted here,
// hostThread kNoHostThread when the handle named no live thread.
void NoteDeletedThread(Handle handle, std::int32_t hostThread);

// One line on stderr naming every deletion noted, in the order they came
// (which is slot order); nothing when there was none. Called at exit.
void SayDeletedThreads();

}  // namespace hosted
