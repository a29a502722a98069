#include "../../../../apple-sdk/IOKit/hidsystem/IOHIDEventSystemClient.h"
