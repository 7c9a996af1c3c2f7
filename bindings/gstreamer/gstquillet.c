/* The quillet element: removes interlace combing from planar, semi-planar (NV12, P010) and packed
 * 4:2:2 (YUY2) YUV and gray video, 8 to 16 bits, in the format it arrives,
 * through the engine's C API. With next-frame on it holds one frame back, since each frame's
 * motion is weighed against the frame after it too; so does deint=combed, whose comb detector
 * compares each frame with the next. deint=interlaced filters every frame of an interleaved
 * stream, the buffers flagged interlaced of a mixed one and no frame of a progressive one.
 *
 * gst-launch-1.0 v4l2src ! quillet tap=3 ! videoconvert ! autovideosink
 */
#include <gst/base/gstbasetransform.h>
#include <gst/gst.h>
#include <gst/video/gstvideofilter.h>
#include <gst/video/video.h>
#include <quillet/quillet.h>

GST_DEBUG_CATEGORY_STATIC(gst_quillet_debug);
#define GST_CAT_DEFAULT gst_quillet_debug

#define GST_TYPE_QUILLET (gst_quillet_get_type())
G_DECLARE_FINAL_TYPE(GstQuillet, gst_quillet, GST, QUILLET, GstVideoFilter)

struct _GstQuillet {
  GstVideoFilter parent;

  /* Properties, under the object lock; the streaming thread reads them before each frame. */
  QuilletSettings settings;
  gint threads;

  /* Streaming state. */
  GstVideoInfo info; /* input; the output differs only in its interlace mode */
  QuilletEngine* engine;
  gint engine_threads; /* the threads value the engine was made with */
  GstBuffer* previous; /* input of the last frame out: the next frame's previous neighbour */
  GQueue pending;      /* inputs in the engine whose frames have not come out, oldest first */
  gint discard;        /* frames the engine gives next that went out before it was remade */
};

G_DEFINE_TYPE(GstQuillet, gst_quillet, GST_TYPE_VIDEO_FILTER)

enum {
  PROP_0,
  PROP_TAP,
  PROP_TOP,
  PROP_BOTTOM,
  PROP_MOTION,
  PROP_MOTION2,
  PROP_SHOW_MOTION,
  PROP_NEXT_FRAME,
  PROP_MAX,
  PROP_DEINT,
  PROP_COMB_SENSITIVITY,
  PROP_THREADS
};

#define GST_TYPE_QUILLET_DEINT (gst_quillet_deint_get_type())
static GType gst_quillet_deint_get_type(void) {
  static gsize type = 0;
  static const GEnumValue values[] = {
      {QUILLET_DEINT_ALL, "Filter every frame", "all"},
      {QUILLET_DEINT_INTERLACED,
       "Filter the frames marked interlaced: all of an interleaved stream, the buffers flagged "
       "interlaced of a mixed one, none of a progressive one",
       "interlaced"},
      {QUILLET_DEINT_COMBED, "Filter the frames the comb detector finds combed", "combed"},
      {0, NULL, NULL}};
  if (g_once_init_enter(&type)) {
    g_once_init_leave(&type, g_enum_register_static("GstQuilletDeint", values));
  }
  return (GType)type;
}

#define FORMATS                                                                                   \
  "{ I420, YV12, Y42B, Y444, Y41B, GRAY8, I420_10LE, I420_12LE, I422_10LE, I422_12LE, Y444_10LE," \
  " Y444_12LE, Y444_16LE, GRAY16_LE, NV12, NV21, P010_10LE, P016_LE, YUY2, UYVY, YVYU }"

static GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw, format = (string) " FORMATS
                    ", width = (int) [ 1, 32767 ], height = (int) [ 1, 32767 ],"
                    " framerate = (fraction) [ 0, max ],"
                    " interlace-mode = (string) { progressive, interleaved, mixed }"));

static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw, format = (string) " FORMATS
                    ", width = (int) [ 1, 32767 ], height = (int) [ 1, 32767 ],"
                    " framerate = (fraction) [ 0, max ], interlace-mode = (string) progressive"));

