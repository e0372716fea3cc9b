// The voice's own windows on Windows: the warnings (the voice-loading warning
// window and the number-too-large message box) and the properties dialog's
// window.
//
// A warning never holds up the call that raised it: it is shown on a thread
// of its own, which runs the window's message loop until the user closes it,
// while the speaking (or token-setting) thread goes on at once. While one
// warning of a kind is on screen, more of the same kind are not stacked on
// top of it. The thread keeps the module loaded until it has finished.
//
// The warnings are owned by the foreground window, which is disabled while
// the warning is open, but only when that window belongs to this process: a
// voice must not disable the windows of some other program the user happens
// to be working in.
// <windows.h> first: <shellapi.h> relies on what it declares.
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <new>
#include <string>

#include "platform/utf.h"
#include "ui/ui.h"
#include "ui/ui_resources.h"
#include "ui/ui_text.h"
#include "ui/word_panel.h"

namespace sonvale::ui {

namespace {

// ---- Text ----

std::wstring wide(const char* utf8) {
  if (utf8 == nullptr) return {};
  const std::u16string units = platform::utf8ToUtf16(utf8);
  return std::wstring(units.begin(), units.end());  // wchar_t is a UTF-16 code unit here
}

std::string narrow(const wchar_t* text) {
  std::u16string units;
  for (; text != nullptr && *text != L'\0'; ++text) units.push_back(static_cast<char16_t>(*text));
  return platform::utf16ToUtf8(units);
}

HMODULE moduleOf(const void* address, DWORD flags) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | flags, static_cast<LPCWSTR>(address), &module))
    return nullptr;
  return module;
}

// The foreground window when it belongs to this process, else null.
HWND ownWindowInForeground() {
  HWND window = GetForegroundWindow();
  if (window == nullptr) return nullptr;
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  return process == GetCurrentProcessId() ? window : nullptr;
}

// ---- The default warnings ----

constexpr wchar_t kWarningWindowClass[] = L"SonvaleReinstallWarning";

// The voice-loading warning window, in pixels.
constexpr int kWarningWidth = 480;
constexpr int kWarningHeight = 96;
constexpr int kWarningMargin = 12;
constexpr int kWarningTextHeight = 20;
constexpr int kWarningButtonWidth = 80;
constexpr int kWarningButtonHeight = 24;
constexpr int kWarningFontHeight = -12;  // 9 points at 96 dots per inch

// One flag per kind of warning: set while one is on screen.
std::atomic<bool> warningOpen[2];

std::atomic<bool>& openFlag(UserWarning warning) { return warningOpen[warning == UserWarning::VoiceDamaged ? 0 : 1]; }

struct WarningJob {
  UserWarning warning;
  UiLanguage language;
  HWND owner;
  HMODULE module;  // a reference of this thread's own, released as it ends
};

