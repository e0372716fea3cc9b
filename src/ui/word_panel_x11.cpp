// The word display panel under X11.
//
// At creation the panel opens a connection of its own to the X server, takes
// the foreground window (the window manager's _NET_ACTIVE_WINDOW, else the
// top-level window holding the input focus) and searches it depth first for
// a window whose WM_CLASS is the panel host class. It covers that window's
// area with a child window and then lives on a thread of its own: X11 has no
// host thread to borrow. The thread waits on the X connection and on a pipe;
// invalidate() writes one byte to the pipe, so the speaking thread never
// waits on the X server. Each repaint fills the three bands with the button
// face colour and, for a word of two or more characters, draws its text,
// romanized form and note with Xft.
//
// Errors of this connection (a window that went away while the panel asked
// about it) are ignored rather than left to Xlib's default handler, which
// would end the process; a broken connection stops the panel and nothing else.
#include <X11/Xatom.h>
#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/utf.h"
#include "ui/word_panel.h"

namespace sonvale::ui {

namespace {

struct Rgb {
  unsigned short red, green, blue;
};
constexpr Rgb kButtonFace = {240, 240, 240};
constexpr Rgb kWordColour = {128, 0, 0};
constexpr Rgb kRomanColour = {128, 0, 128};
constexpr Rgb kNoteColour = {0, 0, 0};

// Xft keeps a process-wide list of displays that it reorders on every call,
// so panels (each on its own thread and connection) take turns using it.
std::mutex xftMutex;

// ---- Error handling shared by every panel of the process ----

std::mutex ownDisplaysMutex;
std::vector<Display*> ownDisplays;
XErrorHandler previousErrorHandler = nullptr;
XIOErrorHandler previousIoErrorHandler = nullptr;
std::once_flag errorHandlersInstalled;

bool isOwnDisplay(Display* display) {
  const std::lock_guard lock(ownDisplaysMutex);
  return std::find(ownDisplays.begin(), ownDisplays.end(), display) != ownDisplays.end();
}

int onXError(Display* display, XErrorEvent* event) {
  if (isOwnDisplay(display)) return 0;
  return previousErrorHandler != nullptr ? previousErrorHandler(display, event) : 0;
}

// Xlib's own handler ends the process when a connection breaks. For a panel's
// connection this one returns, and the connection's exit handler (set per
// panel) marks the panel broken instead.
int onXIoError(Display* display) {
  if (isOwnDisplay(display)) return 0;
  return previousIoErrorHandler != nullptr ? previousIoErrorHandler(display) : 0;
}

void registerDisplay(Display* display) {
  std::call_once(errorHandlersInstalled, [] {
    previousErrorHandler = XSetErrorHandler(onXError);
    previousIoErrorHandler = XSetIOErrorHandler(onXIoError);
  });
  const std::lock_guard lock(ownDisplaysMutex);
  ownDisplays.push_back(display);
}

void unregisterDisplay(Display* display) {
  const std::lock_guard lock(ownDisplaysMutex);
  ownDisplays.erase(std::remove(ownDisplays.begin(), ownDisplays.end(), display), ownDisplays.end());
}

// Xft keeps closed fonts cached until the display closes, and frees them
// from its close hook after Xrender has already forgotten the display; Xrender
// then remembers it again, and a later connection that happens to get the
// same Display address inherits stale extension codes. Fonts are therefore
// freed when they are closed, while the connection is fully alive.
void keepNoUnusedFonts(Display* display) {
  FcPattern* defaults = FcPatternCreate();
  if (defaults == nullptr) return;
  XftDefaultSubstitute(display, DefaultScreen(display), defaults);  // keeps the user's Xft resources
  FcPatternDel(defaults, XFT_MAX_UNREF_FONTS);
  FcPatternAddInteger(defaults, XFT_MAX_UNREF_FONTS, 0);
  if (XftDefaultSet(display, defaults) == False) FcPatternDestroy(defaults);
}

// ---- The window tree ----

// Children of `window`, topmost (Win32's first child) first.
std::vector<Window> childrenOf(Display* display, Window window) {
  Window root = 0;
  Window parent = 0;
  Window* children = nullptr;
  unsigned count = 0;
  std::vector<Window> list;
  if (XQueryTree(display, window, &root, &parent, &children, &count) != 0 && children != nullptr) {
    list.assign(children, children + count);
    std::reverse(list.begin(), list.end());  // XQueryTree lists bottom to top
  }
  if (children != nullptr) XFree(children);
  return list;
}

Window parentOf(Display* display, Window window) {
  Window root = 0;
  Window parent = 0;
  Window* children = nullptr;
  unsigned count = 0;
  if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) return None;
  if (children != nullptr) XFree(children);
  return parent;
}

bool isPanelHost(Display* display, Window window) {
  XClassHint hint{};
  if (XGetClassHint(display, window, &hint) == 0) return false;
  const bool host = (hint.res_class != nullptr && std::strcmp(hint.res_class, kPanelHostClass) == 0) ||
                    (hint.res_name != nullptr && std::strcmp(hint.res_name, kPanelHostClass) == 0);
  if (hint.res_name != nullptr) XFree(hint.res_name);
  if (hint.res_class != nullptr) XFree(hint.res_class);
  return host;
}

// The window the user works in: the window manager's active window, else,
// without a window manager, the top-level window that has the input focus.
Window foregroundWindow(Display* display) {
  const Window root = DefaultRootWindow(display);
  const Atom activeAtom = XInternAtom(display, "_NET_ACTIVE_WINDOW", True);
  if (activeAtom != None) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    Window active = None;
    if (XGetWindowProperty(display, root, activeAtom, 0, 1, False, XA_WINDOW, &type, &format, &count, &after, &data) ==
            Success &&
        data != nullptr && type == XA_WINDOW && format == 32 && count == 1) {
      active = static_cast<Window>(*reinterpret_cast<unsigned long*>(data));  // format 32 comes as longs
    }
    if (data != nullptr) XFree(data);
    if (active != None) return active;
  }
  Window focus = None;
  int revert = 0;
  XGetInputFocus(display, &focus, &revert);
  if (focus == None || focus == PointerRoot || focus == root) return None;
  for (int depth = 0; depth < 64; ++depth) {
    const Window parent = parentOf(display, focus);
    if (parent == None) return None;
    if (parent == root) return focus;
    focus = parent;
  }
  return None;
}

