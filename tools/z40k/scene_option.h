// What --scene names: the built-in chart, or a BMP or PNG picture the simulated camera's sensor sees.
#pragma once

#include "host/simcam/scene.h"

#include <string>

namespace z40k {

// False with *Error ("NAME: cannot use it as the scene: WHY") when the picture cannot be read.
bool LoadSceneOption(const std::string& Name, simcam::Scene* Scene, std::string* Error);

} // namespace z40k
