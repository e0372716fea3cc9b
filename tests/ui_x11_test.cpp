// The word display panel and the properties dialog in real X11 windows, on an
// Xvfb server this suite starts for itself. Tests that need the server are
// skipped, saying why, when it cannot start (the dialog's also without
// xdotool), and fail instead when SONVALE_REQUIRE_X=1 (the test command sets
// it where it installs both); the others run anyway. Screenshots of what the user would see are written
// to SONVALE_ARTEFACT_DIR as PNG files.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "host/output_site.h"
#include "host/voice_tokens.h"
#include "platform/registry.h"
#include "server/kelvane_ui.h"
#include "settings/engine_settings.h"
#include "test_support.h"
#include "ui/ui_text.h"
#include "ui/word_panel.h"
#include "voice_fixture.h"

// Last: Xlib defines None, Bool and Status as macros, which GoogleTest's own
// names must not meet.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>


// Fontconfig, cairo and pango keep process-wide caches that they never free;
// under LeakSanitizer these are not our leaks, in this process or in the
// command it starts (the suppressions reach it through LSAN_OPTIONS).
constexpr char kLibraryCaches[] = "leak:libfontconfig.so\nleak:libcairo.so\nleak:libpango\n";
extern "C" const char* __lsan_default_suppressions() { return kLibraryCaches; }

namespace sonvale {
namespace {

constexpr int kScreenWidth = 1024;
constexpr unsigned kTopWidthForShots = 480;  // panel_host's window
constexpr unsigned kTopHeightForShots = 176;
constexpr int kScreenHeight = 768;
constexpr auto kPatience = std::chrono::seconds(20);  // for windows to appear; never a timing check

std::optional<std::string> findProgram(const char* name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

// A child process; killed and reaped when the object goes.
class Child {
 public:
  // Starts `argv` with this process's environment; `stdoutFd`, when not
  // null, receives the read end of a pipe from the child's standard output.
  bool start(const std::vector<std::string>& argv, int* stdoutFd = nullptr) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int fds[2] = {-1, -1};
    if (stdoutFd != nullptr && pipe(fds) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      // The child goes when this process goes, even when it is killed.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (stdoutFd != nullptr) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
      }
      execv(args[0], args.data());
      _exit(127);
    }
    if (stdoutFd != nullptr) {
      close(fds[1]);
      *stdoutFd = fds[0];
    }
    return pid_ > 0;
  }

  // Waits for the child to end; its exit status, or -1 when it did not end in time.
  int wait(std::chrono::seconds patience = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (wait(std::chrono::seconds(5)) < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }

  ~Child() { stop(); }

 private:
  pid_t pid_ = -1;
};

// Reads one line from `fd`, waiting at most the patience.
std::string readLine(int fd) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c = 0;
    if (read(fd, &c, 1) != 1) break;
    if (c == '\n') break;
    line.push_back(c);
  }
  return line;
}

// The Xvfb server of the suite; DISPLAY names it while the suite runs.
class XServer {
 public:
  static XServer& get() {
    static XServer server;
    return server;
  }
  bool running() const { return !display_.empty(); }
  // Why the server is not running.
  const std::string& failure() const { return failure_; }

 private:
  XServer() {
    const std::optional<std::string> xvfb = findProgram("Xvfb");
    if (!xvfb) {
      failure_ = "Xvfb is not installed";
      return;
    }
    int fd = -1;
    if (!child_.start({*xvfb, "-displayfd", "1", "-screen", "0",
                       std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24", "-nolisten", "tcp",
                       "-noreset"},
                      &fd)) {
      failure_ = "Xvfb could not be started (" + *xvfb + ")";
      return;
    }
    const std::string number = readLine(fd);
    close(fd);
    if (number.empty()) {
      const int status = child_.wait(std::chrono::seconds(1));
      failure_ = status >= 0 ? "Xvfb ended with status " + std::to_string(status) + " before naming its display"
                             : "Xvfb named no display within " + std::to_string(kPatience.count()) + " s";
      return;
    }
    display_ = ":" + number;
    setenv("DISPLAY", display_.c_str(), 1);
    setenv("NO_AT_BRIDGE", "1", 1);  // no accessibility bus on a test server
    const std::string suppressions = std::string(SONVALE_TEST_BUILD_DIR) + "/ui_x11_test.lsan.supp";
    std::ofstream(suppressions) << kLibraryCaches;
    setenv("LSAN_OPTIONS", ("suppressions=" + suppressions).c_str(), 1);
  }

