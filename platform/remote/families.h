// The proxy/stub families, one per file: each registers its interfaces' facets and stub
// handlers (called once, from RegisterMarshalling).
#pragma once

namespace zyn::remote {

void RegisterEnumFamily();             // IEnumString, IEnumGUID, IEnumUnknown
void RegisterConnectionPointFamily();  // IConnectionPointContainer, IConnectionPoint
void RegisterOpcCommonFamily();        // IOPCCommon, IOPCShutdown, IOPCServerList

}  // namespace zyn::remote
