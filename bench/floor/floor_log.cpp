#include <log4cpp/Category.hh>

#include "floor_libs.h"

void floorLogInit() { log4cpp::Category::getRoot().setPriority(log4cpp::Priority::ERROR); }
