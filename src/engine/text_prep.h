// Text preparation: cuts a fragment list into sentences of items. Spoken
// fragments are split at ASCII white space into tokens, with ASCII opening
// and closing marks split off into items of their own; every other fragment
// (silence, bookmark, ...) is one item. A sentence ends after a token whose
// split-off closing marks hold '.', '!' or '?', or when the list is used up.
#pragma once

#include <cstddef>
#include <limits>

#include "engine/text_item.h"
#include "platform/sapi.h"

namespace sonvale {

// Where text preparation stands in the fragment list.
struct TextCursor {
  const SPVTEXTFRAG* fragment = nullptr;  // null when the list is used up
  const char16_t* next = nullptr;         // next code unit of the fragment still to split
  const char16_t* end = nullptr;          // end of the fragment's text
  bool midSentence = false;               // the items last filled stopped short of the sentence's end
};

// Points the cursor at the first fragment of `list` (which may be null).
void startText(TextCursor& cursor, const SPVTEXTFRAG* list);

// Fills `items` with the next sentence, or with its next part when `limit`
// items are reached first (whole tokens only, so a few more may come): then
// cursor.midSentence is set and the next call goes on with the same sentence.
// Returns S_OK when the list holds at least one item, S_FALSE when the
// fragments are used up.
HRESULT nextSentence(TextCursor& cursor, ItemList& items, std::size_t limit = std::numeric_limits<std::size_t>::max());

}  // namespace sonvale
