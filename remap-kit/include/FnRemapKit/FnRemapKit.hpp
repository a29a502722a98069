// SPDX-License-Identifier: Apache-2.0
//===- FnRemapKit/FnRemapKit.hpp - Everything the module offers -----------===//
//
// FnRemapKit installs, restores and guards one entry of the HID event system's
// user key mapping. An application begins an FnRemapSession, which starts
// tarnwick-fn-guard with the application's pid and only then merges the entry
// in (FnRemapMapping::merging); on a normal quit the session restores the list
// (FnRemapMapping::restoring). However the application ends, the guard then
// removes the entry with FnGuard::runGuard.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "FnRemapKit/FnGuard.hpp"
#include "FnRemapKit/FnGuardArguments.hpp"
#include "FnRemapKit/FnGuardOutcome.hpp"
#include "FnRemapKit/FnRemapSession.hpp"
#include "FnRemapKit/HIDKeyMappingStore.hpp"
#include "FnRemapKit/KeyMapping.hpp"
#include "FnRemapKit/KeyMappingLedger.hpp"
#include "FnRemapKit/KeyMappingLock.hpp"
#include "FnRemapKit/KeyMappingStore.hpp"
