// Wire forms on their own: VARIANTs and arrays through a message and back, machine names,
// and class registration files.
#include <capnp/message.h>
#include <gtest/gtest.h>

#include "platform/com/bstr.h"
#include "platform/com/safearray.h"
#include "platform/remote/paths.h"
#include "platform/remote/registration.h"
#include "platform/remote/values.h"

namespace zyn::remote {
namespace {

com::Variant RoundTrip(const VARIANT& v, HRESULT* hr) {
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<wire::Variant>();
  *hr = WriteVariant(v, root);
  com::Variant out;
  if (SUCCEEDED(*hr)) *hr = ReadVariant(root.asReader(), out.put());
  return out;
}

TEST(WireValues, VariantsKeepTypeAndValue) {
  HRESULT hr;
  com::Variant r8 = RoundTrip(*com::Variant(2.5).get(), &hr);
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(r8.vt(), VT_R8);
  EXPECT_EQ(r8.get()->dblVal, 2.5);

  VARIANT small;
  VariantInit(&small);
  small.vt = VT_I2;
  small.iVal = -7;
  EXPECT_EQ(RoundTrip(small, &hr).get()->iVal, -7);
  small.vt = VT_UI1;
  small.bVal = 250;
  EXPECT_EQ(RoundTrip(small, &hr).get()->bVal, 250);
  small.vt = VT_BOOL;
  small.boolVal = VARIANT_TRUE;
  EXPECT_EQ(RoundTrip(small, &hr).get()->boolVal, VARIANT_TRUE);

  com::Variant text = RoundTrip(*com::Variant("Grüße").get(), &hr);
  ASSERT_EQ(text.vt(), VT_BSTR);
  EXPECT_STREQ(text.get()->bstrVal, "Grüße");

  // An array of VARIANTs holding a text and a number, typed exactly VT_ARRAY.
  com::SafeArray array(VT_VARIANT, 2, 1);
  LONG i = 1;
  SafeArrayPutElement(array.get(), &i, com::Variant("a").get());
  i = 2;
  SafeArrayPutElement(array.get(), &i, com::Variant(LONG{5}).get());
  com::Variant arrayValue(std::move(array), VT_ARRAY);
  com::Variant back = RoundTrip(*arrayValue.get(), &hr);
  ASSERT_EQ(hr, S_OK);
  ASSERT_EQ(back.vt(), VT_ARRAY);
  SAFEARRAY* psa = back.get()->parray;
  VARTYPE element;
  SafeArrayGetVartype(psa, &element);
  EXPECT_EQ(element, VT_VARIANT);
  EXPECT_EQ(psa->rgsabound[0].lLbound, 1);
  com::Variant second;
  i = 2;
  ASSERT_EQ(SafeArrayGetElement(psa, &i, second.put()), S_OK);
  EXPECT_EQ(second.vt(), VT_I4);
  EXPECT_EQ(second.get()->lVal, 5);

  // Interface pointers and references do not travel.
  VARIANT unknown;
  VariantInit(&unknown);
  unknown.vt = VT_UNKNOWN;
  unknown.punkVal = nullptr;
  RoundTrip(unknown, &hr);
  EXPECT_EQ(hr, DISP_E_BADVARTYPE);
}

TEST(WireValues, MalformedVariantsAreRefused) {
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<wire::Variant>();
  root.setVt(VT_ARRAY | VT_I4);
  auto array = root.initArray();
  array.setElementVt(VT_I4);
  array.initElements(1)[0].setVt(VT_BSTR);  // an element of another type than the array's
  VARIANT out;
  EXPECT_EQ(ReadVariant(root.asReader(), &out), DISP_E_BADVARTYPE);
  EXPECT_EQ(out.vt, VT_EMPTY);
  root.setVt(0x7777);
  EXPECT_EQ(ReadVariant(root.asReader(), &out), DISP_E_BADVARTYPE);
}

TEST(WireValues, MachineNames) {
  std::string host;
  unsigned port = 0;
  ASSERT_TRUE(SplitHostPort("observer7", &host, &port));
  EXPECT_EQ(host, "observer7");
  EXPECT_EQ(port, kDefaultPort);
  ASSERT_TRUE(SplitHostPort("10.0.0.5:4000", &host, &port));
  EXPECT_EQ(host, "10.0.0.5");
  EXPECT_EQ(port, 4000u);
  ASSERT_TRUE(SplitHostPort("[fe80::1]:99", &host, &port));
  EXPECT_EQ(host, "fe80::1");
  EXPECT_EQ(port, 99u);
  ASSERT_TRUE(SplitHostPort("fe80::1", &host, &port));
  EXPECT_EQ(port, kDefaultPort);
  EXPECT_FALSE(SplitHostPort("host:", &host, &port));
  EXPECT_FALSE(SplitHostPort("host:70000", &host, &port));
  EXPECT_FALSE(SplitHostPort(":80", &host, &port));
  // A machine name never leaves the machines folder.
  EXPECT_EQ(MachineDir("../x").rfind('/'), MachineDir("y").rfind('/'));
}

TEST(WireValues, ClassFilesReadBackAndSkipGarbage) {
  ClassFile file;
  file.registration.clsid = com::Guid("7C52E373-38F3-4579-951A-84ECCD6340B3");
  file.registration.progId = "ZYNServer.OPCServer.1";
  file.registration.versionIndependentProgId = "ZYNServer.OPCServer";
  file.registration.description = "ZYN Server";
  file.registration.implementedCategories = {com::Guid("63D5F432-CFE4-11D1-B2C8-0060083BA1FB")};
  file.program = "/usr/bin/zynserver";
  file.appId = com::Guid("86BC93EE-4ABC-4E4F-8CFA-CBB461B0607B");
  ClassFile back;
  ASSERT_TRUE(ParseClassFile(FormatClassFile(file) + "junk line\nUnknown=1\n", &back));
  EXPECT_EQ(back.registration.clsid, file.registration.clsid);
  EXPECT_EQ(back.registration.progId, file.registration.progId);
  EXPECT_EQ(back.registration.versionIndependentProgId, file.registration.versionIndependentProgId);
  EXPECT_EQ(back.registration.description, "ZYN Server");
  EXPECT_EQ(back.registration.implementedCategories, file.registration.implementedCategories);
  EXPECT_EQ(back.program, file.program);
  EXPECT_EQ(back.appId, file.appId);
  EXPECT_FALSE(ParseClassFile("ProgID=Only.A.Name\n", &back));
  EXPECT_FALSE(ParseClassFile("CLSID={00000000-0000-0000-0000-000000000000}\n", &back));
}

}  // namespace
}  // namespace zyn::remote
