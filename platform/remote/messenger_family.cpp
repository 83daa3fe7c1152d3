// Proxy and stub of IZYNMessenger. A screen shot travels as its pixel bytes and the 44-byte
// header record, byte for byte (the record's layout is fixed in interfaces/messenger.h).
#include <cstring>

#include "interfaces/messenger.h"
#include "platform/remote/families.h"
#include "platform/remote/family_util.h"
#include "platform/remote/messenger.capnp.h"
#include "platform/remote/opc_records.h"

namespace zyn::remote {
namespace {

using W = wire::Messenger;

class MessengerProxy final : public Facet<IZYNMessenger> {
 public:
  using Facet::Facet;

  HRESULT ShowMessage(LPCWSTR szMessage) override {
    return Invoke<W>([&](W::Client c) {
      auto q = c.showMessageRequest();
      if (szMessage) q.setMessage(szMessage);
      return q.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT ShowTipMessage(LPCWSTR szMessage, tagTipType tt) override {
    return Invoke<W>([&](W::Client c) {
      auto q = c.showTipMessageRequest();
      if (szMessage) q.setMessage(szMessage);
      q.setTipType(tt);
      return q.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT GetScreenShot(BYTE** ppData, DWORD* pdwSize, tagZYNMBITMAPINFO** ppbiData,
                        const DWORD* pdwWidth, const DWORD* pdwHeight,
                        tagZYNWINDOWTYPE wtShow) override {
    if (ppData) *ppData = nullptr;
    if (ppbiData) *ppbiData = nullptr;
    return Invoke<W>([&](W::Client c) {
      auto q = c.getScreenShotRequest();
      q.setHasWidth(pdwWidth != nullptr);
      if (pdwWidth) q.setWidth(*pdwWidth);
      q.setHasHeight(pdwHeight != nullptr);
      if (pdwHeight) q.setHeight(*pdwHeight);
      q.setWindowType(wtShow);
      q.setWantData(ppData != nullptr);
      q.setWantSize(pdwSize != nullptr);
      q.setWantInfo(ppbiData != nullptr);
      return q.send().then([&](auto r) -> HRESULT {
        HRESULT hr = r.getHr();
        if (FAILED(hr)) return hr;
        auto data = r.getData();
        auto info = r.getInfo();
        if (ppbiData && r.hasInfo() && info.size() != sizeof(tagZYNMBITMAPINFO))
          return RPC_E_SERVERFAULT;
        com::TaskMem<BYTE> pixels;
        if (ppData && r.hasData()) {
          pixels.reset(static_cast<BYTE*>(CoTaskMemAlloc(data.size() ? data.size() : 1)));
          if (!pixels) return E_OUTOFMEMORY;
          std::memcpy(pixels.get(), data.begin(), data.size());
        }
        com::TaskMem<tagZYNMBITMAPINFO> header;
        if (ppbiData && r.hasInfo()) {
          header.reset(static_cast<tagZYNMBITMAPINFO*>(CoTaskMemAlloc(sizeof(tagZYNMBITMAPINFO))));
          if (!header) return E_OUTOFMEMORY;
          std::memcpy(header.get(), info.begin(), sizeof(tagZYNMBITMAPINFO));
        }
        if (pdwSize) *pdwSize = static_cast<DWORD>(data.size());
        if (ppData) *ppData = pixels.release();
        if (ppbiData) *ppbiData = header.release();
        return hr;
      });
    });
  }

  HRESULT LockComputer() override {
    return Invoke<W>([&](W::Client c) {
      return c.lockComputerRequest().send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT Execute(LPCWSTR szName, LPCWSTR szParams) override {
    return Invoke<W>([&](W::Client c) {
      auto q = c.executeRequest();
      if (szName) q.setName(szName);
      if (szParams) q.setParams(szParams);
      return q.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT GetSysInfo(VARIANT* pCaptionArray, VARIANT* pDescArray, VARIANT* pUsageArray) override {
    return Invoke<W>([&](W::Client c) {
      auto q = c.getSysInfoRequest();
      q.setWantCaptions(pCaptionArray != nullptr);
      q.setWantDescriptions(pDescArray != nullptr);
      q.setWantUsages(pUsageArray != nullptr);
      return q.send().then([&](auto r) -> HRESULT {
        HRESULT hr = r.getHr();
        if (FAILED(hr)) return hr;
        VariantArray read;
        read.values.resize(3);
        for (VARIANT& v : read.values)
          VariantInit(&v);
        if ((pCaptionArray && FAILED(ReadVariant(r.getCaptions(), &read.values[0]))) ||
            (pDescArray && FAILED(ReadVariant(r.getDescriptions(), &read.values[1]))) ||
            (pUsageArray && FAILED(ReadVariant(r.getUsages(), &read.values[2])))) {
          return RPC_E_SERVERFAULT;
        }
        VARIANT* outs[3] = {pCaptionArray, pDescArray, pUsageArray};
        for (int i = 0; i < 3; ++i) {
          if (!outs[i]) continue;
          *outs[i] = read.values[i];
          VariantInit(&read.values[i]);
        }
        return hr;
      });
    });
  }
};

kj::Promise<void> HandleMessenger(Stub& stub, uint16_t method, Context context) {
  using I = IZYNMessenger;
  switch (method) {
    case 0: {  // showMessage
      auto p = context.getParams().getAs<W::ShowMessageParams>();
      auto text = ReadOptionalText(p.hasMessage(), p.getMessage());
      context.releaseParams();
      return Serve<I, HrOnly>(
          stub, [text](I* itf, HrOnly& r) { r.hr = itf->ShowMessage(CStrOrNull(text)); },
          [context](HrOnly& r) mutable {
            context.getResults().initAs<W::ShowMessageResults>().setHr(r.hr);
          });
    }
    case 1: {  // showTipMessage
      auto p = context.getParams().getAs<W::ShowTipMessageParams>();
      auto text = ReadOptionalText(p.hasMessage(), p.getMessage());
      const auto tt = static_cast<tagTipType>(p.getTipType());
      context.releaseParams();
      return Serve<I, HrOnly>(
          stub, [text, tt](I* itf, HrOnly& r) { r.hr = itf->ShowTipMessage(CStrOrNull(text), tt); },
          [context](HrOnly& r) mutable {
            context.getResults().initAs<W::ShowTipMessageResults>().setHr(r.hr);
          });
    }
    case 2: {  // getScreenShot
      auto p = context.getParams().getAs<W::GetScreenShotParams>();
      const std::optional<DWORD> width =
          p.getHasWidth() ? std::optional<DWORD>(p.getWidth()) : std::nullopt;
      const std::optional<DWORD> height =
          p.getHasHeight() ? std::optional<DWORD>(p.getHeight()) : std::nullopt;
      const auto type = static_cast<tagZYNWINDOWTYPE>(p.getWindowType());
      const bool wantData = p.getWantData(), wantSize = p.getWantSize(), wantInfo = p.getWantInfo();
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        OutMem<BYTE> data;
        DWORD size = 0;
        OutMem<tagZYNMBITMAPINFO> info;
      };
      return Serve<I, Result>(
          stub,
          [=](I* itf, Result& r) {
            r.hr = itf->GetScreenShot(wantData ? &r.data.p : nullptr, wantSize ? &r.size : nullptr,
                                      wantInfo ? &r.info.p : nullptr, width ? &*width : nullptr,
                                      height ? &*height : nullptr, type);
          },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<W::GetScreenShotResults>();
            out.setHr(r.hr);
            if (FAILED(r.hr)) return;
            // Without the size the data's length is unknown: it travels only with its size.
            if (r.data.p && r.size) out.setData(capnp::Data::Reader(r.data.p, r.size));
            if (r.info.p) {
              out.setInfo(capnp::Data::Reader(reinterpret_cast<const kj::byte*>(r.info.p),
                                              sizeof(tagZYNMBITMAPINFO)));
            }
          });
    }
    case 3:  // lockComputer
      return Serve<I, HrOnly>(
          stub, [](I* itf, HrOnly& r) { r.hr = itf->LockComputer(); },
          [context](HrOnly& r) mutable {
            context.getResults().initAs<W::LockComputerResults>().setHr(r.hr);
          });
    case 4: {  // execute
      auto p = context.getParams().getAs<W::ExecuteParams>();
      auto name = ReadOptionalText(p.hasName(), p.getName());
      auto params = ReadOptionalText(p.hasParams(), p.getParams());
      context.releaseParams();
      return Serve<I, HrOnly>(
          stub,
          [name, params](I* itf, HrOnly& r) {
            r.hr = itf->Execute(CStrOrNull(name), CStrOrNull(params));
          },
          [context](HrOnly& r) mutable {
            context.getResults().initAs<W::ExecuteResults>().setHr(r.hr);
          });
    }
    case 5: {  // getSysInfo
      auto p = context.getParams().getAs<W::GetSysInfoParams>();
      const bool a = p.getWantCaptions(), b = p.getWantDescriptions(), c = p.getWantUsages();
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        VariantArray values;
      };
      return Serve<I, Result>(
          stub,
          [=](I* itf, Result& r) {
            r.values.values.resize(3);
            for (VARIANT& v : r.values.values)
              VariantInit(&v);
            VARIANT* v = r.values.values.data();
            r.hr = itf->GetSysInfo(a ? &v[0] : nullptr, b ? &v[1] : nullptr, c ? &v[2] : nullptr);
          },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<W::GetSysInfoResults>();
            out.setHr(r.hr);
            if (FAILED(r.hr)) return;
            HRESULT hr = S_OK;
            const VARIANT* v = r.values.values.data();
            if (SUCCEEDED(hr)) hr = WriteVariant(v[0], out.initCaptions());
            if (SUCCEEDED(hr)) hr = WriteVariant(v[1], out.initDescriptions());
            if (SUCCEEDED(hr)) hr = WriteVariant(v[2], out.initUsages());
            if (FAILED(hr)) out.setHr(hr);
          });
    }
    default:
      return KJ_EXCEPTION(UNIMPLEMENTED, "IZYNMessenger method", method);
  }
}

}  // namespace

void RegisterMessengerFamily() {
  RegisterFacet(IID_IZYNMessenger, &MakeFacet<MessengerProxy>);
  RegisterStubHandler(capnp::typeId<W>(), &HandleMessenger);
}

}  // namespace zyn::remote
