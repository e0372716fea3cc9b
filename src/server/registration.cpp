#include "server/registration.h"

#include <new>

#include "platform/registry.h"

namespace sonvale::server {

namespace {

using platform::RegKey;
using platform::RegRoot;

std::u16string guidText(const GUID& guid) {
  char text[39];
  platform::formatGuid(guid, text);
  return std::u16string(text, text + 38);
}

}  // namespace

bool operator==(const RegStep& a, const RegStep& b) {
  return a.op == b.op && a.key == b.key && a.valueName == b.valueName && a.data == b.data;
}

LONG runStepInRegistry(const RegStep& step) {
  try {
    switch (step.op) {
      case RegOp::SetString: {
        RegKey key;
        const LONG created = platform::regCreateKey(RegRoot::ClassesRoot, step.key, key);
        if (created != ERROR_SUCCESS) return created;
        return platform::regSetString(key, step.valueName, step.data);
      }
      case RegOp::CreateKey: {
        RegKey key;
        return platform::regCreateKey(RegRoot::ClassesRoot, step.key, key);
      }
      case RegOp::DeleteTree: {
        const LONG deleted = platform::regDeleteTree(RegRoot::ClassesRoot, step.key);
        return deleted == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : deleted;
      }
      case RegOp::DeleteKey: {
        RegKey key;
        const LONG opened = platform::regOpenKey(RegRoot::ClassesRoot, step.key, key);
        if (opened == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
        if (opened != ERROR_SUCCESS) return opened;
        std::vector<std::u16string> subkeys;
        const LONG listed = platform::regEnumKeys(key, subkeys);
        if (listed != ERROR_SUCCESS) return listed;
        // A key that still has subkeys is left, as RegDeleteKey leaves it.
        if (!subkeys.empty()) return ERROR_SUCCESS;
        const LONG deleted = platform::regDeleteTree(RegRoot::ClassesRoot, step.key);
        return deleted == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : deleted;
      }
    }
    return ERROR_INVALID_PARAMETER;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

HRESULT runScript(std::span<const RegStep> steps, const StepRunner& run) {
  for (const RegStep& step : steps) {
    const LONG result = run(step);
    if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
  }
  return S_OK;
}

std::vector<RegStep> classRegistrationScript(const ClassRegistration& cls, std::u16string_view modulePath) {
  const std::u16string name(cls.name);
  const std::u16string description = name + u" Class";
  const std::u16string progId = u"Kelvane." + name + u".1";
  const std::u16string independentProgId = u"Kelvane." + name;
  const std::u16string clsid = guidText(cls.clsid);
  const std::u16string classKey = u"CLSID\\" + clsid;

  std::vector<RegStep> steps = {
      {RegOp::SetString, progId, u"", description},
      {RegOp::SetString, progId + u"\\CLSID", u"", clsid},
      {RegOp::SetString, independentProgId, u"", description},
      {RegOp::SetString, independentProgId + u"\\CLSID", u"", clsid},
      {RegOp::SetString, independentProgId + u"\\CurVer", u"", progId},
      // The class key is replaced whole, so nothing of an earlier
      // registration survives under it.
      {RegOp::DeleteTree, classKey, u"", u""},
      {RegOp::SetString, classKey, u"", description},
      {RegOp::SetString, classKey + u"\\ProgID", u"", progId},
      {RegOp::SetString, classKey + u"\\VersionIndependentProgID", u"", independentProgId},
  };
  if (cls.programmable) steps.push_back({RegOp::CreateKey, classKey + u"\\Programmable", u"", u""});
  steps.push_back({RegOp::SetString, classKey + u"\\InprocServer32", u"", std::u16string(modulePath)});
  steps.push_back(
      {RegOp::SetString, classKey + u"\\InprocServer32", u"ThreadingModel", std::u16string(cls.threadingModel)});
  steps.push_back({RegOp::SetString, classKey + u"\\TypeLib", u"", kTypeLibId});
  return steps;
}

std::vector<RegStep> classRemovalScript(const ClassRegistration& cls) {
  const std::u16string name(cls.name);
  return {
      {RegOp::DeleteTree, u"Kelvane." + name + u".1", u"", u""},
      {RegOp::DeleteTree, u"Kelvane." + name, u"", u""},
      {RegOp::DeleteTree, u"CLSID\\" + guidText(cls.clsid), u"", u""},
  };
}

}  // namespace sonvale::server
