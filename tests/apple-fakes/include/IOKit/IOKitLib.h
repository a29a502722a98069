#include "../../../apple-sdk/IOKit/IOKitLib.h"
