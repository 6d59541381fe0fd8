// keyform: drives the key form headless with scripted pointer input, writes Image1 as a PNG
// and prints the key-form variables that changed.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "commands.h"
#include "keyform/key_form.h"
#include "keyform/variables.h"
#include "platform/png.h"

namespace tessomar::cli {

namespace {

enum class ActionKind { kClick, kHold, kHover, kVideoClick };

struct Action {
  ActionKind kind;
  int x = 0;
  int y = 0;
  uint32_t ms = 0;  // holds only
};

// A press is held this long before its release, so that the 33 ms key-form service sees it.
constexpr uint32_t kPressMs = 80;
// After each action, time for the view command and the redraw it causes.
constexpr uint32_t kSettleMs = 250;

using Snapshot = std::map<std::string, std::vector<int32_t>>;

Snapshot snapshot_variables(keyform::KeyFormVariables& vars) {
  Snapshot s;
  keyform::for_each_binding(vars, [&](std::string_view name, keyform::Binding b) {
    std::vector<int32_t>& values = s[std::string(name)];
    for (int32_t i = 0; i < b.size(); ++i) values.push_back(b.get(i));
  });
  return s;
}

// One line per changed value: NAME=V for one value, NAME[i]=V for an entry of an array.
void print_changes(const Snapshot& before, const Snapshot& after) {
  for (const auto& [name, values] : after) {
    const std::vector<int32_t>& old = before.at(name);
    if (values.size() == 1) {
      if (values[0] != old[0]) std::printf("%s=%d\n", name.c_str(), values[0]);
      continue;
    }
    for (size_t i = 0; i < values.size(); ++i) {
      if (values[i] != old[i]) std::printf("%s[%zu]=%d\n", name.c_str(), i, values[i]);
    }
  }
}

void fire_pointer(platform::Component& c, const char* event, int x, int y) {
  platform::Event e;
  e.x = x;
  e.y = y;
  c.fire(event, e);
}

}  // namespace

int cmd_keyform(const Args& in) {
  Args args = in;
  DvrOptions opts;
  std::string error;
  if (!take_dvr_options(args, opts, error)) return usage_error("keyform", error);
  std::vector<Action> actions;
  double wait_s = 1;
  std::string png;
  std::string snapshot;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool has_value = i + 1 < args.size();
    std::vector<int32_t> v;
    if ((a == "--click" || a == "--hover" || a == "--video-click") && has_value) {
      if (!parse_int_list(args[++i], v) || v.size() != 2) {
        return usage_error("keyform", "bad " + a + " \"" + args[i] + "\" (expected X,Y)");
      }
      const ActionKind kind = a == "--click"   ? ActionKind::kClick
                              : a == "--hover" ? ActionKind::kHover
                                               : ActionKind::kVideoClick;
      actions.push_back({kind, v[0], v[1], 0});
    } else if (a == "--hold" && has_value) {
      if (!parse_int_list(args[++i], v) || v.size() != 3 || v[2] < 0 || v[2] > 60000) {
        return usage_error("keyform",
                           "bad --hold \"" + args[i] + "\" (expected X,Y,MS with MS 0-60000)");
      }
      actions.push_back({ActionKind::kHold, v[0], v[1], uint32_t(v[2])});
    } else if (a == "--wait" && has_value) {
      char* end = nullptr;
      wait_s = std::strtod(args[++i].c_str(), &end);
      if (!end || *end || wait_s < 0 || wait_s > 3600) {
        return usage_error("keyform", "bad --wait value \"" + args[i] + "\" (0-3600 seconds)");
      }
    } else if (a == "--png" && has_value) {
      png = args[++i];
    } else if (a == "--snapshot" && has_value) {
      snapshot = args[++i];
    } else {
      return option_error("keyform", "unknown option " + a);
    }
  }
  if (opts.params.size() < 3) {
    return usage_error("keyform", "give the DVR with --dvr HOST:PORT --uk KEY or --page URL");
  }
  if (png.empty()) return usage_error("keyform", "give the output picture with --png FILE.png");

  HeadlessHost host;
  if (!host.start(opts.params)) return kExitUsage;
  shell::Control& control = host.control();
  platform::Component& image1 = control.form()["Image1"];
  platform::Component& video = control.form()["Image_Trumpet_BG"];
  const platform::Geometry key_area = image1.geometry();
  const platform::Geometry video_area = control.form()["Image_video"].geometry();
  for (const Action& act : actions) {
    const platform::Geometry& g = act.kind == ActionKind::kVideoClick ? video_area : key_area;
    if (act.x < 0 || act.y < 0 || act.x >= g.width || act.y >= g.height) {
      return usage_error(
          "keyform", "point " + std::to_string(act.x) + "," + std::to_string(act.y) +
                         " lies outside the " +
                         (act.kind == ActionKind::kVideoClick ? "video picture" : "key form") +
                         " (" + std::to_string(g.width) + " x " + std::to_string(g.height) + ")");
    }
  }
  if (control.key_form().engine().slots_in_use() == 0) {
    std::fprintf(stderr,
                 "tessomar-cli keyform: no key form: the skin file %s/%s is missing or was "
                 "refused (set systemroot to the data folder; TESSOMAR_LOG=1 tells why)\n",
                 control.skin_folder().c_str(),
                 keyform::key_form_file_name(shell::kBuildTag).c_str());
    return kExitFailed;
  }
  if (!wait_for_identity(host, opts.timeout_s, error)) {
    std::fprintf(stderr, "tessomar-cli keyform: %s\n", error.c_str());
    return kExitFailed;
  }
  // The identity's state update and first redraw.
  host.loop().run_for(kSettleMs);
  keyform::KeyFormVariables& vars = control.key_form().context().vars;
  const Snapshot before = snapshot_variables(vars);

  for (const Action& act : actions) {
    switch (act.kind) {
      case ActionKind::kHover:
        fire_pointer(image1, "OnMouseMove", act.x, act.y);
        break;
      case ActionKind::kClick:
      case ActionKind::kHold:
        fire_pointer(image1, "OnMouseMove", act.x, act.y);
        fire_pointer(image1, "OnMouseDown", act.x, act.y);
        host.loop().run_for(act.kind == ActionKind::kHold ? act.ms : kPressMs);
        fire_pointer(image1, "OnMouseUp", act.x, act.y);
        break;
      case ActionKind::kVideoClick:
        fire_pointer(video, "OnMouseDown", act.x, act.y);
        break;
    }
    host.loop().run_for(kSettleMs);
  }
  host.loop().run_for(uint32_t(wait_s * 1000));

  print_changes(before, snapshot_variables(vars));
  if (!platform::write_png(image1.picture(), png, error)) {
    std::fprintf(stderr, "tessomar-cli keyform: %s\n", error.c_str());
    return kExitFailed;
  }
  std::printf("png=%s\n", png.c_str());
  if (!snapshot.empty()) {
    if (!platform::write_png(control.form()["Image_video"].picture(), snapshot, error)) {
      std::fprintf(stderr, "tessomar-cli keyform: %s\n", error.c_str());
      return kExitFailed;
    }
    std::printf("snapshot=%s\n", snapshot.c_str());
  }
  return kExitOk;
}

}  // namespace tessomar::cli
