// Checks the voice's Windows user interface in real windows (under Wine with
// Xvfb, or on Windows): the properties dialog in its three languages, driven
// from a second thread as a user would drive it, with the settings it saves
// read back from the registry; the word display panel in a host window of the
// panel host class; the voice-loading warning window and the number-too-large
// message box. Every window checked is also captured to a BMP file in the
// directory given as the first argument (default: the working directory).
//
// Prints one line per check and exits with the number of failed checks.
// Links the UI code and the settings logic directly, not the COM module.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/word_record.h"
#include "settings/engine_settings.h"
#include "ui/ui.h"
#include "ui/ui_resources.h"
#include "ui/ui_text.h"
#include "ui/word_panel.h"
#include "ui/word_panel_text.h"

// ui/properties_dialog.h declares this with com.h's HWND (a void*);
// com.h and <windows.h> cannot meet in one file, so it is declared here.
struct ISpObjectToken;
namespace sonvale::ui {
void showPropertiesDialog(void* parent, ISpObjectToken* token);
}

// The speech API's token UI interface (the published IID and method order),
// declared with <windows.h>'s types. It stays outside the unnamed namespace:
// an interface with internal linkage and no implementation in this file lets
// GCC conclude that no call through it can happen.
struct TokenUi : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE IsUISupported(LPCWSTR typeOfUi, void* extraData, ULONG extraBytes, IUnknown* object,
                                                  BOOL* supported) = 0;
  virtual HRESULT STDMETHODCALLTYPE DisplayUI(HWND parent, LPCWSTR title, LPCWSTR typeOfUi, void* extraData,
                                              ULONG extraBytes, IUnknown* token, IUnknown* object) = 0;
};

namespace {

using namespace sonvale;
using ui::UiLanguage;

constexpr wchar_t kSettingsKey[] =
    L"Software\\Microsoft\\Speech\\Voices\\Tokens\\REZuroruRadarorud\\UI\\EngineProperties";
constexpr auto kPatience = std::chrono::seconds(20);  // for windows to appear; never a timing check

std::wstring artefactDir = L".";
std::wstring modulePath;  // Sonvale.dll, for the check through its own entry points

// ---- a tiny check harness --------------------------------------------------

struct Outcome {
  std::vector<std::string> failures;

  void expect(bool condition, const std::string& what) {
    if (!condition) failures.push_back(what);
  }
  template <typename T>
  void expectEq(const T& actual, const T& expected, const std::string& what) {
    if (!(actual == expected))
      failures.push_back(what + ": got " + text(actual) + ", expected " + text(expected));
  }

 private:
  static std::string text(const std::string& s) { return "\"" + s + "\""; }
  static std::string text(long long v) { return std::to_string(v); }
  static std::string text(bool v) { return v ? "true" : "false"; }
};

struct Check {
  const char* name;
  void (*run)(Outcome& out);
};

// ---- text and windows ------------------------------------------------------

std::wstring wide(const char* utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(std::max(n, 1)), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), n);
  out.resize(std::wcslen(out.c_str()));
  return out;
}

std::string utf8(const std::wstring& text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(std::max(n, 1)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
  out.resize(std::strlen(out.c_str()));
  return out;
}

std::string windowText(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return utf8(text);
}

std::string className(HWND window) {
  wchar_t name[128] = {};
  GetClassNameW(window, name, 128);
  return utf8(name);
}

// Polls until `found` gives a window or the patience runs out.
HWND waitForWindow(const std::function<HWND()>& found) {
  const auto end = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < end) {
    if (HWND window = found()) return window;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return nullptr;
}

// Runs this thread's messages until `done` or the patience runs out.
bool pumpUntil(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < end) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (done()) return true;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  return false;
}

void pumpFor(int milliseconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  pumpUntil([&] { return std::chrono::steady_clock::now() >= end; });
}

// What the screen shows of a window, as 32-bit pixels, top row first.
struct Shot {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;  // 0x00RRGGBB

  COLORREF at(int x, int y) const {
    const std::uint32_t p = pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
  }
};

Shot capture(HWND window) {
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // lets the X server catch up
  RECT rect{};
  GetWindowRect(window, &rect);
  Shot shot;
  shot.width = rect.right - rect.left;
  shot.height = rect.bottom - rect.top;
  if (shot.width <= 0 || shot.height <= 0) return shot;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = shot.width;
  info.bmiHeader.biHeight = -shot.height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap != nullptr && bits != nullptr) {
    HGDIOBJ before = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, shot.width, shot.height, screen, rect.left, rect.top, SRCCOPY | CAPTUREBLT);
    GdiFlush();
    const auto* p = static_cast<const std::uint32_t*>(bits);
    shot.pixels.assign(p, p + static_cast<std::size_t>(shot.width) * static_cast<std::size_t>(shot.height));
    SelectObject(memory, before);
  }
  if (bitmap != nullptr) DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return shot;
}

// Writes the shot as a 24-bit BMP file named `name`.bmp in the artefact directory.
bool save(const Shot& shot, const char* name) {
  if (shot.pixels.empty()) return false;
  const std::wstring path = artefactDir + L"\\" + wide(name) + L".bmp";
  const int stride = (shot.width * 3 + 3) & ~3;
  std::vector<unsigned char> image(static_cast<std::size_t>(stride) * shot.height);
  for (int y = 0; y < shot.height; ++y) {
    unsigned char* row = image.data() + static_cast<std::size_t>(shot.height - 1 - y) * stride;  // bottom-up
    for (int x = 0; x < shot.width; ++x) {
      const COLORREF c = shot.at(x, y);
      row[3 * x] = GetBValue(c);
      row[3 * x + 1] = GetGValue(c);
      row[3 * x + 2] = GetRValue(c);
    }
  }
  BITMAPINFOHEADER header{};
  header.biSize = sizeof header;
  header.biWidth = shot.width;
  header.biHeight = shot.height;
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  header.biSizeImage = static_cast<DWORD>(image.size());
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof header;
  file.bfSize = static_cast<DWORD>(file.bfOffBits + image.size());
  FILE* out = _wfopen(path.c_str(), L"wb");
  if (out == nullptr) return false;
  const bool ok = std::fwrite(&file, sizeof file, 1, out) == 1 && std::fwrite(&header, sizeof header, 1, out) == 1 &&
                  std::fwrite(image.data(), 1, image.size(), out) == image.size();
  return std::fclose(out) == 0 && ok;
}