// ---- Text ----

std::u32string codePoints(const std::string& utf8) {
  const std::u16string units = platform::utf8ToUtf16(utf8);
  std::u32string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      out.push_back(0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else {
      out.push_back(u);
    }
  }
  return out;
}

bool isCombiningMark(char32_t c) { return c >= 0x0300 && c <= 0x036F; }

// Ideographs and other wide characters may break a line on either side.
bool breaksAnywhere(char32_t c) { return c >= 0x2E80; }

// A line's font and stand-ins for the characters it lacks: one chosen by
// language, then more found by fontconfig for single characters.
struct FontPair {
  XftFont* main = nullptr;
  XftFont* fallback = nullptr;
  std::vector<XftFont*> more;
  std::vector<char32_t> missing;  // characters no font was found for
  int cellHeight = 0;
  bool bold = false;
};
constexpr std::size_t kMaxExtraFonts = 8;
constexpr std::size_t kMaxMissing = 64;

class X11WordPanel final : public WordPanel {
 public:
  static std::unique_ptr<WordPanel> create(UiLanguage language, PanelLinesSource source);
  ~X11WordPanel() override;

  void invalidate() override {
    if (!pending_.exchange(true)) wake();
  }

 private:
  X11WordPanel(Display* display, PanelLinesSource source) : display_(display), source_(std::move(source)) {}

  bool open(UiLanguage language);
  void run();
  void paint();

  void wake() {
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing else can fail here.
    [[maybe_unused]] const ssize_t written = write(wakeWrite_, &byte, 1);
  }

