#include "server/sysinfo/sysinfo.h"

#include <new>

#include "server/sysinfo/categories.h"

std::vector<SysInfoEntry> CollectSysInfo(const SysInfoSources& sources) {
  sysinfo::RootTree tree(sources.root);
  std::vector<SysInfoEntry> entries;
  entries.reserve(6);
  entries.push_back(sysinfo::General(tree));
  entries.push_back(sysinfo::Processor(tree));
  entries.push_back(sysinfo::Memory(tree));
  entries.push_back(sysinfo::HardDrive(tree, sources));
  entries.push_back(sysinfo::SystemComponents(tree, sources));
  entries.push_back(sysinfo::InstalledSoftware(tree));
  return entries;
}

HRESULT PackSysInfo(const std::vector<SysInfoEntry>& entries, VARIANT* captions,
                    VARIANT* descriptions, VARIANT* usage) {
  if (captions == nullptr || descriptions == nullptr || usage == nullptr) return E_INVALIDARG;
  VariantInit(captions);
  VariantInit(descriptions);
  VariantInit(usage);
  try {
    std::vector<std::string> captionTexts;
    std::vector<std::string> descriptionTexts;
    std::vector<LONG> usageValues;
    captionTexts.reserve(entries.size());
    descriptionTexts.reserve(entries.size());
    usageValues.reserve(entries.size());
    for (const SysInfoEntry& entry : entries) {
      captionTexts.push_back(entry.caption);
      descriptionTexts.push_back(entry.description);
      usageValues.push_back(entry.usage);
    }
    // All three are built before any is handed out, so a failure part way leaves nothing
    // behind: the owners free what was made.
    com::Variant captionArray(com::MakeBstrArray(captionTexts), VT_ARRAY);
    com::Variant descriptionArray(com::MakeBstrArray(descriptionTexts), VT_ARRAY);
    com::Variant usageArray(com::MakeI4Array(usageValues), VT_ARRAY);
    *captions = captionArray.release();
    *descriptions = descriptionArray.release();
    *usage = usageArray.release();
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}
