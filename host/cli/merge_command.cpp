// SPDX-License-Identifier: MIT
#include "merge_command.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cleanup.h"
#include "commands.h"
#include "icc.h"
#include "merge.h"
#include "progress.h"
#include "read_jpeg.h"
#include "read_raw.h"
#include "workers.h"
#include "write_exr.h"

namespace brightloom {
namespace {

std::string base_name(const std::string &path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string stem(const std::string &path) {
  std::string b = base_name(path);
  const auto dot = b.find_last_of('.');
  return dot == std::string::npos || dot == 0 ? b : b.substr(0, dot);
}

bool ends_with_exr(const std::string &path) {
  if (path.size() < 4) return false;
  std::string ext = path.substr(path.size() - 4);
  for (char &c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".exr";
}

std::string fmt(const char *f, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, f, v);
  return buf;
}

}  // namespace

int run_merge(const MergeRequest &req, FILE *out, FILE *err) {
  using namespace brackets;
  const std::string output = req.output.empty() ? stem(req.inputs.empty() ? "merged" : req.inputs[0]) + "-merged.exr"
                                                : req.output;
  if (!ends_with_exr(output)) {
    std::fprintf(err, "brightloom: %s: merge writes OpenEXR files; name the output .exr\n", output.c_str());
    return kExitUsage;
  }
  if (req.inputs.size() < 2) {
    std::fprintf(err, "brightloom: %s%sa merge needs at least two exposures of the scene\n",
                 req.inputs.empty() ? "" : req.inputs[0].c_str(), req.inputs.empty() ? "" : ": ");
    return kExitUsage;
  }
  if (int(req.inputs.size()) > kMaxFrames) {
    std::fprintf(err, "brightloom: %zu frames given; a bracket set holds at most %d (were several sets passed as one?)\n",
                 req.inputs.size(), kMaxFrames);
    return kExitUsage;
  }
  if (!req.ev.empty() && req.ev.size() != req.inputs.size()) {
    std::fprintf(err, "brightloom: --ev gives %zu exposure values for %zu frames; give one per frame\n", req.ev.size(),
                 req.inputs.size());
    return kExitUsage;
  }
  // Refused before the work, not after it.
  if (Status s = check_output_target(output); !s) {
    std::fprintf(err, "brightloom: %s: %s\n", output.c_str(), s.failure().reason.c_str());
    return kExitSomeFailed;
  }

  MergeOptions opt;
  opt.ev = req.ev;
  opt.align = req.align;
  opt.deghost = req.deghost;
  opt.threads = req.threads > 0 ? req.threads : default_worker_count();
  if (req.response == "srgb") {
    opt.response = ResponseChoice::Srgb;
  } else if (req.response == "linear") {
    opt.response = ResponseChoice::Linear;
  } else if (req.response != "auto") {
    auto curve = load_response(req.response);
    if (!curve) {
      std::fprintf(err, "brightloom: %s\n", curve.failure().message().c_str());
      return kExitSomeFailed;
    }
    opt.response = ResponseChoice::Given;
    opt.given_response = std::move(curve.value());
  }

  const auto start = std::chrono::steady_clock::now();
  Progress progress(!req.quiet && ::isatty(::fileno(err)), 1, err);
  progress.started(0, base_name(output));
  std::vector<Frame> frames;
  for (size_t i = 0; i < req.inputs.size(); ++i) {
    progress.stage(0, "reading frames");
    auto f = load_frame(req.inputs[i]);
    if (!f) {
      progress.print(err, "brightloom: " + f.failure().message() + "; nothing written");
      return kExitSomeFailed;
    }
    frames.push_back(std::move(f.value()));
  }
  std::vector<std::string> kinds, described;
  for (const Frame &f : frames) described.push_back(f.exposure.describe());
  opt.progress = [&](const char *stage, double) { progress.stage(0, stage); };
  MergeReport rep;
  auto hdr = merge_frames(std::move(frames), opt, rep);
  if (!hdr) {
    progress.print(err, "brightloom: " + hdr.failure().message() + "; nothing written");
    return kExitSomeFailed;
  }
  if (!req.save_response.empty()) {
    if (Status s = save_response(req.save_response, rep.response); !s) {
      progress.print(err, "brightloom: " + s.failure().message());
      return kExitSomeFailed;
    }
  }

  ExrImage exr;
  exr.width = hdr->width;
  exr.height = hdr->height;
  exr.rgb = hdr->rgb.data();
  exr.primaries = hdr->primaries;
  // The crop to what every frame covers, as OpenEXR says it: a data window inside the frames'.
  exr.x0 = rep.crop_x;
  exr.y0 = rep.crop_y;
  exr.full_width = rep.frame_width;
  exr.full_height = rep.frame_height;
  exr.half = !req.full_float;
  exr.threads = opt.threads;
  std::string names, evs, shifts;
  for (size_t i = 0; i < rep.frames.size(); ++i) {
    const std::string sep = i ? "; " : "";
    const Transform &t = rep.transforms[i];
    names += sep + base_name(rep.frames[i]);
    evs += sep + fmt("%+.3f", std::log2(rep.exposures[i]));
    shifts += sep + fmt("%.2f", t.dx) + " " + fmt("%.2f", t.dy) + " " + fmt("%.3f", t.angle * 180 / M_PI);
  }
  exr.attributes = {{"brightloomFrames", names},
                    {"brightloomExposures", evs + " (EV relative to " + base_name(rep.frames[size_t(rep.reference)]) +
                                                ", " + rep.exposure_source + ")"},
                    {"brightloomShifts", shifts + " (x y pixels, degrees)"},
                    {"brightloomResponse", rep.response_source},
                    {"software", "brightloom merge"}};
  progress.stage(0, "writing");
  if (Status s = write_exr(output, exr); !s) {
    progress.print(err, "brightloom: " + s.failure().message());
    return kExitSomeFailed;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  progress.finished(0, "");
  if (req.quiet) return kExitOk;
  std::fprintf(out, "frames (exposures %s; response %s):\n", rep.exposure_source.c_str(), rep.response_source.c_str());
  for (size_t i = 0; i < rep.frames.size(); ++i) {
    const Transform &t = rep.transforms[i];
    std::string shift = int(i) == rep.reference ? "reference" : "shift " + fmt("%+.1f", t.dx) + " " + fmt("%+.1f", t.dy) + " px";
    if (t.angle != 0) shift += ", rotation " + fmt("%+.2f", t.angle * 180 / M_PI) + " deg";
    std::fprintf(out, "  %-28s %+6.2f EV  %-34s %s\n", base_name(rep.frames[i]).c_str(), std::log2(rep.exposures[i]),
                 shift.c_str(), described[i].c_str());
  }
  for (const std::string &note : rep.notes) std::fprintf(out, "note: %s\n", note.c_str());
  if (req.deghost) std::fprintf(out, "ghosts: %.1f %% of the picture taken from one frame\n", 100 * rep.ghost_share);
  std::fprintf(out, "wrote %s (%d x %d, %s OpenEXR) in %.1f s\n", output.c_str(), hdr->width, hdr->height,
               req.full_float ? "float" : "half", seconds);
  return kExitOk;
}

int run_render_brackets(const RenderRequest &req, const MergeRequest &merge, FILE *out, FILE *err) {
  std::string dir = (std::getenv("TMPDIR") && *std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                    std::string("/brightloom-brackets-XXXXXX");
  if (!::mkdtemp(dir.data())) {
    std::fprintf(err, "brightloom: cannot create a temporary folder for the merge: %s\n", std::strerror(errno));
    return kExitSomeFailed;
  }
  const int folder_slot = register_temp_folder(dir.c_str());
  MergeRequest m = merge;
  m.inputs = req.inputs;
  m.output = dir + "/" + stem(req.inputs.empty() ? "merged" : req.inputs[0]) + "-merged.exr";
  m.full_float = true;
  m.quiet = req.quiet;
  const int file_slot = register_temp_file(m.output.c_str());
  int rc = run_merge(m, out, err);
  if (rc == kExitOk) {
    RenderRequest r = req;
    r.inputs = {m.output};
    rc = run_render(r, out, err);
  }
  ::unlink(m.output.c_str());
  ::rmdir(dir.c_str());
  unregister_temp(file_slot);
  unregister_temp(folder_slot);
  return rc;
}

bool parse_ev_list(const std::string &text, std::vector<double> &out) {
  out.clear();
  const char *p = text.c_str();
  while (*p) {
    while (*p == ',' || *p == ' ') ++p;
    if (!*p) break;
    char *end = nullptr;
    const double v = std::strtod(p, &end);
    if (end == p || !std::isfinite(v) || std::fabs(v) > 30) return false;
    out.push_back(v);
    p = end;
    if (*p && *p != ',' && *p != ' ') return false;
  }
  return !out.empty();
}

bool is_camera_frame(const std::string &path) {
  if (has_raw_extension(path)) return true;
  unsigned char head[4] = {};
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  const size_t n = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  return is_jpeg(head, n);
}

void print_exposure_info(const std::string &path, FILE *out) {
  const ExposureInfo e = has_raw_extension(path) ? ExposureInfo{} : read_exposure_info(path);
  if (!e.camera.empty()) std::fprintf(out, "camera:    %s\n", e.camera.c_str());
  if (!e.capture_time.empty()) std::fprintf(out, "taken:     %s\n", e.capture_time.c_str());
  if (!e.describe().empty()) std::fprintf(out, "exposure:  %s\n", e.describe().c_str());
}

int run_frame_info(const std::string &path, FILE *out, FILE *err) {
  auto frame = brackets::load_frame(path);
  if (!frame) {
    std::fprintf(err, "brightloom: %s\n", frame.failure().message().c_str());
    return kExitSomeFailed;
  }
  std::fprintf(out, "file:      %s\n", path.c_str());
  std::fprintf(out, "format:    %s\n", frame->kind.c_str());
  std::fprintf(out, "size:      %d x %d pixels\n", frame->width, frame->height);
  std::fprintf(out, "samples:   %s\n", frame->linear ? "linear light" : "camera codes (tone curve applied)");
  const ExposureInfo &e = frame->exposure;
  if (!e.camera.empty()) std::fprintf(out, "camera:    %s\n", e.camera.c_str());
  if (!e.capture_time.empty()) std::fprintf(out, "taken:     %s\n", e.capture_time.c_str());
  std::fprintf(out, "exposure:  %s\n", e.describe().empty() ? "not recorded (merge estimates it from the frames)"
                                                           : e.describe().c_str());
  std::fprintf(out, "use:       a bracket frame: brightloom merge %s OTHER-FRAMES... -o merged.exr\n", path.c_str());
  return kExitOk;
}

}  // namespace brightloom
