// The item enumerator of a group (IEnumOPCItemAttributes): walks the group's live item table in
// handle order, so items added or removed after it was made are seen or skipped as they come.
#pragma once

#include "interfaces/opc_da.h"
#include "platform/com/unknown.h"

class OpcGroup;

// An enumerator positioned on the group's first item; it keeps the group alive. Null when
// memory runs out.
com::ComPtr<IEnumOPCItemAttributes> MakeItemEnumerator(OpcGroup* group);
