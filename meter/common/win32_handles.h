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

// The closing rule of a handle type whose "none" is null.
template <typename T, auto CloseFunction>
struct NullIsNone {
    using Type = T;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type handle) noexcept { CloseFunction(handle); }
};

// The closing rule of a handle whose "none" is INVALID_HANDLE_VALUE.
template <auto CloseFunction>
struct InvalidValueIsNone {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type handle) noexcept { CloseFunction(handle); }
};

template <typename Interface>
void ReleaseCom(Interface* object) noexcept {
    object->Release();
}

inline void ReleaseScreenDc(HDC dc) noexcept {
    ReleaseDC(nullptr, dc);
}

// CreateFileW's handles.
using UniqueFile = UniqueHandle<InvalidValueIsNone<CloseHandle>>;
// Tokens, processes, threads, events.
using UniqueKernelHandle = UniqueHandle<NullIsNone<HANDLE, CloseHandle>>;
// What the system allocated for the caller with LocalAlloc (security descriptors, messages).
using UniqueLocal = UniqueHandle<NullIsNone<HLOCAL, LocalFree>>;
using UniqueFind = UniqueHandle<InvalidValueIsNone<FindClose>>;
using UniqueRegKey = UniqueHandle<NullIsNone<HKEY, RegCloseKey>>;
// GetDC(nullptr): the whole screen's DC, given back rather than deleted.
using ScreenDc = UniqueHandle<NullIsNone<HDC, ReleaseScreenDc>>;
// Pens, brushes, fonts, bitmaps, regions that nobody else owns.
using GdiObject = UniqueHandle<NullIsNone<HGDIOBJ, DeleteObject>>;
template <typename Interface>
using ComPtr = UniqueHandle<NullIsNone<Interface*, ReleaseCom<Interface>>>;

namespace gdip {
namespace flat = Gdiplus::DllExports;
template <typename Object, auto Delete>
using Owner = UniqueHandle<NullIsNone<Object*, Delete>>;
using Graphics = Owner<Gdiplus::GpGraphics, flat::GdipDeleteGraphics>;
using Pen = Owner<Gdiplus::GpPen, flat::GdipDeletePen>;
using Brush = Owner<Gdiplus::GpBrush, flat::GdipDeleteBrush>;
using Path = Owner<Gdiplus::GpPath, flat::GdipDeletePath>;
using Font = Owner<Gdiplus::GpFont, flat::GdipDeleteFont>;
using FontFamily = Owner<Gdiplus::GpFontFamily, flat::GdipDeleteFontFamily>;
using StringFormat = Owner<Gdiplus::GpStringFormat, flat::GdipDeleteStringFormat>;
}  // namespace gdip

// COM on this thread for one scope, in a single-threaded apartment; ended only if it was begun
// here (a thread that already had COM keeps it).
class ComScope {
  public:
    ComScope() noexcept : begun_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ComScope() {
        if (begun_) {
            CoUninitialize();
        }
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

  private:
    bool begun_;
};

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

    ScreenDc screen_;
    UniqueHandle<NullIsNone<HDC, DeleteDC>> dc_;
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
