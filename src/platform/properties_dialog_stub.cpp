// The Linux host has no windows to show the dialog in: the settings are
// changed with `sonvale config` instead.
#include "platform/properties_dialog.h"

namespace sonvale::platform {

void showPropertiesDialog(HWND, ISpObjectToken*) {}

}  // namespace sonvale::platform
