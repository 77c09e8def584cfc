// The renderer's --sfz: a sample library made on this machine's cores, or
// planned as one command per sample for many machines and mapped afterwards.
#pragma once

#include "instrument.h"
#include "render_options.h"

//! Makes, plans, renders one sample of, or maps the library the options
//! describe for `instrument`. Returns the exit status: 2 for keys the
//! instrument cannot play, 1 for a failure to render or write (nothing
//! half-written is left behind), 0 otherwise; every failure is said on
//! stderr in one line.
int make_sample_library(const RenderOptions &options, const Instrument &instrument);
