#include "engine/planar_strip.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "dispatch/mmx_state.h"
#include "engine/strip_maps.h"
#include "lowpass/lowpass.h"

namespace quillet::engine {

namespace {

constexpr size_t kLine = 64;
// Columns of a block whose weights decide together whether it is low-passed: a whole number of
// chroma samples at every subsampling.
constexpr int32_t kBlockPixels = 32;

size_t roundUp(size_t v, size_t to) { return (v + to - 1) / to * to; }

// The low-pass kernels count in pixels of three values: a plane row is run as ceil(n / 3) such
// pixels, so its buffers keep two spare values after the row and a stride of whole 8-pixel blocks.
int32_t planeStride(int32_t values) {
  return static_cast<int32_t>(roundUp(static_cast<size_t>(values) + 2, 8 * kSamplesPerPixel * 2));
}

int32_t chromaWidthOf(const Format& f) { return (f.width + (1 << f.shiftX) - 1) >> f.shiftX; }

class PlanarStrip {
 public:
  PlanarStrip(const Format& format, const RowKernels& kernels, const SampleScale& scale,
              CodeCopies copies, const FrameJob& job, PlanarStripBuffers& buffers, int32_t mapPitch)
      : f_(format),
        k_(kernels),
        p_(*kernels.planar),
        scale_(scale),
        copies_(copies),
        job_(job),
        b_(buffers),
        pitch_(mapPitch),
        reach_(lowpassReach(job.settings.tap)),
        chromaWidth_(chromaWidthOf(format)),
        decodeLuma_(format.bytesPerSample == 1 ? p_.decodeLuma8 : p_.decodeLuma16),
        decodeChroma_(format.bytesPerSample == 1 ? p_.decodeChroma8 : p_.decodeChroma16),
        encodeLuma_(format.bytesPerSample == 1 ? p_.encodeLuma8 : p_.encodeLuma16),
        encodeChroma_(format.bytesPerSample == 1 ? p_.encodeChroma8 : p_.encodeChroma16),
        lumaDiff_(format.bytesPerSample == 1 ? p_.lumaDiff8 : p_.lumaDiff16),
        chromaDiff_(format.bytesPerSample == 1 ? p_.chromaDiff8 : p_.chromaDiff16) {}

  void run(int32_t y0, int32_t y1) {
    y0_ = y0;
    y1_ = y1;
    first_ = std::max(0, y0 - reach_);
    last_ = std::min(f_.height, y1 + reach_);
    from_ = std::max(y0, job_.bandTop);
    to_ = std::min(y1, job_.bandEnd);
    weights_ = nullptr;
    if (from_ < to_ && job_.motion) findWeights();
    decodeCurrent();
    if (from_ < to_) lowpass();
    encode();
  }

 private:
  int16_t* sourceRow(int p, int32_t y) const {
    return rowAt(b_.source[p], y - first_, b_.stride[p]);
  }
  int16_t* filteredRow(int p, int32_t y) const {
    return rowAt(b_.filtered[p], y - y0_, b_.stride[p]);
  }
  bool inBand(int32_t y) const { return y >= from_ && y < to_; }

  // Row `row` of plane p of a stored frame, from sample x on.
  const uint8_t* storedRow(const uint8_t* const* planes, const size_t* strides, int p, int32_t row,
                           int32_t x = 0) const {
    return planes[p] + static_cast<size_t>(row) * strides[p] +
           static_cast<size_t>(x) * static_cast<size_t>(f_.bytesPerSample);
  }

  // Frame rows [r0, r1) of plane p of the current frame, the samples covering pixel columns
  // [x0, x1), into the source buffers (a 4:2:0 chroma row into both frame rows it covers).
  void decodeRows(int p, int32_t r0, int32_t r1, int32_t x0, int32_t x1) const {
    const int shiftX = p == 0 ? 0 : f_.shiftX;
    const int shiftY = p == 0 ? 0 : f_.shiftY;
    const int32_t c0 = x0 >> shiftX;
    const int32_t c1 = (x1 + (1 << shiftX) - 1) >> shiftX;
    const DecodePlaneRow decode = p == 0 ? decodeLuma_ : decodeChroma_;
    for (int32_t y = r0; y < r1; ++y) {
      int16_t* dst = sourceRow(p, y) + c0;
      if (y > r0 && ((y - 1) >> shiftY) == (y >> shiftY)) {
        std::memcpy(dst, sourceRow(p, y - 1) + c0, static_cast<size_t>(c1 - c0) * sizeof(int16_t));
      } else {
        decode(storedRow(job_.current, job_.currentStride, p, y >> shiftY, c0), c1 - c0, scale_,
               dst);
      }
    }
  }

