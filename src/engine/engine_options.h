// The engine object's own interface beside the speech API's: what a host
// embedding the engine may change for its process without storing it.
#pragma once

#include "platform/sapi.h"

// {6E0E5B7A-3C1D-4B8E-9F52-7D3A1C0B9E41}
inline constexpr IID IID_ISonvaleEngineOptions = {0x6E0E5B7A, 0x3C1D, 0x4B8E,
                                                   {0x9F, 0x52, 0x7D, 0x3A, 0x1C, 0x0B, 0x9E, 0x41}};

struct ISonvaleEngineOptions : IUnknown {
  // Sets the engine setting `name` (PuncLong, ReadPunctuation, ...; letter
  // case ignored) to `value` for every engine of this process, as the
  // properties dialog does, without writing it to the registry.
  // E_INVALIDARG for an unknown name.
  virtual HRESULT STDMETHODCALLTYPE SetProcessSetting(LPCWSTR name, LONG value) = 0;

 protected:
  ~ISonvaleEngineOptions() = default;
};
