"""examples/deinterlace_video.py on a small file, encoded losslessly so its frames can be checked."""

import os
import subprocess
import sys
from pathlib import Path

import av
import numpy as np
import pytest

import quillet

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "deinterlace_video.py"


def decoded(path):
    with av.open(str(path)) as container:
        frames = []
        for frame in container.decode(video=0):
            frames.append(tuple(np.array(p, copy=True) for p in _planes(frame)))
        audio = sum(1 for _ in container.demux(audio=0)) if container.streams.audio else 0
    return frames, frame.format.name, audio


def _planes(frame):
    dtype = np.dtype("<u2") if frame.format.name.endswith("le") else np.dtype(np.uint8)
    return [np.frombuffer(p, dtype).reshape(p.height, -1)[:, : p.width] for p in frame.planes]


def test_example_filters_video_and_copies_audio(tmp_path):
    source, result = tmp_path / "in.mkv", tmp_path / "out.mkv"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                    "testsrc=size=90x64:rate=25:duration=0.48", "-f", "lavfi", "-i",
                    "sine=duration=0.48", "-vf", "interlace,format=yuv422p10le", "-c:v", "ffv1",
                    "-c:a", "pcm_s16le", source], check=True)
    subprocess.run([sys.executable, EXAMPLE, source, result, "--codec", "ffv1", "--tap", "2",
                    "--next-frame"], check=True, env=os.environ)

    frames, pixel_format, audio_in = decoded(source)
    got, got_format, audio_out = decoded(result)
    expected = list(quillet.filter_frames(frames, depth=10, tap=2, next_frame=True))
    assert (got_format, len(got), audio_out) == (pixel_format, len(expected), audio_in)
    for g, e in zip(got, expected):
        assert all(np.array_equal(a, b) for a, b in zip(g, e))


def _ffmpeg(*args):
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", *map(str, args)], check=True)


def _generate(kind, path):
    """Inputs the example must end cleanly on: (exit code, message, frames written)."""
    src = ["-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=0.24"]
    if kind == "size change":
        parts = []
        for i, size in enumerate(("64x48", "48x32")):
            parts.append(path.with_name(f"part{i}.ts"))
            _ffmpeg("-f", "lavfi", "-i", f"testsrc=size={size}:rate=25:duration=0.24",
                    "-c:v", "mpeg2video", parts[-1])
        path.write_bytes(b"".join(p.read_bytes() for p in parts))
        return 1, "one run filters one frame size", "leading"
    if kind == "no video":
        _ffmpeg("-f", "lavfi", "-i", "sine=duration=0.2", path)
        return 1, "no video stream", None
    if kind == "odd width":
        _ffmpeg("-f", "lavfi", "-i", "testsrc=size=63x47:rate=25:duration=0.24", "-c:v", "ffv1",
                path)
        return 0, "encoding it as yuv444p", 6
    _ffmpeg(*src, "-pix_fmt", "yuv420p16le", "-c:v", "ffv1", path)  # 16 bits
    return 0, "encoding it as yuv420p10le", 6


@pytest.mark.parametrize("kind", ["size change", "no video", "odd width", "16-bit"])
def test_example_ends_with_a_message_and_a_finished_file(tmp_path, kind):
    source = tmp_path / ("in.ts" if kind == "size change" else "in.mkv")
    code, message, frames = _generate(kind, source)
    run = subprocess.run([sys.executable, EXAMPLE, source, tmp_path / "out.mkv"],
                         capture_output=True, text=True, env=os.environ)
    assert (run.returncode, "Traceback" in run.stderr) == (code, False), run.stderr
    assert message in run.stderr
    if frames == "leading":  # the frames before the size changes
        sizes = [f[0].shape for f in decoded(source)[0]]
        frames = sizes.index(next(s for s in sizes if s != sizes[0]))
    if frames is not None:
        assert len(decoded(tmp_path / "out.mkv")[0]) == frames


def test_example_deint_interlaced_follows_each_frames_flag(tmp_path):
    source, result = tmp_path / "mixed.mkv", tmp_path / "out.mkv"
    streams = []
    for i, params in enumerate(("interlaced=1", "interlaced=0")):
        streams.append(tmp_path / f"p{i}.h264")
        _ffmpeg("-f", "lavfi", "-i", "testsrc=size=64x48:rate=25", "-frames:v", 4, "-c:v",
                "libx264", "-bf", 0, "-x264-params", params, streams[-1])
    mixed = tmp_path / "mixed.h264"
    mixed.write_bytes(streams[0].read_bytes() + streams[1].read_bytes())
    _ffmpeg("-framerate", 25, "-i", mixed, "-c", "copy", source)
    subprocess.run([sys.executable, EXAMPLE, source, result, "--codec", "ffv1", "--motion", "0",
                    "--tap", "3", "--deint", "interlaced"], check=True, env=os.environ)
    before, after = decoded(source)[0], decoded(result)[0]
    changed = [not all(np.array_equal(a, b) for a, b in zip(x, y)) for x, y in zip(before, after)]
    assert changed == [True] * 4 + [False] * 4