  Child child_;
  std::string display_;
  std::string failure_;
};

// Skips the running test for `cause`, or fails it when the test command
// requires what is missing (SONVALE_REQUIRE_X=1).
#define SKIP_UNLESS_X_REQUIRED(cause)                                 \
  do {                                                                \
    const char* required = std::getenv("SONVALE_REQUIRE_X");          \
    if (required != nullptr && std::string_view(required) == "1")     \
      GTEST_FAIL() << (cause) << "; SONVALE_REQUIRE_X=1 requires it"; \
    GTEST_SKIP() << (cause);                                          \
  } while (false)

struct Rgb {
  int r, g, b;
};

// A part of the screen, as 8-bit RGB.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;

  Rgb at(int x, int y) const {
    const std::size_t i = 3 * (static_cast<std::size_t>(y) * width + x);
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
  }

  // Pixels of rows [top, bottom) for which `match` holds.
  int count(int top, int bottom, const std::function<bool(Rgb)>& match) const {
    int n = 0;
    for (int y = std::max(0, top); y < std::min(bottom, height); ++y)
      for (int x = 0; x < width; ++x) n += match(at(x, y)) ? 1 : 0;
    return n;
  }
};

Image grab(Display* display, Window window, int x, int y, int width, int height) {
  Image image;
  XImage* xi = XGetImage(display, window, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height), AllPlanes,
                         ZPixmap);
  if (xi == nullptr) return image;
  image.width = width;
  image.height = height;
  image.rgb.resize(static_cast<std::size_t>(3 * width * height));
  for (int row = 0; row < height; ++row) {
    for (int col = 0; col < width; ++col) {
      const unsigned long pixel = XGetPixel(xi, col, row);  // 24-bit TrueColor: 0xRRGGBB
      std::uint8_t* out = &image.rgb[3 * (static_cast<std::size_t>(row) * width + col)];
      out[0] = static_cast<std::uint8_t>((pixel >> 16) & 0xFF);
      out[1] = static_cast<std::uint8_t>((pixel >> 8) & 0xFF);
      out[2] = static_cast<std::uint8_t>(pixel & 0xFF);
    }
  }
  XDestroyImage(xi);
  return image;
}

void savePng(const Image& image, const std::string& name) {
  std::filesystem::create_directories(SONVALE_ARTEFACT_DIR);
  const std::string path = std::string(SONVALE_ARTEFACT_DIR) + "/" + name;
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_data(image.rgb.data(), GDK_COLORSPACE_RGB, FALSE, 8, image.width,
                                               image.height, 3 * image.width, nullptr, nullptr);
  ASSERT_NE(pixbuf, nullptr);
  GError* error = nullptr;
  EXPECT_TRUE(gdk_pixbuf_save(pixbuf, path.c_str(), "png", &error, nullptr)) << (error ? error->message : "");
  if (error != nullptr) g_error_free(error);
  g_object_unref(pixbuf);
  std::printf("screenshot: %s\n", path.c_str());
}

// Text colours blended over the light button face by antialiasing keep
// their hue: maroon has red above green = blue, purple red = blue above
// green, black all three equal and dark.
bool maroonish(Rgb c) { return c.r > c.g + 40 && std::abs(c.g - c.b) <= 3; }
bool purplish(Rgb c) { return std::abs(c.r - c.b) <= 3 && c.r > c.g + 40; }
bool blackish(Rgb c) { return c.r < 100 && c.r == c.g && c.g == c.b; }
bool buttonFace(Rgb c) { return c.r == 240 && c.g == 240 && c.b == 240; }

std::string windowName(Display* display, Window window) {
  const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  std::string name;
  if (XGetWindowProperty(display, window, netName, 0, 256, False, utf8, &type, &format, &count, &after, &data) ==
          Success &&
      data != nullptr)
    name.assign(reinterpret_cast<char*>(data), count);
  if (data != nullptr) XFree(data);
  return name;
}

