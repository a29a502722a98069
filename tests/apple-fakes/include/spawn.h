// SPDX-License-Identifier: Apache-2.0
// posix_spawn(3) with macOS's POSIX_SPAWN_CLOEXEC_DEFAULT: every descriptor
// that no file action names is closed in the child. glibc has no such flag,
// so the calls that set it and that name descriptors go through
// fakes/Processes.cpp, which closes what macOS closes.
#pragma once

#include_next <spawn.h>

#define POSIX_SPAWN_CLOEXEC_DEFAULT 0x4000

extern "C" {
int appleFakeSpawnSetFlags(posix_spawnattr_t *attributes, short flags);
int appleFakeSpawnAddDup2(posix_spawn_file_actions_t *actions, int fd, int target);
int appleFakeSpawnAddOpen(posix_spawn_file_actions_t *actions, int target, const char *path, int flags,
                          mode_t mode);
int appleFakeSpawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                   const posix_spawnattr_t *attributes, char *const argv[], char *const envp[]);
}
#define posix_spawnattr_setflags appleFakeSpawnSetFlags
#define posix_spawn_file_actions_adddup2 appleFakeSpawnAddDup2
#define posix_spawn_file_actions_addopen appleFakeSpawnAddOpen
#define posix_spawn appleFakeSpawn
