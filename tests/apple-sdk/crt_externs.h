/* The environment of the program, as a library reaches it on macOS. */
#pragma once

char ***_NSGetEnviron(void);
