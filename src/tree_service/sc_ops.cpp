#include "sc_ops.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/time.h>

#include "sc_debug.h"
#include "sc_memiface.h"
#include "sc_ops_cb.h"
#include "sc_tree.h"
#include "sc_tree_cb.h"
#include "sc_tree_file.h"
#include "sc_tree_inst.h"
#include "sc_tree_key.h"
#include "sc_utiliface.h"

namespace {

// References are followed through config_sc_get / config_sc_set; a chain
// longer than this (a reference cycle in a profile) is cut off instead of
// recursing until the stack runs out.
constexpr int SC_REF_DEPTH_MAX = 8;
thread_local int ref_depth = 0;

class ref_step {
  public:
    ref_step() { ++ref_depth; }
    ~ref_step() { --ref_depth; }
    ref_step(const ref_step &) = delete;
    ref_step &operator=(const ref_step &) = delete;
    bool too_deep() const { return ref_depth > SC_REF_DEPTH_MAX; }
};

// The result of an operation whose search did not find the node.
int search_failure(int rc) { return rc == SC_DATA_NOT_FOUND || rc == SC_URI_TOO_LONG ? rc : -1; }

// Finds the node and checks that it has data; prints the bug otherwise.
int find_with_data(const char *op, const char *URI, SCTreeNode **node) {
    int rc = config_sc_search(op, URI, node);
    if (rc != SC_DATA_FOUND)
        return search_failure(rc);
    if (!(*node)->data) {
        SC_BUG();
        return -1;
    }
    return 0;
}

struct load_clock {
    struct timeval start;
    load_clock() {
        SC_TRACE("SC Struct initailzation!\n");
        gettimeofday(&start, nullptr);
    }
};

void read_stage(SCType *sc, const char *stage, s_32 user) {
    sc_readProfileFromProfileFolder(sc, stage);
    sc_readCBFromCBFolder(sc, stage);
    sc_readNotifyFromNotifyFolder(sc, stage);
    if (user)
        sc_readTreeFromTreeFolder(sc, stage);
}

int new_tree() {
    sc_deleteSCTree(&SC);
    int rc = config_sc_initial(&SC);
    if (rc != 0)
        SC_FAIL("SC Initialzation Fail!\n");
    return rc;
}

} // namespace

// ---- building the tree ----

int config_sc_initial(SCType *sc) {
    if (!sc) {
        SC_FAIL("[config_sc_initial] SC is NULL!\n");
        return -1;
    }
    sc_initSCType(sc);
    SCDataType *root = sc_createData(".");
    if (!root) {
        SC_FAIL("[config_sc_initial] Create Root Node Fail!\n");
        return SC_MALLOC_FAIL;
    }
    int rc = sc_initTree(&sc->tree, root);
    if (rc != 0) {
        sc_freeData(root);
        SC_FAIL("[config_sc_initial]  Initailze tree Fail! code=%d\n", rc);
        return -1;
    }
    return 0;
}

int config_sc_reload(int user) {
    load_clock clock;
    config_sc_cb_init();
    sc_config_get_hook = config_sc_get;
    if (int rc = new_tree(); rc != 0)
        return rc;
    for (const char *stage : {"0", "1"})
        read_stage(&SC, stage, user);
    sc_reprocess_all_inst(&SC);
    config_sc_cb_tree_loaded();
    struct timeval end;
    gettimeofday(&end, nullptr);
    SC_TRACE("tarvi-ex end...start=%ld, %ld usecond, End=%ld, %ld usecond\n", static_cast<long>(clock.start.tv_sec),
             static_cast<long>(clock.start.tv_usec), static_cast<long>(end.tv_sec), static_cast<long>(end.tv_usec));
    return 0;
}

bool config_sc_loaded(void) { return SC.tree.root != nullptr; }

