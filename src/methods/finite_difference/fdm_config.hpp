// Settings of the finite-difference engine.
#pragma once

#include <cstdint>

namespace zub {

enum class TransformKind : uint8_t { Log = 0, Sinh = 1 };

struct TransformConfig {
    TransformKind kind = TransformKind::Sinh;
    double alpha = 0.3;  // used by sinh only
};

struct FdmConfig {
    TransformConfig transform{};
    uint64_t grid_nodes = 101;
    uint64_t time_steps = 10;
    double grid_std_devs = 4.0;
};

}  // namespace zub