// The viewable top-level window called `title`, once it is there.
Window waitForWindow(Display* display, const std::string& title) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    Window found = None;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count) != 0) {
      for (unsigned i = 0; i < count && found == None; ++i) {
        XWindowAttributes a{};
        if (windowName(display, children[i]) == title && XGetWindowAttributes(display, children[i], &a) != 0 &&
            a.map_state == IsViewable)
          found = children[i];
      }
      if (children != nullptr) XFree(children);
    }
    if (found != None) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return None;
}

// Grabs `window` until `ready` says it is drawn (or patience runs out).
Image grabWhen(Display* display, Window window, int width, int height, const std::function<bool(const Image&)>& ready) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  Image image;
  do {
    XSync(display, False);
    image = grab(display, window, 0, 0, width, height);
    if (ready(image)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < deadline);
  return image;
}

class X11Test : public testing::EngineTest {
 protected:
  void SetUp() override {
    testing::EngineTest::SetUp();
    if (!XServer::get().running()) SKIP_UNLESS_X_REQUIRED(XServer::get().failure());
    display_ = XOpenDisplay(nullptr);
    ASSERT_NE(display_, nullptr);
    const char* lang = std::getenv("LANG");
    savedLang_ = lang != nullptr ? std::optional<std::string>(lang) : std::nullopt;
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
  }
  void TearDown() override {
    ui::setWordPanelFactory(nullptr);
    if (display_ != nullptr) XCloseDisplay(display_);
    if (savedLang_) {
      setenv("LANG", savedLang_->c_str(), 1);
    } else {
      unsetenv("LANG");
    }
    testing::EngineTest::TearDown();
  }

  Display* display_ = nullptr;
  std::optional<std::string> savedLang_;
};

// ---- The panel ----

struct PanelCase {
  const char* name;
  const char* lang;
  std::u16string word;                  // two ideographs
  const char* romanization[2];
  std::u16string note;                  // at most 49 code units
};

void PrintTo(const PanelCase& c, std::ostream* os) { *os << c.name; }
class PanelTest : public X11Test, public ::testing::WithParamInterface<PanelCase> {};

TEST_P(PanelTest, HostShowsTheDictionaryWordBeingSpoken) {
  const PanelCase& c = GetParam();
  ASSERT_LT(c.note.size(), std::size(WordRecord{}.note));
  Child host;
  int out = -1;
  ASSERT_TRUE(host.start({SONVALE_PANEL_HOST, "--print-id"}, &out));
  unsigned long top = 0;
  unsigned long hostWindow = 0;
  const std::string ids = readLine(out);
  close(out);
  ASSERT_EQ(std::sscanf(ids.c_str(), "%lu %lu", &top, &hostWindow), 2) << ids;

  // A voice whose dictionary holds the word with its romanization and note.
  std::map<std::uint32_t, voice::CodedUnit> coded;
  WordRecord word;
  word.clear();
  std::copy(c.word.begin(), c.word.end(), word.text);
  std::copy(c.word.begin(), c.word.end(), word.reading);
  for (int i = 0; i < 2; ++i) std::strncpy(word.romanization[i], c.romanization[i], sizeof word.romanization[i] - 1);
  std::copy(c.note.begin(), c.note.end(), word.note);
  const std::string voiceDir = dir_.path();
  testing::writeVoice(voiceDir,
                      {{testing::unitOf(c.word[0]), testing::sine(300, 0.2)},
                       {testing::unitOf(c.word[1]), testing::sine(350, 0.2)}},
                      {word}, coded);

  setenv("LANG", c.lang, 1);
  ui::setWordPanelFactory(ui::createX11WordPanel);
  Engine engine;
  ASSERT_TRUE(engine.hasPanel()) << "no panel in the host window";
  ASSERT_EQ(testing::loadVoice(engine, voiceDir), S_OK);
  host::OutputSite site;
  const testing::FragmentList text(c.word);
  ASSERT_EQ(engine.speak(0, text.head(), &site), S_OK);
  ASSERT_EQ(std::u16string(engine.currentWord().text), c.word);

  XWindowAttributes a{};
  ASSERT_NE(XGetWindowAttributes(display_, hostWindow, &a), 0);
  const Image panel = grabWhen(display_, hostWindow, a.width, a.height, [](const Image& image) {
    return image.count(0, 20, maroonish) > 20 && image.count(20, 40, purplish) > 20 &&
           image.count(40, image.height, blackish) > 20;
  });
  XWindowAttributes topAttributes{};
  ASSERT_NE(XGetWindowAttributes(display_, top, &topAttributes), 0);
  savePng(grab(display_, top, 0, 0, topAttributes.width, topAttributes.height),
          std::string("panel_") + c.name + ".png");

  // Line 1 in maroon in its band, line 2 in purple, line 3 in black, all on
  // the button face; nothing of another line's colour in a band.
  EXPECT_GT(panel.count(0, 20, maroonish), 20);
  EXPECT_GT(panel.count(20, 40, purplish), 20);
  EXPECT_GT(panel.count(40, panel.height, blackish), 20);
  EXPECT_EQ(panel.count(0, 20, purplish), 0);
  EXPECT_EQ(panel.count(20, 40, maroonish), 0);
  EXPECT_TRUE(buttonFace(panel.at(panel.width - 1, 0)));
  EXPECT_TRUE(buttonFace(panel.at(panel.width - 1, panel.height - 1)));
}