  XftFont* openFont(const char* family, int cellHeight, bool bold, const char* lang, char32_t covering = 0);
  FontPair openFonts(const char* family, int cellHeight, bool bold, const char* lang);
  XftFont* fontFor(FontPair& fonts, char32_t c);
  int textWidth(FontPair& fonts, std::u32string_view text);
  void drawText(FontPair& fonts, XftColor& colour, int x, int baseline, std::u32string_view text);
  void fillBand(int top, int bottom, int width);
  void setClip(int top, int bottom, int width);
  std::vector<std::u32string> wrapLines(FontPair& fonts, const std::u32string& text, int width);

  static void onIoErrorExit(Display*, void* self) { static_cast<X11WordPanel*>(self)->broken_.store(true); }

  Display* display_;
  PanelLinesSource source_;
  Window window_ = None;
  Visual* visual_ = nullptr;
  Colormap colormap_ = None;
  XftDraw* draw_ = nullptr;
  FontPair wordFonts_;
  FontPair romanFonts_;
  FontPair noteFonts_;
  XftColor colours_[4]{};  // button face, word, romanized, note
  int allocatedColours_ = 0;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::atomic<bool> pending_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> broken_{false};
  std::thread thread_;
};

std::unique_ptr<WordPanel> X11WordPanel::create(UiLanguage language, PanelLinesSource source) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return nullptr;  // no X server: no panel
  std::unique_ptr<X11WordPanel> panel(new X11WordPanel(display, std::move(source)));
  registerDisplay(display);
  XSetIOErrorExitHandler(display, onIoErrorExit, panel.get());
  bool opened = false;
  {
    const std::lock_guard lock(xftMutex);
    keepNoUnusedFonts(display);
    opened = panel->open(language);
  }
  if (!opened) return nullptr;
  panel->thread_ = std::thread([p = panel.get()] { p->run(); });
  return panel;
}

bool X11WordPanel::open(UiLanguage language) {
  const Window top = foregroundWindow(display_);
  if (top == None) return false;
  const std::optional<Window> host = findPanelHost(
      top, [this](Window w) { return childrenOf(display_, w); }, [this](Window w) { return isPanelHost(display_, w); });
  if (!host) return false;

  XWindowAttributes hostAttributes{};
  if (XGetWindowAttributes(display_, *host, &hostAttributes) == 0) return false;
  visual_ = hostAttributes.visual;
  colormap_ = hostAttributes.colormap;
  XSetWindowAttributes attributes{};
  attributes.background_pixmap = None;  // the panel fills its bands itself
  attributes.border_pixel = 0;
  attributes.colormap = colormap_;
  attributes.event_mask = ExposureMask | StructureNotifyMask;
  const unsigned width = static_cast<unsigned>(std::max(1, hostAttributes.width));
  const unsigned height = static_cast<unsigned>(std::max(1, hostAttributes.height));
  window_ = XCreateWindow(display_, *host, 0, 0, width, height, 0, hostAttributes.depth, InputOutput, visual_,
                          CWBackPixmap | CWBorderPixel | CWColormap | CWEventMask, &attributes);
  if (window_ == None) return false;
  XMapRaised(display_, window_);

  draw_ = XftDrawCreate(display_, window_, visual_, colormap_);
  if (draw_ == nullptr) return false;
  for (const Rgb& rgb : {kButtonFace, kWordColour, kRomanColour, kNoteColour}) {
    const XRenderColor value = {static_cast<unsigned short>(rgb.red * 257),
                                static_cast<unsigned short>(rgb.green * 257),
                                static_cast<unsigned short>(rgb.blue * 257), 0xFFFF};
    if (XftColorAllocValue(display_, visual_, colormap_, &value, &colours_[allocatedColours_]) == 0) return false;
    ++allocatedColours_;
  }

  // The words are Chinese whatever the UI language; the language picks the
  // preferred glyph forms where the named face is missing.
  const char* lang = language == UiLanguage::SimplifiedChinese    ? "zh-cn"
                     : language == UiLanguage::TraditionalChinese ? "zh-tw"
                                                                  : "zh-hk";
  const char* uiFont = uiTexts(language).uiFont;
  wordFonts_ = openFonts(uiFont, kWordFontHeight, true, lang);
  // Where the phonetic font is missing (always, on most systems) a
  // sans-serif font with the toned Latin letters stands in.
  romanFonts_ = openFonts(kPhoneticFontFamily, kRomanFontHeight, false, "en");
  noteFonts_ = openFonts(uiFont, kNoteFontHeight, false, lang);
  if (wordFonts_.main == nullptr || romanFonts_.main == nullptr || noteFonts_.main == nullptr) return false;

  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  wakeRead_ = fds[0];
  wakeWrite_ = fds[1];
  XSync(display_, False);
  return !broken_.load();
}

