// panel_host: a small X11 application that offers the word display panel a
// place, so that the panel can be seen at work (and tested).
//
//   panel_host [--speak TEXT] [--voice NAME] [--print-id]
//
// It opens a top-level window holding a child window of the panel host class
// "TallowVoiceShowByHarbinox" and takes the input focus, which makes it the
// foreground window for an engine created now, in this process or another.
// With --speak it speaks TEXT itself with the installed voice NAME (default
// voice otherwise) at the pace of real playback, without sound, so the panel
// shows each word of two or more characters as it comes. --print-id prints
// "TOP HOST" (the two window ids) on standard output once the windows are up.
// The program ends when its window is closed or on SIGINT / SIGTERM.
//
// Exit status: 0 done, 1 no display or the voice failed, 2 usage error.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "sonvale/sonvale.h"
#include "ui/word_panel.h"

namespace {

constexpr unsigned kTopWidth = 480;
constexpr unsigned kTopHeight = 176;
constexpr int kHostMargin = 8;

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

const char kUsage[] =
    "usage: panel_host [--speak TEXT] [--voice NAME] [--print-id]\n"
    "\n"
    "Shows a window that offers the word display panel a place. Speak while it\n"
    "is the active window (with --speak, or from a program started meanwhile)\n"
    "and the panel shows the word being spoken.\n";

void setClass(Display* display, Window window, const char* name, const char* className) {
  XClassHint hint;
  hint.res_name = const_cast<char*>(name);
  hint.res_class = const_cast<char*>(className);
  XSetClassHint(display, window, &hint);
}

// True once `window` is what an engine would take as the foreground window.
bool isForeground(Display* display, Window window) {
  const Atom active = XInternAtom(display, "_NET_ACTIVE_WINDOW", True);
  if (active != None) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    bool found = false;
    if (XGetWindowProperty(display, DefaultRootWindow(display), active, 0, 1, False, XA_WINDOW, &type, &format,
                           &count, &after, &data) == Success &&
        data != nullptr && count == 1) {
      found = *reinterpret_cast<unsigned long*>(data) == window;
    }
    if (data != nullptr) XFree(data);
    if (found) return true;
  }
  Window focus = None;
  int revert = 0;
  XGetInputFocus(display, &focus, &revert);
  return focus == window;
}

struct Pacing {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  double seconds = 0;
  int rateHz = 11025;
};

// Waits as long as the samples would take to play, so words follow the voice.
int paceAudio(void* user, const int16_t*, size_t count) {
  auto* pacing = static_cast<Pacing*>(user);
  pacing->seconds += static_cast<double>(count) / pacing->rateHz;
  std::this_thread::sleep_until(pacing->start + std::chrono::duration<double>(pacing->seconds));
  return stopRequested ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* speakText = nullptr;
  const char* voiceName = nullptr;
  bool printId = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--speak" && i + 1 < argc) {
      speakText = argv[++i];
    } else if (arg == "--voice" && i + 1 < argc) {
      voiceName = argv[++i];
    } else if (arg == "--print-id") {
      printId = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }

  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fputs("panel_host: cannot open the X display (is DISPLAY set?)\n", stderr);
    return 1;
  }
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);

  const int screen = DefaultScreen(display);
  const Window top = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, kTopWidth, kTopHeight, 0,
                                         BlackPixel(display, screen), 0x5a6470);
  setClass(display, top, "panel_host", "SonvalePanelHost");
  XStoreName(display, top, "Sonvale word panel");
  Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(display, top, &deleteWindow, 1);
  XSelectInput(display, top, StructureNotifyMask);

  const Window host = XCreateSimpleWindow(display, top, kHostMargin, kHostMargin, kTopWidth - 2 * kHostMargin,
                                          kTopHeight - 2 * kHostMargin, 0, BlackPixel(display, screen),
                                          WhitePixel(display, screen));
  setClass(display, host, sonvale::ui::kPanelHostClass, sonvale::ui::kPanelHostClass);
  XMapWindow(display, host);
  XMapRaised(display, top);

  for (XEvent event; !stopRequested;) {
    XNextEvent(display, &event);
    if (event.type == MapNotify && event.xmap.window == top) break;
  }
  // Without a window manager nobody else gives the new window the focus.
  XSetInputFocus(display, top, RevertToParent, CurrentTime);
  XSync(display, False);
  for (int i = 0; i < 300 && !isForeground(display, top); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (printId) {
    std::printf("%lu %lu\n", static_cast<unsigned long>(top), static_cast<unsigned long>(host));
    std::fflush(stdout);
  }

  sonvale_voice* voice = nullptr;
  std::thread speaker;
  int status = 0;
  if (speakText != nullptr) {
    char error[256] = "";
    if (sonvale_open(voiceName, &voice, error, sizeof error) != SONVALE_OK) {
      std::fprintf(stderr, "panel_host: %s\n", error);
      stopRequested = 1;
      status = 1;
    } else {
      speaker = std::thread([voice, speakText] {
        Pacing pacing;
        pacing.rateHz = sonvale_sample_rate(voice);
        sonvale_speak(voice, speakText, -1, SONVALE_TEXT_AUTO, paceAudio, nullptr, &pacing);
      });
    }
  }

  bool topAlive = true;
  while (!stopRequested) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == ClientMessage && static_cast<Atom>(event.xclient.data.l[0]) == deleteWindow)
        stopRequested = 1;
      if (event.type == DestroyNotify && event.xdestroywindow.window == top) {
        topAlive = false;
        stopRequested = 1;
      }
    }
    pollfd fd = {ConnectionNumber(display), POLLIN, 0};
    poll(&fd, 1, 100);  // wakes now and then to see a signal
  }

  if (voice != nullptr) sonvale_abort(voice);
  if (speaker.joinable()) speaker.join();
  if (voice != nullptr) sonvale_close(voice);  // takes the panel away
  if (topAlive) XDestroyWindow(display, top);
  XCloseDisplay(display);
  return status;
}