INSTANTIATE_TEST_SUITE_P(
    Languages, PanelTest,
    ::testing::Values(PanelCase{"zh_HK", "zh_HK.UTF-8", u"你好", {"nei5", "hou2"}, u"問候語 greeting, used when meeting someone"},
                      // m4 and i1 take tone marks; the long note wraps.
                      PanelCase{"zh_CN", "zh_CN.UTF-8", u"唔該", {"m4", "goi1"},
                                u"多謝人幫手嘅客氣說話，問路、借過、叫人注意都用得；香港、廣州、澳門日常講嘢時時都會聽到，好常用"},
                      PanelCase{"en", "C.UTF-8", u"銀行", {"ngan4", "hong4"}, u"bank"}),
    [](const auto& param) { return std::string(param.param.name); });

// A voice of two words in `dir`: 你好 and 銀行, with their units.
void writeTwoWordVoice(const std::string& dir) {
  std::map<std::uint32_t, voice::CodedUnit> coded;
  std::vector<WordRecord> words;
  for (const std::u16string text : {u"你好", u"銀行"}) {
    WordRecord w;
    w.clear();
    std::copy(text.begin(), text.end(), w.text);
    std::copy(text.begin(), text.end(), w.reading);
    words.push_back(w);
  }
  std::map<std::uint32_t, std::vector<std::int16_t>> units;
  for (const char16_t c : std::u16string(u"你好銀行")) units[testing::unitOf(c)] = testing::sine(300, 0.05);
  testing::writeVoice(dir, units, words, coded);
}

TEST_F(X11Test, TwoEnginesSpeakAtOnceWithAPanelEach) {
  Child host;
  int out = -1;
  ASSERT_TRUE(host.start({SONVALE_PANEL_HOST, "--print-id"}, &out));
  const std::string ids = readLine(out);
  close(out);
  ASSERT_FALSE(ids.empty());
  writeTwoWordVoice(dir_.path());

  ui::setWordPanelFactory(ui::createX11WordPanel);
  Engine first;
  Engine second;
  ASSERT_TRUE(first.hasPanel());
  ASSERT_TRUE(second.hasPanel());
  ASSERT_EQ(testing::loadVoice(first, dir_.path(), u"SOFTWARE\\Test\\First"), S_OK);
  ASSERT_EQ(testing::loadVoice(second, dir_.path(), u"SOFTWARE\\Test\\Second"), S_OK);
  HRESULT results[2] = {E_FAIL, E_FAIL};
  auto speakMany = [](Engine& engine, const std::u16string& words, HRESULT& result) {
    host::OutputSite site;
    const testing::FragmentList text(words);
    result = engine.speak(0, text.head(), &site);
  };
  std::u16string many;
  for (int i = 0; i < 20; ++i) many += u"你好銀行";
  std::thread a([&] { speakMany(first, many, results[0]); });
  std::thread b([&] { speakMany(second, many, results[1]); });
  a.join();
  b.join();
  EXPECT_EQ(results[0], S_OK);
  EXPECT_EQ(results[1], S_OK);
  EXPECT_EQ(std::u16string(first.currentWord().text), u"銀行");
  EXPECT_EQ(std::u16string(second.currentWord().text), u"銀行");
}

