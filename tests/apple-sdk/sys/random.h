/* getentropy(2), for the random names of temporary files. */
#pragma once

#include <stddef.h>

int getentropy(void *buffer, size_t size);
