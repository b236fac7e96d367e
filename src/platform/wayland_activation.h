#pragma once

namespace findlark {

// Whether the Wayland compositor the program runs on offers window activation
// (xdg-activation-v1). Without it a window cannot be brought back from minimised by a token.
bool WaylandCompositorCanActivate();

}  // namespace findlark
