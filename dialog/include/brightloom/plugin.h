/* SPDX-License-Identifier: MIT */
/* The dialog bundle's interface with its host: one entry function and the records it reads and
 * writes, plus the rectangle helpers the bundle exports.
 *
 * A host loads libBrightloomFilter.so (dlopen), finds DoCocoaUI by name (dlsym) and calls it on
 * its main thread once per use of the filter, after it has read the document. The call shows the
 * dialog modally and returns when the user leaves it. The host owns every record and buffer for
 * the whole call; the bundle keeps no pointer to them afterwards.
 *
 * Threads: the call creates a QApplication when the process has none (and keeps it for later
 * calls); a host that has its own QApplication must call from that application's thread. */
#ifndef BRIGHTLOOM_PLUGIN_H
#define BRIGHTLOOM_PLUGIN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(BRIGHTLOOM_DIALOG_BUILDING)
#define BRIGHTLOOM_PLUGIN_API __attribute__((visibility("default")))
#else
#define BRIGHTLOOM_PLUGIN_API
#endif

/* The document, read only. The dialog reads the first 28 bytes.
 *   iMax, jMax   width and height in pixels
 *   spp          samples per pixel of the pixel buffer (1 grey; 3 RGB; more with extra channels:
 *                red is sample 0, green sample (spp - 1) / 2, blue sample spp - 1)
 *   docType      0 32-bit float samples (linear light), 1 16-bit samples 0..32768, 2 8-bit samples
 *   reserved     not read
 *   lenProfile   byte length of the ICC profile; 0 or less: no profile. A float document's profile
 *                is a linear one of the image's primaries; without one, a float document is shown
 *                as linear light with sRGB primaries. */
typedef struct HostImageInfo {
  int32_t iMax, jMax, spp, docType, reserved[2], lenProfile;
} HostImageInfo;

/* Read and written; the dialog uses the first 28 bytes.
 *   method          read: the tab of the last confirmed dialog (1 lets the host's TmParam be taken
 *                   over); written on OK: 1 "Details Enhancer" or 2 "Tone Compressor"
 *   stickySizeType  read: the preview size type to start with (0..8, anything else keeps the
 *                   previous call's); written on OK and on Cancel: the size type in use
 *   reserved        never read or written
 *   winX, winY      the dialog's position: its frame's top-left corner in screen pixels (Qt's
 *                   coordinates, y down)
 *   winWidth, winHeight  the dialog's size in pixels (without the window manager's frame)
 *                   The four are read at start and written on OK and on Cancel; they are restored
 *                   only when all four are positive, the width is above 200 and the height above
 *                   100. */
typedef struct UserSettings {
  int32_t method, stickySizeType, reserved, winX, winY, winWidth, winHeight;
} UserSettings;

/* Shows the dialog for the document and waits for the user.
 *   info        the document (read only)
 *   tmParam     20 floats: on entry the host's last parameters (taken over as the "Details
 *               Enhancer" settings when every slot lies in -10..150, not all are 0 and
 *               settings->method is 1), on OK the chosen method's parameters
 *   settings    the host's user settings (above)
 *   iccProfile  info->lenProfile bytes, or NULL
 *   pixels      iMax x jMax pixels of spp samples, rows iMax * spp samples long, in the sample
 *               format of docType (read only)
 * Returns 1 when the user confirmed (OK), 0 for Cancel, for closing the window, and when the
 * dialog cannot be shown at all (a NULL record, or a process whose Qt application has no widgets;
 * a message then goes to standard error). On 0 tmParam and settings->method are unchanged. */
BRIGHTLOOM_PLUGIN_API int DoCocoaUI(HostImageInfo *info, float *tmParam, UserSettings *settings,
                                    const unsigned char *iccProfile, const void *pixels);

/* File choosers for a host that has none of its own (brightloom edit started without a file, as
 * the desktop menu starts it), shown by the same Qt application as the dialog. Call from the
 * thread DoCocoaUI is called from.
 *   save        0: choose an existing file to open; 1: choose a name to save to (an existing file
 *               is replaced only after the user confirmed it)
 *   title       the window title (UTF-8)
 *   filters     Qt name filters, ";;" between them, e.g. "HDR images (*.exr *.hdr);;All files (*)";
 *               for a save chooser a name must match one of the patterns: a typed name without an
 *               extension gets the selected filter's first one, another name is refused with an
 *               alert and asked for again
 *   start       open: the folder to start in (or a file in it); save: the proposed path, folder
 *               and name (UTF-8; NULL or "" for the current folder)
 *   chosen      receives the chosen absolute path, NUL-terminated (UTF-8)
 *   chosenSize  bytes available at chosen
 * Returns 1 when a file was chosen, 0 when the user cancelled, -1 when no chooser can be shown
 * (a process whose Qt application has no widgets, a NULL argument) or the path does not fit in
 * chosenSize bytes; a message then goes to standard error. */
BRIGHTLOOM_PLUGIN_API int DoFileChooser(int save, const char *title, const char *filters, const char *start,
                                        char *chosen, int32_t chosenSize);

/* Rectangle helpers of the preview view: floats, y axis pointing up. */
typedef struct NSPoint {
  float x, y;
} NSPoint;
typedef struct NSSize {
  float width, height;
} NSSize;
typedef struct NSRect {
  NSPoint origin;
  NSSize size;
} NSRect;

/* Reference points, laid out like a numeric keypad on a rectangle whose y axis points up:
 *   1 top left      2 top centre     3 top right
 *   4 middle left   5 centre         6 middle right
 *   7 bottom left   8 bottom centre  9 bottom right
 *   0 and any other value: the origin (x, y).
 * Half-size terms are formed in double precision (coordinate + 0.5 x size) and rounded. */

/* (x, y, w * sx, h * sy). */
BRIGHTLOOM_PLUGIN_API NSRect NSRectScale(NSRect rect, float sx, float sy);
/* (x, y, w * s, h * s). */
BRIGHTLOOM_PLUGIN_API NSRect NSRectUniformScale(NSRect rect, float s);
/* The reference point `code` of rect. */
BRIGHTLOOM_PLUGIN_API NSPoint NSRectPoint(NSRect rect, int code);
/* A rectangle of rect's size whose reference point `code` lies on point; rect itself for code 0
 * or an unknown code. */
BRIGHTLOOM_PLUGIN_API NSRect NSRectAlignToPoint(NSRect rect, int code, NSPoint point);
/* NSRectAlignToPoint(rect, code, NSRectPoint(refRect, refCode)). */
BRIGHTLOOM_PLUGIN_API NSRect NSRectAlignWithRect(NSRect rect, int code, NSRect refRect, int refCode);
/* rect scaled uniformly about its origin by the smaller of inRect.width / rect.width and
 * inRect.height / rect.height (the height ratio when they are equal), stored in *scaleOut when
 * scaleOut is not NULL. An empty inRect (a side of 0 or less) gives the zero rectangle and an
 * empty rect gives inRect; *scaleOut is not written in either case. */
BRIGHTLOOM_PLUGIN_API NSRect NSRectScaleToFill2(NSRect rect, NSRect inRect, float *scaleOut);
/* NSRectScaleToFill2 without the factor. */
BRIGHTLOOM_PLUGIN_API NSRect NSRectScaleToFill(NSRect rect, NSRect inRect);
/* rect unchanged when inRect contains it, otherwise NSRectScaleToFill(rect, inRect): a rectangle
 * that fits is never enlarged. */
BRIGHTLOOM_PLUGIN_API NSRect NSRectScaleToFit(NSRect rect, NSRect inRect);

#ifdef __cplusplus
}
#endif

#endif
