#include "platform/desktop/x_capture.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/desktop/dib.h"
#include "platform/desktop/x_connection.h"

namespace zyn::desktop {

namespace {

struct Rect {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The window _NET_ACTIVE_WINDOW on the root names; none when the property is missing or 0.
std::optional<xcb_window_t> ActiveWindow(const XConnection& x) {
  static constexpr char kName[] = "_NET_ACTIVE_WINDOW";
  XReply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
      x.get(), xcb_intern_atom(x.get(), 1, sizeof kName - 1, kName), nullptr));
  if (!atom || atom->atom == XCB_ATOM_NONE) return std::nullopt;
  XReply<xcb_get_property_reply_t> property(xcb_get_property_reply(
      x.get(), xcb_get_property(x.get(), 0, x.screen()->root, atom->atom, XCB_ATOM_WINDOW, 0, 1),
      nullptr));
  if (!property || property->format != 32 || xcb_get_property_value_length(property.get()) < 4)
    return std::nullopt;
  xcb_window_t window;
  std::memcpy(&window, xcb_get_property_value(property.get()), sizeof window);
  if (window == XCB_WINDOW_NONE) return std::nullopt;
  return window;
}

// The child of the root that contains `window`: with a reparenting window manager, the frame.
std::optional<xcb_window_t> TopLevel(const XConnection& x, xcb_window_t window) {
  const xcb_window_t root = x.screen()->root;
  // Window trees are shallow; the bound only guards against a server that answers nonsense.
  for (int depth = 0; depth < 256 && window != root; ++depth) {
    XReply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(x.get(), xcb_query_tree(x.get(), window), nullptr));
    if (!tree) return std::nullopt;  // the window is gone
    if (tree->parent == root) return window;
    if (tree->parent == XCB_WINDOW_NONE) return std::nullopt;
    window = tree->parent;
  }
  return std::nullopt;
}

// What to capture, in root coordinates, before clipping.
Rect TargetRect(const XConnection& x, CaptureTarget target) {
  const xcb_screen_t* screen = x.screen();
  const Rect whole{0, 0, screen->width_in_pixels, screen->height_in_pixels};
  if (target == CaptureTarget::kDesktop) return whole;
  // Without an active window the whole screen is what is in front.
  std::optional<xcb_window_t> active = ActiveWindow(x);
  if (!active) return whole;
  std::optional<xcb_window_t> top = TopLevel(x, *active);
  if (!top) return whole;
  XReply<xcb_get_geometry_reply_t> geometry(
      xcb_get_geometry_reply(x.get(), xcb_get_geometry(x.get(), *top), nullptr));
  if (!geometry) return whole;
  // A top-level window's position is that of its border's outer corner on the root.
  const std::uint32_t border = 2u * geometry->border_width;
  return {geometry->x, geometry->y, geometry->width + border, geometry->height + border};
}

Rect ClipToScreen(const Rect& r, const xcb_screen_t* screen) {
  const std::int64_t left = std::max<std::int64_t>(r.x, 0);
  const std::int64_t top = std::max<std::int64_t>(r.y, 0);
  const std::int64_t right =
      std::min<std::int64_t>(std::int64_t{r.x} + r.width, screen->width_in_pixels);
  const std::int64_t bottom =
      std::min<std::int64_t>(std::int64_t{r.y} + r.height, screen->height_in_pixels);
  if (right <= left || bottom <= top) return {};
  return {static_cast<std::int32_t>(left), static_cast<std::int32_t>(top),
          static_cast<std::uint32_t>(right - left), static_cast<std::uint32_t>(bottom - top)};
}

const xcb_visualtype_t* FindVisual(const xcb_screen_t* screen, xcb_visualid_t id) {
  for (xcb_depth_iterator_t d = xcb_screen_allowed_depths_iterator(screen); d.rem;
       xcb_depth_next(&d)) {
    for (xcb_visualtype_iterator_t v = xcb_depth_visuals_iterator(d.data); v.rem;
         xcb_visualtype_next(&v)) {
      if (v.data->visual_id == id) return v.data;
    }
  }
  return nullptr;
}

