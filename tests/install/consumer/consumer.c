/* A program built against the installed library: filters a combed 4:2:0 clip and checks that
 * every frame comes out in order, with its combing reduced. */
#include <quillet/quillet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kWidth = 64, kHeight = 48, kFrames = 4 };

/* Sum of the differences between neighbouring rows of the luma plane. */
static long combing(const uint8_t* luma) {
  long sum = 0;
  for (int y = 1; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x)
      sum += labs((long)luma[y * kWidth + x] - luma[(y - 1) * kWidth + x]);
  }
  return sum;
}

/* A bar moving right, its two fields a step apart: combing where it moves. */
static void drawFrame(uint8_t* luma, int f) {
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const int left = 8 * f + (y & 1) * 4;
      luma[y * kWidth + x] = (uint8_t)(x >= left && x < left + 16 ? 235 : 16);
    }
  }
}

static int fail(QuilletEngine* engine, const char* what) {
  fprintf(stderr, "%s: %s\n", what, quillet_error_message(engine));
  quillet_destroy(engine);
  return 1;
}

int main(void) {
  static uint8_t in[3][kWidth * kHeight], out[3][kWidth * kHeight];
  QuilletConfig config;
  quillet_default_config(&config);
  config.width = kWidth;
  config.height = kHeight;
  config.threads = 2;
  config.settings.next_frame = 1;
  QuilletEngine* engine = NULL;
  if (quillet_create(&config, &engine) != QUILLET_OK) return fail(NULL, "create");

  QuilletFrame src = {{in[0], in[1], in[2]}, {kWidth, kWidth / 2, kWidth / 2}};
  QuilletFrame dst = {{out[0], out[1], out[2]}, {kWidth, kWidth / 2, kWidth / 2}};
  memset(in[1], 128, sizeof in[1]);
  memset(in[2], 128, sizeof in[2]);
  int64_t expected = 0;
  long before = 0, after = 0;
  for (int f = 0; f <= kFrames; ++f) {
    if (f < kFrames) {
      drawFrame(in[0], f);
      if (quillet_push(engine, &src) != QUILLET_OK) return fail(engine, "push");
    } else if (quillet_flush(engine) != QUILLET_OK) {
      return fail(engine, "flush");
    }
    int64_t number = -1;
    QuilletStatus status;
    while ((status = quillet_pull(engine, &dst, &number)) == QUILLET_OK) {
      if (number != expected) {
        fprintf(stderr, "frame %lld came out as %lld\n", (long long)expected, (long long)number);
        return 1;
      }
      if (number == 1) {
        /* A frame with neighbours on both sides: the filter sees its motion. */
        static uint8_t original[kWidth * kHeight];
        drawFrame(original, 1);
        before = combing(original);
        after = combing(out[0]);
      }
      ++expected;
    }
    if (status < 0) return fail(engine, "pull");
  }
  if (expected != kFrames) {
    fprintf(stderr, "%lld of %d frames came out\n", (long long)expected, kFrames);
    return 1;
  }
  quillet_destroy(engine);
  if (after * 2 > before) {
    fprintf(stderr, "combing %ld before, %ld after\n", before, after);
    return 1;
  }
  printf("%d frames, combing of frame 1: %ld -> %ld\n", kFrames, before, after);
  return 0;
}
