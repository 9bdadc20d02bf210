// Tree operations served by the tree workers: building the tree, and reading
// and writing node values with their callbacks. Callers hold the worker's
// configuration lock. URIs are given as clients send them: slash form without
// "./" ("sys/wan/mtu"), or dotted ("InternetGatewayDevice.Time.Enable"), at
// most SC_URI_MAX_LEN characters (longer ones are refused with
// SC_URI_TOO_LONG: a cut URI could name another node). Strings handed out are
// allocated for the caller, who frees them with SC_FREE.
#ifndef TARVI_SC_OPS_H
#define TARVI_SC_OPS_H

#include "sc_types.h"

// Most items of one config_sc_mget / config_sc_mset.
#define SC_MSET_MAX 64

// One item of a multi-get or multi-set.
struct sc_req_t {
    char *uri;
    char *value; // filled by config_sc_mget with a string the caller frees
};

// Builds the tree anew from the stage "0" and "1" folders (with the tree files
// when `user` is set). 0, -1, or SC_MALLOC_FAIL.
int config_sc_reload(int user);

// True once a tree has been built.
bool config_sc_loaded(void);

// Stage "0" builds a new tree from that stage's folders; any other stage adds
// its folders to the existing tree (refused with -1 when there is none), and
// stage 1 completes the instances. 0, -1 or SC_MALLOC_FAIL.
int config_sc_stage_reload(s_32 user, const char *stage);

// Empties `sc` and gives it a root node. 0, -1 for null, SC_MALLOC_FAIL.
int config_sc_initial(SCType *sc);

// Value operations. 0 on success, SC_DATA_NOT_FOUND, SC_URI_TOO_LONG, or -1.
// A set of a reference answers as the write of the node it names; a set that
// the node cannot keep (sc_setStringFromNodeForce) is refused with -1,
// except on a node without a value whose set callback acts on the write.
int config_sc_get(const char *URI, char **value);
int config_sc_set(const char *URI, const char *value);
int config_sc_get_int(const char *URI, s_32 *value);
int config_sc_get_uint(const char *URI, u_32 *value);
int config_sc_get_boolean(const char *URI, int *value);
int config_sc_set_int(const char *URI, s_32 value);
int config_sc_set_uint(const char *URI, u_32 value);
int config_sc_set_boolean(const char *URI, int value);
int config_sc_get_dtype(const char *URI, u_16 *dtype);
int config_sc_get_attr(const char *URI, u_16 *attr);
int config_sc_get_limit(const char *URI, char **limit);
// *exist = SC_DATA_FOUND or SC_DATA_NOT_FOUND (or the search's other answer).
void config_sc_is_exist(const char *URI, s_32 *exist);
// Reads every item; returns 0, or -1 for more than SC_MSET_MAX items.
int config_sc_mget(sc_req_t *list, u_16 len);
// Writes every item in order; when one write fails with -1, writes every old
// value back. Returns the last write's result; -1 for more than SC_MSET_MAX
// items, with nothing changed.
int config_sc_mset(sc_req_t *list, u_16 len);

#endif
