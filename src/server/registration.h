// Self-registration as plain data: each class's registration is a list of
// registry steps under HKEY_CLASSES_ROOT, run in order until one fails.
// Keeping the steps as data lets a test read what registration writes, and
// run it against a registry that fails at any step.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com.h"

namespace sonvale::server {

enum class RegOp {
  SetString,   // creates `key` (and its parents) if needed and sets a REG_SZ value
  CreateKey,   // creates `key` (and its parents), with no value
  DeleteTree,  // deletes `key` with everything under it; a missing key is no failure
  DeleteKey,   // deletes `key` only when it has no subkeys left; a missing key is no failure
};

struct RegStep {
  RegOp op = RegOp::SetString;
  std::u16string key;        // below HKEY_CLASSES_ROOT
  std::u16string valueName;  // SetString: the value's name; empty for the default value
  std::u16string data;       // SetString: the text
};

bool operator==(const RegStep& a, const RegStep& b);

// Performs one step on a registry; returns a Win32 error code.
using StepRunner = std::function<LONG(const RegStep&)>;

// Performs one step on the registry store (platform/registry.h).
LONG runStepInRegistry(const RegStep& step);

// Runs the steps in order and stops at the first failure, returning it as an
// HRESULT; what the steps before it wrote stays. S_OK when all succeed.
HRESULT runScript(std::span<const RegStep> steps, const StepRunner& run);

// What registration says about one class.
struct ClassRegistration {
  CLSID clsid;
  std::u16string_view name;            // "KelvaneObj": ProgIDs Kelvane.NAME.1 and Kelvane.NAME, "NAME Class"
  std::u16string_view threadingModel;  // the InprocServer32 ThreadingModel text, letter case kept
  bool programmable;                   // the class key gets an empty Programmable subkey
};

// The type library's LIBID, as the class keys' TypeLib value names it.
inline constexpr char16_t kTypeLibId[] = u"{29A849BC-AF2B-4490-BA41-898BDA7AD03F}";

// Registration of one class: its ProgID keys, then its key under CLSID,
// deleted with everything under it and written again with %MODULE% =
// `modulePath`. The key CLSID itself is never deleted.
std::vector<RegStep> classRegistrationScript(const ClassRegistration& cls, std::u16string_view modulePath);

// Removal of one class: its ProgID keys and its key under CLSID.
std::vector<RegStep> classRemovalScript(const ClassRegistration& cls);

}  // namespace sonvale::server
