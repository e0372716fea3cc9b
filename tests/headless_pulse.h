// A PulseAudio server of one's own, headless: a null sink whose monitor is
// recorded, in a runtime folder of its own, stopped when the object goes.
// The playback tests and the first-sound benchmark play into it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace sonvale::testing {

// Starts `args` (found on PATH) with `env` (the caller's environment when
// empty); standard error, and standard output unless `stdoutPipe` asks for
// a pipe, go to `log`. Returns the process id, or -1.
inline pid_t spawnProcess(const std::vector<std::string>& args, const std::vector<std::string>& env,
                          const std::string& log, int* stdoutPipe = nullptr) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int fds[2] = {-1, -1};
  if (stdoutPipe != nullptr) {
    if (pipe(fds) != 0) return -1;
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  std::vector<std::string> a = args, e = env;
  std::vector<char*> argv, envp;
  for (auto& x : a) argv.push_back(x.data());
  for (auto& x : e) envp.push_back(x.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env.empty() ? environ : envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (stdoutPipe != nullptr) {
    close(fds[1]);
    *stdoutPipe = fds[0];
  }
  return error == 0 ? pid : -1;
}

class HeadlessPulse {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts the server in `runtimeDir`; running() tells whether it came up.
  explicit HeadlessPulse(const std::string& runtimeDir) : dir_(runtimeDir) {
    std::filesystem::create_directories(dir_);
    socket_ = dir_ + "/native";
    const char* path = std::getenv("PATH");
    server_ = spawnProcess({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                            "--disable-shm=yes", "--load=module-null-sink sink_name=sonvale_test",
                            "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket_},
                           {"XDG_RUNTIME_DIR=" + dir_, "HOME=" + dir_, "PATH=" + std::string(path ? path : "")},
                           dir_ + "/log");
    if (server_ > 0 && !waitForSocket()) stopServer();
  }
  ~HeadlessPulse() {
    stopRecording();
    stopServer();
  }
  HeadlessPulse(const HeadlessPulse&) = delete;
  HeadlessPulse& operator=(const HeadlessPulse&) = delete;

  bool running() const { return server_ > 0; }
  // For PULSE_SERVER.
  std::string address() const { return "unix:" + socket_; }
  std::string log() const { return dir_ + "/log"; }

  // Records the sink's monitor at 11025 Hz mono, the server resampling what
  // it plays; every sample is stamped with the time its block arrived.
  bool startRecording() {
    int fd = -1;
    recorder_ = spawnProcess({"parec", "--server=" + address(), "--device=sonvale_test.monitor", "--format=s16le",
                              "--rate=11025", "--channels=1", "--raw", "--latency-msec=5"},
                             {}, dir_ + "/parec.log", &fd);
    if (recorder_ <= 0) return false;
    reader_ = std::thread([this, fd] {
      std::uint8_t bytes[4096];
      std::size_t count = 0;
      std::uint8_t low = 0;
      for (ssize_t n; (n = read(fd, bytes, sizeof bytes)) > 0;) {
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        for (ssize_t i = 0; i < n; ++i) {
          if (count++ % 2 == 0) {
            low = bytes[i];
          } else {
            samples_.push_back(static_cast<std::int16_t>(low | bytes[i] << 8));
            arrived_.push_back(now);
          }
        }
      }
      close(fd);
    });
    // Recording has begun once the monitor's silence arrives: a fixed wait
    // can end before parec is connected on a busy machine, and then the start
    // of what is played is never recorded.
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (samples_.size() >= 1024) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  void stopRecording() {
    if (recorder_ > 0) {
      kill(recorder_, SIGTERM);
      waitpid(recorder_, nullptr, 0);
      recorder_ = -1;
    }
    if (reader_.joinable()) reader_.join();
  }

  // When the first sample of magnitude `threshold` or more arrived at or
  // after `since`; Clock::time_point{} when none has.
  Clock::time_point firstSoundAfter(Clock::time_point since, int threshold) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < samples_.size(); ++i)
      if (arrived_[i] >= since && std::abs(samples_[i]) >= threshold) return arrived_[i];
    return {};
  }

  // What was recorded, once recording has stopped.
  const std::vector<std::int16_t>& samples() const { return samples_; }
  const std::vector<Clock::time_point>& arrived() const { return arrived_; }

 private:
  bool waitForSocket() {
    for (int i = 0; i < 100; ++i) {
      const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_.c_str());
      const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      close(fd);
      if (connected) return true;
      if (waitpid(server_, nullptr, WNOHANG) == server_) {
        server_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  void stopServer() {
    if (server_ <= 0) return;
    kill(server_, SIGTERM);
    waitpid(server_, nullptr, 0);
    server_ = -1;
  }

  std::string dir_, socket_;
  pid_t server_ = -1, recorder_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::vector<std::int16_t> samples_;
  std::vector<Clock::time_point> arrived_;
};

}  // namespace sonvale::testing
