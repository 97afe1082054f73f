// SPDX-License-Identifier: MIT
#include "commands.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <new>
#include <system_error>
#include <thread>

#include "document_profile.h"
#include "workers.h"
#include "icc.h"
#include "output_naming.h"
#include "progress.h"
#include "settings_resolution.h"

namespace brightloom {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// What a render needs besides the per-file record, settled once before the first file.
struct Plan {
  SettingsRecipe recipe;
  const FormatDescriptor *format = &default_output_format();
  std::vector<std::string> outputs;
  int workers = 1;
};

struct Outcome {
  bool ok = false;
  TmParam param{};
};

void report(FILE *err, const std::string &msg) {
  std::fprintf(err, "brightloom: %s\n", msg.c_str());
  std::fflush(err);
}

// Fails with a usage message (returned as a Failure) when the request cannot work at all.
Result<Plan> make_plan(const RenderRequest &req) {
  Plan plan;
  if (req.inputs.empty()) return fail("", "no input files given");
  if (!req.output.empty() && req.inputs.size() > 1)
    return fail("", "-o names one output file; with several inputs use --out-dir");
  if (!req.output.empty() && !req.out_dir.empty()) return fail("", "use either -o or --out-dir, not both");
  if (req.bits != 8 && req.bits != 16) return fail("", "--bits must be 8 or 16");
  if (req.jobs < 1) return fail("", "--jobs must be at least 1");
  if (req.threads < 0 || req.threads > TMLIB_MAX_WORKERS) return fail("", "--threads must be 1 to 32");
  if (req.quality < 1 || req.quality > 100) return fail("", "--quality must be 1 to 100");

  auto format = choose_output_format(req.format, req.output, req.bits);
  if (!format) return format.failure();
  plan.format = *format;
  auto recipe = resolve_settings_choice({req.method, req.settings_file, req.preset, req.last, req.sets});
  if (!recipe) return recipe.failure();
  plan.recipe = std::move(*recipe);
  plan.outputs = picture_paths(req.inputs, req.output, req.out_dir, *plan.format);
  plan.workers = req.threads > 0 ? req.threads : std::max(1, default_worker_count() / req.jobs);
  return plan;
}

Outcome render_one(const RenderRequest &req, const Plan &plan, size_t i, Progress &progress, FILE *out, FILE *err) {
  Outcome oc;
  const std::string &in = req.inputs[i];
  const std::string &dst = plan.outputs[i];
  auto failed = [&](const std::string &reason) {
    progress.finished(int(i), "");
    progress.print(err, "brightloom: " + in + ": " + reason);
    return oc;
  };
  try {
    std::error_code ec;
    if (fs::exists(dst, ec) && fs::equivalent(in, dst, ec))
      return failed("the output " + dst + " would overwrite the input; choose another --out-dir or -o");
    // An output that will be refused is refused before the render, not after it.
    if (Status st = check_output_target(dst); !st) return failed(st.failure().message());

    const auto t0 = Clock::now();
    progress.started(int(i), fs::path(in).filename().string());
    auto img = read_image(in, plan.workers, true);
    if (!img) return failed(img.failure().reason);
    const double t_read = seconds_since(t0);
    for (const std::string &w : img->warnings) progress.print(err, "brightloom: " + in + ": warning: " + w);

    auto param = resolve(plan.recipe, img->doc_type());
    if (!param) return failed(param.failure().message());
    RenderOptions opt;
    opt.method = plan.recipe.method;
    opt.param = *param;
    opt.bits = req.bits;
    opt.workers = plan.workers;
    opt.disk = req.disk;
    opt.temp_dir = req.temp_dir;
    opt.disk_threshold_pixels = req.disk_threshold_pixels;
    opt.on_stage = [&progress, i](Stage s) { progress.stage(int(i), pipeline::step_name(s)); };
    const int W = img->width, H = img->height;
    const double encode = img->encode_seconds;
    std::vector<unsigned char> icc = picture_profile(*img);
    const auto t1 = Clock::now();
    auto pic = render(*img, opt);
    if (!pic) return failed(pic.failure().reason);
    const double t_render = seconds_since(t1);
    img->pixels.reset();

    const auto t2 = Clock::now();
    progress.stage(int(i), "writing");
    pic->icc = std::move(icc);
    WriteOptions wo;
    wo.jpeg_quality = req.quality;
    Status st = write_picture(dst, *plan.format, *pic, wo);
    if (!st) return failed(st.failure().message());
    const double t_write = seconds_since(t2);

    char line[1024];
    std::snprintf(line, sizeof line, "%s -> %s (%d x %d, %d-bit %s, %s)", in.c_str(), dst.c_str(), W, H, req.bits,
                  plan.format->label, method_name(plan.recipe.method));
    std::string text = line;
    if (req.timings) {
      char t[160];
      // RGBE encoding is the render pipeline's first step, wherever it runs.
      std::snprintf(t, sizeof t, "\n  timings: read %.3f s, render %.3f s (RGBE encoding %.3f s), write %.3f s",
                    t_read - encode, t_render + encode, encode, t_write);
      text += t;
    }
    if (progress.enabled())
      progress.finished(int(i), text);
    else if (!req.quiet || req.timings)
      progress.print(out, text);
    oc.ok = true;
    oc.param = *param;
    return oc;
  } catch (const std::bad_alloc &) {
    return failed("not enough memory");
  } catch (const std::exception &e) {
    return failed(e.what());
  }
}

}  // namespace

