// The framework's threading rule: a socket, a window and a timer belong to the thread that
// created them, and only that thread uses, closes or destroys them; posting a message to a
// window or a thread is the one thing any thread may do. Debug builds assert the rule where a
// backend can tell the caller's thread from the owner's; release builds check nothing.
#pragma once

#include <cassert>

#include "framework/types.h"

// Fails an assertion in debug builds when `isOwner` is false.
#define FW_ASSERT_OWNER_THREAD(isOwner) assert((isOwner) && "used on a thread other than the one that created it")

namespace fw::debug {

// What the framework names by a number that is unique in the process while the thing lives.
enum class Owned { kTimer, kLookup };

// The thread that made each live timer and host lookup, so that a use from another thread is
// caught. No-ops in release builds.
void Claim(Owned kind, UINT_PTR id);
void Forget(Owned kind, UINT_PTR id);
// True on the thread that claimed `id`, and when no live one of that kind has that id.
bool MayUse(Owned kind, UINT_PTR id);

}  // namespace fw::debug
