#include "fakeaudio.h"
