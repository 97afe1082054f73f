/* SPDX-License-Identifier: MIT */
/* RGBE pixels, Radiance picture files and 16-bit conversion.
 *
 * RGBE pixel: red, green, blue mantissas and a shared exponent byte E; a channel decodes to
 * mantissa * 2^(E - 136) (no half-step offset); all four bytes 0 is black. Encoding splits the
 * largest component M as f * 2^e (f in [0.5, 1)), scales every channel by f * 256 / M and
 * truncates, and stores E = e + 128. Negative and NaN channels encode as 0, +inf as the largest
 * float; colours too bright for E = 255 are clamped to mantissa 255 at E = 255 (ratios kept),
 * colours too faint for E = 1 become black: the exponent byte never wraps.
 *
 * RGBE buffer: every RGBE buffer is scanline-planar, rows from the top; each row of width W
 * holds W red, W green, W blue, then W exponent bytes. A W x H picture takes 4 * W * H bytes;
 * callers must compute that size in 64 bits (100000 x 100000 is 40 GB, far beyond 32 bits).
 *
 * RadianceDims: int32_t[7]. Slot 0 width, slot 1 height, slot 2 file size in bytes (files of
 * 2 GiB or more are recorded as INT32_MAX), slots 3-5 unused, slot 6 primaries flag (32 when
 * a primaries line was read).
 *
 * No function here keeps state between calls or starts threads; buffers belong to the caller.
 * Result codes of the Radiance functions:
 *   -1  the file cannot be opened (missing, not a regular file, e.g. a directory) or positioned;
 *       decomp_rle/decomp2: the pixel data ends where a run-length packet code is expected
 *   -2  a header line cannot be read (the file ends first); decomp_rle: the file is shorter than
 *       the record's slot 2; both readers: the pixel data ends inside a row header, a packet or
 *       a flat row, or there is no data after the resolution line
 *   -3  no usable resolution line ("-Y <height> +X <width>", both positive) within the header
 *       line limit, or one that disagrees with the record's width and height; also a record
 *       with a width or height below 1, or a null output buffer
 *   -4  a run-length row header declares another width; decomp2: a work buffer cannot be
 *       allocated
 *   -5  a run-length repeat runs past the end of its component
 *   -6  a packet code of 0, or a literal that runs past the end of its component; decomp2: a
 *       row header whose width byte has its top bit set
 * The two readers give the same code for the same truncated pixel data. A failed read leaves
 * the output partly written, never written past 4 * W * H bytes. */
#ifndef TMLIB_RGBE_H
#define TMLIB_RGBE_H

#include "tmlib/base.h"

TMLIB_EXTERN_C_BEGIN

/* Fills table[256] with table[i] = 2^(i + offset - 128): with offset -8, mantissa * table[E] is
 * the decoded channel; with offset 0 it is 256 times that. Returns 256. */
TMLIB_API int exp_lut(float *table, int offset);

/* Reads the header of the Radiance file at path. Header lines are read 127 characters at a
 * time (a longer line counts as several) up to a limit of file size / 128 lines for files
 * under 12,801 bytes and 100 lines otherwise. A line "PRIMARIES= x8" (eight numbers, read with
 * a decimal point whatever the locale) sets dims[6] to 32; the first line matching
 * "-Y <height> +X <width>" ends the scan (the other orientations are not recognised).
 * On success writes dims[0] = width, dims[1] = height, dims[2] = file size, and primaries[8]
 * (red x, y, green x, y, blue x, y, white x, y): the values read when a primaries line was
 * read; the defaults when only the caller had set dims[6] > 0; else eight zeros.
 * Returns the index of the resolution line among the lines read (0 = first), or -1, -2, -3;
 * on failure neither dims nor primaries are written. */
TMLIB_API int rgbe_dim2(const char *path, float *primaries, int32_t *dims);

/* Reads the whole file into memory and decodes its pixels into out, 4 * W * H bytes in the
 * scanline-planar layout, with W = dims[0], H = dims[1] as filled by rgbe_dim2. Reads dims[2]
 * bytes (the whole file when dims[2] is INT32_MAX). The resolution line is the first line that
 * matches; the data follows the newline that ends it, and one further empty line is skipped
 * when run-length data, or enough flat data, follows it. Data starting 2, 2, <128 is new-style
 * run-length data; anything else is read as flat R, G, B, E pixels (old-style run-length data
 * is not recognised). When the file buffer cannot be allocated, prints
 * "could not allocate <n> bytes - will try reading from disk" to standard output and returns
 * what decomp2 returns. Returns H, or -1 to -6. */
TMLIB_API int decomp_rle(const char *path, const int32_t *dims, unsigned char *out);

/* Decodes the pixels like decomp_rle while reading straight from the file: the header is
 * scanned like rgbe_dim2's (128 characters per read), the data starts right after the
 * resolution line, flat data is read one row at a time. dims[2] is not used. Memory: a
 * four-byte peek buffer, and one row of 4 * W bytes for flat data (allocated only when the
 * file still holds a whole row). Returns H, or -1 to -6. */
TMLIB_API int decomp2(const char *path, const int32_t *dims, unsigned char *out);

/* Converts W x H pixels of spp interleaved 16-bit samples (sample (x, y) at
 * src[y * rowStride + x * spp]; red sample 0, green (spp - 1) / 2, blue spp - 1) into out,
 * 4 * W * H bytes scanline-planar. curve holds 65,536 floats (raw sample -> linear). Pixels
 * whose quick 8-bit luminance is 4 or less become the grey of the smallest positive measured
 * luminance, those at 254 or more the grey of the largest; the others are encoded from the
 * curve. Without a measured luminance in (0, 1e11) the dark grey is that of curve[0], without
 * one above 0 the bright grey that of the curve's last entry.
 * bits 8: src holds 8-bit samples instead (pass the byte buffer cast to const uint16_t *;
 * rowStride still counts samples) and curve 256 floats, curve[255] taking the place of
 * curve[65535]; the result equals that of the samples widened by 256 through a 65,536-entry
 * curve whose entry i is curve[i >> 8]. Any other bits value means 16-bit samples.
 * Returns H; -3 for spp < 1, a negative W or H, or null buffers; nothing is written for
 * W = 0 or H = 0. */
TMLIB_API int convert_to_rgbe(int bits, int width, int height, int spp, int64_t rowStride, const float *curve,
                              const uint16_t *src, unsigned char *out);

/* Writes a linearisation table of size floats: curve[i] = (size - 1) * (i / (size - 1))^gamma
 * for i >= 1, gamma 2.2 when linear < 1 and 1.0 otherwise, and curve[0] = curve[1] so that no
 * entry is zero. Returns size; returns 1 and writes nothing when size is 1 or less. */
TMLIB_API int camcurve(int linear, int size, float *curve);

TMLIB_EXTERN_C_END

#endif