  // The current frame's values the low-pass and the encode read. Where still pixels take their
  // stored codes, only the band's rows with the low-pass halo, and with motion on only the
  // columns of the blocks that move: still regions are never decoded. Else every row of the
  // strip and its halo.
  void decodeCurrent() const {
    for (int p = 0; p < f_.planes; ++p) {
      if (!copies(p)) {
        decodeRows(p, first_, last_, 0, f_.width);
        continue;
      }
      if (from_ >= to_) continue;
      const int32_t r0 = std::max(first_, job_.bandTop);
      const int32_t r1 = std::min(last_, job_.bandEnd);
      if (weights_ == nullptr) {
        decodeRows(p, r0, r1, 0, f_.width);
      } else {
        byBlocks([&](int32_t x0, int32_t x1) { decodeRows(p, r0, r1, x0, x1); },
                 [](int32_t, int32_t) {});
      }
    }
  }

  // Weights of band rows [r0, r1) for the pair (current, neighbour) into `map` (row r0 first),
  // from the stored codes of both frames.
  void pairMap(const uint8_t* const* planes, const size_t* strides, int32_t r0, int32_t r1,
               int16_t* map) const {
    const int32_t bt = job_.bandTop;
    const int32_t n = job_.bandEnd - bt;
    const int32_t lo = std::max(r0 - 1, 0);
    const int32_t hi = std::min(r1 + 1, n);
    const uint8_t* const* current = job_.current;
    const size_t* currentStride = job_.currentStride;
    // Local row i holds band row r0 - 1 + i; one spare row before it takes diff[-1] of the first.
    int16_t* diff0 = b_.diff + pitch_;
    const auto diffRow = [&](int32_t r) {
      return diff0 + static_cast<ptrdiff_t>(r - r0 + 1) * pitch_;
    };
    // Chroma differences once per stored row, from the stored rows covering band rows [lo, hi).
    const int32_t cLo = (bt + lo) >> f_.shiftY;
    if (f_.planes == 3) {
      const int32_t cHi = ((bt + hi - 1) >> f_.shiftY) + 1;
      for (int32_t c = cLo; c < cHi; ++c) {
        chromaDiff_(storedRow(current, currentStride, 1, c), storedRow(planes, strides, 1, c),
                    storedRow(current, currentStride, 2, c), storedRow(planes, strides, 2, c),
                    chromaWidth_, scale_,
                    b_.chromaDiff + static_cast<ptrdiff_t>(c - cLo) * b_.stride[1]);
      }
    }
    for (int32_t r = lo; r < hi; ++r) {
      const int16_t* chroma =
          f_.planes == 3
              ? b_.chromaDiff + static_cast<ptrdiff_t>(((bt + r) >> f_.shiftY) - cLo) * b_.stride[1]
              : nullptr;
      lumaDiff_(storedRow(current, currentStride, 0, bt + r), storedRow(planes, strides, 0, bt + r),
                chroma, f_.shiftX, f_.width, scale_, diffRow(r));
    }
    motionRows(k_, job_, diff0, r0, r1, f_.width, pitch_, map);
  }

