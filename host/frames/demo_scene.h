// The built-in demo: a small scene of spheres on a ground plane, its frame
// with every host buffer worked out analytically, and layer stacks that show
// the filter's blend modes at work. The surfaces and the stacks are data,
// examples/demo/scene.json, built into the program.
#pragma once

#include "frames/frame.h"
#include "scene/scene.h"

namespace qx {

struct DemoScene {
  // examples/demo/scene.json: the surfaces, each with its own special-buffer
  // value and base colour, and the filter's stored layer stacks as
  // scene-state lines.
  Scene scene;
  // Every buffer the filter can ask for, and the plainly shaded colour.
  Frame frame;
};

// The demo at the given size (960x540 unless asked otherwise). Throws Error
// for a size below 1x1.
DemoScene makeDemoScene(int width = 960, int height = 540);

// The colour of `left` and `right` next to each other: a frame as wide as
// both together holding "R", "G", "B", "A". Throws Error when their heights
// differ.
Frame sideBySide(const Frame &left, const Frame &right);

} // namespace qx
