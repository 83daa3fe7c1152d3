// A connection to the X display named by DISPLAY, and ownership of the replies xcb hands out.
// Each use opens its own connection, so callers on any thread never share one.
#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace zyn::desktop {

struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
// A reply or error xcb allocated with malloc.
template <class T>
using XReply = std::unique_ptr<T, FreeDeleter>;

class XConnection {
 public:
  XConnection() {
    int screenNumber = 0;
    connection_ = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection_)) return;
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    for (int i = 0; it.rem > 0; ++i, xcb_screen_next(&it)) {
      if (i == screenNumber) {
        screen_ = it.data;
        break;
      }
    }
  }
  ~XConnection() {
    // xcb_connect returns an object to free even when it failed.
    if (connection_) xcb_disconnect(connection_);
  }
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  // Connected and the display has the screen it named.
  bool ok() const { return connection_ && !xcb_connection_has_error(connection_) && screen_; }
  xcb_connection_t* get() const { return connection_; }
  const xcb_setup_t* setup() const { return xcb_get_setup(connection_); }
  const xcb_screen_t* screen() const { return screen_; }

 private:
  xcb_connection_t* connection_ = nullptr;
  const xcb_screen_t* screen_ = nullptr;
};

}  // namespace zyn::desktop
