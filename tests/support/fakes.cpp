// The fakes live in fakes.h; this file gives their library a source of its own.

#include "fakes.h"
