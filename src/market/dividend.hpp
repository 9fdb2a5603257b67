// A discrete cash dividend.
#pragma once

#include "core/period.hpp"

namespace zub {

struct Dividend {
    Instant ex_date;   // UTC
    double amount = 0.0;
};

}  // namespace zub
