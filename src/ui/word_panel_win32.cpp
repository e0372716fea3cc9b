// The word display panel on Windows, drawn with GDI.
//
// At creation the panel searches the foreground window depth first for a
// window of the host class, and covers that window's client area with a child
// STATIC control (identifier 99997) whose window procedure it replaces. The
// control is created by, and so belongs to, a thread of the panel's own that
// runs its message loop: the engine object may be made on a thread that never
// pumps messages, and a child window whose thread does not answer would hang
// the host window's thread whenever it sent the child a message. invalidate()
// only marks the panel for repainting, so the speaking thread never waits.
//
// Each repaint fills the three bands with the button face colour and, for a
// word of two or more characters, draws its text (bold, dark red), its
// romanized form (purple) and its note (black, word-wrapped). The romanized
// form goes to the phonetic font as 8-bit text whose bytes 0x81..0xA0 are the
// toned vowels; without that font it is drawn as Unicode letters with tone
// marks in a font that has them.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/utf.h"
#include "ui/ui_resources.h"
#include "ui/word_panel.h"
#include "ui/word_panel_text.h"

namespace sonvale::ui {

namespace {

constexpr int kPanelControlId = 99997;

// kPhoneticFontFamily, as GDI takes it.
constexpr wchar_t kPhoneticFont[] = L"Rirezode Rerurudo Diraz";
// Stand-ins for the phonetic font, in order of preference: the first that
// has every letter of the line draws it (m and n with tone marks, which have
// no precomposed letters, need fonts with combining marks).
constexpr const wchar_t* kRomanFallbackFonts[] = {
    L"Tahoma", L"Segoe UI", L"Arial Unicode MS", L"Lucida Sans Unicode", L"DejaVu Sans", L"Arial"};

constexpr COLORREF kWordColour = RGB(128, 0, 0);
constexpr COLORREF kRomanColour = RGB(128, 0, 128);
constexpr COLORREF kNoteColour = RGB(0, 0, 0);

// Asks the panel's thread to remove the panel.
constexpr UINT kRemovePanel = WM_APP + 0x5A;

// How long creation and removal wait for the panel's thread. Never reached
// unless the thread is stuck; the panel is then given up.
constexpr DWORD kThreadPatienceMs = 5000;

std::wstring wide(std::string_view utf8) {
  const std::u16string units = platform::utf8ToUtf16(utf8);
  return std::wstring(units.begin(), units.end());  // wchar_t is a UTF-16 code unit here
}

// Window class names are compared without regard to case, as the system
// compares them.
bool isPanelHost(HWND window) {
  static const std::wstring hostClass = wide(kPanelHostClass);
  wchar_t name[64] = {};
  const int length = GetClassNameW(window, name, static_cast<int>(std::size(name)));
  return length > 0 &&
         CompareStringOrdinal(name, length, hostClass.c_str(), static_cast<int>(hostClass.size()), TRUE) == CSTR_EQUAL;
}

std::vector<HWND> childrenOf(HWND window) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
    children.push_back(child);
  return children;
}

bool fontExists(const wchar_t* face) {
  LOGFONTW wanted{};
  wanted.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(wanted.lfFaceName, face, LF_FACESIZE);
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return false;
  bool found = false;
  EnumFontFamiliesExW(
      screen, &wanted,
      [](const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM flag) -> int {
        *reinterpret_cast<bool*>(flag) = true;
        return 0;
      },
      reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, screen);
  return found;
}

HFONT makeFont(const wchar_t* face, int cellHeight, int weight) {
  // A positive height asks for that cell height (ascent plus descent).
  return CreateFontW(cellHeight, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
}

class Win32WordPanel final : public WordPanel {
 public:
  static std::unique_ptr<WordPanel> create(UiLanguage language, PanelLinesSource source);
  ~Win32WordPanel() override;

  void invalidate() override {
    HWND window = window_.load();
    if (window != nullptr) InvalidateRect(window, nullptr, TRUE);
  }

 private:
  Win32WordPanel(HWND host, UiLanguage language, PanelLinesSource source)
      : host_(host), language_(language), source_(std::move(source)) {}

  static DWORD WINAPI threadMain(void* self);
  static LRESULT CALLBACK panelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  void run();
  bool makeWindow();
  void paint(HWND window);

  HWND host_;
  UiLanguage language_;
  PanelLinesSource source_;
  std::atomic<HWND> window_{nullptr};
  WNDPROC previous_ = nullptr;
  HANDLE thread_ = nullptr;
  HANDLE ready_ = nullptr;  // set once the window is made, or could not be
  HFONT romanFontFor(HDC dc, const std::wstring& line);

  HFONT wordFont_ = nullptr;
  HFONT romanFont_ = nullptr;  // the phonetic font, when it is there
  HFONT noteFont_ = nullptr;
  bool phoneticFont_ = false;
  HFONT romanFallbacks_[std::size(kRomanFallbackFonts)] = {};  // made when first needed
};

// Waits for `handle` while answering messages that other threads send to
// this one: the panel's thread sends to the host window's thread, which may
// be this one.
bool waitAnswering(HANDLE handle, DWORD patienceMs) {
  const ULONGLONG end = GetTickCount64() + patienceMs;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return false;
    const DWORD result = MsgWaitForMultipleObjects(1, &handle, FALSE, static_cast<DWORD>(end - now), QS_SENDMESSAGE);
    if (result == WAIT_OBJECT_0) return true;
    if (result != WAIT_OBJECT_0 + 1) return false;
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // answers the sent messages
  }
}

std::unique_ptr<WordPanel> Win32WordPanel::create(UiLanguage language, PanelLinesSource source) {
  HWND top = GetForegroundWindow();
  if (top == nullptr) return nullptr;
  const std::optional<HWND> host = findPanelHost<HWND>(top, childrenOf, isPanelHost);
  if (!host) return nullptr;

  std::unique_ptr<Win32WordPanel> panel(new Win32WordPanel(*host, language, std::move(source)));
  panel->ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (panel->ready_ == nullptr) return nullptr;
  panel->thread_ = CreateThread(nullptr, 0, threadMain, panel.get(), 0, nullptr);
  if (panel->thread_ == nullptr) return nullptr;
  if (!waitAnswering(panel->ready_, kThreadPatienceMs)) {
    // The thread may still use the panel: it is given up, not freed.
    (void)panel.release();
    return nullptr;
  }
  if (panel->window_.load() == nullptr) return nullptr;  // the destructor collects the thread
  return panel;
}

Win32WordPanel::~Win32WordPanel() {
  if (thread_ != nullptr) {
    HWND window = window_.load();
    if (window != nullptr) PostMessageW(window, kRemovePanel, 0, 0);
    // A thread that does not end in time keeps what it uses.
    if (!waitAnswering(thread_, kThreadPatienceMs)) return;
    CloseHandle(thread_);
  }
  if (ready_ != nullptr) CloseHandle(ready_);
}

DWORD WINAPI Win32WordPanel::threadMain(void* self) {
  static_cast<Win32WordPanel*>(self)->run();
  return 0;
}

void Win32WordPanel::run() {
  const UiTexts& texts = uiTexts(language_);
  std::wstring uiFace;
  try {
    uiFace = wide(texts.uiFont);
  } catch (...) {
    SetEvent(ready_);
    return;
  }
  phoneticFont_ = fontExists(kPhoneticFont);
  wordFont_ = makeFont(uiFace.c_str(), kWordFontHeight, FW_BOLD);
  if (phoneticFont_) romanFont_ = makeFont(kPhoneticFont, kRomanFontHeight, FW_NORMAL);
  noteFont_ = makeFont(uiFace.c_str(), kNoteFontHeight, FW_NORMAL);

  const bool made = makeWindow();
  SetEvent(ready_);
  if (made) {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  for (HFONT font : {wordFont_, romanFont_, noteFont_})
    if (font != nullptr) DeleteObject(font);
  for (HFONT font : romanFallbacks_)
    if (font != nullptr) DeleteObject(font);
}

HFONT Win32WordPanel::romanFontFor(HDC dc, const std::wstring& line) {
  std::vector<WORD> glyphs(line.size());
  for (std::size_t i = 0; i < std::size(kRomanFallbackFonts); ++i) {
    if (romanFallbacks_[i] == nullptr)
      romanFallbacks_[i] = makeFont(kRomanFallbackFonts[i], kRomanFontHeight, FW_NORMAL);
    if (romanFallbacks_[i] == nullptr) continue;
    const HGDIOBJ before = SelectObject(dc, romanFallbacks_[i]);
    const DWORD found =
        GetGlyphIndicesW(dc, line.c_str(), static_cast<int>(line.size()), glyphs.data(), GGI_MARK_NONEXISTING_GLYPHS);
    SelectObject(dc, before);
    if (found != GDI_ERROR && std::find(glyphs.begin(), glyphs.end(), WORD{0xFFFF}) == glyphs.end())
      return romanFallbacks_[i];
  }
  return romanFallbacks_[0];  // none has them all: the first, with its missing-glyph boxes
}

bool Win32WordPanel::makeWindow() {
  // No WM_PARENTNOTIFY: the host's thread may be the one waiting for us.
  HWND window = CreateWindowExW(WS_EX_NOPARENTNOTIFY, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, host_,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(kPanelControlId)),
                                static_cast<HINSTANCE>(uiModuleInstance()), nullptr);
  if (window == nullptr) return false;
  RECT client{};
  GetClientRect(host_, &client);
  MoveWindow(window, 0, 0, client.right - client.left, client.bottom - client.top, TRUE);
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  previous_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Win32WordPanel::panelProc)));
  ShowWindow(window, SW_SHOW);
  window_.store(window);
  return true;
}

