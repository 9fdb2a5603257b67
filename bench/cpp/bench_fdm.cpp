// Finite-difference solve of an American put, S = K = 100, T = 1, r = 0.05,
// q = 0, sigma = 0.2, at three grid sizes (nodes x time steps).
#include <benchmark/benchmark.h>

#include <array>
#include <optional>
#include <vector>

#include "methods/linear_operators/tridiagonal_lanes.hpp"
#include "methods/linear_operators/tridiagonal_operator.hpp"
#include "orchestration/fdm.hpp"

namespace {

void BM_SolveFdmAmericanPut(benchmark::State& state) {
    zub::FdmConfig settings;
    settings.grid_nodes = static_cast<std::uint64_t>(state.range(0));
    settings.time_steps = static_cast<std::uint64_t>(state.range(1));
    const zub::MarketPoint market{.spot = 100.0, .vol = 0.2, .rate = 0.05, .carry = 0.0};
    for (auto _ : state) {
        auto result = zub::solve_fdm_in_years(zub::OptionType::Put, zub::ExerciseStyle::American, 100.0, 1.0, {},
                                              settings, market);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * state.range(1));
}

}  // namespace

BENCHMARK(BM_SolveFdmAmericanPut)->Args({101, 10})->Args({401, 400})->Args({1601, 1600});

namespace {

// One implicit solve with a cached factorisation, the unit of a time step.
void BM_TridiagonalSolveCached(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    std::vector<double> lower(n, 1.0), diag(n, -2.0), upper(n, 1.0), r(n, 1.0), out(n), scratch(n);
    zub::TridiagonalOperator op(lower, diag, upper);
    op.set_neumann_row(0);
    op.set_neumann_row(n - 1);
    for (auto _ : state) {
        op.solve_implicit(r, 0.01, out, scratch);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK(BM_TridiagonalSolveCached)->Arg(101)->Arg(1601);
BENCHMARK(BM_SolveFdmAmericanPut)->Args({101, 0});

namespace {

// Four American puts of neighbouring strikes stepped together on a kept
// workspace, per option.
void BM_SolveFdmLanesAmericanPut(benchmark::State& state) {
    zub::FdmConfig settings;
    settings.grid_nodes = static_cast<std::uint64_t>(state.range(0));
    settings.time_steps = static_cast<std::uint64_t>(state.range(1));
    std::array<zub::FdmLane, 8> lanes;
    for (std::size_t k = 0; k < lanes.size(); ++k) {
        lanes[k] = {zub::OptionType::Put, zub::ExerciseStyle::American, 95.0 + 2.5 * static_cast<double>(k), 1.0,
                    {.spot = 100.0, .vol = 0.2, .rate = 0.05, .carry = 0.0}};
    }
    std::array<std::optional<zub::Outcome<zub::OptionResult>>, 8> out;
    zub::FdmLaneWorkspace workspace;
    for (auto _ : state) {
        zub::solve_fdm_block(lanes, {}, settings, {}, out, &workspace);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(lanes.size()));
}

}  // namespace

BENCHMARK(BM_SolveFdmLanesAmericanPut)->Args({101, 10})->Args({401, 400});
