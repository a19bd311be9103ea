#include "playertest.h"