LRESULT CALLBACK Win32WordPanel::panelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<Win32WordPanel*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  const WNDPROC previous = self->previous_;
  switch (message) {
    case WM_ERASEBKGND:
      return 1;  // the paint fills every band
    case WM_PAINT:
      // Not passed on: the control's own painting would draw its empty text
      // over the bands and first ask the host window, on its thread, for
      // colours, which would stall the panel while the host is busy.
      self->paint(window);
      return 0;
    case kRemovePanel:
      DestroyWindow(window);
      return 0;
    case WM_NCDESTROY:
      // Also when the host window goes first: the panel ends with it.
      self->window_.store(nullptr);
      SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      PostQuitMessage(0);
      return CallWindowProcW(previous, window, message, wParam, lParam);
    default:
      return CallWindowProcW(previous, window, message, wParam, lParam);
  }
}

// The romanized line's toned letters back as the phonetic font's bytes,
// using the same table the engine spells them with.
std::string phoneticBytes(std::string_view utf8) {
  constexpr unsigned kTonedCount = kLastTonedByte - kFirstTonedByte + 1;
  std::string spellings[kTonedCount];
  for (unsigned k = 0; k < kTonedCount; ++k)
    spellings[k] = romanizedLineUtf8(std::string(1, static_cast<char>(kFirstTonedByte + k)));
  std::string out;
  std::size_t i = 0;
  while (i < utf8.size()) {
    // The longest spelling wins: m with a combining mark before a plain m.
    std::size_t matched = 0;
    unsigned best = 0;
    for (unsigned k = 0; k < kTonedCount; ++k) {
      const std::string& spelling = spellings[k];
      if (spelling.size() > matched && utf8.substr(i, spelling.size()) == spelling) {
        matched = spelling.size();
        best = k;
      }
    }
    if (matched > 0) {
      out.push_back(static_cast<char>(kFirstTonedByte + best));
      i += matched;
      continue;
    }
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t length = lead < 0xC0 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    const std::u16string unit = platform::utf8ToUtf16(utf8.substr(i, length));
    out.push_back(unit.size() == 1 && unit[0] < 0x100 ? static_cast<char>(unit[0]) : '?');
    i += length;
  }
  return out;
}

