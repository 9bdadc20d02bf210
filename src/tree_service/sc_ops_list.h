// The whole configuration as data: the listing of a subtree, and the import
// of flat settings, instances and tree values as one change. Callers hold
// the worker's configuration lock (exclusive for the import).
#ifndef TARVI_SC_OPS_LIST_H
#define TARVI_SC_OPS_LIST_H

#include <string>

// The listing text (listing.h) of the subtree of URI (client form; null or
// empty: the whole tree) in *text, parents before children, table templates
// left out. One record per node: URI ("./..."), dtype and attr in decimal,
// limit, value (read without callbacks), and marks: "i" for an instance of
// a table, "l" when it has a limit, "v" when it has a value. Returns 0,
// SC_DATA_NOT_FOUND, SC_URI_TOO_LONG, or -1. A tree not built yet lists
// nothing, and none of its URIs is found.
int config_sc_list_text(const char *URI, std::string *text);

// Applies an import text of records "f KEY VALUE" (a flat setting), "i URI"
// (an instance "table/NAME", made when missing) and "t URI VALUE" (a tree
// value). Every record is checked first: keys and values that the store
// keeps and a reply can carry, keys that a commit stores, instances whose
// table has a template and whose name is valid, nodes that exist or lie in
// an instance made by an earlier record, values a tree file keeps and the
// node's verify callback accepts. Then the records that change something are
// applied in order. Returns 0; or -1 with nothing changed and *refusal
// "entry N (NAME): REASON" (N from 1). A write that fails while applying
// undoes the earlier ones.
int config_import(const std::string &text, std::string *refusal);

#endif
