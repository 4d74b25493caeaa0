#include "platform/app_kit/screen.h"

#include "platform/app_kit/window_server.h"

namespace brellis::platform::app_kit {

std::vector<Screen> Screen::screens() {
  std::vector<Screen> screens;
  for (const Rect& frame : WindowServer::screenFrames()) screens.emplace_back(frame);
  return screens;
}

}  // namespace brellis::platform::app_kit
