// What a group needs from the server object that created it.
//
// A group keeps a plain pointer to its host. The server detaches every group of its table
// (OpcGroup::Shutdown) before it goes, so a group a client still holds never reaches a server
// that is gone: without a host the group works on alone as far as it can.
#pragma once

#include <string_view>

#include "platform/com/types.h"

class GroupHost {
 public:
  // True when a group in the server's table has exactly this name (case-sensitive). A group
  // that is itself in the table is included.
  virtual bool IsGroupNameInTable(std::string_view name) = 0;
  // Lists every object again with the refresh flag through the server's browse cursor, so the
  // library re-reads its catalogue (ValidateItems does this first).
  virtual void RefreshCatalogue() = 0;

 protected:
  ~GroupHost() = default;
};
