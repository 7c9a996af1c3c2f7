// libFuzzer entry for the engine's C API: a random format, size, worker count, kernel set and
// settings (any int in the enum fields, as a C caller may store), then a random sequence of
// pushes (marked or not, some with bad frames), pulls (with or without the frame's info),
// setting changes and the flush. Planes lie at odd addresses and strides as often as not. Frames
// are small most of the time and now and then large enough (128x128 and up) to be shared among
// the engine's workers. Besides "no crash, no leak, no undefined behaviour" it checks that every
// call answers a status of the API, that a pull writes nothing outside the planes it was given
// and tells a frame's number and verdict as they are, and that the same calls on an engine with
// one worker give the same bytes.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "include/quillet/quillet.h"

namespace {

constexpr uint8_t kGuard = 0xA5;
constexpr size_t kGuardBytes = 16;

void check(bool ok) {
  if (!ok) std::abort();
}

bool knownStatus(QuilletStatus s) {
  return s == QUILLET_OK || s == QUILLET_AGAIN || s == QUILLET_END || s == QUILLET_ERROR_ARGUMENT ||
         s == QUILLET_ERROR_UNSUPPORTED || s == QUILLET_ERROR_MEMORY || s == QUILLET_ERROR_STATE;
}

// One frame's planes, each row followed by `slack` spare bytes and the plane by guard bytes; the
// first plane `shift` bytes past an aligned address.
struct Planes {
  std::vector<uint8_t> bytes;
  QuilletFrame frame{};
  size_t planeStart[3] = {};
  size_t planeBytes[3] = {};

