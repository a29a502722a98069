/* macOS has no such header; an include of it outside a Linux branch stops here. */
#error "<linux/seccomp.h> is Linux's: macOS has none"
