# The wire form of IZYNMessenger (see com.capnp for the conventions).
@0xf1deb2c0ac01c94b;

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("zyn::wire");

using Com = import "com.capnp";

interface Messenger extends(Com.Object) {
  showMessage @0 (message :Text) -> (hr :Int32);
  showTipMessage @1 (message :Text, tipType :UInt32) -> (hr :Int32);
  # The shot: *pdwSize bytes of pixel rows in `data` and the 44-byte header record, byte for
  # byte, in `info`.
  getScreenShot @2 (width :UInt32, hasWidth :Bool, height :UInt32, hasHeight :Bool,
                    windowType :UInt32, wantData :Bool, wantSize :Bool, wantInfo :Bool)
      -> (hr :Int32, data :Data, info :Data);
  lockComputer @3 () -> (hr :Int32);
  execute @4 (name :Text, params :Text) -> (hr :Int32);
  getSysInfo @5 (wantCaptions :Bool, wantDescriptions :Bool, wantUsages :Bool)
      -> (hr :Int32, captions :Com.Variant, descriptions :Com.Variant, usages :Com.Variant);
}
