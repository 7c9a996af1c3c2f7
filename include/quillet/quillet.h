/* Quillet++: removes interlace combing from planar video.
 *
 * An engine is created for one frame format. Frames go in with quillet_push() in display order
 * and come out, filtered, with quillet_pull() in the same order; quillet_flush() marks the end of
 * the stream so the last frames can come out. Any number of engines may exist at once; each is
 * used from one thread at a time (any thread), and runs its own worker threads inside
 * quillet_pull().
 *
 * Every call returns a QuilletStatus; a negative one is an error, and quillet_error_message()
 * then says what went wrong. No call aborts the process.
 *
 * After each push, pull every frame that is ready (until QUILLET_AGAIN): a push while a filtered
 * frame waits returns QUILLET_AGAIN and takes nothing.
 *
 * Field order does not matter: the filter low-passes whole frames and measures motion between
 * whole frames, so top-field-first and bottom-field-first video give the same result.
 */
#ifndef QUILLET_QUILLET_H
#define QUILLET_QUILLET_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(QUILLET_SHARED_BUILD)
#define QUILLET_API __declspec(dllexport)
#elif defined(__GNUC__)
#define QUILLET_API __attribute__((visibility("default")))
#else
#define QUILLET_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QuilletEngine QuilletEngine;

typedef enum QuilletStatus {
  QUILLET_OK = 0,
  /* quillet_pull: no frame is ready yet (push more, or flush).
   * quillet_push: a filtered frame is waiting; pull it first. */
  QUILLET_AGAIN = 1,
  /* quillet_pull after quillet_flush: every frame has come out. */
  QUILLET_END = 2,
  QUILLET_ERROR_ARGUMENT = -1,    /* a null pointer, a bad plane or stride, a value out of range */
  QUILLET_ERROR_UNSUPPORTED = -2, /* a format, depth or kernel set this build or CPU lacks */
  QUILLET_ERROR_MEMORY = -3,      /* the memory for the frames could not be had */
  QUILLET_ERROR_STATE = -4        /* a call out of order, such as a push after the flush */
} QuilletStatus;

typedef enum QuilletLayout {
  QUILLET_LAYOUT_444 = 0,  /* Y, Cb, Cr planes at full size */
  QUILLET_LAYOUT_422 = 1,  /* chroma planes half as wide */
  QUILLET_LAYOUT_420 = 2,  /* chroma planes half as wide and half as tall */
  QUILLET_LAYOUT_MONO = 3, /* Y plane only */
  /* One plane of pixels, each three signed 16-bit samples Y, Cb, Cr on the editor's scale
   * (Y 0..4096 black to white, Cb and Cr -2048..2048); bit_depth is ignored. */
  QUILLET_LAYOUT_YCC16 = 4,
  QUILLET_LAYOUT_411 = 5, /* chroma planes a quarter as wide (NTSC DV) */
  /* Semi-planar 4:2:0: plane 0 is Y, plane 1 holds the Cb Cr pairs (ceil(width / 2) a row,
   * ceil(height / 2) rows); each is 4:2:0 planar with the same samples at other addresses, and
   * gives that layout's output re-packed. bit_depth is ignored. */
  QUILLET_LAYOUT_NV12 = 6, /* 8 bits, Cb then Cr */
  QUILLET_LAYOUT_NV21 = 7, /* 8 bits, Cr then Cb */
  /* uint16_t samples holding a 10-bit value in the high bits: the low 6 bits are read as zero and
   * written as zero, also in a frame passed through unchanged. */
  QUILLET_LAYOUT_P010 = 8,
  QUILLET_LAYOUT_P016 = 9, /* uint16_t samples of 16 bits */
  /* Packed 4:2:2, 8 bits: one plane, each row ceil(width / 2) groups of 4 bytes for two pixels;
   * the same samples as 4:2:2 planar, giving its output re-packed. At an odd width the last
   * group's second Y is read as nothing and written as a copy of its first. bit_depth is ignored.
   */
  QUILLET_LAYOUT_YUY2 = 10, /* Y0 Cb Y1 Cr */
  QUILLET_LAYOUT_UYVY = 11, /* Cb Y0 Cr Y1 */
  QUILLET_LAYOUT_YVYU = 12  /* Y0 Cr Y1 Cb */
} QuilletLayout;

/* Kernel sets, best first. AUTO takes the best this processor and build run. */
typedef enum QuilletCpu {
  QUILLET_CPU_AUTO = 0,
  QUILLET_CPU_SCALAR = 1,
  QUILLET_CPU_MMX = 2,
  QUILLET_CPU_SSE = 3,
  QUILLET_CPU_SSE2 = 4,
  QUILLET_CPU_AVX2 = 5,
  QUILLET_CPU_AVX512 = 6 /* AVX512F + AVX512BW; x86-64 builds */
} QuilletCpu;

