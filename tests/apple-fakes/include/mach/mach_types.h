// SPDX-License-Identifier: Apache-2.0
// Mach's port and return types, as macOS has them.
#pragma once
typedef int kern_return_t;
typedef unsigned int mach_port_t;
#define KERN_SUCCESS 0
#define MACH_PORT_NULL ((mach_port_t)0)
