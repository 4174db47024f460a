// Real-number text between its link form (1.5e-3, then a separator and a
// backtick precision field) and input syntax (1.5`20*^-3), rewritten in
// place on 8, 16 or 32-bit units. A text ends at its first unit of value 32
// or below. Both directions answer the rewritten length in units.
#pragma once

#include <cstdint>

// Link form to input syntax. The text must have one unit past its end unit
// that may be overwritten (an exponent without precision takes it).
long qv_to_input_char(char* text, void* unused = nullptr);
long qv_to_input_short(uint16_t* text, void* unused = nullptr);
long qv_to_input_int(uint32_t* text, void* unused = nullptr);

// Input syntax to link form. Nothing is written past the end unit.
long input_to_qv_char(char* text, void* unused = nullptr);
long input_to_qv_short(uint16_t* text, void* unused = nullptr);
long input_to_qv_int(uint32_t* text, void* unused = nullptr);
