#pragma once

#include <string>

#include "ui/dashboard.h"

namespace velmora::ui {

// Fills the snapshot with what a window shows at a moment of a run: "idle" (before any run),
// "running" (latency), "download", "upload", "done" or "error". False for another name.
bool StageSampleScene(const std::string& scene, modulos::medicao::RunSnapshot& run,
                      WindowFields& window);

}  // namespace velmora::ui