X11WordPanel::~X11WordPanel() {
  if (thread_.joinable()) {
    stop_.store(true);
    wake();
    thread_.join();
  }
  const std::lock_guard lock(xftMutex);  // closing the display runs Xft's hook
  if (!broken_.load()) {
    for (FontPair* fonts : {&wordFonts_, &romanFonts_, &noteFonts_}) {
      for (XftFont* font : fonts->more) XftFontClose(display_, font);
      if (fonts->fallback != nullptr) XftFontClose(display_, fonts->fallback);
      if (fonts->main != nullptr) XftFontClose(display_, fonts->main);
    }
    for (int i = 0; i < allocatedColours_; ++i) XftColorFree(display_, visual_, colormap_, &colours_[i]);
    if (draw_ != nullptr) XftDrawDestroy(draw_);
    if (window_ != None) XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
  } else {
    // After an I/O error Xlib's state for this connection is not to be
    // touched again, not even to close it: only its socket is released, and
    // the few hundred bytes of the Display stay (so its address is not reused).
    close(ConnectionNumber(display_));
  }
  unregisterDisplay(display_);
  if (wakeRead_ >= 0) close(wakeRead_);
  if (wakeWrite_ >= 0) close(wakeWrite_);
}

void X11WordPanel::run() {
  bool needPaint = true;
  while (!stop_.load() && !broken_.load()) {
    while (XPending(display_) > 0 && !broken_.load()) {
      XEvent event;
      XNextEvent(display_, &event);
      if (event.type == Expose && event.xexpose.window == window_ && event.xexpose.count == 0) needPaint = true;
      if (event.type == DestroyNotify && event.xdestroywindow.window == window_) window_ = None;  // host went away
    }
    if (broken_.load()) break;
    if (needPaint && window_ != None) paint();
    needPaint = false;
    if (XQLength(display_) > 0) continue;  // events read in while painting

    pollfd fds[2] = {{ConnectionNumber(display_), POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) {
      char drain[64];
      while (read(wakeRead_, drain, sizeof drain) > 0) {
      }
      if (pending_.exchange(false)) needPaint = true;
    }
    if (fds[0].revents & (POLLHUP | POLLERR)) break;
  }
}

XftFont* X11WordPanel::openFont(const char* family, int cellHeight, bool bold, const char* lang, char32_t covering) {
  // The lines' heights are cell heights (ascent plus descent): open at that
  // pixel size, then shrink until the cell fits.
  double pixelSize = cellHeight;
  for (int attempt = 0; attempt < 3; ++attempt) {
    FcPattern* pattern = FcPatternCreate();
    if (pattern == nullptr) return nullptr;
    if (family != nullptr) FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family));
    FcPatternAddDouble(pattern, FC_PIXEL_SIZE, pixelSize);
    FcPatternAddInteger(pattern, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    if (lang != nullptr) FcPatternAddString(pattern, FC_LANG, reinterpret_cast<const FcChar8*>(lang));
    if (covering != 0) {
      FcCharSet* chars = FcCharSetCreate();
      if (chars != nullptr) {
        FcCharSetAddChar(chars, covering);
        FcPatternAddCharSet(pattern, FC_CHARSET, chars);
        FcCharSetDestroy(chars);
      }
    }
    FcResult result = FcResultNoMatch;
    FcPattern* match = XftFontMatch(display_, DefaultScreen(display_), pattern, &result);
    FcPatternDestroy(pattern);
    if (match == nullptr) return nullptr;
    XftFont* font = XftFontOpenPattern(display_, match);  // takes `match`
    if (font == nullptr) {
      FcPatternDestroy(match);
      return nullptr;
    }
    const int cell = font->ascent + font->descent;
    if (cell <= cellHeight || attempt == 2) return font;
    pixelSize = pixelSize * cellHeight / cell;
    XftFontClose(display_, font);
  }
  return nullptr;
}

