// The C API of include/quillet/quillet.h over engine::Engine: no exception leaves it.
#include <new>
#include <string>

#include "engine/engine.h"

namespace quillet::engine {
thread_local std::string createError;
}  // namespace quillet::engine

using quillet::engine::Engine;

struct QuilletEngine {
  std::unique_ptr<Engine> engine;
};

extern "C" {

void quillet_default_settings(QuilletSettings* settings) {
  if (settings == nullptr) return;
  *settings = QuilletSettings{
      0, 0, 0, 24, 64, 0, 0, 0, QUILLET_DEINT_ALL, quillet::kDefaultCombSensitivity};
}

void quillet_default_config(QuilletConfig* config) {
  if (config == nullptr) return;
  *config = QuilletConfig{};
  config->layout = QUILLET_LAYOUT_420;
  config->bit_depth = 8;
  quillet_default_settings(&config->settings);
  config->threads = 0;
  config->cpu = QUILLET_CPU_AUTO;
}

QuilletStatus quillet_create(const QuilletConfig* config, QuilletEngine** engine) {
  using quillet::engine::createError;
  if (engine == nullptr) {
    createError = "null engine pointer";
    return QUILLET_ERROR_ARGUMENT;
  }
  *engine = nullptr;
  if (config == nullptr) {
    createError = "null config";
    return QUILLET_ERROR_ARGUMENT;
  }
  if (const int cpu = quillet::engine::rawValue(config->cpu);
      cpu < QUILLET_CPU_AUTO || cpu > QUILLET_CPU_AVX512) {
    createError = "unknown kernel set " + std::to_string(cpu);
    return QUILLET_ERROR_ARGUMENT;
  }
  std::unique_ptr<Engine> made;
  std::string error;
  QuilletStatus status = QUILLET_ERROR_MEMORY;
  try {
    status = Engine::create(*config, made, error);
  } catch (const std::bad_alloc&) {
    error = "out of memory";
  }
  if (status != QUILLET_OK) {
    createError = error;
    return status;
  }
  auto* handle = new (std::nothrow) QuilletEngine{std::move(made)};
  if (handle == nullptr) {
    createError = "out of memory";
    return QUILLET_ERROR_MEMORY;
  }
  createError.clear();
  *engine = handle;
  return QUILLET_OK;
}

void quillet_destroy(QuilletEngine* engine) { delete engine; }

QuilletStatus quillet_push(QuilletEngine* engine, const QuilletFrame* frame) {
  if (engine == nullptr) return QUILLET_ERROR_ARGUMENT;
  try {
    return engine->engine->push(frame, true);
  } catch (const std::bad_alloc&) {
    return engine->engine->fail(QUILLET_ERROR_MEMORY, "out of memory");
  }
}

QuilletStatus quillet_push_marked(QuilletEngine* engine, const QuilletFrame* frame,
                                  int interlaced) {
  if (engine == nullptr) return QUILLET_ERROR_ARGUMENT;
  try {
    return engine->engine->push(frame, interlaced != 0);
  } catch (const std::bad_alloc&) {
    return engine->engine->fail(QUILLET_ERROR_MEMORY, "out of memory");
  }
}

QuilletStatus quillet_frame_buffer(QuilletEngine* engine, QuilletFrame* frame) {
  if (engine == nullptr) return QUILLET_ERROR_ARGUMENT;
  try {
    return engine->engine->frameBuffer(frame);
  } catch (const std::bad_alloc&) {
    return engine->engine->fail(QUILLET_ERROR_MEMORY, "out of memory");
  }
}

QuilletStatus quillet_push_buffer(QuilletEngine* engine, int interlaced) {
  if (engine == nullptr) return QUILLET_ERROR_ARGUMENT;
  return engine->engine->pushBuffer(interlaced != 0);
}

QuilletStatus quillet_pull(QuilletEngine* engine, QuilletFrame* out, int64_t* frame_number) {
  if (engine == nullptr) return QUILLET_ERROR_ARGUMENT;
  try {
    QuilletFrameInfo info{};
    const QuilletStatus status = engine->engine->pull(out, &info);
    if (status == QUILLET_OK && frame_number != nullptr) *frame_number = info.frame_number;
    return status;
  } catch (const std::bad_alloc&) {
    return engine->engine->fail(QUILLET_ERROR_MEMORY, "out of memory");
  }
}

QuilletStatus quillet_pull_info(QuilletEngine* engine, QuilletFrame* out, QuilletFrameInfo* info) {
  if (engine == nullptr) return QUILLET_ERROR_ARGUMENT;
  try {
    return engine->engine->pull(out, info);
  } catch (const std::bad_alloc&) {
    return engine->engine->fail(QUILLET_ERROR_MEMORY, "out of memory");
  }
}

QuilletStatus quillet_flush(QuilletEngine* engine) {
  if (engine == nullptr) return QUILLET_ERROR_ARGUMENT;
  return engine->engine->flush();
}

QuilletStatus quillet_set_settings(QuilletEngine* engine, const QuilletSettings* settings) {
  if (engine == nullptr) return QUILLET_ERROR_ARGUMENT;
  if (settings == nullptr) return engine->engine->fail(QUILLET_ERROR_ARGUMENT, "null settings");
  return engine->engine->setSettings(*settings);
}

QuilletStatus quillet_get_settings(const QuilletEngine* engine, QuilletSettings* settings) {
  if (engine == nullptr || settings == nullptr) return QUILLET_ERROR_ARGUMENT;
  *settings = engine->engine->settings();
  return QUILLET_OK;
}

size_t quillet_plane_row_bytes(const QuilletConfig* config, int plane) {
  quillet::engine::Format f;
  std::string error;
  if (config == nullptr || plane < 0 || plane > 2 ||
      !quillet::engine::describeFormat(*config, f, error) || plane >= f.planes) {
    return 0;
  }
  return f.rowBytes[plane];
}

int32_t quillet_plane_rows(const QuilletConfig* config, int plane) {
  quillet::engine::Format f;
  std::string error;
  if (config == nullptr || plane < 0 || plane > 2 ||
      !quillet::engine::describeFormat(*config, f, error) || plane >= f.planes) {
    return 0;
  }
  return f.rows[plane];
}

size_t quillet_frame_layout(const QuilletConfig* config, void* data, QuilletFrame* frame) {
  QuilletFrame unused;
  if (frame == nullptr) frame = &unused;
  *frame = QuilletFrame{};
  quillet::engine::Format f;
  std::string error;
  if (config == nullptr || !quillet::engine::describeFormat(*config, f, error)) return 0;
  size_t bytes = 0;
  for (int p = 0; p < f.planes; ++p) {
    frame->planes[p] = data == nullptr ? nullptr : static_cast<uint8_t*>(data) + bytes;
    frame->strides[p] = static_cast<ptrdiff_t>(f.rowBytes[p]);
    bytes += f.rowBytes[p] * static_cast<size_t>(f.rows[p]);
  }
  return bytes;
}

int quillet_cpu_supported(QuilletCpu cpu) {
  const quillet::CpuFeatures have = quillet::engine::processorFeatures();
  switch (quillet::engine::rawValue(cpu)) {
    case QUILLET_CPU_AUTO:
    case QUILLET_CPU_SCALAR:
      return 1;
#if QUILLET_ENABLE_SIMD
    case QUILLET_CPU_MMX:
      return (have & quillet::kCpuMmx) != 0;
    case QUILLET_CPU_SSE:
      return (have & quillet::kCpuSse) != 0;
    case QUILLET_CPU_SSE2:
      return (have & quillet::kCpuSse2) != 0;
#endif
#if QUILLET_HAVE_AVX2
    case QUILLET_CPU_AVX2:
      return (have & quillet::kCpuAvx2) != 0;
#endif
#if QUILLET_HAVE_AVX512
    case QUILLET_CPU_AVX512:
      return (have & quillet::kCpuAvx512) != 0;
#endif
    default:
      (void)have;
      return 0;
  }
}

QuilletCpu quillet_engine_cpu(const QuilletEngine* engine) {
  return engine == nullptr ? QUILLET_CPU_AUTO : engine->engine->cpu();
}

int32_t quillet_engine_threads(const QuilletEngine* engine) {
  return engine == nullptr ? 0 : engine->engine->threads();
}

size_t quillet_engine_memory(const QuilletEngine* engine) {
  return engine == nullptr ? 0 : engine->engine->memoryBytes();
}

const char* quillet_error_message(const QuilletEngine* engine) {
  if (engine == nullptr) return quillet::engine::createError.c_str();
  return engine->engine->error().c_str();
}

const char* quillet_status_string(QuilletStatus status) {
  switch (quillet::engine::rawValue(status)) {
    case QUILLET_OK:
      return "ok";
    case QUILLET_AGAIN:
      return "again";
    case QUILLET_END:
      return "end of stream";
    case QUILLET_ERROR_ARGUMENT:
      return "invalid argument";
    case QUILLET_ERROR_UNSUPPORTED:
      return "unsupported";
    case QUILLET_ERROR_MEMORY:
      return "out of memory";
    case QUILLET_ERROR_STATE:
      return "call out of order";
  }
  return "unknown status";
}

}  // extern "C"
