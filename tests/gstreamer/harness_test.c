/* The quillet element in a GstHarness: latency, end of stream, flush and discontinuity, a
 * property changed mid-stream, a caps change, the frames deint selects. */
#include <gst/check/gstcheck.h>
#include <gst/check/gstharness.h>
#include <gst/video/video.h>

#define FRAME_TIME (GST_SECOND / 25)
#define INTERLACE_FLAGS (GST_VIDEO_BUFFER_FLAG_INTERLACED | GST_VIDEO_BUFFER_FLAG_TFF)

static gchar* caps_string(gint width, gint height) {
  return g_strdup_printf(
      "video/x-raw,format=I420,width=%d,height=%d,framerate=25/1,interlace-mode=interleaved", width,
      height);
}

static GstHarness* harness_new(gint width, gint height, gboolean next_frame) {
  GstHarness* h = gst_harness_new("quillet");
  g_object_set(h->element, "next-frame", next_frame, "threads", 2, NULL);
  gchar* caps = caps_string(width, height);
  gst_harness_set_src_caps_str(h, caps);
  g_free(caps);
  return h;
}

/* Frame n of a clip: a bright bar moving right over a dark ground, both shaded from top to
 * bottom, the bar's odd rows 3 pixels behind (combing). */
static GstBuffer* frame_new(gint width, gint height, gint n) {
  GstVideoInfo info;
  gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, (guint)width, (guint)height);
  GstBuffer* buffer = gst_buffer_new_allocate(NULL, GST_VIDEO_INFO_SIZE(&info), NULL);
  GstVideoFrame frame;
  fail_unless(gst_video_frame_map(&frame, &info, buffer, GST_MAP_WRITE));
  for (gint y = 0; y < height; ++y) {
    guint8* row = (guint8*)GST_VIDEO_FRAME_PLANE_DATA(&frame, 0) +
                  y * GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    const gint left = 6 * n + 3 * (y & 1);
    for (gint x = 0; x < width; ++x)
      row[x] = (guint8)(x >= left && x < left + width / 4 ? 235 - y : 16 + y);
  }
  for (guint p = 1; p < 3; ++p) {
    memset(GST_VIDEO_FRAME_PLANE_DATA(&frame, p), 128,
           (gsize)GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p) * GST_VIDEO_FRAME_COMP_HEIGHT(&frame, p));
  }
  gst_video_frame_unmap(&frame);
  GST_BUFFER_PTS(buffer) = (GstClockTime)n * FRAME_TIME;
  GST_BUFFER_DURATION(buffer) = FRAME_TIME;
  GST_BUFFER_FLAG_SET(buffer, INTERLACE_FLAGS);
  return buffer;
}

static void push_frame(GstHarness* h, gint n, gboolean discont) {
  GstBuffer* buffer = frame_new(64, 48, n);
  if (discont) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
  fail_unless_equals_int(gst_harness_push(h, buffer), GST_FLOW_OK);
}

/* Every buffer the element has sent so far, in order. */
static GPtrArray* take_all(GstHarness* h) {
  GPtrArray* out = g_ptr_array_new_with_free_func((GDestroyNotify)gst_buffer_unref);
  GstBuffer* buffer;
  while ((buffer = gst_harness_try_pull(h)) != NULL) g_ptr_array_add(out, buffer);
  return out;
}

static gboolean same_bytes(GstBuffer* a, GstBuffer* b) {
  GstMapInfo ma;
  fail_unless(gst_buffer_map(a, &ma, GST_MAP_READ));
  const gboolean same =
      gst_buffer_get_size(b) == ma.size && gst_buffer_memcmp(b, 0, ma.data, ma.size) == 0;
  gst_buffer_unmap(a, &ma);
  return same;
}

/* The output of a new element fed frames first..last of the clip, then end of stream. */
static GPtrArray* run_clip(gboolean next_frame, guint tap, const char* deint, gint first,
                           gint last) {
  GstHarness* h = harness_new(64, 48, next_frame);
  g_object_set(h->element, "tap", tap, NULL);
  gst_util_set_object_arg(G_OBJECT(h->element), "deint", deint);
  for (gint n = first; n <= last; ++n) push_frame(h, n, FALSE);
  gst_harness_push_event(h, gst_event_new_eos());
  GPtrArray* out = take_all(h);
  gst_harness_teardown(h);
  return out;
}

