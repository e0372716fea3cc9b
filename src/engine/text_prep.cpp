#include "engine/text_prep.h"

namespace sonvale {

namespace {

bool isWhiteSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

bool isLeadingMark(char16_t c) { return c == u'(' || c == u'"' || c == u'{' || c == u'\'' || c == u'['; }

bool isSentenceEnd(char16_t c) { return c == u'.' || c == u'!' || c == u'?'; }

bool isTrailingMark(char16_t c) {
  return c == u',' || c == u'"' || c == u';' || c == u':' || c == u')' || c == u'}' || c == u'\'' || c == u']';
}

// Sets the cursor to the fragment's text. A NUL inside the text ends it: the
// caller promised none, and whatever follows one would never be reached.
void enterFragment(TextCursor& cursor, const SPVTEXTFRAG* fragment) {
  cursor.fragment = fragment;
  if (fragment == nullptr || fragment->pTextStart == nullptr) {
    cursor.next = cursor.end = fragment == nullptr ? nullptr : fragment->pTextStart;
    return;
  }
  const char16_t* text = fragment->pTextStart;
  const char16_t* end = text;
  const char16_t* limit = text + fragment->ulTextLen;
  while (end < limit && *end != 0) ++end;
  cursor.next = text;
  cursor.end = end;
}

TextItem makeItem(const SPVTEXTFRAG& fragment, const char16_t* text, std::uint32_t length) {
  const auto offset = static_cast<std::uint32_t>(fragment.ulTextSrcOffset + (text - fragment.pTextStart));
  return {&fragment.State, text, length, offset, length};
}

// Splits the next token of the current spoken fragment into items. Returns
// true when the token ended a sentence.
bool addNextToken(TextCursor& cursor, ItemList& items) {
  const SPVTEXTFRAG& fragment = *cursor.fragment;
  while (cursor.next < cursor.end && isWhiteSpace(*cursor.next)) ++cursor.next;
  if (cursor.next == cursor.end) return false;

  const char16_t* start = cursor.next;
  while (cursor.next < cursor.end && !isWhiteSpace(*cursor.next) && *cursor.next != 0) ++cursor.next;
  auto n = static_cast<std::uint32_t>(cursor.next - start);

  while (n > 1 && isLeadingMark(*start)) {
    items.addTail(makeItem(fragment, start, 1));
    ++start;
    --n;
  }

  const std::size_t main = items.addTail({});
  bool ended = false;
  while (n > 1) {
    const char16_t* last = start + n - 1;
    if (isSentenceEnd(*last)) {
      ended = true;
    } else if (!isTrailingMark(*last)) {
      break;
    }
    items.insertAfter(main, makeItem(fragment, last, 1));
    --n;
  }
  items[main] = makeItem(fragment, start, n);
  return ended;
}

void moveToNextFragment(TextCursor& cursor) { enterFragment(cursor, cursor.fragment->pNext); }

}  // namespace

void startText(TextCursor& cursor, const SPVTEXTFRAG* list) { enterFragment(cursor, list); }

HRESULT nextSentence(TextCursor& cursor, ItemList& items, std::size_t limit) {
  items.clear();
  cursor.midSentence = false;
  if (cursor.fragment == nullptr) return S_FALSE;
  bool ended = false;
  while (cursor.fragment != nullptr && !ended) {
    if (items.size() >= limit) {
      cursor.midSentence = true;
      break;
    }
    const SPVTEXTFRAG& fragment = *cursor.fragment;
    if (fragment.State.eAction != SPVA_Speak) {
      items.addTail({&fragment.State, fragment.pTextStart, fragment.ulTextLen, fragment.ulTextSrcOffset,
                     fragment.ulTextLen});
      moveToNextFragment(cursor);
      continue;
    }
    ended = addNextToken(cursor, items);
    if (cursor.next < cursor.end) continue;
    moveToNextFragment(cursor);
  }
  return items.empty() ? S_FALSE : S_OK;
}

}  // namespace sonvale
