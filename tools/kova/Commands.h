// Commands: the subcommands of kova (info, push, view, snapshot), each given the words after
// its name.
//
// Threading: run on the main thread, one at a time.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace kova::tool {

// A command that could not do its job for a reason of its own (not the library's): what() is
// the line to show, e.g. "short input: ...".
class CommandFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

using Words = std::vector<std::string>;

void runInfo(const Words& words);
void runPush(const Words& words);
void runView(const Words& words);
void runSnapshot(const Words& words);

// Makes SIGINT and SIGTERM end a running push or view loop after the frame at hand, so that its
// summary is still printed.
void stopOnSignals();

}  // namespace kova::tool
