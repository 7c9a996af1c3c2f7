"""examples/deinterlace_video.py on a small file, encoded losslessly so its frames can be checked."""

import os
import subprocess
import sys
from pathlib import Path

import av
import numpy as np

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
