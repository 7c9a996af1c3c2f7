"""Small Y4M clips for the tests: made from numpy planes, written, and read back."""

import numpy as np

TAGS = {"444": "444", "422": "422", "420": "420", "411": "411", "mono": "mono"}


def plane_shapes(width, height, layout):
    if layout == "mono":
        return [(height, width)]
    half_width, half_height = (width + 1) // 2, (height + 1) // 2
    chroma = {"444": (height, width), "422": (height, half_width), "420": (half_height, half_width),
              "411": (height, (width + 3) // 4)}
    return [(height, width), chroma[layout], chroma[layout]]


def make_clip(width, height, layout, depth, frames, seed):
    """A bright bar moving right over dim noise, its two fields a few pixels apart."""
    rng = np.random.default_rng(seed)
    dtype = np.uint8 if depth == 8 else np.uint16
    top = (1 << depth) - 1
    shapes = plane_shapes(width, height, layout)
    clip = []
    for f in range(frames):
        planes = []
        for rows, columns in shapes:
            x = np.arange(columns)
            y = np.arange(rows)[:, None]
            left = (6 * f + 3 * (y % 2)) * columns // width
            bar = (x >= left) & (x < left + columns // 4)
            noise = rng.integers(0, top // 4, size=(rows, columns))
            planes.append(np.where(bar, top - noise, noise).astype(dtype))
        clip.append(tuple(planes))
    return clip


def _tag(layout, depth):
    if depth == 8:
        return "420jpeg" if layout == "420" else TAGS[layout]
    return f"{TAGS[layout]}{depth}" if layout == "mono" else f"{TAGS[layout]}p{depth}"


def write(path, clip, width, height, layout, depth):
    with open(path, "wb") as out:
        out.write(f"YUV4MPEG2 W{width} H{height} F25:1 It A1:1 C{_tag(layout, depth)}\n".encode())
        for planes in clip:
            out.write(b"FRAME\n")
            for plane in planes:
                out.write(plane.astype("<u2" if depth > 8 else np.uint8).tobytes())


def read(path, width, height, layout, depth):
    dtype = np.dtype("<u2" if depth > 8 else np.uint8)
    shapes = plane_shapes(width, height, layout)
    data = open(path, "rb").read()
    at = data.index(b"\n") + 1
    clip = []
    while at < len(data):
        at = data.index(b"\n", at) + 1
        planes = []
        for rows, columns in shapes:
            size = rows * columns * dtype.itemsize
            planes.append(np.frombuffer(data, dtype, rows * columns, at).reshape(rows, columns))
            at += size
        clip.append(tuple(planes))
    return clip
