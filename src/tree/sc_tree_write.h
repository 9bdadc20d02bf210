// Writing the tree back: node lines in the profile/tree line format, the
// tree files that keep what differs from the profiles (only the changed
// modules, or everything), and the export of the whole tree as profile,
// callback and notify files. Callers hold the tree's serialisation.
//
// Every file is written under a temporary name in its stage folder and moved
// over the final name with rename: a reader sees the old file or the new
// one, never a part. A file that cannot be written completely is removed and
// the final file is left as it was.
#ifndef TARVI_SC_TREE_WRITE_H
#define TARVI_SC_TREE_WRITE_H

#include <cstdio>
#include <string>

#include "sc_types.h"

#define SC_TREE_WORK_PROFILE_FOLDER "/tmp/sc/profile"
#define SC_TREE_WORK_CB_FOLDER "/tmp/sc/cb"
#define SC_TREE_WORK_NOTIFY_FOLDER "/tmp/sc/notify"

// Converts a slash-form URI (without "./") to dotted notation in place:
// every '/' becomes '.'. Returns `uri`.
char *sc_transSYStoCWMP(char *uri);

// The line of `node` (ended by "\r\n") in *line, in dotted notation when
// `isCWMP`. 0, or -1 when the node cannot be written so that the readers
// give it back: no URI, a value holding '(', ')', CR or LF, or a line longer
// than a reader takes.
int sc_nodeLine(const SCTreeNode *node, bool isCWMP, std::string *line);

// True when `node` holding `value` instead of its own value would still
// have a line the readers give back.
bool sc_nodeLineFits(const SCTreeNode *node, const char *value);

// Writes the line of `node` to FileHandler. 0, or -1 as above or when the
// write fails.
int sc_writeNodeToTreeFile(const SCTreeNode *node, FILE *FileHandler, bool isCWMP);

// For every module with unsaved changes: its dirty nodes, in the order they
// became dirty, as its tree file; the module's flag is cleared once saved.
// Modules that cannot be saved keep their flag; the others are saved all the
// same. 0, or -1 when any module or node could not be saved.
int sc_writeDirtyToEtcFile(SCType *sc);

// Every node of every module except table templates, as its tree file; the
// modules' flags are left as they are. 0 or -1 as above.
int sc_writeTreeToTreeFile(SCType *sc);

// Export of the whole tree as profile, callback and notify files in the
// working folder. 0, or -1 when any module could not be written.
int sc_writeProfileToProfileFile(SCType *sc);
int sc_writeCBToCBFile(SCType *sc);
int sc_writeNotifyToNotifyFile(SCType *sc);

#endif
