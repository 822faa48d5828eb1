#pragma once
// First include of every plug-in source. The host's SDK headers are not
// self-contained: they expect its plug-in header (with the import/export
// markers) and these library headers to be in place already.
#include "bakkesmod/plugin/bakkesmodplugin.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>
