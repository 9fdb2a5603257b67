#include "core/rate.hpp"

#include <cmath>

namespace zub {

uint8_t periods_per_year(Frequency f) noexcept {
    switch (f) {
        case Frequency::Annual: return 1;
        case Frequency::SemiAnnual: return 2;
        case Frequency::Quarterly: return 4;
        case Frequency::Monthly: return 12;
    }
    return 1;
}

const char* frequency_name_from_periods(uint8_t periods) noexcept {
    switch (periods) {
        case 1: return "Annual";
        case 2: return "SemiAnnual";
        case 4: return "Quarterly";
        case 12: return "Monthly";
        default: return "Unknown";
    }
}

std::string Compounding::repr() const {
    switch (kind) {
        case CompoundingKind::Simple: return "Compounding.Simple";
        case CompoundingKind::Continuous: return "Compounding.Continuous";
        case CompoundingKind::Compounded:
            return std::string("Compounding.Compounded(") + frequency_name_from_periods(frequency) + ")";
        case CompoundingKind::SimpleThenCompounded:
            return std::string("Compounding.SimpleThenCompounded(") + frequency_name_from_periods(frequency) + ")";
    }
    return "Compounding";
}

namespace {

// 1 / (1 + r t), evaluated as t*r, plus 1, reciprocal.
double simple_factor(double r, double t) noexcept { return 1.0 / (t * r + 1.0); }

// 1 / (1 + r/n)^(t n), evaluated as r/n, plus 1, pow, reciprocal.
double compounded_factor(double r, double n, double t) noexcept { return 1.0 / std::pow(r / n + 1.0, t * n); }

}  // namespace

double InterestRate::discount_factor(double t) const noexcept {
    const double n = compounding.frequency;
    switch (compounding.kind) {
        case CompoundingKind::Simple: return simple_factor(rate, t);
        case CompoundingKind::Compounded: return compounded_factor(rate, n, t);
        case CompoundingKind::Continuous: return std::exp(t * -rate);
        case CompoundingKind::SimpleThenCompounded:
            // Money-market style: simple interest within the first period.
            return t <= 1.0 / n ? simple_factor(rate, t) : compounded_factor(rate, n, t);
    }
    return std::exp(t * -rate);
}

}  // namespace zub