/* The first frame waits for the second whatever the settings, so a frame is always reported. */
GST_START_TEST(latency_is_one_frame_whatever_the_settings) {
  static const struct {
    gboolean next_frame;
    const char* deint;
    GstClockTime latency;
  } cases[] = {{FALSE, "all", FRAME_TIME},
               {TRUE, "all", FRAME_TIME},
               {FALSE, "interlaced", FRAME_TIME},
               {FALSE, "combed", FRAME_TIME}};
  for (gsize i = 0; i < G_N_ELEMENTS(cases); ++i) {
    GstHarness* h = harness_new(64, 48, cases[i].next_frame);
    gst_util_set_object_arg(G_OBJECT(h->element), "deint", cases[i].deint);
    fail_unless_equals_uint64(gst_harness_query_latency(h), cases[i].latency);
    gst_harness_teardown(h);
  }
}
GST_END_TEST;

GST_START_TEST(eos_sends_the_held_frame_with_its_times) {
  GstHarness* h = harness_new(64, 48, TRUE);
  for (gint n = 0; n < 3; ++n) push_frame(h, n, FALSE);
  fail_unless_equals_int(gst_harness_buffers_received(h), 2);
  gst_harness_push_event(h, gst_event_new_eos());
  GPtrArray* out = take_all(h);
  fail_unless_equals_int(out->len, 3);
  for (guint n = 0; n < out->len; ++n) {
    GstBuffer* buffer = g_ptr_array_index(out, n);
    fail_unless_equals_uint64(GST_BUFFER_PTS(buffer), n * FRAME_TIME);
    fail_unless_equals_uint64(GST_BUFFER_DURATION(buffer), FRAME_TIME);
    fail_if(GST_BUFFER_FLAG_IS_SET(buffer, INTERLACE_FLAGS), "frame %u keeps interlace flags", n);
  }
  GstCaps* caps = gst_pad_get_current_caps(h->sinkpad);
  fail_unless_equals_string(
      gst_structure_get_string(gst_caps_get_structure(caps, 0), "interlace-mode"), "progressive");
  gst_caps_unref(caps);
  g_ptr_array_unref(out);
  gst_harness_teardown(h);
}
GST_END_TEST;

/* After a flush the held frame is dropped, after a discontinuity it is sent; either way the next
 * frame comes out as the first of a new stream. */
GST_START_TEST(flush_and_discontinuity_start_the_history_again) {
  GPtrArray* fresh = run_clip(TRUE, 0, "all", 2, 2);
  for (gint flush = 0; flush < 2; ++flush) {
    GstHarness* h = harness_new(64, 48, TRUE);
    push_frame(h, 0, FALSE);
    push_frame(h, 1, FALSE);
    if (flush) {
      gst_harness_push_event(h, gst_event_new_flush_start());
      gst_harness_push_event(h, gst_event_new_flush_stop(TRUE));
      GstSegment segment;
      gst_segment_init(&segment, GST_FORMAT_TIME);
      gst_harness_push_event(h, gst_event_new_segment(&segment));
    }
    push_frame(h, 2, !flush);
    gst_harness_push_event(h, gst_event_new_eos());
    GPtrArray* out = take_all(h);
    fail_unless_equals_int(out->len, flush ? 2 : 3);
    GstBuffer* last = g_ptr_array_index(out, out->len - 1);
    fail_unless_equals_uint64(GST_BUFFER_PTS(last), 2 * FRAME_TIME);
    fail_unless(same_bytes(last, g_ptr_array_index(fresh, 0)), "history kept (flush %d)", flush);
    g_ptr_array_unref(out);
    gst_harness_teardown(h);
  }
  g_ptr_array_unref(fresh);
}
GST_END_TEST;

/* Settings change with the thread count (a new filter) after two frames went in, turning a
 * frame's hold-back on or off too: the frames out before are those of the old settings, every
 * frame after is that of the new ones. */
