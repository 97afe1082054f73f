/* SPDX-License-Identifier: MIT */
/* XMP tone-mapping settings files.
 *
 * A settings file is a small XMP document holding one method code and one TmParam record
 * (20 floats, see params.h). The writer always produces the same layout, ASCII text with one
 * element per line, each line ended by a single line feed, no XML declaration, no packet
 * wrapper and no terminating NUL:
 *
 *   <x:xmpmeta xmlns:x='adobe:ns:meta/'>
 *   <rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>
 *   (empty line)
 *   <rdf:Description rdf:about=''
 *   xmlns:bltm='<TMLIB_XMP_NAMESPACE>'>
 *   <bltm:Version>3.2</bltm:Version>
 *   <bltm:Method>Details Enhancer</bltm:Method>        method line (methods 1, 2, 10, 11)
 *   <bltm:Strength>70.0</bltm:Strength>                one line per value of the method
 *   ...
 *   </rdf:Description>
 *   (empty line)
 *   </rdf:RDF>
 *   </x:xmpmeta>
 *
 * Values are "%1.1f" of the slot widened to double, the clip values "%f". Method 1 writes
 * Strength 1, ColorSaturation 2, Luminosity 0, WhiteClip 3, BlackClip 4, SmoothingMode 16
 * ("Light" when slot 16 truncates to 0, else "Slider"), Smoothing (mode "Slider": slot 17;
 * mode "Light": the level word of slot 5, "Very High", "High    ", "Medium  ", "Low     ",
 * "Very Low", padded as shown), Microcontrast 6, Microsmoothing 7, Gamma (the gamma
 * 2^((50 - slot 8) / 50), not the slider position), HighlightsSmoothing 9, ShadowsSmoothing
 * 10, ShadowsClipping 11, ColorTemperature 12, SaturationHighlights 13, SaturationShadows 14.
 * Slots 5 (in mode "Slider"), 15, 17 (in mode "Light"), 18 and 19 are not carried.
 * Method 2 writes Brightness 0, Compression 1, Contrast 2, WhiteClip 3, BlackClip 4,
 * ColorTemperature 12, Saturation 13. Method 10 writes Accentuation 0, BlendingPoint 1,
 * Shadows 2, Saturation 3, WhiteClip 4, BlackClip 5, MidtonesAdjustment 6. Method 11 writes
 * Strength 0, Saturation 1, Radius 2. Numbers always use a full stop, whatever the locale.
 *
 * All three functions keep no state and may be called from several threads at once.
 */
#ifndef TMLIB_XMP_H
#define TMLIB_XMP_H

#include "tmlib/base.h"

TMLIB_EXTERN_C_BEGIN

/* The URI of the settings namespace (prefix "bltm"). The reader does not check it; it looks
 * for "xmlns:bltm=" only, so files written with the earlier URI
 * "http://brightloom.org/ns/1.0/tone_mapping_settings" read exactly as before. */
#define TMLIB_XMP_NAMESPACE "http://brightloom.org/tone_mapping_settings"

/* Builds the settings document of `method` from `param` (20 floats, read only; null reads
 * as all zeros).
 *   write 0: measures only; nothing is written and `buffer` may be null.
 *   write 1: writes the document to `buffer`, which must hold the measured length; no
 *            terminating NUL is added. A null buffer only measures.
 * Returns the document's length in bytes, the same in both modes. A method without a layout
 * (anything but 1, 2, 10, 11) gives the header and the closing lines only, without method
 * and value lines. A level code in slot 5 outside 0..4 is written as the nearest level (NaN
 * as "High"). */
TMLIB_API int embed_xmp(int write, char *buffer, int method, const float *param);

/* Writes the settings document of `method` (1 or 2 only) and `param` (20 floats, read
 * only; null reads as all zeros) to the file `path`, created or replaced.
 * The document is written to a new temporary file in the destination's folder (a hidden
 * name ".brightloom-*.partial"), flushed to disk and then renamed over `path`, so a failed or
 * interrupted write never destroys an existing settings file. An existing file keeps its
 * permissions, owner and group; a symbolic link is followed and its target replaced, or
 * created when the link dangles. The file is written in place instead (overwritten from its
 * start, then cut to the document's length), without that guarantee, when:
 *   - it is a device or a pipe (a pipe nobody reads from fails with -1 at once);
 *   - it has several hard links (so that every name sees the new settings);
 *   - its owner or group cannot be given to a new file (a caller other than root saving a
 *     file of another user or group);
 *   - no temporary file can be made beside it (the caller may write the file but not create
 *     files in its folder), or the rename fails.
 * A folder without room for a new empty file fails the save (-1) and leaves the file as it
 * was. A file created in place whose write fails is removed again.
 * Results:
 *    1  written;
 *   -1  the file cannot be opened: a null or empty path, a missing folder, a new file in a
 *       folder the caller may not write, a destination that is a folder or a read-only
 *       file (one the caller may not write, or one nobody may write, even for root), a
 *       folder without room for a new file;
 *   -2  `method` is neither 1 nor 2 (nothing is touched);
 *   -3  the write failed (no room, a file size limit, an I/O error): the destination is
 *       unchanged and the temporary file removed (written in place: the file may be
 *       damaged);
 *   -4  the document buffer cannot be allocated. */
TMLIB_API int write_xmp(const char *path, int method, const float *param);

/* Reads the settings file `path` for `method` into `param`, or tells which method the file
 * is for (`method` -1, probing).
 * `param` is caller-owned, 20 floats; only slots named in the file are written, except
 * slot 8: when no Gamma value was read (for every method), slot 8 becomes 50 (gamma 1.0).
 * The dialog passes a zeroed record. Null is allowed: nothing is stored.
 *
 * The reader scans lines for literal tag texts; it does not parse XML. A line counts only
 * when it is at most 255 bytes including its line feed and that line feed is not one of the
 * file's last two bytes; a last line without a line feed does not count. The first line
 * that does not count ends the scan. Pass 1 looks for a line with "xmlns:bltm=". Pass 2
 * reads from the next line up to and including the first line with "</rdf:": version
 * ("%d.%d"; a major version of 2 or less, or no version line before the first pass-2 line,
 * switches to the integer mode of old files for the rest of the file), method
 * ("Details Enhancer" or the older "Contrast Enhancer" 1, "Tone Compressor" or "Smooth
 * Adaptation" 2, "Fusion/Adjust" 10, "Fusion/Intensive" 11, unknown names 0) and the
 * values of `method`'s layout. Only the first occurrence of a tag counts; unreadable values
 * leave the slot alone. Old files are understood: "NoiseSmoothing" for Microsmoothing, a
 * word-valued Microcontrast in versions 2.4 and older, a word-valued Smoothing in mode
 * "Light". A Gamma value g becomes slot 8 = (1 - log2 g) * 50; a gamma of 0 or less is
 * skipped.
 *
 * Results:
 *   > 0  settings read (the byte offset where reading stopped; test the sign only);
 *        probing: 1, 2, 10 or 11 for the first method line of the file, 0 when that line
 *        names an unknown method; a file without a method line gives the same positive
 *        result as a full read;
 *   -1   the file cannot be opened (or is a folder), or seeking or telling fails;
 *   -2   a line could not be read in full;
 *   -5   the file is for another method than `method`;
 *   -10  no line declares the bltm namespace: not a settings file (also an empty file).
 * On a negative result `param` may already hold values read before the failure. */
TMLIB_API int parse_xmp(const char *path, int method, float *param);

TMLIB_EXTERN_C_END

#endif
