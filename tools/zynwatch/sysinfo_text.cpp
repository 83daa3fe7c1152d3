#include "tools/zynwatch/sysinfo_text.h"

#include "platform/com/bstr.h"
#include "platform/com/safearray.h"

namespace {

// The array a VARIANT of type VT_ARRAY holds when its elements are of type `element`.
SAFEARRAY* ArrayOf(const VARIANT& v, VARTYPE element) {
  if ((v.vt & VT_ARRAY) == 0 || v.parray == nullptr || v.parray->cDims != 1) return nullptr;
  VARTYPE vt = VT_EMPTY;
  if (FAILED(SafeArrayGetVartype(v.parray, &vt)) || vt != element) return nullptr;
  return v.parray;
}

bool Texts(SAFEARRAY* array, std::vector<std::string>* out) {
  com::SafeArrayData<BSTR> data(array);
  if (!data) return false;
  for (BSTR text : data.span())
    out->emplace_back(com::BstrView(text));
  return true;
}

// Lines end with CR LF (a bare LF is taken too); the installed programs come as one line of
// entries separated by '|', each shown on a line of its own.
std::vector<std::string> Lines(const std::string& text, bool splitBars) {
  std::vector<std::string> lines;
  std::string line;
  auto flush = [&] {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    line.clear();
  };
  for (char c : text) {
    if (c == '\n' || (splitBars && c == '|')) {
      flush();
    } else {
      line += c;
    }
  }
  if (!line.empty()) flush();
  return lines;
}

}  // namespace

HRESULT ReadSysInfo(const VARIANT& captions, const VARIANT& descriptions, const VARIANT& usages,
                    std::vector<SysInfoEntry>* entries) {
  entries->clear();
  std::vector<std::string> captionTexts, descriptionTexts;
  if (!Texts(ArrayOf(captions, VT_BSTR), &captionTexts) ||
      !Texts(ArrayOf(descriptions, VT_BSTR), &descriptionTexts))
    return DISP_E_TYPEMISMATCH;
  com::SafeArrayData<LONG> usageData(ArrayOf(usages, VT_I4));
  if (!usageData || captionTexts.size() != descriptionTexts.size() ||
      captionTexts.size() != usageData.size())
    return DISP_E_TYPEMISMATCH;
  for (std::size_t i = 0; i < captionTexts.size(); ++i)
    entries->push_back({captionTexts[i], descriptionTexts[i], usageData[i]});
  return S_OK;
}

std::string FormatSysInfo(const std::vector<SysInfoEntry>& entries) {
  std::string out;
  for (const SysInfoEntry& e : entries) {
    out += e.caption + "\n";
    for (const std::string& line : Lines(e.description, e.caption == "Installed Software"))
      out += line.empty() ? "\n" : "    " + line + "\n";
    if (e.usage != -1) out += "    Usage: " + std::to_string(e.usage) + "%\n";
  }
  return out;
}