FontPair X11WordPanel::openFonts(const char* family, int cellHeight, bool bold, const char* lang) {
  FontPair fonts;
  fonts.cellHeight = cellHeight;
  fonts.bold = bold;
  fonts.main = openFont(family, cellHeight, bold, lang);
  fonts.fallback = openFont("sans-serif", cellHeight, bold, lang != nullptr ? lang : "zh-hk");
  return fonts;
}

XftFont* X11WordPanel::fontFor(FontPair& fonts, char32_t c) {
  if (XftCharExists(display_, fonts.main, c)) return fonts.main;
  if (fonts.fallback != nullptr && XftCharExists(display_, fonts.fallback, c)) return fonts.fallback;
  for (XftFont* font : fonts.more)
    if (XftCharExists(display_, font, c)) return font;
  if (fonts.more.size() < kMaxExtraFonts && fonts.missing.size() < kMaxMissing &&
      std::find(fonts.missing.begin(), fonts.missing.end(), c) == fonts.missing.end()) {
    XftFont* font = openFont(nullptr, fonts.cellHeight, fonts.bold, nullptr, c);
    if (font != nullptr && XftCharExists(display_, font, c)) {
      fonts.more.push_back(font);
      return font;
    }
    if (font != nullptr) XftFontClose(display_, font);
    fonts.missing.push_back(c);
  }
  return fonts.main;  // nobody has it: the main font's missing-glyph box
}

int X11WordPanel::textWidth(FontPair& fonts, std::u32string_view text) {
  int width = 0;
  for (const char32_t c : text) {
    if (isCombiningMark(c)) continue;
    XGlyphInfo extents{};
    const FcChar32 glyph = c;
    XftTextExtents32(display_, fontFor(fonts, c), &glyph, 1, &extents);
    width += extents.xOff;
  }
  return width;
}

void X11WordPanel::drawText(FontPair& fonts, XftColor& colour, int x, int baseline, std::u32string_view text) {
  int baseX = x;
  int baseWidth = 0;
  for (const char32_t c : text) {
    XftFont* font = fontFor(fonts, c);
    const FcChar32 glyph = c;
    XGlyphInfo extents{};
    XftTextExtents32(display_, font, &glyph, 1, &extents);
    if (isCombiningMark(c)) {
      // Centre the mark over the letter before it.
      const int markX = baseX + baseWidth / 2 + extents.x - extents.width / 2;
      XftDrawString32(draw_, &colour, font, markX, baseline, &glyph, 1);
      continue;
    }
    XftDrawString32(draw_, &colour, font, x, baseline, &glyph, 1);
    baseX = x;
    baseWidth = extents.xOff;
    x += extents.xOff;
  }
}

void X11WordPanel::setClip(int top, int bottom, int width) {
  XRectangle band = {0, static_cast<short>(top), static_cast<unsigned short>(std::max(0, width)),
                     static_cast<unsigned short>(std::max(0, bottom - top))};
  XftDrawSetClipRectangles(draw_, 0, 0, &band, 1);
}

void X11WordPanel::fillBand(int top, int bottom, int width) {
  if (bottom <= top || width <= 0) return;
  XftDrawRect(draw_, &colours_[0], 0, top, static_cast<unsigned>(width), static_cast<unsigned>(bottom - top));
}