// Pixels of a region whose colour `is` says yes to. Text is anti-aliased,
// so its pixels are told by hue rather than by exact colour.
int countWhere(const Shot& shot, RECT region, bool (*is)(int r, int g, int b)) {
  int count = 0;
  for (int y = std::max<LONG>(0, region.top); y < std::min<LONG>(shot.height, region.bottom); ++y)
    for (int x = std::max<LONG>(0, region.left); x < std::min<LONG>(shot.width, region.right); ++x) {
      const COLORREF c = shot.at(x, y);
      if (is(GetRValue(c), GetGValue(c), GetBValue(c))) ++count;
    }
  return count;
}

bool isDarkRed(int r, int g, int b) { return r >= g + 50 && r >= b + 50; }          // RGB(128, 0, 0) blended
bool isPurple(int r, int g, int b) { return r >= g + 40 && b >= g + 40 && std::abs(r - b) < 40; }  // RGB(128, 0, 128)
bool isBlue(int r, int g, int b) { return b >= r + 60 && b >= g + 60; }              // RGB(0, 0, 255)
bool isDark(int r, int g, int b) { return r + g + b < 3 * 110; }                     // black

// Pixels of a region close to `colour` (each channel within `tolerance`).
int countNear(const Shot& shot, RECT region, COLORREF colour, int tolerance = 40) {
  int count = 0;
  for (int y = std::max<LONG>(0, region.top); y < std::min<LONG>(shot.height, region.bottom); ++y)
    for (int x = std::max<LONG>(0, region.left); x < std::min<LONG>(shot.width, region.right); ++x) {
      const COLORREF c = shot.at(x, y);
      if (std::abs(GetRValue(c) - GetRValue(colour)) <= tolerance &&
          std::abs(GetGValue(c) - GetGValue(colour)) <= tolerance &&
          std::abs(GetBValue(c) - GetBValue(colour)) <= tolerance)
        ++count;
    }
  return count;
}

// ---- the registry ----------------------------------------------------------

struct StoredDword {
  bool present = false;
  DWORD type = 0;
  DWORD value = 0;
};

StoredDword readSetting(const wchar_t* name) {
  StoredDword stored;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return stored;
  DWORD size = sizeof stored.value;
  stored.present = RegQueryValueExW(key, name, nullptr, &stored.type, reinterpret_cast<BYTE*>(&stored.value),
                                    &size) == ERROR_SUCCESS &&
                   size == 4;
  RegCloseKey(key);
  return stored;
}

// One value of the settings key as a test leaves it.
struct Seed {
  const wchar_t* name;
  bool present;
  DWORD value;
};

// Replaces the settings key with one holding `seeds`.
bool seedSettings(const std::vector<Seed>& seeds) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKey);
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;
  bool ok = true;
  for (const Seed& seed : seeds)
    if (seed.present)
      ok = ok && RegSetValueExW(key, seed.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&seed.value), 4) ==
                     ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

// ---- the properties dialog -------------------------------------------------

// Which list item (by text), check box and radio buttons the dialog shows.
struct ControlsSeen {
  std::string pauseShort, pauseLong, pitch;  // "" when nothing is selected
  bool readPunctuation = false, digitRead = false, numberRead = false;
  bool smoothCuts = true;  // check box 230

  friend bool operator==(const ControlsSeen&, const ControlsSeen&) = default;
};

std::string selectedText(HWND dialog, int list) {
  HWND control = GetDlgItem(dialog, list);
  const LRESULT item = SendMessageW(control, CB_GETCURSEL, 0, 0);
  if (item == CB_ERR) return "";
  wchar_t text[64] = {};
  SendMessageW(control, CB_GETLBTEXT, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(text));
  return utf8(text);
}

ControlsSeen controlsSeen(HWND dialog) {
  ControlsSeen seen;
  seen.pauseShort = selectedText(dialog, IDC_PAUSE_SHORT_LIST);
  seen.pauseLong = selectedText(dialog, IDC_PAUSE_LONG_LIST);
  seen.pitch = selectedText(dialog, IDC_PITCH_LIST);
  seen.readPunctuation = IsDlgButtonChecked(dialog, IDC_READ_PUNCTUATION) == BST_CHECKED;
  seen.digitRead = IsDlgButtonChecked(dialog, IDC_DIGIT_READ) == BST_CHECKED;
  seen.numberRead = IsDlgButtonChecked(dialog, IDC_NUMBER_READ) == BST_CHECKED;
  seen.smoothCuts = IsDlgButtonChecked(dialog, IDC_SMOOTH_CUTS) == BST_CHECKED;
  return seen;
}

std::string describe(const ControlsSeen& c) {
  return "lists [" + c.pauseShort + "|" + c.pauseLong + "|" + c.pitch + "] check " +
         (c.readPunctuation ? "on" : "off") + " radios " + (c.digitRead ? "216" : "") + (c.numberRead ? "217" : "") +
         " smooth " + (c.smoothCuts ? "on" : "off");
}

void selectText(HWND dialog, int list, const char* text) {
  HWND control = GetDlgItem(dialog, list);
  const std::wstring w = wide(text);
  const LRESULT item = SendMessageW(control, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(w.c_str()));
  SendMessageW(control, CB_SETCURSEL, static_cast<WPARAM>(item), 0);
}

enum class Close { Ok, Cancel };

struct DialogCase {
  const char* name;
  UiLanguage language;
  std::vector<Seed> seeds;          // the settings key when the dialog opens
  std::int32_t inMemory[5];         // PuncShort, PuncLong, VoiceStyle, ReadPunctuation, ReadNumber before
  ControlsSeen shown;               // what the dialog must show when it opens
  std::function<void(HWND)> act;    // what the user does
  Close close;
  std::int32_t expected[5];         // in memory afterwards, same order
  bool written;                     // the key holds `expected` afterwards; else it holds none of the five
  int pitchListX;                   // the template's x of list 223, in dialog units
  int checkBoxX;                    // and of check box 215
};