/* The engine's layout and depth for a format of the templates. */
static gboolean layout_of(GstVideoFormat format, QuilletLayout* layout, gint* depth) {
  static const struct {
    GstVideoFormat format;
    QuilletLayout layout;
    gint depth;
  } formats[] = {
      {GST_VIDEO_FORMAT_I420, QUILLET_LAYOUT_420, 8},
      {GST_VIDEO_FORMAT_Y42B, QUILLET_LAYOUT_422, 8},
      {GST_VIDEO_FORMAT_Y444, QUILLET_LAYOUT_444, 8},
      {GST_VIDEO_FORMAT_GRAY8, QUILLET_LAYOUT_MONO, 8},
      {GST_VIDEO_FORMAT_I420_10LE, QUILLET_LAYOUT_420, 10},
      {GST_VIDEO_FORMAT_I420_12LE, QUILLET_LAYOUT_420, 12},
      {GST_VIDEO_FORMAT_I422_10LE, QUILLET_LAYOUT_422, 10},
      {GST_VIDEO_FORMAT_I422_12LE, QUILLET_LAYOUT_422, 12},
      {GST_VIDEO_FORMAT_Y444_10LE, QUILLET_LAYOUT_444, 10},
      {GST_VIDEO_FORMAT_Y444_12LE, QUILLET_LAYOUT_444, 12},
      {GST_VIDEO_FORMAT_Y444_16LE, QUILLET_LAYOUT_444, 16},
      {GST_VIDEO_FORMAT_GRAY16_LE, QUILLET_LAYOUT_MONO, 16},
      {GST_VIDEO_FORMAT_YV12, QUILLET_LAYOUT_420, 8},
      {GST_VIDEO_FORMAT_Y41B, QUILLET_LAYOUT_411, 8},
      {GST_VIDEO_FORMAT_NV12, QUILLET_LAYOUT_NV12, 8},
      {GST_VIDEO_FORMAT_NV21, QUILLET_LAYOUT_NV21, 8},
      {GST_VIDEO_FORMAT_P010_10LE, QUILLET_LAYOUT_P010, 10},
      {GST_VIDEO_FORMAT_P016_LE, QUILLET_LAYOUT_P016, 16},
      {GST_VIDEO_FORMAT_YUY2, QUILLET_LAYOUT_YUY2, 8},
      {GST_VIDEO_FORMAT_UYVY, QUILLET_LAYOUT_UYVY, 8},
      {GST_VIDEO_FORMAT_YVYU, QUILLET_LAYOUT_YVYU, 8},
  };
  for (gsize i = 0; i < G_N_ELEMENTS(formats); ++i) {
    if (formats[i].format == format) {
      *layout = formats[i].layout;
      *depth = formats[i].depth;
      return TRUE;
    }
  }
  return FALSE;
}

/* The engine's planes of a mapped frame: GStreamer's in their order, but Cb before Cr where the
 * format stores Cr first (YV12). */
static void engine_planes(GstVideoFrame* frame, QuilletFrame* planes) {
  *planes = (QuilletFrame){{NULL, NULL, NULL}, {0, 0, 0}};
  const gboolean swapped = GST_VIDEO_FRAME_FORMAT(frame) == GST_VIDEO_FORMAT_YV12;
  for (guint p = 0; p < GST_VIDEO_FRAME_N_PLANES(frame) && p < 3; ++p) {
    const guint to = swapped && p > 0 ? 3 - p : p;
    planes->planes[to] = GST_VIDEO_FRAME_PLANE_DATA(frame, p);
    planes->strides[to] = GST_VIDEO_FRAME_PLANE_STRIDE(frame, p);
  }
}

/* Drops the engine and every frame it holds, with no output. */
static void gst_quillet_reset(GstQuillet* self) {
  quillet_destroy(self->engine);
  self->engine = NULL;
  gst_buffer_replace(&self->previous, NULL);
  g_queue_clear_full(&self->pending, (GDestroyNotify)gst_buffer_unref);
  self->discard = 0;
}

static gboolean engine_failed(GstQuillet* self, const char* what, QuilletStatus status) {
  const char* message = quillet_error_message(self->engine);
  GST_ELEMENT_ERROR(
      self, STREAM, FAILED, ("%s failed: %s", what, quillet_status_string(status)),
      ("%s (status %d)", message[0] != 0 ? message : "the filter gave no message", (int)status));
  return FALSE;
}

