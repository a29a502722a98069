/* macOS has no such header; an include of it outside a Linux branch stops here. */
#error "<sys/prctl.h> is Linux's: macOS has none"