LRESULT CALLBACK warningWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) PostMessageW(window, WM_CLOSE, 0, 0);
      return 0;
    case WM_CLOSE: {
      // The owner is enabled before the warning goes, so that it, and not
      // some other program, becomes the active window again.
      HWND owner = GetWindow(window, GW_OWNER);
      if (owner != nullptr) EnableWindow(owner, TRUE);
      DestroyWindow(window);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

bool registerWarningClass(HINSTANCE instance) {
  WNDCLASSEXW existing{};
  existing.cbSize = sizeof existing;
  if (GetClassInfoExW(instance, kWarningWindowClass, &existing)) return true;
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = warningWindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kWarningWindowClass;
  // Two threads may race to register; the loser finds the class there.
  return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

void runReinstallWarning(const WarningJob& job) {
  const UiTexts& texts = uiTexts(job.language);
  const HINSTANCE instance = static_cast<HINSTANCE>(uiModuleInstance());
  if (!registerWarningClass(instance)) return;
  HWND window = CreateWindowExW(WS_EX_DLGMODALFRAME, kWarningWindowClass, wide(texts.reinstallCaption).c_str(),
                                WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT, 0, kWarningWidth,
                                kWarningHeight, job.owner, nullptr, instance, nullptr);
  if (window == nullptr) return;

  RECT client{};
  GetClientRect(window, &client);
  HFONT font =
      CreateFontW(kWarningFontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                  CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, wide(texts.uiFont).c_str());
  HWND text = CreateWindowExW(
      0, L"STATIC", wide(texts.reinstallMessage).c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, kWarningMargin,
      kWarningMargin / 2, client.right - 2 * kWarningMargin, kWarningTextHeight, window, nullptr, instance, nullptr);
  const int buttonTop = client.bottom - kWarningButtonHeight - kWarningMargin / 2;
  HWND button = CreateWindowExW(
      0, L"BUTTON", wide(texts.reinstallButton).c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
      (client.right - kWarningButtonWidth) / 2, buttonTop, kWarningButtonWidth, kWarningButtonHeight, window,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDOK)), instance, nullptr);
  for (HWND child : {text, button})
    if (child != nullptr && font != nullptr) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);

  if (job.owner != nullptr) EnableWindow(job.owner, FALSE);
  ShowWindow(window, SW_SHOWNORMAL);
  if (button != nullptr) SetFocus(button);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (IsDialogMessageW(window, &message)) continue;  // Enter, Escape and Tab
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (job.owner != nullptr && IsWindow(job.owner)) EnableWindow(job.owner, TRUE);
  if (font != nullptr) DeleteObject(font);
  // The system does not unregister a DLL's classes when it unloads; a class
  // left behind would point a later copy of the module at this one's code.
  UnregisterClassW(kWarningWindowClass, instance);
}

void runWarning(const WarningJob& job) {
  if (job.warning == UserWarning::VoiceDamaged) {
    runReinstallWarning(job);
    return;
  }
  const UiTexts& texts = uiTexts(job.language);
  MessageBoxW(job.owner, wide(texts.numberTooLargeMessage).c_str(), wide(texts.numberTooLargeCaption).c_str(), MB_OK);
}

DWORD WINAPI warningThread(void* parameter) {
  const WarningJob job = *static_cast<WarningJob*>(parameter);
  delete static_cast<WarningJob*>(parameter);
  try {
    runWarning(job);
  } catch (...) {
    // Out of memory for the texts: the warning goes unseen.
  }
  openFlag(job.warning).store(false);
  // Does not return: the module may go as soon as its reference is dropped.
  FreeLibraryAndExitThread(job.module, 0);
}

void showWarningWindow(UserWarning warning, const std::string& detail) {
  const std::string line = std::string("sonvale: ") + warningHeadline(warning) +
                           (detail.empty() ? std::string() : " (" + detail + ")") + "\n";
  OutputDebugStringW(wide(line.c_str()).c_str());  // the detail, for whoever debugs the host

  std::atomic<bool>& open = openFlag(warning);
  if (open.exchange(true)) return;  // the same warning is on screen already
  auto* job = new (std::nothrow) WarningJob{warning, currentUiLanguage(), ownWindowInForeground(), nullptr};
  if (job != nullptr) job->module = moduleOf(reinterpret_cast<const void*>(&warningThread), 0);
  HANDLE thread =
      job != nullptr && job->module != nullptr ? CreateThread(nullptr, 0, warningThread, job, 0, nullptr) : nullptr;
  if (thread == nullptr) {
    if (job != nullptr && job->module != nullptr) FreeLibrary(job->module);
    delete job;
    open.store(false);
    return;
  }
  CloseHandle(thread);
}

// ---- The properties dialog's window ----

constexpr int kDialogLists[kDialogListCount] = {IDC_PAUSE_SHORT_LIST, IDC_PAUSE_LONG_LIST, IDC_PITCH_LIST};

// The dialog's lists are resized to this, in pixels, when it opens.
constexpr int kListWidth = 70;
constexpr int kListHeight = 100;

constexpr COLORREF kLinkColour = RGB(0, 0, 255);

struct DialogRun {
  const DialogWindowRequest* request;
  HCURSOR hand;
};

DialogRun* runOf(HWND dialog) { return reinterpret_cast<DialogRun*>(GetWindowLongPtrW(dialog, DWLP_USER)); }

bool cursorOver(HWND dialog, int control) {
  HWND window = GetDlgItem(dialog, control);
  POINT cursor{};
  RECT rect{};
  return window != nullptr && GetCursorPos(&cursor) && GetWindowRect(window, &rect) && PtInRect(&rect, cursor);
}

