// Messenger: the remote-administration side of a server object (IZYNMessenger). OpcServer
// holds one and forwards the interface's calls to it.
//
// It reaches the machine only through the process's MessengerEnvironment: the session's
// desktop (message boxes, screen shots, locking, starting programs), the tray's balloons, and
// which of these functions clients may use at all. Its own state is the message box it showed
// last: a new message closes it, and so does the end of the server object.
#pragma once

#include <memory>
#include <mutex>

#include "interfaces/messenger.h"

namespace zyn::desktop {
class MessageBoxHandle;
}

class Messenger {
 public:
  // The caption of every message box.
  static constexpr const char* kMessageCaption = "ZYN Server Messenger";
  // An unattended message box closes after this long.
  static constexpr int kMessageTimeoutMs = 10000;
  // Largest picture side a client may ask for, the largest an X screen can have. (The desktop
  // also refuses pictures of more bytes than it is prepared to allocate.)
  static constexpr DWORD kMaxScreenShotSide = 32767;

  Messenger();
  // Closes a message box still shown.
  ~Messenger();
  Messenger(const Messenger&) = delete;
  Messenger& operator=(const Messenger&) = delete;

  HRESULT ShowMessage(LPCWSTR szMessage);
  HRESULT ShowTipMessage(LPCWSTR szMessage, tagTipType tt);
  HRESULT GetScreenShot(BYTE** ppData, DWORD* pdwSize, tagZYNMBITMAPINFO** ppbiData,
                        const DWORD* pdwWidth, const DWORD* pdwHeight, tagZYNWINDOWTYPE wtShow);
  HRESULT LockComputer();
  HRESULT Execute(LPCWSTR szName, LPCWSTR szParams);
  HRESULT GetSysInfo(VARIANT* pCaptionArray, VARIANT* pDescArray, VARIANT* pUsageArray);

 private:
  std::mutex mutex_;
  std::unique_ptr<zyn::desktop::MessageBoxHandle> box_;
};
