#include "platform/icon.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/env.h"
#include "platform/posix/native_error.h"

namespace {

enum class IconKind { kFile, kFolder, kDrive };

constexpr size_t kItemListRoom = 4096;
constexpr uint32_t kTransparentMask = 0x00FFFFFF;

bool is_drive_root(std::string_view path) {
  if ((path.size() == 2 || (path.size() == 3 && path[2] == '\\')) && path[1] == ':' &&
      isalpha(static_cast<unsigned char>(path[0])) != 0) {
    return true;
  }
  // "\\server\share" or "\\server\share\"
  if (path.size() > 2 && path.substr(0, 2) == "\\\\") {
    std::string_view rest = path.substr(2);
    if (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
    size_t sep = rest.find('\\');
    return sep != std::string_view::npos && sep > 0 && sep + 1 < rest.size() &&
           rest.find('\\', sep + 1) == std::string_view::npos;
  }
  return false;
}

// Paints rectangles given as fractions of the icon's side, covering the pixels whose
// centres fall inside; everything painted is opaque.
class Canvas {
 public:
  Canvas(int size, uint32_t* colour, uint32_t* mask) : size_(size), colour_(colour), mask_(mask) {
    for (int i = 0; i < size * size; ++i) {
      colour_[i] = 0;
      mask_[i] = kTransparentMask;
    }
  }

  // A filled rectangle with a one-pixel border of `edge`.
  void box(double x0, double y0, double x1, double y1, uint32_t edge, uint32_t fill) {
    int px0 = to_pixel(x0), py0 = to_pixel(y0), px1 = to_pixel(x1), py1 = to_pixel(y1);
    paint(px0, py0, px1, py1, edge);
    paint(px0 + 1, py0 + 1, px1 - 1, py1 - 1, fill);
  }

  void solid(double x0, double y0, double x1, double y1, uint32_t fill) {
    paint(to_pixel(x0), to_pixel(y0), to_pixel(x1), to_pixel(y1), fill);
  }

 private:
  int to_pixel(double f) const { return static_cast<int>(f * size_ + 0.5); }

  // Pixels [x0, x1) x [y0, y1), clipped.
  void paint(int x0, int y0, int x1, int y1, uint32_t rgb) {
    if (x0 < 0) x0 = 0;
    if (y0 < 0) y0 = 0;
    if (x1 > size_) x1 = size_;
    if (y1 > size_) y1 = size_;
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) {
        colour_[y * size_ + x] = rgb & 0x00FFFFFF;
        mask_[y * size_ + x] = 0;
      }
    }
  }

  int size_;
  uint32_t* colour_;
  uint32_t* mask_;
};

}  // namespace

struct PlatIcon {
  IconKind kind;
  bool open;
};

struct PlatItemList {
  char path[kItemListRoom];
};

PlatIcon* plat_icon_from_path(std::string_view path, uint32_t flags) {
  if (path.empty()) {
    fail_with(EINVAL);
    return nullptr;
  }
  // As the shell, only for what exists.
  PlatFileStatus status{};
  if (plat_env()->file_status(path, &status) != 0) return nullptr;
  IconKind kind = IconKind::kFile;
  if (is_drive_root(path)) {
    kind = IconKind::kDrive;
  } else if (status.is_directory) {
    kind = IconKind::kFolder;
  }
  auto* icon = new (std::nothrow) PlatIcon{kind, (flags & PLAT_ICON_OPEN) != 0};
  if (icon == nullptr) fail_with(ENOMEM);
  return icon;
}

PlatIcon* plat_icon_from_item_list(const PlatItemList* list, uint32_t flags) {
  if (list == nullptr) {
    fail_with(EINVAL);
    return nullptr;
  }
  return plat_icon_from_path(std::string_view(list->path, strnlen(list->path, kItemListRoom)),
                             flags);
}

void plat_icon_destroy(PlatIcon* icon) {
  delete icon;
}

int plat_icon_bitmaps(const PlatIcon* icon, int size, uint32_t* colour, uint32_t* mask) {
  if (icon == nullptr || colour == nullptr || mask == nullptr || size < 1 || size > 64) {
    return fail_with(EINVAL);
  }
  Canvas canvas(size, colour, mask);
  switch (icon->kind) {
    case IconKind::kFile:
      canvas.box(0.19, 0.06, 0.81, 0.94, 0x606060, 0xFFFFFF);
      for (double y = 0.30; y < 0.80; y += 0.14) canvas.solid(0.30, y, 0.70, y + 0.05, 0xA0A0A0);
      break;
    case IconKind::kFolder:
      canvas.box(0.06, 0.16, 0.44, 0.32, 0xA07810, 0xD8A830);
      canvas.box(0.06, 0.26, 0.94, 0.84, 0xA07810, 0xF0C040);
      if (icon->open) canvas.box(0.16, 0.44, 1.00, 0.84, 0xA07810, 0xFFE080);
      break;
    case IconKind::kDrive:
      canvas.box(0.06, 0.38, 0.94, 0.76, 0x404040, 0xB8B8B8);
      canvas.solid(0.72, 0.52, 0.84, 0.62, 0x20C020);
      break;
  }
  return 0;
}

PlatItemList* plat_item_list_from_path(std::string_view path) {
  if (path.empty() || path.size() >= kItemListRoom) {
    fail_with(EINVAL);
    return nullptr;
  }
  auto* list = new (std::nothrow) PlatItemList{};
  if (list == nullptr) {
    fail_with(ENOMEM);
    return nullptr;
  }
  memcpy(list->path, path.data(), path.size());
  return list;
}

void plat_item_list_free(PlatItemList* list) {
  delete list;
}
