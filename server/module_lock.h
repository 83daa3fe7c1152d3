// The process lock: how many things keep the server program alive.
//
// Every server object and every enumerator holds one lock while it lives, and a client's
// IClassFactory::LockServer(TRUE) counts as one too. When the count drops to 0 the program may
// end; the shutdown monitor learns of it through the callback set here and decides, after a
// grace period, whether anyone came back.
#pragma once

#include <functional>

#include "platform/com/object.h"
#include "platform/com/types.h"

class ModuleLock {
 public:
  // Each returns the count after the change.
  static LONG Lock() noexcept;
  static LONG Unlock() noexcept;
  static LONG Count() noexcept;

  // Called on the thread of the Unlock that made the count drop to 0, with no lock of this
  // class held. It may run while another thread is already taking a new lock, so whoever acts
  // on it must check Count() again before ending anything. It must not throw. An empty
  // function removes it.
  static void SetOnZero(std::function<void()> callback);
};

// Holds one process lock for its lifetime.
class ModuleLockHolder {
 public:
  ModuleLockHolder() noexcept { ModuleLock::Lock(); }
  ~ModuleLockHolder() { ModuleLock::Unlock(); }
  ModuleLockHolder(const ModuleLockHolder&) = delete;
  ModuleLockHolder& operator=(const ModuleLockHolder&) = delete;
};

// A bare object that holds one process lock while referenced. Enumerators built from the
// runtime's ready-made classes take it as their owner, so they keep the program alive as the
// server's own enumerators do. Null when memory runs out.
com::ComPtr<IUnknown> MakeModuleLockToken();
