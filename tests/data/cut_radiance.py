#!/usr/bin/env python3
"""Cuts a band of whole rows out of a run-length Radiance file, keeping every other byte.

The rows are copied as the writing program encoded them and the header keeps its lines, so the
smaller file still tests the readers on another program's output; only the resolution line changes.

    cut_radiance.py IN OUT FIRST_ROW ROWS
"""
import sys


def scanline_end(data, pos, width):
    """End of the run-length scanline starting at pos (new-style: 2 2 hi lo, four channels)."""
    if data[pos] != 2 or data[pos + 1] != 2 or (data[pos + 2] << 8 | data[pos + 3]) != width:
        raise ValueError(f"not a run-length scanline of width {width} at byte {pos}")
    pos += 4
    for _ in range(4):
        x = 0
        while x < width:
            count = data[pos]
            if count > 128:
                x += count - 128
                pos += 2
            else:
                x += count
                pos += 1 + count
        if x != width:
            raise ValueError(f"a run overshoots the row at byte {pos}")
    return pos


def main():
    src, dst, first, rows = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    data = open(src, "rb").read()
    header_end = data.index(b"\n\n") + 2
    res_end = data.index(b"\n", header_end) + 1
    fields = data[header_end:res_end].split()
    if fields[0] != b"-Y" or fields[2] != b"+X":
        raise ValueError("only top-to-bottom, left-to-right files are cut")
    height, width = int(fields[1]), int(fields[3])
    if first + rows > height:
        raise ValueError(f"the file has {height} rows")
    starts, pos = [], res_end
    for _ in range(height):
        starts.append(pos)
        pos = scanline_end(data, pos, width)
    starts.append(pos)
    if pos != len(data):
        raise ValueError("bytes after the last row")
    with open(dst, "wb") as out:
        out.write(data[:header_end])
        out.write(b"-Y %d +X %d\n" % (rows, width))
        out.write(data[starts[first]:starts[first + rows]])


if __name__ == "__main__":
    main()
