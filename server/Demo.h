#pragma once

#include "Registry.h"

namespace crw::server {

// Fills the list with `count` made-up searchers (deterministic, no real people).
void addDemoSearchers(Registry& registry, unsigned count);

} // namespace crw::server
