#include "qtdesktop.h"
