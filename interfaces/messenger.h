// IZYNMessenger: remote administration of an observed machine, offered by every server object
// next to its OPC interfaces. Through it the manager shows a message box or a tray balloon to
// the person at that machine, takes a screen shot, locks the session, starts a program and
// fetches the system-information report.
//
// The bitmap records travel between machines byte for byte, so their layout is fixed here and
// checked at compile time: little-endian, no padding, the layout of a device-independent
// bitmap's header (BITMAPINFOHEADER, RGBQUAD, BITMAPINFO with one colour entry).
#pragma once

#include <bit>
#include <cstddef>

#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/types.h"
#include "platform/com/unknown.h"
#include "platform/com/variant.h"

static_assert(std::endian::native == std::endian::little,
              "the bitmap records are little-endian in memory and on the wire");

inline constexpr IID IID_IZYNMessenger = com::Guid("C32069E8-AABB-4F6A-AEBE-52E68AE1FDAD");

// The kind of tray balloon, which picks its icon.
enum tagTipType : DWORD {
  ttStatus = 1,  // also becomes the tray tooltip
  ttWarnMessage = 2,
  ttInfoMessage = 3,
  ttErrorMessage = 4,
};

// Which window a screen shot captures.
enum tagZYNWINDOWTYPE : DWORD {
  WT_DESKTOP = 1,
  WT_FOREGROUND = 2,  // the active window, frame included
};
static_assert(sizeof(tagTipType) == 4 && sizeof(tagZYNWINDOWTYPE) == 4);

// The header of a screen shot's pixel buffer. biHeight > 0: rows run bottom-up.
struct tagZYNMBITMAPINFOHEADER {
  DWORD biSize;  // 40, the size of this record
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;  // 0: uncompressed RGB
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};
static_assert(sizeof(tagZYNMBITMAPINFOHEADER) == 40);
static_assert(offsetof(tagZYNMBITMAPINFOHEADER, biSize) == 0);
static_assert(offsetof(tagZYNMBITMAPINFOHEADER, biWidth) == 4);
static_assert(offsetof(tagZYNMBITMAPINFOHEADER, biHeight) == 8);
static_assert(offsetof(tagZYNMBITMAPINFOHEADER, biPlanes) == 12);
static_assert(offsetof(tagZYNMBITMAPINFOHEADER, biBitCount) == 14);
static_assert(offsetof(tagZYNMBITMAPINFOHEADER, biCompression) == 16);
static_assert(offsetof(tagZYNMBITMAPINFOHEADER, biSizeImage) == 20);
static_assert(offsetof(tagZYNMBITMAPINFOHEADER, biXPelsPerMeter) == 24);
static_assert(offsetof(tagZYNMBITMAPINFOHEADER, biYPelsPerMeter) == 28);
static_assert(offsetof(tagZYNMBITMAPINFOHEADER, biClrUsed) == 32);
static_assert(offsetof(tagZYNMBITMAPINFOHEADER, biClrImportant) == 36);

// One colour-table entry.
struct tagZYNMRGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
};
static_assert(sizeof(tagZYNMRGBQUAD) == 4);
static_assert(offsetof(tagZYNMRGBQUAD, rgbBlue) == 0);
static_assert(offsetof(tagZYNMRGBQUAD, rgbGreen) == 1);
static_assert(offsetof(tagZYNMRGBQUAD, rgbRed) == 2);
static_assert(offsetof(tagZYNMRGBQUAD, rgbReserved) == 3);

// The header record a screen shot hands out. It has room for one colour entry only, so a
// shot is always taken at a depth that needs no colour table (more than 8 bits per pixel).
struct tagZYNMBITMAPINFO {
  tagZYNMBITMAPINFOHEADER bmiHeader;
  tagZYNMRGBQUAD bmiColors[1];
};
static_assert(sizeof(tagZYNMBITMAPINFO) == 44);
static_assert(offsetof(tagZYNMBITMAPINFO, bmiHeader) == 0);
static_assert(offsetof(tagZYNMBITMAPINFO, bmiColors) == 40);

struct IZYNMessenger : IUnknown {
  static constexpr const IID& kIID = IID_IZYNMessenger;

  // A message box on the observed machine; it closes by itself after a while.
  virtual HRESULT ShowMessage(LPCWSTR szMessage) = 0;
  // A tray balloon of kind tt.
  virtual HRESULT ShowTipMessage(LPCWSTR szMessage, tagTipType tt) = 0;
  // A screen shot of the window wtShow names, scaled to *pdwWidth x *pdwHeight where those
  // are given (either may be null: the window's own size). *ppData (*pdwSize bytes of pixel
  // rows) and *ppbiData (one record) are two task-allocated blocks the caller frees.
  virtual HRESULT GetScreenShot(BYTE** ppData, DWORD* pdwSize, tagZYNMBITMAPINFO** ppbiData,
                                const DWORD* pdwWidth, const DWORD* pdwHeight,
                                tagZYNWINDOWTYPE wtShow) = 0;
  virtual HRESULT LockComputer() = 0;
  // Opens szName (a program, a document or an address) with szParams on the observed machine.
  virtual HRESULT Execute(LPCWSTR szName, LPCWSTR szParams) = 0;
  // The system-information report: three VARIANTs of type VT_ARRAY, each a one-dimensional
  // array of one entry per category (captions and descriptions as BSTR, usage percentages as
  // VT_I4, -1 where a category has none). The caller owns and clears them.
  virtual HRESULT GetSysInfo(VARIANT* pCaptionArray, VARIANT* pDescArray, VARIANT* pUsageArray) = 0;

 protected:
  ~IZYNMessenger() = default;
};

namespace zyn {

// Bytes of one pixel row: bits per row rounded up to whole 32-bit words. Counted in 64 bits so
// that no width and bit count a header can hold overflows the sum.
constexpr ULONGLONG DibRowBytes(DWORD width, WORD bitCount) {
  return (ULONGLONG{bitCount} * width + 31) / 32 * 4;
}

// Bytes of the pixel buffer a header describes (rows run bottom-up for a positive height,
// top-down for a negative one); 0 for a negative width. Both the side that fills a buffer and
// the side that reads one size it with this, and the reader checks the buffer it was given is
// at least this large before touching a row.
constexpr ULONGLONG DibImageBytes(const tagZYNMBITMAPINFOHEADER& header) {
  if (header.biWidth < 0) return 0;
  LONGLONG rows = header.biHeight < 0 ? -LONGLONG{header.biHeight} : LONGLONG{header.biHeight};
  return static_cast<ULONGLONG>(rows) *
         DibRowBytes(static_cast<DWORD>(header.biWidth), header.biBitCount);
}

}  // namespace zyn
