#!/usr/bin/env python3
"""How well `quillet --deint combed` sorts the clips of bench/comb_material.sh, beside ffmpeg's
idet (its single-frame verdicts) on the same frames.

usage: bench/comb_accuracy.py QUILLET DIR [QUILLET-OPTIONS...]

Each NAME-woven.y4m frame should be filtered, each NAME-prog.y4m frame passed; the woven
frames of a still picture (NAME with "-still-": the fields differ only in their grain) are listed
as "still" and counted neither way. quillet runs the
clip twice, with --deint combed and with --deint all, the motion display on at the lowest
threshold, so that every filtered frame shows; a frame that comes out as the input is passed, one that
comes out as the --deint all frame filtered (a frame both leave as it is counts as neither).
Prints one line per clip and the totals; plain Python, ffmpeg on the PATH."""
import glob
import os
import subprocess
import sys
import tempfile


def frames(path):
    """The payloads of a Y4M file, one bytes object a frame."""
    with open(path, "rb") as f:
        data = f.read()
    header_end = data.index(b"\n")
    fields = data[:header_end].split()
    w = int(next(p[1:] for p in fields if p.startswith(b"W")))
    h = int(next(p[1:] for p in fields if p.startswith(b"H")))
    size = w * h * 3 // 2
    out, at = [], header_end + 1
    while at < len(data):
        at = data.index(b"\n", at) + 1
        out.append(data[at : at + size])
        at += size
    return out


def idet(path):
    """idet's single-frame verdict for each frame: tff, bff, progressive or undetermined."""
    text = subprocess.run(
        ["ffmpeg", "-nostdin", "-hide_banner", "-i", path, "-vf",
         "idet,metadata=mode=print:file=-", "-f", "null", "-"],
        capture_output=True, text=True, check=True).stdout
    key = "lavfi.idet.single.current_frame="
    return [line[len(key):] for line in text.splitlines() if line.startswith(key)]


def main():
    quillet, clips = sys.argv[1], sys.argv[2]
    extra = sys.argv[3:]
    total = {"woven": [0] * 6, "prog": [0] * 6, "still": [0] * 6}
    print(f"{'clip':24} {'truth':6} {'filtered':>8} {'passed':>6} {'neither':>7}"
          f" {'idet i':>6} {'idet p':>6} {'idet ?':>6}")
    with tempfile.TemporaryDirectory() as tmp:
        for path in sorted(glob.glob(os.path.join(clips, "*-woven.y4m")) +
                           glob.glob(os.path.join(clips, "*-prog.y4m"))):
            name = os.path.basename(path)[:-4]
            truth = name.rsplit("-", 1)[1]
            if truth == "woven" and "-still-" in name:
                truth = "still"
            outs = {}
            for deint in ("combed", "all"):
                out = os.path.join(tmp, deint + ".y4m")
                subprocess.run([quillet, "--quiet", "--motion", "1", "--motion2", "0", "--show-motion", "--deint",
                                deint, *extra, path, out], check=True)
                outs[deint] = frames(out)
            source = frames(path)
            filtered = passed = neither = 0
            for n, f in enumerate(source):
                c, a = outs["combed"][n], outs["all"][n]
                if c == f and c != a:
                    passed += 1
                elif c == a and c != f:
                    filtered += 1
                else:
                    neither += 1
            verdicts = idet(path)
            i = sum(v in ("tff", "bff") for v in verdicts)
            p = verdicts.count("progressive")
            u = verdicts.count("undetermined")
            for k, v in enumerate((filtered, passed, neither, i, p, u)):
                total[truth][k] += v
            print(f"{name:24} {truth:6} {filtered:8} {passed:6} {neither:7} {i:6} {p:6} {u:6}",
                  flush=True)
    for truth, t in total.items():
        print(f"{'total':24} {truth:6} {t[0]:8} {t[1]:6} {t[2]:7} {t[3]:6} {t[4]:6} {t[5]:6}")
    wrong = total["woven"][1] + total["prog"][0]
    frames_all = sum(total["woven"][:3]) + sum(total["prog"][:3])
    idet_wrong = total["woven"][4] + total["prog"][3]
    print(f"quillet wrong {wrong} of {frames_all} frames; idet wrong {idet_wrong} "
          f"(undetermined not counted)")


if __name__ == "__main__":
    main()
