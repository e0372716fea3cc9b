// Bookmarks inside running text. A bookmark is an index into the text, not a
// break in it: text around a bookmark must sound exactly as it would without
// one. Text preparation cuts tokens at fragment borders and the loop ends every
// spoken item with a silence, so a bookmark fragment between two spoken
// fragments would cut a word in two and add a pause. BookmarkJoins therefore
// joins every run of spoken fragments that only bookmarks separate into one
// spoken fragment of its own text, and keeps the bookmarks aside with the
// place in the joined text that each stands before. The loop sends a bookmark
// just before the audio of that place: between words that is where the next
// word begins; inside a word it is where the syllable of the next character
// begins (a word speaks one syllable per character); inside a number, whose
// reading does not follow its digits, it is where the number's reading ends.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/sapi.h"

namespace sonvale {

class BookmarkJoins {
 public:
  // A bookmark taken out of the fragment list: it stands before code unit
  // `position` of joined text `text` (position may equal the text's length).
  struct Mark {
    std::size_t text = 0;
    std::uint32_t position = 0;
    const char16_t* name = nullptr;  // the caller's bookmark fragment text
    std::uint32_t nameLength = 0;
  };

  // Where a code unit of a joined text lies.
  struct Place {
    std::size_t text = 0;
    std::uint32_t position = 0;
    std::uint32_t sourceOffset = 0;  // in the caller's source text
  };

  // Returns the list to speak: `list` itself when no bookmark stands between
  // two spoken fragments, else a copy with every such run joined. The copy and
  // its text stay valid until the next join() or clear().
  const SPVTEXTFRAG* join(const SPVTEXTFRAG* list);
  void clear();

  // The place of `unit` when it points into a joined text, else nothing.
  std::optional<Place> locate(const char16_t* unit) const;

  // The bookmarks taken out, in text order.
  const std::vector<Mark>& marks() const { return marks_; }

 private:
  // From `position` on, the joined text's code units come from the caller's
  // source text at `sourceOffset` onwards.
  struct Piece {
    std::uint32_t position = 0;
    std::uint32_t sourceOffset = 0;
  };
  struct Joined {
    std::u16string text;
    std::vector<Piece> pieces;
  };

  std::deque<SPVTEXTFRAG> fragments_;  // a deque keeps the pNext links valid as it grows
  std::deque<Joined> joined_;
  std::map<const char16_t*, std::size_t> byStart_;  // joined text's first code unit -> its index
  std::vector<Mark> marks_;
};

}  // namespace sonvale