// The colours of every pixel value of an indexed visual, from the screen's default colormap.
bool ReadPalette(const XConnection& x, int depth, std::vector<std::uint32_t>* palette,
                 std::string* error) {
  if (depth > 8) {
    *error = "indexed colour deeper than 8 bits is not supported";
    return false;
  }
  std::vector<std::uint32_t> pixels(std::size_t{1} << depth);
  for (std::size_t i = 0; i < pixels.size(); ++i)
    pixels[i] = static_cast<std::uint32_t>(i);
  XReply<xcb_query_colors_reply_t> colors(xcb_query_colors_reply(
      x.get(),
      xcb_query_colors(x.get(), x.screen()->default_colormap,
                       static_cast<std::uint32_t>(pixels.size()), pixels.data()),
      nullptr));
  if (!colors) {
    *error = "the display's colours cannot be read";
    return false;
  }
  palette->clear();
  const xcb_rgb_t* rgb = xcb_query_colors_colors(colors.get());
  const int count = xcb_query_colors_colors_length(colors.get());
  for (int i = 0; i < count; ++i) {
    const std::uint32_t r = rgb[i].red >> 8, g = rgb[i].green >> 8, b = rgb[i].blue >> 8;
    palette->push_back(r << 16 | g << 8 | b);
  }
  return true;
}

// How the display lays out the pixels of an image of `depth` bits in `visual`.
bool ImageLayout(const XConnection& x, std::uint8_t depth, xcb_visualid_t visualId,
                 PixelLayout* layout, std::string* error) {
  const xcb_setup_t* setup = x.setup();
  bool found = false;
  for (xcb_format_iterator_t f = xcb_setup_pixmap_formats_iterator(setup); f.rem;
       xcb_format_next(&f)) {
    if (f.data->depth == depth) {
      layout->bitsPerPixel = f.data->bits_per_pixel;
      layout->scanlinePad = f.data->scanline_pad;
      found = true;
      break;
    }
  }
  if (!found) {
    *error = "the display has no pixel format for depth " + std::to_string(depth);
    return false;
  }
  layout->msbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
  const xcb_visualtype_t* visual = FindVisual(x.screen(), visualId);
  if (!visual) {
    *error = "the root window's visual is unknown";
    return false;
  }
  switch (visual->_class) {
    case XCB_VISUAL_CLASS_TRUE_COLOR:
    case XCB_VISUAL_CLASS_DIRECT_COLOR:
      layout->redMask = visual->red_mask;
      layout->greenMask = visual->green_mask;
      layout->blueMask = visual->blue_mask;
      layout->palette.clear();
      return true;
    default:
      return ReadPalette(x, depth, &layout->palette, error);
  }
}

}  // namespace

bool XDisplayAnswers() {
  return XConnection().ok();
}

std::string XServerDescription() {
  XConnection x;
  if (!x.ok()) return {};
  const xcb_setup_t* setup = x.setup();
  std::string vendor(xcb_setup_vendor(setup), xcb_setup_vendor_length(setup));
  return vendor + " " + std::to_string(setup->release_number);
}

bool CaptureX(CaptureTarget target, std::optional<std::uint32_t> width,
              std::optional<std::uint32_t> height, DibImage* out, std::string* error) {
  XConnection x;
  if (!x.ok()) {
    *error = "no X display is reachable";
    return false;
  }
  const Rect rect = ClipToScreen(TargetRect(x, target), x.screen());
  if (rect.width == 0 || rect.height == 0) {
    *error = "the window is not on the screen";
    return false;
  }
  const std::uint32_t targetWidth = width.value_or(rect.width);
  const std::uint32_t targetHeight = height.value_or(rect.height);
  PixelLayout layout;
  if (!ImageLayout(x, x.screen()->root_depth, x.screen()->root_visual, &layout, error))
    return false;
  const std::uint16_t bits = DibBitsForDisplay(layout.bitsPerPixel);
  if (targetWidth == 0 || targetHeight == 0 ||
      std::uint64_t{targetHeight} * DibRowBytes(targetWidth, bits) > kMaxCaptureBytes) {
    *error = "the requested picture size is empty or too large";
    return false;
  }

  xcb_generic_error_t* rawFailure = nullptr;
  XReply<xcb_get_image_reply_t> image(xcb_get_image_reply(
      x.get(),
      xcb_get_image(x.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, x.screen()->root,
                    static_cast<std::int16_t>(rect.x), static_cast<std::int16_t>(rect.y),
                    static_cast<std::uint16_t>(rect.width), static_cast<std::uint16_t>(rect.height),
                    ~0u),
      &rawFailure));
  XReply<xcb_generic_error_t> failure(rawFailure);
  if (!image) {
    *error = "the display refused the image (X error " +
             std::to_string(failure ? failure->error_code : 0) + ")";
    return false;
  }
  if (image->depth != x.screen()->root_depth) {
    *error = "the image has an unexpected depth";
    return false;
  }
  RgbImage pixels;
  if (!DecodePixels(xcb_get_image_data(image.get()),
                    static_cast<std::size_t>(xcb_get_image_data_length(image.get())), rect.width,
                    rect.height, layout, &pixels, error))
    return false;
  image.reset();
  return EncodeDib(Stretch(pixels, targetWidth, targetHeight), bits, out, error);
}

}  // namespace zyn::desktop
