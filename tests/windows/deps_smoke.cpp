// Smoke test of the engine's two third-party libraries as the Windows build
// links them (static FFTW and libmpg123, run under Wine). It uses each the way
// the engine does: a 1152-point real FFTW transform pair, and libmpg123 fed a
// memory buffer of MPEG 2.5 Layer III frames, 11025 Hz mono. Prints one line
// per check and exits 0 only if every check passes.
#include <fftw3.h>
#include <mpg123.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <vector>

namespace {

// The engine's transform size (2^7 * 3^2 points, 577 bins).
constexpr int kPoints = 1152;
constexpr int kBins = kPoints / 2 + 1;

// x[n] = 0.5 + cos(2 pi 3 n / N) + 2 sin(2 pi 10 n / N). By hand, with
// X[k] = sum x[n] e^(-2 pi i k n / N): the constant gives X[0] = 0.5 N = 576;
// cos = (e^(i t) + e^(-i t)) / 2 gives X[3] = N / 2 = 576; 2 sin = -i (e^(i t) -
// e^(-i t)) gives X[10] = -i N = -1152i; every other bin is 0.
double testSignal(int n) {
  const double t = 2.0 * std::numbers::pi * n / kPoints;
  return 0.5 + std::cos(3.0 * t) + 2.0 * std::sin(10.0 * t);
}

std::complex<double> expectedBin(int k) {
  if (k == 0) return {576.0, 0.0};
  if (k == 3) return {576.0, 0.0};
  if (k == 10) return {0.0, -1152.0};
  return {0.0, 0.0};
}

// Worst errors of the forward transform against the bins above, and of the
// unscaled inverse (which returns N x[n]) against N x[n].
struct TransformErrors {
  double forward = 0.0;
  double inverse = 0.0;
  bool planned = false;
  bool usesAvx = false;
};

TransformErrors checkTransforms(unsigned flags) {
  TransformErrors errors;
  auto* time = static_cast<double*>(fftw_malloc(sizeof(double) * kPoints));
  auto* freq = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * kBins));
  fftw_plan forward = nullptr;
  fftw_plan backward = nullptr;
  if (time != nullptr && freq != nullptr) {
    // Planning with FFTW_MEASURE overwrites the arrays: fill them afterwards.
    forward = fftw_plan_dft_r2c_1d(kPoints, time, freq, flags);
    backward = fftw_plan_dft_c2r_1d(kPoints, freq, time, flags);
  }
  if (forward != nullptr && backward != nullptr) {
    errors.planned = true;
    if (char* text = fftw_sprint_plan(forward)) {
      errors.usesAvx = std::strstr(text, "avx") != nullptr;
      std::free(text);
    }
    for (int n = 0; n < kPoints; ++n) time[n] = testSignal(n);
    fftw_execute(forward);
    for (int k = 0; k < kBins; ++k) {
      const std::complex<double> got(freq[k][0], freq[k][1]);
      errors.forward = std::max(errors.forward, std::abs(got - expectedBin(k)));
    }
    fftw_execute(backward);
    for (int n = 0; n < kPoints; ++n)
      errors.inverse = std::max(errors.inverse, std::abs(time[n] - kPoints * testSignal(n)));
  }
  fftw_destroy_plan(forward);
  fftw_destroy_plan(backward);
  fftw_free(time);
  fftw_free(freq);
  return errors;
}

bool fftwPasses() {
  std::printf("fftw: %s\n", fftw_version);
  // Sums of 1152 terms of size up to 3.5 in double precision: rounding stays
  // far below 1e-9; a wrong codelet is off by whole units.
  constexpr double kTolerance = 1e-9;
  struct Mode {
    const char* name;
    unsigned flags;
  };
  bool pass = true;
  for (const Mode mode : {Mode{"FFTW_ESTIMATE", FFTW_ESTIMATE}, Mode{"FFTW_MEASURE", FFTW_MEASURE}}) {
    const TransformErrors errors = checkTransforms(mode.flags);
    const bool ok = errors.planned && errors.forward < kTolerance && errors.inverse < kTolerance;
    std::printf("fftw %d-point r2c/c2r, %s: %s (forward error %.3g, inverse error %.3g, avx codelets: %s)\n",
                kPoints, mode.name, ok ? "ok" : "FAILED", errors.forward, errors.inverse,
                errors.usesAvx ? "yes" : "no");
    pass = pass && ok;
  }
  fftw_cleanup();
  return pass;
}

