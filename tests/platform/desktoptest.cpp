#include "desktoptest.h"
