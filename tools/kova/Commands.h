// Commands: the subcommands of kova (info, status, push, view, snapshot), each given its options.
//
// Threading: run on the main thread, one at a time.
#pragma once

#include <stdexcept>
#include <string>

#include "Arguments.h"

namespace kova::tool {

// A command that could not do its job for a reason of its own (not the library's): what() is
// the line to show, e.g. "short input: ...".
class CommandFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

void runInfo(const InfoOptions& options);
void runStatus(const StatusOptions& options);
void runPush(const PushOptions& options);
void runView(const ViewOptions& options);
void runSnapshot(const SnapshotOptions& options);

// Makes SIGINT and SIGTERM end a running push or view loop after the frame at hand, so that its
// summary is still printed.
void stopOnSignals();

}  // namespace kova::tool
