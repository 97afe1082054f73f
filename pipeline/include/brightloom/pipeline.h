// SPDX-License-Identifier: MIT
// The two tone-mapping methods as sequences of engine calls, written once.
//
// "Details Enhancer" is tm_dim -> calc_tm1 -> calc_tm2 -> calc_tm3 and "Tone Compressor" is
// (convert_to_rgbe) -> logMinMaxMoy -> tm_simple, each with the buffers, records and lumParam
// hand-offs the dialog's preview uses. The same code serves the dialog's preview (a source
// cut down to the preview size, statistics carried from one refresh to the next), the
// program's full-size renders (in memory or from disk, 8 or 16 bits), the tests and the
// benchmarks. It is C++ beside the engine, not part of the engine's C interface.
#pragma once

#include <tmlib/tmlib.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "brightloom/buffer.h"

namespace brightloom::pipeline {

enum class Method : int {
  Details = TMLIB_METHOD_DETAILS,
  Compressor = TMLIB_METHOD_COMPRESSOR,
  FusionAdjust = TMLIB_METHOD_FUSION_ADJUST,
  FusionIntensive = TMLIB_METHOD_FUSION_INTENSIVE
};
inline bool is_fusion(Method m) { return m == Method::FusionAdjust || m == Method::FusionIntensive; }

// The steps a run reports as it enters them (and names when one fails).
enum class Step { Statistics, Pyramid, Solve, Finishing };
const char *step_name(Step s);

// A run stopped by its cancel hook between two steps.
inline constexpr int kCancelled = -1000;

// The engine's view of a picture. docType 0: scanline-planar RGBE rows, 4 bytes per pixel.
// docType 1: interleaved 16-bit samples (0..32768 from 16-bit files; 8-bit pictures widened
// x256 travel this way too, with the 65,536-entry curve).
struct Source {
  int width = 0;
  int height = 0;
  int spp = 0;       // 1 or 3
  int doc_type = 0;  // 0 or 1, as the operators are told
  Buffer pixels;
};

// The dialog's camera curve of n entries: entry i = (n - 1) x (i / (n - 1))^2.2, quotient and
// exponent in single precision, power in double, entry 0 = 0. Empty buffer when out of memory.
Buffer camera_curve(int n);

// Preview size for a preview height `dim` (the size type's value) of an iMax x jMax image:
// dim pixels high, or at most 1.5 x dim wide for landscape images (single-precision products,
// truncated).
void preview_dimensions(int dim, int iMax, int jMax, int &width, int &height);

// Cuts (or converts, when width x height is the image's own size) a source out of the host's
// pixels by point sampling. kind: 10 interleaved floats, 1 16-bit samples (0..32768), 2 8-bit
// samples (widened x256); rowStride in samples. Returns the engine's result (>= 0) or -4.
int make_source(int kind, int srcWidth, int srcHeight, int spp, int64_t rowStride, const void *pixels, int width,
                int height, Source &out);

// Log-luminance statistics (LogLumStats) of a docType-0 source with the offset-0 exponent
// table, as the dialog takes them for a new preview source: a negative result means an image
// whose statistics cannot be taken (-1) or no memory (-4).
int source_statistics(const Source &src, float stats[TMLIB_LUM_PARAMS]);

// Statistics one "Details Enhancer" run hands to the next (the dialog's _Lwa, _Lwmax, _Lwmed)
// and the white point that scales its "Show Original" view of float documents.
struct Carry {
  float lwa = 0.0f;
  float lwmax = 0.0f;
  float lwmed = 0.0f;
  float white_point = 0.0f;  // lumParam 6 of the last run (a log luminance)
};

// Temporary files of the Details Enhancer working from disk (float RGB sources only).
struct DiskFiles {
  std::string source_hdr;  // the source as a Radiance picture, decoded by stage 1 itself
  std::string source_raw;  // the source's RGBE rows, read back by the finishing stage
  std::string rhs, x, p, r, t;
};

// What the preview keeps from one refresh to the next, so that a refresh redoes only the steps
// whose inputs changed; the pictures are the same bits as runs without it.
//   Details Enhancer: stage 1's statistics (lumParam) keyed by the slots they depend on
//   (WhiteClip, the smoothing mode and level that size the pyramid) and, when the statistics
//   fell back on the carried ones, the carry; stage 2's compressed luminance keyed by the
//   slots of the pyramid and the solve (Luminosity, the smoothing mode, level and slider,
//   Microcontrast, Microsmoothing, 360, the solver code) and the worker count. A finishing
//   slider (Strength, saturations, clips, gamma, colour temperature, highlights and shadows)
//   reruns the finishing stage alone; WhiteClip reruns stage 1 for its statistics but not the
//   solve.
//   Tone Compressor: the source's statistics (and its RGBE copy for 16-bit sources), so that
//   a slider reruns the per-pixel mapping alone.
//   Both: the scratch buffers, and a crew of worker threads that lives as long as the memo, so
//   that a refresh neither allocates its scratch space nor starts threads.
// A memo belongs to one source and one thread (the crew's threads serve the engine calls made
// from the thread that made the memo): forget() it when the source is replaced, destroy it on
// that thread. Requests that release their source or work from disk do not use it.
class Memo {
 public:
  Memo();
  ~Memo();
  Memo(const Memo &) = delete;
  Memo &operator=(const Memo &) = delete;

