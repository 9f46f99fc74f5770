#include "floor_libs.h"

unsigned floorLookup(unsigned id) { return id < 182 ? id : 0; }
