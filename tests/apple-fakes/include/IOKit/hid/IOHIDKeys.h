#include "../../../../apple-sdk/IOKit/hid/IOHIDKeys.h"
