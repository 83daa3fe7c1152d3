#include "server/messenger.h"

#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "platform/com/taskmem.h"
#include "platform/desktop/desktop.h"
#include "server/messenger_environment.h"
#include "server/sysinfo/sysinfo.h"

namespace {

using zyn::desktop::CaptureTarget;
using zyn::desktop::Desktop;
using zyn::desktop::DibImage;

// The desktop when a display is reachable through it; null otherwise.
Desktop* ReachableDisplay(const MessengerEnvironment& environment) {
  Desktop* desktop = environment.desktop;
  return desktop && desktop->HasDisplay() ? desktop : nullptr;
}

// A requested picture side: absent, or 1 to kMaxScreenShotSide.
bool ValidSide(const DWORD* side) {
  return side == nullptr || (*side >= 1 && *side <= Messenger::kMaxScreenShotSide);
}

}  // namespace

Messenger::Messenger() = default;

Messenger::~Messenger() {
  std::unique_ptr<zyn::desktop::MessageBoxHandle> box;
  {
    std::lock_guard lock(mutex_);
    box = std::move(box_);
  }
  // Dropping the handle closes the box.
}

HRESULT Messenger::ShowMessage(LPCWSTR szMessage) {
  if (szMessage == nullptr) return E_INVALIDARG;
  const MessengerEnvironment environment = CurrentMessengerEnvironment();
  if (!environment.permissions.message) return E_ACCESSDENIED;
  // Nobody would see the box: saying S_OK would report a failure as success.
  Desktop* desktop = ReachableDisplay(environment);
  if (!desktop) return E_ACCESSDENIED;
  try {
    const std::string text(szMessage);
    // The earlier box closes before the new one opens, so at most one is ever shown.
    std::unique_ptr<zyn::desktop::MessageBoxHandle> previous;
    {
      std::lock_guard lock(mutex_);
      previous = std::move(box_);
    }
    previous.reset();
    std::unique_ptr<zyn::desktop::MessageBoxHandle> box =
        desktop->ShowMessageBox(text, kMessageCaption, kMessageTimeoutMs);
    if (!box) return E_FAIL;
    {
      std::lock_guard lock(mutex_);
      // A box another call showed meanwhile is the older one: it closes below, outside the lock.
      std::swap(box_, box);
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_FAIL;
  }
}

HRESULT Messenger::ShowTipMessage(LPCWSTR szMessage, tagTipType tt) {
  if (szMessage == nullptr) return E_INVALIDARG;
  const MessengerEnvironment environment = CurrentMessengerEnvironment();
  if (!environment.permissions.tip) return E_ACCESSDENIED;
  if (!environment.showTip) return E_NOTIMPL;
  try {
    const std::string text(szMessage);
    // The tray picks title and icon from the type and applies the status tooltip rules.
    return environment.showTip(text, static_cast<int>(tt)) ? S_OK : E_NOTIMPL;
  } catch (const std::bad_alloc&) {
    return E_FAIL;
  }
}

HRESULT Messenger::GetScreenShot(BYTE** ppData, DWORD* pdwSize, tagZYNMBITMAPINFO** ppbiData,
                                 const DWORD* pdwWidth, const DWORD* pdwHeight,
                                 tagZYNWINDOWTYPE wtShow) {
  if (ppData == nullptr || pdwSize == nullptr || ppbiData == nullptr) return E_INVALIDARG;
  *ppData = nullptr;
  *pdwSize = 0;
  *ppbiData = nullptr;
  const MessengerEnvironment environment = CurrentMessengerEnvironment();
  if (!environment.permissions.screenShot) return E_ACCESSDENIED;
  Desktop* desktop = ReachableDisplay(environment);
  if (!desktop) return E_ACCESSDENIED;
  CaptureTarget target;
  switch (wtShow) {
    case WT_DESKTOP:
      target = CaptureTarget::kDesktop;
      break;
    case WT_FOREGROUND:
      target = CaptureTarget::kForeground;
      break;
    default:
      return E_INVALIDARG;
  }
  // The size comes from the client: an empty picture or one larger than any screen is refused
  // rather than allocated.
  if (!ValidSide(pdwWidth) || !ValidSide(pdwHeight)) return E_INVALIDARG;

  try {
    DibImage image;
    std::string error;
    const std::optional<std::uint32_t> width =
        pdwWidth ? std::optional<std::uint32_t>(*pdwWidth) : std::nullopt;
    const std::optional<std::uint32_t> height =
        pdwHeight ? std::optional<std::uint32_t>(*pdwHeight) : std::nullopt;
    if (!desktop->Capture(target, width, height, &image, &error)) return E_FAIL;

    tagZYNMBITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(tagZYNMBITMAPINFOHEADER);
    info.bmiHeader.biWidth = static_cast<LONG>(image.width);
    info.bmiHeader.biHeight = static_cast<LONG>(image.height);  // positive: bottom-up rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = image.bitsPerPixel;
    info.bmiHeader.biCompression = 0;  // BI_RGB
    // The header holds no colour table, so only depths without one can be described; and the
    // buffer must be exactly what the header says, or a reader would run past it.
    const bool describable =
        image.bitsPerPixel == 16 || image.bitsPerPixel == 24 || image.bitsPerPixel == 32;
    if (!describable || image.width == 0 || image.height == 0 || image.width > kMaxScreenShotSide ||
        image.height > kMaxScreenShotSide ||
        image.bits.size() != zyn::DibImageBytes(info.bmiHeader))
      return E_FAIL;

    com::TaskMem<tagZYNMBITMAPINFO[]> header = com::TaskAllocArray<tagZYNMBITMAPINFO>(1);
    com::TaskMem<BYTE[]> pixels = com::TaskAllocArray<BYTE>(image.bits.size());
    if (!header || !pixels) return E_FAIL;  // whichever was allocated is freed
    header[0] = info;
    std::memcpy(pixels.get(), image.bits.data(), image.bits.size());
    *pdwSize = static_cast<DWORD>(image.bits.size());
    *ppData = pixels.release();
    *ppbiData = header.release();
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_FAIL;
  }
}

HRESULT Messenger::LockComputer() {
  const MessengerEnvironment environment = CurrentMessengerEnvironment();
  if (!environment.permissions.lock) return E_ACCESSDENIED;
  if (!environment.desktop) return E_FAIL;
  try {
    std::string error;
    return environment.desktop->LockSession(&error) ? S_OK : E_FAIL;
  } catch (const std::bad_alloc&) {
    return E_FAIL;
  }
}

HRESULT Messenger::Execute(LPCWSTR szName, LPCWSTR szParams) {
  if (szName == nullptr) return E_INVALIDARG;
  const MessengerEnvironment environment = CurrentMessengerEnvironment();
  if (!environment.permissions.execute) return E_ACCESSDENIED;
  if (!environment.desktop) return E_FAIL;
  try {
    std::string error;
    return environment.desktop->ExecuteOrOpen(szName, szParams ? szParams : "", &error) ? S_OK
                                                                                        : E_FAIL;
  } catch (const std::bad_alloc&) {
    return E_FAIL;
  }
}

HRESULT Messenger::GetSysInfo(VARIANT* pCaptionArray, VARIANT* pDescArray, VARIANT* pUsageArray) {
  if (pCaptionArray == nullptr || pDescArray == nullptr || pUsageArray == nullptr)
    return E_INVALIDARG;
  // Not switchable: the report only describes the machine, as its counters do.
  const MessengerEnvironment environment = CurrentMessengerEnvironment();
  try {
    SysInfoSources sources;
    if (Desktop* desktop = ReachableDisplay(environment))
      sources.displayServer = desktop->DisplayServerDescription();
    return PackSysInfo(CollectSysInfo(sources), pCaptionArray, pDescArray, pUsageArray);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}
