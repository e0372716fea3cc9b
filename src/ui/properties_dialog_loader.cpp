// The properties dialog on Linux: the dialog's logic runs here, where the
// process-wide settings are, and its window comes from the GTK plugin
// (properties_dialog_view.h), loaded the first time the dialog is opened.
// The plugin is looked for beside the binary that holds this code (the
// engine module or the command), then where the build put it. Without the
// plugin, or without a display, no dialog is shown and nothing changes.
#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "ui/properties_dialog.h"
#include "ui/properties_dialog_view.h"
#include "ui/properties_model.h"
#include "ui/ui_text.h"

namespace sonvale::ui {

namespace {

const char anchor = 0;  // an address inside this binary, for dladdr

std::string besideThisBinary() {
  Dl_info info{};
  if (dladdr(&anchor, &info) == 0 || info.dli_fname == nullptr || *info.dli_fname == '\0') return {};
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::absolute(info.dli_fname, ec);
  if (ec) return {};
  return (self.parent_path() / kDialogPluginFile).string();
}

DialogViewEntry findView() {
  std::vector<std::string> candidates = {besideThisBinary()};
#ifdef SONVALE_DIALOG_PLUGIN
  candidates.emplace_back(SONVALE_DIALOG_PLUGIN);
#endif
  for (const std::string& path : candidates) {
    if (path.empty()) continue;
    // GTK cannot be unloaded: the plugin stays for the life of the process.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) continue;
    const auto entry = reinterpret_cast<DialogViewEntry>(dlsym(handle, kDialogViewEntry));
    if (entry != nullptr) return entry;
    dlclose(handle);
  }
  return nullptr;
}

}  // namespace

void showPropertiesDialog(HWND parent, ISpObjectToken* token) {
  (void)token;  // the settings key is fixed; the token is not needed
  try {
    static const DialogViewEntry view = findView();
    if (view == nullptr) return;
    DialogViewRequest request;
    request.language = currentUiLanguage();
    request.texts = &uiTexts(request.language);
    request.parent = parent;
    request.pauseShortChoices = ui::listChoices(ui::DialogList::PauseShort);
    request.pauseLongChoices = ui::listChoices(ui::DialogList::PauseLong);
    request.pitchChoices = ui::listChoices(ui::DialogList::Pitch);
    request.homePageUrl = kHomePageUrl;
    request.issuesUrl = kIssuesUrl;
    request.start = ui::startPropertiesDialog;
    // A store that cannot be written keeps the new values in this process
    // only, and the user is told so.
    if (view(&request) == kDialogViewOk && ui::okPropertiesDialog(request.controls) != ERROR_SUCCESS)
      std::fprintf(stderr, "sonvale: %s\n", uiTexts(currentUiLanguage()).settingsNotSaved);
  } catch (...) {
    // Out of memory: the dialog is not shown, as when it cannot be created.
  }
}

}  // namespace sonvale::ui
