// Icons from the module's own resources, for a window's title bar.
#pragma once

#include "framework/types.h"

namespace fw {

struct IconOpaque;
using HICON = IconOpaque*;

// LoadImageA(module, id, IMAGE_ICON, width, height, LR_DEFAULTCOLOR): the icon of that size,
// or null. Elsewhere there are no icons: always null.
HICON LoadIconImage(UINT id, int width, int height);
// DestroyIcon; a null icon is ignored.
void DestroyIcon(HICON icon);

}  // namespace fw