const wchar_t* const kValueNames[5] = {L"PuncShort", L"PuncLong", L"VoiceStyle", L"ReadPunctuation", L"ReadNumber"};

void setInMemory(const std::int32_t (&v)[5]) {
  settings::EngineSettings& s = settings::engineSettings();
  s.puncShort.store(v[0]);
  s.puncLong.store(v[1]);
  s.voiceStyle.store(v[2]);
  s.readPunctuation.store(v[3]);
  s.readNumber.store(v[4]);
}

std::vector<std::int32_t> inMemory() {
  const settings::EngineSettings& s = settings::engineSettings();
  return {s.puncShort.load(), s.puncLong.load(), s.voiceStyle.load(), s.readPunctuation.load(), s.readNumber.load()};
}

// Waits for a visible dialog with this caption; null when none comes.
HWND waitForDialog(const std::wstring& caption) {
  return waitForWindow([&] {
    HWND w = FindWindowW(L"#32770", caption.c_str());
    return w != nullptr && IsWindowVisible(w) ? w : nullptr;
  });
}

// The texts of the dialog's children, by control identifier where it has one.
void checkTemplateTexts(Outcome& out, HWND dialog, UiLanguage language, const std::string& where) {
  const ui::UiTexts& t = ui::uiTexts(language);
  out.expectEq(windowText(dialog), std::string(t.dialogCaption), where + " caption");
  const std::pair<int, const char*> labelled[] = {{IDC_PUNCTUATION_GROUP, t.punctuationGroup},
                                                  {IDC_PAUSE_SHORT_LABEL, t.pausePunLabel},
                                                  {IDC_PAUSE_LONG_LABEL, t.stopPuncLabel},
                                                  {IDC_NUMBER_GROUP, t.numberGroup},
                                                  {IDC_DIGIT_READ, t.digitRead},
                                                  {IDC_NUMBER_READ, t.numberRead},
                                                  {IDC_READ_PUNCTUATION, t.readPunctuation},
                                                  {IDC_FAST_SPEECH, t.fastSpeech},
                                                  {IDC_SMOOTH_CUTS, t.smoothCuts},
                                                  {IDC_VISIT_WEBSITE, t.visitWebsite},
                                                  {IDOK, t.ok},
                                                  {IDCANCEL, t.cancel},
                                                  {IDC_LINK_HOME_PAGE, ui::kHomePageUrl},
                                                  {IDC_LINK_ISSUES, ui::kIssuesUrl}};
  for (const auto& [id, text] : labelled)
    out.expectEq(windowText(GetDlgItem(dialog, id)), std::string(text), where + " text of control " + std::to_string(id));
  // The pitch group box and its label have no identifier of their own.
  std::vector<std::string> texts;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
    texts.push_back(windowText(child));
  for (const char* text : {t.pitchGroup, t.pitchSelectLabel})
    out.expect(std::find(texts.begin(), texts.end(), text) != texts.end(), where + " has \"" + text + "\"");
}

// A control's top-left corner in the dialog's client area, in pixels.
POINT controlCorner(HWND dialog, int id) {
  RECT rect{};
  GetWindowRect(GetDlgItem(dialog, id), &rect);
  POINT corner{rect.left, rect.top};
  ScreenToClient(dialog, &corner);
  return corner;
}

// The template's (x, y) in dialog units, in pixels of this dialog's font.
POINT dialogUnits(HWND dialog, int x, int y) {
  RECT rect{x, y, x, y};
  MapDialogRect(dialog, &rect);
  return {rect.left, rect.top};
}