TEST_F(X11Test, HostGoingAwayLeavesSpeakingAlone) {
  Child host;
  int out = -1;
  ASSERT_TRUE(host.start({SONVALE_PANEL_HOST, "--print-id"}, &out));
  const std::string ids = readLine(out);
  close(out);
  ASSERT_FALSE(ids.empty());
  writeTwoWordVoice(dir_.path());

  ui::setWordPanelFactory(ui::createX11WordPanel);
  Engine engine;
  ASSERT_TRUE(engine.hasPanel());
  host.stop();  // the host application ends, and its windows with it
  ASSERT_EQ(testing::loadVoice(engine, dir_.path()), S_OK);
  host::OutputSite site;
  const testing::FragmentList text(u"你好銀行你好");
  EXPECT_EQ(engine.speak(0, text.head(), &site), S_OK);
  EXPECT_EQ(std::u16string(engine.currentWord().text), u"你好");
}

TEST_F(X11Test, PanelHostSpeaksThroughTheEngineModule) {
  // The whole way a user takes: an installed voice, the registered engine
  // module, and panel_host speaking in its own window.
  writeTwoWordVoice(dir_.path());
  ASSERT_EQ(host::installVoice(host::kDefaultVoiceName, "", dir_.path()), "");
  Child registration;
  ASSERT_TRUE(registration.start({SONVALE_CLI, "register"}));
  ASSERT_EQ(registration.wait(), 0);

  setenv("LANG", "zh_HK.UTF-8", 1);
  Child host;
  int out = -1;
  ASSERT_TRUE(host.start({SONVALE_PANEL_HOST, "--print-id", "--speak", "你好銀行"}, &out));
  unsigned long top = 0;
  unsigned long hostWindow = 0;
  const std::string ids = readLine(out);
  close(out);
  ASSERT_EQ(std::sscanf(ids.c_str(), "%lu %lu", &top, &hostWindow), 2) << ids;
  XWindowAttributes a{};
  ASSERT_NE(XGetWindowAttributes(display_, hostWindow, &a), 0);
  // The panel shows the word being spoken (this voice's words carry no
  // romanization or note, so only the first line is drawn).
  const Image panel = grabWhen(display_, hostWindow, a.width, a.height,
                               [](const Image& image) { return image.count(0, 20, maroonish) > 20; });
  savePng(grab(display_, top, 0, 0, static_cast<int>(kTopWidthForShots), static_cast<int>(kTopHeightForShots)),
          "panel_host_speaking.png");
  EXPECT_GT(panel.count(0, 20, maroonish), 20);
  EXPECT_TRUE(buttonFace(panel.at(panel.width - 1, panel.height - 1)));
}

TEST_F(X11Test, NoHostWindowMeansNoPanel) {
  // A foreground window without a host child.
  const Window plain = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 200, 100, 0, 0, 0xFFFFFF);
  XSelectInput(display_, plain, StructureNotifyMask);
  XMapWindow(display_, plain);
  for (XEvent event;;) {
    XNextEvent(display_, &event);
    if (event.type == MapNotify) break;
  }
  XSetInputFocus(display_, plain, RevertToParent, CurrentTime);
  XSync(display_, False);
  ui::setWordPanelFactory(ui::createX11WordPanel);
  Engine engine;
  EXPECT_FALSE(engine.hasPanel());
  XDestroyWindow(display_, plain);
}

TEST(X11WordPanel, NoDisplayMeansNoPanel) {
  const char* display = std::getenv("DISPLAY");
  const std::optional<std::string> saved = display != nullptr ? std::optional<std::string>(display) : std::nullopt;
  unsetenv("DISPLAY");
  EXPECT_EQ(ui::createX11WordPanel(ui::UiLanguage::English, [] { return ui::PanelLines{}; }), nullptr);
  if (saved) setenv("DISPLAY", saved->c_str(), 1);
}

// ---- The properties dialog ----

constexpr int kUnit = 2;  // pixels per dialog unit in the dialog's layout

class DialogTest : public X11Test {
 protected:
  void SetUp() override {
    X11Test::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    xdotool_ = findProgram("xdotool");
    if (!xdotool_) SKIP_UNLESS_X_REQUIRED("xdotool is not installed");
  }

  // Opens `sonvale config --gui` and waits for its window.
  Window open(Child& dialog, const char* lang, const char* title) {
    setenv("LANG", lang, 1);
    if (!dialog.start({SONVALE_CLI, "config", "--gui"})) return None;
    return locate(title);
  }

