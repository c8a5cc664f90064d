// Reading a pricing source, shared by `_parse_pricing` and the tools that
// explain a parse, so that every reader gets a source's text the same way.
#pragma once

#include "../shared.hpp"

namespace quelm::pricing {

// The whole text of `src`: a web address ("^https?://" in any letter case) is
// fetched with one GET, a GitHub blob page from its raw-file address; any
// other name is read as a local UTF-8 file.  One leading byte-order mark is
// dropped.  `module` is quelm.genai_pricing, in whose namespace (then the
// builtins) `open` is looked up.  Raises whatever the URL opener, the decoder
// or the file system raises.
Ref read_text(Borrowed module, PyObject* src);

// Logs "Failed to load pricing from %s: %s" at warning level with `path` and
// the pending exception, through the logger named after the module's
// `__name__` at this moment.  The exception stays pending; an error raised by
// the logging itself propagates instead, with the read error as its
// `__context__`.
void warn_failed_load(Borrowed module, PyObject* path);

// What `text.splitlines()` demands of a source's text: a str; anything else
// raises that call's AttributeError.
void require_text(Borrowed text);

// The module functions `_parse_pricing` and `clear_pricing_cache`.
Ref parse_pricing(Borrowed module, PyObject* const* args);
Ref clear_pricing_cache(Borrowed module, PyObject* const* args);

}  // namespace quelm::pricing