int config_sc_stage_reload(s_32 user, const char *stage) {
    load_clock clock;
    config_sc_cb_init();
    sc_config_get_hook = config_sc_get;
    if (!stage)
        return -1;
    if (strcmp(stage, "0") == 0) {
        if (int rc = new_tree(); rc != 0)
            return rc;
    } else if (!SC.tree.root) {
        // A later stage has nothing to add to.
        SC_FAIL("SC2.0 Stage %s: no tree loaded!\n", stage);
        return -1;
    }
    read_stage(&SC, stage, user);
    if (sc_util_atoi(stage) == 1)
        sc_reprocess_all_inst(&SC);
    config_sc_cb_tree_loaded();
    struct timeval end;
    gettimeofday(&end, nullptr);
    SC_TRACE("SC2.0 Stage %s end...start=%ld, %ld usecond, End=%ld, %ld usecond\n", stage,
             static_cast<long>(clock.start.tv_sec), static_cast<long>(clock.start.tv_usec),
             static_cast<long>(end.tv_sec), static_cast<long>(end.tv_usec));
    return 0;
}

// ---- values ----

int config_sc_get(const char *URI, char **value) {
    ref_step step;
    if (step.too_deep()) {
        SC_FAIL("%s: reference chain too long!!\n", URI);
        return -1;
    }
    SCTreeNode *node = nullptr;
    int rc = config_sc_search("config_sc_get", URI, &node);
    if (rc != SC_DATA_FOUND)
        return search_failure(rc);
    SC_TRACE("Query = ./%s!!\n", URI);
    sc_node_hold hold(node);
    char *string = nullptr;
    sc_getStringFromNodeForce(node, &string);
    CBDataType *cb = node->data ? node->data->CBData : nullptr;
    if (cb) {
        char *converted = nullptr, *ignored = nullptr;
        if (cb->cov)
            config_sc_op_cov(node, string, 0, &converted);
        if (cb->get) {
            config_sc_op_get(node, cb->cov ? converted : string, &ignored);
            SC_FREE(ignored);
        }
        if (cb->cov) {
            SC_FREE(string);
            string = converted;
        }
    }
    SC_TRACE("Search Node string=%s!!\n", string ? string : "(null)");
    if (string) {
        SC_FREE(*value);
        *value = string;
    }
    return 0;
}

int config_sc_set(const char *URI, const char *value) {
    ref_step step;
    if (step.too_deep()) {
        SC_FAIL("%s: reference chain too long!!\n", URI);
        return -1;
    }
    if (!value)
        return -1;
    SCTreeNode *node = nullptr;
    if (int rc = find_with_data("config_sc_set", URI, &node); rc != 0)
        return rc;
    sc_node_hold hold(node);
    SCDataType *data = node->data;
    char *converted = nullptr;
    if (CBDataType *cb = data->CBData) {
        if (cb->ver) {
            char *answer = nullptr;
            config_sc_op_ver(node, value, &answer);
            bool ok = answer && strncmp(answer, "OK", 2) == 0;
            SC_FREE(answer);
            if (!ok) {
                SC_FAIL("URI %s input %s Verification Fail!!\n", data->uri, value);
                return -1;
            }
        }
        if (cb->set) {
            char *ignored = nullptr;
            config_sc_op_set(node, value, &ignored);
            SC_FREE(ignored);
        }
        if (cb->cov)
            config_sc_op_cov(node, value, 1, &converted);
    }
    const char *stored = converted ? converted : value;
    int rc = 0;
    const u_16 forms = SC_DTYPE_VALUE | SC_DTYPE_KEY | SC_DTYPE_REF;
    if (data->dtype & SC_DTYPE_REF) {
        // The referred node takes the write, and its answer is the answer:
        // a write it refused was not made.
        rc = data->value ? config_sc_set(data->value, stored) : -1;
    } else if (!(data->dtype & forms) && data->CBData && data->CBData->set) {
        // A node without a value whose set callback acts on the write.
    } else if (sc_setStringFromNodeForce(node, stored) != 0) {
        // A value that could not be stored must not be reported as written.
        rc = -1;
    }
    SC_FREE(converted);
    return rc;
}

namespace {

// The string of the node at URI, read without callbacks (*string null when it
// has none). 0, or the search's failure.
int read_plain(const char *op, const char *URI, char **string) {
    *string = nullptr;
    SCTreeNode *node = nullptr;
    if (int rc = find_with_data(op, URI, &node); rc != 0)
        return rc;
    sc_getStringFromNodeForce(node, string);
    return 0;
}

} // namespace

int config_sc_get_int(const char *URI, s_32 *value) {
    char *string = nullptr;
    if (int rc = read_plain("config_sc_get_int", URI, &string); rc != 0)
        return rc;
    if (string)
        *value = sc_util_atoi(string);
    SC_FREE(string);
    return 0;
}

