// Objects that live as long as the module itself: made on first use and freed only after the
// module's last static destructor has run, so that any static destructor may still use them.
// On ELF platforms that is when the module is unloaded (dlclose) or the process ends; on
// Windows they are kept until the process ends.
#pragma once

namespace fw {
namespace detail {
void KeepUntilModuleEnd(void* object, void (*destroy)(void*));
}  // namespace detail

// Takes `object` (made with new) and returns it.
template <typename T>
T* KeepUntilModuleEnd(T* object) {
  detail::KeepUntilModuleEnd(object, [](void* kept) { delete static_cast<T*>(kept); });
  return object;
}

}  // namespace fw
