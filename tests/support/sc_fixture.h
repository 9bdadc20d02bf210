// A tree loaded from declaration files laid into a scratch device root.
#ifndef TARVI_TEST_SC_FIXTURE_H
#define TARVI_TEST_SC_FIXTURE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "sc_debug.h"
#include "sc_memiface.h"
#include "sc_tree.h"
#include "sc_tree_cb.h"
#include "sc_tree_file.h"
#include "sc_tree_key.h"
#include "sc_utiliface.h"
#include "scratch.h"
#include "store.h"

// Notifications delivered through sc_op_notify_hook: node URI and value.
inline std::vector<std::pair<std::string, std::string>> delivered;
inline int record_delivery(SCTreeNode *node, const char *input, char **output) {
    delivered.emplace_back(node->data->uri, input ? input : "<null>");
    *output = sc_util_strdup("done"); // the caller frees it
    return 0;
}

class TreeDecl : public ::testing::Test {
  protected:
    void SetUp() override {
        DebugLevel = 0;
        ASSERT_EQ(0, config_store_init());
        sc_initSCType(&SC); // other tests leave records of their own on it
        ASSERT_EQ(0, sc_initTree(&SC.tree, sc_createData(".")));
        delivered.clear();
    }
    void TearDown() override {
        sc_deleteSCTree(&SC);
        sc_setNotify_hook = nullptr;
        sc_op_notify_hook = nullptr;
        config_sc_notify_hook = nullptr;
        sc_config_get_hook = nullptr;
        free_store();
        DebugLevel = 0;
    }

    SCTreeNode *find(const std::string &uri) {
        SCTreeNode *parent = nullptr, *found = nullptr;
        return sc_searchNode(&SC.tree, uri.c_str(), &parent, &found) == SC_DATA_FOUND ? found : nullptr;
    }
    // The node's value as the tree gives it; "<none>" for a missing node or
    // value.
    std::string value(const std::string &uri) {
        SCTreeNode *node = find(uri);
        char *v = nullptr;
        if (!node || sc_getStringFromNodeForce(node, &v) != 0 || !v)
            return "<none>";
        std::string out = v;
        SC_FREE(v);
        return out;
    }
    FileType *module(const std::string &name) {
        list_for_each(pos, &SC.FileList) {
            FileType *f = list_entry(pos, FileType, file);
            if (name == f->FileName)
                return f;
        }
        return nullptr;
    }
    bool is_dirty(const std::string &uri) {
        SCTreeNode *node = find(uri);
        return node && !list_empty(&node->dirty_chain);
    }
    // Lays the source folder `usr` (relative to the source tree) over "/usr".
    void lay_usr(const std::string &usr) {
        std::filesystem::copy(std::string(TARVI_SOURCE_DIR) + "/" + usr, root_.at("/usr"),
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::overwrite_existing);
    }
    // Standard output of `fn` at debug level `level`.
    static std::string messages(const std::function<void()> &fn, u_32 level = 3) {
        DebugLevel = level;
        ::testing::internal::CaptureStdout();
        fn();
        std::string out = ::testing::internal::GetCapturedStdout();
        DebugLevel = 0;
        return out;
    }

    ScratchRoot root_;
};

#endif
