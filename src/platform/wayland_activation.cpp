#include "platform/wayland_activation.h"

#include <wayland-client.h>

#include <cstring>

namespace findlark {
namespace {

void OnGlobal(void* data, wl_registry*, uint32_t, const char* interface, uint32_t) {
  if (std::strcmp(interface, "xdg_activation_v1") == 0) *static_cast<bool*>(data) = true;
}

void OnGlobalRemove(void*, wl_registry*, uint32_t) {}

constexpr wl_registry_listener kListener = {OnGlobal, OnGlobalRemove};

}  // namespace

bool WaylandCompositorCanActivate() {
  // A connection of our own, so the toolkit's is left alone; one round trip lists the globals.
  wl_display* display = wl_display_connect(nullptr);
  if (!display) return false;
  bool found = false;
  if (wl_registry* registry = wl_display_get_registry(display)) {
    wl_registry_add_listener(registry, &kListener, &found);
    wl_display_roundtrip(display);
    wl_registry_destroy(registry);
  }
  wl_display_disconnect(display);
  return found;
}

}  // namespace findlark
