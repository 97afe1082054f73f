// SPDX-License-Identifier: MIT
#include "edit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <new>
#include <optional>
#include <system_error>
#include <utility>

#include "commands.h"
#include "dialog_call.h"
#include "document_profile.h"
#include "edit_state.h"
#include "workers.h"
#include "output_naming.h"
#include "progress.h"
#include "render.h"

namespace brightloom {
namespace fs = std::filesystem;
namespace {

void report(FILE *err, const std::string &msg) {
  std::fprintf(err, "brightloom: %s\n", msg.c_str());
  std::fflush(err);
}

// The dialog reads float samples; a Radiance file arrives as RGBE rows (per row W red, W green,
// W blue, W exponent bytes; a channel is mantissa * 2^(E - 136), all zero is black).
Status rgbe_to_float(Image &img) {
  const int64_t W = img.width, H = img.height;
  Buffer f = Buffer::allocate(W * H * 3, 4);
  if (!f) return fail("", "not enough memory for the float copy of the image");
  // The engine's table of exponent scales: table[E] = 2^(E - 136).
  float table[256];
  exp_lut(table, -8);
  const unsigned char *src = img.pixels.data();
  float *dst = f.as<float>();
  for (int64_t y = 0; y < H; ++y) {
    const unsigned char *row = src + y * W * 4;
    for (int64_t x = 0; x < W; ++x) {
      const int e = row[3 * W + x];
      const float scale = e == 0 ? 0.0f : table[e];
      for (int c = 0; c < 3; ++c) dst[(y * W + x) * 3 + c] = float(row[c * W + x]) * scale;
    }
  }
  img.pixels = std::move(f);
  img.type = SampleType::F32;
  img.spp = 3;
  return Status::success();
}

// The file a name resolves to (links followed), or none.
std::optional<std::pair<dev_t, ino_t>> identity(const std::string &path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return std::pair{st.st_dev, st.st_ino};
}

int edit(const EditRequest &req, FILE *out, FILE *err) {
  const std::string &in = req.input;
  if (req.bits != 8 && req.bits != 16) {
    report(err, "--bits must be 8 or 16");
    return kExitUsage;
  }
  auto format = choose_output_format(req.format, req.output, req.bits);
  if (!format) {
    report(err, format.failure().message());
    return kExitUsage;
  }
  // Beside the input, so that the picture lands next to what was edited wherever edit runs.
  std::string dst =
      picture_paths({in}, req.output, req.output.empty() ? fs::path(in).parent_path().string() : "", **format)[0];

  // Everything that would stop the picture from being written is found before the user spends
  // time in the dialog.
  std::error_code ec;
  if (!fs::exists(in, ec)) {
    report(err, in + ": no such file");
    return kExitSomeFailed;
  }
  // A picture whose place is chosen after OK is checked once it is chosen.
  auto unusable_output = [&] {
    if (fs::exists(dst, ec) && fs::equivalent(in, dst, ec)) {
      report(err, in + ": the output " + dst + " would overwrite the input; choose another with -o");
      return true;
    }
    if (Status st = check_output_target(dst); !st) {
      report(err, in + ": " + st.failure().message());
      return true;
    }
    return false;
  };
  if (!req.choose_output && unusable_output()) return kExitSomeFailed;
  const std::string instead = "; 'brightloom render " + in + "' renders it without the dialog";
  if (const std::string why = missing_display(); !why.empty()) {
    report(err, "cannot open the dialog: " + why + instead);
    return kExitSomeFailed;
  }
  auto bundle = load_dialog_bundle();
  if (!bundle) {
    report(err, bundle.failure().message() + instead);
    return kExitSomeFailed;
  }

  const int workers = default_worker_count();
  auto img = read_image(in, workers, false);
  if (!img) {
    report(err, in + ": " + img.failure().reason);
    return kExitSomeFailed;
  }
  for (const std::string &w : img->warnings) report(err, in + ": warning: " + w);
  // What was read, to tell it from the output right before the output is written.
  const auto input_file = identity(in);
  if (Status st = check_render_size(img->width, img->height); !st) {
    report(err, in + ": " + st.failure().reason);
    return kExitSomeFailed;
  }
  if (img->type == SampleType::RGBE) {
    if (Status st = rgbe_to_float(*img); !st) {
      report(err, in + ": " + st.failure().reason);
      return kExitSomeFailed;
    }
  }

  const std::string state_path = edit_state_path();
  LoadedEditState loaded = load_edit_state(state_path);
  if (!loaded.warning.empty()) report(err, "warning: " + loaded.warning);
  EditState state = loaded.state;

  DialogDocument doc{img->width, img->height, img->spp, img->doc_type(), document_profile(*img), img->pixels.data()};
  const DialogAnswer answer = call_dialog(*bundle, doc, state.settings, state.param);

  // The preview size and the window frame are kept whichever way the dialog was left; the
  // method and the record only when the user confirmed them.
  answer.keep_view(state.settings);
  if (answer.confirmed()) {
    state.settings.method = answer.method();
    state.param = answer.param;
  }
  if (Status st = save_edit_state(state_path, state); !st) report(err, "warning: " + st.failure().message());

  if (answer.kind == DialogAnswer::Kind::Cancelled) {
    report(err, in + ": edit cancelled; nothing written");
    return kExitCancelled;
  }
  if (!answer.confirmed()) {
    report(err, answer.problem + "; nothing written");
    return kExitSomeFailed;
  }
  const int method = answer.method();
  const TmParam &param = answer.param;

  if (req.choose_output) {
    const int chosen = req.choose_output(dst);
    if (chosen == 0) {
      report(err, in + ": no name chosen for the picture; nothing written");
      return kExitCancelled;
    }
    if (chosen != 1) return kExitSomeFailed;
    // The chosen name's extension picks the format.
    format = choose_output_format("", dst, req.bits);
    if (!format) {
      report(err, dst + ": " + format.failure().message());
      return kExitSomeFailed;
    }
    if (unusable_output()) return kExitSomeFailed;
  }

  Progress progress(!req.quiet && ::isatty(::fileno(err)) == 1, 1, err);
  progress.started(0, fs::path(in).filename().string());
  auto failed = [&](const std::string &reason) {
    progress.finished(0, "");
    progress.print(err, "brightloom: " + in + ": " + reason);
    return kExitSomeFailed;
  };
  RenderOptions opt;
  opt.method = method;
  opt.param = param;
  opt.bits = req.bits;
  opt.workers = workers;
  opt.on_stage = [&progress](Stage s) { progress.stage(0, pipeline::step_name(s)); };
  const int W = img->width, H = img->height;
  std::vector<unsigned char> picture_icc = picture_profile(*img);
  auto pic = render(*img, opt);
  if (!pic) return failed(pic.failure().reason);
  progress.stage(0, "writing");
  pic->icc = std::move(picture_icc);
  // The output's name may have come to mean the input while the dialog was open (a link made
  // meanwhile): checked again, against the file the name now resolves to.
  if (const auto output_file = identity(dst); input_file && output_file == input_file)
    return failed("the output " + dst + " would overwrite the input; choose another with -o");
  WriteOptions wo;
  wo.jpeg_quality = req.quality;
  if (Status st = write_picture(dst, **format, *pic, wo); !st) return failed(st.failure().message());

  char line[1024];
  std::snprintf(line, sizeof line, "%s -> %s (%d x %d, %d-bit %s, %s)", in.c_str(), dst.c_str(), W, H, req.bits,
                (*format)->label, method_name(method));
  if (progress.enabled())
    progress.finished(0, line);
  else if (!req.quiet)
    progress.print(out, line);
  // A batch can now take what the user chose here: render --last.
  if (Status st = save_last_settings(method, param); !st) report(err, "warning: " + st.failure().message());
  return kExitOk;
}

}  // namespace

int run_edit(const EditRequest &req, FILE *out, FILE *err) {
  try {
    return edit(req, out, err);
  } catch (const std::bad_alloc &) {
    report(err, req.input + ": not enough memory");
    return kExitSomeFailed;
  }
}

}  // namespace brightloom
