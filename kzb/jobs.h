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
#include <cstdint>
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

// The files one job may hold open at once: its container, the directory it writes into and
// the folder made under it, the file being written, the two ends of its thread's pipe for the
// system's copy (output_file_posix.cpp), and two to spare.
inline constexpr unsigned kJobDescriptors = 8;

// `keys`: one per container, or empty when no two share anything. With one job or one
// container, runs the work on this thread straight onto `context`, as it always did.
// `jobDescriptors`: the files each job may hold open (see jobCount).
int runContainers(const Options& options, Context& context, const std::vector<std::string>& keys,
                  const ContainerWork& work, unsigned jobDescriptors = kJobDescriptors);

// How many containers run at once: -j, or as many as the cores the process may use; but no
// more than the process's limit on open files holds, each job holding `jobDescriptors`, so
// that no job fails for want of one and a run leaves what one job would.
unsigned jobCount(const Options& options, unsigned jobDescriptors = kJobDescriptors);

// The files each of `jobs` jobs may hold open at once under the process's limit; as many as
// a job could want where nothing limits them.
std::uint64_t descriptorsPerJob(unsigned jobs);

}  // namespace kzb::tool
