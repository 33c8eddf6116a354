// Log: kova-camera's lines on stderr. Under systemd each line starts with the priority the
// journal files it under; on a terminal the line is shown as it is.
//
// Threading: any thread; each line is written by one call.
#pragma once

#include <string>

namespace kova::engine {

enum class Priority { Error, Warning, Notice, Info, Debug };

// Writes "kova-camera: <line>".
void log(Priority priority, const std::string& line);

}  // namespace kova::engine
