/* GoogleTest includes it on Apple platforms and uses none of its macros. */
#pragma once