static gboolean push_input(GstQuillet* self, QuilletEngine* engine, GstBuffer* buffer,
                           QuilletStatus* status) {
  GstVideoFrame frame;
  if (!gst_video_frame_map(&frame, &self->info, buffer, GST_MAP_READ)) {
    GST_ELEMENT_ERROR(self, STREAM, FAILED, ("cannot map an input buffer"),
                      ("a buffer of %" G_GSIZE_FORMAT " bytes for %s %dx%d",
                       gst_buffer_get_size(buffer), GST_VIDEO_INFO_NAME(&self->info),
                       GST_VIDEO_INFO_WIDTH(&self->info), GST_VIDEO_INFO_HEIGHT(&self->info)));
    return FALSE;
  }
  QuilletFrame in;
  engine_planes(&frame, &in);
  /* Whether the frame holds two fields, for deint=interlaced. */
  gboolean interlaced;
  switch (GST_VIDEO_INFO_INTERLACE_MODE(&self->info)) {
    case GST_VIDEO_INTERLACE_MODE_PROGRESSIVE:
      interlaced = FALSE;
      break;
    case GST_VIDEO_INTERLACE_MODE_MIXED:
      interlaced = GST_BUFFER_FLAG_IS_SET(buffer, GST_VIDEO_BUFFER_FLAG_INTERLACED);
      break;
    default:
      interlaced = TRUE;
      break;
  }
  *status = quillet_push_marked(engine, &in, interlaced ? 1 : 0);
  gst_video_frame_unmap(&frame);
  return TRUE;
}

/* A new engine for the current format and `threads`, holding the same frames as the old one:
 * the frames since the last one out are pushed again, behind the last one out, whose filtered
 * copy is thrown away. They are pushed under the old engine's settings, so that the last one out
 * comes out again as it did (a hold-back switched on now would keep it); the new settings follow.
 * Its output is then what the old engine's would have been. */
static gboolean gst_quillet_start_engine(GstQuillet* self, const QuilletSettings* settings,
                                         gint threads) {
  QuilletConfig config;
  quillet_default_config(&config);
  config.width = GST_VIDEO_INFO_WIDTH(&self->info);
  config.height = GST_VIDEO_INFO_HEIGHT(&self->info);
  if (!layout_of(GST_VIDEO_INFO_FORMAT(&self->info), &config.layout, &config.bit_depth)) {
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("format not negotiated"),
                      ("no caps with a format this element takes before the first buffer"));
    return FALSE;
  }
  config.settings = *settings;
  if (self->engine != NULL) quillet_get_settings(self->engine, &config.settings);
  config.threads = threads;
  QuilletEngine* engine = NULL;
  QuilletStatus status = quillet_create(&config, &engine);
  if (status != QUILLET_OK) {
    GST_ELEMENT_ERROR(self, LIBRARY, INIT, ("cannot start the filter"),
                      ("%s", quillet_error_message(NULL)));
    return FALSE;
  }

  GQueue history = G_QUEUE_INIT;
  if (self->previous != NULL) g_queue_push_tail(&history, self->previous);
  for (GList* l = self->pending.head; l != NULL; l = l->next) g_queue_push_tail(&history, l->data);
  gint discard = self->previous != NULL ? 1 : 0;
  gboolean ok = TRUE;
  QuilletFrame scratch = {{NULL, NULL, NULL}, {0, 0, 0}};
  GstVideoFrame out;
  GstBuffer* scratch_buffer = NULL;
  gboolean mapped = FALSE;
  if (discard > 0) {
    scratch_buffer = gst_buffer_new_allocate(NULL, GST_VIDEO_INFO_SIZE(&self->info), NULL);
    ok = mapped = gst_video_frame_map(&out, &self->info, scratch_buffer, GST_MAP_WRITE);
    if (ok) engine_planes(&out, &scratch);
  }
  for (GList* l = history.head; ok && l != NULL; l = l->next) {
    ok = push_input(self, engine, l->data, &status);
    while (ok && status == QUILLET_AGAIN && discard > 0) {
      status = quillet_pull(engine, &scratch, NULL);
      discard -= status == QUILLET_OK ? 1 : 0;
      ok = status >= 0 && push_input(self, engine, l->data, &status);
    }
    ok = ok && status == QUILLET_OK;
  }
  while (ok && discard > 0 && (status = quillet_pull(engine, &scratch, NULL)) == QUILLET_OK) {
    --discard;
  }
  const guint held = g_queue_get_length(&history);
  g_queue_clear(&history);
  if (mapped) gst_video_frame_unmap(&out);
  if (scratch_buffer != NULL) gst_buffer_unref(scratch_buffer);
  /* A new engine holds its first frame until the next one comes: the frame already out may be
   * left to discard when it is ready. */
  if (ok && discard <= 1) ok = (status = quillet_set_settings(engine, settings)) == QUILLET_OK;
  if (!ok || discard > 1) {
    const char* message = quillet_error_message(engine);
    GST_ELEMENT_ERROR(self, STREAM, FAILED, ("cannot move the frames to a new filter"),
                      ("%u frame(s) pushed again, %d not given back: %s (%s)", held, discard,
                       quillet_status_string(status), message[0] != 0 ? message : "no message"));
    quillet_destroy(engine);
    return FALSE;
  }
  quillet_destroy(self->engine);
  self->engine = engine;
  self->engine_threads = threads;
  self->discard = discard;
  return TRUE;
}

