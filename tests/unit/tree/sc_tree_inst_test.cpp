// Table instances: replace lists, placeholders, copying a template, reference
// fix-up, and the reprocessing that completes instances after a load.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sc_fixture.h"
#include "sc_tree_inst.h"
#include "sc_utiliface.h"

namespace {

const char *const lan_profile = "X;A:R,G:R;node;;\n"
                                "X/Target;A:R,G:R;node;;\n"
                                "X/Target/-1;A:R,G:R;node;;\n"
                                "X/Target/-1/Addr;A:RW,G:R;string;;v(10.0.0.$1)\n"
                                "X/T;A:RWAD,G:R;node;;\n"
                                "X/T/-1;A:RW,G:R;node;;\n"
                                "X/T/-1/Name;A:RW,G:R;string;;v(host$1)\n"
                                "X/T/-1/Prev;A:RW,G:R;string;;v(after#1)\n"
                                "X/T/-1/Field;A:RW,G:R;string;;k(lan)split(;){$1}split(,){2}\n"
                                "X/T/-1/Before;A:RW,G:R;string;;k(lan_$1)split(;){#1}\n"
                                "X/T/-1/Link;A:R,G:R;string;;r(./X/Target/$1/Addr)\n"
                                "X/T/-1/U;A:R,G:R;node;;\n"
                                "X/T/-1/U/-1;A:R,G:R;node;;\n"
                                "X/T/-1/U/-1/Port;A:RW,G:R;uint;;v(80)\n";

const char *const lan_cb = "$so=liblan.so\nX/T/-1/Name;;f(getName);f(setName);;;;;;\n";
const char *const lan_notify = "X/T/-1/Field;;passive;f(onField);\n";

std::vector<std::string> entries(struct list *head) {
    std::vector<std::string> out;
    for (struct list *pos = head->prev; pos != head; pos = pos->prev)
        out.push_back(list_entry(pos, ReplaceType, chain)->value);
    return out;
}

std::vector<int> indexes(const TarviKeyType *key) {
    std::vector<int> out;
    auto *head = const_cast<struct list *>(&key->split);
    for (struct list *pos = head->prev; pos != head; pos = pos->prev)
        out.push_back(list_entry(pos, SplitType, chain)->index);
    return out;
}

class Instances : public TreeDecl {
  protected:
    void lay(const std::string &tree_file = "") {
        root_.write("/usr/sc/profile0/lan.profile", lan_profile);
        root_.write("/usr/sc/cb0/lan.cb", lan_cb);
        root_.write("/usr/sc/notify0/lan.notify", lan_notify);
        if (!tree_file.empty())
            root_.write("/tmp/sc/tree0/lan.tree", tree_file);
    }
    // Adds instance `n` of ./X/T the way the instance operations do.
    void add_instance(const std::string &n) {
        SCTreeNode *tmpl = find("./X/T/-1");
        ASSERT_NE(nullptr, tmpl);
        struct list head;
        list_init(&head);
        ASSERT_EQ(0, sc_genReplaceList("./X/T/-1", ("./X/T/" + n).c_str(), &head));
        sc_preTraverseTreeAddInst(&SC.tree, find("./X/T"), &head, tmpl, sc_addNodeFromNode);
        sc_preTraverseTreeModifyRef(&head, find("./X/T/" + n), sc_modifyRef);
        sc_freeReplaceList(&head);
    }
};

} // namespace

TEST(ReplaceList, InstanceNumbersAndPlaceholders) {
    struct list head;
    list_init(&head);
    ASSERT_EQ(0, sc_genReplaceList("./A/-1/B/-1", "./A/3/B/7", &head));
    EXPECT_EQ((std::vector<std::string>{"3", "7"}), entries(&head));
    EXPECT_EQ("x3-7-2", std::string(sc_util_replaceIndex("x$1-$2-#1", &head)));
    EXPECT_EQ("$3 stays", std::string(sc_util_replaceIndex("$3 stays", &head)));
    EXPECT_EQ("plain", std::string(sc_util_replaceIndex("plain", nullptr)));
    sc_freeReplaceList(&head);
    ASSERT_EQ(0, sc_genReplaceList("./A/$1/B/#2", "./A/4/B/9", &head)) << "placeholders stand for levels";
    EXPECT_EQ((std::vector<std::string>{"4", "9"}), entries(&head));
    sc_freeReplaceList(&head);
    ASSERT_EQ(0, sc_genReplaceList("./A/-1/B/-1", "./A/3", &head)) << "a shorter URI stops quietly";
    EXPECT_EQ((std::vector<std::string>{"3"}), entries(&head));

    // The static buffers hold 4096 bytes: longer results are refused, never
    // written past.
    std::string big(4090, 'a');
    EXPECT_EQ(big + "3", std::string(sc_util_replaceIndex((big + "$1").c_str(), &head)));
    EXPECT_EQ(nullptr, sc_util_replaceIndex((big + "$1$1$1xxxx").c_str(), &head));
    EXPECT_EQ(nullptr, sc_util_replaceIndex(std::string(5000, 'b').c_str(), &head));
    sc_freeReplaceList(&head);
    EXPECT_TRUE(list_empty(&head));
}

