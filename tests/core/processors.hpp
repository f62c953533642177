// Whether the tests run where kyr's workers can take part.
#pragma once

#include <sched.h>

namespace kyr {

// False when the process may use only one processor (taskset -c 0): kyr then
// hands no job to a worker, and the caller does all the work itself.
inline bool workers_can_run() {
    cpu_set_t cpus;
    return sched_getaffinity(0, sizeof cpus, &cpus) != 0 || CPU_COUNT(&cpus) > 1;
}

}  // namespace kyr