  // Waits for the dialog called `title` and notes where it is.
  Window locate(const char* title) {
    const Window window = waitForWindow(display_, title);
    if (window == None) return None;
    XWindowAttributes a{};
    XGetWindowAttributes(display_, window, &a);
    width_ = a.width;
    height_ = a.height;
    Window child = 0;
    XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x_, &y_, &child);
    return window;
  }

  // Waits until the dialog is drawn (its picture in place) and grabs it.
  Image drawn(Window window) {
    return grabWhen(display_, window, width_, height_, [](const Image& image) {
      const Rgb c = image.at(kUnit * 60, kUnit * 50);  // inside the picture
      return c.b > c.r + 40;
    });
  }

  // Runs xdotool with `args`, the points given in dialog units of the dialog.
  void xdotool(std::vector<std::string> args) {
    args.insert(args.begin(), *xdotool_);
    Child run;
    ASSERT_TRUE(run.start(args));
    EXPECT_EQ(run.wait(), 0);
  }
  void pointAt(int xUnits, int yUnits, int dx = 0, int dy = 0) {
    xdotool({"mousemove", "--sync", std::to_string(x_ + kUnit * xUnits + dx), std::to_string(y_ + kUnit * yUnits + dy)});
  }
  void click(int xUnits, int yUnits, int dx, int dy, const char* button = "1") {
    pointAt(xUnits, yUnits, dx, dy);
    xdotool({"click", button});
  }

  std::optional<DWORD> stored(const char16_t* name) {
    platform::RegKey key;
    DWORD value = 0;
    if (platform::regOpenKey(platform::RegRoot::LocalMachine, settings::kEnginePropertiesKey, key) != ERROR_SUCCESS ||
        platform::regQueryDword(key, name, value) != ERROR_SUCCESS)
      return std::nullopt;
    return value;
  }

  std::optional<std::string> xdotool_;
  int x_ = 0;
  int y_ = 0;
  int width_ = 0;
  int height_ = 0;
};

TEST_F(DialogTest, IsDrivenAndSavesToTheRegistryStore) {
  Child dialog;
  const Window window = open(dialog, "C.UTF-8", "Speech Parameter Setting");
  ASSERT_NE(window, None) << "the dialog did not appear";
  // Centred on the screen, in integer division.
  EXPECT_EQ(x_, (kScreenWidth - width_) / 2);
  EXPECT_EQ(y_, (kScreenHeight - height_) / 2);
  savePng(drawn(window), "dialog_en_opened.png");

  // The lists open on the defaults 5000, 15000 and 0; the wheel moves each by one.
  click(163 + 25, 16, 0, 12, "5");  // Pause Pun: 5000 -> 6000
  click(255 + 25, 16, 0, 12, "4");  // Stop Punc: 15000 -> 14000
  click(191 + 35, 49, 0, 12, "4");  // Pitch Select: 0 -> -1
  click(245, 80, 8, 10);            // Read Punctuation
  click(177, 80, 8, 10);            // Number Read
  click(15, 136, 8, 10);            // Fast speech
  click(15, 148, 8, 10);            // Smooth syllable joins: on by default, now off
  XSync(display_, False);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // for the screenshot only
  savePng(drawn(window), "dialog_en_driven.png");
  click(184 + 28, 140 + 8, 0, 0);  // OK

  ASSERT_EQ(dialog.wait(), 0);
  EXPECT_EQ(stored(u"PuncShort"), 6000u);
  EXPECT_EQ(stored(u"PuncLong"), 14000u);
  EXPECT_EQ(stored(u"VoiceStyle"), 0xFFFFFFFFu);
  EXPECT_EQ(stored(u"ReadPunctuation"), 1u);
  EXPECT_EQ(stored(u"ReadNumber"), 1u);
  EXPECT_EQ(stored(u"FastSpeech"), 1u);
  EXPECT_EQ(stored(u"SmoothCuts"), 0u);
}

