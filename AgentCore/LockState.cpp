// The signal and meta-object of the lock state interface are generated from its header.
#include "LockState.h"