GST_START_TEST(properties_change_mid_stream) {
  static const struct {
    gboolean next_frame[2];
    const char* deint[2];
    guint tap[2];
  } cases[] = {
      {{FALSE, FALSE}, {"all", "all"}, {0, 6}},    {{TRUE, TRUE}, {"all", "all"}, {0, 6}},
      {{FALSE, TRUE}, {"all", "all"}, {0, 0}},     {{TRUE, FALSE}, {"all", "all"}, {0, 0}},
      {{FALSE, FALSE}, {"all", "combed"}, {0, 0}}, {{FALSE, FALSE}, {"combed", "all"}, {0, 0}},
      {{TRUE, FALSE}, {"all", "combed"}, {0, 3}}};
  for (gsize i = 0; i < G_N_ELEMENTS(cases); ++i) {
    GPtrArray* runs[2];
    for (int r = 0; r < 2; ++r)
      runs[r] = run_clip(cases[i].next_frame[r], cases[i].tap[r], cases[i].deint[r], 0, 5);
    GstHarness* h = harness_new(64, 48, cases[i].next_frame[0]);
    gst_util_set_object_arg(G_OBJECT(h->element), "deint", cases[i].deint[0]);
    push_frame(h, 0, FALSE);
    push_frame(h, 1, FALSE);
    const guint changed_at = gst_harness_buffers_received(h);
    g_object_set(h->element, "tap", cases[i].tap[1], "next-frame", cases[i].next_frame[1],
                 "threads", 1, NULL);
    gst_util_set_object_arg(G_OBJECT(h->element), "deint", cases[i].deint[1]);
    for (gint n = 2; n < 6; ++n) push_frame(h, n, FALSE);
    gst_harness_push_event(h, gst_event_new_eos());
    GPtrArray* out = take_all(h);
    fail_unless_equals_int(out->len, 6);
    for (guint n = 0; n < out->len; ++n) {
      fail_unless(
          same_bytes(g_ptr_array_index(out, n), g_ptr_array_index(runs[n >= changed_at], n)),
          "case %u: frame %u", (guint)i, n);
    }
    fail_if(cases[i].tap[0] != cases[i].tap[1] &&
                same_bytes(g_ptr_array_index(runs[0], 3), g_ptr_array_index(runs[1], 3)),
            "case %u: the tap changed nothing", (guint)i);
    g_ptr_array_unref(out);
    for (int r = 0; r < 2; ++r) g_ptr_array_unref(runs[r]);
    gst_harness_teardown(h);
  }
}
GST_END_TEST;

GST_START_TEST(caps_change_sends_the_held_frame_first) {
  GstHarness* h = harness_new(64, 48, TRUE);
  push_frame(h, 0, FALSE);
  push_frame(h, 1, FALSE);
  gchar* caps = caps_string(32, 32);
  gst_harness_set_src_caps_str(h, caps);
  g_free(caps);
  for (gint n = 2; n < 4; ++n)
    fail_unless_equals_int(gst_harness_push(h, frame_new(32, 32, n)), GST_FLOW_OK);
  gst_harness_push_event(h, gst_event_new_eos());
  GPtrArray* out = take_all(h);
  static const gsize sizes[] = {64 * 48 * 3 / 2, 64 * 48 * 3 / 2, 32 * 32 * 3 / 2, 32 * 32 * 3 / 2};
  fail_unless_equals_int(out->len, G_N_ELEMENTS(sizes));
  for (guint n = 0; n < out->len; ++n) {
    GstBuffer* buffer = g_ptr_array_index(out, n);
    fail_unless_equals_uint64(gst_buffer_get_size(buffer), sizes[n]);
    fail_unless_equals_uint64(GST_BUFFER_PTS(buffer), n * FRAME_TIME);
  }
  g_ptr_array_unref(out);
  gst_harness_teardown(h);
}
GST_END_TEST;

/* Frame n of a clip of 160 x 48: a bright box moving right over a dark ground, 12 pixels a
 * frame; in frames from 4 on its odd rows lie 8 pixels behind, as in a frame woven from fields
 * of two moments. Frame n carries the interlaced flag when n is odd. */