  // The blend's weights of rows [from_, to_) and the blocks where some are not zero.
  void findWeights() {
    const int32_t bt = job_.bandTop;
    const int32_t r0 = from_ - bt;
    const int32_t r1 = to_ - bt;
    const auto [previous, next] =
        stripMaps(job_, r0, r1, pitch_, b_.map,
                  [&](const uint8_t* const* planes, const size_t* strides, int32_t a, int32_t b,
                      int16_t* map) { pairMap(planes, strides, a, b, map); });
    const int32_t rows = to_ - from_;
    const auto count = static_cast<size_t>(rows) * static_cast<size_t>(pitch_);
    if (next != nullptr) {
      // Rows of both maps lie at the same pitch, so the whole run combines as one row.
      for (size_t i = 0; i < count; ++i) {
        b_.weight[i] =
            job_.mode == 1 ? std::min(previous[i], next[i]) : std::max(previous[i], next[i]);
      }
      weights_ = b_.weight;
    } else {
      weights_ = previous;
    }
    // The runs of blocks alike: a block moves where some weight of its columns is not zero. A
    // whole block's rows are OR-ed as eight 64-bit words (four weights each) in registers, looked
    // at every eight rows; a partial last block by value.
    const int32_t blocks = (f_.width + kBlockPixels - 1) / kBlockPixels;
    const int32_t wholeBlocks = f_.width / kBlockPixels;
    constexpr int32_t kWords = kBlockPixels / 4;
    constexpr int32_t kLook = 8;
    const auto blockMoves = [&](int32_t x0) {
      for (int32_t top = 0; top < rows; top += kLook) {
        uint64_t acc[kWords] = {};
        const int32_t end = std::min(rows, top + kLook);
        for (int32_t r = top; r < end; ++r) {
          const int16_t* w = weights_ + static_cast<ptrdiff_t>(r) * pitch_ + x0;
          for (int32_t i = 0; i < kWords; ++i) {
            uint64_t word;
            std::memcpy(&word, w + 4 * i, sizeof word);
            acc[i] |= word;
          }
        }
        uint64_t any = 0;
        for (uint64_t word : acc) any |= word;
        if (any != 0) return true;
      }
      return false;
    };
    runCount_ = 0;
    bool previousMoving = false;
    for (int32_t block = 0; block < blocks; ++block) {
      const int32_t x0 = block * kBlockPixels;
      bool moving = false;
      if (block < wholeBlocks) {
        moving = blockMoves(x0);
      } else {
        for (int32_t r = 0; r < rows && !moving; ++r) {
          const int16_t* w = weights_ + static_cast<ptrdiff_t>(r) * pitch_;
          for (int32_t x = x0; x < f_.width; ++x) moving = moving || w[x] != 0;
        }
      }
      if (block == 0) firstMoving_ = moving;
      if (block == 0 || moving != previousMoving) b_.runs[runCount_++] = x0;
      previousMoving = moving;
    }
    b_.runs[runCount_] = f_.width;
  }

  // The low-pass of band rows [from_, to_) over the columns of the blocks that move (every
  // column with motion off): a still block's output is its source, whatever its filtered values.
  void lowpass() const {
    const int32_t bt = job_.bandTop;
    const LowpassKernel kernel = (*k_.lowpass)[static_cast<size_t>(job_.settings.tap)];
    const auto runColumns = [&](int32_t x0, int32_t x1) {
      for (int p = 0; p < f_.planes; ++p) {
        const int shift = p == 0 ? 0 : f_.shiftX;
        const int32_t c0 = x0 >> shift;
        const int32_t c1 = (x1 + (1 << shift) - 1) >> shift;
        const int32_t stride = b_.stride[p];
        kernel(rowAt(b_.filtered[p], bt - y0_, stride) + c0,
               rowAt(b_.source[p], bt - first_, stride) + c0, job_.bandEnd - bt,
               (c1 - c0 + kSamplesPerPixel - 1) / kSamplesPerPixel, stride / kSamplesPerPixel,
               from_ - bt, to_ - from_);
      }
    };
    if (weights_ == nullptr) {
      runColumns(0, f_.width);
    } else {
      byBlocks(runColumns, [](int32_t, int32_t) {});
    }
    if (k_.usesMmx) clearMmxState();
  }

  PlaneRowInput inputOf(int p, int32_t y) const {
    if (!inBand(y)) return {nullptr, nullptr};
    const int16_t* w =
        weights_ == nullptr ? nullptr : weights_ + static_cast<ptrdiff_t>(y - from_) * pitch_;
    return {filteredRow(p, y), w};
  }

  bool copies(int p) const { return p == 0 ? copies_.luma : copies_.chroma; }

  // Codes [x0, x1) (in samples) of stored row `row` of plane p of the current frame into the
  // output: the identity of decode then encode, a code above maxCode coming out as maxCode.
  void copyCodes(int p, int32_t row, int32_t x0, int32_t x1) const {
    const size_t bytes = static_cast<size_t>(f_.bytesPerSample);
    const uint8_t* from = job_.current[p] + static_cast<size_t>(row) * job_.currentStride[p] +
                          static_cast<size_t>(x0) * bytes;
    uint8_t* to = static_cast<uint8_t*>(job_.out.planes[p]) +
                  static_cast<ptrdiff_t>(row) * job_.out.strides[p] +
                  static_cast<ptrdiff_t>(x0) * f_.bytesPerSample;
    const auto count = static_cast<size_t>(x1 - x0);
    if (bytes == 1) {
      std::memcpy(to, from, count);
      return;
    }
    const auto maxCode = static_cast<uint16_t>(scale_.maxCode);
    for (size_t i = 0; i < count; ++i) {
      uint16_t code;
      std::memcpy(&code, from + 2 * i, 2);
      code = std::min(code, maxCode);
      std::memcpy(to + 2 * i, &code, 2);
    }
  }

