// The signal and meta-object of the display source interface are generated from its header.
#include "DisplaySource.h"
