"""Quillet++: removes interlace combing from video frames held as numpy arrays.

    import quillet
    f = quillet.Filter(1920, 1080, "420", depth=8, tap=3, next_frame=True)
    for planes in frames:               # each a tuple (Y, Cb, Cr) of 2-D uint8 arrays
        for out in f.push(planes):
            write(out)
    for out in f.flush():
        write(out)
"""

from ._quillet import Filter

__all__ = ["Filter", "filter_frames"]


# Layouts whose depth is their own: semi-planar (Y and chroma pairs) and packed 4:2:2.
_FIXED_DEPTH = {"nv12", "nv21", "p010", "p016", "yuy2", "uyvy", "yvyu"}
_PACKED = {"yuy2", "uyvy", "yvyu"}


def _layout_of(planes, width, height):
    if len(planes) == 1:
        return "mono"
    if len(planes) != 3:
        raise ValueError(f"a frame has 1 or 3 planes, got {len(planes)}; "
                         "semi-planar and packed frames need layout=")
    half_width, half_height = (width + 1) // 2, (height + 1) // 2
    # Where the shapes coincide (widths below 5), the wider layout wins; give layout= for 4:1:1.
    layouts = {(height, (width + 3) // 4): "411", (height, width): "444",
               (height, half_width): "422", (half_height, half_width): "420"}
    shape = tuple(getattr(planes[1], "shape", ()))
    if shape not in layouts:
        raise ValueError(f"plane 1 has shape {shape}, which fits no layout of a "
                         f"{width}x{height} frame")
    return layouts[shape]


def filter_frames(frames, *, width=None, height=None, layout=None, depth=None, **settings):
    """Yields the filtered frames of an iterable of frames, in order.

    Width, height and layout are taken from the first frame unless given (semi-planar and
    packed frames need layout=, and packed ones of an odd width width=); so is the depth of
    uint8 frames (8). uint16 planar frames hold 9 to 16 bits, so their depth must be given. The
    other keyword arguments are Filter's settings.
    """
    engine = None
    for planes in frames:
        if engine is None:
            luma = planes[0]
            if getattr(luma, "ndim", 0) != (3 if layout in _PACKED else 2):
                raise ValueError("plane 0 of the first frame is not a numpy array of the "
                                 "layout's shape")
            if height is None:
                height = luma.shape[0]
            if width is None:
                width = luma.shape[1]
            if layout is None:
                layout = _layout_of(planes, width, height)
            if depth is None and layout in _FIXED_DEPTH:
                depth = 8  # the layout's own depth applies
            if depth is None:
                if luma.dtype.itemsize != 1:
                    raise ValueError(f"frames of {luma.dtype} need depth= (9 to 16)")
                depth = 8
            engine = Filter(width, height, layout, depth, **settings)
        yield from engine.push(planes)
    if engine is not None:
        yield from engine.flush()
