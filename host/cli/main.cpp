// SPDX-License-Identifier: MIT
// brightloom: tone-maps HDR images from the command line.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "cleanup.h"
#include "commands.h"
#include "edit.h"
#include "edit_choosers.h"
#include "merge_command.h"
#include "settings.h"

namespace {

std::string settings_help() {
  std::string s =
      "\nSettings for --set (Name=value; names are those of the settings files, ranges those of the\n"
      "dialog; defaults from --settings/--preset/--last or the method's factory settings):\n"
      "  Details Enhancer:\n";
  for (int method : {1, 2, 10, 11}) {
    if (method != 1) s += std::string("  ") + brightloom::method_name(method) + ":\n";
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
      "  compressor  Tone Compressor: global and fast\n"
      "or by exposure fusion of virtual exposures spanning the image's range:\n"
      "  fusion-adjust     Fusion/Adjust: a natural blend of the well-exposed parts\n"
      "  fusion-intensive  Fusion/Intensive: stronger local adaptation, crisp detail\n"};
  app.require_subcommand(1);
  app.footer(
      "Examples:\n"
      "  brightloom render photo.exr                    writes ./photo.png\n"
      "  brightloom render *.exr --out-dir out --jobs 2 --method compressor\n"
      "  brightloom render pano.hdr -o pano.jpg --set Strength=80 --set Panorama360=1\n"
      "  brightloom edit photo.exr                      tune in the dialog, writes photo.png beside it\n"
      "  brightloom render *.exr --last --out-dir out   applies what the last edit confirmed\n"
      "  brightloom render *.exr --out-dir out --shard 2/8 --skip-existing --report part2.jsonl\n"
      "  brightloom render frames/*.exr --sequence --out-dir out   a time-lapse without flicker\n"
      "  brightloom merge dark.jpg mid.jpg bright.jpg -o scene.exr\n"
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
  render->add_option("--method", req.method, "details (default), compressor, fusion-adjust or fusion-intensive");
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
  render->add_option("--shard", req.shard,
                     "Render only the K-th of N parts of the batch (K/N; the inputs sorted by name, every N-th)");
  render->add_flag("--skip-existing", req.skip_existing,
                   "Leave pictures that already exist under their final name (resume a batch)");
  render->add_option("--report", req.report, "Write one JSON line per input to FILE (result, time, memory)")
      ->check(named);
  auto *o_seq = render->add_flag("--sequence", req.sequence,
                                 "The inputs are the frames of a time-lapse: render them with statistics smoothed "
                                 "over neighbouring frames, so that they do not flicker");
  render->add_option("--smooth-frames", req.smooth_frames, "Frames the statistics are smoothed over (default 25)")
      ->check(CLI::Range(1, 100000))
      ->needs(o_seq);
  render->add_option("--pass", req.pass, "Sequence pass: all (default), measure or render (for --shard)")
      ->check(CLI::IsMember({"all", "measure", "render"}))
      ->needs(o_seq);
  render->add_option("--stats", req.stats_files,
                     "Sequence statistics file: written by --pass measure (and all); read by --pass render "
                     "(repeatable: the files of all shards)")
      ->allow_extra_args(false)
      ->needs(o_seq);
  render->add_flag("--timings", req.timings, "Print the time spent reading, rendering and writing each file");
  bool brackets = false;
  render->add_flag("--brackets", brackets,
                   "The inputs are the frames of one bracket set (JPEG, TIFF, PNG, raw): merge them, then tone-map");
  render->add_flag("-q,--quiet", req.quiet, "Print nothing but errors");
  render->footer(settings_help());

  EditRequest edit_req;
  auto *edit = app.add_subcommand(
      "edit", "Tune one image in the tone-mapping dialog; OK writes the full-size picture beside it");
  edit->add_option("input", edit_req.input,
                   "Input image (OpenEXR, .hdr, TIFF, PFM, PNG); without one, file choosers ask for the image "
                   "and, after OK, for the picture's name")
      ->check(named);
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

  MergeRequest merge_req;
  auto *merge = app.add_subcommand(
      "merge", "Merge bracketed exposures (JPEG, 8/16-bit TIFF or PNG, camera raw) into one OpenEXR file");
  merge->add_option("frames", merge_req.inputs, "The frames of one bracket set, any order")->required();
  merge->add_option("-o,--output", merge_req.output, "Output .exr file (default: FIRST-merged.exr here)")->check(named);
  std::string merge_ev;
  merge->add_option("--ev", merge_ev, "Exposure of each frame in EV, in the order given (e.g. --ev=-2,0,2)");
  merge->add_flag("--no-align", [&](int64_t) { merge_req.align = false; }, "The frames are registered: do not align");
  merge->add_flag("--no-deghost", [&](int64_t) { merge_req.deghost = false; },
                  "Keep everything that moved, blended from all frames");
  merge->add_option("--response", merge_req.response,
                    "Camera response: auto (recover from 8-bit frames; default), srgb, linear, or a file "
                    "saved with --save-response");
  merge->add_option("--save-response", merge_req.save_response, "Save the response used, for later sets")->check(named);
  merge->add_flag("--float", merge_req.full_float, "32-bit float samples (default: half)");
  merge->add_option("--threads", merge_req.threads, "Worker threads (default: processors)")->check(CLI::Range(1, 64));
  merge->add_flag("-q,--quiet", merge_req.quiet, "Print nothing but errors");

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
    if (brackets) return run_render_brackets(req, MergeRequest{});
    return run_render(req);
  }
  if (*edit) return edit_req.input.empty() ? run_edit_choosing(edit_req) : run_edit(edit_req);
  if (*merge) {
    if (!merge_ev.empty() && !parse_ev_list(merge_ev, merge_req.ev)) {
      std::fprintf(stderr, "brightloom: --ev takes numbers separated by commas (e.g. --ev=-2,0,2), not '%s'\n",
                   merge_ev.c_str());
      return kExitUsage;
    }
    return run_merge(merge_req);
  }
  if (*info) {
    if (is_camera_frame(info_path)) return run_frame_info(info_path);
    const int rc = run_info(info_path);
    if (rc == kExitOk) print_exposure_info(info_path);
    return rc;
  }
  if (*demo) return run_demo(demo_dir, demo_quiet);
  return kExitUsage;
}
