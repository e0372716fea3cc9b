// One item of a sentence and the list that holds a sentence. Items point into
// the caller's fragment text, which stays valid for the whole speaking call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/sapi.h"

namespace sonvale {

struct TextItem {
  const SPVSTATE* state = nullptr;  // the fragment's state; its eAction says what the item is
  const char16_t* text = nullptr;   // first code unit, inside the fragment's text
  std::uint32_t length = 0;         // code units
  std::uint32_t sourceOffset = 0;   // characters from the start of the caller's text
  std::uint32_t sourceLength = 0;   // always equal to length
};

// The items of one sentence in text order. Refilled for every sentence; its
// memory is kept between sentences and released by release().
class ItemList {
 public:
  void clear() { items_.clear(); }
  void release() { std::vector<TextItem>().swap(items_); }

  // Appends an item and returns its index.
  std::size_t addTail(const TextItem& item) {
    items_.push_back(item);
    return items_.size() - 1;
  }

  // Inserts an item directly after the item at `index`.
  void insertAfter(std::size_t index, const TextItem& item) {
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(index) + 1, item);
  }

  bool empty() const { return items_.empty(); }
  std::size_t size() const { return items_.size(); }
  const TextItem& operator[](std::size_t i) const { return items_[i]; }
  TextItem& operator[](std::size_t i) { return items_[i]; }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::vector<TextItem> items_;
};

}  // namespace sonvale
