// Icons in the posix backend: a terminal shows none.
#include "framework/icon.h"

namespace fw {

HICON LoadIconImage(UINT /*id*/, int /*width*/, int /*height*/) {
  return nullptr;
}

void DestroyIcon(HICON /*icon*/) {}

}  // namespace fw
