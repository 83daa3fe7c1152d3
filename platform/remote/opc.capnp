# The wire form of the OPC Data Access 2.0 interfaces and records (see com.capnp for the
# conventions). Records mirror the C++ records field by field.
@0xe80407bfe6dab925;

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("zyn::wire");

using Com = import "com.capnp";
using Object = Com.Object;
using Variant = Com.Variant;
using FileTime = Com.FileTime;

struct ItemDef {
  accessPath @0 :Text;
  itemId @1 :Text;
  active @2 :Int32;
  client @3 :UInt32;
  blob @4 :Data;
  requestedDataType @5 :UInt16;
  reserved @6 :UInt16;
}

struct ItemResult {
  server @0 :UInt32;
  canonicalDataType @1 :UInt16;
  reserved @2 :UInt16;
  accessRights @3 :UInt32;
  blob @4 :Data;
}

struct ItemState {
  client @0 :UInt32;
  timeStamp @1 :FileTime;
  quality @2 :UInt16;
  reserved @3 :UInt16;
  value @4 :Variant;
}

struct ItemAttributes {
  accessPath @0 :Text;
  itemId @1 :Text;
  active @2 :Int32;
  client @3 :UInt32;
  server @4 :UInt32;
  accessRights @5 :UInt32;
  blob @6 :Data;
  requestedDataType @7 :UInt16;
  canonicalDataType @8 :UInt16;
  euType @9 :UInt32;
  euInfo @10 :Variant;
}

struct ServerStatus {
  startTime @0 :FileTime;
  currentTime @1 :FileTime;
  lastUpdateTime @2 :FileTime;
  serverState @3 :UInt32;
  groupCount @4 :UInt32;
  bandWidth @5 :UInt32;
  majorVersion @6 :UInt16;
  minorVersion @7 :UInt16;
  buildNumber @8 :UInt16;
  reserved @9 :UInt16;
  vendorInfo @10 :Text;
}

# The values of one callback or read completion, item by item.
struct DataChange {
  transid @0 :UInt32;
  group @1 :UInt32;
  masterQuality @2 :Int32;
  masterError @3 :Int32;
  count @4 :UInt32;
  clientItems @5 :List(UInt32);
  values @6 :List(Variant);
  qualities @7 :List(UInt16);
  timeStamps @8 :List(FileTime);
  errors @9 :List(Int32);
}

interface OpcCommon extends(Object) {
  setLocaleId @0 (lcid :UInt32) -> (hr :Int32);
  getLocaleId @1 (wantLcid :Bool) -> (hr :Int32, lcid :UInt32);
  queryAvailableLocaleIds @2 (wantCount :Bool, wantLcids :Bool) -> (hr :Int32, lcids :List(UInt32));
  getErrorString @3 (error :Int32, wantString :Bool) -> (hr :Int32, string :Text);
  setClientName @4 (name :Text) -> (hr :Int32);
}

interface OpcShutdown extends(Object) {
  shutdownRequest @0 (reason :Text) -> (hr :Int32);
}

interface OpcServerList extends(Object) {
  enumClassesOfCategories @0 (implemented :List(Data), implementedCount :UInt32,
                              required :List(Data), requiredCount :UInt32, wantEnum :Bool)
      -> (hr :Int32, enum :Com.EnumGuid);
  getClassDetails @1 (clsid :Data, wantProgId :Bool, wantUserType :Bool)
      -> (hr :Int32, progId :Text, userType :Text);
  clsidFromProgId @2 (progId :Text, wantClsid :Bool) -> (hr :Int32, clsid :Data);
}

interface OpcServer extends(Object) {
  addGroup @0 (name :Text, active :Int32, requestedUpdateRate :UInt32, clientGroup :UInt32,
               timeBias :Int32, hasTimeBias :Bool, percentDeadband :Float32,
               hasPercentDeadband :Bool, lcid :UInt32, wantServerGroup :Bool,
               wantRevisedUpdateRate :Bool, iid :Data, wantObject :Bool)
      -> (hr :Int32, serverGroup :UInt32, revisedUpdateRate :UInt32, object :Object);
  getErrorString @1 (error :Int32, locale :UInt32, wantString :Bool) -> (hr :Int32, string :Text);
  getGroupByName @2 (name :Text, iid :Data, wantObject :Bool) -> (hr :Int32, object :Object);
  getStatus @3 (wantStatus :Bool) -> (hr :Int32, status :ServerStatus);
  removeGroup @4 (serverGroup :UInt32, force :Int32) -> (hr :Int32);
  createGroupEnumerator @5 (scope :UInt32, iid :Data, wantObject :Bool)
      -> (hr :Int32, object :Object);
}

interface OpcItemProperties extends(Object) {
  queryAvailableProperties @0 (itemId :Text, wantCount :Bool, wantIds :Bool,
                               wantDescriptions :Bool, wantTypes :Bool)
      -> (hr :Int32, ids :List(UInt32), descriptions :List(Text), types :List(UInt16));
  getItemProperties @1 (itemId :Text, count :UInt32, ids :List(UInt32), hasIds :Bool,
                        wantData :Bool, wantErrors :Bool)
      -> (hr :Int32, data :List(Variant), errors :List(Int32));
  lookupItemIds @2 (itemId :Text, count :UInt32, ids :List(UInt32), hasIds :Bool,
                    wantItemIds :Bool, wantErrors :Bool)
      -> (hr :Int32, itemIds :List(Text), errors :List(Int32));
}

