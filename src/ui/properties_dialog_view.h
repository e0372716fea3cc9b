// The meeting point of the properties dialog's logic and its window on Linux.
// The window is a GTK 3 plugin of its own, libsonvale_dialog.so, loaded only
// when the dialog is opened: the engine module, loaded into every speaking
// process, then never loads GTK for nothing. The plugin holds no settings
// and no engine code; it shows what the request says and hands back what
// the user chose. Both sides are built together from this header.
#pragma once

#include <span>

#include "platform/com.h"
#include "ui/properties_model.h"
#include "ui/ui_text.h"

namespace sonvale::ui {

// The plugin's file name, and the one function it exports.
inline constexpr char kDialogPluginFile[] = "libsonvale_dialog.so";
inline constexpr char kDialogViewEntry[] = "sonvale_run_dialog_view";

struct DialogViewRequest {
  UiLanguage language = UiLanguage::English;       // picks the layout's language variants
  const UiTexts* texts = nullptr;                  // every caption, in that language
  HWND parent = nullptr;                           // owner: an X11 window id, or null
  std::span<const char* const> pauseShortChoices;  // list 213
  std::span<const char* const> pauseLongChoices;   // list 214
  std::span<const char* const> pitchChoices;       // list 223
  const char* homePageUrl = nullptr;               // link 209
  const char* issuesUrl = nullptr;                 // link 211

  // Called by the view once its window can be made, before it shows it:
  // reloads the settings and says what the controls show.
  ui::DialogControls (*start)() = nullptr;

  ui::DialogControls controls;  // out: the controls as the user left them
};

// What the view reports.
inline constexpr int kDialogViewOk = 1;         // OK: `controls` hold the user's choices
inline constexpr int kDialogViewCancelled = 0;  // Cancel, Escape or the window closed
inline constexpr int kDialogViewNotShown = -1;  // no display, or the window could not be made

// The plugin's entry: shows the dialog modally and returns one of the above.
// `start` is not called when the dialog cannot be shown.
using DialogViewEntry = int (*)(DialogViewRequest* request);

}  // namespace sonvale::ui
