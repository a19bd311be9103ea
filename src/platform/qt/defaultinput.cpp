#include "defaultinput.h"
