// Profile and tree files: the line format that declares the tree (profiles,
// read-only, one per module) and keeps the values that differ from it (tree
// files, in the working folder). Callers hold the tree's serialisation.
//
// Folder and file names here are device paths ("/usr/sc/profile0/wan.profile");
// files are opened under the device root.
#ifndef TARVI_SC_TREE_FILE_H
#define TARVI_SC_TREE_FILE_H

#include <cstdio>
#include <string>
#include <vector>

#include "sc_types.h"

#define SC_PROFILE_FOLDER "/usr/sc/profile"
#define SC_TREE_FOLDER "/tmp/sc/tree"

// A line is read with a buffer of this size: at most SC_LINE_BUF_SIZE - 1
// characters. Longer lines are skipped whole.
#define SC_LINE_BUF_SIZE 2048
// A device path of a file in a stage folder is shorter than this.
#define SC_FILE_PATH_LIMIT 232

// Reads every "*.profile" file of the stage's profile folder (stage is one
// character, "0" or "1") into `sc`, in name order. Returns 0, or -1 when the
// folder cannot be opened or the stage is not one character.
int sc_readProfileFromProfileFolder(SCType *sc, const char *stage);

// Reads every "*.tree" file of the stage's tree folder: lines update existing
// nodes or create missing ones (dirty, in the module of their parent).
// Returns 0, or -1 when the folder cannot be opened or the stage is bad.
int sc_readTreeFromTreeFolder(SCType *sc, const char *stage);

// Creates one node from the five fields of a profile line in module
// `file_entry` (dirty when `default_dirty`, as for a tree file's line; else
// marked declared by the profile); a URI ending in "/-1" also
// creates the table's "@@@serial" node. Returns 0 or -1 (nothing is created
// then).
int sc_processNodeFromProfileFile(SCTreeType *tree, const char *URI, const char *ATR, const char *DataType,
                                  const char *DataLimit, const char *Data, FileType *file_entry, int default_dirty);

// "A:letters,G:letters" to attribute bits in *attr_result. Returns 0, or -1
// when either part is missing (a part with bad letters adds no bits).
int sc_parseAttribute(const char *atr, u_16 *attr_result);

// Type name (any case) to its bit, plus the table-member bit when `URI`
// holds "-1"; an unknown name gives 0. Always returns 0.
int sc_parseDataType(const char *URI, const char *datatype, u_16 *datatype_result);

// Parses a Data field: adds the form bit to *datatype, copies the literal or
// referenced URI into VAL (SC_LINE_BUF_SIZE bytes; "SC_NULL" for none) and
// stores a new key binding in *KEY when there is one (the caller frees it).
// Returns 0, or -1 for an unknown form or a malformed binding.
int sc_parseData(const char *data, u_16 *datatype, char *VAL, TarviKeyType **KEY);

// Builds the tree in `sc` (a root is made when it has none): for stage "0"
// and then "1", the profiles, callback and notify files and, when `user` is
// set, the tree files; then the instances are completed from their templates.
// Returns 0, or SC_MALLOC_FAIL when the root cannot be made.
int sc_loadTree(SCType *sc, int user);

// Shared by the readers of the stage folders.

// The device path of the stage folder: `folder` followed by the stage
// character; false when `stage` is not exactly one character.
bool sc_stageFolder(const char *folder, const char *stage, std::string *path);

// Names of the entries of a device folder, sorted, hidden ones left out.
// False when the folder cannot be opened. A failing close is reported with
// `close_msg` and does not count as failure.
bool sc_listFolder(const std::string &folder, std::vector<std::string> *names, const char *close_msg);

// Reads the next line (without its end) into `line`. 1 for a line, 0 at the
// end of the file, -1 for a line of SC_LINE_BUF_SIZE characters or more,
// which is consumed whole and reported.
int sc_readLine(FILE *f, std::string *line);

#endif
