// The doctor's one look at the device.
#ifndef TARVIK_PRINT_PROBE_H
#define TARVIK_PRINT_PROBE_H

#include "doctor.h"

namespace doctor {

// Opens path read and write, without a controlling terminal and without
// waiting, reads its settings and tests for a lock held by another program.
Probe probe_device(const std::string &path);

} // namespace doctor

#endif
