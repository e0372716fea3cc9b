// Text preparation: cuts a fragment list into sentences of items. Spoken
// fragments are split at ASCII white space into tokens, with ASCII opening
// and closing marks split off into items of their own; every other fragment
// (silence, bookmark, ...) is one item. A sentence ends after a token whose
// split-off closing marks hold '.', '!' or '?', or when the list is used up.
#pragma once

#include "engine/text_item.h"
#include "platform/sapi.h"

namespace sonvale {

// Where text preparation stands in the fragment list.
struct TextCursor {
  const SPVTEXTFRAG* fragment = nullptr;  // null when the list is used up
  const char16_t* next = nullptr;         // next code unit of the fragment still to split
  const char16_t* end = nullptr;          // end of the fragment's text
};

// Points the cursor at the first fragment of `list` (which may be null).
void startText(TextCursor& cursor, const SPVTEXTFRAG* list);

// Fills `items` with the next sentence. Returns S_OK when the list holds at
// least one item, S_FALSE when the fragments are used up.
HRESULT nextSentence(TextCursor& cursor, ItemList& items);

}  // namespace sonvale
