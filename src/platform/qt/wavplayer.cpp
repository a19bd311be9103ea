#include "wavplayer.h"
