"""The Python module against the command line, on bad arrays, and in threads."""

import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import quillet
import y4m

CLI = os.environ["QUILLET_BINARY"]

# (width, height, layout, depth, settings): an odd chroma width at 10 bits, both motion modes.
CLIPS = [
    pytest.param(64, 48, "420", 8, {}, id="420-8bit-defaults"),
    pytest.param(64, 48, "420", 8, {"tap": 3, "next_frame": True}, id="420-8bit-next-frame"),
    pytest.param(70, 36, "422", 10,
                 {"tap": 1, "motion2": 32, "max": True, "next_frame": True, "show_motion": True},
                 id="422-10bit-max"),
    pytest.param(45, 32, "411", 8, {"tap": 2, "next_frame": True}, id="411-8bit-odd-width"),
]


def cli_options(settings):
    options = []
    for name, value in settings.items():
        flag = "--" + name.replace("_", "-")
        options += [flag] if value is True else [flag, str(value)]
    return options


def strided(clip):
    """The same frames as views into wider arrays, so that rows lie further apart than their size."""
    views = []
    for planes in clip:
        views.append(tuple(np.pad(p, ((0, 0), (0, 5)))[:, : p.shape[1]] for p in planes))
    return views


def assert_same_frames(got, expected):
    assert len(got) == len(expected)
    for number, (g, e) in enumerate(zip(got, expected)):
        for plane, (a, b) in enumerate(zip(g, e)):
            assert a.dtype == b.dtype.newbyteorder("=") and a.shape == b.shape
            assert np.array_equal(a, b), f"frame {number} plane {plane} differs"


@pytest.mark.parametrize("width, height, layout, depth, settings", CLIPS)
def test_frames_equal_the_command_line(tmp_path, width, height, layout, depth, settings):
    clip = y4m.make_clip(width, height, layout, depth, frames=6, seed=width + depth)
    y4m.write(tmp_path / "in.y4m", clip, width, height, layout, depth)
    subprocess.run([CLI, "--quiet", *cli_options(settings), tmp_path / "in.y4m",
                    tmp_path / "out.y4m"], check=True)
    expected = y4m.read(tmp_path / "out.y4m", width, height, layout, depth)

    extra = {"depth": depth} if depth > 8 else {}
    got = list(quillet.filter_frames(strided(clip), threads=2, **extra, **settings))
    assert_same_frames(got, expected)
    assert any(not np.array_equal(g[0], c[0]) for g, c in zip(got, clip)), "nothing was filtered"


def repack(planes, layout):
    """A planar frame's samples in a semi-planar or packed layout, in PyAV's shapes: nv12's two
    parts (Y, then the chroma pairs as rows of bytes); yuyv422's (H, W, 2) pixel slots."""
    y, cb, cr = planes
    first, second = (cr, cb) if layout in ("nv21", "yvyu") else (cb, cr)
    if layout in ("nv12", "nv21", "p010", "p016"):
        pairs = np.stack([first, second], axis=-1).reshape(first.shape[0], -1)
        return (y << 6, pairs << 6) if layout == "p010" else (y, pairs)
    height, width = y.shape
    luma = np.concatenate([y, y[:, -1:]], axis=1)[:, : 2 * cb.shape[1]]  # odd width: Y repeated
    chroma = np.stack([first, second], axis=-1).reshape(height, -1)
    return (np.stack((chroma, luma) if layout == "uyvy" else (luma, chroma), axis=-1),)


@pytest.mark.parametrize("layout, planar, depth", [
    ("nv12", "420", 8), ("nv21", "420", 8), ("p010", "420", 10), ("p016", "420", 16),
    ("yuy2", "422", 8), ("uyvy", "422", 8), ("yvyu", "422", 8)])
def test_layouts_give_their_planar_equivalents_output_repacked(layout, planar, depth):
    width, height = 37, 21
    clip = y4m.make_clip(width, height, planar, depth, frames=5, seed=depth)
    settings = {"tap": 3, "next_frame": True, "threads": 2}
    want = list(quillet.filter_frames(clip, depth=depth, **settings))
    got = list(quillet.filter_frames([repack(p, layout) for p in clip], width=width, layout=layout,
                                     **settings))
    assert_same_frames(got, [repack(p, layout) for p in want])
    assert not np.array_equal(got[1][0], repack(clip[1], layout)[0]), "nothing was filtered"


def _planes(width=64, height=48, dtype=np.uint16):
    return tuple(np.zeros(shape, dtype) for shape in y4m.plane_shapes(width, height, "420"))


@pytest.mark.parametrize("planes, message", [
    pytest.param(_planes()[:2], "has 3 plane", id="two planes"),
    pytest.param(_planes(dtype=np.uint8), "dtype uint8; 10-bit frames need uint16", id="uint8"),
    pytest.param(tuple(p.astype(">u2") for p in _planes()), "dtype >u2", id="big-endian"),
    pytest.param(tuple(p.astype(np.int16) for p in _planes()), "dtype int16", id="int16"),
    pytest.param((_planes()[0].T,) + _planes()[1:], r"plane 0 has shape \(64, 48\)",
                 id="transposed"),
    pytest.param((_planes()[0].ravel(),) + _planes()[1:], r"shape \(3072,\)", id="1-D"),
    pytest.param(_planes()[:1] * 3, r"plane 1 has shape \(48, 64\).* needs \(24, 32\)",
                 id="full-size chroma"),
    pytest.param((np.zeros((48, 128), np.uint16)[:, ::2],) + _planes()[1:], "strides",
                 id="every other column"),
    pytest.param((np.zeros((48, 64), np.uint16)[::-1],) + _planes()[1:], "strides",
                 id="rows upside down"),
    pytest.param((_planes()[0].tolist(),) + _planes()[1:], "not a numpy array", id="list"),
])
def test_bad_planes_raise_and_take_nothing(planes, message):
    f = quillet.Filter(64, 48, "420", 10)
    with pytest.raises(ValueError, match=message):
        f.push(planes)
    assert f.push(_planes()) == []  # frame 0 waits for frame 1 or the flush
    assert len(f.flush()) == 1


