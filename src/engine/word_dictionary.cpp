#include "engine/word_dictionary.h"

namespace sonvale {

int WordDictionary::lookUpWord(const char16_t*, std::size_t length, WordRecord&) const {
  if (length <= 1 || file_.empty()) return 1;
  // Searching the dictionary's index and records comes with dictionary support.
  return 1;
}

}  // namespace sonvale
