// Several containers at once (-j N), with nothing of it visible: each container's work runs
// with a context of its own that records what it writes, and the records are replayed onto
// the real standard output and error in argument order, each container's lines together, as
// the same work run one container after another would have written them. The exit status is
// the worst of the containers'.
//
// Containers that share a destination (the same key) run one after another, in argument
// order, in one job, so that later ones see what earlier ones left, exactly as one by one.
// A container whose work says the run cannot go on ends it there: what the containers after
// it did is not shown, as they would not have run (they run only where they could not have
// changed anything: the shared destination that failed is theirs too).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "commands.h"

namespace kzb::tool {

struct ContainerDone {
  int status = kExitSuccess;
  bool stopsTheRun = false;  // nothing after this container runs
};

// The work on options.containers[index], writing into `context` and nowhere else.
using ContainerWork = std::function<ContainerDone(std::size_t index, Context& context)>;

// `keys`: one per container, or empty when no two share anything. With one job or one
// container, runs the work on this thread straight onto `context`, as it always did.
int runContainers(const Options& options, Context& context, const std::vector<std::string>& keys,
                  const ContainerWork& work);

// How many containers run at once: -j, or as many as the cores the process may use.
unsigned jobCount(const Options& options);

}  // namespace kzb::tool