/* The settings of now into the engine, which is (re)made when there is none or the thread count
 * changed. */
static gboolean gst_quillet_update(GstQuillet* self) {
  GST_OBJECT_LOCK(self);
  const QuilletSettings settings = self->settings;
  const gint threads = self->threads;
  GST_OBJECT_UNLOCK(self);
  if (self->engine == NULL || threads != self->engine_threads) {
    return gst_quillet_start_engine(self, &settings, threads);
  }
  const QuilletStatus status = quillet_set_settings(self->engine, &settings);
  return status == QUILLET_OK || engine_failed(self, "settings", status);
}

/* The next filtered frame, or NULL when none is ready, in a buffer carrying the timestamps,
 * duration and flags of its input, less the interlace flags. */
static GstFlowReturn gst_quillet_take(GstQuillet* self, GstBuffer** result) {
  *result = NULL;
  GstBuffer* in = g_queue_peek_head(&self->pending);
  if (self->engine == NULL || in == NULL) return GST_FLOW_OK;
  if (self->discard > 0) {
    GstBuffer* spare = gst_buffer_new_allocate(NULL, GST_VIDEO_INFO_SIZE(&self->info), NULL);
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &self->info, spare, GST_MAP_WRITE)) {
      gst_buffer_unref(spare);
      GST_ELEMENT_ERROR(self, STREAM, FAILED, ("cannot map a buffer"), (NULL));
      return GST_FLOW_ERROR;
    }
    QuilletFrame planes = {{NULL, NULL, NULL}, {0, 0, 0}};
    for (guint p = 0; p < GST_VIDEO_FRAME_N_PLANES(&frame) && p < 3; ++p) {
      planes.planes[p] = GST_VIDEO_FRAME_PLANE_DATA(&frame, p);
      planes.strides[p] = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p);
    }
    const QuilletStatus status = quillet_pull(self->engine, &planes, NULL);
    gst_video_frame_unmap(&frame);
    gst_buffer_unref(spare);
    if (status < 0) {
      engine_failed(self, "filtering", status);
      return GST_FLOW_ERROR;
    }
    if (status != QUILLET_OK) return GST_FLOW_OK;
    --self->discard;
  }
  GstBaseTransform* trans = GST_BASE_TRANSFORM(self);
  const GstVideoInfo* info = &GST_VIDEO_FILTER(self)->out_info;
  /* Never the input buffer, as the base class would give in place: it stays the next frame's
   * neighbour. */
  GstBuffer* out = NULL;
  GstBufferPool* pool = gst_base_transform_get_buffer_pool(trans);
  if (pool != NULL) {
    GstFlowReturn ret = gst_buffer_pool_set_active(pool, TRUE)
                            ? gst_buffer_pool_acquire_buffer(pool, &out, NULL)
                            : GST_FLOW_ERROR;
    gst_object_unref(pool);
    if (ret != GST_FLOW_OK) return ret;
  } else {
    out = gst_buffer_new_allocate(NULL, GST_VIDEO_INFO_SIZE(info), NULL);
  }
  GST_BASE_TRANSFORM_GET_CLASS(trans)->copy_metadata(trans, in, out);
  GstVideoFrame frame;
  if (!gst_video_frame_map(&frame, info, out, GST_MAP_WRITE)) {
    gst_buffer_unref(out);
    GST_ELEMENT_ERROR(
        self, STREAM, FAILED, ("cannot map an output buffer"),
        ("a buffer of %" G_GSIZE_FORMAT " bytes for %s %dx%d", gst_buffer_get_size(out),
         GST_VIDEO_INFO_NAME(info), GST_VIDEO_INFO_WIDTH(info), GST_VIDEO_INFO_HEIGHT(info)));
    return GST_FLOW_ERROR;
  }
  QuilletFrame planes;
  engine_planes(&frame, &planes);
  const QuilletStatus status = quillet_pull(self->engine, &planes, NULL);
  gst_video_frame_unmap(&frame);
  if (status != QUILLET_OK) {
    gst_buffer_unref(out);
    if (status < 0) {
      engine_failed(self, "filtering", status);
      return GST_FLOW_ERROR;
    }
    return GST_FLOW_OK;
  }
  GST_BUFFER_FLAG_UNSET(out, GST_VIDEO_BUFFER_FLAG_INTERLACED | GST_VIDEO_BUFFER_FLAG_TFF |
                                 GST_VIDEO_BUFFER_FLAG_RFF | GST_VIDEO_BUFFER_FLAG_ONEFIELD);
  g_queue_pop_head(&self->pending);
  gst_buffer_replace(&self->previous, in);
  gst_buffer_unref(in);
  *result = out;
  return GST_FLOW_OK;
}

