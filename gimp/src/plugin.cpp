// SPDX-License-Identifier: MIT
// Brightloom as a GIMP 2.10 filter: "Filters > Tone Mapping > Brightloom…" tone-maps the active
// layer in place. The layer is read at the image's precision, rendered through the same code as
// `brightloom render`, and written back through the shadow buffer as one undo step, so that a
// selection limits the result and alpha stays as it was. Float images get linear light back.
#include <libgimp/gimp.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dialog_call.h"
#include "brightloom/plugin.h"
#include "layer_mapping.h"
#include "render.h"
#include "settings.h"
#include "settings_resolution.h"
#include "workers.h"

namespace {

constexpr const char *kProcedure = "plug-in-brightloom";

// What one call hands the next through gimp_set_data: the dialog's user settings (the method,
// preview size and window place) and the last TmParam, so that "Repeat" and the next dialog
// start from the settings last used.
struct Kept {
  // settings.method 0: nothing kept yet; size type -1: the dialog's own choice.
  UserSettings settings{0, -1, 0, 0, 0, 0, 0};
  brightloom::TmParam param{};  // same bytes as the float[20] earlier versions kept
};

void query() {
  static const GimpParamDef args[] = {
      {GIMP_PDB_INT32, const_cast<gchar *>("run-mode"),
       const_cast<gchar *>("The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1), RUN-WITH-LAST-VALS (2) }")},
      {GIMP_PDB_IMAGE, const_cast<gchar *>("image"), const_cast<gchar *>("Input image")},
      {GIMP_PDB_DRAWABLE, const_cast<gchar *>("drawable"), const_cast<gchar *>("Input drawable")},
      {GIMP_PDB_STRING, const_cast<gchar *>("method"),
       const_cast<gchar *>("\"details\", \"compressor\", \"fusion-adjust\", \"fusion-intensive\", or empty: the "
                          "settings' own method, else details")},
      {GIMP_PDB_STRING, const_cast<gchar *>("preset"), const_cast<gchar *>("A preset's name (\"Natural\"), or empty")},
      {GIMP_PDB_STRING, const_cast<gchar *>("settings-file"),
       const_cast<gchar *>("An XMP settings file, or empty (not with a preset)")},
      {GIMP_PDB_STRING, const_cast<gchar *>("changes"),
       const_cast<gchar *>("Slider changes on top, \"Name=value\" separated by ';' (\"Strength=80;Gamma=1.2\")")},
  };
  gimp_install_procedure(kProcedure, "HDR tone mapping of the active layer",
                         "Tone-maps the active layer with \"Details Enhancer\" or \"Tone Compressor\". "
                         "Float layers are read and written back in linear light; 16- and 8-bit layers "
                         "keep their own encoding. A selection limits the result; alpha is kept.",
                         "Brightloom developers", "MIT", "2026", "Brightloom…", "RGB*, GRAY*", GIMP_PLUGIN,
                         G_N_ELEMENTS(args), 0, args, nullptr);
  gimp_plugin_menu_register(kProcedure, "<Image>/Filters/Tone Mapping");
}

std::vector<std::string> split_changes(const char *text) {
  std::vector<std::string> out;
  std::string s = text ? text : "";
  size_t start = 0;
  while (start <= s.size()) {
    size_t end = s.find(';', start);
    if (end == std::string::npos) end = s.size();
    std::string part = s.substr(start, end - start);
    const size_t a = part.find_first_not_of(" \t\n"), b = part.find_last_not_of(" \t\n");
    if (a != std::string::npos) out.push_back(part.substr(a, b - a + 1));
    start = end + 1;
  }
  return out;
}

// The progress bar's position as each stage begins.
double stage_fraction(brightloom::Stage s) {
  switch (s) {
    case brightloom::Stage::Statistics:
      return 0.05;
    case brightloom::Stage::Pyramid:
      return 0.2;
    case brightloom::Stage::Solve:
      return 0.4;
    case brightloom::Stage::Finishing:
      return 0.85;
  }
  return 0.0;
}

// The image's colour profile as the dialog takes it: linear (same primaries) for float documents,
// whose samples were read as linear light; the image's own for 16- and 8-bit ones.
std::vector<unsigned char> profile_for(gint32 image, const brightloom::gimp::DocumentLayout &layout) {
  std::vector<unsigned char> out;
  GimpColorProfile *profile = gimp_image_get_effective_color_profile(image);
  if (!profile) return out;
  if (layout.doc_type == 0) {
    GimpColorProfile *linear = gimp_color_profile_new_linear_from_color_profile(profile);
    if (linear) {
      g_object_unref(profile);
      profile = linear;
    }
  }
  gsize length = 0;
  const guint8 *bytes = gimp_color_profile_get_icc_profile(profile, &length);
  if (bytes && length > 0) out.assign(bytes, bytes + length);
  g_object_unref(profile);
  return out;
}

struct Outcome {
  GimpPDBStatusType status = GIMP_PDB_SUCCESS;
  std::string message;  // the reason of a failure
};
Outcome failed(std::string why) { return {GIMP_PDB_EXECUTION_ERROR, std::move(why)}; }

// Reads the drawable, chooses the settings (the script's, the dialog's or the last ones), renders
// and writes the result back.
Outcome tone_map(gint32 image, gint32 drawable, GimpRunMode mode, const GimpParam *param, int nparams) {
  using namespace brightloom;
  gimp::Component component;
  bool linear_trc = true;
  const int code = int(gimp_image_get_precision(image));
  if (!gimp::split_precision(code, component, linear_trc))
    return failed("the image's precision (" + std::to_string(code) + ") is not one Brightloom reads");
  // Only a layer's own pixels can be replaced: GIMP refuses the write-back into a group, and a
  // mask or a channel is a selection or transparency, not a picture to tone-map.
  if (gimp_item_is_group(drawable))
    return {GIMP_PDB_CALLING_ERROR, "a layer group cannot be tone-mapped; choose one of its layers"};
  if (gimp_item_is_layer_mask(drawable) || gimp_item_is_channel(drawable) || !gimp_item_is_layer(drawable))
    return {GIMP_PDB_CALLING_ERROR, "only RGB and grey layers can be tone-mapped, not a layer mask or a channel"};
  if (!gimp_drawable_is_rgb(drawable) && !gimp_drawable_is_gray(drawable))
    return failed("only RGB and grey layers can be tone-mapped");
  if (mode == GIMP_RUN_NONINTERACTIVE && nparams != 7)
    return {GIMP_PDB_CALLING_ERROR, "the procedure takes 7 arguments, not " + std::to_string(nparams)};
  const gimp::DocumentLayout layout =
      gimp::layout_for(component, linear_trc, gimp_drawable_is_gray(drawable), gimp_drawable_has_alpha(drawable));

  GeglBuffer *buffer = gimp_drawable_get_buffer(drawable);
  const int W = gegl_buffer_get_width(buffer), H = gegl_buffer_get_height(buffer);
  // The image's own colour space: linear floats in its primaries, 16- and 8-bit samples as stored.
  const Babl *format =
      babl_format_with_space(gimp::babl_format_name(layout).c_str(), gimp_drawable_get_format(drawable));
  std::vector<unsigned char> pixels;
  try {
    pixels.resize(size_t(W) * size_t(H) * size_t(gimp::bytes_per_pixel(layout)));
  } catch (const std::bad_alloc &) {
    g_object_unref(buffer);
    return failed("not enough memory for a copy of the layer");
  }
  const GeglRectangle all = {0, 0, W, H};
  gegl_buffer_get(buffer, &all, 1.0, format, pixels.data(), GEGL_AUTO_ROWSTRIDE, GEGL_ABYSS_NONE);
  g_object_unref(buffer);
  auto img = gimp::to_image(layout, W, H, pixels.data());
  if (!img) return failed(img.failure().message());

  // What the last call kept: its method, TmParam and the dialog's own settings.
  Kept kept;
  const bool have_kept = gimp_get_data_size(kProcedure) == sizeof(Kept) && gimp_get_data(kProcedure, &kept) &&
                         (kept.settings.method == 1 || kept.settings.method == 2);
  RenderOptions options;
  if (mode == GIMP_RUN_NONINTERACTIVE) {
    SettingsChoice choice;
    choice.method = param[3].data.d_string ? param[3].data.d_string : "";
    choice.preset = param[4].data.d_string ? param[4].data.d_string : "";
    choice.settings_file = param[5].data.d_string ? param[5].data.d_string : "";
    choice.sets = split_changes(param[6].data.d_string);
    // Messages name the procedure's arguments, not the program's options.
    choice.method_option = "method";
    choice.file_option = "settings-file";
    choice.preset_option = "preset";
    choice.last_option.clear();
    auto recipe = resolve_settings_choice(choice);
    if (!recipe) return {GIMP_PDB_CALLING_ERROR, recipe.failure().message()};
    auto record = resolve(*recipe, layout.doc_type);
    if (!record) return {GIMP_PDB_CALLING_ERROR, record.failure().message()};
    options.method = recipe->method;
    options.param = *record;
    if (!have_kept) kept = Kept{};
  } else if (have_kept) {
    options.method = kept.settings.method;
    options.param = kept.param;
  } else {
    auto record = resolve(SettingsRecipe{}, layout.doc_type);
    if (!record) return failed(record.failure().message());
    options.method = 1;
    options.param = *record;
  }

  if (mode == GIMP_RUN_INTERACTIVE) {
    // The dialog is called as `brightloom edit` calls it: the same bundle search, the same
    // checks of what comes back.
    auto bundle = load_dialog_bundle();
    if (!bundle) return failed("the dialog cannot be loaded: " + bundle.failure().message());
    UserSettings start = kept.settings;
    start.method = options.method;
    const DialogDocument doc{W, H, layout.spp, layout.doc_type, profile_for(image, layout), img->pixels.data()};
    const DialogAnswer answer = call_dialog(*bundle, doc, start, options.param);
    // The dialog's size type and window place are kept whatever the answer.
    answer.keep_view(kept.settings);
    if (answer.kind == DialogAnswer::Kind::Cancelled) {
      if (have_kept) gimp_set_data(kProcedure, &kept, sizeof kept);
      return {GIMP_PDB_CANCEL, ""};
    }
    if (!answer.confirmed()) return failed(answer.problem);
    options.method = answer.method();
    options.param = answer.param;
  }

  gimp_progress_init_printf("Brightloom: %s", method_name(options.method));
  options.bits = gimp::out_bits(layout);
  options.workers = default_worker_count();
  options.linear_float = true;  // GIMP's float images are linear: the result goes back as such
  options.on_stage = [](Stage s) { gimp_progress_update(stage_fraction(s)); };
  auto pic = render(*img, options);
  if (!pic) return failed(pic.failure().message());
  if (auto st = gimp::write_back(layout, *pic, pixels.data()); !st.ok()) return failed(st.failure().message());

  GeglBuffer *shadow = gimp_drawable_get_shadow_buffer(drawable);
  gegl_buffer_set(shadow, &all, 0, format, pixels.data(), GEGL_AUTO_ROWSTRIDE);
  gegl_buffer_flush(shadow);
  g_object_unref(shadow);
  // One undo step; the selection mask limits where the result lands. A write-back GIMP refuses
  // leaves the layer as it was, and that is no success.
  if (!gimp_drawable_merge_shadow(drawable, TRUE))
    return failed(std::string("GIMP did not take the result into the layer: ") + gimp_get_pdb_error());
  gimp_drawable_update(drawable, 0, 0, W, H);
  gimp_progress_update(1.0);

  kept.settings.method = options.method;
  kept.param = options.param;
  gimp_set_data(kProcedure, &kept, sizeof kept);
  return {};
}

void run(const gchar *, gint nparams, const GimpParam *param, gint *nreturn_vals, GimpParam **return_vals) {
  static GimpParam values[2];
  static std::string error;
  *nreturn_vals = 1;
  *return_vals = values;
  values[0].type = GIMP_PDB_STATUS;
  values[0].data.d_status = GIMP_PDB_SUCCESS;
  if (nparams < 3) {
    values[0].data.d_status = GIMP_PDB_CALLING_ERROR;
    return;
  }
  gegl_init(nullptr, nullptr);
  const auto mode = GimpRunMode(param[0].data.d_int32);
  const gint32 image = param[1].data.d_image;
  const gint32 drawable = param[2].data.d_drawable;

  gimp_image_undo_group_start(image);
  const Outcome outcome = tone_map(image, drawable, mode, param, nparams);
  gimp_image_undo_group_end(image);
  values[0].data.d_status = outcome.status;
  if (!outcome.message.empty()) {
    error = "Brightloom: " + outcome.message;
    if (mode == GIMP_RUN_INTERACTIVE) g_message("%s", error.c_str());
    *nreturn_vals = 2;
    values[1].type = GIMP_PDB_STRING;
    values[1].data.d_string = const_cast<gchar *>(error.c_str());
    return;
  }
  if (outcome.status == GIMP_PDB_SUCCESS && mode != GIMP_RUN_NONINTERACTIVE) gimp_displays_flush();
}

const GimpPlugInInfo PLUG_IN_INFO = {nullptr, nullptr, query, run};

}  // namespace

MAIN()
