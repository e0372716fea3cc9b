// The voice's properties dialog: edits the punctuation pauses, whether
// punctuation is spoken, how digits are read and the pitch selection, and on
// OK stores them in the process-wide settings and the registry. One
// implementation per platform, chosen by the build.
#pragma once

#include "platform/com.h"
#include "platform/sapi.h"

namespace sonvale::ui {

// Shows the dialog modally, owned by `parent` (may be null), in the UI
// language, and returns when the user closes it. Returns at once when no
// dialog can be shown (no display). `token` is the voice's token; the
// settings live under the fixed engine properties key.
void showPropertiesDialog(HWND parent, ISpObjectToken* token);

}  // namespace sonvale::ui
