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
#include <mutex>
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

// The font enumeration's callback (stdcall, which a lambda is not on 32-bit
// Windows): one family found is enough.
int CALLBACK fontFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM flag) {
  *reinterpret_cast<bool*>(flag) = true;
  return 0;
}

bool fontExists(const wchar_t* face) {
  LOGFONTW wanted{};
  wanted.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(wanted.lfFaceName, face, LF_FACESIZE);
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return false;
  bool found = false;
  EnumFontFamiliesExW(screen, &wanted, fontFound, reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, screen);
  return found;
}

HFONT makeFont(const wchar_t* face, int cellHeight, int weight) {
  // A positive height asks for that cell height (ascent plus descent).
  return CreateFontW(cellHeight, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
}

// What the panel's thread uses: shared by the panel and its thread, so that
// a thread that outlives the panel (stuck past kThreadPatienceMs) still has
// it, and freed by whichever lets go last.
class PanelThread {
 public:
  PanelThread(HWND host, UiLanguage language, PanelLinesSource source)
      : host_(host), language_(language), source_(std::move(source)) {}
  ~PanelThread();

  // Starts the thread, which holds its own share of `self`.
  static bool start(const std::shared_ptr<PanelThread>& self);
  // Cuts the panel from its source (which may point into a freed engine from
  // now on) and has the thread remove the window and end: the panel is given
  // up. Waits only for a source call in progress, which copies and returns.
  void abandon();

  HWND window() const { return window_.load(); }
  HANDLE thread() const { return thread_; }
  HANDLE ready() const { return ready_; }

 private:
  static DWORD WINAPI threadMain(void* share);
  static LRESULT CALLBACK panelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  void run();
  bool makeWindow();
  void paint(HWND window);
  PanelLines linesNow();
  HFONT romanFontFor(HDC dc, const std::wstring& line);

  HWND host_;
  UiLanguage language_;
  std::mutex sourceMutex_;
  PanelLinesSource source_;  // empty once abandoned
  std::atomic<bool> abandoned_{false};
  std::atomic<HWND> window_{nullptr};
  WNDPROC previous_ = nullptr;
  HANDLE thread_ = nullptr;
  HANDLE ready_ = nullptr;  // set once the window is made, or could not be

  HFONT wordFont_ = nullptr;
  HFONT romanFont_ = nullptr;  // the phonetic font, when it is there
  HFONT noteFont_ = nullptr;
  bool phoneticFont_ = false;
  HFONT romanFallbacks_[std::size(kRomanFallbackFonts)] = {};  // made when first needed
};

class Win32WordPanel final : public WordPanel {
 public:
  explicit Win32WordPanel(std::shared_ptr<PanelThread> thread) : thread_(std::move(thread)) {}
  ~Win32WordPanel() override;

  void invalidate() override {
    HWND window = thread_->window();
    if (window != nullptr) InvalidateRect(window, nullptr, TRUE);
  }

 private:
  std::shared_ptr<PanelThread> thread_;
};

std::atomic<DWORD> threadPatienceMs{kThreadPatienceMs};

// Waits for `handle` while answering messages that other threads send to
// this one: the panel's thread sends to the host window's thread, which may
// be this one.
bool waitAnswering(HANDLE handle, DWORD patienceMs) {
  const ULONGLONG end = GetTickCount64() + patienceMs;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now >= end ? 0 : static_cast<DWORD>(end - now);
    const DWORD result = MsgWaitForMultipleObjects(1, &handle, FALSE, left, QS_SENDMESSAGE);
    if (result == WAIT_OBJECT_0) return true;
    if (result != WAIT_OBJECT_0 + 1) return false;
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // answers the sent messages
  }
}

std::unique_ptr<WordPanel> createPanel(UiLanguage language, PanelLinesSource source) {
  HWND top = GetForegroundWindow();
  if (top == nullptr) return nullptr;
  const std::optional<HWND> host = findPanelHost<HWND>(top, childrenOf, isPanelHost);
  if (!host) return nullptr;

  auto thread = std::make_shared<PanelThread>(*host, language, std::move(source));
  if (!PanelThread::start(thread)) return nullptr;
  if (!waitAnswering(thread->ready(), threadPatienceMs.load())) {
    // The thread keeps its share and ends once it has made and removed its window.
    thread->abandon();
    return nullptr;
  }
  if (thread->window() == nullptr) return nullptr;  // the thread has ended or is ending
  return std::make_unique<Win32WordPanel>(std::move(thread));
}

Win32WordPanel::~Win32WordPanel() {
  HWND window = thread_->window();
  if (window != nullptr) PostMessageW(window, kRemovePanel, 0, 0);
  // A thread that does not end in time keeps its share, and no longer reads
  // the engine this panel showed.
  if (!waitAnswering(thread_->thread(), threadPatienceMs.load())) thread_->abandon();
}

bool PanelThread::start(const std::shared_ptr<PanelThread>& self) {
  self->ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (self->ready_ == nullptr) return false;
  auto* share = new std::shared_ptr<PanelThread>(self);
  self->thread_ = CreateThread(nullptr, 0, threadMain, share, 0, nullptr);
  if (self->thread_ == nullptr) {
    delete share;
    return false;
  }
  return true;
}

PanelThread::~PanelThread() {
  if (thread_ != nullptr) CloseHandle(thread_);
  if (ready_ != nullptr) CloseHandle(ready_);
}

void PanelThread::abandon() {
  {
    const std::lock_guard lock(sourceMutex_);
    source_ = nullptr;
  }
  abandoned_.store(true);
  // Either this sees the window, or the thread sees abandoned_ once it has
  // made it (both atomics are sequentially consistent).
  HWND window = window_.load();
  if (window != nullptr) PostMessageW(window, kRemovePanel, 0, 0);
}

PanelLines PanelThread::linesNow() {
  const std::lock_guard lock(sourceMutex_);
  return source_ ? source_() : PanelLines{};
}

DWORD WINAPI PanelThread::threadMain(void* share) {
  const std::unique_ptr<std::shared_ptr<PanelThread>> self(static_cast<std::shared_ptr<PanelThread>*>(share));
  (*self)->run();
  return 0;
}

void PanelThread::run() {
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
  if (made && abandoned_.load()) PostMessageW(window_.load(), kRemovePanel, 0, 0);
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

HFONT PanelThread::romanFontFor(HDC dc, const std::wstring& line) {
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

bool PanelThread::makeWindow() {
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
      SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&PanelThread::panelProc)));
  ShowWindow(window, SW_SHOW);
  window_.store(window);
  return true;
}

LRESULT CALLBACK PanelThread::panelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<PanelThread*>(GetWindowLongPtrW(window, GWLP_USERDATA));
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

void PanelThread::paint(HWND window) {
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
    const PanelLines lines = linesNow();
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
    return createPanel(language, std::move(source));
  } catch (...) {
    return nullptr;
  }
}

}  // namespace sonvale::ui

namespace sonvale::ui {

void setWin32PanelPatience(unsigned long ms) { threadPatienceMs.store(ms); }

}  // namespace sonvale::ui