interface OpcBrowseServerAddressSpace extends(Object) {
  queryOrganization @0 (wantType :Bool) -> (hr :Int32, type :UInt32);
  changeBrowsePosition @1 (direction :UInt32, string :Text) -> (hr :Int32);
  browseOpcItemIds @2 (filterType :UInt32, filterCriteria :Text, dataTypeFilter :UInt16,
                       accessRightsFilter :UInt32, wantEnum :Bool)
      -> (hr :Int32, enum :Com.EnumString);
  getItemId @3 (itemDataId :Text, wantItemId :Bool) -> (hr :Int32, itemId :Text);
  browseAccessPaths @4 (itemId :Text, wantEnum :Bool) -> (hr :Int32, enum :Com.EnumString);
}

interface OpcGroupStateMgt extends(Object) {
  getState @0 (wantUpdateRate :Bool, wantActive :Bool, wantName :Bool, wantTimeBias :Bool,
               wantPercentDeadband :Bool, wantLcid :Bool, wantClientGroup :Bool,
               wantServerGroup :Bool)
      -> (hr :Int32, updateRate :UInt32, active :Int32, name :Text, timeBias :Int32,
          percentDeadband :Float32, lcid :UInt32, clientGroup :UInt32, serverGroup :UInt32);
  setState @1 (requestedUpdateRate :UInt32, hasRequestedUpdateRate :Bool,
               wantRevisedUpdateRate :Bool, active :Int32, hasActive :Bool, timeBias :Int32,
               hasTimeBias :Bool, percentDeadband :Float32, hasPercentDeadband :Bool,
               lcid :UInt32, hasLcid :Bool, clientGroup :UInt32, hasClientGroup :Bool)
      -> (hr :Int32, revisedUpdateRate :UInt32);
  setName @2 (name :Text) -> (hr :Int32);
  cloneGroup @3 (name :Text, iid :Data, wantObject :Bool) -> (hr :Int32, object :Object);
}

interface OpcItemMgt extends(Object) {
  addItems @0 (count :UInt32, items :List(ItemDef), hasItems :Bool, wantResults :Bool,
               wantErrors :Bool)
      -> (hr :Int32, results :List(ItemResult), errors :List(Int32));
  validateItems @1 (count :UInt32, items :List(ItemDef), hasItems :Bool, blobUpdate :Int32,
                    wantResults :Bool, wantErrors :Bool)
      -> (hr :Int32, results :List(ItemResult), errors :List(Int32));
  removeItems @2 (count :UInt32, server :List(UInt32), hasServer :Bool, wantErrors :Bool)
      -> (hr :Int32, errors :List(Int32));
  setActiveState @3 (count :UInt32, server :List(UInt32), hasServer :Bool, active :Int32,
                     wantErrors :Bool)
      -> (hr :Int32, errors :List(Int32));
  setClientHandles @4 (count :UInt32, server :List(UInt32), hasServer :Bool,
                       client :List(UInt32), hasClient :Bool, wantErrors :Bool)
      -> (hr :Int32, errors :List(Int32));
  setDatatypes @5 (count :UInt32, server :List(UInt32), hasServer :Bool,
                   requested :List(UInt16), hasRequested :Bool, wantErrors :Bool)
      -> (hr :Int32, errors :List(Int32));
  createEnumerator @6 (iid :Data, wantObject :Bool) -> (hr :Int32, object :Object);
}

interface OpcSyncIO extends(Object) {
  read @0 (source :UInt32, count :UInt32, server :List(UInt32), hasServer :Bool,
           wantValues :Bool, wantErrors :Bool)
      -> (hr :Int32, values :List(ItemState), errors :List(Int32));
  write @1 (count :UInt32, server :List(UInt32), hasServer :Bool, values :List(Variant),
            hasValues :Bool, wantErrors :Bool)
      -> (hr :Int32, errors :List(Int32));
}

interface OpcAsyncIO2 extends(Object) {
  read @0 (count :UInt32, server :List(UInt32), hasServer :Bool, transactionId :UInt32,
           wantCancelId :Bool, wantErrors :Bool)
      -> (hr :Int32, cancelId :UInt32, errors :List(Int32));
  write @1 (count :UInt32, server :List(UInt32), hasServer :Bool, values :List(Variant),
            hasValues :Bool, transactionId :UInt32, wantCancelId :Bool, wantErrors :Bool)
      -> (hr :Int32, cancelId :UInt32, errors :List(Int32));
  refresh2 @2 (source :UInt32, transactionId :UInt32, wantCancelId :Bool)
      -> (hr :Int32, cancelId :UInt32);
  cancel2 @3 (cancelId :UInt32) -> (hr :Int32);
  setEnable @4 (enable :Int32) -> (hr :Int32);
  getEnable @5 (wantEnable :Bool) -> (hr :Int32, enable :Int32);
}

# The client's sink. The client answers at once, before its code has run (the result of a
# callback is not used by the group), so a group never waits on a client's busy thread.
interface OpcDataCallback extends(Object) {
  onDataChange @0 (change :DataChange) -> (hr :Int32);
  onReadComplete @1 (change :DataChange) -> (hr :Int32);
  onWriteComplete @2 (transid :UInt32, group :UInt32, masterError :Int32, count :UInt32,
                      clientHandles :List(UInt32), errors :List(Int32)) -> (hr :Int32);
  onCancelComplete @3 (transid :UInt32, group :UInt32) -> (hr :Int32);
}

interface EnumOpcItemAttributes extends(Object) {
  next @0 (celt :UInt32, wantItems :Bool, wantFetched :Bool)
      -> (hr :Int32, items :List(ItemAttributes));
  skip @1 (celt :UInt32) -> (hr :Int32);
  reset @2 () -> (hr :Int32);
  clone @3 () -> (hr :Int32, enum :EnumOpcItemAttributes);
}