  // How one output row of plane p is made: every pixel's output is its source (copied), some
  // are blended (still blocks copied, the others encoded), or all are encoded.
  enum class RowWork { kCopy, kBlocks, kEncode };
  RowWork workOf(int p, bool anyInBand) const {
    if (!copies(p)) return RowWork::kEncode;
    if (!anyInBand) return RowWork::kCopy;
    return weights_ != nullptr ? RowWork::kBlocks : RowWork::kEncode;
  }

  // Runs moving(x0, x1) over the pixel columns of the blocks that move and still(x0, x1) over
  // the others, each run of blocks alike in one call.
  template <class Moving, class Still>
  void byBlocks(Moving moving, Still still) const {
    for (int32_t run = 0; run < runCount_; ++run) {
      const int32_t x0 = b_.runs[run];
      const int32_t x1 = b_.runs[run + 1];
      if (firstMoving_ == (run % 2 == 0)) {
        moving(x0, x1);
      } else {
        still(x0, x1);
      }
    }
  }

  static PlaneRowInput shifted(const PlaneRowInput& row, int32_t sample, int32_t pixel) {
    return {row.filtered == nullptr ? nullptr : row.filtered + sample,
            row.weight == nullptr ? nullptr : row.weight + pixel};
  }

  void encode() const {
    const QuilletFrame& out = job_.out;
    const auto outRow = [&](int p, int32_t row, int32_t sample) {
      return static_cast<uint8_t*>(out.planes[p]) + static_cast<ptrdiff_t>(row) * out.strides[p] +
             static_cast<ptrdiff_t>(sample) * f_.bytesPerSample;
    };
    for (int32_t y = y0_; y < y1_; ++y) {
      const PlaneRowInput in = inputOf(0, y);
      const auto encodeLuma = [&](int32_t x0, int32_t x1) {
        encodeLuma_(sourceRow(0, y) + x0, shifted(in, x0, x0), x1 - x0, scale_, outRow(0, y, x0));
      };
      const auto copyLuma = [&](int32_t x0, int32_t x1) { copyCodes(0, y, x0, x1); };
      switch (workOf(0, inBand(y))) {
        case RowWork::kCopy:
          copyLuma(0, f_.width);
          break;
        case RowWork::kBlocks:
          byBlocks(encodeLuma, copyLuma);
          break;
        case RowWork::kEncode:
          encodeLuma(0, f_.width);
          break;
      }
    }
    if (f_.planes == 1) return;
    const int32_t c0 = y0_ >> f_.shiftY;
    const int32_t c1 = (y1_ + (1 << f_.shiftY) - 1) >> f_.shiftY;
    const int shiftX = f_.shiftX;
    for (int p = 1; p < 3; ++p) {
      for (int32_t c = c0; c < c1; ++c) {
        const int32_t y = c << f_.shiftY;
        const int count = f_.shiftY == 1 && y + 1 < f_.height ? 2 : 1;
        const PlaneRowInput rows[2] = {inputOf(p, y), inputOf(p, y + 1)};
        // Both frame rows hold the stored row's values; only band rows are decoded when still
        // pixels are copied.
        const int32_t ys = copies(p) && !inBand(y) ? y + 1 : y;
        const auto encodeChroma = [&](int32_t x0, int32_t x1) {
          const int32_t s0 = x0 >> shiftX;
          const PlaneRowInput at[2] = {shifted(rows[0], s0, x0), shifted(rows[1], s0, x0)};
          encodeChroma_(sourceRow(p, ys) + s0, at, count, x1 - x0, shiftX, scale_,
                        outRow(p, c, s0));
        };
        const auto copyChroma = [&](int32_t x0, int32_t x1) {
          copyCodes(p, c, x0 >> shiftX, (x1 + (1 << shiftX) - 1) >> shiftX);
        };
        switch (workOf(p, inBand(y) || (count == 2 && inBand(y + 1)))) {
          case RowWork::kCopy:
            copyChroma(0, f_.width);
            break;
          case RowWork::kBlocks:
            byBlocks(encodeChroma, copyChroma);
            break;
          case RowWork::kEncode:
            encodeChroma(0, f_.width);
            break;
        }
      }
    }
  }