/* Sends downstream every frame that is ready now. */
static GstFlowReturn gst_quillet_push_ready(GstQuillet* self) {
  GstBuffer* out;
  GstFlowReturn ret;
  while ((ret = gst_quillet_take(self, &out)) == GST_FLOW_OK && out != NULL) {
    ret = gst_pad_push(GST_BASE_TRANSFORM_SRC_PAD(self), out);
    if (ret != GST_FLOW_OK) break;
  }
  return ret;
}

/* Ends the stream so far: the frames held come out, then the history starts again. */
static GstFlowReturn gst_quillet_drain(GstQuillet* self) {
  GstFlowReturn ret = GST_FLOW_OK;
  if (self->engine != NULL && !g_queue_is_empty(&self->pending)) {
    if (!gst_quillet_update(self)) {
      ret = GST_FLOW_ERROR;
    } else {
      const QuilletStatus status = quillet_flush(self->engine);
      ret = status == QUILLET_OK ? gst_quillet_push_ready(self) : GST_FLOW_ERROR;
      if (status != QUILLET_OK) engine_failed(self, "flush", status);
    }
  }
  gst_quillet_reset(self);
  return ret;
}

static GstFlowReturn gst_quillet_submit_input_buffer(GstBaseTransform* trans, gboolean is_discont,
                                                     GstBuffer* input) {
  GstQuillet* self = GST_QUILLET(trans);
  GstFlowReturn ret = GST_FLOW_OK;
  /* The base class keeps reporting a discontinuity until a frame comes out, which with
   * next-frame on is one input later: the buffer's own flag is the one that counts. */
  (void)is_discont;
  if (GST_BUFFER_IS_DISCONT(input) && self->engine != NULL) {
    GST_DEBUG_OBJECT(self, "discontinuity: frame history starts again");
    ret = gst_quillet_drain(self);
  }
  /* A settings change may have made a held frame ready: it goes out before the next comes in. */
  if (ret == GST_FLOW_OK && !gst_quillet_update(self)) ret = GST_FLOW_ERROR;
  if (ret == GST_FLOW_OK) ret = gst_quillet_push_ready(self);
  if (ret != GST_FLOW_OK) {
    gst_buffer_unref(input);
    return ret;
  }
  QuilletStatus status;
  if (!push_input(self, self->engine, input, &status)) {
    gst_buffer_unref(input);
    return GST_FLOW_ERROR;
  }
  if (status != QUILLET_OK) {
    gst_buffer_unref(input);
    engine_failed(self, "push", status);
    return GST_FLOW_ERROR;
  }
  g_queue_push_tail(&self->pending, input);
  return GST_FLOW_OK;
}