int run_render(const RenderRequest &req, FILE *out, FILE *err) {
  auto plan = make_plan(req);
  if (!plan) {
    report(err, plan.failure().message());
    return kExitUsage;
  }
  if (!req.out_dir.empty()) {
    std::error_code ec;
    fs::create_directories(req.out_dir, ec);
    if (!fs::is_directory(req.out_dir, ec)) {
      report(err, "cannot use the output folder " + req.out_dir + ": it cannot be created or is not a folder");
      return kExitSomeFailed;
    }
  }

  const int n = int(req.inputs.size());
  const bool terminal = ::isatty(::fileno(err)) == 1;
  std::vector<Outcome> outcomes(req.inputs.size());
  {
    Progress progress(!req.quiet && terminal, n, err);
    std::atomic<size_t> next{0};
    auto worker = [&] {
      for (size_t i; (i = next.fetch_add(1)) < req.inputs.size();)
        outcomes[i] = render_one(req, *plan, i, progress, out, err);
    };
    const int jobs = std::min(req.jobs, n);
    std::vector<std::thread> pool;
    for (int j = 1; j < jobs; ++j) {
      try {
        pool.emplace_back(worker);
      } catch (const std::system_error &) {
        break;  // no more threads to be had: the workers already running take the rest
      }
    }
    worker();
    for (std::thread &t : pool) t.join();
  }

  std::vector<std::string> failed;
  const Outcome *last_ok = nullptr;
  for (size_t i = 0; i < outcomes.size(); ++i) {
    if (outcomes[i].ok)
      last_ok = &outcomes[i];
    else
      failed.push_back(req.inputs[i]);
  }
  if (last_ok && req.save_last) {
    // The pictures are fine; only --last will not find these settings.
    if (Status st = save_last_settings(plan->recipe.method, last_ok->param); !st)
      report(err, "warning: " + st.failure().message());
  }

  if (!failed.empty()) {
    std::string names;
    for (const std::string &f : failed) names += (names.empty() ? "" : ", ") + f;
    std::fprintf(err, "brightloom: %d of %d files rendered; failed: %s\n", n - int(failed.size()), n, names.c_str());
    return kExitSomeFailed;
  }
  if (!req.quiet && n > 1) std::fprintf(out, "%d of %d files rendered\n", n, n);
  return kExitOk;
}

