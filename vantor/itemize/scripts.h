// The backend's script numbers (vantor.h) and the OpenType script tags that
// belong to a Unicode script.
#pragma once

#include <hb.h>

#include <cstddef>
#include <span>

#include "abi/usp10.h"

namespace vantor {

// True for the scripts that carry no script of their own: a character of
// these takes the script of the text around it.
bool is_neutral_script(hb_script_t script);

// The number stored in SCRIPT_ANALYSIS.eScript; VANTOR_SCRIPT_NONE (0) for
// neutral scripts and for scripts the table does not know.
unsigned script_number(hb_script_t script);

// The script of an eScript number; HB_SCRIPT_INVALID for 0 and unknown numbers.
hb_script_t script_from_number(unsigned number);

// OpenType script tags of a script, HarfBuzz's preference first (for
// example 'dev2' before 'deva'). Writes at most out.size() tags and returns
// how many it wrote.
std::size_t opentype_script_tags(hb_script_t script, std::span<hb_tag_t> out);

// The first of those tags in Uniscribe's byte order, 0 when there is none.
OPENTYPE_TAG preferred_script_tag(hb_script_t script);

}  // namespace vantor
