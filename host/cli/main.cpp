// SPDX-License-Identifier: MIT
// brightloom: tone-maps HDR images from the command line.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "cleanup.h"
#include "commands.h"
#include "edit.h"
#include "settings.h"

namespace {

std::string settings_help() {
  std::string s =
      "\nSettings for --set (Name=value; names are those of the settings files, ranges those of the\n"
      "dialog; defaults from --settings/--preset/--last or the method's factory settings):\n"
      "  Details Enhancer:\n";
  for (int method : {1, 2}) {
    if (method == 2) s += "  Tone Compressor:\n";
    for (const auto &slot : brightloom::slots_of(method)) {
      char range[48];
      if (slot.kind == brightloom::SlotKind::SmoothingMode)
        std::snprintf(range, sizeof range, "Light|Slider");
      else
        std::snprintf(range, sizeof range, "%g..%g", double(slot.min), double(slot.max));
      char line[240];
      std::snprintf(line, sizeof line, "    %-22s %-13s %s\n", slot.name, range, slot.help);
      s += line;
    }
  }
  return s;
}

}  // namespace

int main(int argc, char **argv) {
  using namespace brightloom;
  CLI::App app{
      "brightloom - turns high-dynamic-range images (OpenEXR, Radiance .hdr, TIFF, PFM, PNG)\n"
      "into finished 8- or 16-bit pictures (PNG, TIFF, JPEG) with one of two tone mappers:\n"
      "  details     Details Enhancer: local, keeps fine detail in highlights and shadows\n"
      "  compressor  Tone Compressor: global and fast\n"};
  app.require_subcommand(1);
  app.footer(
      "Examples:\n"
      "  brightloom render photo.exr                    writes ./photo.png\n"
      "  brightloom render *.exr --out-dir out --jobs 2 --method compressor\n"
      "  brightloom render pano.hdr -o pano.jpg --set Strength=80 --set Panorama360=1\n"
      "  brightloom edit photo.exr                      tune in the dialog, writes photo.png beside it\n"
      "  brightloom render *.exr --last --out-dir out   applies what the last edit confirmed\n"
      "  brightloom info photo.exr\n"
      "  brightloom demo\n"
      "Run 'brightloom render --help' for all render options.");

  RenderRequest req;
  std::string disk = "auto";
  auto *render = app.add_subcommand("render", "Tone-map one or many images and write pictures");
  render->add_option("inputs", req.inputs, "Input images (OpenEXR, .hdr, TIFF, PFM, PNG)")->required();
  auto *o_out =
      render->add_option("-o,--output", req.output, "Output file (one input only); its extension picks the format");
  auto *o_dir = render->add_option("--out-dir", req.out_dir,
                                   "Folder for the pictures, named after the inputs (default: current folder)");
  o_out->excludes(o_dir);
  // An empty name (an unset shell variable) would otherwise mean "not given": the picture would
  // land in the current folder, or the render would run on default settings, without a word.
  const auto named = [](const std::string &v) {
    return v.empty() ? std::string("an empty name is not allowed") : std::string();
  };
  o_out->check(named);
  o_dir->check(named);
  render->add_option("--format", req.format, "Output format: png (default), tiff or jpeg");
  render->add_option("--method", req.method, "details (default) or compressor");
  auto *o_set = render->add_option("--settings", req.settings_file, "Settings file (.xmp) saved by the dialog");
  auto *o_pre = render->add_option("--preset", req.preset, "Built-in preset by name");
  auto *o_last = render->add_flag("--last", req.last, "Start from the settings of the last successful render");
  o_set->check(named);
  o_pre->check(named);
  o_set->excludes(o_pre);
  o_set->excludes(o_last);
  o_pre->excludes(o_last);
  // One value per --set, so that the input files after it are not taken as settings.
  render->add_option("--set", req.sets, "Change one setting, e.g. --set Strength=80 (repeatable; see below)")
      ->allow_extra_args(false);
  render->add_option("--bits", req.bits, "Bits per output sample: 8 (default) or 16")->check(CLI::IsMember({8, 16}));
  render->add_option("--quality", req.quality, "JPEG quality 1-100 (default 92)")->check(CLI::Range(1, 100));
  render->add_option("--threads", req.threads, "Worker threads per image (default: processors / jobs)")
      ->check(CLI::Range(1, 32));
  render->add_option("--jobs", req.jobs, "Images rendered at the same time (default 1)")->check(CLI::Range(1, 64));
  render
      ->add_option("--work-from-disk", disk,
                   "Details Enhancer keeps large buffers in temporary files: auto (very large images), "
                   "always or never")
      ->check(CLI::IsMember({"auto", "always", "never"}));
  render->add_option("--temp-dir", req.temp_dir, "Folder for the temporary files (default: $TMPDIR or /tmp)");
  render->add_flag("--timings", req.timings, "Print the time spent reading, rendering and writing each file");
  render->add_flag("-q,--quiet", req.quiet, "Print nothing but errors");
  render->footer(settings_help());

  EditRequest edit_req;
  auto *edit = app.add_subcommand(
      "edit", "Tune one image in the tone-mapping dialog; OK writes the full-size picture beside it");
  edit->add_option("input", edit_req.input, "Input image (OpenEXR, .hdr, TIFF, PFM, PNG)")->required();
  edit->add_option("-o,--output", edit_req.output, "Output file; its extension picks the format")->check(named);
  edit->add_option("--format", edit_req.format, "Output format: png (default), tiff or jpeg");
  edit->add_option("--bits", edit_req.bits, "Bits per output sample: 8 (default) or 16")->check(CLI::IsMember({8, 16}));
  edit->add_option("--quality", edit_req.quality, "JPEG quality 1-100 (default 92)")->check(CLI::Range(1, 100));
  edit->add_flag("-q,--quiet", edit_req.quiet, "Print nothing but errors");
  edit->footer(
      "\nThe dialog starts from the settings of the last confirmed edit, with its preview size and\n"
      "window; OK also makes them the settings 'render --last' uses. Cancel writes nothing (exit\n"
      "code 3). BRIGHTLOOM_DIALOG names a dialog bundle other than the installed one.");

  std::string info_path;
  auto *info = app.add_subcommand("info", "Show size, kind, channels, colour profile and luminance statistics");
  info->add_option("input", info_path, "Input image")->required();

  std::string demo_dir = "out";
  bool demo_quiet = false;
  auto *demo = app.add_subcommand("demo", "Render the bundled sample image into out/ and print where it is");
  demo->add_option("--out-dir", demo_dir, "Folder for the picture (default: out)");
  demo->add_flag("-q,--quiet", demo_quiet, "Print only the picture's path");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    // The parser's own codes (105, 106, ...) would tell scripts nothing the usage code does
    // not; --help is a parse "error" too, and succeeds.
    return app.exit(e) == 0 ? kExitOk : kExitUsage;
  }
  install_interrupt_cleanup();

  if (*render) {
    req.disk = disk == "always"  ? RenderOptions::Disk::Always
               : disk == "never" ? RenderOptions::Disk::Never
                                 : RenderOptions::Disk::Auto;
    return run_render(req);
  }
  if (*edit) return run_edit(edit_req);
  if (*info) return run_info(info_path);
  if (*demo) return run_demo(demo_dir, demo_quiet);
  return kExitUsage;
}
