// Forward-mode dual numbers: a value with its derivatives in N directions.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

#include "math/normal.hpp"

namespace zub {

// v + sum_k d[k] e_k with e_k e_l = 0: every operation carries the first
// derivatives of its result in the N seeded directions along with the value.
template <std::size_t N>
struct Dual {
    double v = 0.0;
    std::array<double, N> d{};

    Dual() = default;
    Dual(double value) : v(value) {}  // a constant: all derivatives zero
    static Dual seeded(double value, std::size_t direction) {
        Dual x(value);
        x.d[direction] = 1.0;
        return x;
    }
};

template <std::size_t N>
Dual<N> chain(double value, double slope, const Dual<N>& x) {
    Dual<N> out(value);
    for (std::size_t k = 0; k < N; ++k) out.d[k] = slope * x.d[k];
    return out;
}

template <std::size_t N>
Dual<N> operator+(Dual<N> a, const Dual<N>& b) {
    a.v += b.v;
    for (std::size_t k = 0; k < N; ++k) a.d[k] += b.d[k];
    return a;
}
template <std::size_t N>
Dual<N> operator-(Dual<N> a, const Dual<N>& b) {
    a.v -= b.v;
    for (std::size_t k = 0; k < N; ++k) a.d[k] -= b.d[k];
    return a;
}
template <std::size_t N>
Dual<N> operator-(Dual<N> a) {
    a.v = -a.v;
    for (std::size_t k = 0; k < N; ++k) a.d[k] = -a.d[k];
    return a;
}
template <std::size_t N>
Dual<N> operator*(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> out(a.v * b.v);
    for (std::size_t k = 0; k < N; ++k) out.d[k] = a.d[k] * b.v + a.v * b.d[k];
    return out;
}
template <std::size_t N>
Dual<N> operator/(const Dual<N>& a, const Dual<N>& b) {
    const double inv = 1.0 / b.v, ratio = a.v * inv;
    Dual<N> out(ratio);
    for (std::size_t k = 0; k < N; ++k) out.d[k] = (a.d[k] - ratio * b.d[k]) * inv;
    return out;
}
template <std::size_t N>
Dual<N> operator+(Dual<N> a, double b) {
    a.v += b;
    return a;
}
template <std::size_t N>
Dual<N> operator+(double b, Dual<N> a) {
    a.v += b;
    return a;
}
template <std::size_t N>
Dual<N> operator-(Dual<N> a, double b) {
    a.v -= b;
    return a;
}
template <std::size_t N>
Dual<N> operator-(double b, const Dual<N>& a) {
    return -a + b;
}
template <std::size_t N>
Dual<N> operator*(Dual<N> a, double b) {
    a.v *= b;
    for (std::size_t k = 0; k < N; ++k) a.d[k] *= b;
    return a;
}
template <std::size_t N>
Dual<N> operator*(double b, const Dual<N>& a) {
    return a * b;
}
template <std::size_t N>
Dual<N> operator/(const Dual<N>& a, double b) {
    return a * (1.0 / b);
}
template <std::size_t N>
Dual<N> operator/(double a, const Dual<N>& b) {
    const double inv = 1.0 / b.v;
    return chain(a * inv, -a * inv * inv, b);
}
template <std::size_t N, class U>
Dual<N>& operator+=(Dual<N>& a, const U& b) {
    return a = a + b;
}
template <std::size_t N, class U>
Dual<N>& operator-=(Dual<N>& a, const U& b) {
    return a = a - b;
}
template <std::size_t N, class U>
Dual<N>& operator*=(Dual<N>& a, const U& b) {
    return a = a * b;
}

template <std::size_t N>
Dual<N> exp(const Dual<N>& x) {
    const double e = std::exp(x.v);
    return chain(e, e, x);
}
template <std::size_t N>
Dual<N> log(const Dual<N>& x) {
    return chain(std::log(x.v), 1.0 / x.v, x);
}
// The derivative of sqrt is taken as 0 at 0, where the square roots here
// meet only quantities that vanish with their derivatives.
template <std::size_t N>
Dual<N> sqrt(const Dual<N>& x) {
    const double s = std::sqrt(x.v);
    return chain(s, s > 0.0 ? 0.5 / s : 0.0, x);
}
// max(x, 0), with the derivative of the branch taken.
template <std::size_t N>
Dual<N> positive_part(const Dual<N>& x) {
    return x.v > 0.0 ? x : Dual<N>(0.0);
}
inline double positive_part(double x) { return x > 0.0 ? x : 0.0; }

inline double value_of(double x) { return x; }
template <std::size_t N>
double value_of(const Dual<N>& x) {
    return x.v;
}

// N(x) and the density n(x) at one argument.
template <class T>
struct CdfPdf {
    T cdf, pdf;
};
inline CdfPdf<double> normal_cdf_pdf(double x) { return {norm_cdf(x), norm_pdf(x)}; }
template <std::size_t N>
CdfPdf<Dual<N>> normal_cdf_pdf(const Dual<N>& x) {
    const double p = norm_pdf(x.v);
    return {chain(norm_cdf(x.v), p, x), chain(p, -x.v * p, x)};
}

// N(x) and n(x) from their values at value_of(x), computed elsewhere.
inline CdfPdf<double> with_cdf_pdf(double, double cdf, double pdf) { return {cdf, pdf}; }
template <std::size_t N>
CdfPdf<Dual<N>> with_cdf_pdf(const Dual<N>& x, double cdf, double pdf) {
    return {chain(cdf, pdf, x), chain(pdf, -x.v * pdf, x)};
}

// exp(x) from its value e at value_of(x).
inline double with_exp(double, double e) { return e; }
template <std::size_t N>
Dual<N> with_exp(const Dual<N>& x, double e) {
    return chain(e, e, x);
}

}  // namespace zub
