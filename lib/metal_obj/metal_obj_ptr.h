// C++ owners of the library's objects, for the program, its tests and
// benchmarks. Not installed: the library's interface is C.
#pragma once

#include <memory>

#include "cw_metal_obj.h"
#include "cw_metal_obj_fast.h"

struct MetalObjDeleter {
    void operator()(MetalObj *obj) const { cw_metal_obj_free(obj); }
};
using ObjPtr = std::unique_ptr<MetalObj, MetalObjDeleter>;

struct MetalObjFastDeleter {
    void operator()(MetalObjFast *fast) const { cw_metal_obj_fast_free(fast); }
};
using FastPtr = std::unique_ptr<MetalObjFast, MetalObjFastDeleter>;
