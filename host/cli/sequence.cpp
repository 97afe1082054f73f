// SPDX-License-Identifier: MIT
#include "sequence.h"

#include <mutex>

#include "batch.h"
#include "settings_resolution.h"

namespace brightloom {
namespace {

int usage(FILE *err, const std::string &msg) {
  std::fprintf(err, "brightloom: %s\n", msg.c_str());
  return kExitUsage;
}

}  // namespace

int run_sequence(const RenderRequest &req, FILE *out, FILE *err) {
  if (req.pass != "all" && req.pass != "measure" && req.pass != "render")
    return usage(err, "--pass must be all, measure or render");
  if (req.smooth_frames < 1) return usage(err, "--smooth-frames must be at least 1");
  if (req.pass == "all" && !req.shard.empty())
    return usage(err,
                 "a sequence is split in two passes: --pass measure --shard K/N on every shard, then --pass render "
                 "--shard K/N with the statistics files of all of them");
  if (req.pass == "measure" && req.stats_files.size() != 1)
    return usage(err, "--pass measure writes one statistics file: give it with --stats FILE");
  if (req.pass == "render" && req.stats_files.empty())
    return usage(err, "--pass render needs the statistics files of the first pass (--stats FILE, repeatable)");
  if (req.pass == "all" && req.stats_files.size() > 1)
    return usage(err, "--pass all writes at most one statistics file");
  if (!req.output.empty() && req.inputs.size() > 1)
    return usage(err, "-o names one output file; a sequence of frames needs --out-dir");
  // The method decides what the statistics are; settle it (and every other usage error) once.
  auto recipe = resolve_settings_choice({req.method, req.settings_file, req.preset, req.last, req.sets});
  if (!recipe) return usage(err, recipe.failure().message());
  const int method = recipe->method;

  // The frames in natural order: frame numbers, not the order the shell listed them.
  RenderRequest frames_req = req;
  frames_req.sequence = false;
  frames_req.inputs.clear();
  for (size_t i : natural_order(req.inputs)) frames_req.inputs.push_back(req.inputs[i]);
  const std::vector<std::string> &frames = frames_req.inputs;

  std::vector<FrameStats> table(frames.size());
  if (req.pass != "render") {
    RenderRequest measure = frames_req;
    measure.save_last = false;
    measure.skip_existing = false;
    if (req.pass == "all") measure.report.clear();  // the report tells what became of the pictures
    if (req.pass == "all" && !req.quiet) std::fprintf(out, "Pass 1 of 2: measuring %zu frames\n", frames.size());
    std::mutex mu;
    measure.measured = [&](size_t i, const float *s, const std::string &digest) {
      std::lock_guard<std::mutex> lock(mu);
      FrameStats &r = table[i];
      r.measured = true;
      r.digest = digest;
      std::copy(s, s + kSequenceStats, r.values.begin());
    };
    const int rc = run_render(measure, out, err);
    if (rc == kExitUsage) return rc;

    // The frames this run measured (its shard), failed ones included: the second pass must
    // know that a frame was tried, not lost with a task that never ran.
    SequenceStats st;
    st.method = method;
    st.frames = int(frames.size());
    std::vector<size_t> mine(frames.size());
    for (size_t i = 0; i < mine.size(); ++i) mine[i] = i;
    if (!req.shard.empty()) mine = shard_positions(frames, *parse_shard(req.shard));
    for (size_t i : mine) {
      FrameStats &r = table[i];
      r.index = int(i);
      r.frame = frames[i];
      if (!r.measured) r.error = "the first pass could not read or measure this frame";
      st.records.push_back(r);
    }
    if (!req.stats_files.empty())
      if (Status w = write_sequence_stats(req.stats_files[0], st); !w) {
        std::fprintf(err, "brightloom: %s\n", w.failure().message().c_str());
        return kExitSomeFailed;
      }
    if (req.pass == "measure") return rc;
    if (!req.quiet) std::fprintf(out, "Pass 2 of 2: rendering with statistics smoothed over %d frames\n",
                                 req.smooth_frames);
  } else {
    std::vector<SequenceStats> parts;
    for (const std::string &f : req.stats_files) {
      auto st = read_sequence_stats(f);
      if (!st) return usage(err, st.failure().message());
      parts.push_back(std::move(*st));
    }
    auto merged = merge_sequence_stats(parts, frames, method);
    if (!merged) return usage(err, merged.failure().message());
    table = std::move(*merged);
  }

  const std::vector<FrameValues> smoothed = smooth_sequence_stats(method, table, req.smooth_frames);
  RenderRequest render = frames_req;
  render.given = [&](size_t i, const std::string &digest, std::string &why) -> const float * {
    const FrameStats &r = table[i];
    if (!r.measured) {
      why = r.error.empty() ? "the first pass could not measure this frame" : r.error;
      return nullptr;
    }
    if (r.digest != digest) {
      why = "its statistics were measured with other settings; run the first pass again with these";
      return nullptr;
    }
    return smoothed[i].data();
  };
  return run_render(render, out, err);
}

}  // namespace brightloom