int config_sc_get_uint(const char *URI, u_32 *value) {
    char *string = nullptr;
    if (int rc = read_plain("config_sc_get_uint", URI, &string); rc != 0)
        return rc;
    int rc = 0;
    *value = 0;
    if (string) {
        int n = sc_util_atoi(string);
        if (n < 0) {
            SC_FAIL("%s: The value is not unsigned(negative)!!\n", URI);
            rc = -1;
        } else {
            *value = static_cast<u_32>(n);
        }
    }
    SC_FREE(string);
    return rc;
}

int config_sc_get_boolean(const char *URI, int *value) {
    char *string = nullptr;
    if (int rc = read_plain("config_sc_get_boolean", URI, &string); rc != 0)
        return rc;
    int rc = 0;
    *value = 0;
    if (string && (strcmp(string, "0") == 0 || strcmp(string, "1") == 0)) {
        *value = string[0] == '1';
    } else if (string) {
        SC_FAIL("%s: its boolean is not 0 or 1!!\n", URI);
        rc = -1;
    }
    SC_FREE(string);
    return rc;
}

namespace {

int set_text(const char *op, const char *URI, const char *text) {
    SCTreeNode *node = nullptr;
    if (int rc = find_with_data(op, URI, &node); rc != 0)
        return rc;
    return sc_setStringFromNodeForce(node, text) == 0 ? 0 : -1;
}

} // namespace

int config_sc_set_int(const char *URI, s_32 value) {
    char text[SC_UTIL_NUM_BUF_SIZE];
    return set_text("config_sc_set_int", URI, sc_util_itoa(value, text));
}

int config_sc_set_uint(const char *URI, u_32 value) {
    char text[SC_UTIL_NUM_BUF_SIZE];
    return set_text("config_sc_set_uint", URI, sc_util_utoa(value, text));
}

int config_sc_set_boolean(const char *URI, int value) {
    if (value != 0 && value != 1) {
        SC_FAIL("%s: its boolean is not 0 or 1!!\n", URI);
        return -1;
    }
    return set_text("config_sc_set_boolean", URI, value ? "1" : "0");
}

int config_sc_get_dtype(const char *URI, u_16 *dtype) {
    SCTreeNode *node = nullptr;
    if (int rc = find_with_data("config_sc_get_dtype", URI, &node); rc != 0)
        return rc;
    *dtype = node->data->dtype;
    return 0;
}

int config_sc_get_attr(const char *URI, u_16 *attr) {
    SCTreeNode *node = nullptr;
    if (int rc = find_with_data("config_sc_get_attr", URI, &node); rc != 0)
        return rc;
    *attr = node->data->attr;
    return 0;
}

int config_sc_get_limit(const char *URI, char **limit) {
    SCTreeNode *node = nullptr;
    if (int rc = find_with_data("config_sc_get_limit", URI, &node); rc != 0)
        return rc;
    *limit = node->data->limit ? sc_util_strdup(node->data->limit) : nullptr;
    return 0;
}

void config_sc_is_exist(const char *URI, s_32 *exist) {
    SCTreeNode *node = nullptr;
    *exist = config_sc_search("config_sc_is_exist", URI, &node);
}

int config_sc_mget(sc_req_t *list, u_16 len) {
    if (len > SC_MSET_MAX)
        return -1;
    for (u_16 i = 0; i < len; ++i)
        config_sc_get(list[i].uri, &list[i].value);
    return 0;
}

int config_sc_mset(sc_req_t *list, u_16 len) {
    if (len > SC_MSET_MAX)
        return -1;
    char *backup[SC_MSET_MAX] = {};
    for (u_16 i = 0; i < len; ++i)
        config_sc_get(list[i].uri, &backup[i]);
    int rc = 0;
    for (u_16 i = 0; i < len; ++i) {
        rc = config_sc_set(list[i].uri, list[i].value);
        if (rc == -1) {
            for (u_16 j = 0; j < len; ++j)
                if (backup[j])
                    config_sc_set(list[j].uri, backup[j]);
            break;
        }
    }
    for (u_16 i = 0; i < len; ++i)
        SC_FREE(backup[i]);
    return rc;
}
