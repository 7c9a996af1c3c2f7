#!/usr/bin/python3
"""Deinterlaces a video file: decode with PyAV, filter with quillet, encode; audio is copied.

    examples/deinterlace_video.py in.mkv out.mkv --tap 3 --next-frame
    examples/deinterlace_video.py broadcast.ts out.mkv --deint interlaced

Every frame keeps its timestamp, and the decoder's interlaced flag goes with it to the filter
(--deint interlaced filters only the frames flagged interlaced). A frame size that changes
mid-stream, a decode error or Ctrl-C ends the run with a message and a finished file holding the
frames so far. Needs Debian's python3-av and python3-numpy, and the quillet module on the path
(installed, or PYTHONPATH=build/release/python).
"""

import argparse
import collections
import sys

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


def say(message):
    print(f"deinterlace_video: {message}", file=sys.stderr)


def planes_of(frame, depth):
    """The frame's planes as numpy views, rows as far apart as the decoder left them."""
    dtype = np.dtype("<u2" if depth > 8 else np.uint8)
    views = []
    for plane in frame.planes:
        rows = np.frombuffer(plane, dtype).reshape(plane.height, plane.line_size // dtype.itemsize)
        views.append(rows[:, : plane.width])
    return tuple(views)


def frame_of(planes, template, encode_format):
    frame = av.VideoFrame(template.width, template.height, template.format.name)
    for plane, data in zip(frame.planes, planes):
        rows = np.frombuffer(plane, data.dtype).reshape(plane.height, -1)
        rows[:, : data.shape[1]] = data
    if encode_format != template.format.name:
        frame = frame.reformat(format=encode_format)
    frame.pts, frame.time_base = template.pts, template.time_base
    return frame


def encode_format(codec, name, width, height):
    """The pixel format to encode frames of `name` in, and why it is not `name` (None if it is).

    The format itself where the encoder takes it; else the same layout at the nearest depth it
    has. Subsampled chroma needs an even width (and height for 4:2:0) in the x264 family: an odd
    size is encoded as 4:4:4 instead."""
    try:
        taken = [f.name for f in av.codec.Codec(codec, "w").video_formats or []]
    except (ValueError, av.AVError):
        return name, None
    layout, depth = FORMATS[name]
    odd = width % 2 == 1 or (layout == "420" and height % 2 == 1)
    reason = None
    if odd and layout in ("420", "422") and codec.startswith("libx26"):
        layout, reason = "444", f"{width}x{height} (odd) in {name}"
    elif not taken or name in taken:
        return name, None
    else:
        reason = name
    choices = [(FORMATS[n][1], n) for n in taken
               if n in FORMATS and FORMATS[n][0] == layout and not n.startswith("yuvj")]
    if not choices:
        return name, None  # the encoder will say what it takes
    below = [c for c in choices if c[0] <= depth]
    chosen = max(below) if below else min(choices)
    return chosen[1], f"{codec} does not take {reason}; encoding it as {chosen[1]}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input")
    parser.add_argument("output")
    parser.add_argument("--codec", default="libx264", help="video encoder (default libx264)")
    parser.add_argument("--crf", default="16", help="quality for x264/x265 (default 16)")
    for name, default in (("tap", 0), ("top", 0), ("bottom", 0), ("motion", 24),
                          ("motion2", 64), ("threads", 0)):
        parser.add_argument("--" + name, type=int, default=default)
    for name in ("show-motion", "next-frame", "max"):
        parser.add_argument("--" + name, action="store_true")
    parser.add_argument("--deint", choices=("all", "interlaced", "combed"), default="all",
                        help="frames to filter: all, those the decoder flags interlaced, or those "
                             "the comb detector finds combed (default all)")
    parser.add_argument("--comb-sensitivity", type=int, default=40,
                        help="comb detector sensitivity 1..100 for --deint combed (default 40)")
    args = parser.parse_args()
    settings = {name: getattr(args, name) for name in ("tap", "top", "bottom", "motion", "motion2",
                                                        "show_motion", "next_frame", "max",
                                                        "threads", "deint", "comb_sensitivity")}

    try:
        source = av.open(args.input)
    except av.AVError as error:
        sys.exit(f"deinterlace_video: cannot open {args.input}: {error}")
    if not source.streams.video:
        kinds = ", ".join(s.type for s in source.streams) or "nothing"
        sys.exit(f"deinterlace_video: {args.input} has no video stream (it holds {kinds})")
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
    first = None  # (width, height, format) of the first frame
    out_format = None
    waiting = collections.deque()  # the decoded frames the filter still holds, for their times
    failure, code, count = None, 0, 0

    def encode(outputs):
        for planes in outputs:
            for packet in video_out.encode(frame_of(planes, waiting.popleft(), out_format)):
                sink.mux(packet)

    streams = [video_in] + ([audio_in] if audio_in else [])
    try:
        for packet in source.demux(*streams):
            if packet.stream is audio_in:
                if packet.dts is not None:
                    packet.stream = audio_out
                    sink.mux(packet)
                continue
            for frame in packet.decode():
                if frame.format.name not in FORMATS:
                    frame = frame.reformat(format="yuv420p")
                if first is None:
                    first = (frame.width, frame.height, frame.format.name)
                    layout, depth = FORMATS[frame.format.name]
                    engine = quillet.Filter(frame.width, frame.height, layout, depth, **settings)
                    out_format, why = encode_format(args.codec, frame.format.name, frame.width,
                                                    frame.height)
                    if why:
                        say(why)
                    video_out.pix_fmt = out_format
                elif (frame.width, frame.height) != first[:2]:
                    raise ValueError(f"frame {count} is {frame.width}x{frame.height} where the "
                                     f"video began at {first[0]}x{first[1]}; one run filters one "
                                     "frame size")
                elif frame.format.name != first[2]:
                    frame = frame.reformat(format=first[2])
                waiting.append(frame)
                encode(engine.push(planes_of(frame, depth), interlaced=frame.interlaced_frame))
                count += 1
    except KeyboardInterrupt:
        failure, code = "interrupted", 130
    except (av.AVError, ValueError) as error:
        failure, code = str(error), 1
    try:
        if engine is not None:
            encode(engine.flush())
        for packet in video_out.encode():
            sink.mux(packet)
    except av.AVError as error:
        failure, code = failure or f"cannot encode: {error}", 1
    sink.close()
    source.close()
    if failure:
        say(f"{failure}; {args.output} holds the {count} frames before it")
    sys.exit(code)


if __name__ == "__main__":
    main()
