#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/pixel.h"
#include "standin/host.h"

namespace quillet::cli {

// The input stream of the tool (a file or stdin), counting the bytes it has given.
class ByteInput {
 public:
  // Does not take ownership of `file`.
  explicit ByteInput(std::FILE* file) : file_(file) {}
  // Reads up to `bytes`; fewer only at the end of the stream or on a read error.
  size_t read(void* to, size_t bytes);
  // Waits for the next byte without taking it: true when the stream has ended or failed.
  bool atEnd();
  uint64_t offset() const { return offset_; }
  // The system's reason when a read failed, else empty.
  const std::string& error() const { return error_; }

 private:
  std::FILE* file_;
  uint64_t offset_ = 0;
  std::string error_;
};

// The output stream of the tool (a file or stdout). After the first failure every write fails.
class ByteOutput {
 public:
  explicit ByteOutput(std::FILE* file) : file_(file) {}
  bool write(const void* from, size_t bytes);
  // Pushes everything buffered to the system.
  bool flush();
  // The system's reason for the first failure, else empty.
  const std::string& error() const { return error_; }

 private:
  bool fail();
  std::FILE* file_;
  std::string error_;
};

// What every input format gives the host: frames, the frame size, and after the last frame
// the reason the stream ended early, if it did.
class ClipReader : public standin::FrameSource {
 public:
  virtual int32_t width() const = 0;
  virtual int32_t height() const = 0;
  // One line saying what is wrong with the input and where (frame number, byte offset), when
  // reading stopped because of bad data or a read error.
  virtual const std::optional<std::string>& fault() const = 0;
  // Bytes of one frame as the file holds it.
  virtual size_t payloadBytes() const = 0;
  // Reads the next frame as the file holds it into `payload` (resized to payloadBytes()), for
  // the engine, which converts samples itself; false as readFrame. A reader serves either
  // readFrame or readPayload, never both.
  virtual bool readPayload(std::vector<uint8_t>& payload) = 0;
  // readPayload into payloadBytes() bytes the caller has (a frame slot the engine lends). Readers
  // whose files hold the payload read it straight in; the others read it and copy it.
  virtual bool readPayloadInto(uint8_t* payload);

 private:
  std::vector<uint8_t> copied_;  // readPayloadInto's frame, for readers that copy
};

// What every output format takes from the host.
class ClipWriter : public standin::FrameSink {
 public:
  // Writes what is still buffered; false on failure.
  virtual bool finish() = 0;
  // The reason writing failed, else empty.
  virtual const std::string& error() const = 0;
  // Writes one frame given as the file holds it; false on failure.
  virtual bool writePayload(const uint8_t* payload) = 0;
};

// Raw frames: back to back, each `height` rows of `width` pixels, each pixel Y, Cb, Cr as
// signed 16-bit little-endian, no padding, no conversion.
class Ycc16Reader : public ClipReader {
 public:
  Ycc16Reader(ByteInput& input, int32_t width, int32_t height);
  int32_t width() const override { return width_; }
  int32_t height() const override { return height_; }
  const std::optional<std::string>& fault() const override { return fault_; }
  bool readFrame(Pixel* frame, int32_t stride) override;
  size_t payloadBytes() const override;
  bool readPayload(std::vector<uint8_t>& payload) override;
  bool readPayloadInto(uint8_t* payload) override;
  bool hasNextFrame() override;

 private:
  void noteReadError();
  // Notes why a frame that started at `frameStart` could not be read whole, if it had begun.
  void noteShortFrame(uint64_t frameStart);
  ByteInput& input_;
  int32_t width_;
  int32_t height_;
  int64_t frames_ = 0;
  std::optional<std::string> fault_;
};

class Ycc16Writer : public ClipWriter {
 public:
  Ycc16Writer(ByteOutput& output, int32_t width, int32_t height);
  bool writeFrame(int32_t number, const Pixel* frame, int32_t stride) override;
  bool finish() override;
  const std::string& error() const override { return output_.error(); }
  bool writePayload(const uint8_t* payload) override;

 private:
  ByteOutput& output_;
  int32_t width_;
  int32_t height_;
};

}  // namespace quillet::cli