static GstFlowReturn gst_quillet_generate_output(GstBaseTransform* trans, GstBuffer** output) {
  return gst_quillet_take(GST_QUILLET(trans), output);
}

static gboolean gst_quillet_sink_event(GstBaseTransform* trans, GstEvent* event) {
  GstQuillet* self = GST_QUILLET(trans);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
      GstCaps* caps;
      GstVideoInfo info;
      gst_event_parse_caps(event, &caps);
      if (self->engine != NULL && (!gst_video_info_from_caps(&info, caps) ||
                                   !gst_video_info_is_equal(&info, &self->info))) {
        gst_quillet_drain(self);
      }
      break;
    }
    case GST_EVENT_EOS:
      gst_quillet_drain(self);
      break;
    case GST_EVENT_FLUSH_STOP:
      gst_quillet_reset(self);
      break;
    default:
      break;
  }
  return GST_BASE_TRANSFORM_CLASS(gst_quillet_parent_class)->sink_event(trans, event);
}

/* One frame's time: how long a frame can be held back. */
static GstClockTime gst_quillet_frame_time(GstQuillet* self) {
  const gint n = GST_VIDEO_INFO_FPS_N(&self->info), d = GST_VIDEO_INFO_FPS_D(&self->info);
  return n > 0 && d > 0 ? gst_util_uint64_scale_int(GST_SECOND, d, n) : 0;
}

/* One frame, whatever the settings: the first buffer always waits for the second, which stands
 * in for its missing neighbour, and next-frame or deint=combed hold every frame that long. A
 * live sink that was told less would drop the first frame as late. */
static gboolean gst_quillet_src_query(GstBaseTransform* trans, GstPadDirection direction,
                                      GstQuery* query) {
  GstQuillet* self = GST_QUILLET(trans);
  if (GST_QUERY_TYPE(query) != GST_QUERY_LATENCY || direction != GST_PAD_SRC) {
    return GST_BASE_TRANSFORM_CLASS(gst_quillet_parent_class)->query(trans, direction, query);
  }
  if (!gst_pad_peer_query(GST_BASE_TRANSFORM_SINK_PAD(trans), query)) return FALSE;
  gboolean live;
  GstClockTime min, max;
  gst_query_parse_latency(query, &live, &min, &max);
  const GstClockTime frame = gst_quillet_frame_time(self);
  min += frame;
  if (GST_CLOCK_TIME_IS_VALID(max)) max += frame;
  GST_DEBUG_OBJECT(self, "latency %" GST_TIME_FORMAT, GST_TIME_ARGS(min));
  gst_query_set_latency(query, live, min, max);
  return TRUE;
}

/* Sink to source: progressive, no field order. Source to sink: any mode the sink takes. */
static GstCaps* gst_quillet_transform_caps(GstBaseTransform* trans, GstPadDirection direction,
                                           GstCaps* caps, GstCaps* filter) {
  GstCaps* result = gst_caps_new_empty();
  GValue modes = G_VALUE_INIT;
  gst_value_list_init(&modes, 3);
  static const char* const kModes[] = {"progressive", "interleaved", "mixed"};
  for (gsize i = 0; i < G_N_ELEMENTS(kModes); ++i) {
    GValue mode = G_VALUE_INIT;
    g_value_init(&mode, G_TYPE_STRING);
    g_value_set_static_string(&mode, kModes[i]);
    gst_value_list_append_and_take_value(&modes, &mode);
  }
  for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
    GstStructure* s = gst_structure_copy(gst_caps_get_structure(caps, i));
    if (direction == GST_PAD_SINK) {
      gst_structure_set(s, "interlace-mode", G_TYPE_STRING, "progressive", NULL);
      gst_structure_remove_field(s, "field-order");
    } else {
      gst_structure_set_value(s, "interlace-mode", &modes);
    }
    GstCapsFeatures* features = gst_caps_get_features(caps, i);
    result = gst_caps_merge_structure_full(result, s,
                                           features ? gst_caps_features_copy(features) : NULL);
  }
  g_value_unset(&modes);
  if (filter != NULL) {
    GstCaps* both = gst_caps_intersect_full(filter, result, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(result);
    result = both;
  }
  GST_DEBUG_OBJECT(trans, "%s %" GST_PTR_FORMAT " -> %" GST_PTR_FORMAT,
                   direction == GST_PAD_SINK ? "sink" : "src", caps, result);
  return result;
}

