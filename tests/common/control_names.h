// The panel's controls by number, as tests and fuzz targets name them in
// their messages: the label, or what the control is when it has none.
#pragma once

#include "module.h"
#include "panel.h"

namespace checks {

inline const char *const kControlNames[CTL_COUNT] = {"BufferList",
                                                     "surface list",
                                                     "Active",
                                                     "Copy",
                                                     "Paste",
                                                     "Add Layer",
                                                     "Del Layer",
                                                     "Export",
                                                     "Import",
                                                     "*",
                                                     "-",
                                                     "I",
                                                     "LayerList",
                                                     "*/-",
                                                     "up",
                                                     "down",
                                                     "LayerType",
                                                     "Color",
                                                     "colour swatch",
                                                     "Intensity",
                                                     "Mode",
                                                     "Input Buffer",
                                                     "Invert",
                                                     "AlphaBuffer",
                                                     "AlphaIntensity",
                                                     "AlphaInvert",
                                                     "preview area",
                                                     "preview type"};

} // namespace checks
