// The error box's test seam, one for both sides (not part of the platform interface).
#pragma once

namespace plat {

// Hands the box to the seam that SetErrorBoxSeam set, if any: true when it took the box, and
// the real box must not show.
bool ShowThroughErrorBoxSeam(const char* text, const char* caption);

}  // namespace plat