// One MPEG 2.5 Layer III frame of silence. Header FF E3 40 C0: sync and
// MPEG 2.5 (11 bits of 1, version 00), Layer III (01), no CRC (1); bitrate
// index 4 = 32 kbit/s, rate index 00 = 11025 Hz, no padding; mono. Its length
// is 72 * 32000 / 11025 = 208.98, so 208 bytes: the header, 9 bytes of zero
// side information (main_data_begin 0, part2_3_length 0: no coded values) and
// zero main data. Each frame holds 576 samples, which decode to 0.
constexpr std::size_t kFrameBytes = 208;
constexpr std::size_t kFrameSamples = 576;
constexpr std::size_t kFrames = 8;

std::vector<std::uint8_t> silentStream() {
  std::vector<std::uint8_t> stream(kFrameBytes * kFrames, 0);
  for (std::size_t f = 0; f < kFrames; ++f) {
    const std::array<std::uint8_t, 4> header{0xFF, 0xE3, 0x40, 0xC0};
    std::memcpy(stream.data() + f * kFrameBytes, header.data(), header.size());
  }
  return stream;
}

bool mpg123Passes() {
  if (mpg123_init() != MPG123_OK) {
    std::printf("mpg123: mpg123_init FAILED\n");
    return false;
  }
  int err = MPG123_OK;
  mpg123_handle* mh = mpg123_new(nullptr, &err);
  if (mh == nullptr) {
    std::printf("mpg123: mpg123_new FAILED: %s\n", mpg123_plain_strerror(err));
    mpg123_exit();
    return false;
  }
  mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0.0);
  mpg123_format_none(mh);
  mpg123_format(mh, 11025, MPG123_MONO, MPG123_ENC_SIGNED_16);
  std::printf("mpg123: decoder %s\n", mpg123_current_decoder(mh));

  // Feed the whole stream once, then read until the decoder wants more, as
  // the engine does.
  const std::vector<std::uint8_t> stream = silentStream();
  std::vector<unsigned char> chunk(4096);
  std::size_t decodedBytes = 0;
  std::size_t nonZeroBytes = 0;
  long rateHz = 0;
  int channels = 0;
  int encoding = 0;
  bool failed = mpg123_open_feed(mh) != MPG123_OK;
  const unsigned char* input = stream.data();
  std::size_t inputSize = stream.size();
  while (!failed) {
    std::size_t done = 0;
    const int result = mpg123_decode(mh, input, inputSize, chunk.data(), chunk.size(), &done);
    input = nullptr;
    inputSize = 0;
    if (result == MPG123_NEW_FORMAT) mpg123_getformat(mh, &rateHz, &channels, &encoding);
    else if (result != MPG123_OK && result != MPG123_NEED_MORE) failed = true;
    for (std::size_t i = 0; i < done; ++i) nonZeroBytes += chunk[i] != 0 ? 1 : 0;
    decodedBytes += done;
    if (result == MPG123_NEED_MORE) break;
  }
  mpg123_close(mh);
  mpg123_delete(mh);
  mpg123_exit();

  // Every frame is complete in the buffer, so all 8 decode: 8 * 576 samples
  // of 2 bytes = 9216 bytes, all zero.
  constexpr std::size_t kExpectedBytes = kFrames * kFrameSamples * 2;
  const bool ok = !failed && rateHz == 11025 && channels == 1 && encoding == MPG123_ENC_SIGNED_16 &&
                  decodedBytes == kExpectedBytes && nonZeroBytes == 0;
  std::printf("mpg123 feed of %zu silent frames: %s (%ld Hz, %d channel(s), %zu bytes of %zu expected, "
              "%zu non-zero)\n",
              kFrames, ok ? "ok" : "FAILED", rateHz, channels, decodedBytes, kExpectedBytes, nonZeroBytes);
  return ok;
}

}  // namespace

int main() {
  const bool fftwOk = fftwPasses();
  const bool mpg123Ok = mpg123Passes();
  const bool ok = fftwOk && mpg123Ok;
  std::printf("%s\n", ok ? "deps smoke: ok" : "deps smoke: FAILED");
  std::fflush(stdout);
  return ok ? 0 : 1;
}
