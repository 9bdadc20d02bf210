// A tree loaded from declaration files laid into a scratch device root.
#ifndef TARVI_TEST_SC_FIXTURE_H
#define TARVI_TEST_SC_FIXTURE_H

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sc_debug.h"
#include "sc_memiface.h"
#include "sc_tree.h"
#include "sc_tree_cb.h"
#include "sc_tree_file.h"
#include "sc_tree_key.h"
#include "scratch.h"
#include "store.h"

class TreeDecl : public ::testing::Test {
  protected:
    void SetUp() override {
        DebugLevel = 0;
        ASSERT_EQ(0, config_store_init());
        sc_initSCType(&SC); // other tests leave records of their own on it
        ASSERT_EQ(0, sc_initTree(&SC.tree, sc_createData(".")));
    }
    void TearDown() override {
        sc_deleteSCTree(&SC);
        sc_setNotify_hook = nullptr;
        sc_op_notify_hook = nullptr;
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
