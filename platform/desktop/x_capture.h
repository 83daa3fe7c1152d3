// Screen capture and display facts over X (xcb), for the system desktop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/desktop/desktop.h"

namespace zyn::desktop {

// The largest bitmap a capture produces; a bigger requested size is refused rather than
// allocated, since the size comes from a remote client.
inline constexpr std::uint64_t kMaxCaptureBytes = std::uint64_t{256} << 20;

// Whether the display in DISPLAY accepts a connection.
bool XDisplayAnswers();

// "vendor release" of the display in DISPLAY; empty without one.
std::string XServerDescription();

// The whole screen, or the active window with its frame (the top-level window of the window
// the window manager names in _NET_ACTIVE_WINDOW; the whole screen when none is named), clipped
// to the screen and stretched to width x height where given.
bool CaptureX(CaptureTarget target, std::optional<std::uint32_t> width,
              std::optional<std::uint32_t> height, DibImage* out, std::string* error);

}  // namespace zyn::desktop
