// Writes the woven test clip as Y4M, or scores a filtered copy of it against the truth:
//   woven_clip W H FRAMES_PER_KIND > clip.y4m
//   woven_clip W H FRAMES_PER_KIND FILTERED.y4m   (the confusion table of filtered/passed)
//   woven_clip W H FRAMES_PER_KIND --woven > clip.y4m   (its woven frames only, for timing)
// A frame counts as passed when it comes out byte for byte as it went in.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tests/support/woven_clip.h"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fputs("usage: woven_clip W H FRAMES_PER_KIND [FILTERED.y4m]\n", stderr);
    return 2;
  }
  const int32_t w = std::atoi(argv[1]);
  const int32_t h = std::atoi(argv[2]);
  const auto clip = quillet::test::makeWovenClip(w, h, std::atoi(argv[3]));
  const std::string header =
      "YUV4MPEG2 W" + std::to_string(w) + " H" + std::to_string(h) + " F25:1 It A1:1 C420jpeg\n";
  const bool wovenOnly = argc == 5 && std::string(argv[4]) == "--woven";
  if (argc == 4 || wovenOnly) {
    std::fwrite(header.data(), 1, header.size(), stdout);
    for (const auto& f : clip) {
      if (wovenOnly && f.truth != quillet::test::Truth::kWoven) continue;
      std::fputs("FRAME\n", stdout);
      std::fwrite(f.payload.data(), 1, f.payload.size(), stdout);
    }
    return 0;
  }
  std::FILE* in = std::fopen(argv[4], "rb");
  if (in == nullptr) return 1;
  std::string line;
  for (int c = std::fgetc(in); c != '\n' && c != EOF; c = std::fgetc(in))
    line += static_cast<char>(c);
  const char* names[] = {"progressive", "woven", "woven, fields alike"};
  // [kind][truth] -> {filtered, passed}
  std::map<std::string, std::map<int, std::pair<int, int>>> table;
  std::vector<uint8_t> frame;
  for (const auto& f : clip) {
    char marker[6];
    frame.resize(f.payload.size());
    if (std::fread(marker, 1, 6, in) != 6 ||
        std::fread(frame.data(), 1, frame.size(), in) != frame.size()) {
      std::fputs("the filtered file is short\n", stderr);
      return 1;
    }
    auto& cell = table[f.kind][static_cast<int>(f.truth)];
    ++(frame == f.payload ? cell.second : cell.first);
    table["all"][static_cast<int>(f.truth)].first += frame == f.payload ? 0 : 1;
    table["all"][static_cast<int>(f.truth)].second += frame == f.payload ? 1 : 0;
  }
  std::printf("| content | truth | filtered | passed |\n|---|---|---|---|\n");
  for (const auto& [kind, rows] : table) {
    for (const auto& [truth, cell] : rows) {
      std::printf("| %s | %s | %d | %d |\n", kind.c_str(), names[truth], cell.first, cell.second);
    }
  }
  return 0;
}