  const Format& f_;
  const RowKernels& k_;
  const PlanarKernels& p_;
  const SampleScale& scale_;
  const CodeCopies copies_;
  const FrameJob& job_;
  PlanarStripBuffers& b_;
  const int32_t pitch_;
  const int32_t reach_;
  const int32_t chromaWidth_;
  const DecodePlaneRow decodeLuma_;
  const DecodePlaneRow decodeChroma_;
  const EncodeLumaPlaneRow encodeLuma_;
  const EncodeChromaPlaneRow encodeChroma_;
  const LumaDiffRow lumaDiff_;
  const ChromaDiffRow chromaDiff_;
  int32_t y0_ = 0;
  int32_t y1_ = 0;
  int32_t first_ = 0;  // first frame row in the source buffers
  int32_t last_ = 0;
  int32_t from_ = 0;  // band rows of the strip
  int32_t to_ = 0;
  const int16_t* weights_ = nullptr;  // row from_ of the blend's weights; null with motion off
  int32_t runCount_ = 0;              // runs of column blocks alike (b_.runs), with weights
  bool firstMoving_ = false;          // the first run moves; the runs alternate
};

}  // namespace

CodeCopies codeCopiesFor(const SampleScale& scale) {
  CodeCopies copies{true, true};
  for (int32_t code = 0; code <= scale.maxCode; ++code) {
    const auto c = static_cast<size_t>(code);
    const auto back = [&](const std::vector<int16_t>& to, const std::vector<uint16_t>& from) {
      return from[static_cast<uint16_t>(to[c])] == code;
    };
    copies.luma = copies.luma && back(scale.lumaToHost, scale.lumaFromHost);
    copies.chroma = copies.chroma && back(scale.chromaToHost, scale.chromaFromHost);
  }
  return copies;
}

bool allocatePlanarStrip(const Format& f, int32_t stripRows, int32_t mapPitch,
                         PlanarStripBuffers& b) {
  const int32_t chromaWidth = chromaWidthOf(f);
  for (int p = 0; p < 3; ++p) b.stride[p] = planeStride(p == 0 ? f.width : chromaWidth);
  const auto strip = static_cast<size_t>(stripRows);
  const size_t mapRow = static_cast<size_t>(mapPitch) * sizeof(int16_t);
  size_t parts[7] = {};
  const auto planeRows = [&](int p, size_t rows) {
    return p < f.planes ? roundUp(static_cast<size_t>(b.stride[p]) * sizeof(int16_t) * rows, kLine)
                        : 0;
  };
  for (int p = 0; p < 3; ++p) {
    parts[0] += planeRows(p, strip + 2 * kHalo);
    parts[1] += planeRows(p, strip);
  }
  parts[2] = planeRows(1, strip + 2);
  parts[3] = roundUp(mapRow * (strip + 4), kLine);
  parts[4] = roundUp(mapRow * strip, kLine);
  parts[5] = roundUp(mapRow * strip, kLine);
  parts[6] = roundUp(static_cast<size_t>(f.width / kBlockPixels + 2) * sizeof(int32_t), kLine);
  size_t bytes = 0;
  for (size_t part : parts) bytes += part;
  if (!b.memory.allocate(bytes)) return false;
  // Values a vector row reads past a plane's width, and filtered values of blocks never
  // low-passed, are then zeros rather than memory never written.
  std::memset(b.memory.data(), 0, bytes);
  auto* at = static_cast<uint8_t*>(b.memory.data());
  const auto take = [&](size_t size) {
    auto* p = reinterpret_cast<int16_t*>(at);
    at += size;
    return p;
  };
  for (int p = 0; p < 3; ++p) b.source[p] = take(planeRows(p, strip + 2 * kHalo));
  for (int p = 0; p < 3; ++p) b.filtered[p] = take(planeRows(p, strip));
  b.chromaDiff = take(parts[2]);
  b.diff = take(parts[3]);
  b.map = take(parts[4]);
  b.weight = take(parts[5]);
  b.runs = reinterpret_cast<int32_t*>(at);
  return true;
}

void runPlanarStrip(const Format& format, const RowKernels& kernels, const SampleScale& scale,
                    CodeCopies copies, const FrameJob& job, PlanarStripBuffers& buffers,
                    int32_t mapPitch, int32_t y0, int32_t y1) {
  PlanarStrip(format, kernels, scale, copies, job, buffers, mapPitch).run(y0, y1);
}

}  // namespace quillet::engine
