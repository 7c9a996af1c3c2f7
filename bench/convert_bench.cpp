#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "formats/convert.h"
#include "formats/sample_scale.h"
#include "tests/support/kernel_forms.h"

namespace quillet {
namespace {

// One 4:2:0 frame in both forms: planes of random video-range codes (samples of `depth` bits
// in uint8 or uint16) and the host pixels they decode to.
struct Frame420 {
  static constexpr int kWidth = 1920;
  static constexpr int kHeight = 1080;
  static constexpr int kChromaWidth = kWidth / 2;
  static constexpr int kChromaHeight = kHeight / 2;

  SampleScale scale;
  size_t sampleBytes;
  std::vector<uint8_t> luma, cb, cr;
  std::vector<Pixel> pixels;

  explicit Frame420(int depth)
      : scale(makeSampleScale(depth)),
        sampleBytes(depth > 8 ? 2 : 1),
        luma(size_t{kWidth} * kHeight * sampleBytes),
        cb(size_t{kChromaWidth} * kChromaHeight * sampleBytes),
        cr(cb.size()),
        pixels(size_t{kWidth} * kHeight) {
    std::mt19937 gen(2026);
    std::uniform_int_distribution<int32_t> code(scale.black, scale.black + scale.lumaSpan);
    for (auto* plane : {&luma, &cb, &cr}) {
      for (size_t i = 0; i < plane->size(); i += sampleBytes) {
        const auto c = static_cast<uint16_t>(code(gen));
        if (sampleBytes == 1) {
          (*plane)[i] = static_cast<uint8_t>(c);
        } else {
          std::memcpy(plane->data() + i, &c, 2);
        }
      }
    }
    decode(ConvertKernelsScalar);
  }

  const uint8_t* lumaRow(int y) const { return luma.data() + size_t{kWidth} * y * sampleBytes; }
  uint8_t* lumaRow(int y) { return luma.data() + size_t{kWidth} * y * sampleBytes; }
  size_t chromaOffset(int cy) const { return size_t{kChromaWidth} * cy * sampleBytes; }
  Pixel* pixelRow(int y) { return pixels.data() + size_t{kWidth} * y; }

  void decode(const ConvertKernels& k) {
    const DecodeRow row = sampleBytes == 1 ? k.decode8 : k.decode16;
    for (int y = 0; y < kHeight; ++y) {
      row(lumaRow(y), cb.data() + chromaOffset(y / 2), cr.data() + chromaOffset(y / 2), kWidth, 1,
          scale, pixelRow(y));
    }
  }

  void encode(const ConvertKernels& k) {
    const EncodeLumaRow lumaRowKernel = sampleBytes == 1 ? k.encodeLuma8 : k.encodeLuma16;
    const EncodeChromaRow chromaRow = sampleBytes == 1 ? k.encodeChroma8 : k.encodeChroma16;
    for (int y = 0; y < kHeight; ++y) lumaRowKernel(pixelRow(y), kWidth, scale, lumaRow(y));
    for (int cy = 0; cy < kChromaHeight; ++cy) {
      chromaRow(pixelRow(2 * cy), pixelRow(2 * cy + 1), kWidth, 1, scale,
                cb.data() + chromaOffset(cy), cr.data() + chromaOffset(cy));
    }
  }
};

// Items are the frame's pixels; bytes are those of its planar samples.
void report(benchmark::State& state, const Frame420& frame) {
  const int64_t pixels = int64_t{Frame420::kWidth} * Frame420::kHeight;
  state.SetItemsProcessed(state.iterations() * pixels);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(frame.luma.size() + 2 * frame.cb.size()));
}

void BM_Decode420(benchmark::State& state, const test::KernelForm& form, int depth) {
  if (!test::formRuns(form)) {
    state.SkipWithError("CPU lacks the form's instruction set");
    return;
  }
  Frame420 frame(depth);
  for (auto _ : state) {
    frame.decode(*form.convert);
    benchmark::ClobberMemory();
  }
  report(state, frame);
}

void BM_Encode420(benchmark::State& state, const test::KernelForm& form, int depth) {
  if (!test::formRuns(form)) {
    state.SkipWithError("CPU lacks the form's instruction set");
    return;
  }
  Frame420 frame(depth);
  for (auto _ : state) {
    frame.encode(*form.convert);
    benchmark::ClobberMemory();
  }
  report(state, frame);
}

}  // namespace
}  // namespace quillet

int main(int argc, char** argv) {
  using quillet::test::KernelForm;
  for (const KernelForm& form : quillet::test::formsWith(&KernelForm::convert, true)) {
    for (int depth : {8, 10}) {
      const std::string suffix = std::string("/") + form.name + "/bits:" + std::to_string(depth);
      benchmark::RegisterBenchmark(("BM_Decode420" + suffix).c_str(), quillet::BM_Decode420, form,
                                   depth)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("BM_Encode420" + suffix).c_str(), quillet::BM_Encode420, form,
                                   depth)
          ->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