/* Which frames the filter touches; the others come out as they went in, byte for byte. */
typedef enum QuilletDeint {
  QUILLET_DEINT_ALL = 0,        /* every frame is filtered (default) */
  QUILLET_DEINT_INTERLACED = 1, /* frames pushed marked interlaced (see quillet_push_marked) */
  /* frames the comb detector finds combed. The detector needs the frame after, so a frame is
   * ready once the next one is pushed or the stream is flushed, as with next_frame. */
  QUILLET_DEINT_COMBED = 2
} QuilletDeint;

/* The filter's eight settings, then the frame selection. Values out of range are clamped, as the
 * plug-in's sliders are. */
typedef struct QuilletSettings {
  int32_t tap;         /* low-pass strength 0..6 (0: 3 rows, 6: 15 rows); default 0 */
  int32_t top;         /* rows left unfiltered at the top, 0..256; default 0 */
  int32_t bottom;      /* rows left unfiltered at the bottom, 0..256; default 0 */
  int32_t motion;      /* motion threshold 0..256, 0 turns motion adaptation off; default 24 */
  int32_t motion2;     /* second threshold 0..256 (hard limit 2 x motion2, 0 off); default 64 */
  int32_t show_motion; /* nonzero: paint the motion weights into the colour; default 0 */
  int32_t next_frame;  /* nonzero: also weigh motion against the next frame; default 0 */
  int32_t use_max;     /* nonzero: combine the two motion maps by maximum; default 0 */
  int32_t deint;       /* a QuilletDeint; default QUILLET_DEINT_ALL */
  /* Comb detector sensitivity 1..100, 0 meaning the default 40; higher filters more frames. A
   * frame counts as combed when its fields pair as two moments: how badly each field fits the
   * opposite field of the previous frame against that of the next one, summed per block of 16x16
   * pixels and over the whole frame (fields of two moments fit one side far better; grain,
   * texture and stripes fit both alike). It is combed when some block holds at least
   * 4 + (100 - sensitivity) * 20 / 100 comb pixels (16 at the default: four rows alternating up
   * and down by at least 10 in 8-bit units where neither neighbouring frame shows the same) and
   * its worse pairing misfits at least (16 + (100 - sensitivity) * 2 / 15) / 16 times its
   * better one (1.5 at the default), or when the whole frame's worse pairing misfits at least
   * (16 + (100 - sensitivity) / 15) / 16 times its better one (1.25): vertical motion and
   * scrolling text, which move rows without alternating. A one-frame stream passes. Only with
   * QUILLET_DEINT_COMBED. */
  int32_t comb_sensitivity;
} QuilletSettings;

typedef struct QuilletConfig {
  int32_t width;        /* 1..32767 pixels */
  int32_t height;       /* 1..32767 rows */
  QuilletLayout layout; /* default QUILLET_LAYOUT_420 */
  int32_t bit_depth;    /* 8..16; samples of 9..16 bits are uint16_t, value in the low bits */
  QuilletSettings settings;
  int32_t threads; /* worker threads inside quillet_pull, 1..256; 0 (default): one per processor */
  QuilletCpu cpu;  /* default QUILLET_CPU_AUTO */
} QuilletConfig;

/* A frame in the caller's memory: plane 0 is Y (or the YCC16 pixels, or the packed 4:2:2 rows),
 * 1 Cb (or the semi-planar Cb Cr pairs), 2 Cr; unused planes are ignored. Strides are in bytes, at
 * least the plane's row size; a negative stride is refused (QUILLET_ERROR_ARGUMENT). Planes need
 * no alignment: 16-bit samples (9..16 bits, YCC16) may lie at any address. The planes of one
 * frame must not overlap. A push copies the frame in, so its memory is free once the call
 * returns, and a frame may be pulled into the planes it or any other frame was pushed from. */
typedef struct QuilletFrame {
  void* planes[3];
  ptrdiff_t strides[3];
} QuilletFrame;

/* Fills *config with the defaults: 4:2:0, 8 bits, default settings, one thread per processor,
 * the best kernel set; width and height 0 (the caller sets them). */
QUILLET_API void quillet_default_config(QuilletConfig* config);
QUILLET_API void quillet_default_settings(QuilletSettings* settings);

/* Creates an engine; *engine is null on failure. The message of a failed create comes from
 * quillet_error_message(NULL) on the same thread. */
QUILLET_API QuilletStatus quillet_create(const QuilletConfig* config, QuilletEngine** engine);
QUILLET_API void quillet_destroy(QuilletEngine* engine);

/* Copies one frame in. QUILLET_AGAIN when a filtered frame waits to be pulled: nothing was taken.
 * A frame pushed this way is marked interlaced: with QUILLET_DEINT_INTERLACED it is filtered, as
 * a stream without marks is. */
QUILLET_API QuilletStatus quillet_push(QuilletEngine* engine, const QuilletFrame* frame);
/* quillet_push with the frame's own mark: interlaced nonzero when the frame holds two fields
 * (filtered with QUILLET_DEINT_INTERLACED), zero when it is progressive (passed through). */