  // Drops every kept result (the scratch buffers and the crew stay).
  void forget();

  // How often each step ran through this memo (tests and benchmarks).
  struct Runs {
    int stage1 = 0, stage2 = 0, finishing = 0, statistics = 0;
  };
  Runs runs;

  struct State;
  State &state() { return *state_; }

 private:
  std::unique_ptr<State> state_;
};

struct Hooks {
  std::function<void(Step)> on_step;  // called as each step begins
  std::function<bool()> cancel;       // asked between steps; true stops the run (kCancelled)
  // Called with the statistics the method normalises with as soon as they are measured and
  // before any step reads them (Details Enhancer: the lumParam record stage 1 wrote, before the
  // solve; Tone Compressor: the LogLumStats record, before the mapping). The hook may read them
  // or put others in their place: a time-lapse renders every frame with statistics smoothed
  // over its neighbours, so that a glint in one frame does not change the whole picture.
  std::function<void(float *stats)> statistics;
};

struct Request {
  Method method = Method::Details;
  const float *param = nullptr;  // TmParam (20 floats), copied
  int out_bits = 8;              // 8 or 16
  int workers = 1;               // engine worker threads (1..32)
  // Float documents end in linear light: the finishing stage applies the 2.2 display power
  // itself, and the Tone Compressor's result is raised to 2.2 here, as the preview does; so is
  // a fusion's display-ready result of a float document. A caller that wants the Tone
  // Compressor's or the fusion's picture before that power clears this.
  bool tone_compressor_display_power = true;
  // Full renders: take the statistics of the new source first and refuse an image they cannot
  // be taken of before the long stages start (the preview does this once per source).
  bool check_source_statistics = false;
  // A worker thread that cannot be started does not fail the run: the Tone Compressor is run
  // again on the calling thread, and the finishing stage, which then completes the picture on
  // the calling thread itself, is taken as done (full renders; the preview reports the
  // failure as the dialog does).
  bool retry_on_one_worker = false;
  // Free the source's pixels as soon as the run no longer needs them (full renders).
  bool release_source = false;
  // Details Enhancer with out_bits 8: the same solve also finished at 16 bits, into
  // Outcome::pixels16 (the dialog draws float documents from it and keeps its histogram on the
  // 8-bit result).
  bool also_16_bits = false;
  Carry *carry = nullptr;  // supplies and receives the statistics (Details Enhancer)
  // The camera curve of docType-1 sources (65,536 entries, camera_curve(65536)), when the caller
  // keeps one; built for the run when null.
  const float *camera_curve = nullptr;
  const DiskFiles *disk = nullptr;  // work from disk (Details Enhancer, docType 0, 3 samples)
  Memo *memo = nullptr;             // the preview's kept results (see Memo); null: none
  Hooks hooks;
};

// Where a run failed. The engine function that returned the code (or the buffer the pipeline
// could not allocate) is named beside it, for messages and logs.
enum class Fault {
  kNone,
  kCancelled,       // hooks.cancel asked the run to stop
  kStatistics,      // logMinMaxMoy
  kRgbeConversion,  // convert_to_rgbe
  kPyramidSize,     // tm_dim refused the size (too_small)
  kPyramid,         // calc_tm1
  kSolver,          // calc_tm2
  kFinishing,       // calc_tm3
  kToneCompressor,  // tm_simple
  kPyramidMemory,   // the Details Enhancer's pyramid and work buffers
  kOutputMemory,    // the output picture
  kRgbeCopyMemory,  // the RGBE copy of a float source
  kTemporaryFile,   // work from disk: `file` and `error_number` say which and why
  kFrameCount,      // fusion: fewer than two frames
  kFusionRequest,   // fusion: not a fusion method, no parameters, or output bits not 8 or 16
  kFrame,           // fusion: the frame supplier failed (`frame` says which)
  kFrameSize,       // fusion: a frame's size or channels differ from the first (`frame`)
  kFusion,          // fusion_dims, fusion_add or fusion_finish
  kFusionMemory,    // the fusion's pyramids
};

struct Outcome {
  int code = 0;                  // > 0 success; the failing step's engine result, -4, or kCancelled
  Step step = Step::Statistics;  // the step that failed (when code <= 0)
  int levels = 0;                // solver levels of the pyramid (Details Enhancer), for messages
  bool too_small = false;        // tm_dim refused the size (a side of 9 pixels or less per level)
  Fault fault = Fault::kNone;
  // The engine function that returned the code ("calc_tm2"), or for the pipeline's own
  // allocations the buffer ("pyramid", "output", "RGBE copy").
  const char *what = "";
  std::string file;      // the temporary file a failure concerns, when it is one
  int error_number = 0;  // errno of that file's failure
  Buffer pixels;         // width x height x spp samples of out_bits, interleaved
  int frame = -1;        // fusion: the frame (0-based) a failure concerns, when it is one
  Buffer pixels16;       // with also_16_bits: the same picture in 16-bit samples
  bool ok() const { return code > 0; }
};

// The display power of float documents' Tone Compressor results, as a run with
// tone_compressor_display_power applies it: each of the n samples b becomes pow(b / 2^k, 2.2)
// x 2^k (k = bits), truncated and clamped, the quotient in single precision.
void display_power(Buffer &pixels, int bits, int64_t n);

// Runs the request's method on src. The source is left as it was unless release_source is set.
// The fusion methods fuse virtual exposures of the source (virtual_exposures).
Outcome run(Source &src, const Request &request);

// One frame of an exposure set as the fusion operator reads it.
struct Frame {
  int width = 0;
  int height = 0;
  int spp = 0;                   // samples per pixel (1..4; RGBE: 3)
  int kind = TMLIB_FUSION_U8;    // a TmlibFusionKind
  int64_t row_stride = 0;        // in samples (RGBE: unused)
  float gain = 1.0f;             // linear frames: the exposure factor
  const void *pixels = nullptr;  // valid until the supplier is asked for the next frame
};
// Puts frame `index` into `out`; a negative result stops the fusion with that code (reported
// as Fault::kFrame with the frame's index).
using FrameSupplier = std::function<int(int index, Frame &out)>;

// Fuses `count` frames (at least 2) one after the other, with the memory of one frame and the
// pyramids whatever the count. request.method is FusionAdjust or FusionIntensive; the picture
// has the frames' colour channels (1 or 3) at out_bits, display-encoded. Failures: fewer than
// two frames (kFrameCount), a frame whose size or channels differ from the first
// (TMLIB_ERR_DIMS, kFrameSize, frame = its index), the operator's results (kFusion, what =
// "fusion_dims", "fusion_add" or "fusion_finish"), memory (kFusionMemory, kOutputMemory).
Outcome fuse(int count, const FrameSupplier &frame, const Request &request);

// The gains of the virtual exposures that span a docType-0 (RGBE) source's dynamic range: the
// brightest lifts its dark percentile to the mid-tones, the darkest brings its bright
// percentile below white, at most 2 EV apart, 3 to 9 of them, darkest first.
std::vector<float> virtual_exposures(const Source &src);

// The untouched picture as 8-bit samples in the source's own layout (spp bytes a pixel, rows of
// spp x width bytes), for the dialog's "Show Original" view.
//   docType 0 (RGBE): each channel = e^-white_point x table[E] x 256 x mantissa with the offset
//     -8 exponent table, truncated to 0..255 (linear light, scaled by the white point of the last
//     Details Enhancer run); exponent 0 is black. Red goes to sample 0, green to (spp - 1) / 2,
//     blue to spp - 1, other samples are 0.
//   docType 1: sample >> 7, at most 255 (0..32768 samples); with widened_bytes (a source cut from
//     an 8-bit document, whose bytes were widened x256) sample >> 8, the document's own bytes.
// Returns the height, or -4 when the output cannot be allocated (out is then empty), -1 for a
// source without pixels.
int original_view(const Source &src, bool widened_bytes, float white_point, Buffer &out);

// Radiance pictures from scanline-planar RGBE rows (the engine's layout).
enum class RadianceLayout {
  Runs,      // new-style run-length rows with repeat runs of 3 or more and literal runs
  Literals,  // new-style run-length rows of literal runs only (fastest to write)
  Flat,      // uncompressed R, G, B, E per pixel
};
// Run-length rows exist only for widths 8..32767: other widths are written flat whatever the
// layout asks. `extra_header` lines (each ending in a line feed) go before the FORMAT line.
std::vector<unsigned char> encode_radiance(const unsigned char *rgbe, int width, int height,
                                           RadianceLayout layout = RadianceLayout::Runs,
                                           const std::string &extra_header = "");
// The packets of one run-length component (width bytes) appended to out; returns their count.
int64_t encode_radiance_component(const unsigned char *v, int width, std::vector<unsigned char> &out);
// Writes the picture to path. Returns 0, -1 when the file cannot be created, -2 on a short write.
int write_radiance(const std::string &path, const unsigned char *rgbe, int width, int height,
                   RadianceLayout layout = RadianceLayout::Literals);

}  // namespace brightloom::pipeline
