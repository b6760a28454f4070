// The live view's page: one self-contained HTML file (no external scripts, styles or fonts).
#pragma once

#include <string>

namespace z40k {

const std::string& ServePage();

} // namespace z40k
