#include "engine/bookmark_joins.h"

#include <algorithm>
#include <functional>
#include <iterator>

namespace sonvale {

namespace {

bool isSpoken(const SPVTEXTFRAG* f) { return f != nullptr && f->State.eAction == SPVA_Speak; }
bool isBookmark(const SPVTEXTFRAG* f) { return f != nullptr && f->State.eAction == SPVA_Bookmark; }

// A fragment's text up to its first NUL, as text preparation reads it.
std::u16string_view textOf(const SPVTEXTFRAG& f) {
  if (f.pTextStart == nullptr) return {};
  std::u16string_view text(f.pTextStart, f.ulTextLen);
  return text.substr(0, text.find(u'\0'));
}

// The spoken fragment that a run of bookmarks after `f` leads to, or null
// when the run ends in anything else, in a fragment spoken at another rate,
// volume or emphasis, or there is no bookmark after `f`.
// The fragment must hold more than white space, so that every bookmark of a
// joined text stands before a code unit that is spoken and is sent there, in
// order with the bookmarks that follow.
const SPVTEXTFRAG* spokenAfterBookmarks(const SPVTEXTFRAG* f) {
  const SPVTEXTFRAG* next = f->pNext;
  if (!isBookmark(next)) return nullptr;
  while (isBookmark(next)) next = next->pNext;
  if (!isSpoken(next) || next->State.RateAdj != f->State.RateAdj || next->State.Volume != f->State.Volume ||
      next->State.EmphAdj != f->State.EmphAdj)
    return nullptr;
  const std::u16string_view text = textOf(*next);
  return text.find_first_not_of(u" \t\r\n") != std::u16string_view::npos ? next : nullptr;
}

}  // namespace

void BookmarkJoins::clear() {
  fragments_.clear();
  joined_.clear();
  byStart_.clear();
  marks_.clear();
}

const SPVTEXTFRAG* BookmarkJoins::join(const SPVTEXTFRAG* list) {
  clear();
  bool any = false;
  for (const SPVTEXTFRAG* f = list; f != nullptr && !any; f = f->pNext)
    any = isSpoken(f) && spokenAfterBookmarks(f) != nullptr;
  if (!any) return list;

  // Copies the list, replacing each run by one fragment. The fragments of a
  // run share their rate, volume and emphasis, so the run's first state serves.
  for (const SPVTEXTFRAG* f = list; f != nullptr;) {
    SPVTEXTFRAG& copy = fragments_.emplace_back(*f);
    copy.pNext = nullptr;
    if (fragments_.size() > 1) fragments_[fragments_.size() - 2].pNext = &copy;
    if (!isSpoken(f) || spokenAfterBookmarks(f) == nullptr) {
      f = f->pNext;
      continue;
    }
    const std::size_t index = joined_.size();
    Joined& joined = joined_.emplace_back();
    for (;;) {
      joined.pieces.push_back({static_cast<std::uint32_t>(joined.text.size()), f->ulTextSrcOffset});
      joined.text += textOf(*f);
      const SPVTEXTFRAG* next = spokenAfterBookmarks(f);
      if (next == nullptr) break;
      for (const SPVTEXTFRAG* b = f->pNext; b != next; b = b->pNext)
        marks_.push_back({index, static_cast<std::uint32_t>(joined.text.size()), b->pTextStart,
                          b->pTextStart != nullptr ? b->ulTextLen : 0});
      f = next;
    }
    f = f->pNext;
    copy.pTextStart = joined.text.data();
    copy.ulTextLen = static_cast<ULONG>(joined.text.size());
    byStart_[joined.text.data()] = index;
  }
  return &fragments_.front();
}

std::optional<BookmarkJoins::Place> BookmarkJoins::locate(const char16_t* unit) const {
  auto it = byStart_.upper_bound(unit);
  if (it == byStart_.begin()) return std::nullopt;
  --it;
  const Joined& joined = joined_[it->second];
  if (!std::less<const char16_t*>()(unit, it->first + joined.text.size())) return std::nullopt;
  const auto p = static_cast<std::uint32_t>(unit - it->first);
  const auto piece = std::prev(std::upper_bound(joined.pieces.begin(), joined.pieces.end(), p,
                                                [](std::uint32_t v, const Piece& x) { return v < x.position; }));
  return Place{it->second, p, piece->sourceOffset + (p - piece->position)};
}

}  // namespace sonvale
