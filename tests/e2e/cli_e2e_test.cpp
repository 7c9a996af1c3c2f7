// The quillet binary on small generated ycc16 clips.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "standin/clip.h"
#include "tests/standin/test_clips.h"
#include "tests/support/kernel_forms.h"

extern char** environ;

namespace quillet::test {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int exitCode = -1;  // -1: ended by a signal
  int signal = 0;
  std::string err;
};

// Where the child's standard streams go: a path opened for reading (in) or writing (out,
// err), or an already open descriptor.
struct Streams {
  std::string in = "/dev/null";
  std::string out = "/dev/null";
  int outFd = -1;
  bool appendOut = false;
};

class Cli : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quillet_e2e_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  Outcome run(const std::vector<std::string>& args, const Streams& streams = {}) {
    const std::string errPath = path("stderr.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, streams.in.c_str(), O_RDONLY, 0);
    if (streams.outFd >= 0) {
      posix_spawn_file_actions_adddup2(&actions, streams.outFd, 1);
    } else {
      const int flags = O_WRONLY | O_CREAT | (streams.appendOut ? O_APPEND : O_TRUNC);
      posix_spawn_file_actions_addopen(&actions, 1, streams.out.c_str(), flags, 0644);
    }
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<std::string> all = {QUILLET_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    Outcome outcome;
    const int spawned = posix_spawn(&pid, QUILLET_BINARY, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << QUILLET_BINARY;
      return outcome;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
    outcome.err = readFile(errPath);
    return outcome;
  }

  static std::string readFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  static void writeFile(const std::string& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  fs::path dir_;
};

// The ycc16 bytes of a clip: Y, Cb, Cr little-endian per pixel, rows and frames back to back.
std::string ycc16Bytes(const standin::Clip& clip) {
  std::string bytes;
  for (const std::vector<Pixel>& frame : clip.frames) {
    for (const Pixel& p : frame) {
      for (const int16_t v : {p.y, p.cb, p.cr}) {
        const auto u = static_cast<uint16_t>(v);
        bytes.push_back(static_cast<char>(u & 0xFF));
        bytes.push_back(static_cast<char>(u >> 8));
      }
    }
  }
  return bytes;
}

std::string sizeOf(const standin::Clip& clip) {
  return std::to_string(clip.width) + "x" + std::to_string(clip.height);
}

bool oneLine(const std::string& text) {
  return !text.empty() && text.back() == '\n' && text.find('\n') == text.size() - 1;
}

TEST_F(Cli, BadOptionsExitWithCodeTwoAndOneLineNamingTheOptionAndItsRange) {
  const standin::Clip clip = movingClip(16, 4, 2, testSeed());
  writeFile(path("in.raw"), ycc16Bytes(clip));
  const std::string in = path("in.raw"), out = path("out.raw");
  const std::vector<std::string> ok = {"--format", "ycc16", "--size", "16x4"};
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> mentions;
  };
  const std::vector<Case> cases = {
      {{"--tap", "7"}, {"--tap", "0..6"}},
      {{"--tap", "2.5"}, {"--tap", "0..6"}},
      {{"--top", "257"}, {"--top", "0..256"}},
      {{"--bottom", "-1"}, {"--bottom", "0..256"}},
      {{"--motion", "x"}, {"--motion", "0..256"}},
      {{"--motion2", "300"}, {"--motion2", "0..256"}},
      {{"--threads", "-2"}, {"--threads", "0.."}},
      {{"--cpu", "avx"}, {"--cpu", "auto|avx512|avx2|sse2|sse|mmx|scalar"}},
      {{"--format", "png"}, {"--format", "y4m|ycc16"}},
      {{"--order", "sideways"}, {"--order", "shuffle:SEED"}},
      {{"--order", "shuffle:x"}, {"--order", "shuffle:SEED"}},
      {{"--size", "0x4"}, {"--size", "1..16384"}},
      {{"--size", "16385x4"}, {"--size", "1..16384"}},
      {{"--size", "16"}, {"--size", "WxH"}},
      {{"--max-size", "8x4"}, {"--max-size", "16x4"}},
      {{"--max-size", "16x3"}, {"--max-size", "16x4"}},
      {{"--bogus"}, {"--bogus"}},
      {{"--progress", "--quiet"}, {"--quiet", "--progress"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = ok;
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(in);
    args.push_back(out);
    SCOPED_TRACE(testing::PrintToString(c.args));
    const Outcome o = run(args);
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_TRUE(oneLine(o.err)) << o.err;
    for (const std::string& m : c.mentions) EXPECT_NE(o.err.find(m), std::string::npos) << o.err;
    EXPECT_FALSE(fs::exists(out));
  }
  // Options that are not wrong themselves but incomplete.
  const std::vector<Case> incomplete = {
      {{"--format", "ycc16", in, out}, {"--size"}},
      {{"--format", "ycc16", "--size", "16x4", in}, {"OUTPUT"}},
      {{"--format", "ycc16", "--size", "16x4", in, out, "--tap"}, {"--tap", "0..6"}},
  };
  for (const Case& c : incomplete) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const Outcome o = run(c.args);
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_TRUE(oneLine(o.err)) << o.err;
    for (const std::string& m : c.mentions) EXPECT_NE(o.err.find(m), std::string::npos) << o.err;
  }
}

// Width 10 leaves padding after each row in the host's frames, so rows are read one by one;
// width 16 fills them, so a frame is read in one piece. Both stop at the same byte.
TEST_F(Cli, TruncatedInputWritesEveryCompleteFrameThenSaysWhereItEnded) {
  for (const int32_t width : {10, 16}) {
    SCOPED_TRACE(width);
    const standin::Clip clip = movingClip(width, 6, 4, testSeed());
    standin::Clip complete = clip;
    complete.frames.pop_back();
    const std::string whole = ycc16Bytes(clip);
    const size_t frameBytes = static_cast<size_t>(width) * 6 * 6;
    const size_t cut = 3 * frameBytes + 77;
    writeFile(path("cut.raw"), whole.substr(0, cut));
    writeFile(path("three.raw"), ycc16Bytes(complete));
    const std::vector<std::string> common = {"--format", "ycc16", "--size",      sizeOf(clip),
                                             "--tap",    "3",     "--next-frame"};
    std::vector<std::string> reference = common;
    reference.insert(reference.end(), {path("three.raw"), path("expected.raw")});
    ASSERT_EQ(run(reference).exitCode, 0);
    const std::string expected = readFile(path("expected.raw"));
    ASSERT_EQ(expected.size(), 3 * frameBytes);

    for (const char* order : {"forward", "reverse"}) {
      SCOPED_TRACE(order);
      std::vector<std::string> args = common;
      args.insert(args.end(), {"--order", order, path("cut.raw"), path("out.raw")});
      const Outcome o = run(args);
      EXPECT_EQ(o.exitCode, 1);
      EXPECT_TRUE(oneLine(o.err)) << o.err;
      EXPECT_NE(o.err.find("frame 3"), std::string::npos) << o.err;
      EXPECT_NE(o.err.find("byte offset " + std::to_string(cut)), std::string::npos) << o.err;
      EXPECT_EQ(readFile(path("out.raw")), expected);
    }
  }
}

TEST_F(Cli, RefusesToWriteOverItsOwnInput) {
  const standin::Clip clip = movingClip(8, 2, 2, testSeed());
  const std::string bytes = ycc16Bytes(clip);
  const std::string in = path("in.raw");
  writeFile(in, bytes);
  fs::create_hard_link(in, path("link.raw"));
  fs::create_directory(path("sub"));
  const std::vector<std::string> opts = {"--format", "ycc16", "--size", "8x2"};
  struct Case {
    const char* name;
    std::vector<std::string> files;
    Streams streams;
  };
  const std::vector<Case> cases = {
      {"same path", {in, in}, {}},
      {"same path spelled differently", {in, path("sub/../in.raw")}, {}},
      {"hard link", {in, path("link.raw")}, {}},
      {"stdin and stdout on one file", {"-", "-"}, Streams{in, in, -1, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = opts;
    args.insert(args.end(), c.files.begin(), c.files.end());
    const Outcome o = run(args, c.streams);
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_TRUE(oneLine(o.err)) << o.err;
    EXPECT_NE(o.err.find("input"), std::string::npos) << o.err;
    EXPECT_EQ(readFile(in), bytes);
  }
}

TEST_F(Cli, OutputFailuresExitWithCodeOneAndAMessage) {
  const standin::Clip clip = movingClip(64, 32, 40, testSeed());
  writeFile(path("in.raw"), ycc16Bytes(clip));
  const std::vector<std::string> args = {"--format", "ycc16", "--size", "64x32", path("in.raw")};

  std::vector<std::string> full = args;
  full.push_back("/dev/full");
  const Outcome disk = run(full);
  EXPECT_EQ(disk.exitCode, 1);
  EXPECT_TRUE(oneLine(disk.err)) << disk.err;
  EXPECT_NE(disk.err.find("/dev/full"), std::string::npos) << disk.err;

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);  // nobody will read
  std::vector<std::string> piped = args;
  piped.push_back("-");
  Streams streams;
  streams.outFd = fds[1];
  const Outcome pipe = run(piped, streams);
  close(fds[1]);
  EXPECT_EQ(pipe.signal, 0);
  EXPECT_EQ(pipe.exitCode, 1);
  EXPECT_TRUE(oneLine(pipe.err)) << pipe.err;
  EXPECT_NE(pipe.err.find("standard output"), std::string::npos) << pipe.err;
}

TEST_F(Cli, StandardStreamsCarryTheSameBytesAsFiles) {
  const standin::Clip clip = movingClip(12, 5, 3, testSeed());
  writeFile(path("in.raw"), ycc16Bytes(clip));
  const std::vector<std::string> opts = {"--format", "ycc16", "--size", "12x5", "--tap", "4"};
  std::vector<std::string> files = opts, streams = opts;
  files.insert(files.end(), {path("in.raw"), path("files.raw")});
  streams.insert(streams.end(), {"-", "-"});
  ASSERT_EQ(run(files).exitCode, 0);
  const Outcome o = run(streams, Streams{path("in.raw"), path("streams.raw"), -1, false});
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(readFile(path("streams.raw")), readFile(path("files.raw")));
  EXPECT_EQ(readFile(path("files.raw")).size(), 3u * 12 * 5 * 6);
}

TEST_F(Cli, EmptyBandWithMotionOffGivesTheInputBackByteForByte) {
  const standin::Clip clip = movingClip(9, 7, 3, testSeed(), true);
  const std::string bytes = ycc16Bytes(clip);
  writeFile(path("in.raw"), bytes);
  const Outcome o = run({"--format", "ycc16", "--size", "9x7", "--tap", "6", "--top", "4",
                         "--bottom", "3", "--motion", "0", path("in.raw"), path("out.raw")});
  EXPECT_EQ(o.exitCode, 0) << o.err;
  EXPECT_EQ(readFile(path("out.raw")), bytes);
}

// Every kernel set the processor has gives the scalar set's bytes, for content in the normal
// range and settings away from the forms' documented rounding near-ties (tap 5 and weights
// at tie points), whatever the threads, order and maximum size.
TEST_F(Cli, EveryKernelSetMatchesScalarOnNormalRangeContent) {
  const standin::Clip clip = movingClip(29, 12, 5, testSeed());
  writeFile(path("in.raw"), ycc16Bytes(clip));
  std::vector<std::string> sets;
  for (const test::KernelForm& set : test::kernelSets()) {
    if (set.level != 0 && test::formRuns(set)) sets.push_back(set.set);
  }
  if (sets.empty()) GTEST_SKIP() << "no vector kernel set on this processor";

  struct Variant {
    const char* threads;
    const char* order;
    const char* maxSize;  // empty: the default
  };
  const Variant variants[] = {{"0", "forward", ""},
                              {"1", "reverse", "30x12"},
                              {"3", "shuffle:5", "32x14"},
                              {"2", "forward", "29x12"},
                              {"4", "reverse", "35x13"}};
  const std::vector<std::vector<std::string>> settings = {
      {"--tap", "0"},
      {"--tap", "1", "--next-frame"},
      {"--tap", "2", "--next-frame", "--max"},
      {"--tap", "3", "--top", "2", "--bottom", "1"},
      {"--tap", "4", "--next-frame", "--show-motion"},
      {"--tap", "6", "--next-frame", "--motion2", "0"},
  };
  int runs = 0;
  for (const std::vector<std::string>& s : settings) {
    std::vector<std::string> base = {"--format", "ycc16", "--size", sizeOf(clip), "--motion", "24"};
    base.insert(base.end(), s.begin(), s.end());
    std::vector<std::string> scalar = base;
    scalar.insert(scalar.end(), {"--cpu", "scalar", path("in.raw"), path("scalar.raw")});
    ASSERT_EQ(run(scalar).exitCode, 0);
    const std::string expected = readFile(path("scalar.raw"));
    for (const std::string& set : sets) {
      const Variant& v = variants[static_cast<size_t>(runs++) % std::size(variants)];
      std::vector<std::string> args = base;
      args.insert(args.end(), {"--cpu", set, "--threads", v.threads, "--order", v.order});
      if (*v.maxSize != 0) args.insert(args.end(), {"--max-size", v.maxSize});
      args.insert(args.end(), {path("in.raw"), path("out.raw")});
      SCOPED_TRACE(testing::PrintToString(args));
      const Outcome o = run(args);
      EXPECT_EQ(o.exitCode, 0) << o.err;
      EXPECT_TRUE(readFile(path("out.raw")) == expected) << "output differs from --cpu scalar";
    }
  }
}

}  // namespace
}  // namespace quillet::test
