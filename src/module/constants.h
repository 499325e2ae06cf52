// Process-wide constants: made once by the exec step, never freed.
#pragma once
#include <Python.h>

namespace fb::k {

#define FB_IDENT(name, text) extern PyObject* name;
#define FB_TEXT(name, text) extern PyObject* name;
#include "module/strings.def"
#undef FB_IDENT
#undef FB_TEXT

extern PyObject* empty_tuple;
extern PyObject* empty_bytes;
extern PyObject* empty_str;
// Numbers.
extern PyObject* float_0;     // 0.0
extern PyObject* float_30;    // 30.0, default of trigger_function's timeout
extern PyObject* int_0;
extern PyObject* int_4;
extern PyObject* int_300;
extern PyObject* int_404;
// Tuples.
extern PyObject* json_separators;  // (",", ":")
extern PyObject* none3;            // (None, None, None)
extern PyObject* isoformat_args;   // ("T", "milliseconds")
extern PyObject* utc_replace;      // ("+00:00", "Z")
extern PyObject* exp_default;      // ("exp", 0)
extern PyObject* kw_separators;    // ("separators",): keyword names of json.dumps
extern PyObject* fromlist_get_app; // ("get_app",): from .env import get_app
extern PyObject* kw_style;         // ("style",): keyword names of app.print

// Makes every string of strings.def and the empty str, bytes and tuple; throws PyError.
void make_strings();
// Makes the numbers, then the tuples (which hold strings and numbers); throw PyError.
void make_numbers();
void make_tuples();
// True once the strings and numbers exist (traceback entries need them).
extern bool ready;

}  // namespace fb::k
