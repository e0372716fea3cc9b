// The word display panel as the engine sees it: created when an engine object
// is created, if a host application's window offers it a place; told to
// repaint when the speaking loop has a new word; destroyed with the engine.
//
// The engine library holds no window code. The panel comes from a factory
// installed once per program: linking the UI library's word_panel_x11.cpp
// installs the X11 one (createX11WordPanel), and setWordPanelFactory changes
// it. Without a factory, or without a host window, there is no panel and
// speaking is unaffected.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ui/ui_text.h"

namespace sonvale::ui {

// The window class of the host application's window that the panel covers.
inline constexpr char kPanelHostClass[] = "TallowVoiceShowByHarbinox";

// The panel's layout, the same on every platform: three bands, in pixels
// from its top, and the cell heights (ascent + descent) of their fonts.
inline constexpr int kWordBandTop = 0;
inline constexpr int kRomanBandTop = 20;
inline constexpr int kNoteBandTop = 40;
inline constexpr int kWordFontHeight = 17;
inline constexpr int kRomanFontHeight = 14;
inline constexpr int kNoteFontHeight = 14;
// The family of the phonetic font that draws the romanized line when it is
// installed.
inline constexpr char kPhoneticFontFamily[] = "Rirezode Rerurudo Diraz";

// What the panel draws, in UTF-8. When `visible` is false it shows only its
// empty background.
struct PanelLines {
  bool visible = false;
  std::string word;       // first line: the written form
  std::string romanized;  // second line: the romanized form with tone marks
  std::string note;       // third line, word-wrapped
};

// Gives the lines to draw now. Called on the panel's own thread, so it must
// copy what it reads under whatever lock guards it.
using PanelLinesSource = std::function<PanelLines()>;

class WordPanel {
 public:
  virtual ~WordPanel() = default;  // removes the panel's window

  // Asks for a repaint of the whole panel, background first. Returns at once
  // and never blocks; safe from any thread.
  virtual void invalidate() = 0;
};

// Makes a panel in the host window of the foreground window, or returns null
// when there is none (or no display).
using WordPanelFactory = std::unique_ptr<WordPanel> (*)(UiLanguage language, PanelLinesSource source);

namespace detail {
inline std::atomic<WordPanelFactory> wordPanelFactory{nullptr};
}  // namespace detail

// Sets the process's panel factory; null means no panel ever.
inline void setWordPanelFactory(WordPanelFactory factory) { detail::wordPanelFactory.store(factory); }

// The panel for a new engine object, or null. Never throws: a panel that
// cannot be made is simply absent.
inline std::unique_ptr<WordPanel> createWordPanel(UiLanguage language, PanelLinesSource source) noexcept {
  const WordPanelFactory factory = detail::wordPanelFactory.load();
  if (factory == nullptr) return nullptr;
  try {
    return factory(language, std::move(source));
  } catch (...) {
    return nullptr;
  }
}

// The X11 panel (word_panel_x11.cpp): looks for the host window inside the
// active window (_NET_ACTIVE_WINDOW, else the top-level window that has the
// input focus) and draws in a child window with Xft, on a thread of its own.
std::unique_ptr<WordPanel> createX11WordPanel(UiLanguage language, PanelLinesSource source);

// The host search, depth first from the foreground window `top`: at each
// window visited, its direct children are checked for a host; then the walk
// goes to the visited window's first child, else its next sibling, else up
// to the parent's next sibling, and so on, until it is back at `top`.
// `childrenOf(w)` lists w's children, first child first; `isHost(w)` tells a
// host window. Gives up after `maxVisits` windows.
template <typename Window, typename ChildrenOf, typename IsHost>
std::optional<Window> findPanelHost(const Window& top, ChildrenOf childrenOf, IsHost isHost,
                                    std::size_t maxVisits = 10000) {
  std::vector<std::vector<Window>> path;  // the children of each window on the way down
  std::vector<std::size_t> nextIndex;     // and which of them comes next
  Window visited = top;
  for (std::size_t visits = 0; visits < maxVisits; ++visits) {
    std::vector<Window> children = childrenOf(visited);
    for (const Window& child : children)
      if (isHost(child)) return child;
    if (!children.empty()) {
      path.push_back(std::move(children));
      nextIndex.push_back(0);
    }
    while (!path.empty() && nextIndex.back() >= path.back().size()) {
      path.pop_back();
      nextIndex.pop_back();
    }
    if (path.empty()) return std::nullopt;
    visited = path.back()[nextIndex.back()++];
  }
  return std::nullopt;
}

}  // namespace sonvale::ui