TEST_F(Instances, CopyingATemplateForANewInstance) {
    lay();
    ASSERT_EQ(0, sc_loadTree(&SC, 0));
    add_instance("3");

    SCTreeNode *inst = find("./X/T/3");
    ASSERT_NE(nullptr, inst);
    EXPECT_EQ(find("./X/T"), inst->data->InstNode);
    EXPECT_TRUE(inst->data->dtype & SC_DTYPE_TABLE_MEM);
    EXPECT_TRUE(is_dirty("./X/T/3"));
    EXPECT_EQ(&module("lan")->dirty, inst->dirty);
    EXPECT_EQ("host3", value("./X/T/3/Name"));
    EXPECT_EQ("after2", value("./X/T/3/Prev"));
    EXPECT_TRUE(is_dirty("./X/T/3/Name"));
    EXPECT_EQ(SC_ATTR_ADMIN_R | SC_ATTR_ADMIN_W | SC_ATTR_GUEST_R, find("./X/T/3/Name")->data->attr);

    // Callbacks are shared; notifications are copied, their texts shared.
    SCTreeNode *tmpl_name = find("./X/T/-1/Name");
    EXPECT_EQ(tmpl_name->data->CBData, find("./X/T/3/Name")->data->CBData);
    SCTreeNode *field = find("./X/T/3/Field");
    SCTreeNode *tmpl_field = find("./X/T/-1/Field");
    ASSERT_NE(nullptr, field->data->Notify);
    EXPECT_NE(tmpl_field->data->Notify, field->data->Notify);
    EXPECT_EQ(tmpl_field->data->Notify->cb, field->data->Notify->cb);

    // Bindings: placeholders of the stages and the key name are resolved.
    EXPECT_EQ((std::vector<int>{3, 2}), indexes(field->data->TarviKey));
    EXPECT_EQ((std::vector<int>{-1, 2}), indexes(tmpl_field->data->TarviKey));
    EXPECT_EQ("lan_3", std::string(find("./X/T/3/Before")->data->TarviKey->key));
    EXPECT_EQ((std::vector<int>{2}), indexes(find("./X/T/3/Before")->data->TarviKey));
    EXPECT_FALSE(list_empty(&find_config("lan")->notify)) << "the copy is registered for its key";
    ASSERT_EQ(0, config_sc_tarvi_set("lan", "a;b;x,y"));
    EXPECT_EQ("y", value("./X/T/3/Field"));

    // References are fixed up; nested templates stay templates.
    EXPECT_EQ("./X/Target/3/Addr", std::string(find("./X/T/3/Link")->data->value));
    EXPECT_NE(nullptr, find("./X/T/3/U"));
    EXPECT_NE(nullptr, find("./X/T/3/U@@@serial"));
    EXPECT_EQ(nullptr, find("./X/T/3/U/-1"));

    // An instance that exists is not copied again.
    std::string out = messages([&] { add_instance("3"); });
    EXPECT_NE(std::string::npos, out.find("This URI Exists!!"));
}

TEST_F(Instances, ReprocessingAfterALoad) {
    // Instances 1, 2 and 5 come back from a tree file holding only some of
    // their nodes; instance 2 has a nested table with instances 1 and 4, and
    // the nested table of instance 5 has no instance.
    lay("X/T/1;A:RW,G:R;node;;\r\n"
        "X/T/1/Name;A:RW,G:R;string;;v(kept)\r\n"
        "X/T/2;A:RW,G:R;node;;\r\n"
        "X/T/2/U;A:R,G:R;node;;\r\n"
        "X/T/2/U/1;A:R,G:R;node;;\r\n"
        "X/T/2/U/4;A:R,G:R;node;;\r\n"
        "X/T/2/U/4/Port;A:RW,G:R;uint;;v(8080)\r\n"
        "X/T/5;A:RW,G:R;node;;\r\n"
        "X/T@@@serial;A:RW,G:R;int;;v(9)\r\n");
    ASSERT_EQ(0, sc_loadTree(&SC, 1));

    EXPECT_EQ("5", value("./X/T@@@serial")) << "the highest instance present";
    EXPECT_EQ("1", value("./X/Target@@@serial")) << "a table without instances";
    EXPECT_EQ("kept", value("./X/T/1/Name")) << "a restored value stays";
    EXPECT_EQ("host2", value("./X/T/2/Name")) << "missing nodes come from the template";
    EXPECT_EQ("host5", value("./X/T/5/Name"));
    SCTreeNode *kept = find("./X/T/1/Name");
    EXPECT_EQ(find("./X/T/-1/Name")->data->CBData, kept->data->CBData);
    EXPECT_EQ(find("./X/T"), kept->data->InstNode);
    EXPECT_TRUE(kept->data->dtype & SC_DTYPE_TABLE_MEM);
    EXPECT_EQ((std::vector<int>{5, 2}), indexes(find("./X/T/5/Field")->data->TarviKey));
    ASSERT_NE(nullptr, find("./X/T/1/Field")->data->Notify) << "restored instances are notified too";
    EXPECT_EQ("./X/Target/5/Addr", std::string(find("./X/T/5/Link")->data->value))
        << "references of completed instances are filled in";

    EXPECT_EQ("4", value("./X/T/2/U@@@serial")) << "a nested table counts its own instances";
    EXPECT_EQ("8080", value("./X/T/2/U/4/Port"));
    EXPECT_EQ("80", value("./X/T/2/U/1/Port"));
    EXPECT_EQ("1", value("./X/T/5/U@@@serial"));
}

TEST_F(Instances, TemplateNodesAddedAfterInstancesWereSaved) {
    lay("X/T/1;A:RW,G:R;node;;\r\nX/T/1/Name;A:RW,G:R;string;;v(one)\r\n");
    root_.write("/usr/sc/profile1/lan_ext.profile", "X/T/-1/Added;A:RW,G:R;string;;v(new$1)\n");
    ASSERT_EQ(0, sc_loadTree(&SC, 1));
    EXPECT_EQ("new1", value("./X/T/1/Added"));
    EXPECT_EQ("one", value("./X/T/1/Name"));
}
