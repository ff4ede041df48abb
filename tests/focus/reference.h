// The whole-picture reference of Add and Show lives with the focus fixture.
#pragma once
#include "focus/focus_fixture.h"
