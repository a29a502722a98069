/* macOS has no such header; an include of it outside a Linux branch stops here. */
#error "<linux/filter.h> is Linux's: macOS has none"
