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
#include <vector>

#include "cleanup.h"
#include "engine.h"

namespace brightloom {
namespace {

// The engine's view of the source: RGBE rows for float documents, 16-bit samples otherwise.
struct Source {
  Buffer pixels;
  int doc_type = 0;  // as the operators are told: 8-bit images travel the 16-bit path
};

Result<Source> make_source(Image &img) {
  const int W = img.width, H = img.height, spp = img.spp;
  Source s;
  switch (img.type) {
    case SampleType::F32: {
      // The engine's encoder turns negative and NaN channels into 0 and infinities into the
      // largest finite value, so odd float pixels cannot become garbage downstream.
      s.pixels = Buffer::allocate(img.pixel_count(), 4, true);
      if (!s.pixels) return fail("", "not enough memory for the RGBE copy of the image");
      const int r = extract_rgbe_preview(10, W, H, spp, int64_t(W) * spp, W, H, img.pixels.data(),
                                         s.pixels.data());
      if (r < 0) return fail("", engine_reason("RGBE encoding", r));
      img.pixels.reset();
      s.doc_type = 0;
      break;
    }
    case SampleType::RGBE:
      s.pixels = std::move(img.pixels);
      s.doc_type = 0;
      break;
    case SampleType::U16:
      s.pixels = std::move(img.pixels);
      s.doc_type = 1;
      break;
    case SampleType::U8: {
      // 8-bit documents are widened ×256 and go through the 16-bit path with its 65,536-entry
      // curve; no 256-entry table is ever indexed with a 16-bit value.
      s.pixels = Buffer::allocate(img.pixel_count(), int64_t(2) * spp, true);
      if (!s.pixels) return fail("", "not enough memory for the 16-bit copy of the image");
      const int r = extract_rgbe_preview(2, W, H, spp, int64_t(W) * spp, W, H, img.pixels.data(),
                                         s.pixels.data());
      if (r < 0) return fail("", engine_reason("widening the 8-bit samples", r));
      img.pixels.reset();
      s.doc_type = 1;
      break;
    }
  }
  return s;
}

// The dialog's camera curve: entry i = (n − 1) × (i / (n − 1))^2.2, quotient and exponent in
// single precision, power in double; entry 0 is 0.
Buffer camera_curve(int n) {
  Buffer c = Buffer::allocate(n, sizeof(float), true);
  if (!c || n < 2) return c;
  float *f = c.as<float>();
  const float gamma = 2.2f;
  for (int i = 1; i < n; ++i) {
    const float q = float(i) / float(n - 1);
    f[i] = float(double(n - 1) * std::pow(double(q), double(gamma)));
  }
  return c;
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

// Writes scanline-planar RGBE rows as a Radiance picture: run-length rows (literal runs
// only) where the format allows them, flat pixels otherwise.
Status write_radiance(const std::string &path, const unsigned char *rgbe, int W, int H) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return fail(path, std::string("cannot create a temporary file: ") + std::strerror(errno));
  std::fprintf(f, "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n", H, W);
  const bool rle = W >= 8 && W <= 0x7fff;
  std::vector<unsigned char> row(size_t(W) * 5 + 8);
  for (int y = 0; y < H; ++y) {
    const unsigned char *src = rgbe + int64_t(y) * W * 4;
    size_t n = 0;
    if (rle) {
      row[n++] = 2;
      row[n++] = 2;
      row[n++] = (unsigned char)(W >> 8);
      row[n++] = (unsigned char)(W & 255);
      for (int c = 0; c < 4; ++c)
        for (int x = 0; x < W; x += 128) {
          const int count = std::min(128, W - x);
          row[n++] = (unsigned char)count;
          std::memcpy(&row[n], src + int64_t(c) * W + x, size_t(count));
          n += size_t(count);
        }
    } else {
      for (int x = 0; x < W; ++x)
        for (int c = 0; c < 4; ++c) row[n++] = src[int64_t(c) * W + x];
    }
    if (std::fwrite(row.data(), 1, n, f) != n) {
      std::fclose(f);
      return fail(path, "cannot write a temporary file (disk full?)");
    }
  }
  if (std::fclose(f) != 0) return fail(path, "cannot write a temporary file (disk full?)");
  return Status::success();
}

Status write_raw(const std::string &path, const void *data, size_t size) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return fail(path, std::string("cannot create a temporary file: ") + std::strerror(errno));
  const bool ok = std::fwrite(data, 1, size, f) == size;
  if (std::fclose(f) != 0 || !ok) return fail(path, "cannot write a temporary file (disk full?)");
  return Status::success();
}

void notify(const RenderOptions &o, Stage s) {
  if (o.on_stage) o.on_stage(s);
}

Result<Picture> new_picture(int W, int H, int spp, int bits) {
  Picture pic;
  pic.width = W;
  pic.height = H;
  pic.spp = spp;
  pic.bits = bits;
  pic.pixels = Buffer::allocate(int64_t(W) * H * spp, bits / 8, true);
  if (!pic.pixels) return fail("", "not enough memory for the output picture");
  return pic;
}

// Whether the finishing stage must deliver 16-bit linear samples to be display-encoded.
bool encodes_display(int doc_type, const RenderOptions &o) { return doc_type == 0 && !o.linear_float; }

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

// Details Enhancer working from disk: the source goes to a Radiance file that stage 1 decodes
// itself, stage 2 keeps its vectors in files, and stage 3 reads the source rows back from a
// raw copy, with the luminance plane lodged in the tail of a 16-bit-sized output buffer.
Result<Picture> render_details_from_disk(Source &src, int W, int H, const RenderOptions &o) {
  TmParam p = o.param;
  auto tmp = TempFolder::create(o.temp_dir);
  if (!tmp) return tmp.failure();
  const std::string hdr = tmp->file("source.hdr"), raw = tmp->file("source.rgbe"), rhs = tmp->file("rhs"),
                    x = tmp->file("x"), pv = tmp->file("p"), rv = tmp->file("r"), tv = tmp->file("t");

  notify(o, Stage::Statistics);
  float t0[256], stats[TMLIB_LUM_PARAMS] = {};
  exp_lut(t0, 0);
  if (const int r = logMinMaxMoy(W, H, t0, src.pixels.data(), stats); r < 0)
    return fail("", engine_reason("luminance statistics", r == -4 ? -4 : -1));
  if (Status st = write_radiance(hdr, src.pixels.data(), W, H); !st) return st.failure();
  if (Status st = write_raw(raw, src.pixels.data(), src.pixels.size()); !st) return st.failure();
  src.pixels.reset();

  float table[256];
  exp_lut(table, -8);
  int32_t dims[TMLIB_PYRAMID_DIMS] = {};
  if (tm_dim(W, H, p.data(), dims) < 0)
    return fail("", "the image is too small for Details Enhancer (it needs roughly 23 x 23 pixels or more); "
                    "--method compressor renders it");
  dims[1] = W;
  dims[2] = H;
  const int64_t m = std::max<int64_t>({dims[5], dims[6], int64_t(W) * H});
  Buffer pyramid = Buffer::allocate(m, sizeof(float), true);
  if (!pyramid) return fail("", "not enough memory for the Details Enhancer pyramid");

  OptimParam opt = make_optim(o.workers);
  opt.v[1] = 1;
  opt.v[2] = intptr_t(hdr.c_str());
  opt.v[3] = intptr_t(rhs.c_str());
  opt.v[4] = intptr_t(x.c_str());
  opt.v[5] = intptr_t(pv.c_str());
  opt.v[6] = intptr_t(rv.c_str());
  opt.v[7] = intptr_t(tv.c_str());
  float lum[TMLIB_LUM_PARAMS] = {};
  DimParam dim = make_dim(W, H, 3);
  dim.v[6] = 3 * W;
  float curve = 0;

  notify(o, Stage::Pyramid);
  int r = calc_tm1(0, dim, p.data(), dims, lum, table, &curve, 0, opt, nullptr, pyramid.as<float>());
  if (r < 0) return fail("", engine_reason("the pyramid stage (from disk)", r));
  notify(o, Stage::Solve);
  r = calc_tm2(dim, dims[7], dims[8], dims[5], dims[11], p.data(), opt, pyramid.as<float>());
  if (r < 0) return fail("", engine_reason("the solver (from disk)", r));

  // The output buffer is sized for 16-bit rows so that the plane fits behind the rows
  // written ahead of it; an 8-bit picture is cut down afterwards.
  Buffer out = Buffer::allocate(int64_t(W) * H, 6, true);
  if (!out) return fail("", "not enough memory for the output picture");
  const size_t plane_offset = size_t(H) * size_t(W) * 2;
  std::memcpy(out.data() + plane_offset, pyramid.data(), size_t(W) * size_t(H) * sizeof(float));
  pyramid.reset();
  const bool encode = encodes_display(0, o);
  DimParam dim3 = make_dim(W, H, 3);
  dim3.v[4] = encode ? 16 : o.bits;
  dim3.v[5] = 3 * W;
  dim3.v[6] = 3 * W;
  opt.v[2] = intptr_t(raw.c_str());

  notify(o, Stage::Finishing);
  r = calc_tm3(0, dim3, p.data(), lum, table, &curve, opt, nullptr, nullptr, out.data());
  if (r <= 0) return fail("", engine_reason("the finishing stage (from disk)", r));
  Picture pic;
  pic.width = W;
  pic.height = H;
  pic.spp = 3;
  pic.bits = dim3.v[4];
  out.shrink(size_t(W) * size_t(H) * 3 * size_t(pic.bits / 8));
  pic.pixels = std::move(out);
  if (encode) encode_display(pic, o.bits);
  return pic;
}

Result<Picture> render_details(Source &src, int W, int H, int spp, const RenderOptions &o) {
  TmParam p = o.param;
  float table[256];
  exp_lut(table, -8);

  notify(o, Stage::Statistics);
  if (src.doc_type == 0) {
    // Statistics of the new source with the offset-0 table: an image they cannot be taken
    // of is refused before the long stages start.
    float t0[256], stats[TMLIB_LUM_PARAMS] = {};
    exp_lut(t0, 0);
    const int r = logMinMaxMoy(W, H, t0, src.pixels.data(), stats);
    if (r < 0) return fail("", engine_reason("luminance statistics", r == -4 ? -4 : -1));
  }

  int32_t dims[TMLIB_PYRAMID_DIMS] = {};
  if (tm_dim(W, H, p.data(), dims) < 0)
    return fail("", "the image is too small for Details Enhancer (it needs roughly 23 x 23 pixels or more); "
                    "--method compressor renders it");
  dims[1] = W;
  dims[2] = H;
  const int64_t m = std::max<int64_t>(dims[5], dims[6]);
  const size_t S = src.pixels.size();

  Buffer pyramid = Buffer::allocate(m, sizeof(float), true);
  Buffer work = Buffer::allocate(std::max<int64_t>(4 * m, int64_t(S)), 1, true);
  const int curve_n = src.doc_type == 1 ? 65536 : 1;
  Buffer curve = camera_curve(curve_n);
  if (!pyramid || !work || !curve) return fail("", "not enough memory for the Details Enhancer pyramid");
  std::memcpy(work.data(), src.pixels.data(), S);

  float lum[TMLIB_LUM_PARAMS] = {};
  DimParam dim = make_dim(W, H, spp);
  dim.v[6] = spp * W;

  notify(o, Stage::Pyramid);
  int r = calc_tm1(src.doc_type, dim, p.data(), dims, lum, table, curve.as<float>(), 0,
                   make_optim(o.workers), work.data(), pyramid.as<float>());
  if (r < 0) return fail("", engine_reason("the pyramid stage", r));
  work.reset();

  notify(o, Stage::Solve);
  r = calc_tm2(dim, dims[7], dims[8], dims[5], dims[11], p.data(), make_optim(o.workers),
               pyramid.as<float>());
  if (r == -2 && p[16] == 0.0f && dims[11] < 1)
    // The multigrid path of the five smoothing levels refuses a picture too small to have a
    // single coarse grid at the chosen level; say so rather than blaming threads or files.
    return fail("", "the image is too small for the smoothing level chosen (" + std::to_string(W) + " x " +
                        std::to_string(H) + "): choose a stronger smoothing level, the smoothing slider, or --method compressor");
  if (r < 0) return fail("", engine_reason("the solver", r));
  // Level 0 is the compressed luminance; the coarser levels are no longer needed.
  pyramid.shrink(size_t(W) * size_t(H) * sizeof(float));

  const bool encode = encodes_display(src.doc_type, o);
  auto pic = new_picture(W, H, spp, encode ? 16 : o.bits);
  if (!pic) return pic.failure();
  DimParam dim3 = make_dim(W, H, spp);
  dim3.v[4] = pic->bits;
  dim3.v[5] = spp * W;
  dim3.v[6] = spp * W;

  notify(o, Stage::Finishing);
  r = calc_tm3(src.doc_type, dim3, p.data(), lum, table, curve.as<float>(), make_optim(o.workers),
               src.pixels.data(), pyramid.as<float>(), pic->pixels.data());
  // In memory the stage gives -2 for one thing only: a worker thread could not be started (a
  // process limit, say), and the calling thread has then finished the whole picture alone,
  // the same picture. It normalises its plane in place before it starts the workers, so it
  // could not simply be run again on one worker without a copy of the plane, which would
  // cost every render 4 bytes a pixel for a rare failure.
  if (r == -2) r = H;
  if (r <= 0) return fail("", engine_reason("the finishing stage", r));
  if (encode) encode_display(*pic, o.bits);
  return pic;
}

// Tone Compressor results of float documents are raised to the power 2.2, the way the
// finishing stage of Details Enhancer does it itself, when the linear light is kept.
void raise_to_2_2(Picture &pic) {
  const int64_t n = int64_t(pic.width) * pic.height * pic.spp;
  if (pic.bits == 8) {
    unsigned char lut[256];
    for (int b = 0; b < 256; ++b) {
      const float x = float(b) * 0.00390625f;
      const int v = int(std::pow(double(x), 2.2) * 256.0);
      lut[b] = (unsigned char)std::clamp(v, 0, 255);
    }
    unsigned char *px = pic.pixels.data();
    for (int64_t i = 0; i < n; ++i) px[i] = lut[px[i]];
  } else {
    std::vector<uint16_t> lut(65536);
    for (int b = 0; b < 65536; ++b) {
      const float x = float(b) * (1.0f / 65536.0f);
      const int v = int(std::pow(double(x), 2.2) * 65536.0);
      lut[b] = uint16_t(std::clamp(v, 0, 65535));
    }
    uint16_t *px = pic.pixels.as<uint16_t>();
    for (int64_t i = 0; i < n; ++i) px[i] = lut[px[i]];
  }
}

Result<Picture> render_compressor(Source &src, int W, int H, int spp, const RenderOptions &o) {
  TmParam p = o.param;
  const int doc_type = src.doc_type;
  if (doc_type == 1) {
    Buffer rgbe = Buffer::allocate(int64_t(W) * H, 4, true);
    Buffer curve = camera_curve(65536);
    if (!rgbe || !curve) return fail("", "not enough memory for the RGBE copy of the image");
    const int r = convert_to_rgbe(16, W, H, spp, int64_t(spp) * W, curve.as<float>(),
                                  src.pixels.as<uint16_t>(), rgbe.data());
    if (r < 0) return fail("", engine_reason("converting to RGBE", r));
    src.pixels = std::move(rgbe);
  }
  float table[256];
  exp_lut(table, -8);

  notify(o, Stage::Statistics);
  float lum[TMLIB_LUM_PARAMS] = {};
  // Statistics that could not be taken would leave the operator reading an unwritten record.
  const int s = logMinMaxMoy(W, H, table, src.pixels.data(), lum);
  if (s < 0) return fail("", engine_reason("luminance statistics", s));

  auto pic = new_picture(W, H, spp, o.bits);
  if (!pic) return pic.failure();
  DimParam dim = make_dim(W, H, spp);
  dim.v[4] = o.bits;
  dim.v[6] = spp * W;

  notify(o, Stage::Finishing);
  int r = tm_simple(dim, p.data(), lum, table, make_optim(o.workers), src.pixels.data(), pic->pixels.data());
  if (r == -2 && o.workers > 1)
    // A worker thread could not be started (a process limit, say): the same mapping on the
    // calling thread alone gives the same picture.
    r = tm_simple(dim, p.data(), lum, table, make_optim(1), src.pixels.data(), pic->pixels.data());
  if (r <= 0) return fail("", engine_reason("Tone Compressor", r));
  // For a display-encoded picture the 2.2 power and the 1/2.2 encoding cancel: the operator's
  // own result is already that picture, at full precision.
  if (doc_type == 0 && o.linear_float) raise_to_2_2(*pic);
  return pic;
}

}  // namespace

