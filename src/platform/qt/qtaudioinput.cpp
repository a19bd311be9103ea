#include "qtaudioinput.h"
