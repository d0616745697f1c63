// Everything a capability needs from the frame.
#pragma once

#include "frame/class_builder.h"
#include "frame/function.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/registry.h"
#include "frame/signature.h"
#include "frame/unpack.h"
