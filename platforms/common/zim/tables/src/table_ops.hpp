// SPDX-License-Identifier: Apache-2.0
// The operation templates behind every generated unit, one header per family:
// sizing, pointer fix-up, allocation, copies and client copies, over the
// vocabulary of traits.hpp. The units include this header alone.
//
// A unit describes its table type as a traits struct of compile-time constants
// (offsets, widths, the lists of header fields and data steps) and
// instantiates these templates with it. Every loop in them runs over a
// template parameter pack, so each instantiation compiles to a fixed sequence
// of loads, stores and copies at constant offsets: no descriptor exists at run
// time.
#pragma once

#include "access.hpp"
#include "allocation.hpp"
#include "client_copy.hpp"
#include "copy.hpp"
#include "fix_ptrs.hpp"
#include "ordered_move.hpp"
#include "report.hpp"
#include "sizing.hpp"
#include "traits.hpp"

// The step marker is for the templates only, not for the units.
#undef ZIM_TABLES_STEP
