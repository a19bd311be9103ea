#include "recordertest.h"
