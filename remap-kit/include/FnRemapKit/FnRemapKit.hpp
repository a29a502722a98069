//===- FnRemapKit/FnRemapKit.hpp - Everything the module offers -----------===//
//
// FnRemapKit installs, restores and guards one entry of the HID event system's
// user key mapping. An application merges its entry in with
// FnRemapMapping::merging, starts tarnwick-fn-guard with its own pid, and on a
// normal quit restores the list with FnRemapMapping::restoring. However the
// application ends, the guard then removes the entry with FnGuard::run.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "FnRemapKit/FnGuard.hpp"
#include "FnRemapKit/FnGuardArguments.hpp"
#include "FnRemapKit/FnGuardOutcome.hpp"
#include "FnRemapKit/HIDKeyMappingStore.hpp"
#include "FnRemapKit/KeyMapping.hpp"
#include "FnRemapKit/KeyMappingStore.hpp"