static gboolean gst_quillet_set_info(GstVideoFilter* filter, GstCaps* incaps, GstVideoInfo* in_info,
                                     GstCaps* outcaps, GstVideoInfo* out_info) {
  GstQuillet* self = GST_QUILLET(filter);
  (void)incaps;
  (void)outcaps;
  (void)out_info;
  if (GST_VIDEO_INFO_INTERLACE_MODE(in_info) == GST_VIDEO_INTERLACE_MODE_ALTERNATE) return FALSE;
  if (!gst_video_info_is_equal(in_info, &self->info)) gst_quillet_reset(self);
  self->info = *in_info;
  return TRUE;
}

static gboolean gst_quillet_stop(GstBaseTransform* trans) {
  GstQuillet* self = GST_QUILLET(trans);
  gst_quillet_reset(self);
  gst_video_info_init(&self->info);
  return TRUE;
}

static void gst_quillet_set_property(GObject* object, guint id, const GValue* value,
                                     GParamSpec* pspec) {
  GstQuillet* self = GST_QUILLET(object);
  GST_OBJECT_LOCK(self);
  QuilletSettings* s = &self->settings;
  switch (id) {
    case PROP_TAP:
      s->tap = (int32_t)g_value_get_uint(value);
      break;
    case PROP_TOP:
      s->top = (int32_t)g_value_get_uint(value);
      break;
    case PROP_BOTTOM:
      s->bottom = (int32_t)g_value_get_uint(value);
      break;
    case PROP_MOTION:
      s->motion = (int32_t)g_value_get_uint(value);
      break;
    case PROP_MOTION2:
      s->motion2 = (int32_t)g_value_get_uint(value);
      break;
    case PROP_SHOW_MOTION:
      s->show_motion = g_value_get_boolean(value) ? 1 : 0;
      break;
    case PROP_NEXT_FRAME:
      s->next_frame = g_value_get_boolean(value) ? 1 : 0;
      break;
    case PROP_MAX:
      s->use_max = g_value_get_boolean(value) ? 1 : 0;
      break;
    case PROP_DEINT:
      s->deint = g_value_get_enum(value);
      break;
    case PROP_COMB_SENSITIVITY:
      s->comb_sensitivity = (int32_t)g_value_get_uint(value);
      break;
    case PROP_THREADS:
      self->threads = (gint)g_value_get_uint(value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
      break;
  }
  GST_OBJECT_UNLOCK(self);
}

static void gst_quillet_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  GstQuillet* self = GST_QUILLET(object);
  GST_OBJECT_LOCK(self);
  const QuilletSettings* s = &self->settings;
  switch (id) {
    case PROP_TAP:
      g_value_set_uint(value, (guint)s->tap);
      break;
    case PROP_TOP:
      g_value_set_uint(value, (guint)s->top);
      break;
    case PROP_BOTTOM:
      g_value_set_uint(value, (guint)s->bottom);
      break;
    case PROP_MOTION:
      g_value_set_uint(value, (guint)s->motion);
      break;
    case PROP_MOTION2:
      g_value_set_uint(value, (guint)s->motion2);
      break;
    case PROP_SHOW_MOTION:
      g_value_set_boolean(value, s->show_motion != 0);
      break;
    case PROP_NEXT_FRAME:
      g_value_set_boolean(value, s->next_frame != 0);
      break;
    case PROP_MAX:
      g_value_set_boolean(value, s->use_max != 0);
      break;
    case PROP_DEINT:
      g_value_set_enum(value, s->deint);
      break;
    case PROP_COMB_SENSITIVITY:
      g_value_set_uint(value, (guint)s->comb_sensitivity);
      break;
    case PROP_THREADS:
      g_value_set_uint(value, (guint)self->threads);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
      break;
  }
  GST_OBJECT_UNLOCK(self);
}

static void gst_quillet_finalize(GObject* object) {
  gst_quillet_reset(GST_QUILLET(object));
  G_OBJECT_CLASS(gst_quillet_parent_class)->finalize(object);
}

static void gst_quillet_init(GstQuillet* self) {
  quillet_default_settings(&self->settings);
  self->threads = 0;
  gst_video_info_init(&self->info);
  g_queue_init(&self->pending);
}

