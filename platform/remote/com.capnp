# The wire form of the component runtime's shared pieces: the root of every remote object,
# automation values, the standard enumerators, connection points and activation.
#
# Conventions of every schema here:
# - A remote object is one capability; every typed interface extends Object, and the object's
#   other interfaces are reached through queryInterface, which answers for the same capability.
# - Every method answers with the callee's HRESULT in `hr`; out values follow it and are only
#   meaningful when the callee filled them.
# - A pointer argument the callee may receive as null travels with a `has...` flag (in values)
#   or a `want...` flag (out slots), so the callee sees exactly which pointers were missing.
# - Strings are UTF-8 Text; an unset Text field stands for a null string.
@0x8c1c5baf1c3daaf8;

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("zyn::wire");

interface Object {
  # Asks the object for another of its interfaces. On success the same capability may be used
  # as that interface.
  queryInterface @0 (iid :Data) -> (hr :Int32);
}

# A VARIANT. `vt` is the VARTYPE; the value sits in the field its type uses: integers, booleans
# (as -1/0), errors and CY in `int`, unsigned integers in `uint`, VT_R4/VT_R8/VT_DATE in
# `real`, VT_BSTR in `text`, arrays (vt has VT_ARRAY) in `array`. Interface pointers and
# references do not travel inside VARIANTs.
struct Variant {
  vt @0 :UInt16;
  int @1 :Int64;
  uint @2 :UInt64;
  real @3 :Float64;
  text @4 :Text;
  array @5 :SafeArray;
}

# A one-dimensional SAFEARRAY: its element type, lower bound and elements as VARIANTs.
struct SafeArray {
  elementVt @0 :UInt16;
  lowerBound @1 :Int32;
  elements @2 :List(Variant);
}

struct FileTime {
  low @0 :UInt32;
  high @1 :UInt32;
}

interface EnumString extends(Object) {
  next @0 (celt :UInt32, wantFetched :Bool) -> (hr :Int32, items :List(Text));
  skip @1 (celt :UInt32) -> (hr :Int32);
  reset @2 () -> (hr :Int32);
  clone @3 () -> (hr :Int32, enum :EnumString);
}

interface EnumUnknown extends(Object) {
  next @0 (celt :UInt32, wantFetched :Bool) -> (hr :Int32, items :List(Object));
  skip @1 (celt :UInt32) -> (hr :Int32);
  reset @2 () -> (hr :Int32);
  clone @3 () -> (hr :Int32, enum :EnumUnknown);
}

interface EnumGuid extends(Object) {
  next @0 (celt :UInt32, wantFetched :Bool) -> (hr :Int32, items :List(Data));
  skip @1 (celt :UInt32) -> (hr :Int32);
  reset @2 () -> (hr :Int32);
  clone @3 () -> (hr :Int32, enum :EnumGuid);
}

interface ConnectionPoint extends(Object) {
  getConnectionInterface @0 () -> (hr :Int32, iid :Data);
  getConnectionPointContainer @1 () -> (hr :Int32, container :ConnectionPointContainer);
  # The sink is the client's object; the point keeps it (one reference) until Unadvise.
  advise @2 (sink :Object, hasSink :Bool, wantCookie :Bool) -> (hr :Int32, cookie :UInt32);
  unadvise @3 (cookie :UInt32) -> (hr :Int32);
  enumConnections @4 () -> (hr :Int32, enum :EnumConnections);
}

struct ConnectData {
  sink @0 :Object;
  cookie @1 :UInt32;
}

interface EnumConnections extends(Object) {
  next @0 (celt :UInt32, wantFetched :Bool) -> (hr :Int32, items :List(ConnectData));
  skip @1 (celt :UInt32) -> (hr :Int32);
  reset @2 () -> (hr :Int32);
  clone @3 () -> (hr :Int32, enum :EnumConnections);
}

interface EnumConnectionPoints extends(Object) {
  next @0 (celt :UInt32, wantFetched :Bool) -> (hr :Int32, items :List(ConnectionPoint));
  skip @1 (celt :UInt32) -> (hr :Int32);
  reset @2 () -> (hr :Int32);
  clone @3 () -> (hr :Int32, enum :EnumConnectionPoints);
}

interface ConnectionPointContainer extends(Object) {
  enumConnectionPoints @0 () -> (hr :Int32, enum :EnumConnectionPoints);
  findConnectionPoint @1 (iid :Data) -> (hr :Int32, point :ConnectionPoint);
}

# What the endpoint hands a client once it is admitted: activation of the classes the serving
# program offers.
interface Activator {
  # A new object of the class, queried for iid.
  createInstance @0 (clsid :Data, iid :Data) -> (hr :Int32, object :Object);
}
