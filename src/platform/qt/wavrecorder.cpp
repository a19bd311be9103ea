#include "wavrecorder.h"