static GstBuffer* box_frame_new(gint n) {
  GstVideoInfo info;
  gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, 160, 48);
  GstBuffer* buffer = gst_buffer_new_allocate(NULL, GST_VIDEO_INFO_SIZE(&info), NULL);
  GstVideoFrame frame;
  fail_unless(gst_video_frame_map(&frame, &info, buffer, GST_MAP_WRITE));
  for (gint y = 0; y < 48; ++y) {
    guint8* row = (guint8*)GST_VIDEO_FRAME_PLANE_DATA(&frame, 0) +
                  y * GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    const gint left = 8 + 12 * n - (n >= 4 && (y & 1) ? 8 : 0);
    for (gint x = 0; x < 160; ++x)
      row[x] = y >= 12 && y < 36 && x >= left && x < left + 20 ? 200 : 40;
  }
  for (guint p = 1; p < 3; ++p) {
    memset(GST_VIDEO_FRAME_PLANE_DATA(&frame, p), 128,
           (gsize)GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p) * GST_VIDEO_FRAME_COMP_HEIGHT(&frame, p));
  }
  gst_video_frame_unmap(&frame);
  GST_BUFFER_PTS(buffer) = (GstClockTime)n * FRAME_TIME;
  GST_BUFFER_DURATION(buffer) = FRAME_TIME;
  if (n & 1) GST_BUFFER_FLAG_SET(buffer, INTERLACE_FLAGS);
  return buffer;
}

/* The output of a new element with `deint` on the box clip in `mode`, then end of stream. */
static GPtrArray* run_box_clip(const char* deint, const char* mode) {
  GstHarness* h = gst_harness_new("quillet");
  gst_util_set_object_arg(G_OBJECT(h->element), "deint", deint);
  g_object_set(h->element, "threads", 2, NULL);
  gchar* caps = g_strdup_printf(
      "video/x-raw,format=I420,width=160,height=48,framerate=25/1,interlace-mode=%s", mode);
  gst_harness_set_src_caps_str(h, caps);
  g_free(caps);
  for (gint n = 0; n < 8; ++n)
    fail_unless_equals_int(gst_harness_push(h, box_frame_new(n)), GST_FLOW_OK);
  gst_harness_push_event(h, gst_event_new_eos());
  GPtrArray* out = take_all(h);
  gst_harness_teardown(h);
  return out;
}

/* deint=interlaced filters the frames marked interlaced (by the buffer's flag in a mixed stream),
 * deint=combed those woven from two moments: each as deint=all filters it. The others come out
 * as they went in. */
GST_START_TEST(deint_filters_the_selected_frames_and_passes_the_others) {
  static const struct {
    const char* deint;
    const char* mode;
    guint filtered; /* bit n: frame n */
  } cases[] = {{"interlaced", "mixed", 0xAA},
               {"interlaced", "interleaved", 0xFF},
               {"interlaced", "progressive", 0x00},
               /* frame 3 pairs unevenly with the woven frame 4 after it */
               {"combed", "interleaved", 0xF8}};
  for (gsize i = 0; i < G_N_ELEMENTS(cases); ++i) {
    GPtrArray* all = run_box_clip("all", cases[i].mode);
    GPtrArray* some = run_box_clip(cases[i].deint, cases[i].mode);
    fail_unless_equals_int(some->len, 8);
    for (gint n = 0; n < 8; ++n) {
      GstBuffer* in = box_frame_new(n);
      const gboolean filtered = (cases[i].filtered >> n) & 1;
      fail_unless(!same_bytes(g_ptr_array_index(all, n), in), "frame %d unfiltered", n);
      fail_unless(same_bytes(g_ptr_array_index(some, n), filtered ? g_ptr_array_index(all, n) : in),
                  "deint=%s %s: frame %d", cases[i].deint, cases[i].mode, n);
      gst_buffer_unref(in);
    }
    g_ptr_array_unref(all);
    g_ptr_array_unref(some);
  }
}
GST_END_TEST;

static Suite* quillet_suite(void) {
  Suite* s = suite_create("quillet");
  TCase* tc = tcase_create("harness");
  suite_add_tcase(s, tc);
  tcase_add_test(tc, latency_is_one_frame_whatever_the_settings);
  tcase_add_test(tc, eos_sends_the_held_frame_with_its_times);
  tcase_add_test(tc, flush_and_discontinuity_start_the_history_again);
  tcase_add_test(tc, properties_change_mid_stream);
  tcase_add_test(tc, caps_change_sends_the_held_frame_first);
  tcase_add_test(tc, deint_filters_the_selected_frames_and_passes_the_others);
  return s;
}

GST_CHECK_MAIN(quillet);
