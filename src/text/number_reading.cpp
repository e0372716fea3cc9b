#include "text/number_reading.h"

namespace sonvale {

std::u16string readNumber(const NumberParts&) { return {}; }

}  // namespace sonvale
