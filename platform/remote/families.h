// The proxy/stub families, one per file: each registers its interfaces' facets and stub
// handlers (called once, from RegisterMarshalling).
#pragma once

namespace zyn::remote {

void RegisterEnumFamily();             // IEnumString, IEnumGUID, IEnumUnknown
void RegisterConnectionPointFamily();  // IConnectionPointContainer, IConnectionPoint
void RegisterOpcCommonFamily();        // IOPCCommon, IOPCShutdown, IOPCServerList
void RegisterOpcServerFamily();        // IOPCServer, IOPCBrowseServerAddressSpace
void RegisterOpcGroupFamily();         // IOPCGroupStateMgt, IOPCItemMgt, IOPCSyncIO, IOPCAsyncIO2
void RegisterDataCallbackFamily();     // IOPCDataCallback
void RegisterMessengerFamily();        // IZYNMessenger
void RegisterItemInfoFamily();         // IEnumOPCItemAttributes
void RegisterItemPropertiesFamily();   // IOPCItemProperties

}  // namespace zyn::remote