const char *stage_name(Stage s) {
  switch (s) {
    case Stage::Statistics: return "statistics";
    case Stage::Pyramid: return "pyramid";
    case Stage::Solve: return "solve";
    case Stage::Finishing: return "finishing";
  }
  return "?";
}

int64_t default_disk_threshold() {
  const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
  const int64_t bytes = pages > 0 && page > 0 ? int64_t(pages) * page : int64_t(4) << 30;
  // Above half the memory at about 40 bytes per pixel, the in-memory render would crowd out
  // everything else on the machine.
  return bytes / 2 / 40;
}

Result<Picture> render(Image &image, const RenderOptions &o) {
  const int W = image.width, H = image.height, spp = image.spp;
  if (o.method != 1 && o.method != 2) return fail("", "unknown method " + std::to_string(o.method));
  if (o.bits != 8 && o.bits != 16) return fail("", "bits per sample must be 8 or 16");
  if (spp != 1 && spp != 3) return fail("", "only grey and RGB images can be rendered");
  if (W <= 9 || H <= 9)
    return fail("", "the image is too small (" + std::to_string(W) + " x " + std::to_string(H) +
                        "); both sides must exceed 9 pixels");
  auto src = make_source(image);
  if (!src) return src.failure();
  if (o.method == 1) {
    // Working from disk needs an RGBE source (float documents) with three channels.
    const int64_t threshold = o.disk_threshold_pixels > 0 ? o.disk_threshold_pixels : default_disk_threshold();
    const bool can = src->doc_type == 0 && spp == 3;
    const bool want = o.disk == RenderOptions::Disk::Always ||
                      (o.disk == RenderOptions::Disk::Auto && int64_t(W) * H > threshold);
    if (want && !can && o.disk == RenderOptions::Disk::Always)
      return fail("", "working from disk needs a float RGB image (OpenEXR, Radiance, float TIFF or PFM)");
    if (want && can) return render_details_from_disk(*src, W, H, o);
    return render_details(*src, W, H, spp, o);
  }
  return render_compressor(*src, W, H, spp, o);
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
      Buffer curve = camera_curve(65536);
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