void centreOnScreen(HWND dialog) {
  RECT rect{};
  GetWindowRect(dialog, &rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  SetWindowPos(dialog, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

void fillList(HWND dialog, std::size_t list, std::span<const char* const> choices, int selected) {
  HWND control = GetDlgItem(dialog, kDialogLists[list]);
  if (control == nullptr) return;
  SetWindowPos(control, nullptr, 0, 0, kListWidth, kListHeight, SWP_NOMOVE | SWP_NOZORDER);
  for (const char* choice : choices)
    SendMessageW(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(choice).c_str()));
  // The pause lists sort their items; finding the choice by its text keeps
  // the selection right whatever the order.
  LRESULT item = CB_ERR;
  if (selected >= 0 && static_cast<std::size_t>(selected) < choices.size())
    item = SendMessageW(control, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                        reinterpret_cast<LPARAM>(wide(choices[static_cast<std::size_t>(selected)]).c_str()));
  SendMessageW(control, CB_SETCURSEL, static_cast<WPARAM>(item == CB_ERR ? -1 : item), 0);
}

// The choice selected in a list, as an index into `choices`; -1 for none.
int selectedChoice(HWND dialog, std::size_t list, std::span<const char* const> choices) {
  HWND control = GetDlgItem(dialog, kDialogLists[list]);
  if (control == nullptr) return -1;
  const LRESULT item = SendMessageW(control, CB_GETCURSEL, 0, 0);
  if (item == CB_ERR) return -1;
  const LRESULT length = SendMessageW(control, CB_GETLBTEXTLEN, static_cast<WPARAM>(item), 0);
  if (length == CB_ERR || length < 0) return -1;
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  SendMessageW(control, CB_GETLBTEXT, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(text.data()));
  const std::string chosen = narrow(text.c_str());
  for (std::size_t i = 0; i < choices.size(); ++i)
    if (chosen == choices[i]) return static_cast<int>(i);
  return -1;
}

void showState(HWND dialog, const DialogWindowRequest& request, const DialogWindowState& state) {
  for (std::size_t list = 0; list < kDialogListCount; ++list)
    fillList(dialog, list, request.listChoices[list], state.listIndex[list]);
  CheckDlgButton(dialog, IDC_READ_PUNCTUATION, state.readPunctuation ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(dialog, IDC_DIGIT_READ, state.digitRead ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(dialog, IDC_NUMBER_READ, state.numberRead ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(dialog, IDC_FAST_SPEECH, state.fastSpeech ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(dialog, IDC_SMOOTH_CUTS, state.smoothCuts ? BST_CHECKED : BST_UNCHECKED);
  SetDlgItemTextW(dialog, IDC_LINK_HOME_PAGE, wide(request.homePageUrl).c_str());
  SetDlgItemTextW(dialog, IDC_LINK_ISSUES, wide(request.issuesUrl).c_str());
}

DialogWindowState readState(HWND dialog, const DialogWindowRequest& request) {
  DialogWindowState state;
  for (std::size_t list = 0; list < kDialogListCount; ++list)
    state.listIndex[list] = selectedChoice(dialog, list, request.listChoices[list]);
  state.readPunctuation = IsDlgButtonChecked(dialog, IDC_READ_PUNCTUATION) == BST_CHECKED;
  state.digitRead = IsDlgButtonChecked(dialog, IDC_DIGIT_READ) == BST_CHECKED;
  state.numberRead = IsDlgButtonChecked(dialog, IDC_NUMBER_READ) == BST_CHECKED;
  state.fastSpeech = IsDlgButtonChecked(dialog, IDC_FAST_SPEECH) == BST_CHECKED;
  state.smoothCuts = IsDlgButtonChecked(dialog, IDC_SMOOTH_CUTS) == BST_CHECKED;
  return state;
}

void openLink(HWND dialog, const char* address) {
  if (address == nullptr || *address == '\0') return;
  ShellExecuteW(dialog, L"open", wide(address).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  // Nothing may unwind through the system's dialog code: an exception (out
  // of memory) ends the handling of that one message.
  try {
    switch (message) {
      case WM_INITDIALOG: {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        const DialogRun* run = reinterpret_cast<DialogRun*>(lParam);
        centreOnScreen(dialog);
        const DialogWindowRequest& request = *run->request;
        showState(dialog, request, request.start != nullptr ? request.start(request.context) : DialogWindowState{});
        return TRUE;  // the system sets the focus
      }
      case WM_COMMAND: {
        const DialogRun* run = runOf(dialog);
        if (run == nullptr) return TRUE;
        if (LOWORD(wParam) == IDOK) {
          if (run->request->ok != nullptr &&
              !run->request->ok(run->request->context, readState(dialog, *run->request))) {
            const UiTexts& texts = uiTexts(currentUiLanguage());
            MessageBoxW(dialog, wide(texts.settingsNotSaved).c_str(), wide(texts.dialogCaption).c_str(),
                        MB_OK | MB_ICONWARNING);
          }
          EndDialog(dialog, 0);
        } else if (LOWORD(wParam) == IDCANCEL) {
          EndDialog(dialog, 0);
        }
        return TRUE;
      }
      case WM_CTLCOLORSTATIC: {
        const int control = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
        if (control != IDC_LINK_HOME_PAGE && control != IDC_LINK_ISSUES && control != IDC_VISIT_WEBSITE) return FALSE;
        HDC dc = reinterpret_cast<HDC>(wParam);
        if (control != IDC_VISIT_WEBSITE) SetTextColor(dc, kLinkColour);
        SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<INT_PTR>(GetStockObject(HOLLOW_BRUSH));
      }
      case WM_SETCURSOR: {
        // The link labels let the mouse through to the dialog (they have no
        // SS_NOTIFY), so the dialog chooses the cursor over them.
        const DialogRun* run = runOf(dialog);
        if (run == nullptr || run->hand == nullptr || LOWORD(lParam) != HTCLIENT) return FALSE;
        if (!cursorOver(dialog, IDC_LINK_HOME_PAGE) && !cursorOver(dialog, IDC_LINK_ISSUES)) return FALSE;
        SetCursor(run->hand);
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, TRUE);
        return TRUE;
      }
      case WM_LBUTTONDOWN: {
        const DialogRun* run = runOf(dialog);
        if (run == nullptr) return FALSE;
        if (cursorOver(dialog, IDC_LINK_HOME_PAGE)) {
          openLink(dialog, run->request->homePageUrl);
        } else if (cursorOver(dialog, IDC_LINK_ISSUES)) {
          openLink(dialog, run->request->issuesUrl);
        }
        return TRUE;
      }
      default:
        return FALSE;
    }
  } catch (...) {
    return FALSE;
  }
}

}  // namespace

void* uiModuleInstance() noexcept {
  return moduleOf(reinterpret_cast<const void*>(&uiModuleInstance), GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT);
}

bool runDialogWindow(const DialogWindowRequest& request) noexcept {
  if (request.templateName == nullptr) return false;
  try {
    const HINSTANCE instance = static_cast<HINSTANCE>(uiModuleInstance());
    DialogRun run{&request, LoadCursorW(instance, L"IDC_HAND")};
    const INT_PTR result =
        DialogBoxParamW(instance, wide(request.templateName).c_str(), static_cast<HWND>(request.parent), dialogProc,
                        reinterpret_cast<LPARAM>(&run));
    return result != -1;
  } catch (...) {
    return false;  // out of memory before the dialog was made
  }
}

void showDefaultWarning(UserWarning warning, const std::string& detail) { showWarningWindow(warning, detail); }

std::uint32_t userDefaultLcid() { return GetUserDefaultLCID(); }

namespace {

// When the module loads: before any engine object has chosen one, the UI
// language is the one of the user's default locale; and the word display
// panel is GDI's. This file is always linked (the engine
// shows warnings), so the panel's file is linked through it. The factory
// slot is constant-initialised, so the order of initialisation does not
// matter.
[[maybe_unused]] const bool installed = [] {
  setCurrentUiLanguage(uiLanguageFromLcid(userDefaultLcid()));
  setWordPanelFactory(createWin32WordPanel);
  return true;
}();

}  // namespace

}  // namespace sonvale::ui
