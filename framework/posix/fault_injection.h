// Fault seams of the posix backend: a test makes the next calls of one operation fail with a
// chosen Win32 or Winsock error code, so that failure paths run without a broken system.
#pragma once

namespace fw::posix::faults {

enum class Op {
  RegistryOpen,   // opening the registry database or a key
  RegistryWrite,  // creating keys, setting or deleting values and keys
  SocketCreate,
  Connect,  // connecting: refused, timed out, unreachable come through OnConnect; others fail at once
  Lookup,   // host-name resolution (asynchronous and blocking)
  Send,
  Receive,
  kCount
};

// The next `count` calls of `op` fail with `error`.
void FailNext(Op op, int error, int count = 1);
// Clears every pending fault.
void Reset();
// For the backend: the error to fail this call with, or 0 to go ahead.
int Take(Op op);

}  // namespace fw::posix::faults
