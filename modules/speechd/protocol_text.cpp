#include "protocol_text.h"

#include <charconv>
#include <climits>
#include <optional>

#include "speechd_params.h"

namespace sonvale::speechd {

namespace {

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// A whole decimal number with an optional sign and nothing around it.
bool parseWholeNumber(std::string_view text, long long& out) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string parameterError(std::string_view name, std::string_view value, std::string_view expected) {
  return std::string(name) + ": '" + std::string(value) + "' is not " + std::string(expected);
}

// Reads the value of a configuration line: bare up to a comment, or between
// double quotes with \" and \\ escapes. False for an unterminated quote or
// text after the closing one.
bool configValue(std::string_view rest, std::string& value, std::string& error) {
  rest = trimmed(rest);
  value.clear();
  if (rest.empty() || rest.front() != '"') {
    const std::size_t hash = rest.find('#');
    value = std::string(trimmed(rest.substr(0, hash)));
    return true;
  }
  std::size_t i = 1;
  for (; i < rest.size() && rest[i] != '"'; ++i) {
    if (rest[i] == '\\' && i + 1 < rest.size()) ++i;
    value.push_back(rest[i]);
  }
  if (i >= rest.size()) {
    error = "the quoted value has no closing '\"'";
    return false;
  }
  const std::string_view after = trimmed(rest.substr(i + 1));
  if (!after.empty() && after.front() != '#') {
    error = "unexpected text after the quoted value: '" + std::string(after) + "'";
    return false;
  }
  return true;
}

}  // namespace

std::string_view unescapeDataLine(std::string_view line) {
  return line.size() >= 2 && line[0] == '.' && line[1] == '.' ? line.substr(1) : line;
}

bool splitSetting(std::string_view line, std::string_view& name, std::string_view& value) {
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos || eq == 0) return false;
  name = line.substr(0, eq);
  value = line.substr(eq + 1);
  return true;
}

std::string applySetting(VoiceSettings& settings, std::string_view name, std::string_view value) {
  const bool isNull = value == "NULL";
  int* number = name == "rate"          ? &settings.rate
                : name == "volume"      ? &settings.volume
                : name == "pitch"       ? &settings.pitch
                : name == "pitch_range" ? &settings.pitchRange
                                        : nullptr;
  if (number != nullptr) {
    long long n = 0;
    if (!parseWholeNumber(value, n)) return parameterError(name, value, "a whole number");
    // The server keeps these within -100..100; anything past that means the same as the end.
    *number = static_cast<int>(n < -100 ? -100 : n > 100 ? 100 : n);
    return {};
  }
  if (name == "punctuation_mode") {
    if (isNull) return {};
    const std::optional<int> read = readPunctuationFor(value);
    if (!read) return parameterError(name, value, "none, some, most or all");
    settings.readPunctuation = *read;
    return {};
  }
  if (name == "spelling_mode") {
    if (isNull) return {};
    if (value != "on" && value != "off") return parameterError(name, value, "on or off");
    settings.spell = value == "on";
    return {};
  }
  if (name == "language") {
    settings.language = isNull ? std::string() : std::string(value);
    return {};
  }
  if (name == "synthesis_voice") {
    settings.synthesisVoice = isNull ? std::string() : std::string(value);
    return {};
  }
  return {};
}

std::string audioEvent(std::span<const std::int16_t> samples, int rateHz) {
  std::string out = "705-bits=16\n705-num_channels=1\n705-sample_rate=" + std::to_string(rateHz) +
                    "\n705-num_samples=" + std::to_string(samples.size()) + "\n705-AUDIO";
  out.push_back('\0');
  out.reserve(out.size() + samples.size() * 2 + 16);
  constexpr char kEscape = 0x7D;
  constexpr char kInvert = 0x20;
  for (const std::int16_t sample : samples) {
    const auto u = static_cast<std::uint16_t>(sample);
    for (const char byte : {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)}) {
      if (byte == '\n' || byte == kEscape) {
        out.push_back(kEscape);
        out.push_back(static_cast<char>(byte ^ kInvert));
      } else {
        out.push_back(byte);
      }
    }
  }
  out += "\n705 AUDIO\n";
  return out;
}

std::string indexMarkEvent(std::string_view name) {
  std::string out = "700-";
  for (const char c : name) out.push_back(c == '\n' ? ' ' : c);
  out += "\n700 INDEX MARK\n";
  return out;
}

std::string parseModuleConfig(std::string_view text, ModuleConfig& config) {
  std::size_t lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const std::size_t eol = text.find('\n');
    const std::string_view line = trimmed(text.substr(0, eol));
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    if (line.empty() || line.front() == '#') continue;
    std::size_t nameEnd = 0;
    while (nameEnd < line.size() && !isBlank(line[nameEnd])) ++nameEnd;
    const std::string_view name = line.substr(0, nameEnd);
    // Other options may take several values; only ours are read.
    if (!equalsNoCase(name.substr(0, 7), "Sonvale")) continue;
    std::string value, error;
    const std::string where = "line " + std::to_string(lineNumber) + ": ";
    if (!configValue(line.substr(nameEnd), value, error)) return where + error;
    if (equalsNoCase(name, "SonvaleVoice")) {
      config.voice = value;
    } else if (equalsNoCase(name, "SonvaleAudioOutput")) {
      if (equalsNoCase(value, "server")) {
        config.output = AudioOutput::Server;
      } else if (equalsNoCase(value, "file")) {
        config.output = AudioOutput::File;
      } else if (equalsNoCase(value, "null")) {
        config.output = AudioOutput::Null;
      } else {
        return where + "SonvaleAudioOutput is \"server\", \"file\" or \"null\", not \"" + value + "\"";
      }
    } else if (equalsNoCase(name, "SonvaleAudioFile")) {
      config.audioFile = value;
    } else if (equalsNoCase(name, "SonvaleRegistry")) {
      config.registry = value;
    } else if (equalsNoCase(name, "SonvaleDebug")) {
      long long n = 0;
      if (!parseWholeNumber(value, n) || n < 0 || n > INT_MAX)
        return where + "SonvaleDebug is 0 or 1, not \"" + value + "\"";
      config.debug = static_cast<int>(n);
    } else if (equalsNoCase(name, "SonvaleFastSpeech")) {
      if (value != "0" && value != "1") return where + "SonvaleFastSpeech is 0 or 1, not \"" + value + "\"";
      config.fastSpeech = value == "1" ? 1 : 0;
    } else {
      return where + "unknown option " + std::string(name);
    }
  }
  if (config.output == AudioOutput::File && config.audioFile.empty())
    return "SonvaleAudioOutput is \"file\" but SonvaleAudioFile names no file";
  return {};
}

}  // namespace sonvale::speechd
