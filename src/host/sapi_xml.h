// Speak text with SAPI 5 XML markup, turned into the fragment list that an
// engine's Speak receives: the host's stand-in for the speech API's own
// parser. Text between tags becomes fragments that carry the running state
// (volume, rate, pitch, emphasis, language, part of speech, context); the
// tags that insert items become silence, bookmark and pronounce fragments;
// tags outside the SAPI set are handed on as SPVA_ParseUnknownTag fragments.
//
// Markup is never an error: a '<' that does not open a well-formed tag, and a
// '&' that does not open a known entity, are plain text. Closing tags close
// the innermost open element of their name and every element opened inside
// it; a closing tag with nothing of its name open is ignored.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/sapi.h"

namespace sonvale::host {

// The running state of text outside every tag: SPVA_Speak, Chinese (Hong
// Kong), volume 100, every adjustment 0, no context, SPPS_Unknown.
inline constexpr LANGID kDefaultLangId = 0x0C04;
inline constexpr ULONG kDefaultVolume = 100;
// Longest silence a <silence> tag may ask for; longer requests are clamped.
inline constexpr ULONG kMaxSilenceMs = 65535;

enum class ParseStatus {
  Ok,
  OutOfMemory,  // memory ran out while parsing; the list is empty
  TooLong,      // the text has more code units than a ULONG offset can address; the list is empty
};

// A fragment list that owns its fragments, their texts and their context
// strings; every pointer in it stays valid while the list lives (moving the
// list keeps them valid). Texts are NUL-terminated after ulTextLen code units
// and never null; a fragment with no text has an empty string. pPhoneIds is
// always null: the host has no phone converter for <pron> symbols.
class FragmentList {
 public:
  struct Storage;

  FragmentList() noexcept;
  ~FragmentList();
  FragmentList(FragmentList&& other) noexcept;
  FragmentList& operator=(FragmentList&& other) noexcept;
  FragmentList(const FragmentList&) = delete;
  FragmentList& operator=(const FragmentList&) = delete;

  // The first fragment, null when the list is empty.
  const SPVTEXTFRAG* head() const noexcept;
  std::size_t size() const noexcept;
  bool empty() const noexcept { return size() == 0; }
  // Fragment i in list order, 0 <= i < size().
  const SPVTEXTFRAG& operator[](std::size_t i) const noexcept;
  // Code units of the caller's text that fragment i stands for, from its
  // ulTextSrcOffset: the text run (entities and CDATA sections undecoded) or
  // the whole tag of a bookmark, silence, pronounce or unknown-tag fragment.
  ULONG sourceLength(std::size_t i) const noexcept;
  ParseStatus status() const noexcept { return status_; }

 private:
  friend FragmentList parseSpeakText(std::u16string_view text, bool parseXml) noexcept;
  friend ParseStatus parseSpeakTextInBatches(std::u16string_view text, bool parseXml, std::size_t batchFragments,
                                             const std::function<bool(const FragmentList&)>& take) noexcept;
  FragmentList(std::unique_ptr<Storage> storage, ParseStatus status) noexcept;

  std::unique_ptr<Storage> storage_;
  ParseStatus status_ = ParseStatus::Ok;
};

// Parses `text` (UTF-16, any content). With `parseXml` false the whole text is
// one SPVA_Speak fragment at offset 0; with it true, SAPI 5 tags are
// interpreted. ulTextSrcOffset is the position, in UTF-16 code units of the
// caller's original text (tags included), of the fragment's first code unit,
// or of its tag. Empty text, or markup with no text and no item, gives an
// empty list.
FragmentList parseSpeakText(std::u16string_view text, bool parseXml) noexcept;

// Takes one batch of fragments; returning false stops the parse.
using FragmentBatchSink = std::function<bool(const FragmentList& batch)>;

// Parses `text` as parseSpeakText does, but hands the fragments over in
// batches of about `batchFragments` (at least one each), so that a long text
// never has all of its fragments in memory at once. Laid end to end, the
// batches are the list parseSpeakText makes, with the same offsets into
// `text`. A batch is cut only between fragments that nothing later can be
// put in front of: inside a <pron> element the batch grows until it closes.
// Returns the status; on OutOfMemory the batches taken so far stand.
ParseStatus parseSpeakTextInBatches(std::u16string_view text, bool parseXml, std::size_t batchFragments,
                                    const FragmentBatchSink& take) noexcept;

// SAPI's automatic choice: the text is parsed as XML when its first code
// unit is '<'.
bool looksLikeXml(std::u16string_view text) noexcept;

}  // namespace sonvale::host