std::vector<std::u32string> X11WordPanel::wrapLines(FontPair& fonts, const std::u32string& text, int width) {
  // Break at blanks and on either side of wide characters; a piece wider
  // than the panel is broken between characters.
  std::vector<std::u32string> pieces;
  std::u32string piece;
  for (const char32_t c : text) {
    if (c == U'\n' || c == U'\r') {
      if (!piece.empty()) pieces.push_back(piece);
      pieces.push_back(U"\n");
      piece.clear();
    } else if (breaksAnywhere(c)) {
      if (!piece.empty()) pieces.push_back(piece);
      pieces.push_back(std::u32string(1, c));
      piece.clear();
    } else {
      piece.push_back(c);
      if (c == U' ') {
        pieces.push_back(piece);
        piece.clear();
      }
    }
  }
  if (!piece.empty()) pieces.push_back(piece);

  std::vector<std::u32string> lines(1);
  for (const std::u32string& p : pieces) {
    if (p == U"\n") {
      lines.emplace_back();
      continue;
    }
    std::u32string candidate = lines.back() + p;
    if (lines.back().empty() || textWidth(fonts, candidate) <= width) {
      lines.back() = std::move(candidate);
    } else {
      lines.push_back(p);
    }
    while (textWidth(fonts, lines.back()) > width && lines.back().size() > 1) {
      std::u32string& line = lines.back();
      std::size_t fit = 1;
      while (fit < line.size() && textWidth(fonts, std::u32string_view(line).substr(0, fit + 1)) <= width) ++fit;
      std::u32string rest = line.substr(fit);
      line.resize(fit);
      if (rest.empty()) break;
      lines.push_back(std::move(rest));
    }
  }
  return lines;
}

void X11WordPanel::paint() {
  PanelLines lines;
  try {
    lines = source_();
  } catch (...) {
    lines = PanelLines{};  // out of memory: an empty panel this time
  }
  const std::lock_guard lock(xftMutex);
  XWindowAttributes attributes{};
  if (XGetWindowAttributes(display_, window_, &attributes) == 0) return;
  const int width = attributes.width;
  const int height = attributes.height;

  XftDrawSetClip(draw_, nullptr);
  fillBand(kWordBandTop, std::min(kRomanBandTop, height), width);
  fillBand(kRomanBandTop, std::min(kNoteBandTop, height), width);
  fillBand(kNoteBandTop, height, width);

  if (lines.visible) {
    try {
      // First line: vertically centred in its band.
      setClip(kWordBandTop, kRomanBandTop, width);
      const XftFont* wordFont = wordFonts_.main;
      const int wordBaseline =
          kWordBandTop + (kRomanBandTop - kWordBandTop - (wordFont->ascent + wordFont->descent)) / 2 + wordFont->ascent;
      drawText(wordFonts_, colours_[1], 0, wordBaseline, codePoints(lines.word));

      // Second line: at the top of its band.
      setClip(kRomanBandTop, kNoteBandTop, width);
      drawText(romanFonts_, colours_[2], 0, kRomanBandTop + romanFonts_.main->ascent, codePoints(lines.romanized));

      // Third line: word-wrapped down to the bottom.
      setClip(kNoteBandTop, height, width);
      const int lineHeight = std::max(1, noteFonts_.main->height);
      int baseline = kNoteBandTop + noteFonts_.main->ascent;
      for (const std::u32string& line : wrapLines(noteFonts_, codePoints(lines.note), width)) {
        if (baseline - noteFonts_.main->ascent >= height) break;
        drawText(noteFonts_, colours_[3], 0, baseline, line);
        baseline += lineHeight;
      }
    } catch (...) {
      // Out of memory while laying out: what was drawn stays.
    }
    XftDrawSetClip(draw_, nullptr);
  }
  XFlush(display_);
}

}  // namespace

std::unique_ptr<WordPanel> createX11WordPanel(UiLanguage language, PanelLinesSource source) {
  try {
    return X11WordPanel::create(language, std::move(source));
  } catch (...) {
    return nullptr;
  }
}

namespace {

// Linking this file is what gives a program (or the COM module) the panel.
// The factory slot is constant-initialised, so the order of static
// initialisation does not matter.
[[maybe_unused]] const bool installed = [] {
  setWordPanelFactory(createX11WordPanel);
  return true;
}();

}  // namespace

}  // namespace sonvale::ui
