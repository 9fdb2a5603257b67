// The one place where this module reads the records inside zub's objects.
//
// zub_batch is compiled from the same source tree as zub and links the same
// pricing core, so it knows how zub lays out its instances: a Python object
// header followed by one C++ value (Box<T> in boundary.hpp).  Before a value
// is read, the object's type is compared by identity with the class object
// that the imported zub module exports; a subclass or any look-alike is
// refused with a TypeError.  Every other file of the module goes through
// these functions, so a change of zub's object layout is mended here alone.
#pragma once

#include <memory>

#include "boundary.hpp"
#include "execution/valuation.hpp"
#include "instruments/vanilla_option.hpp"
#include "market/market_record.hpp"

namespace zub::batch {

// Imports zub and keeps its classes (strong references for the life of the
// process).  False with an exception set.
bool load_zub_classes();

// The market record an OptionMarketFrame holds; it is shared, not copied,
// and stays valid while `out` lives even if the frame is changed later
// (frames copy their record before writing when it is shared).
bool read_frame(PyObject* o, const char* name, std::shared_ptr<const MarketRecord>& out);

// The method table a Config holds; None gives nullptr (the defaults).
bool read_config(PyObject* o, const char* name, std::shared_ptr<const ConfigTable>& out);

// An OptionType / ExerciseStyle member: true with the code when `o` is one,
// false without an exception when it is anything else.
bool option_type_member(PyObject* o, OptionType& out);
bool exercise_style_member(PyObject* o, ExerciseStyle& out);

}  // namespace zub::batch
