#pragma once

// Owners for every kind of Windows resource the programs hold, one closing rule each, so that
// no path out of a function (an early return, an exception) leaves one behind.

#include <windows.h>
// After windows.h: WIN32_LEAN_AND_MEAN leaves objidl.h out,
#include <objidl.h>
// and GDI+ needs it first.
#include <gdiplus.h>

#include "common/unique_handle.h"

namespace velmora::win32 {

struct FileTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type handle) noexcept { CloseHandle(handle); }
};
// CreateFileW's handles; INVALID_HANDLE_VALUE is "none".
using UniqueFile = UniqueHandle<FileTraits>;

// Handles whose "none" is null: tokens, processes, threads, events.
struct KernelTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type handle) noexcept { CloseHandle(handle); }
};
using UniqueKernelHandle = UniqueHandle<KernelTraits>;

struct LocalTraits {
    using Type = HLOCAL;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type memory) noexcept { LocalFree(memory); }
};
// What the system allocated for the caller with LocalAlloc (security descriptors, messages).
using UniqueLocal = UniqueHandle<LocalTraits>;

struct FindTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type handle) noexcept { FindClose(handle); }
};
using UniqueFind = UniqueHandle<FindTraits>;

struct RegKeyTraits {
    using Type = HKEY;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type key) noexcept { RegCloseKey(key); }
};
using UniqueRegKey = UniqueHandle<RegKeyTraits>;

struct GdiObjectTraits {
    using Type = HGDIOBJ;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type object) noexcept { DeleteObject(object); }
};
// Pens, brushes, fonts, bitmaps, regions that nobody else owns.
using GdiObject = UniqueHandle<GdiObjectTraits>;

template <typename Interface>
struct ComReleaseTraits {
    using Type = Interface*;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type object) noexcept { object->Release(); }
};
template <typename Interface>
using ComPtr = UniqueHandle<ComReleaseTraits<Interface>>;

template <typename Object, Gdiplus::GpStatus(WINGDIPAPI* Delete)(Object*)>
struct GdipTraits {
    using Type = Object*;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type object) noexcept { Delete(object); }
};
namespace gdip {
namespace flat = Gdiplus::DllExports;
using Graphics = UniqueHandle<GdipTraits<Gdiplus::GpGraphics, flat::GdipDeleteGraphics>>;
using Pen = UniqueHandle<GdipTraits<Gdiplus::GpPen, flat::GdipDeletePen>>;
using Brush = UniqueHandle<GdipTraits<Gdiplus::GpBrush, flat::GdipDeleteBrush>>;
using Path = UniqueHandle<GdipTraits<Gdiplus::GpPath, flat::GdipDeletePath>>;
using Font = UniqueHandle<GdipTraits<Gdiplus::GpFont, flat::GdipDeleteFont>>;
using FontFamily = UniqueHandle<GdipTraits<Gdiplus::GpFontFamily, flat::GdipDeleteFontFamily>>;
using StringFormat =
    UniqueHandle<GdipTraits<Gdiplus::GpStringFormat, flat::GdipDeleteStringFormat>>;
}  // namespace gdip

// Selects an object into a DC for one scope and puts the old one back.
class SelectScope {
  public:
    SelectScope(HDC dc, HGDIOBJ object) noexcept : dc_(dc), old_(SelectObject(dc, object)) {}
    ~SelectScope() { SelectObject(dc_, old_); }
    SelectScope(const SelectScope&) = delete;
    SelectScope& operator=(const SelectScope&) = delete;

  private:
    HDC dc_;
    HGDIOBJ old_;
};

struct MemoryDcTraits {
    using Type = HDC;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type dc) noexcept { DeleteDC(dc); }
};

struct ScreenDcTraits {
    using Type = HDC;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type dc) noexcept { ReleaseDC(nullptr, dc); }
};

// A bitmap of width × height pixels compatible with `like` (the screen when null), selected
// into a DC of its own: where a frame is drawn before it is shown. The members go in the
// reverse of their order: the bitmap is deselected, then deleted, then its DC.
class MemoryDc {
  public:
    MemoryDc(HDC like, int width, int height) noexcept
        : screen_(like == nullptr ? GetDC(nullptr) : nullptr),
          dc_(CreateCompatibleDC(Like(like))),
          bitmap_(CreateCompatibleBitmap(Like(like), width, height)),
          select_(dc_.get(), bitmap_.get()) {}

    HDC get() const noexcept { return dc_.get(); }

  private:
    HDC Like(HDC like) const noexcept { return like != nullptr ? like : screen_.get(); }

    UniqueHandle<ScreenDcTraits> screen_;
    UniqueHandle<MemoryDcTraits> dc_;
    GdiObject bitmap_;
    SelectScope select_;
};

// BeginPaint for one WM_PAINT; EndPaint however the painting ends.
class PaintScope {
  public:
    explicit PaintScope(HWND hwnd) noexcept : hwnd_(hwnd), dc_(BeginPaint(hwnd, &ps_)) {}
    ~PaintScope() { EndPaint(hwnd_, &ps_); }
    PaintScope(const PaintScope&) = delete;
    PaintScope& operator=(const PaintScope&) = delete;

    HDC get() const noexcept { return dc_; }

  private:
    HWND hwnd_;
    PAINTSTRUCT ps_{};
    HDC dc_;
};

// GDI+ started for the life of the scope.
class GdiplusScope {
  public:
    GdiplusScope() noexcept {
        const Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token_, &input, nullptr);
    }
    ~GdiplusScope() { Gdiplus::GdiplusShutdown(token_); }
    GdiplusScope(const GdiplusScope&) = delete;
    GdiplusScope& operator=(const GdiplusScope&) = delete;

  private:
    ULONG_PTR token_ = 0;
};

}  // namespace velmora::win32
