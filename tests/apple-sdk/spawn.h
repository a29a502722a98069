/* posix_spawn(3): the host's declarations, plus the flag only macOS has. */
#pragma once

#include_next <spawn.h>

#define POSIX_SPAWN_CLOEXEC_DEFAULT 0x4000
