// Sonvale against espeak-ng's Cantonese voice, on the same 10 000-character
// Cantonese text in one run. Prints, for each, seconds of audio per CPU second
// of this process and their ratio; Sonvale's time from the speaking call to
// its first audio once the voice is open, with the unit cache cold and warm;
// and the process's peak memory after Sonvale has spoken with the unit cache
// at its default. Sonvale speaks with the installed default voice; run the
// set-up first.
//
//   espeak_compare_bench [--runs N]   (N passes over the text each, default 3)
#include <espeak-ng/speak_lib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/utf.h"
#include "sonvale/sonvale.h"

namespace {

// Everyday Cantonese prose; the text is these paragraphs, repeated and cut at
// exactly kTextCharacters characters.
const char* const kParagraphs[] = {
    "香港係一個國際大都會，每日都有好多人喺度返工、讀書同埋旅遊。",
    "我哋今日去飲茶，食咗蝦餃、燒賣同叉燒包，大家都好開心。",
    "聽日天氣會轉涼，記得帶多件衫，出門口之前睇下天文台嘅報告。",
    "政府今年會喺新界興建更多公共房屋，希望可以縮短市民輪候上樓嘅時間。",
    "圖書館星期一休息，其他日子由朝早十點開到夜晚八點，歡迎小朋友同家長一齊嚟睇書。",
    "佢細個嗰陣住喺深水埗，成日同啲朋友仔喺街市附近踢波，一直玩到天黑先返屋企。",
    "呢間公司成立咗三十幾年，由一間細舖頭發展到而家喺亞洲各地都有分店。",
    "醫生話佢要多啲休息，唔好食太多煎炸嘢，每日最好飲八杯水同埋做運動。",
    "地鐵沿線嘅車站都好方便，無論去邊度都唔使行好遠，搭車亦都好準時。",
    "學校下個月舉行運動會，同學們已經開始練習跑步、跳遠同埋接力賽。",
    "颱風正向本港逼近，天文台考慮今晚改發八號烈風或暴風信號，市民應該做好防風措施。",
    "佢哋兩公婆結婚十年，每年都會去日本旅行，最鍾意喺溫泉旅館住幾晚。",
    "博物館嘅新展覽介紹咗本地漁村嘅歷史，展出好多舊相片、漁具同埋船模型。",
    "老闆話下個禮拜要開會討論明年嘅預算，叫大家準備好各部門嘅報告。",
    "阿婆每朝五點幾就起身，去公園耍太極，之後再同街坊去茶樓飲早茶。",
    "呢套電影講述一個年輕人離開家鄉去大城市追尋夢想，結局令好多觀眾感動到喊。",
    "市場上嘅蔬菜價錢最近升咗唔少，主婦買餸嗰陣都要格外精打細算。",
    "佢喺大學讀電腦科學，畢業之後想加入科技公司，開發幫助長者嘅應用程式。",
    "海洋公園今個暑假推出咗新嘅機動遊戲，吸引咗唔少遊客專登嚟玩。",
    "如果你有任何問題，歡迎隨時打電話或者寫電郵俾我哋嘅客戶服務部。",
};

constexpr std::size_t kTextCharacters = 10000;
constexpr int kDefaultUnitCacheKB = 4096;

std::string benchText() {
  std::u16string all;
  while (all.size() < kTextCharacters) {
    for (const char* paragraph : kParagraphs) all += sonvale::platform::utf8ToUtf16(paragraph);
  }
  all.resize(kTextCharacters);  // every character of the paragraphs is one UTF-16 unit
  return sonvale::platform::utf16ToUtf8(all);
}

using Clock = std::chrono::steady_clock;

double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double peakMemoryMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // KiB on Linux
}

struct Tally {
  std::uint64_t samples = 0;
  bool first = true;
  Clock::time_point start;
  double firstAudioMs = 0;

  void add(std::size_t count) {
    if (first) {
      firstAudioMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      first = false;
    }
    samples += count;
  }
};

Tally* espeakTally = nullptr;

int onEspeakAudio(short* samples, int count, espeak_EVENT*) {
  if (espeakTally != nullptr && samples != nullptr && count > 0) espeakTally->add(static_cast<std::size_t>(count));
  return 0;
}

int onSonvaleAudio(void* user, const std::int16_t*, std::size_t count) {
  static_cast<Tally*>(user)->add(count);
  return 0;
}

struct Throughput {
  double audioSeconds = 0, cpuSeconds = 0;
  double perCpuSecond() const { return cpuSeconds > 0 ? audioSeconds / cpuSeconds : 0; }
};

// `runs` passes over the text; the first pass is also reported alone.
struct SonvaleResult {
  Throughput firstPass, all;
  double firstCallMs = 0, coldFirstAudioMs = 0, warmFirstAudioMs = 0;
};

// Empties the engine's unit cache (it lives in the engine module, set through
// the setting that bounds it) and gives it a budget of `cacheKB`.
void emptyUnitCache(sonvale_voice* voice, int cacheKB) {
  sonvale_set_setting(voice, "UnitCacheKB", 0);
  sonvale_speak(voice, "好。", -1, SONVALE_TEXT_PLAIN, nullptr, nullptr, nullptr);
  sonvale_set_setting(voice, "UnitCacheKB", cacheKB);
}