TEST_F(DialogTest, LinksOpenTheProjectPagesWithXdgOpen) {
  // An xdg-open of our own, first on the PATH, notes what it is asked to open.
  const std::string bin = dir_.file("bin");
  std::filesystem::create_directories(bin);
  const std::string opened = dir_.file("opened.txt");
  std::ofstream(bin + "/xdg-open") << "#!/bin/sh\necho \"$1\" >> '" << opened << "'\n";
  std::filesystem::permissions(bin + "/xdg-open", std::filesystem::perms::owner_all);
  const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
  setenv("PATH", (bin + ":" + path).c_str(), 1);

  Child dialog;
  const Window window = open(dialog, "C.UTF-8", "Speech Parameter Setting");
  setenv("PATH", path.c_str(), 1);
  ASSERT_NE(window, None);
  drawn(window);
  click(200 + 51, 111 + 4, 0, 0);  // the home page link
  click(200 + 49, 120 + 4, 0, 0);  // the issue address link
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  std::string lines;
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(opened);
    lines.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (std::count(lines.begin(), lines.end(), '\n') >= 2) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(lines, std::string(ui::kHomePageUrl) + "\n" + ui::kIssuesUrl + "\n");
  click(260 + 28, 140 + 8, 0, 0);  // Cancel
  EXPECT_EQ(dialog.wait(), 0);
}

TEST_F(DialogTest, DisplayUiShowsTheDialogAndOkActsAtOnceInThisProcess) {
  ui::setCurrentUiLanguage(ui::UiLanguage::English);
  ISpTokenUI* ui = nullptr;
  ASSERT_EQ(server::KelvaneUI::create(nullptr, IID_ISpTokenUI, reinterpret_cast<void**>(&ui), nullptr), S_OK);
  HRESULT shown = E_FAIL;
  std::thread caller(
      [&] { shown = ui->DisplayUI(nullptr, nullptr, u"EngineProperties", nullptr, 0, nullptr, nullptr); });
  const Window window = locate("Speech Parameter Setting");
  if (window != None) {
    drawn(window);
    click(177, 80, 8, 10);          // Number Read
    click(184 + 28, 140 + 8, 0, 0);  // OK
  }
  caller.join();
  ui->Release();
  ASSERT_NE(window, None) << "DisplayUI showed no dialog";
  EXPECT_EQ(shown, S_OK);
  // The engines of this process read the new value at once; others find it stored.
  EXPECT_EQ(settings::engineSettings().readNumber.load(), 1);
  EXPECT_EQ(stored(u"ReadNumber"), 1u);
  EXPECT_EQ(stored(u"PuncShort"), 5000u);
}

struct DialogLanguageCase {
  const char* name;
  const char* lang;
  const char* title;
};

void PrintTo(const DialogLanguageCase& c, std::ostream* os) { *os << c.name; }
class DialogLanguageTest : public DialogTest, public ::testing::WithParamInterface<DialogLanguageCase> {};

TEST_P(DialogLanguageTest, OpensInTheUiLanguageAndCancelStoresNothing) {
  storeSettings({{u"PuncShort", 3000}, {u"ReadNumber", 2}});
  Child dialog;
  const Window window = open(dialog, GetParam().lang, GetParam().title);
  ASSERT_NE(window, None) << "no window called " << GetParam().title;
  savePng(drawn(window), std::string("dialog_") + GetParam().name + ".png");
  click(177, 80, 8, 10);           // Number Read, then
  click(260 + 28, 140 + 8, 0, 0);  // Cancel
  ASSERT_EQ(dialog.wait(), 0);
  EXPECT_EQ(stored(u"PuncShort"), 3000u);
  EXPECT_EQ(stored(u"ReadNumber"), 2u);
  EXPECT_EQ(stored(u"PuncLong"), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Languages, DialogLanguageTest,
                         ::testing::Values(DialogLanguageCase{"zh_CN", "zh_CN.UTF-8", "语音参数设置"},
                                           DialogLanguageCase{"zh_TW", "zh_TW.UTF-8", "語音參數設置"},
                                           DialogLanguageCase{"zh_HK", "zh_HK.UTF-8", "語音參數設置"}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(PropertiesDialogCommand, WithoutADisplayFailsSoftly) {
  const char* display = std::getenv("DISPLAY");
  const std::optional<std::string> saved = display != nullptr ? std::optional<std::string>(display) : std::nullopt;
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  Child dialog;
  ASSERT_TRUE(dialog.start({SONVALE_CLI, "config", "--gui"}));
  EXPECT_EQ(dialog.wait(), 1);
  if (saved) setenv("DISPLAY", saved->c_str(), 1);
}

}  // namespace
}  // namespace sonvale
