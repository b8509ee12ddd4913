// The operator list lives with the engine, which names networks too; the window's code keeps
// this include.
#pragma once

#include "gsm/operators.h"
