#include "platform/icon.h"

#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include <cerrno>
#include <cstring>

#include "platform/win32/win_error.h"

// Icons are the shell's HICONs and item lists its ITEMIDLISTs, behind the opaque types.

namespace {

HICON as_icon(const PlatIcon* icon) {
  return reinterpret_cast<HICON>(const_cast<PlatIcon*>(icon));
}

UINT shell_flags(uint32_t flags) {
  UINT f = SHGFI_ICON;
  f |= (flags & PLAT_ICON_SMALL) ? SHGFI_SMALLICON : SHGFI_LARGEICON;
  if (flags & PLAT_ICON_OPEN) f |= SHGFI_OPENICON;
  return f;
}

PlatIcon* icon_or_fail(DWORD_PTR result, HICON icon) {
  if (result == 0 || icon == nullptr) {
    fail_errno(ENOENT, ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<PlatIcon*>(icon);
}

}  // namespace

PlatIcon* plat_icon_from_path(std::string_view path, uint32_t flags) {
  char p[MAX_PATH * 4];
  if (path.empty()) {
    fail_errno(ENOENT, ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  if (!win32_path(path.data(), path.size(), p, sizeof p)) return nullptr;
  SHFILEINFOA info{};
  DWORD_PTR r = SHGetFileInfoA(p, 0, &info, sizeof info, shell_flags(flags));
  return icon_or_fail(r, info.hIcon);
}

PlatIcon* plat_icon_from_item_list(const PlatItemList* list, uint32_t flags) {
  if (list == nullptr) {
    fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  SHFILEINFOA info{};
  DWORD_PTR r = SHGetFileInfoA(reinterpret_cast<LPCSTR>(list), 0, &info, sizeof info,
                               shell_flags(flags) | SHGFI_PIDL);
  return icon_or_fail(r, info.hIcon);
}

void plat_icon_destroy(PlatIcon* icon) {
  if (icon != nullptr) DestroyIcon(as_icon(icon));
}

int plat_icon_bitmaps(const PlatIcon* icon, int size, uint32_t* colour, uint32_t* mask) {
  if (icon == nullptr || size < 1 || size > 64 || colour == nullptr || mask == nullptr) {
    return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  }
  ICONINFO info{};
  if (!GetIconInfo(as_icon(icon), &info)) return fail_win32();
  HDC screen = GetDC(nullptr);
  int result = 0;
  if (screen == nullptr || info.hbmColor == nullptr || info.hbmMask == nullptr) {
    result = fail_win32(ERROR_INVALID_HANDLE);
  } else {
    // Top-down 32-bit pixels, size x size.
    BITMAPINFO bits{};
    bits.bmiHeader.biSize = sizeof bits.bmiHeader;
    bits.bmiHeader.biWidth = size;
    bits.bmiHeader.biHeight = -size;
    bits.bmiHeader.biPlanes = 1;
    bits.bmiHeader.biBitCount = 32;
    bits.bmiHeader.biCompression = BI_RGB;
    UINT lines = static_cast<UINT>(size);
    if (GetDIBits(screen, info.hbmColor, 0, lines, colour, &bits, DIB_RGB_COLORS) == 0 ||
        GetDIBits(screen, info.hbmMask, 0, lines, mask, &bits, DIB_RGB_COLORS) == 0) {
      result = fail_win32(ERROR_INVALID_HANDLE);
    }
  }
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
  if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
  return result;
}

PlatItemList* plat_item_list_from_path(std::string_view path) {
  char p[MAX_PATH * 4];
  if (path.empty() || !win32_path(path.data(), path.size(), p, sizeof p)) return nullptr;
  return reinterpret_cast<PlatItemList*>(ILCreateFromPathA(p));
}

void plat_item_list_free(PlatItemList* list) {
  if (list != nullptr) ILFree(reinterpret_cast<LPITEMIDLIST>(list));
}
