/* Sonvale: Chinese text read aloud in Cantonese.
 *
 * A small C interface for programs that embed the engine: open a voice,
 * speak UTF-8 text into callbacks that receive the audio (16-bit signed
 * mono samples) and the events (sentence, word, bookmark), abort from any
 * thread or a signal handler, close.
 *
 *   sonvale_voice* voice;
 *   char error[256];
 *   if (sonvale_open(NULL, &voice, error, sizeof error) != SONVALE_OK) ...
 *   sonvale_speak(voice, "你好。", -1, SONVALE_TEXT_AUTO, on_audio, on_event, user);
 *   sonvale_close(voice);
 *
 * One voice speaks one text at a time; several voices may speak at once on
 * several threads. No function throws or ends the process. */
#ifndef SONVALE_SONVALE_H
#define SONVALE_SONVALE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results. */
#define SONVALE_OK 0
#define SONVALE_ERROR_ARGUMENT 1   /* a null pointer or a value out of range */
#define SONVALE_ERROR_NO_VOICE 2   /* no voice of that name is installed */
#define SONVALE_ERROR_VOICE 3      /* the voice's files are missing or damaged */
#define SONVALE_ERROR_OUTPUT 4     /* the audio callback refused the audio */
#define SONVALE_ERROR_ENGINE 5     /* anything else the engine reported */

/* How text is read. */
#define SONVALE_TEXT_PLAIN 0  /* every character is text */
#define SONVALE_TEXT_XML 1    /* speech markup: <bookmark mark="x"/>, <silence msec="500"/>, <spell>, ... */
#define SONVALE_TEXT_AUTO 2   /* SSML when the text begins with <speak>, else markup when it begins with '<' */
#define SONVALE_TEXT_SSML 3   /* SSML: <speak>, <mark name="x"/>, <break time="500ms"/>, <prosody>, <say-as>, ...;
                                 positions of events are in the SSML text, bookmarks carry the marks' names */

/* Event kinds. */
#define SONVALE_EVENT_SENTENCE 1
#define SONVALE_EVENT_WORD 2
#define SONVALE_EVENT_BOOKMARK 3

typedef struct sonvale_voice sonvale_voice;

typedef struct sonvale_event {
  int kind;                /* SONVALE_EVENT_* */
  uint64_t audio_offset;   /* bytes of audio delivered before the event's audio */
  uint32_t text_pos;       /* the event's text: first character, counted in characters */
  uint32_t text_len;       /* and its length in characters (0 for bookmarks) */
  uint32_t utf8_pos;       /* the same span in bytes of the UTF-8 text */
  uint32_t utf8_len;
  const char* name;        /* bookmarks: the mark's name, UTF-8; valid during the callback */
  int32_t value;           /* bookmarks: the name read as a decimal number, else 0 */
} sonvale_event;

/* Receives `count` samples (16-bit signed, mono, at sonvale_sample_rate()).
 * Return 0 to go on; anything else stops speaking with SONVALE_ERROR_OUTPUT. */
typedef int (*sonvale_audio_fn)(void* user, const int16_t* samples, size_t count);

/* Receives each event as it happens, before the audio it announces. */
typedef void (*sonvale_event_fn)(void* user, const sonvale_event* event);

/* Opens the installed voice `name` (NULL or "" for the default voice). On
 * failure *voice is NULL and, when `error` is not NULL, it receives one line
 * saying what is wrong (which file is missing, what is damaged). */
int sonvale_open(const char* name, sonvale_voice** voice, char* error, size_t error_size);

/* Speaks `length` bytes of UTF-8 `text` (-1: up to its NUL). Returns when
 * the text is spoken or sonvale_abort() was called (both SONVALE_OK). Either
 * callback may be NULL. SSML that is not well-formed is refused with
 * SONVALE_ERROR_ARGUMENT before anything is spoken; sonvale_last_error()
 * says where. */
int sonvale_speak(sonvale_voice* voice, const char* text, ptrdiff_t length, int text_kind, sonvale_audio_fn on_audio,
                  sonvale_event_fn on_event, void* user);

/* Stops the speaking call in progress within one syllable. Safe from any
 * thread and from a signal handler. A later sonvale_speak() starts afresh. */
void sonvale_abort(sonvale_voice* voice);

/* Rate -10..10 (0 normal) and volume 0..100 for the speaking call in
 * progress and the ones that follow. Safe from any thread. */
int sonvale_set_rate(sonvale_voice* voice, int rate);
int sonvale_set_volume(sonvale_voice* voice, int volume);

/* Sets an engine setting (PuncLong, PuncShort, ReadPunctuation, ReadNumber,
 * VoiceStyle, SmoothCuts, ...; see `sonvale config --help`) for every voice of this
 * process, without storing it. SONVALE_ERROR_ARGUMENT for an unknown name. */
int sonvale_set_setting(sonvale_voice* voice, const char* name, int32_t value);

/* The sample rate at which the audio is meant to be played, in Hz (11025
 * unless the VoiceStyle setting asks for another). */
int sonvale_sample_rate(const sonvale_voice* voice);

/* The last error of this voice as one line, "" when there was none. */
const char* sonvale_last_error(const sonvale_voice* voice);

void sonvale_close(sonvale_voice* voice);

#ifdef __cplusplus
}
#endif

#endif
