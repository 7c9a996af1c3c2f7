#!/usr/bin/python3
"""Deinterlaces a video file: decode with PyAV, filter with quillet, encode; audio is copied.

    examples/deinterlace_video.py in.mkv out.mkv --tap 3 --next-frame

Needs Debian's python3-av and python3-numpy, and the quillet module on the path (installed, or
PYTHONPATH=build/release/python).
"""

import argparse
import collections

import av
import numpy as np

import quillet

# PyAV's planar formats the filter takes as they are: layout and bit depth.
FORMATS = {"gray": ("mono", 8), "yuvj420p": ("420", 8), "yuvj422p": ("422", 8),
           "yuvj444p": ("444", 8)}
for _layout in ("420", "422", "444"):
    FORMATS[f"yuv{_layout}p"] = (_layout, 8)
    for _depth in (10, 12, 16):
        FORMATS[f"yuv{_layout}p{_depth}le"] = (_layout, _depth)
for _depth in (10, 12, 16):
    FORMATS[f"gray{_depth}le"] = ("mono", _depth)


def planes_of(frame, depth):
    """The frame's planes as numpy views, rows as far apart as the decoder left them."""
    dtype = np.dtype("<u2" if depth > 8 else np.uint8)
    views = []
    for plane in frame.planes:
        rows = np.frombuffer(plane, dtype).reshape(plane.height, plane.line_size // dtype.itemsize)
        views.append(rows[:, : plane.width])
    return tuple(views)


def frame_of(planes, template):
    frame = av.VideoFrame(template.width, template.height, template.format.name)
    for plane, data in zip(frame.planes, planes):
        rows = np.frombuffer(plane, data.dtype).reshape(plane.height, -1)
        rows[:, : data.shape[1]] = data
    frame.pts, frame.time_base = template.pts, template.time_base
    return frame


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input")
    parser.add_argument("output")
    parser.add_argument("--codec", default="libx264", help="video encoder (default libx264)")
    parser.add_argument("--crf", default="18", help="quality for x264/x265 (default 18)")
    for name, default in (("tap", 0), ("top", 0), ("bottom", 0), ("motion", 24),
                          ("motion2", 64), ("threads", 0)):
        parser.add_argument("--" + name, type=int, default=default)
    for name in ("show-motion", "next-frame", "max"):
        parser.add_argument("--" + name, action="store_true")
    args = parser.parse_args()
    settings = {name: getattr(args, name) for name in ("tap", "top", "bottom", "motion", "motion2",
                                                        "show_motion", "next_frame", "max",
                                                        "threads")}

    source = av.open(args.input)
    video_in = source.streams.video[0]
    audio_in = source.streams.audio[0] if source.streams.audio else None
    sink = av.open(args.output, "w")
    video_out = sink.add_stream(args.codec, rate=video_in.average_rate or 25)
    video_out.width, video_out.height = video_in.codec_context.width, video_in.codec_context.height
    video_out.time_base = video_in.time_base
    if args.codec in ("libx264", "libx265"):
        video_out.options = {"crf": args.crf}
    audio_out = sink.add_stream(template=audio_in) if audio_in else None

    engine = None
    waiting = collections.deque()  # the decoded frames the filter still holds, for their times

    def encode(outputs):
        for planes in outputs:
            for packet in video_out.encode(frame_of(planes, waiting.popleft())):
                sink.mux(packet)

    streams = [video_in] + ([audio_in] if audio_in else [])
    for packet in source.demux(*streams):
        if packet.stream is audio_in:
            if packet.dts is not None:
                packet.stream = audio_out
                sink.mux(packet)
            continue
        for frame in packet.decode():
            if frame.format.name not in FORMATS:
                frame = frame.reformat(format="yuv420p")
            layout, depth = FORMATS[frame.format.name]
            if engine is None:
                engine = quillet.Filter(frame.width, frame.height, layout, depth, **settings)
                video_out.pix_fmt = frame.format.name
            waiting.append(frame)
            encode(engine.push(planes_of(frame, depth)))
    if engine is not None:
        encode(engine.flush())
    for packet in video_out.encode():
        sink.mux(packet)
    sink.close()
    source.close()


if __name__ == "__main__":
    main()
