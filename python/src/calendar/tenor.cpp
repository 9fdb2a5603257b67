// Tenor: a count of days, weeks, months or years.
#include "types.hpp"

namespace zub::py {
namespace {

using zub::Tenor;
using zub::TenorUnit;

template <TenorUnit U>
Tenor of_unit(int32_t n) {
    return Tenor{U, n};
}

zub::Date advance(const Tenor& t, zub::Date from) { return zub::advance(t, from); }

}  // namespace

PyTypeObject* type_Tenor() {
    return once([] {
        return make_class<Tenor>({
            .name = "builtins.Tenor",
            .methods = {static_method<"Tenor.days", of_unit<TenorUnit::Days>, "n">(),
                        static_method<"Tenor.weeks", of_unit<TenorUnit::Weeks>, "n">(),
                        static_method<"Tenor.months", of_unit<TenorUnit::Months>, "n">(),
                        static_method<"Tenor.years", of_unit<TenorUnit::Years>, "n">(),
                        method<"Tenor.advance", advance, "from">()},
        });
    });
}

}  // namespace zub::py