void runDialogCase(Outcome& out, const DialogCase& c) {
  const std::string where = c.name;
  ui::setCurrentUiLanguage(c.language);
  out.expect(seedSettings(c.seeds), where + ": settings key seeded");
  setInMemory(c.inMemory);

  const std::wstring caption = wide(ui::uiTexts(c.language).dialogCaption);
  std::atomic<bool> driven{false};
  std::thread driver([&] {
    HWND dialog = waitForDialog(caption);
    out.expect(dialog != nullptr, where + ": dialog appeared");
    if (dialog == nullptr) return;
    checkTemplateTexts(out, dialog, c.language, where);

    const ControlsSeen shown = controlsSeen(dialog);
    out.expect(shown == c.shown, where + ": opened with " + describe(shown) + ", expected " + describe(c.shown));

    // Centred on the screen.
    RECT rect{};
    GetWindowRect(dialog, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    out.expectEq<long long>(rect.left, (GetSystemMetrics(SM_CXSCREEN) - width) / 2, where + ": dialog x");
    out.expectEq<long long>(rect.top, (GetSystemMetrics(SM_CYSCREEN) - height) / 2, where + ": dialog y");
    // The template of this language, placed in dialog units.
    const POINT check = controlCorner(dialog, IDC_READ_PUNCTUATION);
    out.expectEq<long long>(check.x, dialogUnits(dialog, c.checkBoxX, 82).x, where + ": check box 215 x");
    // Every list is resized to 70 pixels wide without moving. (How much of
    // the 100 pixels' height goes to the dropped list is the system's
    // business.)
    const int listPlaces[][3] = {{IDC_PAUSE_SHORT_LIST, 163, 17}, {IDC_PAUSE_LONG_LIST, 255, 17},
                                 {IDC_PITCH_LIST, c.pitchListX, 50}};
    for (const auto& [list, x, y] : listPlaces) {
      RECT listRect{};
      GetWindowRect(GetDlgItem(dialog, list), &listRect);
      out.expectEq<long long>(listRect.right - listRect.left, 70, where + ": width of list " + std::to_string(list));
      const POINT corner = controlCorner(dialog, list);
      const POINT placed = dialogUnits(dialog, x, y);
      out.expect(corner.x == placed.x && corner.y == placed.y, where + ": list " + std::to_string(list) + " not moved");
    }

    const Shot shot = capture(dialog);
    save(shot, (std::string("dialog_") + c.name).c_str());
    // The link labels in blue; the hand cursor over them.
    const HCURSOR hand = LoadCursorW(static_cast<HINSTANCE>(ui::uiModuleInstance()), L"IDC_HAND");
    for (int link : {IDC_LINK_HOME_PAGE, IDC_LINK_ISSUES}) {
      RECT linkRect{};
      GetWindowRect(GetDlgItem(dialog, link), &linkRect);
      OffsetRect(&linkRect, -rect.left, -rect.top);
      out.expect(countWhere(shot, linkRect, isBlue) > 20, where + ": link " + std::to_string(link) + " in blue");
      GetWindowRect(GetDlgItem(dialog, link), &linkRect);
      SetCursorPos((linkRect.left + linkRect.right) / 2, (linkRect.top + linkRect.bottom) / 2);
      CURSORINFO cursor{};
      cursor.cbSize = sizeof cursor;
      const bool handShown = waitForWindow([&] {
        return GetCursorInfo(&cursor) && cursor.hCursor == hand ? dialog : nullptr;
      }) != nullptr;
      out.expect(handShown, where + ": hand cursor over link " + std::to_string(link));
    }
    SetCursorPos(rect.left + 5, rect.bottom - 5);
    if (c.act) c.act(dialog);
    if (c.act) save(capture(dialog), (std::string("dialog_") + c.name + "_changed").c_str());
    SendMessageW(GetDlgItem(dialog, c.close == Close::Ok ? IDOK : IDCANCEL), BM_CLICK, 0, 0);
    driven.store(true);
  });
  ui::showPropertiesDialog(nullptr, nullptr);
  driver.join();
  out.expect(driven.load(), where + ": the dialog was closed by its button");

  const std::vector<std::int32_t> after = inMemory();
  for (std::size_t i = 0; i < 5; ++i) {
    const std::string name = utf8(kValueNames[i]);
    out.expectEq<long long>(after[i], c.expected[i], where + ": " + name + " in memory");
    const StoredDword stored = readSetting(kValueNames[i]);
    if (c.written) {
      out.expect(stored.present && stored.type == REG_DWORD, where + ": " + name + " stored as REG_DWORD");
      out.expectEq<long long>(stored.value, static_cast<DWORD>(c.expected[i]), where + ": " + name + " in the registry");
    } else {
      out.expect(!stored.present, where + ": " + name + " not written");
    }
  }
}

// OK against a settings key that refuses writes, as the machine's key does
// for a user without an administrator's rights: the new values stay in this
// process, the key keeps the old ones, and a message in the UI language says
// why before the dialog closes.
void checkSettingsNotSaved(Outcome& out) {
  const std::string where = "settings not saved";
  ui::setCurrentUiLanguage(UiLanguage::English);
  const ui::UiTexts& t = ui::uiTexts(UiLanguage::English);
  out.expect(seedSettings({{L"PuncShort", true, 5000},
                           {L"PuncLong", true, 15000},
                           {L"VoiceStyle", true, 0},
                           {L"ReadPunctuation", true, 0},
                           {L"ReadNumber", true, 0}}),
             where + ": settings key seeded");
  setInMemory({5000, 15000, 0, 0, 0});

  // Everyone may read the key and no one may write it; the handle kept with
  // WRITE_DAC puts the open access back afterwards.
  HKEY guarded = nullptr;
  out.expect(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, READ_CONTROL | WRITE_DAC, &guarded) == ERROR_SUCCESS,
             where + ": key opened for its access list");
  if (guarded == nullptr) return;
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
  alignas(DWORD) BYTE aclBytes[256];
  ACL* acl = reinterpret_cast<ACL*>(aclBytes);
  SECURITY_DESCRIPTOR readOnly{};
  const bool denied = everyone != nullptr && InitializeAcl(acl, sizeof aclBytes, ACL_REVISION) &&
                      AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, everyone) &&
                      InitializeSecurityDescriptor(&readOnly, SECURITY_DESCRIPTOR_REVISION) &&
                      SetSecurityDescriptorDacl(&readOnly, TRUE, acl, FALSE) &&
                      RegSetKeySecurity(guarded, DACL_SECURITY_INFORMATION, &readOnly) == ERROR_SUCCESS;
  HKEY probe = nullptr;
  const bool refuses = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_SET_VALUE, &probe) != ERROR_SUCCESS;
  if (probe != nullptr) RegCloseKey(probe);
  out.expect(denied && refuses, where + ": the key refuses writes");

  const std::wstring caption = wide(t.dialogCaption);
  const std::string message = t.settingsNotSaved;
  std::atomic<bool> told{false};
  std::thread driver([&] {
    HWND dialog = waitForDialog(caption);
    out.expect(dialog != nullptr, where + ": dialog appeared");
    if (dialog == nullptr) return;
    selectText(dialog, IDC_PITCH_LIST, "2");
    // Posted: the dialog's thread stays in the message box until it is closed.
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    // The message box has the dialog's caption; it is the one showing the text.
    HWND box = waitForWindow([&]() -> HWND {
      for (HWND w = FindWindowExW(nullptr, nullptr, L"#32770", caption.c_str()); w != nullptr;
           w = FindWindowExW(nullptr, w, L"#32770", caption.c_str())) {
        for (HWND child = GetWindow(w, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
          if (IsWindowVisible(w) && windowText(child) == message) return w;
      }
      return nullptr;
    });
    out.expect(box != nullptr, where + ": the message says that changing the settings needs administrator rights");
    if (box == nullptr) {
      PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
      return;
    }
    save(capture(box), "settings_not_saved");
    told.store(true);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  });
  ui::showPropertiesDialog(nullptr, nullptr);
  driver.join();
  out.expect(told.load(), where + ": the user was told before the dialog closed");

  SECURITY_DESCRIPTOR anyone{};
  InitializeSecurityDescriptor(&anyone, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&anyone, TRUE, nullptr, FALSE);  // no list: every access allowed
  RegSetKeySecurity(guarded, DACL_SECURITY_INFORMATION, &anyone);
  RegCloseKey(guarded);
  if (everyone != nullptr) FreeSid(everyone);

  out.expectEq<long long>(inMemory()[2], 2, where + ": VoiceStyle 2 in memory for this process");
  const StoredDword stored = readSetting(L"VoiceStyle");
  out.expect(stored.present && stored.value == 0, where + ": VoiceStyle still 0 in the registry");
}

void clickRadio(HWND dialog, int id) { SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

const std::vector<DialogCase>& dialogCases() {
  static const std::vector<DialogCase> cases = {
      // The defaults shown, then every control changed. VoiceStyle -1 is
      // stored as 0xFFFFFFFF.
      {"english_defaults_changed",
       UiLanguage::English,
       {{L"PuncShort", true, 5000}, {L"PuncLong", true, 15000}, {L"VoiceStyle", true, 0},
        {L"ReadPunctuation", true, 0}, {L"ReadNumber", true, 0}},
       {1, 2, 3, 4, 5},
       {"5000", "15000", "0", false, true, false},
       [](HWND d) {
         selectText(d, IDC_PAUSE_SHORT_LIST, "7000");
         selectText(d, IDC_PAUSE_LONG_LIST, "13000");
         selectText(d, IDC_PITCH_LIST, "-1");
         SendMessageW(GetDlgItem(d, IDC_READ_PUNCTUATION), BM_CLICK, 0, 0);
         clickRadio(d, IDC_NUMBER_READ);
       },
       Close::Ok,
       {7000, 13000, -1, 1, 1},
       true,
       191,
       245},
      // Values outside the choices: no item selected, check box off for 7,
      // neither radio for 2; OK untouched keeps the lists' and ReadNumber's
      // values and stores ReadPunctuation 0 (the box is off).
      {"simplified_values_outside_choices",
       UiLanguage::SimplifiedChinese,
       {{L"PuncShort", true, 4500}, {L"PuncLong", true, 17000}, {L"VoiceStyle", true, 3},
        {L"ReadPunctuation", true, 7}, {L"ReadNumber", true, 2}},
       {1, 2, 3, 4, 5},
       {"", "17000", "3", false, false, false},
       nullptr,
       Close::Ok,
       {4500, 17000, 3, 0, 2},
       true,
       173,
       240},
      // Nothing stored: the in-memory values are shown; Cancel after changes
      // stores nothing and leaves them as they were.
      {"traditional_cancel",
       UiLanguage::TraditionalChinese,
       {},
       {3000, 16000, 1, 1, 1},
       {"3000", "16000", "1", true, false, true},
       [](HWND d) {
         selectText(d, IDC_PITCH_LIST, "2");
         clickRadio(d, IDC_DIGIT_READ);
       },
       Close::Cancel,
       {3000, 16000, 1, 1, 1},
       false,
       167,
       240},
      // The same with OK: the in-memory values are saved with the changes.
      {"traditional_ok",
       UiLanguage::TraditionalChinese,
       {},
       {3000, 16000, 1, 1, 1},
       {"3000", "16000", "1", true, false, true},
       [](HWND d) {
         selectText(d, IDC_PITCH_LIST, "2");
         clickRadio(d, IDC_DIGIT_READ);
       },
       Close::Ok,
       {3000, 16000, 2, 1, 0},
       true,
       167,
       240},
  };
  return cases;
}

void checkDialogs(Outcome& out) {
  for (const DialogCase& c : dialogCases()) runDialogCase(out, c);
}

void checkHandCursor(Outcome& out) {
  out.expect(LoadCursorW(static_cast<HINSTANCE>(ui::uiModuleInstance()), L"IDC_HAND") != nullptr,
             "the module has the cursor IDC_HAND");
  out.expect(
      LoadImageW(static_cast<HINSTANCE>(ui::uiModuleInstance()), L"IDB_ENGINEUI", IMAGE_BITMAP, 0, 0, 0) != nullptr,
      "the module has the bitmap IDB_ENGINEUI");
}

// ---- the word display panel ------------------------------------------------

constexpr wchar_t kFrameClass[] = L"SonvaleCheckFrame";
constexpr int kHostWidth = 480;
constexpr int kHostHeight = 120;

LRESULT CALLBACK frameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(window, message, wParam, lParam);
}

void registerClasses() {
  WNDCLASSEXW frame{};
  frame.cbSize = sizeof frame;
  frame.lpfnWndProc = frameProc;
  frame.hInstance = GetModuleHandleW(nullptr);
  frame.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  frame.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  frame.lpszClassName = kFrameClass;
  RegisterClassExW(&frame);
  WNDCLASSEXW host = frame;
  host.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
  static const std::wstring hostClass = wide(ui::kPanelHostClass);
  host.lpszClassName = hostClass.c_str();
  RegisterClassExW(&host);
}

// A frame window holding, two levels down, a window of the host class.
struct HostFrame {
  HWND frame = nullptr;
  HWND middle = nullptr;
  HWND host = nullptr;

  explicit HostFrame(bool withHost, const wchar_t* title = L"Sonvale panel host") {
    frame = CreateWindowExW(0, kFrameClass, title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, kHostWidth + 40,
                            kHostHeight + 80, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    // A sibling before the host's branch, so the search has somewhere to go first.
    CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, frame, nullptr, nullptr, nullptr);
    middle = CreateWindowExW(0, kFrameClass, L"", WS_CHILD | WS_VISIBLE, 10, 10, kHostWidth + 4, kHostHeight + 4,
                             frame, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (withHost) {
      static const std::wstring hostClass = wide(ui::kPanelHostClass);
      host = CreateWindowExW(0, hostClass.c_str(), L"", WS_CHILD | WS_VISIBLE, 2, 2, kHostWidth, kHostHeight, middle,
                             nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    SetForegroundWindow(frame);
    pumpUntil([&] { return GetForegroundWindow() == frame; });
  }
  ~HostFrame() {
    if (IsWindow(frame)) DestroyWindow(frame);
    pumpFor(50);
  }
};

WordRecord sampleWord(const char16_t* text, std::initializer_list<const char*> romanizations, const char16_t* note) {
  WordRecord word;
  word.clear();
  std::char_traits<char16_t>::copy(word.text, text, std::char_traits<char16_t>::length(text));
  std::size_t i = 0;
  for (const char* r : romanizations) std::strncpy(word.romanization[i++], r, 8);
  std::char_traits<char16_t>::copy(word.note, note, std::char_traits<char16_t>::length(note));
  return word;
}

// Makes a panel from another thread, as an engine made on SAPI's thread
// would, while this (the host's) thread answers its messages.
std::unique_ptr<ui::WordPanel> panelFromOtherThread(UiLanguage language, ui::PanelLinesSource source) {
  std::unique_ptr<ui::WordPanel> panel;
  std::atomic<bool> done{false};
  std::thread maker([&] {
    panel = ui::createWordPanel(language, std::move(source));
    done.store(true);
  });
  pumpUntil([&] { return done.load(); });
  maker.join();
  return panel;
}

struct PanelCase {
  const char* name;
  UiLanguage language;
  WordRecord word;
  bool drawn;  // a word of two or more characters
};

void checkPanel(Outcome& out) {
  const std::vector<PanelCase> cases = {
      {"english", UiLanguage::English, sampleWord(u"廣州話", {"gwong2", "zau1", "waa2"}, u"Cantonese as spoken in Guangzhou"), true},
      {"simplified", UiLanguage::SimplifiedChinese, sampleWord(u"唔该", {"m4", "goi1"}, u"多谢别人帮忙时讲"), true},
      {"traditional", UiLanguage::TraditionalChinese, sampleWord(u"早晨", {"zou2", "san4"}, u"早上见面时的问候语,一直讲到中午"), true},
      {"single_character", UiLanguage::English, sampleWord(u"好", {"hou2"}, u"good"), false},
  };
  for (const PanelCase& c : cases) {
    const std::string where = std::string("panel ") + c.name;
    HostFrame frame(true);
    out.expect(GetForegroundWindow() == frame.frame, where + ": the host frame is in the foreground");
    const WordRecord word = c.word;
    auto panel = panelFromOtherThread(c.language, [word] { return ui::panelLines(word); });
    out.expect(panel != nullptr, where + ": panel made");
    if (panel == nullptr) continue;
    HWND control = GetDlgItem(frame.host, 99997);
    out.expect(control != nullptr && className(control) == "Static", where + ": STATIC 99997 in the host");
    RECT client{};
    GetClientRect(control, &client);
    out.expectEq<long long>(client.right, kHostWidth, where + ": panel width");
    out.expectEq<long long>(client.bottom, kHostHeight, where + ": panel height");
    panel->invalidate();
    pumpFor(300);
    RECT screenRect{};
    GetWindowRect(frame.host, &screenRect);
    const Shot hostShot = [&] {
      Shot s;
      std::thread shooter([&] { s = capture(frame.frame); });
      pumpUntil([&] { return !s.pixels.empty(); });
      shooter.join();
      return s;
    }();
    save(hostShot, ("panel_" + std::string(c.name)).c_str());
    RECT frameRect{};
    GetWindowRect(frame.frame, &frameRect);
    const int dx = screenRect.left - frameRect.left;
    const int dy = screenRect.top - frameRect.top;
    const RECT wordBand{dx, dy, dx + kHostWidth, dy + 20};
    const RECT romanBand{dx, dy + 20, dx + kHostWidth, dy + 40};
    const RECT noteBand{dx, dy + 40, dx + kHostWidth, dy + kHostHeight};
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const int area = kHostWidth * kHostHeight;
    if (c.drawn) {
      out.expect(countWhere(hostShot, wordBand, isDarkRed) > 20, where + ": the word in dark red");
      out.expect(countWhere(hostShot, romanBand, isPurple) > 20, where + ": the romanized line in purple");
      out.expect(countWhere(hostShot, noteBand, isDark) > 20, where + ": the note in black");
      out.expectEq<long long>(countWhere(hostShot, wordBand, isPurple), 0, where + ": no purple in the word's band");
      out.expectEq<long long>(countWhere(hostShot, romanBand, isDarkRed), 0, where + ": no red in the romanized band");
    } else {
      out.expectEq<long long>(countNear(hostShot, {dx, dy, dx + kHostWidth, dy + kHostHeight}, face, 0), area,
                              where + ": only the button face");
    }
    panel.reset();
    out.expect(GetDlgItem(frame.host, 99997) == nullptr, where + ": panel removed with the engine");
  }

  {
    // No window of the host class: no panel.
    HostFrame frame(false, L"Sonvale no host");
    auto panel = panelFromOtherThread(UiLanguage::English, [] { return ui::PanelLines{}; });
    out.expect(panel == nullptr, "no host window: no panel");
  }
  {
    // The host goes first; the panel goes with it and its removal is quiet.
    HostFrame frame(true, L"Sonvale host closes first");
    auto panel = panelFromOtherThread(UiLanguage::English, [] { return ui::PanelLines{}; });
    out.expect(panel != nullptr, "host closes first: panel made");
    DestroyWindow(frame.frame);
    pumpFor(100);
    panel.reset();  // must return, and quietly
  }
  {
    // Removal outlasting its patience: the panel's thread is held inside the
    // source while it paints. Once the panel is gone, nothing may still be
    // reading the source: the engine behind it is freed next.
    ui::setWin32PanelPatience(200);
    HostFrame frame(true, L"Sonvale slow removal");
    struct Probe {
      std::atomic<bool> inside{false}, release{false}, gone{false};
      std::atomic<int> callsAfterGone{0};
    };
    auto probe = std::make_shared<Probe>();
    auto panel = panelFromOtherThread(UiLanguage::English, [probe] {
      if (probe->gone.load()) ++probe->callsAfterGone;
      probe->inside.store(true);
      while (!probe->release.load()) Sleep(5);
      probe->inside.store(false);
      return ui::PanelLines{};
    });
    out.expect(panel != nullptr, "slow removal: panel made");
    if (panel != nullptr) {
      panel->invalidate();
      pumpUntil([&] { return probe->inside.load(); });
      out.expect(probe->inside.load(), "slow removal: the panel's thread is inside the source");
      std::thread releaser([probe] {
        Sleep(600);  // well past the patience
        probe->release.store(true);
      });
      panel.reset();
      out.expect(!probe->inside.load(), "slow removal: the source is not in use once the panel is gone");
      probe->gone.store(true);
      pumpUntil([&] { return GetDlgItem(frame.host, 99997) == nullptr; });
      out.expect(GetDlgItem(frame.host, 99997) == nullptr, "slow removal: the window is removed in the end");
      releaser.join();
      out.expectEq<long long>(probe->callsAfterGone.load(), 0, "slow removal: source calls after the panel went");
    }
  }
  {
    // Creation outlasting its patience (none at all here): no panel, the
    // source is never read, and the window the thread goes on to make is
    // removed instead of covering the host for good.
    ui::setWin32PanelPatience(0);
    HostFrame frame(true, L"Sonvale slow creation");
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto panel = panelFromOtherThread(UiLanguage::English, [calls] {
      ++*calls;
      return ui::PanelLines{};
    });
    ui::setWin32PanelPatience(5000);
    out.expect(panel == nullptr, "slow creation: no panel");
    pumpFor(500);
    out.expect(GetDlgItem(frame.host, 99997) == nullptr, "slow creation: no window left in the host");
    out.expectEq<long long>(calls->load(), 0, "slow creation: source calls");
  }
  {
    // Made on the host's own thread, as when the application creates the
    // voice on its window thread.
    HostFrame frame(true, L"Sonvale same thread");
    auto panel = ui::createWordPanel(UiLanguage::English, [] { return ui::PanelLines{}; });
    out.expect(panel != nullptr && GetDlgItem(frame.host, 99997) != nullptr, "same thread: panel made");
    panel.reset();
    out.expect(GetDlgItem(frame.host, 99997) == nullptr, "same thread: panel removed");
  }
}

// ---- the warnings ----------------------------------------------------------

struct WarningCase {
  const char* name;
  UiLanguage language;
};

void checkReinstallWarning(Outcome& out) {
  for (const WarningCase& c : {WarningCase{"english", UiLanguage::English},
                               WarningCase{"simplified", UiLanguage::SimplifiedChinese},
                               WarningCase{"traditional", UiLanguage::TraditionalChinese}}) {
    const std::string where = std::string("reinstall warning ") + c.name;
    ui::setCurrentUiLanguage(c.language);
    const ui::UiTexts& t = ui::uiTexts(c.language);
    HostFrame owner(false, L"Sonvale warning owner");
    ui::showWarning(ui::UserWarning::VoiceDamaged, "VoiceDef: the voice identity at byte 4 differs");
    // showWarning has returned; the window is up on a thread of its own.
    HWND warning = nullptr;
    pumpUntil([&] { return (warning = FindWindowW(L"SonvaleReinstallWarning", nullptr)) != nullptr && IsWindowVisible(warning); });
    out.expect(warning != nullptr, where + ": window shown, and showWarning returned");
    if (warning == nullptr) continue;
    out.expectEq(windowText(warning), std::string(t.reinstallCaption), where + ": caption");
    RECT rect{};
    GetWindowRect(warning, &rect);
    out.expectEq<long long>(rect.right - rect.left, 480, where + ": width");
    out.expectEq<long long>(rect.bottom - rect.top, 96, where + ": height");
    out.expect(GetWindow(warning, GW_OWNER) == owner.frame, where + ": owned by the foreground window");
    out.expect(!IsWindowEnabled(owner.frame), where + ": owner disabled while open");
    HWND button = FindWindowExW(warning, nullptr, L"Button", nullptr);
    HWND text = FindWindowExW(warning, nullptr, L"Static", nullptr);
    out.expectEq(windowText(button), std::string(t.reinstallButton), where + ": button");
    out.expectEq(windowText(text), std::string(t.reinstallMessage), where + ": message");

    // A second warning while one is open does not stack another window.
    ui::showWarning(ui::UserWarning::VoiceDamaged, "again");
    pumpFor(200);
    int windows = 0;
    EnumWindows(
        [](HWND w, LPARAM count) -> BOOL {
          wchar_t name[64] = {};
          GetClassNameW(w, name, 64);
          if (std::wcscmp(name, L"SonvaleReinstallWarning") == 0) ++*reinterpret_cast<int*>(count);
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&windows));
    out.expectEq<long long>(windows, 1, where + ": one window for two warnings");

    Shot shot;
    std::thread shooter([&] { shot = capture(warning); });
    pumpUntil([&] { return !shot.pixels.empty(); });
    shooter.join();
    save(shot, ("reinstall_" + std::string(c.name)).c_str());

    std::thread clicker([&] { SendMessageW(button, BM_CLICK, 0, 0); });
    pumpUntil([&] { return !IsWindow(warning); });
    clicker.join();
    out.expect(!IsWindow(warning), where + ": closed by its button");
    pumpUntil([&] { return IsWindowEnabled(owner.frame) != FALSE; });
    out.expect(IsWindowEnabled(owner.frame), where + ": owner enabled again");
  }
}

void checkNumberTooLarge(Outcome& out) {
  for (const WarningCase& c : {WarningCase{"english", UiLanguage::English},
                               WarningCase{"simplified", UiLanguage::SimplifiedChinese}}) {
    const std::string where = std::string("number too large ") + c.name;
    ui::setCurrentUiLanguage(c.language);
    const ui::UiTexts& t = ui::uiTexts(c.language);
    HostFrame owner(false, L"Sonvale message owner");
    ui::showWarning(ui::UserWarning::NumberTooLarge, "12345678901234 has more than 13 digits");
    const std::wstring caption = wide(t.numberTooLargeCaption);
    HWND box = nullptr;
    pumpUntil([&] { return (box = FindWindowW(L"#32770", caption.c_str())) != nullptr && IsWindowVisible(box); });
    out.expect(box != nullptr, where + ": message box shown, and showWarning returned");
    if (box == nullptr) continue;
    std::vector<std::string> texts;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
      texts.push_back(windowText(child));
    out.expect(std::find(texts.begin(), texts.end(), t.numberTooLargeMessage) != texts.end(), where + ": message text");
    out.expect(GetDlgItem(box, IDCANCEL) == nullptr || !IsWindowVisible(GetDlgItem(box, IDCANCEL)),
               where + ": only an OK button");
    Shot shot;
    std::thread shooter([&] { shot = capture(box); });
    pumpUntil([&] { return !shot.pixels.empty(); });
    shooter.join();
    save(shot, ("number_too_large_" + std::string(c.name)).c_str());
    HWND ok = GetDlgItem(box, IDOK);
    std::thread clicker([&] { SendMessageW(ok != nullptr ? ok : box, ok != nullptr ? BM_CLICK : WM_CLOSE, 0, 0); });
    pumpUntil([&] { return !IsWindow(box); });
    clicker.join();
    out.expect(!IsWindow(box), where + ": closed by OK");
    pumpUntil([&] { return IsWindowEnabled(owner.frame) != FALSE; });
  }
}

void checkSinkOverride(Outcome& out) {
  // A receiver set by the host gets the warning instead of a window.
  struct Seen {
    int count = 0;
    ui::UserWarning warning{};
    std::string detail;
  } seen;
  ui::setWarningSink(
      [](ui::UserWarning w, const std::string& detail, void* context) {
        auto* s = static_cast<Seen*>(context);
        ++s->count;
        s->warning = w;
        s->detail = detail;
      },
      &seen);
  ui::showWarning(ui::UserWarning::NumberTooLarge, "detail");
  ui::setWarningSink(nullptr, nullptr);
  pumpFor(200);
  out.expectEq<long long>(seen.count, 1, "sink: called once");
  out.expect(seen.warning == ui::UserWarning::NumberTooLarge, "sink: the warning");
  out.expectEq(seen.detail, std::string("detail"), "sink: the detail");
  out.expect(FindWindowW(L"#32770", L"Tip") == nullptr, "sink: no message box");
}

constexpr IID kIidTokenUi = {0xF8E690F0, 0x39CB, 0x4843, {0xB8, 0xD7, 0xC8, 0x46, 0x96, 0xE1, 0x11, 0x9D}};
constexpr CLSID kClsidKelvaneUi = {0x82B88068, 0xDFB4, 0x4284, {0xA3, 0xF4, 0xC3, 0x88, 0xB2, 0xEA, 0xB6, 0x65}};

// The dialog as a speech program opens it: the module's UI object from its
// own class object, asked for "EngineProperties". The module keeps its own
// settings and language (the user's default locale: English here), so this
// checks what reaches the registry: the pitch changed from 0 to 2, the rest
// as seeded.
void checkDisplayUi(Outcome& out) {
  if (modulePath.empty()) {
    out.expect(false, "DisplayUI: no module path given");
    return;
  }
  HMODULE module = LoadLibraryW(modulePath.c_str());
  out.expect(module != nullptr, "DisplayUI: Sonvale.dll loads");
  if (module == nullptr) return;
  using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  const auto getClassObject =
      reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  IClassFactory* factory = nullptr;
  TokenUi* ui = nullptr;
  if (getClassObject != nullptr &&
      SUCCEEDED(getClassObject(kClsidKelvaneUi, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
    factory->CreateInstance(nullptr, kIidTokenUi, reinterpret_cast<void**>(&ui));
    factory->Release();
  }
  out.expect(ui != nullptr, "DisplayUI: the module makes its token UI object");

  if (ui != nullptr) {
    BOOL supported = FALSE;
    out.expect(SUCCEEDED(ui->IsUISupported(L"EngineProperties", nullptr, 0, nullptr, &supported)) && supported,
               "DisplayUI: EngineProperties is supported");
    out.expect(seedSettings({{L"PuncShort", true, 5000}, {L"PuncLong", true, 15000}, {L"VoiceStyle", true, 0},
                             {L"ReadPunctuation", true, 0}, {L"ReadNumber", true, 0}}),
               "DisplayUI: settings key seeded");
    const std::wstring caption = wide(ui::uiTexts(UiLanguage::English).dialogCaption);
    std::atomic<bool> driven{false};
    std::thread driver([&] {
      HWND dialog = waitForDialog(caption);
      out.expect(dialog != nullptr, "DisplayUI: the English dialog appeared");
      if (dialog == nullptr) return;
      save(capture(dialog), "dialog_through_displayui");
      selectText(dialog, IDC_PITCH_LIST, "2");
      SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
      driven.store(true);
    });
    out.expect(ui->DisplayUI(nullptr, L"Sonvale", L"EngineProperties", nullptr, 0, nullptr, nullptr) == S_OK,
               "DisplayUI returns S_OK");
    driver.join();
    out.expect(driven.load(), "DisplayUI: the dialog was closed by OK");
    const DWORD expected[5] = {5000, 15000, 2, 0, 0};
    for (std::size_t i = 0; i < 5; ++i) {
      const StoredDword stored = readSetting(kValueNames[i]);
      out.expect(stored.present && stored.type == REG_DWORD, "DisplayUI: " + utf8(kValueNames[i]) + " stored");
      out.expectEq<long long>(stored.value, expected[i], "DisplayUI: " + utf8(kValueNames[i]) + " in the registry");
    }
    ui->Release();
  }
  FreeLibrary(module);
}

const Check kChecks[] = {
    {"resources", checkHandCursor},
    {"properties dialog", checkDialogs},
    {"word panel", checkPanel},
    {"reinstall warning", checkReinstallWarning},
    {"number too large", checkNumberTooLarge},
    {"warning sink", checkSinkOverride},
    {"settings without administrator rights", checkSettingsNotSaved},
    {"dialog through DisplayUI of Sonvale.dll", checkDisplayUi},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) artefactDir = wide(argv[1]);
  if (argc > 2) modulePath = wide(argv[2]);
  CreateDirectoryW(artefactDir.c_str(), nullptr);
  registerClasses();
  int failed = 0;
  for (const Check& check : kChecks) {
    Outcome out;
    check.run(out);
    std::vector<std::string> failures;
    for (const std::string& f : out.failures)
      if (!f.empty()) failures.push_back(f);
    std::printf("%s %s\n", failures.empty() ? "PASS" : "FAIL", check.name);
    for (const std::string& f : failures) std::printf("    %s\n", f.c_str());
    failed += static_cast<int>(failures.size());
    std::fflush(stdout);
  }
  std::printf("%d failed\n", failed);
  return failed;
}
