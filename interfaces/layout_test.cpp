// The shared interface definitions: record layouts, identifiers, and that every interface can
// be implemented and reached through QueryInterface.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <set>
#include <string>

#include "interfaces/messenger.h"
#include "interfaces/opc_da.h"
#include "interfaces/zyn_ids.h"
#include "platform/com/object.h"

namespace {

TEST(MessengerRecords, SizesAndOffsets) {
  EXPECT_EQ(sizeof(tagZYNMBITMAPINFOHEADER), 40u);
  EXPECT_EQ(sizeof(tagZYNMRGBQUAD), 4u);
  EXPECT_EQ(sizeof(tagZYNMBITMAPINFO), 44u);
  const std::size_t header[] = {offsetof(tagZYNMBITMAPINFOHEADER, biSize),
                                offsetof(tagZYNMBITMAPINFOHEADER, biWidth),
                                offsetof(tagZYNMBITMAPINFOHEADER, biHeight),
                                offsetof(tagZYNMBITMAPINFOHEADER, biPlanes),
                                offsetof(tagZYNMBITMAPINFOHEADER, biBitCount),
                                offsetof(tagZYNMBITMAPINFOHEADER, biCompression),
                                offsetof(tagZYNMBITMAPINFOHEADER, biSizeImage),
                                offsetof(tagZYNMBITMAPINFOHEADER, biXPelsPerMeter),
                                offsetof(tagZYNMBITMAPINFOHEADER, biYPelsPerMeter),
                                offsetof(tagZYNMBITMAPINFOHEADER, biClrUsed),
                                offsetof(tagZYNMBITMAPINFOHEADER, biClrImportant)};
  const std::size_t expected[] = {0, 4, 8, 12, 14, 16, 20, 24, 28, 32, 36};
  for (std::size_t i = 0; i < std::size(expected); ++i)
    EXPECT_EQ(header[i], expected[i]) << i;
  EXPECT_EQ(offsetof(tagZYNMRGBQUAD, rgbRed), 2u);
  EXPECT_EQ(offsetof(tagZYNMRGBQUAD, rgbReserved), 3u);
  EXPECT_EQ(offsetof(tagZYNMBITMAPINFO, bmiColors), 40u);
}

// The bytes a peer receives: every field little-endian at its place, nothing in between.
TEST(MessengerRecords, BytesAreLittleEndianWithoutGaps) {
  tagZYNMBITMAPINFO info{};
  info.bmiHeader = {40, 1024, -768, 1, 32, 0, 0x01020304, -2, 3, 0xA1B2C3D4, 7};
  info.bmiColors[0] = {0x11, 0x22, 0x33, 0x44};
  unsigned char bytes[44];
  std::memcpy(bytes, &info, sizeof bytes);
  const unsigned char expected[44] = {
      40, 0, 0,    0,    0x00, 0x04, 0,    0,    0x00, 0xFD, 0xFF, 0xFF, 1,    0,   32,
      0,  0, 0,    0,    0,    0x04, 0x03, 0x02, 0x01, 0xFE, 0xFF, 0xFF, 0xFF, 3,   0,
      0,  0, 0xD4, 0xC3, 0xB2, 0xA1, 7,    0,    0,    0,    0x11, 0x22, 0x33, 0x44};
  for (std::size_t i = 0; i < sizeof bytes; ++i)
    EXPECT_EQ(bytes[i], expected[i]) << "byte " << i;
}

TEST(MessengerRecords, PixelBufferSize) {
  tagZYNMBITMAPINFOHEADER h{40, 1024, 768, 1, 32, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(zyn::DibImageBytes(h), 3145728u);
  h.biWidth = 200;
  h.biHeight = 150;
  h.biBitCount = 16;
  EXPECT_EQ(zyn::DibRowBytes(200, 16), 400u);
  EXPECT_EQ(zyn::DibImageBytes(h), 60000u);
  // Rows are padded to whole 32-bit words.
  EXPECT_EQ(zyn::DibRowBytes(3, 24), 12u);
  EXPECT_EQ(zyn::DibRowBytes(1, 1), 4u);
  EXPECT_EQ(zyn::DibRowBytes(0, 32), 0u);
  // A top-down buffer is as large as a bottom-up one; a negative width describes nothing.
  h.biHeight = -150;
  EXPECT_EQ(zyn::DibImageBytes(h), 60000u);
  h.biWidth = -200;
  EXPECT_EQ(zyn::DibImageBytes(h), 0u);
  // The largest header a peer can send does not wrap around.
  h = {40, 0x7FFFFFFF, -0x7FFFFFFF - 1, 1, 0xFFFF, 0, 0, 0, 0, 0, 0};
  const ULONGLONG row = (0xFFFFull * 0x7FFFFFFF + 31) / 32 * 4;
  EXPECT_EQ(zyn::DibRowBytes(0x7FFFFFFF, 0xFFFF), row);
  EXPECT_EQ(zyn::DibImageBytes(h), row * 0x80000000ull);
}

struct NamedId {
  const GUID& id;
  const char* text;
};

TEST(Identifiers, MatchTheirText) {
  const NamedId ids[] = {
      {IID_IOPCServer, "39C13A4D-011E-11D0-9675-0020AFD8ADB3"},
      {IID_IOPCServerPublicGroups, "39C13A4E-011E-11D0-9675-0020AFD8ADB3"},
      {IID_IOPCBrowseServerAddressSpace, "39C13A4F-011E-11D0-9675-0020AFD8ADB3"},
      {IID_IOPCGroupStateMgt, "39C13A50-011E-11D0-9675-0020AFD8ADB3"},
      {IID_IOPCPublicGroupStateMgt, "39C13A51-011E-11D0-9675-0020AFD8ADB3"},
      {IID_IOPCSyncIO, "39C13A52-011E-11D0-9675-0020AFD8ADB3"},
      {IID_IOPCAsyncIO, "39C13A53-011E-11D0-9675-0020AFD8ADB3"},
      {IID_IOPCItemMgt, "39C13A54-011E-11D0-9675-0020AFD8ADB3"},
      {IID_IEnumOPCItemAttributes, "39C13A55-011E-11D0-9675-0020AFD8ADB3"},
      {IID_IOPCDataCallback, "39C13A70-011E-11D0-9675-0020AFD8ADB3"},
      {IID_IOPCAsyncIO2, "39C13A71-011E-11D0-9675-0020AFD8ADB3"},
      {IID_IOPCItemProperties, "39C13A72-011E-11D0-9675-0020AFD8ADB3"},
      {IID_IOPCCommon, "F31DFDE2-07B6-11D2-B2D8-0060083BA1FB"},
      {IID_IOPCShutdown, "F31DFDE1-07B6-11D2-B2D8-0060083BA1FB"},
      {IID_IOPCServerList, "13486D50-4821-11D2-A494-3CB306C10000"},
      {CLSID_OPCServerList, "13486D51-4821-11D2-A494-3CB306C10000"},
      {CATID_OPCDAServer10, "63D5F430-CFE4-11D1-B2C8-0060083BA1FB"},
      {CATID_OPCDAServer20, "63D5F432-CFE4-11D1-B2C8-0060083BA1FB"},
      {IID_IZYNMessenger, "C32069E8-AABB-4F6A-AEBE-52E68AE1FDAD"},
      {CLSID_ZYNServer, "7C52E373-38F3-4579-951A-84ECCD6340B3"},
      {APPID_ZYNServer, "86BC93EE-4ABC-4E4F-8CFA-CBB461B0607B"},
      {LIBID_HUVSERVERLib, "4657CD9A-7DCC-4920-8F38-7A4EE64636DF"},
  };
  std::set<GUID> distinct;
  for (const NamedId& n : ids) {
    EXPECT_EQ(com::GuidToString(n.id), std::string("{") + n.text + "}");
    distinct.insert(n.id);
  }
  EXPECT_EQ(distinct.size(), std::size(ids));
  EXPECT_STREQ(zyn::kServerProgId, "ZYNServer.OPCServer.1");
  EXPECT_STREQ(zyn::kServerVersionIndependentProgId, "ZYNServer.OPCServer");
}

// One object implementing every interface. Each interface's last method records that it was
// reached, so a QueryInterface that hands out the wrong subobject shows as a wrong record.
class Everything final
    : public com::ComObject<IOPCServer, IOPCCommon, IOPCItemProperties,
                            IOPCBrowseServerAddressSpace, IOPCGroupStateMgt, IOPCItemMgt,
                            IOPCSyncIO, IOPCAsyncIO2, IOPCDataCallback, IOPCShutdown,
                            IEnumOPCItemAttributes, IOPCServerList, IZYNMessenger> {
 public:
  std::string reached;

  // IOPCServer
  HRESULT AddGroup(LPCWSTR, BOOL, DWORD, OPCHANDLE, LONG*, FLOAT*, DWORD, OPCHANDLE*, DWORD*,
                   REFIID, IUnknown**) override {
    return E_NOTIMPL;
  }
  HRESULT GetErrorString(HRESULT, LCID, LPWSTR*) override { return E_NOTIMPL; }
  HRESULT GetGroupByName(LPCWSTR, REFIID, IUnknown**) override { return E_NOTIMPL; }
  HRESULT GetStatus(OPCSERVERSTATUS**) override { return E_NOTIMPL; }
  HRESULT RemoveGroup(OPCHANDLE, BOOL) override { return E_NOTIMPL; }
  HRESULT CreateGroupEnumerator(OPCENUMSCOPE, REFIID, IUnknown**) override {
    return Reach("IOPCServer");
  }
  // IOPCCommon
  HRESULT SetLocaleID(LCID) override { return E_NOTIMPL; }
  HRESULT GetLocaleID(LCID*) override { return E_NOTIMPL; }
  HRESULT QueryAvailableLocaleIDs(DWORD*, LCID**) override { return E_NOTIMPL; }
  HRESULT GetErrorString(HRESULT, LPWSTR*) override { return E_NOTIMPL; }
  HRESULT SetClientName(LPCWSTR) override { return Reach("IOPCCommon"); }
  // IOPCItemProperties
  HRESULT QueryAvailableProperties(LPWSTR, DWORD*, DWORD**, LPWSTR**, VARTYPE**) override {
    return E_NOTIMPL;
  }
  HRESULT GetItemProperties(LPWSTR, DWORD, DWORD*, VARIANT**, HRESULT**) override {
    return E_NOTIMPL;
  }
  HRESULT LookupItemIDs(LPWSTR, DWORD, DWORD*, LPWSTR**, HRESULT**) override {
    return Reach("IOPCItemProperties");
  }
  // IOPCBrowseServerAddressSpace
  HRESULT QueryOrganization(OPCNAMESPACETYPE*) override { return E_NOTIMPL; }
  HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT BrowseOPCItemIDs(OPCBROWSETYPE, LPCWSTR, VARTYPE, DWORD, IEnumString**) override {
    return E_NOTIMPL;
  }
  HRESULT GetItemID(LPWSTR, LPWSTR*) override { return E_NOTIMPL; }
  HRESULT BrowseAccessPaths(LPCWSTR, IEnumString**) override {
    return Reach("IOPCBrowseServerAddressSpace");
  }
  // IOPCGroupStateMgt
  HRESULT GetState(DWORD*, BOOL*, LPWSTR*, LONG*, FLOAT*, DWORD*, OPCHANDLE*, OPCHANDLE*) override {
    return E_NOTIMPL;
  }
  HRESULT SetState(DWORD*, DWORD*, BOOL*, LONG*, FLOAT*, DWORD*, OPCHANDLE*) override {
    return E_NOTIMPL;
  }
  HRESULT SetName(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT CloneGroup(LPCWSTR, REFIID, IUnknown**) override { return Reach("IOPCGroupStateMgt"); }
  // IOPCItemMgt
  HRESULT AddItems(DWORD, OPCITEMDEF*, OPCITEMRESULT**, HRESULT**) override { return E_NOTIMPL; }
  HRESULT ValidateItems(DWORD, OPCITEMDEF*, BOOL, OPCITEMRESULT**, HRESULT**) override {
    return E_NOTIMPL;
  }
  HRESULT RemoveItems(DWORD, OPCHANDLE*, HRESULT**) override { return E_NOTIMPL; }
  HRESULT SetActiveState(DWORD, OPCHANDLE*, BOOL, HRESULT**) override { return E_NOTIMPL; }
  HRESULT SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT**) override { return E_NOTIMPL; }
  HRESULT SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*, HRESULT**) override { return E_NOTIMPL; }
  HRESULT CreateEnumerator(REFIID, IUnknown**) override { return Reach("IOPCItemMgt"); }
  // IOPCSyncIO
  HRESULT Read(OPCDATASOURCE, DWORD, OPCHANDLE*, OPCITEMSTATE**, HRESULT**) override {
    return E_NOTIMPL;
  }
  HRESULT Write(DWORD, OPCHANDLE*, VARIANT*, HRESULT**) override { return Reach("IOPCSyncIO"); }
  // IOPCAsyncIO2
  HRESULT Read(DWORD, OPCHANDLE*, DWORD, DWORD*, HRESULT**) override { return E_NOTIMPL; }
  HRESULT Write(DWORD, OPCHANDLE*, VARIANT*, DWORD, DWORD*, HRESULT**) override {
    return E_NOTIMPL;
  }
  HRESULT Refresh2(OPCDATASOURCE, DWORD, DWORD*) override { return E_NOTIMPL; }
  HRESULT Cancel2(DWORD) override { return E_NOTIMPL; }
  HRESULT SetEnable(BOOL) override { return E_NOTIMPL; }
  HRESULT GetEnable(BOOL*) override { return Reach("IOPCAsyncIO2"); }
  // IOPCDataCallback
  HRESULT OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                       FILETIME*, HRESULT*) override {
    return E_NOTIMPL;
  }
  HRESULT OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                         FILETIME*, HRESULT*) override {
    return E_NOTIMPL;
  }
  HRESULT OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
    return E_NOTIMPL;
  }
  HRESULT OnCancelComplete(DWORD, OPCHANDLE) override { return Reach("IOPCDataCallback"); }
  // IOPCShutdown
  HRESULT ShutdownRequest(LPCWSTR) override { return Reach("IOPCShutdown"); }
  // IEnumOPCItemAttributes
  HRESULT Next(ULONG, OPCITEMATTRIBUTES**, ULONG*) override { return E_NOTIMPL; }
  HRESULT Skip(ULONG) override { return E_NOTIMPL; }
  HRESULT Reset() override { return E_NOTIMPL; }
  HRESULT Clone(IEnumOPCItemAttributes**) override { return Reach("IEnumOPCItemAttributes"); }
  // IOPCServerList
  HRESULT EnumClassesOfCategories(ULONG, CATID[], ULONG, CATID[], IEnumGUID**) override {
    return E_NOTIMPL;
  }
  HRESULT GetClassDetails(REFCLSID, LPOLESTR*, LPOLESTR*) override { return E_NOTIMPL; }
  HRESULT CLSIDFromProgID(LPCOLESTR, CLSID*) override { return Reach("IOPCServerList"); }
  // IZYNMessenger
  HRESULT ShowMessage(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT ShowTipMessage(LPCWSTR, tagTipType) override { return E_NOTIMPL; }
  HRESULT GetScreenShot(BYTE**, DWORD*, tagZYNMBITMAPINFO**, const DWORD*, const DWORD*,
                        tagZYNWINDOWTYPE) override {
    return E_NOTIMPL;
  }
  HRESULT LockComputer() override { return E_NOTIMPL; }
  HRESULT Execute(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT GetSysInfo(VARIANT*, VARIANT*, VARIANT*) override { return Reach("IZYNMessenger"); }

 private:
  HRESULT Reach(const char* name) {
    reached = name;
    return S_OK;
  }
};

// Asks obj for I by its own kIID and calls I's last method through the answer.
template <class I, class Call>
void ExpectReached(Everything& obj, const char* name, Call call) {
  SCOPED_TRACE(name);
  com::ComPtr<I> itf;
  ASSERT_EQ(com::ComPtr<IUnknown>(obj.Identity()).As(&itf), S_OK);
  obj.reached.clear();
  EXPECT_EQ(call(itf.Get()), S_OK);
  EXPECT_EQ(obj.reached, name);
  // Every interface answers the same identity.
  com::ComPtr<IUnknown> unk;
  ASSERT_EQ(itf.As(&unk), S_OK);
  EXPECT_EQ(unk.Get(), obj.Identity());
}

TEST(Interfaces, ImplementableAndReachedByQueryInterface) {
  com::ComPtr<Everything> obj = com::MakeObject<Everything>();
  ASSERT_TRUE(obj);
  Everything& o = *obj;
  ExpectReached<IOPCServer>(o, "IOPCServer", [](IOPCServer* i) {
    return i->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IUnknown, nullptr);
  });
  ExpectReached<IOPCCommon>(o, "IOPCCommon", [](IOPCCommon* i) { return i->SetClientName("x"); });
  ExpectReached<IOPCItemProperties>(o, "IOPCItemProperties", [](IOPCItemProperties* i) {
    return i->LookupItemIDs(nullptr, 0, nullptr, nullptr, nullptr);
  });
  ExpectReached<IOPCBrowseServerAddressSpace>(
      o, "IOPCBrowseServerAddressSpace",
      [](IOPCBrowseServerAddressSpace* i) { return i->BrowseAccessPaths("", nullptr); });
  ExpectReached<IOPCGroupStateMgt>(o, "IOPCGroupStateMgt", [](IOPCGroupStateMgt* i) {
    return i->CloneGroup("", IID_IUnknown, nullptr);
  });
  ExpectReached<IOPCItemMgt>(o, "IOPCItemMgt", [](IOPCItemMgt* i) {
    return i->CreateEnumerator(IID_IEnumOPCItemAttributes, nullptr);
  });
  ExpectReached<IOPCSyncIO>(o, "IOPCSyncIO",
                            [](IOPCSyncIO* i) { return i->Write(0, nullptr, nullptr, nullptr); });
  ExpectReached<IOPCAsyncIO2>(o, "IOPCAsyncIO2",
                              [](IOPCAsyncIO2* i) { return i->GetEnable(nullptr); });
  ExpectReached<IOPCDataCallback>(o, "IOPCDataCallback",
                                  [](IOPCDataCallback* i) { return i->OnCancelComplete(0, 0); });
  ExpectReached<IOPCShutdown>(o, "IOPCShutdown",
                              [](IOPCShutdown* i) { return i->ShutdownRequest("bye"); });
  ExpectReached<IEnumOPCItemAttributes>(
      o, "IEnumOPCItemAttributes", [](IEnumOPCItemAttributes* i) { return i->Clone(nullptr); });
  ExpectReached<IOPCServerList>(o, "IOPCServerList", [](IOPCServerList* i) {
    return i->CLSIDFromProgID(zyn::kServerProgId, nullptr);
  });
  ExpectReached<IZYNMessenger>(o, "IZYNMessenger", [](IZYNMessenger* i) {
    return i->GetSysInfo(nullptr, nullptr, nullptr);
  });

  // The public-group and older transfer interfaces are named but never implemented.
  for (const IID* refused :
       {&IID_IOPCServerPublicGroups, &IID_IOPCPublicGroupStateMgt, &IID_IOPCAsyncIO}) {
    void* p = &o;
    EXPECT_EQ(o.QueryInterface(*refused, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
  }
}

}  // namespace
