// Shell icons and item identifier lists. Icons are our own: a generic file, folder (closed
// or open) and drive picture drawn at whatever size is asked, as a colour bitmap and an
// AND mask in the layout GetIconInfo + GetDIBits give (top-down 32-bit pixels 0x00RRGGBB;
// mask 0 where the icon is opaque, 0x00FFFFFF where it is transparent, and colour 0
// there). An item identifier list is a record holding a Windows-form path.
//
// Ownership: icons and item lists are owned by whoever asked for them and released with
// plat_icon_destroy / plat_item_list_free. Thread-safe (no shared state).
#pragma once

#include <cstdint>
#include <string_view>

struct PlatIcon;
struct PlatItemList;

// Flags of SHGetFileInfo that matter here.
enum : uint32_t {
  PLAT_ICON_SMALL = 0x1,  // SHGFI_SMALLICON: 16 pixels instead of 32
  PLAT_ICON_OPEN = 0x2,   // SHGFI_OPENICON: the open folder
};

// The icon of what `path` names: a drive root, a folder or anything else (a file). Null
// with errno when nothing exists at the path (or it cannot be translated).
[[nodiscard]] PlatIcon* plat_icon_from_path(std::string_view path, uint32_t flags);
[[nodiscard]] PlatIcon* plat_icon_from_item_list(const PlatItemList* list, uint32_t flags);
void plat_icon_destroy(PlatIcon* icon);

// The icon drawn at size x size (1 to 64) into `colour` and `mask`, each room for
// size * size pixels. 0, or -1 with errno EINVAL for a null icon or a size out of range.
[[nodiscard]] int plat_icon_bitmaps(const PlatIcon* icon, int size, uint32_t* colour,
                                    uint32_t* mask);

// An item identifier list standing for `path`; null when the path is empty or too long.
[[nodiscard]] PlatItemList* plat_item_list_from_path(std::string_view path);
void plat_item_list_free(PlatItemList* list);