int run_info(const std::string &path, FILE *out, FILE *err) {
  try {
    auto img = read_image(path, default_worker_count(), true);
    if (!img) {
      report(err, img.failure().message());
      return kExitSomeFailed;
    }
    const char *doc[] = {"float (docType 0)", "16-bit (docType 1)", "8-bit (docType 2)"};
    std::fprintf(out, "file:      %s\n", path.c_str());
    std::fprintf(out, "format:    %s\n", img->kind.c_str());
    std::fprintf(out, "size:      %d x %d pixels\n", img->width, img->height);
    std::fprintf(out, "channels:  %d (%s)\n", img->spp, img->spp == 3 ? "RGB" : "grey");
    std::fprintf(out, "kind:      %s\n", doc[img->doc_type()]);
    std::fprintf(out, "profile:   %s\n", describe_profile(img->icc).c_str());
    for (const std::string &w : img->warnings) report(err, path + ": warning: " + w);
    if (img->doc_type() == 0)
      std::fprintf(out, "primaries: %s (%s)\n", describe_primaries(img->primaries).c_str(),
                   img->primaries_origin.empty() ? "the file names none" : img->primaries_origin.c_str());
    std::fprintf(out, "output:    %s\n", describe_picture_encoding(*img).c_str());
    float s[TMLIB_LUM_PARAMS] = {};
    Status st = image_statistics(*img, s);
    if (!st) {
      report(err, path + ": " + st.failure().reason);
      return kExitSomeFailed;
    }
    std::fprintf(out, "log-luminance (natural log of the %s):\n",
                 img->doc_type() == 0 ? "linear luminance" : "linearised luminance");
    std::fprintf(out, "  minimum      %9.4f  (%.4g)\n", s[0], std::exp(double(s[0])));
    std::fprintf(out, "  maximum      %9.4f  (%.4g)\n", s[1], std::exp(double(s[1])));
    std::fprintf(out, "  mean         %9.4f  (geometric mean %.4g)\n", s[2], std::exp(double(s[2])));
    std::fprintf(out, "  median       %9.4f\n", s[3]);
    std::fprintf(out, "  99.5th pct   %9.4f\n", s[4]);
    std::fprintf(out, "  range        %9.1f stops\n", double(s[1] - s[0]) / std::log(2.0));
    return kExitOk;
  } catch (const std::bad_alloc &) {
    report(err, path + ": not enough memory");
    return kExitSomeFailed;
  }
}

std::string find_sample() {
  std::vector<fs::path> candidates;
  const std::string exe = program_folder();
  if (!exe.empty()) candidates.push_back(fs::path(exe) / "../share/brightloom/samples/sunset.exr");
#ifdef BRIGHTLOOM_SOURCE_DIR
  candidates.push_back(fs::path(BRIGHTLOOM_SOURCE_DIR) / "samples/sunset.exr");
#endif
  if (!exe.empty()) {
    // The build tree: build/<preset>/host/brightloom below the source tree.
    candidates.push_back(fs::path(exe) / "../../../samples/sunset.exr");
  }
  for (const fs::path &p : candidates) {
    std::error_code ec;
    if (fs::is_regular_file(p, ec)) return p.lexically_normal().string();
  }
  return {};
}

int run_demo(const std::string &out_dir, bool quiet, FILE *out, FILE *err) {
  const std::string sample = find_sample();
  if (sample.empty()) {
    report(err, "cannot find the bundled sample image samples/sunset.exr");
    return kExitSomeFailed;
  }
  RenderRequest req;
  req.inputs = {sample};
  req.out_dir = out_dir.empty() ? "out" : out_dir;
  req.quiet = true;
  req.save_last = false;
  const int rc = run_render(req, out, err);
  if (rc != kExitOk) return rc;
  const fs::path pic = fs::absolute(fs::path(req.out_dir) / "sunset.png").lexically_normal();
  if (!quiet)
    std::fprintf(out, "Rendered %s with Details Enhancer (default settings).\nPicture: %s\n", sample.c_str(),
                 pic.string().c_str());
  else
    std::fprintf(out, "%s\n", pic.string().c_str());
  return kExitOk;
}

}  // namespace brightloom
