// The camera's status, as `kova status` shows it.
#pragma once

#include <nlohmann/json.hpp>

#include "kova/kova.h"

namespace kova::tool {

// The status as one JSON object, keys in a fixed order.
nlohmann::ordered_json statusJson(const CameraStatus& status);
// The status as lines for a person, on stdout.
void printStatusText(const CameraStatus& status);

}  // namespace kova::tool
