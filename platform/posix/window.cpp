#include "platform/window.h"

#include <dlfcn.h>
#include <xcb/xcb.h>
#include <xcb/xproto.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// Windows by title over X11, through libxcb loaded at run time: the library never needs X
// to load, and without DISPLAY or libxcb no window is ever found. Each call opens its own
// connection, so nothing is shared with the host's toolkit (errors come back as replies;
// no process-wide Xlib error handler is touched). Window state changes are requests to
// the window manager (ICCCM and EWMH messages to the root window).

namespace {

// The entry points, looked up once; the library stays loaded for the process.
struct Xcb {
  bool loaded = false;
  decltype(&xcb_connect) connect;
  decltype(&xcb_disconnect) disconnect;
  decltype(&xcb_connection_has_error) has_error;
  decltype(&xcb_get_setup) get_setup;
  decltype(&xcb_setup_roots_iterator) roots_iterator;
  decltype(&xcb_screen_next) screen_next;
  decltype(&xcb_intern_atom) intern_atom;
  decltype(&xcb_intern_atom_reply) intern_atom_reply;
  decltype(&xcb_get_property) get_property;
  decltype(&xcb_get_property_reply) get_property_reply;
  decltype(&xcb_get_property_value) get_property_value;
  decltype(&xcb_get_property_value_length) get_property_value_length;
  decltype(&xcb_query_tree) query_tree;
  decltype(&xcb_query_tree_reply) query_tree_reply;
  decltype(&xcb_query_tree_children) query_tree_children;
  decltype(&xcb_query_tree_children_length) query_tree_children_length;
  decltype(&xcb_get_window_attributes) get_window_attributes;
  decltype(&xcb_get_window_attributes_reply) get_window_attributes_reply;
  decltype(&xcb_send_event) send_event;
  decltype(&xcb_map_window) map_window;
  decltype(&xcb_configure_window) configure_window;
  decltype(&xcb_flush) flush;
  decltype(&xcb_get_input_focus) get_input_focus;
  decltype(&xcb_get_input_focus_reply) get_input_focus_reply;
};

template <typename F>
bool bind(void* library, const char* name, F* slot) {
  *slot = reinterpret_cast<F>(dlsym(library, name));
  return *slot != nullptr;
}

Xcb load_xcb() {
  Xcb x{};
  void* library = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return x;
  x.loaded = bind(library, "xcb_connect", &x.connect) &&
             bind(library, "xcb_disconnect", &x.disconnect) &&
             bind(library, "xcb_connection_has_error", &x.has_error) &&
             bind(library, "xcb_get_setup", &x.get_setup) &&
             bind(library, "xcb_setup_roots_iterator", &x.roots_iterator) &&
             bind(library, "xcb_screen_next", &x.screen_next) &&
             bind(library, "xcb_intern_atom", &x.intern_atom) &&
             bind(library, "xcb_intern_atom_reply", &x.intern_atom_reply) &&
             bind(library, "xcb_get_property", &x.get_property) &&
             bind(library, "xcb_get_property_reply", &x.get_property_reply) &&
             bind(library, "xcb_get_property_value", &x.get_property_value) &&
             bind(library, "xcb_get_property_value_length", &x.get_property_value_length) &&
             bind(library, "xcb_query_tree", &x.query_tree) &&
             bind(library, "xcb_query_tree_reply", &x.query_tree_reply) &&
             bind(library, "xcb_query_tree_children", &x.query_tree_children) &&
             bind(library, "xcb_query_tree_children_length", &x.query_tree_children_length) &&
             bind(library, "xcb_get_window_attributes", &x.get_window_attributes) &&
             bind(library, "xcb_get_window_attributes_reply", &x.get_window_attributes_reply) &&
             bind(library, "xcb_send_event", &x.send_event) &&
             bind(library, "xcb_map_window", &x.map_window) &&
             bind(library, "xcb_configure_window", &x.configure_window) &&
             bind(library, "xcb_flush", &x.flush) &&
             bind(library, "xcb_get_input_focus", &x.get_input_focus) &&
             bind(library, "xcb_get_input_focus_reply", &x.get_input_focus_reply);
  return x;
}

const Xcb& xcb() {
  static const Xcb x = load_xcb();
  return x;
}

struct FreeReply {
  void operator()(void* reply) const { free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

constexpr uint32_t kIconicState = 3;
constexpr uint32_t kNetWmStateRemove = 0;
constexpr uint32_t kNetWmStateAdd = 1;
constexpr uint32_t kSourceApplication = 1;
constexpr int kTreeDepth = 3;  // root's children, and two levels of window-manager frames

// One connection to the display named by DISPLAY, for one call.
class Display {
 public:
  Display() {
    if (getenv("DISPLAY") == nullptr || !xcb().loaded) return;
    int screen_number = 0;
    conn_ = xcb().connect(nullptr, &screen_number);
    if (conn_ == nullptr) return;
    if (xcb().has_error(conn_) != 0) {
      xcb().disconnect(conn_);
      conn_ = nullptr;
      return;
    }
    xcb_screen_iterator_t it = xcb().roots_iterator(xcb().get_setup(conn_));
    for (int i = 0; i < screen_number && it.rem > 0; ++i) xcb().screen_next(&it);
    if (it.rem > 0) root_ = it.data->root;
  }
  // A round trip before closing: the server has then carried out every request, so
  // nothing sent is lost with the connection.
  ~Display() {
    if (conn_ == nullptr) return;
    free(xcb().get_input_focus_reply(conn_, xcb().get_input_focus(conn_), nullptr));
    xcb().disconnect(conn_);
  }
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;

  bool ok() const { return conn_ != nullptr && root_ != 0; }

  xcb_atom_t atom(const char* name, bool only_if_exists = true) {
    Reply<xcb_intern_atom_reply_t> reply(xcb().intern_atom_reply(
        conn_,
        xcb().intern_atom(conn_, only_if_exists ? 1 : 0, static_cast<uint16_t>(strlen(name)), name),
        nullptr));
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
  }

  // The bytes of a property of any type; false when the window or property is missing.
  bool property(xcb_window_t window, xcb_atom_t name, uint32_t max_words, std::string* value,
                uint8_t* format = nullptr) {
    if (name == XCB_ATOM_NONE) return false;
    Reply<xcb_get_property_reply_t> reply(xcb().get_property_reply(
        conn_, xcb().get_property(conn_, 0, window, name, XCB_GET_PROPERTY_TYPE_ANY, 0, max_words),
        nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE) return false;
    int length = xcb().get_property_value_length(reply.get());
    const auto* bytes = static_cast<const char*>(xcb().get_property_value(reply.get()));
    value->assign(bytes, static_cast<size_t>(length < 0 ? 0 : length));
    if (format != nullptr) *format = reply->format;
    return true;
  }

  std::vector<xcb_window_t> children(xcb_window_t window) {
    std::vector<xcb_window_t> out;
    Reply<xcb_query_tree_reply_t> reply(
        xcb().query_tree_reply(conn_, xcb().query_tree(conn_, window), nullptr));
    if (!reply) return out;
    const xcb_window_t* list = xcb().query_tree_children(reply.get());
    out.assign(list, list + xcb().query_tree_children_length(reply.get()));
    return out;
  }

  // The title as the window manager shows it: _NET_WM_NAME (UTF-8), else WM_NAME.
  bool title(xcb_window_t window, std::string* text) {
    return property(window, atom("_NET_WM_NAME"), 1024, text) ||
           property(window, XCB_ATOM_WM_NAME, 1024, text);
  }

  // The window manager's list of client windows, topmost first; empty without one.
  std::vector<xcb_window_t> client_list() {
    std::vector<xcb_window_t> list;
    std::string value;
    uint8_t format = 0;
    bool stacking = property(root_, atom("_NET_CLIENT_LIST_STACKING"), 65536, &value, &format);
    if (!stacking && !property(root_, atom("_NET_CLIENT_LIST"), 65536, &value, &format)) {
      return list;
    }
    if (format != 32) return list;
    list.resize(value.size() / sizeof(xcb_window_t));
    memcpy(list.data(), value.data(), list.size() * sizeof(xcb_window_t));
    if (stacking) std::reverse(list.begin(), list.end());  // listed bottom to top
    return list;
  }

  // The first top-level client window titled exactly `wanted`, searched from the top of
  // the stacking order as Windows does; 0 when none. Without a window manager's list, the
  // top of the window tree (frames a window manager adds included).
  xcb_window_t find(std::string_view wanted) {
    std::vector<xcb_window_t> candidates = client_list();
    if (candidates.empty()) {
      // The tree lists children bottom to top; each level is kept topmost first.
      std::vector<xcb_window_t> level = children(root_);
      std::reverse(level.begin(), level.end());
      for (int depth = 0; depth < kTreeDepth && !level.empty(); ++depth) {
        std::vector<xcb_window_t> next;
        for (xcb_window_t w : level) {
          candidates.push_back(w);
          if (depth + 1 < kTreeDepth) {
            std::vector<xcb_window_t> below = children(w);
            next.insert(next.end(), below.rbegin(), below.rend());
          }
        }
        level.swap(next);
      }
    }
    std::string name;
    for (xcb_window_t w : candidates) {
      if (title(w, &name) && name == wanted) return w;
    }
    return 0;
  }

  bool iconic(xcb_window_t window) {
    std::string state;
    xcb_atom_t wm_state = atom("WM_STATE");
    if (!property(window, wm_state, 2, &state) || state.size() < 4) return false;
    uint32_t value;
    memcpy(&value, state.data(), sizeof value);
    return value == kIconicState;
  }

  // Visible as Windows counts it: shown, or minimised.
  bool visible(xcb_window_t window) {
    Reply<xcb_get_window_attributes_reply_t> reply(xcb().get_window_attributes_reply(
        conn_, xcb().get_window_attributes(conn_, window), nullptr));
    if (!reply) return false;
    return reply->map_state == XCB_MAP_STATE_VIEWABLE || iconic(window);
  }

  // A client message to the root window, as ICCCM and EWMH ask of clients.
  void message(xcb_window_t window, const char* type, uint32_t d0, uint32_t d1 = 0, uint32_t d2 = 0,
               uint32_t d3 = 0) {
    xcb_atom_t atom_type = atom(type, false);
    if (atom_type == XCB_ATOM_NONE) return;
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom_type;
    event.data.data32[0] = d0;
    event.data.data32[1] = d1;
    event.data.data32[2] = d2;
    event.data.data32[3] = d3;
    static_assert(sizeof event == 32);
    xcb().send_event(conn_, 0, root_,
                     XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                     reinterpret_cast<const char*>(&event));
  }

  void set_maximized(xcb_window_t window, bool on) {
    message(window, "_NET_WM_STATE", on ? kNetWmStateAdd : kNetWmStateRemove,
            atom("_NET_WM_STATE_MAXIMIZED_VERT", false),
            atom("_NET_WM_STATE_MAXIMIZED_HORZ", false), kSourceApplication);
  }

  void minimize(xcb_window_t window) { message(window, "WM_CHANGE_STATE", kIconicState); }

  // Mapping an iconic window de-iconifies it (ICCCM); a maximised one is brought back.
  void restore(xcb_window_t window) {
    xcb().map_window(conn_, window);
    set_maximized(window, false);
  }

  void set_above(xcb_window_t window, bool on) {
    message(window, "_NET_WM_STATE", on ? kNetWmStateAdd : kNetWmStateRemove,
            atom("_NET_WM_STATE_ABOVE", false), 0, kSourceApplication);
  }

  void raise(xcb_window_t window) {
    message(window, "_NET_ACTIVE_WINDOW", kSourceApplication);
    const uint32_t stack_mode = XCB_STACK_MODE_ABOVE;
    xcb().configure_window(conn_, window, XCB_CONFIG_WINDOW_STACK_MODE, &stack_mode);
  }

 private:
  xcb_connection_t* conn_ = nullptr;
  xcb_window_t root_ = 0;
};

}  // namespace

bool plat_window_exists(std::string_view title) {
  Display display;
  return display.ok() && display.find(title) != 0;
}

intptr_t plat_window_command(std::string_view title, uint32_t command) {
  Display display;
  if (!display.ok()) return 0;
  xcb_window_t window = display.find(title);
  if (window == 0) return 0;
  switch (command) {
    case PLAT_SC_MINIMIZE:
      display.minimize(window);
      break;
    case PLAT_SC_MAXIMIZE:
      display.set_maximized(window, true);
      break;
    case PLAT_SC_RESTORE:
      display.restore(window);
      break;
    default:
      break;
  }
  return 0;  // what a window answers to a system command it has processed
}

int plat_window_set_topmost(std::string_view title, bool on_top) {
  Display display;
  if (!display.ok()) return 0;
  xcb_window_t window = display.find(title);
  if (window == 0) return 0;
  display.set_above(window, on_top);
  return 1;
}

void plat_window_restore_and_raise(std::string_view title) {
  Display display;
  if (!display.ok()) return;
  xcb_window_t window = display.find(title);
  if (window == 0 || !display.visible(window)) return;
  display.restore(window);
  display.raise(window);
}
