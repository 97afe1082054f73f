// SPDX-License-Identifier: MIT
#include "render.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include "brightloom/pipeline.h"
#include "cleanup.h"
#include "result_messages.h"

namespace brightloom {
namespace {

// The engine's view of the image: RGBE rows for float documents, 16-bit samples otherwise.
Result<pipeline::Source> make_source(Image &img) {
  const int W = img.width, H = img.height, spp = img.spp;
  pipeline::Source s;
  // The engine's copy of float or 8-bit samples (type: the engine's sample code), which
  // replaces the image's own.
  auto converted = [&](int type, const char *copy, const char *step) -> Result<pipeline::Source> {
    const int r = pipeline::make_source(type, W, H, spp, int64_t(W) * spp, img.pixels.data(), W, H, s);
    if (r == TMLIB_ERR_NO_MEMORY) return fail("", std::string("not enough memory for the ") + copy + " of the image");
    if (r < 0) return fail("", engine_reason(step, r));
    img.pixels.reset();
    return std::move(s);
  };
  switch (img.type) {
    case SampleType::F32:
      // The engine's encoder turns negative and NaN channels into 0 and infinities into the
      // largest finite value, so odd float pixels cannot become garbage downstream.
      return converted(10, "RGBE copy", "RGBE encoding");
    case SampleType::U8:
      // 8-bit documents are widened x256 and go through the 16-bit path with its 65,536-entry
      // curve; no 256-entry table is ever indexed with a 16-bit value.
      return converted(2, "16-bit copy", "widening the 8-bit samples");
    case SampleType::RGBE:
    case SampleType::U16:
      s.width = W;
      s.height = H;
      s.spp = spp;
      s.doc_type = img.type == SampleType::RGBE ? 0 : 1;
      s.pixels = std::move(img.pixels);
      return s;
  }
  return fail("", "unknown sample type");
}

// A private folder for the temporary files of the work-from-disk mode, removed with
// everything in it when the render ends, successfully or not.
class TempFolder {
 public:
  static Result<TempFolder> create(const std::string &parent_in) {
    std::string parent = parent_in;
    if (parent.empty()) {
      const char *t = std::getenv("TMPDIR");
      parent = t && *t ? t : "/tmp";
    }
    std::string tmpl = (std::filesystem::path(parent) / "brightloom-XXXXXX").string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr)
      return fail("", "cannot create a temporary folder in " + parent + ": " + std::strerror(errno));
    TempFolder t;
    t.path_ = name.data();
    t.slots_.push_back(register_temp_folder(t.path_.c_str()));
    return t;
  }
  TempFolder() = default;
  TempFolder(TempFolder &&o) noexcept : path_(std::move(o.path_)), slots_(std::move(o.slots_)) {
    o.path_.clear();
    o.slots_.clear();
  }
  TempFolder &operator=(TempFolder &&) = delete;
  ~TempFolder() {
    for (int s : slots_) unregister_temp(s);
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  // The path of a file in the folder, registered for removal should the run be interrupted.
  std::string file(const char *name) {
    std::string p = (std::filesystem::path(path_) / name).string();
    slots_.push_back(register_temp_file(p.c_str()));
    return p;
  }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
  std::vector<int> slots_;
};

// Encodes the engine's 16-bit linear result of a float document for display with the exact
// 1/2.2 power, the inverse of the power the engine applied, then reduces it to `bits`. Working
// from 16-bit samples keeps every output level in the shadows, where 8-bit linear samples
// would leave most of the dark levels unused. In place: an 8-bit sample never lands beyond the
// 16-bit sample it comes from.
void encode_display(Picture &pic, int bits) {
  const int64_t n = int64_t(pic.width) * pic.height * pic.spp;
  const double top = bits == 16 ? 65535.0 : 255.0;
  std::vector<uint16_t> lut(65536);
  for (int v = 0; v < 65536; ++v) lut[size_t(v)] = uint16_t(std::lround(std::pow(v / 65535.0, 1.0 / 2.2) * top));
  uint16_t *src = pic.pixels.as<uint16_t>();
  if (bits == 16) {
    for (int64_t i = 0; i < n; ++i) src[i] = lut[src[i]];
    return;
  }
  unsigned char *dst = pic.pixels.data();
  for (int64_t i = 0; i < n; ++i) dst[i] = (unsigned char)lut[src[i]];
  pic.bits = 8;
  pic.pixels.shrink(size_t(n));
}

// The reason of a failed run, in the user's terms.
Failure reason_of(const pipeline::Outcome &out, const RenderOptions &o, bool from_disk, int W, int H) {
  const int r = out.code;
  const std::string disk = from_disk ? " (from disk)" : "";
  if (!out.file.empty())
    return fail(out.file, r == TMLIB_ERR_OPEN
                              ? std::string("cannot create a temporary file: ") + std::strerror(out.error_number)
                              : "cannot write a temporary file (disk full?)");
  using pipeline::Fault;
  switch (out.fault) {
    case Fault::kPyramidMemory:
      return fail("", "not enough memory for the Details Enhancer pyramid");
    case Fault::kOutputMemory:
      return fail("", "not enough memory for the output picture");
    case Fault::kRgbeCopyMemory:
      return fail("", "not enough memory for the RGBE copy of the image");
    case Fault::kRgbeConversion:
      return fail("", engine_reason("converting to RGBE", r));
    case Fault::kStatistics:
      return fail("", engine_reason("luminance statistics", r));
    case Fault::kToneCompressor:
      return fail("", engine_reason("Tone Compressor", r));
    case Fault::kPyramidSize:
      return fail("",
                  "the image is too small for Details Enhancer (it needs roughly 23 x 23 pixels or more); "
                  "--method compressor renders it");
    case Fault::kPyramid:
      return fail("", engine_reason(("the pyramid stage" + disk).c_str(), r));
    case Fault::kSolver:
      if (!from_disk && r == TMLIB_ERR_SHORT_IO && o.param[TMLIB_DE_SMOOTHING_MODE] == 0.0f && out.levels < 1)
        // The multigrid path of the five smoothing levels refuses a picture too small to have a
        // single coarse grid at the chosen level; say so rather than blaming threads or files.
        return fail("", "the image is too small for the smoothing level chosen (" + std::to_string(W) + " x " +
                            std::to_string(H) +
                            "): choose a stronger smoothing level, the smoothing slider, or --method compressor");
      return fail("", engine_reason(("the solver" + disk).c_str(), r));
    case Fault::kFinishing:
      return fail("", engine_reason(("the finishing stage" + disk).c_str(), r));
    case Fault::kFusion:
      return fail("", engine_reason("exposure fusion", r));
    case Fault::kFusionMemory:
      return fail("", "not enough memory for the fusion pyramids");
    default:
      break;
  }
  return fail("", engine_reason(out.what, r));
}

}  // namespace

int64_t default_disk_threshold() {
  const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
  const int64_t bytes = pages > 0 && page > 0 ? int64_t(pages) * page : int64_t(4) << 30;
  // Above half the memory at about 40 bytes per pixel, the in-memory render would crowd out
  // everything else on the machine.
  return bytes / 2 / 40;
}

Status check_render_size(int width, int height) {
  if (width <= 9 || height <= 9)
    return fail("", "the image is too small (" + std::to_string(width) + " x " + std::to_string(height) +
                        "); both sides must exceed 9 pixels");
  return Status::success();
}

Result<Picture> render(Image &image, const RenderOptions &o) {
  const int W = image.width, H = image.height, spp = image.spp;
  if (o.method != TMLIB_METHOD_DETAILS && o.method != TMLIB_METHOD_COMPRESSOR &&
      o.method != TMLIB_METHOD_FUSION_ADJUST && o.method != TMLIB_METHOD_FUSION_INTENSIVE)
    return fail("", "unknown method " + std::to_string(o.method));
  if (o.bits != 8 && o.bits != 16) return fail("", "bits per sample must be 8 or 16");
  if (spp != 1 && spp != 3) return fail("", "only grey and RGB images can be rendered");
  if (Status st = check_render_size(W, H); !st) return st.failure();
  auto src = make_source(image);
  if (!src) return src.failure();

  // A float document's Details Enhancer result is display-encoded from 16-bit linear samples.
  // For the Tone Compressor and the fusions the 2.2 power and the 1/2.2 encoding cancel: the
  // operator's own result is already that picture, at full precision.
  const bool encode = src->doc_type == 0 && !o.linear_float && o.method == 1;
  pipeline::Request req;
  req.method = pipeline::Method(o.method);
  req.param = o.param.data();
  req.out_bits = encode ? 16 : o.bits;
  req.tone_compressor_display_power = o.linear_float;
  req.workers = o.workers;
  req.check_source_statistics = true;
  req.retry_on_one_worker = true;
  req.release_source = true;
  req.hooks.on_step = o.on_stage;
  req.hooks.statistics = o.on_statistics;
  req.hooks.cancel = o.cancel;

  std::optional<TempFolder> tmp;
  pipeline::DiskFiles files;
  if (o.method == 1) {
    // Working from disk needs an RGBE source (float documents) with three channels.
    const int64_t threshold = o.disk_threshold_pixels > 0 ? o.disk_threshold_pixels : default_disk_threshold();
    const bool can = src->doc_type == 0 && spp == 3;
    const bool want =
        o.disk == RenderOptions::Disk::Always || (o.disk == RenderOptions::Disk::Auto && int64_t(W) * H > threshold);
    if (want && !can && o.disk == RenderOptions::Disk::Always)
      return fail("", "working from disk needs a float RGB image (OpenEXR, Radiance, float TIFF or PFM)");
    if (want && can) {
      auto t = TempFolder::create(o.temp_dir);
      if (!t) return t.failure();
      tmp.emplace(std::move(*t));
      files = {tmp->file("source.hdr"), tmp->file("source.rgbe"), tmp->file("rhs"), tmp->file("x"),
               tmp->file("p"),          tmp->file("r"),           tmp->file("t")};
      req.disk = &files;
    }
  }
  pipeline::Outcome out = pipeline::run(*src, req);
  if (!out.ok()) return reason_of(out, o, req.disk != nullptr, W, H);
  Picture pic;
  pic.width = W;
  pic.height = H;
  pic.spp = spp;
  pic.bits = req.out_bits;
  pic.pixels = std::move(out.pixels);
  if (encode) encode_display(pic, o.bits);
  return pic;
}

Status image_statistics(Image &image, float stats[7]) {
  const int W = image.width, H = image.height;
  if (W <= 4 || H <= 4) return fail("", "the image is too small for statistics");
  Buffer rgbe;
  const unsigned char *p = nullptr;
  if (image.type == SampleType::RGBE) {
    p = image.pixels.data();
  } else {
    // A copy, so that the image stays usable.
    Image tmp;
    tmp.width = W;
    tmp.height = H;
    tmp.spp = image.spp;
    tmp.type = image.type;
    tmp.pixels = Buffer::copy_of(image.pixels.data(), image.pixels.size());
    if (!tmp.pixels) return fail("", "not enough memory");
    auto src = make_source(tmp);
    if (!src) return src.failure();
    if (src->doc_type == 1) {
      rgbe = Buffer::allocate(int64_t(W) * H, 4, true);
      Buffer curve = pipeline::camera_curve(65536);
      if (!rgbe || !curve) return fail("", "not enough memory");
      const int r = convert_to_rgbe(16, W, H, image.spp, int64_t(image.spp) * W, curve.as<float>(),
                                    src->pixels.as<uint16_t>(), rgbe.data());
      if (r < 0) return fail("", engine_reason("converting to RGBE", r));
    } else {
      rgbe = std::move(src->pixels);
    }
    p = rgbe.data();
  }
  // The offset −8 table gives the decoded luminances themselves.
  float table[256];
  exp_lut(table, -8);
  const int r = logMinMaxMoy(W, H, table, p, stats);
  if (r < 0) return fail("", engine_reason("luminance statistics", r));
  return Status::success();
}

}  // namespace brightloom
