#include "text/phrase_table.h"

namespace sonvale {

int matchPhrase(const char16_t (&)[4], WordRecord&) { return 1; }

}  // namespace sonvale