@pytest.mark.parametrize("args, kwargs, message", [
    ((64, 48, "410"), {}, "layout '410'"),
    ((64, 48, "420", 7), {}, "depth 7"),
    ((64, 48, "420", 17), {}, "depth 17"),
    ((0, 48), {}, "frame size 0x48"),
    ((64, 48), {"tap": 7}, r"tap 7 is outside 0\.\.6"),
    ((64, 48), {"motion": -1}, "motion -1"),
    ((64, 48), {"threads": 257}, "threads 257"),
    ((64, 48), {"cpu": "vliw"}, "cpu 'vliw'"),
])
def test_bad_arguments(args, kwargs, message):
    with pytest.raises(ValueError, match=message):
        quillet.Filter(*args, **kwargs)


def test_push_after_flush_is_an_error():
    f = quillet.Filter(64, 48, next_frame=True)
    f.push(_planes(dtype=np.uint8))
    assert len(f.flush()) == 1
    with pytest.raises(RuntimeError, match="after the flush"):
        f.push(_planes(dtype=np.uint8))


def test_two_filters_in_two_threads():
    jobs = [((96, 64, "420", 8), {"tap": 2, "next_frame": True}),
            ((70, 36, "422", 10), {"tap": 5, "max": True})]
    clips = [y4m.make_clip(*shape, frames=12, seed=n) for n, (shape, _) in enumerate(jobs)]

    def run(n):
        (width, height, layout, depth), settings = jobs[n]
        f = quillet.Filter(width, height, layout, depth, threads=2, **settings)
        out = []
        for planes in clips[n]:
            out += f.push(planes)
        return out + f.flush()

    alone = [run(n) for n in range(len(jobs))]
    together = [None] * len(jobs)
    start = threading.Barrier(len(jobs))

    def worker(n):
        start.wait()
        together[n] = run(n)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for n in range(len(jobs)):
        assert_same_frames(together[n], alone[n])


def test_one_filter_shared_by_threads_loses_no_frame():
    """Frames whose columns are constant down the frame come out as they went in; columns 0..2
    name the thread and the frame, so every frame can be found once among what came out."""
    f = quillet.Filter(128, 128, tap=3)
    chroma = np.full((64, 64), 128, np.uint8)
    names = [(n, k // 100, k % 100) for n in range(4) for k in range(400)]
    received = [[] for _ in range(4)]
    start = threading.Barrier(4)

    def worker(n):
        start.wait()
        for name in names[n * 400:(n + 1) * 400]:
            luma = np.full((128, 128), 16, np.uint8)
            luma[:, :3] = np.add(name, 16)
            received[n] += f.push((luma, chroma, chroma))

    # The GIL changes hands often, so that the threads' calls interleave finely.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    sys.setswitchinterval(interval)
    out = sum(received, []) + f.flush()
    assert sorted(tuple(int(v) - 16 for v in y[0, :3]) for y, _, _ in out) == names


@pytest.mark.parametrize("width, height, view", [
    pytest.param(1, 4, lambda p: np.repeat(p, 3, axis=1)[:, ::3], id="one column, strided"),
    pytest.param(5, 1, lambda p: np.lib.stride_tricks.as_strided(p, strides=(0, p.strides[1])),
                 id="one row, row stride 0"),
])
def test_planes_whose_unused_strides_are_odd(width, height, view):
    clip = y4m.make_clip(width, height, "420", 8, frames=3, seed=5)
    views = [tuple(view(p) for p in planes) for planes in clip]
    assert_same_frames(list(quillet.filter_frames(views, tap=2)),
                       list(quillet.filter_frames(clip, tap=2)))


def _box_clip(width=160, height=48, frames=8, woven_from=4):
    """A bright box moving right over a dark ground, 12 pixels a frame; from frame `woven_from` on
    its odd rows lie 8 pixels behind, as in a frame woven from fields of two moments."""
    y, x = np.arange(height)[:, None], np.arange(width)
    chroma = np.full(((height + 1) // 2, (width + 1) // 2), 128, np.uint8)
    clip = []
    for f in range(frames):
        left = 8 + 12 * f - (8 * (y % 2) if f >= woven_from else 0)
        box = (y >= 12) & (y < 36) & (x >= left) & (x < left + 20)
        clip.append((np.where(box, 200, 40).astype(np.uint8), chroma, chroma))
    return clip


@pytest.mark.parametrize("deint, marks, filtered", [
    # Frame 3 pairs unevenly with the woven frame after it, which took its fields from two
    # moments, and is filtered as well.
    pytest.param("combed", [True] * 8, [False] * 3 + [True] * 5, id="combed"),
    pytest.param("interlaced", [True, False] * 4, [True, False] * 4, id="interlaced"),
])
def test_deint_filters_the_selected_frames_and_passes_the_others(deint, marks, filtered):
    clip = _box_clip()

    def run(**settings):
        f = quillet.Filter(160, 48, threads=2, **settings)
        out = []
        for planes, mark in zip(clip, marks):
            out += f.push(planes, interlaced=mark)
        return out + f.flush()

    every = run()
    some = run(deint=deint)
    assert len(some) == len(clip)
    for k, (planes, expected, got) in enumerate(zip(clip, every, some)):
        # The first frame too: frame 1 stands in for its missing previous frame.
        assert not np.array_equal(expected[0], planes[0]), f"frame {k}: filtering must show"
        assert_same_frames([got], [expected if filtered[k] else planes])
