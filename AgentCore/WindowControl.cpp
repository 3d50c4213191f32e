// The signal and meta-object of the window control interface are generated from its header.
#include "WindowControl.h"
