#include "../../../apple-sdk/os/log.h"