  Planes(const QuilletConfig& c, size_t slack, size_t shift) {
    size_t at = kGuardBytes + shift;
    for (int p = 0; p < 3; ++p) {
      const size_t row = quillet_plane_row_bytes(&c, p);
      if (row == 0) break;
      planeStart[p] = at;
      planeBytes[p] = (row + slack) * static_cast<size_t>(quillet_plane_rows(&c, p));
      frame.strides[p] = static_cast<ptrdiff_t>(row + slack);
      at += planeBytes[p] + kGuardBytes;
    }
    bytes.assign(at, kGuard);
    for (int p = 0; p < 3; ++p) {
      if (planeBytes[p] != 0) frame.planes[p] = bytes.data() + planeStart[p];
    }
  }
  bool guardsIntact() const {
    size_t from = 0;
    for (int p = 0; p < 3 && planeBytes[p] != 0; ++p) {
      for (size_t i = from; i < planeStart[p]; ++i) {
        if (bytes[i] != kGuard) return false;
      }
      from = planeStart[p] + planeBytes[p];
    }
    for (size_t i = from; i < bytes.size(); ++i) {
      if (bytes[i] != kGuard) return false;
    }
    return true;
  }
};

QuilletSettings settingsFrom(FuzzedDataProvider& in) {
  QuilletSettings s;
  s.tap = in.ConsumeIntegralInRange(-2, 8);
  s.top = in.ConsumeIntegralInRange(-5, 300);
  s.bottom = in.ConsumeIntegralInRange(-5, 300);
  s.motion = in.ConsumeIntegralInRange(-5, 300);
  s.motion2 = in.ConsumeIntegralInRange(-5, 300);
  s.show_motion = in.ConsumeIntegralInRange(-1, 2);
  s.next_frame = in.ConsumeIntegralInRange(-1, 2);
  s.use_max = in.ConsumeIntegralInRange(-1, 2);
  s.deint = in.ConsumeIntegralInRange(-1, 3);
  s.comb_sensitivity = in.ConsumeIntegralInRange(-5, 105);
  return s;
}

// Stores `value` into an enum field as a C caller can, whatever it names.
template <class Enum>
void storeRaw(Enum& field, int value) {
  static_assert(sizeof(Enum) == sizeof(int));
  std::memcpy(&field, &value, sizeof value);
}

// Runs the calls the data describes on an engine with `threads` workers; the frames pulled,
// in order.
std::vector<std::vector<uint8_t>> run(const uint8_t* data, size_t size, int threads) {
  FuzzedDataProvider in(data, size);
  QuilletConfig c;
  quillet_default_config(&c);
  // One input in eight is large enough for the workers.
  const bool large = in.ConsumeIntegralInRange(0, 7) == 0;
  c.width = large ? in.ConsumeIntegralInRange(128, 192) : in.ConsumeIntegralInRange(0, 40);
  c.height = large ? in.ConsumeIntegralInRange(128, 160) : in.ConsumeIntegralInRange(0, 70);
  storeRaw(c.layout, in.ConsumeIntegralInRange(-1, 13));
  c.bit_depth = in.ConsumeIntegralInRange(7, 17);
  storeRaw(c.cpu, in.ConsumeIntegralInRange(-1, 6));
  c.settings = settingsFrom(in);
  c.threads = threads;
  QuilletEngine* engine = nullptr;
  const QuilletStatus made = quillet_create(&c, &engine);
  check(knownStatus(made));
  check((made == QUILLET_OK) == (engine != nullptr));
  std::vector<std::vector<uint8_t>> pulled;
  if (engine == nullptr) return pulled;

  uint32_t sample = 1;
  while (in.remaining_bytes() > 0 && pulled.size() < 12) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
      case 0:
      case 1: {
        Planes frame(c, in.ConsumeIntegralInRange<size_t>(0, 3),
                     in.ConsumeIntegralInRange<size_t>(0, 1));
        for (int p = 0; p < 3 && frame.planeBytes[p] != 0; ++p) {
          for (size_t i = 0; i < frame.planeBytes[p]; ++i) {
            sample = sample * 1664525u + 1013904223u;
            frame.bytes[frame.planeStart[p] + i] = static_cast<uint8_t>(sample >> 24);
          }
        }
        if (in.ConsumeBool() && in.ConsumeBool()) frame.frame.planes[2] = nullptr;
        if (in.ConsumeBool() && in.ConsumeBool()) frame.frame.strides[0] -= 1;
        const int mark = in.ConsumeIntegralInRange(-1, 2);
        check(knownStatus(mark == 2 ? quillet_push(engine, &frame.frame)
                                    : quillet_push_marked(engine, &frame.frame, mark)));
        break;
      }
      case 2:
      case 3: {
        Planes out(c, in.ConsumeIntegralInRange<size_t>(0, 3),
                   in.ConsumeIntegralInRange<size_t>(0, 1));
        QuilletFrameInfo info{-1, -1, -2};
        const QuilletStatus s = in.ConsumeBool()
                                    ? quillet_pull(engine, &out.frame, &info.frame_number)
                                    : quillet_pull_info(engine, &out.frame, &info);
        check(knownStatus(s));
        check(out.guardsIntact());
        if (s == QUILLET_OK) {
          check(info.frame_number == static_cast<int64_t>(pulled.size()));
          check(info.filtered >= -1 && info.filtered <= 1 && info.comb_score >= -2);
          pulled.push_back(out.bytes);
          // The verdict is part of the output: one worker must reach the same.
          pulled.back().push_back(static_cast<uint8_t>(info.filtered + 1));
        }
        break;
      }
      case 4: {
        const QuilletSettings s = settingsFrom(in);
        check(knownStatus(quillet_set_settings(engine, &s)));
        break;
      }
      case 6: {
        // The engine's own memory filled in place; the push may be left out or repeated.
        QuilletFrame lent;
        const QuilletStatus s = quillet_frame_buffer(engine, &lent);
        check(knownStatus(s));
        for (int p = 0; s == QUILLET_OK && p < 3 && lent.planes[p] != nullptr; ++p) {
          const size_t bytes =
              static_cast<size_t>(lent.strides[p]) * static_cast<size_t>(quillet_plane_rows(&c, p));
          for (size_t i = 0; i < bytes; ++i) {
            sample = sample * 1664525u + 1013904223u;
            static_cast<uint8_t*>(lent.planes[p])[i] = static_cast<uint8_t>(sample >> 24);
          }
        }
        break;
      }
      case 7:
        check(knownStatus(quillet_push_buffer(engine, in.ConsumeBool() ? 1 : 0)));
        break;
      default:
        check(knownStatus(quillet_flush(engine)));
        break;
    }
  }
  quillet_destroy(engine);
  return pulled;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto two = run(data, size, 2);
  const auto one = run(data, size, 1);
  check(one == two);
  return 0;
}