void Win32WordPanel::paint(HWND window) {
  PAINTSTRUCT paint{};
  HDC dc = BeginPaint(window, &paint);
  if (dc == nullptr) return;
  RECT client{};
  GetClientRect(window, &client);
  const RECT bands[3] = {{0, kWordBandTop, client.right, std::min<LONG>(kRomanBandTop, client.bottom)},
                         {0, kRomanBandTop, client.right, std::min<LONG>(kNoteBandTop, client.bottom)},
                         {0, kNoteBandTop, client.right, client.bottom}};
  for (const RECT& band : bands)
    if (band.bottom > band.top) FillRect(dc, &band, GetSysColorBrush(COLOR_BTNFACE));

  try {
    const PanelLines lines = source_();
    if (lines.visible) {
      SetBkMode(dc, TRANSPARENT);
      const HGDIOBJ before = SelectObject(dc, wordFont_);
      SetTextColor(dc, kWordColour);
      RECT band = bands[0];
      const std::wstring word = wide(lines.word);
      DrawTextW(dc, word.c_str(), static_cast<int>(word.size()), &band,
                DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_NOPREFIX);

      SetTextColor(dc, kRomanColour);
      band = bands[1];
      if (phoneticFont_) {
        SelectObject(dc, romanFont_);
        const std::string bytes = phoneticBytes(lines.romanized);
        DrawTextA(dc, bytes.c_str(), static_cast<int>(bytes.size()), &band,
                  DT_SINGLELINE | DT_TOP | DT_LEFT | DT_NOPREFIX);
      } else {
        const std::wstring romanized = wide(lines.romanized);
        SelectObject(dc, romanFontFor(dc, romanized));
        DrawTextW(dc, romanized.c_str(), static_cast<int>(romanized.size()), &band,
                  DT_SINGLELINE | DT_TOP | DT_LEFT | DT_NOPREFIX);
      }

      SelectObject(dc, noteFont_);
      SetTextColor(dc, kNoteColour);
      band = bands[2];
      const std::wstring note = wide(lines.note);
      DrawTextW(dc, note.c_str(), static_cast<int>(note.size()), &band, DT_WORDBREAK | DT_TOP | DT_LEFT | DT_NOPREFIX);
      SelectObject(dc, before);
    }
  } catch (...) {
    // Out of memory while reading the lines: the empty bands this time.
  }
  EndPaint(window, &paint);
}

}  // namespace

std::unique_ptr<WordPanel> createWin32WordPanel(UiLanguage language, PanelLinesSource source) {
  try {
    return Win32WordPanel::create(language, std::move(source));
  } catch (...) {
    return nullptr;
  }
}

}  // namespace sonvale::ui
