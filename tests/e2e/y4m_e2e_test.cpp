// The quillet binary on Y4M, against Debian's ffmpeg: what ffmpeg writes quillet reads, what
// quillet writes ffmpeg reads, and bad input ends with a message and every complete frame.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/guarded_buffer.h"

extern char** environ;

namespace quillet::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kFfmpeg = "/usr/bin/ffmpeg";
constexpr const char* kFfprobe = "/usr/bin/ffprobe";

struct Outcome {
  int exitCode = -1;  // -1: ended by a signal
  int signal = 0;
  std::string out;
  std::string err;
  int64_t peakKib = 0;  // the largest resident set of the shell and what it ran
};

std::string readFile(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string quote(const std::string& s) { return "'" + s + "'"; }

class Y4mCli : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quillet_y4m_e2e_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  static bool haveFfmpeg() { return access(kFfmpeg, X_OK) == 0 && access(kFfprobe, X_OK) == 0; }

  // Runs `command` through /bin/sh; stdout and stderr are captured.
  Outcome shell(const std::string& command) {
    const std::string outPath = path("stdout.txt");
    const std::string errPath = path("stderr.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::string sh = "/bin/sh", c = "-c", cmd = command;
    char* argv[] = {sh.data(), c.data(), cmd.data(), nullptr};
    pid_t pid = 0;
    Outcome o;
    if (posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, environ) != 0) {
      posix_spawn_file_actions_destroy(&actions);
      ADD_FAILURE() << "cannot start /bin/sh";
      return o;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    o.peakKib = usage.ru_maxrss;
    if (WIFEXITED(status)) o.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) o.signal = WTERMSIG(status);
    // The shell reports a child's signal as 128 + its number.
    if (o.exitCode > 128) o.signal = o.exitCode - 128;
    o.out = readFile(outPath);
    o.err = readFile(errPath);
    return o;
  }

  // quillet with `args` (already quoted where needed).
  Outcome quillet(const std::string& args) {
    return shell(quote(QUILLET_BINARY) + " --quiet " + args);
  }

  // ffmpeg's test pattern as Y4M: `frames` frames scaled to `size` (WxH, odd sizes too) in
  // `pixFmt`, after the filters in `filters` when given.
  void ffmpegClip(const std::string& file, const std::string& size, const std::string& pixFmt,
                  int frames, const std::string& options = "", const std::string& filters = "") {
    const std::string scale =
        "scale=" + size.substr(0, size.find('x')) + ":" + size.substr(size.find('x') + 1);
    const Outcome o = shell(
        std::string(kFfmpeg) + " -v error -y -f lavfi -i testsrc2=size=160x96:rate=25 -frames:v " +
        std::to_string(frames) + " -vf " + scale + (filters.empty() ? "" : "," + filters) +
        " -pix_fmt " + pixFmt + " " + options + " -strict -1 -f yuv4mpegpipe " + quote(file));
    ASSERT_EQ(o.exitCode, 0) << o.err;
  }

  // ffprobe's view of a stream: key=value per line.
  std::map<std::string, std::string> probe(const std::string& file) {
    const Outcome o = shell(std::string(kFfprobe) +
                            " -v error -count_frames -select_streams v:0 -show_entries "
                            "stream=width,height,pix_fmt,nb_read_frames,field_order "
                            "-of default=noprint_wrappers=1 " +
                            quote(file));
    EXPECT_EQ(o.exitCode, 0) << o.err;
    std::map<std::string, std::string> values;
    size_t start = 0;
    while (start < o.out.size()) {
      const size_t end = o.out.find('\n', start);
      const std::string line = o.out.substr(start, end - start);
      const size_t eq = line.find('=');
      if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
      if (end == std::string::npos) break;
      start = end + 1;
    }
    return values;
  }

  fs::path dir_;
};

std::string firstLine(const std::string& bytes) { return bytes.substr(0, bytes.find('\n')); }

// The C token of a stream header, "" when none.
std::string colourToken(const std::string& header) {
  size_t at = header.find(" C");
  if (at == std::string::npos) return "";
  return header.substr(at + 1, header.find(' ', at + 1) - at - 1);
}

// Frame payloads of a Y4M file whose frames carry bare FRAME markers.
std::vector<std::string> payloadsOf(const std::string& stream, size_t frameBytes) {
  std::vector<std::string> frames;
  size_t at = stream.find('\n') + 1;
  while (at + 6 + frameBytes <= stream.size()) {
    EXPECT_EQ(stream.substr(at, 6), "FRAME\n");
    frames.push_back(stream.substr(at + 6, frameBytes));
    at += 6 + frameBytes;
  }
  EXPECT_EQ(at, stream.size()) << "trailing bytes";
  return frames;
}

// ---- every layout and depth through ffmpeg ---------------------------------------------------

struct FormatCase {
  const char* pixFmt;
  const char* extra;  // more ffmpeg output options
  const char* token;  // the C token ffmpeg writes
};

std::string caseName(const testing::TestParamInfo<FormatCase>& p) { return p.param.token; }

// clang-format off
const FormatCase kFormats[] = {
    {"yuv420p", "-chroma_sample_location center", "C420jpeg"},
    {"yuv420p", "-chroma_sample_location left", "C420mpeg2"},
    {"yuv420p", "-chroma_sample_location topleft", "C420paldv"},
    {"yuv422p", "", "C422"},
    {"yuv444p", "", "C444"},
    {"gray", "", "Cmono"},
    {"yuv420p10le", "", "C420p10"},
    {"yuv422p10le", "", "C422p10"},
    {"yuv444p10le", "", "C444p10"},
    {"gray10le", "", "Cmono10"},
    {"yuv420p12le", "", "C420p12"},
    {"yuv422p12le", "", "C422p12"},
    {"yuv444p12le", "", "C444p12"},
    {"gray12le", "", "Cmono12"},
    {"yuv420p16le", "", "C420p16"},
    {"yuv422p16le", "", "C422p16"},
    {"yuv444p16le", "", "C444p16"},
    {"gray16le", "", "Cmono16"},
    {"yuv420p9le", "", "C420p9"},
    {"yuv444p9le", "", "C444p9"},
    {"gray9le", "", "Cmono9"},
    {"yuv420p14le", "", "C420p14"},
    {"yuv422p14le", "", "C422p14"},
    {"yuv411p", "", "C411"},
};
// clang-format on

class FfmpegFormats : public Y4mCli, public testing::WithParamInterface<FormatCase> {};