QUILLET_API QuilletStatus quillet_push_marked(QuilletEngine* engine, const QuilletFrame* frame,
                                              int interlaced);

/* Lends the engine's own memory for the next frame, so that the caller fills it in place (reads
 * a Y4M payload straight into it, say) instead of having it copied by quillet_push: *frame gets
 * the planes, back to back with rows packed as quillet_frame_layout lays them out. Push them
 * with quillet_push_buffer; asking again before that gives the same planes. The memory may be
 * filled while frames are pulled. QUILLET_AGAIN when no memory is free until a frame is pulled;
 * QUILLET_ERROR_STATE after the flush. */
QUILLET_API QuilletStatus quillet_frame_buffer(QuilletEngine* engine, QuilletFrame* frame);
/* Pushes the frame filled into the planes quillet_frame_buffer lent, with its mark as in
 * quillet_push_marked. QUILLET_ERROR_STATE when no buffer is lent (never asked for, or pushed
 * already) or after the flush. While a buffer is lent quillet_push fails with
 * QUILLET_ERROR_STATE; quillet_flush takes it back unpushed. */
QUILLET_API QuilletStatus quillet_push_buffer(QuilletEngine* engine, int interlaced);

/* Filters the next frame into the caller's planes and stores its number (0 for the first frame
 * pushed) in *frame_number unless that is null. A frame is ready once it is pushed, or with
 * next_frame on (or QUILLET_DEINT_COMBED) once the frame after it is pushed or the stream is
 * flushed. Frame 0 always waits for frame 1 or the flush: frame 1 stands in for its missing
 * previous frame (and frame k - 1 for the missing next frame of the last frame k), so the
 * edges of a stream measure motion as every other frame does. QUILLET_AGAIN when none is ready,
 * QUILLET_END after the flush once all have come out. */
QUILLET_API QuilletStatus quillet_pull(QuilletEngine* engine, QuilletFrame* out,
                                       int64_t* frame_number);

/* What quillet_pull_info tells about the frame that came out. */
typedef struct QuilletFrameInfo {
  int64_t frame_number; /* 0 for the first frame pushed */
  int32_t filtered;     /* 1: filtered; 0: passed through, the pushed frame byte for byte */
  /* QUILLET_DEINT_COMBED: the comb count of the frame's most combed 16x16 block among those
   * whose fields pair as two moments, counted up to the sensitivity's threshold, or the
   * threshold itself when the whole frame's fields pair so (a frame is filtered when it reaches
   * the threshold); -1 otherwise. */
  int32_t comb_score;
} QuilletFrameInfo;

/* quillet_pull that also fills *info (unless it is null) for the frame that came out. */
QUILLET_API QuilletStatus quillet_pull_info(QuilletEngine* engine, QuilletFrame* out,
                                            QuilletFrameInfo* info);

/* Ends the stream: the frames still held become ready. Push is an error afterwards. */
QUILLET_API QuilletStatus quillet_flush(QuilletEngine* engine);

/* Changes the settings for the frames pulled from now on. */
QUILLET_API QuilletStatus quillet_set_settings(QuilletEngine* engine,
                                               const QuilletSettings* settings);
QUILLET_API QuilletStatus quillet_get_settings(const QuilletEngine* engine,
                                               QuilletSettings* settings);

/* Bytes in a row of `plane` and rows in it, for the engine's format; 0 for a plane it lacks. */
QUILLET_API size_t quillet_plane_row_bytes(const QuilletConfig* config, int plane);
QUILLET_API int32_t quillet_plane_rows(const QuilletConfig* config, int plane);

/* Fills *frame with the planes of one frame stored back to back at `data`: plane 0, then 1, then
 * 2, rows packed (the layout of a Y4M frame's payload); `frame` may be null to learn the size.
 * Returns the bytes such a frame takes; 0, with *frame cleared, for a config whose format is not
 * valid. */
QUILLET_API size_t quillet_frame_layout(const QuilletConfig* config, void* data,
                                        QuilletFrame* frame);

/* Whether this build and processor run `cpu` (AUTO: always 1). */
QUILLET_API int quillet_cpu_supported(QuilletCpu cpu);
/* The kernel set an engine runs, never AUTO. */
QUILLET_API QuilletCpu quillet_engine_cpu(const QuilletEngine* engine);
/* Worker threads the engine really has (fewer than asked when the system refused some). */
QUILLET_API int32_t quillet_engine_threads(const QuilletEngine* engine);
/* Bytes of frame memory the engine holds (frames, maps, the workers' strip buffers). */
QUILLET_API size_t quillet_engine_memory(const QuilletEngine* engine);

/* The last error of `engine`, or with a null engine the last failed create on this thread; an
 * empty string when there was none. Valid until the next call on the same engine or thread. */
QUILLET_API const char* quillet_error_message(const QuilletEngine* engine);
QUILLET_API const char* quillet_status_string(QuilletStatus status);

#ifdef __cplusplus
}
#endif

#endif /* QUILLET_QUILLET_H */
