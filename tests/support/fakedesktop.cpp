#include "fakedesktop.h"