// The time to the first audio of a short sentence, in milliseconds.
double firstAudioMs(sonvale_voice* voice) {
  Tally tally;
  tally.start = Clock::now();
  if (sonvale_speak(voice, "我哋今日去飲茶。", -1, SONVALE_TEXT_PLAIN, onSonvaleAudio, nullptr, &tally) != SONVALE_OK)
    return -1;
  return tally.firstAudioMs;
}

// The median of `count` measures, each after `before` has run.
template <typename Before>
double medianFirstAudioMs(sonvale_voice* voice, int count, Before before) {
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    before();
    times.push_back(firstAudioMs(voice));
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

bool speakSonvale(sonvale_voice* voice, const std::string& text, int runs, int cacheKB, SonvaleResult& result) {
  // The latency of a short sentence: in the first call of the process, then
  // with the unit cache emptied, then with its units cached.
  result.firstCallMs = firstAudioMs(voice);
  result.coldFirstAudioMs = medianFirstAudioMs(voice, 9, [&] { emptyUnitCache(voice, cacheKB); });
  result.warmFirstAudioMs = medianFirstAudioMs(voice, 9, [] {});
  if (result.firstCallMs < 0) return false;
  emptyUnitCache(voice, cacheKB);
  for (int run = 0; run < runs; ++run) {
    Tally tally;
    tally.start = Clock::now();
    const double started = cpuSeconds();
    if (sonvale_speak(voice, text.c_str(), -1, SONVALE_TEXT_PLAIN, onSonvaleAudio, nullptr, &tally) != SONVALE_OK)
      return false;
    const Throughput pass{static_cast<double>(tally.samples) / 11025.0, cpuSeconds() - started};
    if (run == 0) result.firstPass = pass;
    result.all.audioSeconds += pass.audioSeconds;
    result.all.cpuSeconds += pass.cpuSeconds;
  }
  return true;
}

bool speakEspeak(const std::string& text, int runs, Throughput& result, double& firstAudioMs) {
  const int rateHz = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 500, nullptr, 0);
  if (rateHz <= 0 || espeak_SetVoiceByName("yue") != EE_OK) return false;
  espeak_SetSynthCallback(onEspeakAudio);
  for (int run = 0; run < runs; ++run) {
    Tally tally;
    espeakTally = &tally;
    tally.start = Clock::now();
    const double started = cpuSeconds();
    espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr, nullptr);
    result.cpuSeconds += cpuSeconds() - started;
    result.audioSeconds += static_cast<double>(tally.samples) / rateHz;
    if (run == 0) firstAudioMs = tally.firstAudioMs;
  }
  espeakTally = nullptr;
  espeak_Terminate();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: espeak_compare_bench [--runs N]\n");
      return 2;
    }
  }
  const std::string text = benchText();
  std::printf("text: %zu characters (%zu bytes of UTF-8), %d passes each\n", kTextCharacters, text.size(), runs);

  sonvale_voice* voice = nullptr;
  char error[256];
  if (sonvale_open(nullptr, &voice, error, sizeof error) != SONVALE_OK) {
    std::fprintf(stderr, "sonvale: %s\n", error);
    return 1;
  }
  const double openedMiB = peakMemoryMiB();
  SonvaleResult sonvale;
  if (!speakSonvale(voice, text, runs, kDefaultUnitCacheKB, sonvale)) {
    std::fprintf(stderr, "sonvale: %s\n", sonvale_last_error(voice));
    return 1;
  }
  const double spokenMiB = peakMemoryMiB();

  // The same text without the cache, for reference.
  SonvaleResult uncached;
  const bool uncachedDone = speakSonvale(voice, text, 1, 0, uncached);
  sonvale_close(voice);

  Throughput espeak;
  double espeakFirstMs = 0;
  if (!speakEspeak(text, runs, espeak, espeakFirstMs)) {
    std::fprintf(stderr, "espeak-ng or its Cantonese voice is not available\n");
    return 1;
  }

  std::printf("%-34s %12s %10s %18s\n", "", "audio s", "CPU s", "audio s per CPU s");
  const auto row = [](const char* name, const Throughput& t) {
    std::printf("%-34s %12.1f %10.3f %18.0f\n", name, t.audioSeconds, t.cpuSeconds, t.perCpuSecond());
  };
  row("sonvale, all passes", sonvale.all);
  row("sonvale, first pass (cold cache)", sonvale.firstPass);
  if (uncachedDone) row("sonvale, cache off", uncached.all);
  row("espeak-ng yue, all passes", espeak);
  std::printf("ratio sonvale / espeak-ng: %.2f (first pass alone %.2f, cache off %.2f)\n",
              sonvale.all.perCpuSecond() / espeak.perCpuSecond(),
              sonvale.firstPass.perCpuSecond() / espeak.perCpuSecond(),
              uncached.all.perCpuSecond() / espeak.perCpuSecond());
  std::printf(
      "first audio after the call: sonvale %.3f ms in the process's first call, %.3f ms with the unit cache empty, "
      "%.3f ms with it filled (medians of 9); espeak-ng %.3f ms\n",
      sonvale.firstCallMs, sonvale.coldFirstAudioMs, sonvale.warmFirstAudioMs, espeakFirstMs);
  std::printf("peak memory: %.1f MiB with the voice open, %.1f MiB after speaking (unit cache at %d KB)\n", openedMiB,
              spokenMiB, kDefaultUnitCacheKB);
  return 0;
}
