#include "tools/z40k/scene_option.h"

namespace z40k {

bool LoadSceneOption(const std::string& Name, simcam::Scene* Scene, std::string* Error) {
    if (Name == "chart") {
        *Scene = simcam::BuiltInChart();
        return true;
    }
    std::string reason;
    if (simcam::LoadScene(Name, Scene, &reason))
        return true;
    // The reader names the file first; the user named it too, and is told what it was for.
    const std::string named = Name + ": ";
    if (reason.compare(0, named.size(), named) == 0)
        reason.erase(0, named.size());
    *Error = named + "cannot use it as the scene: " + reason;
    return false;
}

} // namespace z40k