#define PARAM_FLAGS (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING)

static void install_uint(GObjectClass* klass, guint id, const char* name, const char* blurb,
                         guint most, guint fallback) {
  g_object_class_install_property(
      klass, id, g_param_spec_uint(name, name, blurb, 0, most, fallback, PARAM_FLAGS));
}

static void install_boolean(GObjectClass* klass, guint id, const char* name, const char* blurb) {
  g_object_class_install_property(klass, id,
                                  g_param_spec_boolean(name, name, blurb, FALSE, PARAM_FLAGS));
}

static void gst_quillet_class_init(GstQuilletClass* klass) {
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  GstBaseTransformClass* trans_class = GST_BASE_TRANSFORM_CLASS(klass);
  GstVideoFilterClass* filter_class = GST_VIDEO_FILTER_CLASS(klass);

  object_class->set_property = gst_quillet_set_property;
  object_class->get_property = gst_quillet_get_property;
  object_class->finalize = gst_quillet_finalize;

  QuilletSettings d;
  quillet_default_settings(&d);
  install_uint(object_class, PROP_TAP, "tap", "Low-pass strength (0: 3 rows .. 6: 15 rows)", 6,
               (guint)d.tap);
  install_uint(object_class, PROP_TOP, "top", "Rows left unfiltered at the top", 256, (guint)d.top);
  install_uint(object_class, PROP_BOTTOM, "bottom", "Rows left unfiltered at the bottom", 256,
               (guint)d.bottom);
  install_uint(object_class, PROP_MOTION, "motion",
               "Motion threshold; 0 turns motion adaptation off", 256, (guint)d.motion);
  install_uint(object_class, PROP_MOTION2, "motion2",
               "Second motion threshold (hard limit 2 x motion2; 0 off)", 256, (guint)d.motion2);
  install_boolean(object_class, PROP_SHOW_MOTION, "show-motion",
                  "Paint the motion weights into the colour");
  install_boolean(object_class, PROP_NEXT_FRAME, "next-frame",
                  "Also weigh motion against the next frame (holds one frame back)");
  install_boolean(object_class, PROP_MAX, "max",
                  "Combine the two motion maps by maximum instead of minimum");
  g_object_class_install_property(
      object_class, PROP_DEINT,
      g_param_spec_enum("deint", "deint",
                        "Frames to filter; the others pass unchanged (combed holds one frame back)",
                        GST_TYPE_QUILLET_DEINT, d.deint, PARAM_FLAGS));
  gst_type_mark_as_plugin_api(GST_TYPE_QUILLET_DEINT, 0);
  g_object_class_install_property(
      object_class, PROP_COMB_SENSITIVITY,
      g_param_spec_uint("comb-sensitivity", "comb-sensitivity",
                        "Comb detector sensitivity for deint=combed; higher filters more frames", 1,
                        100, (guint)d.comb_sensitivity, PARAM_FLAGS));
  install_uint(object_class, PROP_THREADS, "threads", "Worker threads (0: one per processor)", 256,
               0);

  gst_element_class_set_static_metadata(
      element_class, "Quillet++ comb remover", "Filter/Effect/Video/Deinterlace",
      "Removes interlace combing where the picture moves", "The Quillet++ developers");
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);

  trans_class->transform_caps = gst_quillet_transform_caps;
  trans_class->sink_event = gst_quillet_sink_event;
  trans_class->query = gst_quillet_src_query;
  trans_class->submit_input_buffer = gst_quillet_submit_input_buffer;
  trans_class->generate_output = gst_quillet_generate_output;
  trans_class->stop = gst_quillet_stop;
  trans_class->passthrough_on_same_caps = FALSE;
  filter_class->set_info = gst_quillet_set_info;
}

static gboolean plugin_init(GstPlugin* plugin) {
  GST_DEBUG_CATEGORY_INIT(gst_quillet_debug, "quillet", 0, "Quillet++ comb remover");
  return gst_element_register(plugin, "quillet", GST_RANK_NONE, GST_TYPE_QUILLET);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, quillet,
                  "Removes interlace combing from YUV video", plugin_init, QUILLET_VERSION,
                  "MIT/X11", "Quillet++", "Unknown package origin")
