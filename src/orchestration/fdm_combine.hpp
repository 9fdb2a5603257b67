// The finite-difference driver's last step: an option's result from the
// results of its grid solves.
#pragma once

#include <optional>
#include <span>

#include "core/error.hpp"
#include "orchestration/fdm_plan.hpp"
#include "orchestration/option_result.hpp"

namespace zub {

// plan.count results, in the plan's order, into the option's: the first
// failure; else a mirror's result turned into the call's, two results
// blended as keep * own + w * mirror, and an American option's floored at
// its exercise value.
Outcome<OptionResult> combine_fdm(const FdmPlan& plan, std::span<std::optional<Outcome<OptionResult>>> results);

}  // namespace zub