TEST_P(FfmpegFormats, FilteredClipReadsBackInTheSameFormat) {
  if (!haveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  const FormatCase& c = GetParam();
  // Odd sizes: subsampled planes round up. Not the width of subsampled samples above 8 bits:
  // there ffmpeg writes chroma rows of ceil(2 W / 2) bytes, half a sample short at odd widths.
  const std::string token = c.token;
  const bool wide = token.find('p') != std::string::npos && token.rfind("C444", 0) != 0;
  const std::string width = wide ? "96" : "97";
  ffmpegClip(path("in.y4m"), width + "x55", c.pixFmt, 6, c.extra);
  const std::string in = readFile(path("in.y4m"));
  ASSERT_EQ(colourToken(firstLine(in)), c.token) << firstLine(in);

  const Outcome o =
      quillet("--tap 2 --next-frame " + quote(path("in.y4m")) + " " + quote(path("out.y4m")));
  ASSERT_EQ(o.exitCode, 0) << o.err;
  const std::string out = readFile(path("out.y4m"));
  EXPECT_EQ(colourToken(firstLine(out)), c.token) << firstLine(out);
  EXPECT_NE(firstLine(out).find(" Ip"), std::string::npos) << firstLine(out);
  EXPECT_EQ(out.size(), in.size());

  auto before = probe(path("in.y4m"));
  auto after = probe(path("out.y4m"));
  EXPECT_EQ(after["nb_read_frames"], "6");
  EXPECT_EQ(after["width"], width);
  EXPECT_EQ(after["height"], "55");
  EXPECT_EQ(after["pix_fmt"], before["pix_fmt"]);
  EXPECT_EQ(after["field_order"], "progressive");
}

TEST_P(FfmpegFormats, EmptyBandWithMotionOffGivesTheFileBackByteForByte) {
  if (!haveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  const FormatCase& c = GetParam();
  // Noise pushes samples below black and above white.
  ffmpegClip(path("in.y4m"), "66x41", c.pixFmt, 4, c.extra, "noise=alls=60:allf=t");
  const std::string untouched = "--top 256 --motion 0 --tap 6 ";
  Outcome o = quillet(untouched + quote(path("in.y4m")) + " " + quote(path("out.y4m")));
  ASSERT_EQ(o.exitCode, 0) << o.err;
  const std::string token = c.token;
  if (token.find("16") == std::string::npos && token.find("14") == std::string::npos) {
    EXPECT_TRUE(readFile(path("out.y4m")) == readFile(path("in.y4m")));
    return;
  }
  // 14- and 16-bit samples are quantised to the host's scale once; what comes out passes
  // unchanged.
  EXPECT_EQ(readFile(path("out.y4m")).size(), readFile(path("in.y4m")).size());
  o = quillet(untouched + quote(path("out.y4m")) + " " + quote(path("again.y4m")));
  ASSERT_EQ(o.exitCode, 0) << o.err;
  EXPECT_TRUE(readFile(path("again.y4m")) == readFile(path("out.y4m")));
}

INSTANTIATE_TEST_SUITE_P(Layouts, FfmpegFormats, testing::ValuesIn(kFormats), caseName);

// A depth's code c and the code c * 2^k of a depth k bits deeper are the same value on the
// host's scale, so a clip ffmpeg writes at 9 (14) bits and the same samples shifted to 10 (16)
// bits filter to the same picture: the deeper output's codes are the shallower's times 2^k,
// give or take the rounding of the shallower (less than 2^(k-1) + 1 codes of the deeper).
struct DeeperCase {
  const char* pixFmt;
  const char* token;
  const char* deeperToken;
  int shift;
};

class SameSamplesDeeper : public Y4mCli, public testing::WithParamInterface<DeeperCase> {};

TEST_P(SameSamplesDeeper, FilterToTheDeeperDepthsPicture) {
  if (!haveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  const DeeperCase& c = GetParam();
  ffmpegClip(path("in.y4m"), "96x55", c.pixFmt, 4, "", "noise=alls=30:allf=t");
  const std::string in = readFile(path("in.y4m"));
  const std::string header = firstLine(in);
  ASSERT_EQ(colourToken(header), c.token) << header;
  constexpr int kFrames = 4;
  const size_t frameBytes = (in.size() - header.size() - 1) / kFrames - 6;
  const auto inFrames = payloadsOf(in, frameBytes);
  ASSERT_EQ(inFrames.size(), size_t{kFrames});
  const auto sample = [](const std::string& s, size_t j) {
    return static_cast<uint8_t>(s[j]) | static_cast<uint8_t>(s[j + 1]) << 8;
  };
  // The same stream with every sample shifted up, marked with the deeper token.
  std::string deeper = header.substr(0, header.find(" C")) + " " + c.deeperToken + "\n";
  for (const std::string& frame : inFrames) {
    deeper += "FRAME\n";
    for (size_t i = 0; i < frameBytes; i += 2) {
      const int v = sample(frame, i) << c.shift;
      deeper.push_back(static_cast<char>(v & 0xFF));
      deeper.push_back(static_cast<char>(v >> 8));
    }
  }
  writeFile(path("deeper.y4m"), deeper);
  for (const char* name : {"in", "deeper"}) {
    const Outcome o = quillet("--tap 3 --next-frame " + quote(path(std::string(name) + ".y4m")) +
                              " " + quote(path(std::string(name) + "_out.y4m")));
    ASSERT_EQ(o.exitCode, 0) << o.err;
  }
  const auto out = payloadsOf(readFile(path("in_out.y4m")), frameBytes);
  const auto outDeeper = payloadsOf(readFile(path("deeper_out.y4m")), frameBytes);
  ASSERT_EQ(out.size(), size_t{kFrames});
  ASSERT_EQ(outDeeper.size(), size_t{kFrames});
  const int slack = (1 << (c.shift - 1)) + 1;
  int64_t changed = 0;
  for (size_t n = 0; n < out.size(); ++n) {
    for (size_t i = 0; i < frameBytes; i += 2) {
      const int shallow = sample(out[n], i) << c.shift;
      ASSERT_LE(std::abs(shallow - sample(outDeeper[n], i)), slack)
          << "frame " << n << " byte " << i;
      changed += sample(out[n], i) != sample(inFrames[n], i);
    }
  }
  EXPECT_GT(changed, 1000) << "the filter must have worked on the clip";
}

INSTANTIATE_TEST_SUITE_P(Depths, SameSamplesDeeper,
                         testing::Values(DeeperCase{"yuv420p9le", "C420p9", "C420p10", 1},
                                         DeeperCase{"yuv422p14le", "C422p14", "C422p16", 2}),
                         [](const testing::TestParamInfo<DeeperCase>& p) {
                           return std::string(p.param.token);
                         });

// Every code value of the depth, not only those ffmpeg's pattern makes.
class FullCodeRange : public Y4mCli, public testing::WithParamInterface<const char*> {};

TEST_P(FullCodeRange, EmptyBandWithMotionOffKeepsEveryCode) {
  const std::string token = GetParam();
  const size_t digits = token.find_first_of("0123456789", token.rfind("mono", 0) == 0 ? 0 : 3);
  const int depth = digits == std::string::npos ? 8 : std::stoi(token.substr(digits));
  const int32_t w = 64, h = 32;
  size_t samples = static_cast<size_t>(w * h);
  if (token.rfind("420", 0) == 0) samples += 2 * (w / 2) * (h / 2);
  if (token.rfind("422", 0) == 0) samples += 2 * (w / 2) * h;
  if (token.rfind("444", 0) == 0) samples += 2 * static_cast<size_t>(w * h);
  if (token.rfind("411", 0) == 0) samples += 2 * (w / 4) * h;
  Prng prng(testSeed());
  std::string stream = "YUV4MPEG2 W64 H32 F25:1 Ip A1:1 C" + token + "\n";
  for (int n = 0; n < 3; ++n) {
    stream += "FRAME\n";
    for (size_t i = 0; i < samples; ++i) {
      // Every code of the depth once, the rest at random.
      const size_t k = static_cast<size_t>(n) * samples + i;
      const int32_t v =
          k < (size_t{1} << depth) ? static_cast<int32_t>(k) : prng.range(0, (1 << depth) - 1);
      stream.push_back(static_cast<char>(v & 0xFF));
      if (depth > 8) stream.push_back(static_cast<char>(v >> 8));
    }
  }
  writeFile(path("in.y4m"), stream);
  const Outcome o = quillet("--top 256 --motion 0 --tap 6 " + quote(path("in.y4m")) + " " +
                            quote(path("out.y4m")));
  ASSERT_EQ(o.exitCode, 0) << o.err;
  EXPECT_TRUE(readFile(path("out.y4m")) == stream) << "seed " << testSeed();
}

INSTANTIATE_TEST_SUITE_P(Depths, FullCodeRange,
                         testing::Values("420jpeg", "422", "444", "mono", "420p10", "422p10",
                                         "444p10", "mono10", "420p12", "422p12", "444p12", "mono12",
                                         "420p9", "mono9", "411"),
                         [](const testing::TestParamInfo<const char*>& p) {
                           return std::string(p.param);
                         });

// ---- the filter on a combed clip ------------------------------------------------------------

// A combed 4:2:0 clip: a soft-edged bright bar and a ringed block moving right, rendered per
// field (even rows at 2n, odd rows at 2n + 1) over a smooth still background.
struct CombedClip {
  int32_t width = 160;
  int32_t height = 96;
  int frames = 10;
  std::string stream;
  std::vector<std::vector<uint8_t>> moving;  // per frame, 1 where the two fields differ
};

double sceneLuma(double x, double y, double t) {
  double v = 60 + 40 * std::sin(x * 0.05) + 0.3 * y;  // still background
  const double bar = 20 + 5 * t;
  const double edge = std::min(x - bar, bar + 24 - x);
  if (edge > -1) v = v + (210 - v) * std::min(1.0, edge + 1);
  const double bx = 90 - 4 * t;
  if (x >= bx && x < bx + 30 && y >= 30 && y < 70) v = 128 + 80 * std::cos((x - bx) * 0.6);
  return std::clamp(v, 16.0, 235.0);
}

CombedClip makeCombedClip() {
  CombedClip c;
  c.stream = "YUV4MPEG2 W160 H96 F30000:1001 It A1:1 C420jpeg\n";
  const size_t lumaBytes = static_cast<size_t>(c.width * c.height);
  for (int n = 0; n < c.frames; ++n) {
    std::string luma(lumaBytes, '\0');
    std::vector<uint8_t> moving(lumaBytes, 0);
    for (int32_t y = 0; y < c.height; ++y) {
      for (int32_t x = 0; x < c.width; ++x) {
        const auto early = static_cast<uint8_t>(std::lrint(sceneLuma(x, y, 2.0 * n)));
        const auto late = static_cast<uint8_t>(std::lrint(sceneLuma(x, y, 2.0 * n + 1)));
        const size_t i = static_cast<size_t>(y * c.width + x);
        luma[i] = static_cast<char>(y % 2 == 0 ? early : late);
        moving[i] = early != late;
      }
    }
    c.stream += "FRAME\n" + luma + std::string(lumaBytes / 2, '\x80');
    c.moving.push_back(std::move(moving));
  }
  return c;
}

// Mean squared vertical alternating component of Y, (2 Y[r] - Y[r-1] - Y[r+1]) / 4, over the
// moving pixels of rows 1..h-2; `luma` holds the frames' Y planes back to back.
double combing(const std::string& luma, const CombedClip& c) {
  double energy = 0;
  int64_t count = 0;
  const auto w = static_cast<size_t>(c.width);
  for (size_t n = 0; n < c.moving.size(); ++n) {
    const auto* f = reinterpret_cast<const uint8_t*>(luma.data()) + n * w * c.height;
    for (size_t y = 1; y + 1 < static_cast<size_t>(c.height); ++y) {
      for (size_t x = 0; x < w; ++x) {
        if (!c.moving[n][y * w + x]) continue;
        const double a = (2.0 * f[y * w + x] - f[(y - 1) * w + x] - f[(y + 1) * w + x]) / 4;
        energy += a * a;
        ++count;
      }
    }
  }
  return count > 0 ? energy / static_cast<double>(count) : 0;
}

// With Im and per-frame marks, --deint interlaced filters exactly the frames whose mark's
// temporal letter (the second) is i, and the unmarked ones (as --deint all does), and passes the
// others byte for byte, whatever their first letter; the progress line and the summary count
// both, and the preview of a passed frame carries the mark. The plug-in path refuses the option.
TEST_F(Y4mCli, DeintInterlacedFiltersExactlyTheInterlacedSampledFrames) {
  const CombedClip clip = makeCombedClip();
  const size_t frameBytes = static_cast<size_t>(clip.width * clip.height) * 3 / 2;
  const auto frames = payloadsOf(clip.stream, frameBytes);
  struct Mark {
    const char* line;
    bool filtered;
  };
  const Mark marks[] = {{"FRAME Itii", true},    {"FRAME I1pp", false}, {"FRAME Ibii", true},
                        {"FRAME", true},         {"FRAME I2pp", false}, {"FRAME Itpp", false},
                        {"FRAME Ibi?", true},    {"FRAME I3pp", false}, {"FRAME Ibii", true},
                        {"FRAME X1 I1pp", false}};
  ASSERT_EQ(frames.size(), std::size(marks));
  std::string stream = "YUV4MPEG2 W160 H96 F30000:1001 Im A1:1 C420jpeg\n";
  for (size_t k = 0; k < frames.size(); ++k) stream += marks[k].line + ("\n" + frames[k]);
  writeFile(path("in.y4m"), stream);
  ASSERT_EQ(quillet(quote(path("in.y4m")) + " " + quote(path("all.y4m"))).exitCode, 0);
  const Outcome run = shell(quote(QUILLET_BINARY) +
                            " --deint interlaced --progress --preview 1:" + quote(path("p.png")) +
                            " " + quote(path("in.y4m")) + " " + quote(path("some.y4m")));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("frame 10/10  5 filtered, 5 passed  "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("\nquillet: 5 frames filtered, 5 passed unchanged\n"), std::string::npos)
      << run.err;
  if (haveFfmpeg()) {
    // The weights panel's top left pixel: amber, the frame drawn around a passed frame's panel.
    const Outcome rgb = shell(std::string(kFfmpeg) + " -v error -i " + quote(path("p.png")) +
                              " -f rawvideo -pix_fmt rgb24 -");
    const size_t at = 2 * (160 + 4) * 3;
    ASSERT_GE(rgb.out.size(), at + 3) << rgb.err;
    EXPECT_EQ(rgb.out.substr(at, 3), std::string("\xff\xb0\x00", 3));
  }
  const auto all = payloadsOf(readFile(path("all.y4m")), frameBytes);
  const auto some = payloadsOf(readFile(path("some.y4m")), frameBytes);
  ASSERT_EQ(some.size(), frames.size());
  // The first frame has nothing to move against, so filtering leaves it as it is.
  EXPECT_EQ(some[0], all[0]);
  for (size_t k = 1; k < frames.size(); ++k) {
    const bool marked = marks[k].filtered;
    EXPECT_NE(all[k], frames[k]) << "frame " << k << ": filtering must show";
    EXPECT_EQ(some[k] == all[k], marked) << "frame " << k;
    EXPECT_EQ(some[k] == frames[k], !marked) << "frame " << k;
  }
  const Outcome refused = quillet("--deint combed --order reverse " + quote(path("in.y4m")) + " " +
                                  quote(path("x.y4m")));
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_NE(refused.err.find("--deint"), std::string::npos) << refused.err;
}

TEST_F(Y4mCli, DefaultSettingsHalveTheCombingOfACombedClip) {
  if (!haveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  const CombedClip clip = makeCombedClip();
  writeFile(path("in.y4m"), clip.stream);
  const Outcome o = quillet(quote(path("in.y4m")) + " " + quote(path("out.y4m")));
  ASSERT_EQ(o.exitCode, 0) << o.err;
  // ffmpeg extracts the Y planes, so the measure does not lean on quillet's own reader.
  for (const char* name : {"in", "out"}) {
    const Outcome x =
        shell(std::string(kFfmpeg) + " -v error -y -i " + quote(path(std::string(name) + ".y4m")) +
              " -f rawvideo -pix_fmt gray " + quote(path(std::string(name) + ".y")));
    ASSERT_EQ(x.exitCode, 0) << x.err;
  }
  const double before = combing(readFile(path("in.y")), clip);
  const double after = combing(readFile(path("out.y")), clip);
  EXPECT_GT(before, 100.0);
  EXPECT_LT(after, before / 2) << "before " << before << ", after " << after;
}

// ---- the same clip as Y4M and as ycc16 -------------------------------------------------------

// The host's scale for 8-bit codes, written out here so the test does not trust the tool's:
// Y = round((c - 16) * 4096 / 219), C = round((c - 128) * 2048 / 112), halves up.
int64_t floorDiv(int64_t n, int64_t d) { return n / d - ((n % d != 0 && n < 0) ? 1 : 0); }
int64_t roundDiv(int64_t n, int64_t d) { return floorDiv(2 * n + d, 2 * d); }
int16_t hostY(int c) { return static_cast<int16_t>(roundDiv((c - 16) * 4096, 219)); }
int16_t hostC(int c) { return static_cast<int16_t>(roundDiv((c - 128) * 2048, 112)); }
int codeY(int64_t y) {
  return static_cast<int>(std::clamp<int64_t>(16 + roundDiv(y * 219, 4096), 0, 255));
}
int codeC(int64_t sum, int64_t n) {
  return static_cast<int>(std::clamp<int64_t>(128 + roundDiv(sum * 112, 2048 * n), 0, 255));
}

void put16(std::string& s, int16_t v) {
  s.push_back(static_cast<char>(static_cast<uint16_t>(v) & 0xFF));
  s.push_back(static_cast<char>(static_cast<uint16_t>(v) >> 8));
}
int16_t get16(const std::string& s, size_t at) {
  return static_cast<int16_t>(static_cast<uint8_t>(s[at]) | (static_cast<uint8_t>(s[at + 1]) << 8));
}

class SameSamples : public Y4mCli, public testing::WithParamInterface<const char*> {};

TEST_P(SameSamples, Y4mAndYcc16GiveTheSameFilteredSamples) {
  const bool subsampled = std::string(GetParam()) == "420jpeg";
  const int32_t w = 48, h = 32, frames = 5;
  const int32_t cw = subsampled ? w / 2 : w, ch = subsampled ? h / 2 : h;
  Prng prng(testSeed());
  // A still textured background and a block of another texture moving right.
  std::vector<uint8_t> texture(static_cast<size_t>(3 * w * h));
  for (auto& v : texture) v = static_cast<uint8_t>(prng.range(16, 235));
  std::string y4m = "YUV4MPEG2 W48 H32 F25:1 Ip A1:1 C" + std::string(GetParam()) + "\n";
  std::string ycc16;
  for (int32_t n = 0; n < frames; ++n) {
    const auto sample = [&](int plane, int32_t x, int32_t y) -> int {
      const bool block = x >= 4 + 5 * n && x < 20 + 5 * n && y >= 8 && y < 24;
      const size_t i = static_cast<size_t>(plane * w * h + y * w + x);
      return block ? 255 - texture[i] : texture[i];
    };
    y4m += "FRAME\n";
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) y4m.push_back(static_cast<char>(sample(0, x, y)));
    for (int plane = 1; plane <= 2; ++plane)
      for (int32_t y = 0; y < ch; ++y)
        for (int32_t x = 0; x < cw; ++x) y4m.push_back(static_cast<char>(sample(plane, x, y)));
    const int shift = subsampled ? 1 : 0;
    for (int32_t y = 0; y < h; ++y) {
      for (int32_t x = 0; x < w; ++x) {
        put16(ycc16, hostY(sample(0, x, y)));
        put16(ycc16, hostC(sample(1, x >> shift, y >> shift)));
        put16(ycc16, hostC(sample(2, x >> shift, y >> shift)));
      }
    }
  }
  writeFile(path("in.y4m"), y4m);
  writeFile(path("in.raw"), ycc16);
  const std::string settings = "--tap 3 --motion 16 --next-frame ";
  ASSERT_EQ(quillet(settings + quote(path("in.y4m")) + " " + quote(path("out.y4m"))).exitCode, 0);
  ASSERT_EQ(quillet(settings + "--format ycc16 --size 48x32 " + quote(path("in.raw")) + " " +
                    quote(path("out.raw")))
                .exitCode,
            0);

  const std::string raw = readFile(path("out.raw"));
  ASSERT_EQ(raw.size(), static_cast<size_t>(frames * w * h * 6));
  const size_t frameBytes = static_cast<size_t>(w * h + 2 * cw * ch);
  const std::vector<std::string> got = payloadsOf(readFile(path("out.y4m")), frameBytes);
  ASSERT_EQ(got.size(), static_cast<size_t>(frames));
  const int step = subsampled ? 2 : 1;
  for (int32_t n = 0; n < frames; ++n) {
    const auto host = [&](int32_t x, int32_t y, int component) {
      return get16(raw, static_cast<size_t>(((n * h + y) * w + x) * 6 + component * 2));
    };
    std::string expected;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) expected.push_back(static_cast<char>(codeY(host(x, y, 0))));
    for (int component = 1; component <= 2; ++component) {
      for (int32_t y = 0; y < ch; ++y) {
        for (int32_t x = 0; x < cw; ++x) {
          int64_t sum = 0;
          for (int32_t dy = 0; dy < step; ++dy)
            for (int32_t dx = 0; dx < step; ++dx)
              sum += host(x * step + dx, y * step + dy, component);
          expected.push_back(static_cast<char>(codeC(sum, step * step)));
        }
      }
    }
    EXPECT_TRUE(got[static_cast<size_t>(n)] == expected) << "frame " << n << " seed " << testSeed();
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, SameSamples, testing::Values("444", "420jpeg"),
                         [](const testing::TestParamInfo<const char*>& p) {
                           return std::string(p.param);
                         });

// ---- pipes -------------------------------------------------------------------------------------

TEST_F(Y4mCli, FfmpegPipelineCarriesEveryFrame) {
  if (!haveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  ffmpegClip(path("in.y4m"), "128x72", "yuv420p", 12);
  const std::string ff = std::string(kFfmpeg) + " -v error -y";
  const Outcome o = shell(ff + " -i " + quote(path("in.y4m")) + " -f yuv4mpegpipe - | " +
                          quote(QUILLET_BINARY) + " --quiet --tap 3 - - | " + ff +
                          " -f yuv4mpegpipe -i - -c:v ffv1 " + quote(path("out.mkv")));
  ASSERT_EQ(o.exitCode, 0) << o.err;
  auto info = probe(path("out.mkv"));
  EXPECT_EQ(info["nb_read_frames"], "12");
  // Through pipes the bytes are those of a run on files.
  ASSERT_EQ(quillet("--tap 3 " + quote(path("in.y4m")) + " " + quote(path("files.y4m"))).exitCode,
            0);
  ASSERT_EQ(shell("cat " + quote(path("in.y4m")) + " | " + quote(QUILLET_BINARY) +
                  " --quiet --tap 3 - - > " + quote(path("piped.y4m")))
                .exitCode,
            0);
  EXPECT_TRUE(readFile(path("piped.y4m")) == readFile(path("files.y4m")));
}

TEST_F(Y4mCli, PreviewIsInputOutputAndWeightsSideBySide) {
  if (!haveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  ffmpegClip(path("in.y4m"), "100x60", "yuv422p10le", 5);
  const Outcome o = quillet("--preview 2:" + quote(path("p.png")) + " " + quote(path("in.y4m")) +
                            " " + quote(path("out.y4m")));
  ASSERT_EQ(o.exitCode, 0) << o.err;
  auto info = probe(path("p.png"));
  EXPECT_EQ(info["width"], "308");  // three panels and two 4-pixel gaps
  EXPECT_EQ(info["height"], "60");
  EXPECT_EQ(info["pix_fmt"], "rgb24");
}

// ---- bad input ---------------------------------------------------------------------------------

// A valid 4:4:4 stream of 16 x 8 frames (384 bytes each) and what to make of it.
const std::string kHeader = "YUV4MPEG2 W16 H8 F25:1 Ip A1:1 C444\n";
constexpr size_t kFrameBytes = 16 * 8 * 3;

std::string frames(int count) {
  std::string s;
  for (int n = 0; n < count; ++n) {
    s += "FRAME\n";
    for (size_t i = 0; i < kFrameBytes; ++i)
      s.push_back(static_cast<char>(40 + (i * 7 + n * 13) % 180));
  }
  return s;
}

struct BadCase {
  const char* name;
  std::string bytes;
  const char* says;
  int completeFrames;  // frames the output must hold; -1: no output at all
};

class BadInput : public Y4mCli, public testing::WithParamInterface<BadCase> {};

TEST_P(BadInput, ExitsWithOneLineAndEveryCompleteFrame) {
  const BadCase& c = GetParam();
  writeFile(path("bad.y4m"), c.bytes);
  const Outcome o = quillet("--tap 2 " + quote(path("bad.y4m")) + " " + quote(path("out.y4m")));
  EXPECT_EQ(o.signal, 0);
  EXPECT_EQ(o.exitCode, 1);
  EXPECT_EQ(o.err.rfind("quillet: ", 0), 0u) << o.err;
  EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << o.err;
  EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
  if (c.completeFrames < 0) {
    EXPECT_FALSE(fs::exists(path("out.y4m")));
    return;
  }
  EXPECT_NE(o.err.find("frame " + std::to_string(c.completeFrames) + ", byte offset"),
            std::string::npos)
      << o.err;
  // The output is what the complete frames alone give.
  writeFile(path("good.y4m"), kHeader + frames(c.completeFrames));
  ASSERT_EQ(quillet("--tap 2 " + quote(path("good.y4m")) + " " + quote(path("ref.y4m"))).exitCode,
            0);
  EXPECT_TRUE(readFile(path("out.y4m")) == readFile(path("ref.y4m")));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, BadInput,
    testing::Values(
        BadCase{"EmptyInput", "", "empty input", -1},
        BadCase{"NotY4m", "RIFF....WAVEfmt " + frames(1), "not a Y4M stream", -1},
        BadCase{"MissingWidth", "YUV4MPEG2 H8 C444\n" + frames(2), "missing W token", -1},
        BadCase{"BadHeight", "YUV4MPEG2 W16 H8x C444\n" + frames(2), "bad H token", -1},
        BadCase{"MissingColourSpace", "YUV4MPEG2 W16 H8 C\n" + frames(2), "bad C token", -1},
        BadCase{"UnknownLayout", "YUV4MPEG2 W16 H8 C410\n" + frames(2), "unsupported chroma layout", -1},
        BadCase{"ZeroWidth", "YUV4MPEG2 W0 H8 C444\n" + frames(2), "out of range 1..16384", -1},
        BadCase{"AbsurdSize", "YUV4MPEG2 W40000 H40000 C444\n" + frames(2), "out of range 1..16384", -1},
        BadCase{"TruncatedHeader", "YUV4MPEG2 W16 H8 C4", "truncated stream header", -1},
        BadCase{"EndsInsideFirstFrame", kHeader + frames(1).substr(0, 200), "ends inside a frame", 0},
        BadCase{"EndsInsideThirdFrame", kHeader + frames(3).substr(0, 2 * 390 + 100), "ends inside a frame", 2},
        BadCase{"EndsInsideMarker", kHeader + frames(2) + "FRA", "ends inside a FRAME marker", 2},
        BadCase{"MarkerMissing", kHeader + frames(1) + std::string(390, 'x'), "FRAME marker missing", 1}),
    [](const testing::TestParamInfo<BadCase>& p) { return std::string(p.param.name); });
// clang-format on

// ---- memory -----------------------------------------------------------------------------------

// Frame memory is taken as frames arrive: a header promising 8192 x 8192 frames (192 MiB of
// samples, 384 MiB at the host's 6 bytes a pixel) and no frame is an empty clip that costs no
// frame's memory. A frame the address space cannot hold ends the run with exit 1 and a message;
// sanitizers reserve terabytes of address space, so that half needs a build without them.
TEST_F(Y4mCli, FrameMemoryIsTakenAsFramesArrive) {
  const std::string header = "YUV4MPEG2 W8192 H8192 C444\n";
  writeFile(path("empty.y4m"), header);
  const Outcome empty = quillet(quote(path("empty.y4m")) + " " + quote(path("out.y4m")));
  EXPECT_EQ(empty.exitCode, 0) << empty.err;
  EXPECT_EQ(readFile(path("out.y4m")), "YUV4MPEG2 W8192 H8192 Ip C444\n");
  EXPECT_LT(empty.peakKib, 192 * 1024);
  if (QUILLET_SANITIZED) return;

  // 4096 x 4096: 48 MiB a frame in the file, 96 MiB in each of the host's frames.
  const Outcome big = shell(
      "ulimit -v 400000; { printf 'YUV4MPEG2 W4096 H4096 C444\\nFRAME\\n'; "
      "head -c 50331648 /dev/zero; } | " +
      quote(QUILLET_BINARY) + " --quiet --threads 0 - " + quote(path("big.y4m")));
  EXPECT_EQ(big.signal, 0);
  EXPECT_EQ(big.exitCode, 1);
  EXPECT_EQ(big.err.rfind("quillet: out of memory", 0), 0u) << big.err;
  EXPECT_EQ(big.err.find('\n'), big.err.size() - 1) << big.err;
}

// ---- preview paths ----------------------------------------------------------------------------

// A preview naming the input or the output, by any path, link or /dev/std*, is refused before
// anything is written.
TEST_F(Y4mCli, PreviewNeverOverwritesTheInputOrTheOutput) {
  const std::string input = kHeader + frames(3), earlier = "an earlier output";
  writeFile(path("in.y4m"), input);
  fs::create_hard_link(path("in.y4m"), path("hard.y4m"));
  fs::create_symlink(path("in.y4m"), path("soft.y4m"));
  fs::create_directory(path("sub"));
  const std::string in = quote(path("in.y4m")), out = quote(path("out.y4m"));
  struct Case {
    const char* name;
    std::string preview;
    std::string files;  // INPUT OUTPUT and redirections
    bool outputExists;
  };
  const Case cases[] = {
      {"the input", path("in.y4m"), in + " " + out, false},
      {"the input through a hard link", path("hard.y4m"), in + " " + out, false},
      {"the input through a symbolic link", path("soft.y4m"), in + " " + out, false},
      {"the input as stdin", "/dev/stdin", "- " + out + " < " + in, false},
      {"the output", path("out.y4m"), in + " " + out, true},
      {"the output yet to be made", path("sub/../out.y4m"), in + " " + out, false},
      {"the output as stdout", "/dev/stdout", in + " - >> " + out, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(path("in.y4m"), input);
    fs::remove(path("out.y4m"));
    if (c.outputExists) writeFile(path("out.y4m"), earlier);
    const Outcome o = quillet("--preview 1:" + quote(c.preview) + " " + c.files);
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << o.err;
    EXPECT_NE(o.err.find("--preview"), std::string::npos) << o.err;
    EXPECT_TRUE(readFile(path("in.y4m")) == input) << "the input was overwritten";
    EXPECT_TRUE(readFile(path("out.y4m")) == (c.outputExists ? earlier : "")) << "output written";
    EXPECT_EQ(fs::exists(path("out.y4m")), c.outputExists);
  }
}

// ---- interruption -----------------------------------------------------------------------------

// Whether every thread of `pid` is blocked, as /proc tells.
bool blocked(pid_t pid) {
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    const std::string stat = readFile((task.path() / "stat").string());
    const size_t name = stat.rfind(')');
    if (name == std::string::npos || name + 2 >= stat.size() || stat[name + 2] != 'S') return false;
  }
  return !error;
}

// Sends `signal` to `pid`; its wait status, after a SIGKILL and a failure when it still runs 5 s
// later.
int interrupt(pid_t pid, int signal) {
  kill(pid, signal);
  int status = 0;
  for (int polls = 0; polls < 250 && waitpid(pid, &status, WNOHANG) == 0; ++polls) usleep(20000);
  if (kill(pid, 0) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    ADD_FAILURE() << "still running 5 s after the signal";
  }
  return status;
}

// `interrupt` once every thread of `pid` has been blocked for 100 ms on end.
int interruptWhenBlocked(pid_t pid, int signal) {
  for (int still = 0, polls = 0; still < 5 && polls < 1000; ++polls) {
    still = blocked(pid) ? still + 1 : 0;
    usleep(20000);
  }
  return interrupt(pid, signal);
}

// SIGINT or SIGTERM while the input stalls ends the run at once with the shell's code, the
// output holding the frames filtered so far, whole: the header and frames 0 and 1 (with the next
// frame on, frame 2 waits for frame 3, which never comes).
TEST_F(Y4mCli, InterruptedRunKeepsWholeFrames) {
  const std::string input = kHeader + frames(3);
  writeFile(path("in.y4m"), input);
  ASSERT_EQ(
      quillet("--next-frame " + quote(path("in.y4m")) + " " + quote(path("ref.y4m"))).exitCode, 0);
  const std::string expected =
      readFile(path("ref.y4m")).substr(0, kHeader.size() + 2 * (6 + kFrameBytes));
  for (const auto& [signal, code] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
    SCOPED_TRACE(signal);
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    std::string binary = QUILLET_BINARY, quiet = "--quiet", next = "--next-frame", in = "-",
                out = path("out.y4m");
    char* argv[] = {binary.data(), quiet.data(), next.data(), in.data(), out.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, QUILLET_BINARY, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    // It waits for frame 3.
    const int status = interruptWhenBlocked(pid, signal);
    close(fds[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == code) << "status " << status;
    EXPECT_TRUE(readFile(path("out.y4m")) == expected) << "not the first two frames";
  }
}

// An output that takes nothing (a pipe nobody reads) does not keep an interrupted run going.
TEST_F(Y4mCli, InterruptEndsARunWhoseOutputBlocks) {
  std::string clip = "YUV4MPEG2 W320 H240 F25:1 It C420jpeg\n";
  for (int n = 0; n < 40; ++n) clip += "FRAME\n" + std::string(320 * 240 * 3 / 2, char(n * 5));
  writeFile(path("in.y4m"), clip);
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  std::string binary = QUILLET_BINARY, quiet = "--quiet", in = path("in.y4m"), out = "-";
  char* argv[] = {binary.data(), quiet.data(), in.data(), out.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, QUILLET_BINARY, &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  const int status = interruptWhenBlocked(pid, SIGTERM);
  close(fds[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 143) << "status " << status;
}

// The same into a video file: the interrupt finishes the container, which then plays and holds
// frames 0 and 1, whole.
TEST_F(Y4mCli, InterruptedRunFinishesAVideoFile) {
  if (!haveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  const std::string input = kHeader + frames(3);
  writeFile(path("in.y4m"), input);
  ASSERT_EQ(
      quillet("--next-frame --frames 0:2 " + quote(path("in.y4m")) + " " + quote(path("ref.y4m")))
          .exitCode,
      0);
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  std::string binary = QUILLET_BINARY, quiet = "--quiet", next = "--next-frame", codec = "--vcodec",
              ffv1 = "ffv1", in = "-", out = path("out.mkv");
  char* argv[] = {binary.data(), quiet.data(), next.data(), codec.data(),
                  ffv1.data(),   in.data(),    out.data(),  nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, QUILLET_BINARY, &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[0]);
  ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  for (int still = 0, polls = 0; still < 5 && polls < 1000; ++polls) {
    still = blocked(pid) ? still + 1 : 0;
    usleep(20000);
  }
  kill(pid, SIGINT);
  int status = 0;
  for (int polls = 0; polls < 500 && waitpid(pid, &status, WNOHANG) == 0; ++polls) usleep(20000);
  if (kill(pid, 0) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    ADD_FAILURE() << "still running 10 s after the signal";
  }
  close(fds[1]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << "status " << status;
  const std::string decode = std::string(kFfmpeg) + " -v error -xerror -i ";
  const Outcome played = shell(decode + quote(path("out.mkv")) + " -f rawvideo -");
  const Outcome expected = shell(decode + quote(path("ref.y4m")) + " -f rawvideo -");
  EXPECT_EQ(played.exitCode, 0) << played.err;
  EXPECT_EQ(played.out.size(), 2 * kFrameBytes);
  EXPECT_TRUE(played.out == expected.out) << "not the first two frames";
}

// ---- messages ---------------------------------------------------------------------------------

// The system's reason for a failed read or write, and --size refused where the stream gives the
// frame size; a closed standard stream is never taken for a file the tool opened.
TEST_F(Y4mCli, MessagesSayWhatWentWrong) {
  writeFile(path("in.y4m"), kHeader + frames(2));
  fs::create_directory(path("dir"));
  const std::string in = quote(path("in.y4m")), out = quote(path("out.y4m"));
  struct Case {
    const char* name;
    std::string args;
    int exitCode;
    std::vector<std::string> says;
  };
  const Case cases[] = {
      {"directory as input", quote(path("dir")) + " " + out, 1, {std::strerror(EISDIR)}},
      {"closed stdin", "- " + out + " <&-", 1, {std::strerror(EBADF)}},
      {"closed stdout", in + " - >&-", 1, {"standard output", std::strerror(EBADF)}},
      {"--size with Y4M", "--size 16x8 " + in + " " + out, 2, {"--size"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome o = quillet(c.args);
    EXPECT_EQ(o.exitCode, c.exitCode);
    EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << o.err;
    for (const std::string& s : c.says) EXPECT_NE(o.err.find(s), std::string::npos) << o.err;
    EXPECT_FALSE(fs::exists(path("out.y4m")));
  }
  EXPECT_EQ(readFile(path("in.y4m")), kHeader + frames(2));
}

// ---- chunked runs ----------------------------------------------------------------------------

// A combed 4:2:0 clip: a bright bar moving 3 pixels a field over a static texture, each row
// taken from the field it belongs to, so every frame's motion depends on its neighbours.
constexpr int32_t kChunkWidth = 40, kChunkHeight = 24, kChunkFrames = 8;
constexpr size_t kChunkFrameBytes = kChunkWidth * kChunkHeight * 3 / 2;

std::string combedClip() {
  std::string s = "YUV4MPEG2 W40 H24 F25:1 It A1:1 C420jpeg\n";
  for (int32_t n = 0; n < kChunkFrames; ++n) {
    s += "FRAME\n";
    for (int32_t y = 0; y < kChunkHeight; ++y) {
      const int32_t bar = (n * 2 + (y & 1)) * 3 % kChunkWidth;
      for (int32_t x = 0; x < kChunkWidth; ++x) {
        const bool lit = x >= bar && x < bar + 8;
        s.push_back(static_cast<char>(lit ? 220 : 30 + (x * 5 + y * 11) % 60));
      }
    }
    for (size_t i = 0; i < kChunkFrameBytes / 3; ++i) {
      s.push_back(static_cast<char>(110 + (i * 3 + static_cast<size_t>(n) * 17) % 40));
    }
  }
  return s;
}

// Output frames A..B-1 of --frames A:B are those frames of the whole run, on the engine and on
// the plug-in path, with --next-frame so that frame B is read; bad ranges exit 2.
TEST_F(Y4mCli, FramesWritesSlicesOfTheWholeRun) {
  writeFile(path("in.y4m"), combedClip());
  const std::string in = quote(path("in.y4m")), out = quote(path("out.y4m"));
  const std::string settings = "--tap 3 --next-frame --motion 16 ";
  struct Case {
    const char* path;  // how the clip runs
    const char* frames;
    int64_t first, end;  // the whole run's frames expected
  };
  const Case cases[] = {
      {"", "0:1", 0, 1},
      {"", "1:3", 1, 3},
      {"", "3:6", 3, 6},
      {"", "7:8", 7, 8},
      {"", "6:100", 6, 8},
      {"", "9:12", 8, 8},
      {"--threads 0 ", "0:1", 0, 1},
      {"--threads 0 ", "3:6", 3, 6},
      {"--threads 0 ", "6:100", 6, 8},
  };
  std::string whole[2];
  for (int p = 0; p < 2; ++p) {
    const Outcome o = quillet(settings + (p ? "--threads 0 " : "") + in + " " + out);
    ASSERT_EQ(o.exitCode, 0) << o.err;
    whole[p] = readFile(path("out.y4m"));
  }
  ASSERT_TRUE(whole[0] == whole[1]);
  ASSERT_FALSE(whole[0] == readFile(path("in.y4m"))) << "the filter left the clip as it was";
  const std::vector<std::string> frames = payloadsOf(whole[0], kChunkFrameBytes);
  ASSERT_EQ(frames.size(), size_t{kChunkFrames});
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + c.frames);
    const Outcome o = quillet(settings + c.path + "--frames " + c.frames + " " + in + " " + out);
    ASSERT_EQ(o.exitCode, 0) << o.err;
    const std::string part = readFile(path("out.y4m"));
    EXPECT_EQ(firstLine(part), firstLine(whole[0]));
    const std::vector<std::string> got = payloadsOf(part, kChunkFrameBytes);
    const std::vector<std::string> want(frames.begin() + c.first, frames.begin() + c.end);
    EXPECT_TRUE(got == want) << got.size() << " frames written, " << want.size()
                             << " expected; or their bytes differ";
  }

  const char* bad[] = {
      "3:3", "4:2", "-1:2", "2", "a:b", ":5", "1:9223372036854775808", "1:3 --preview 3:p.png"};
  for (const char* range : bad) {
    SCOPED_TRACE(range);
    fs::remove(path("out.y4m"));
    const Outcome o = quillet("--frames " + std::string(range) + " " + in + " " + out);
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << o.err;
    EXPECT_NE(o.err.find("--frames"), std::string::npos) << o.err;
    EXPECT_FALSE(fs::exists(path("out.y4m")));
  }
}

// scripts/chunked.sh runs the chunks with GNU parallel and joins them into the whole run's bytes.
TEST_F(Y4mCli, ChunkedScriptJoinsToTheWholeRun) {
  if (access("/usr/bin/parallel", X_OK) != 0) GTEST_SKIP() << "no GNU parallel";
  writeFile(path("in.y4m"), combedClip());
  const std::string settings = "--tap 2 --next-frame --motion 16";
  Outcome o = quillet(settings + " " + quote(path("in.y4m")) + " " + quote(path("whole.y4m")));
  ASSERT_EQ(o.exitCode, 0) << o.err;
  // Chunks of 3 frames: 0:3, 3:6 and the last, shorter one.
  o = shell("QUILLET=" + quote(QUILLET_BINARY) + " " +
            quote(std::string(QUILLET_SOURCE_DIR) + "/scripts/chunked.sh") + " " +
            quote(path("in.y4m")) + " " + quote(path("joined.y4m")) + " 3 -j2 -- " + settings);
  ASSERT_EQ(o.exitCode, 0) << o.err;
  EXPECT_TRUE(readFile(path("joined.y4m")) == readFile(path("whole.y4m")));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 5)
      << "chunks left behind";
}

// Nothing of a failed or stopped chunked run is left beside the output.
bool chunksLeft(const fs::path& dir) {
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind(".chunks.", 0) == 0) return true;
  }
  return false;
}

// A header's sizes with leading zeros are decimal; a chunk missing after the jobs leaves no
// output (nor a partial one).
TEST_F(Y4mCli, ChunkedScriptReadsDecimalSizesAndLeavesNoPartialOutput) {
  if (access("/usr/bin/parallel", X_OK) != 0) GTEST_SKIP() << "no GNU parallel";
  // 08 is no octal number.
  std::string clip = "YUV4MPEG2 W08 H08 F25:1 It C420jpeg\n";
  for (int n = 0; n < 8; ++n) {
    clip += "FRAME\n";
    for (int i = 0; i < 96; ++i) clip.push_back(static_cast<char>(16 + (i * 7 + n * 13) % 200));
  }
  writeFile(path("in.y4m"), clip);
  ASSERT_EQ(quillet(quote(path("in.y4m")) + " " + quote(path("whole.y4m"))).exitCode, 0);
  // Claims success for the chunk from frame 3 on without writing it.
  writeFile(path("skip.sh"), "#!/bin/sh\ncase \"$*\" in *'--frames 3:'*) exit 0 ;; esac\nexec " +
                                 quote(QUILLET_BINARY) + " \"$@\"\n");
  fs::permissions(path("skip.sh"), fs::perms::owner_all);
  const struct {
    const char* program;
    int exitCode;
  } cases[] = {{QUILLET_BINARY, 0}, {"skip.sh", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    fs::remove(path("out.y4m"));
    const Outcome o = shell("QUILLET=" + quote(c.exitCode ? path(c.program) : c.program) + " " +
                            quote(std::string(QUILLET_SOURCE_DIR) + "/scripts/chunked.sh") + " " +
                            quote(path("in.y4m")) + " " + quote(path("out.y4m")) + " 3 -j2");
    EXPECT_EQ(o.exitCode, c.exitCode) << o.err;
    if (c.exitCode == 0) {
      EXPECT_TRUE(readFile(path("out.y4m")) == readFile(path("whole.y4m")));
    }
    EXPECT_EQ(fs::exists(path("out.y4m")), c.exitCode == 0);
    EXPECT_FALSE(chunksLeft(dir_));
  }
}

// SIGTERM stops the jobs, then removes the chunks: none runs on to write them again.
TEST_F(Y4mCli, ChunkedScriptStopsItsJobsOnSigterm) {
  if (access("/usr/bin/parallel", X_OK) != 0) GTEST_SKIP() << "no GNU parallel";
  writeFile(path("in.y4m"), combedClip());
  writeFile(path("slow.sh"), "#!/bin/sh\necho $$ >> " + quote(path("pids")) + "\nsleep 3\nexec " +
                                 quote(QUILLET_BINARY) + " \"$@\"\n");
  fs::permissions(path("slow.sh"), fs::perms::owner_all);
  std::string sh = "/bin/sh", c = "-c",
              cmd = "QUILLET=" + quote(path("slow.sh")) + " exec " +
                    quote(std::string(QUILLET_SOURCE_DIR) + "/scripts/chunked.sh") + " " +
                    quote(path("in.y4m")) + " " + quote(path("out.y4m")) + " 3 -j1";
  char* argv[] = {sh.data(), c.data(), cmd.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ), 0);
  for (int polls = 0; polls < 500 && readFile(path("pids")).empty(); ++polls) usleep(20000);
  const int status = interrupt(pid, SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 143) << "status " << status;
  // Gone, or a zombie its killer has not reaped yet.
  const std::string job = "/proc/" + std::to_string(std::stol(readFile(path("pids")))) + "/stat";
  const std::string stat = readFile(job);
  EXPECT_TRUE(stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z") << "the job runs on";
  EXPECT_FALSE(chunksLeft(dir_));
  EXPECT_FALSE(fs::exists(path("out.y4m")));
}

}  // namespace
}  // namespace quillet::test
