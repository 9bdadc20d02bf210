// The sample device's tree: its three views, key bindings into its flat
// defaults, tables completed from their templates, callbacks and notifications.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "sc_fixture.h"

namespace {

const std::string device_dir = std::string(TARVI_SOURCE_DIR) + "/examples/device";

int get_target(const char *uri, char **value) {
    SCTreeNode *parent = nullptr, *found = nullptr;
    if (sc_searchNode(&SC.tree, uri, &parent, &found) != SC_DATA_FOUND)
        return -1;
    return sc_getStringFromNodeForce(found, value);
}

class SampleDevice : public TreeDecl {
  protected:
    void SetUp() override {
        TreeDecl::SetUp();
        make_dirs(root_.at("/usr"));
        std::filesystem::copy(device_dir + "/usr/sc", root_.at("/usr/sc"), std::filesystem::copy_options::recursive);
        for (const char *cfg : {"/usr/cfg/network.cfg", "/usr/cfg/system.cfg", "/usr/cfg/wimax.cfg",
                                "/usr/cfg/services.cfg", "/mnt/default.cfg"}) {
            std::ifstream in(device_dir + cfg);
            for (std::string line; std::getline(in, line);) {
                size_t eq = line.find('=');
                if (eq != std::string::npos)
                    config_sc_tarvi_set(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str());
            }
        }
        sc_config_get_hook = get_target;
        ASSERT_EQ(0, sc_loadTree(&SC, 1));
    }
    void TearDown() override {
        sc_config_get_hook = nullptr;
        TreeDecl::TearDown();
    }
};

} // namespace

TEST_F(SampleDevice, ViewsBindingsAndTables) {
    EXPECT_EQ("WiMAX CPE Configuration Manager", value("./sys/system/name"));
    EXPECT_EQ("00A0B1", value("./sys/wimax/nsp/1/nsp_id")) << "the factory value wins over the firmware default";
    EXPECT_EQ("2496000", value("./sys/wimax/first_frequency"));
    EXPECT_EQ("2", value("./sys/network/v6config@@@serial"));
    EXPECT_EQ("wan6", value("./sys/network/v6config/2/Name"));
    EXPECT_EQ("dhcpv6", value("./sys/network/v6config/2/Type"));
    EXPECT_EQ("G729", value("./sys/services/voip/line/2/codec"));
    EXPECT_EQ("SN-0000-0001", value("./DevInfo/DevId"));
    EXPECT_EQ("operator", value("./WiMAX/NSP/1/Name")) << "the OMA-DM table stands for the sys table";
    EXPECT_EQ("UTC0", value("./InternetGatewayDevice/Time/LocalTimeZone"));
    EXPECT_EQ("192.168.1.100", value("./InternetGatewayDevice/LANDevice/1/LANHostConfigManagement/MinAddress"));

    // Writing a table field writes its part of the flat value.
    ASSERT_EQ(0, sc_setStringFromNodeForce(find("./sys/services/voip/line/1/codec"), "G722"));
    EXPECT_EQ("1,2001,G722;0,2002,G729", std::string(config_get("VOIP_LINES")));

    // Callbacks and notifications, shared or copied into the instances.
    SCTreeNode *tmpl = find("./sys/network/v6config/-1");
    ASSERT_NE(nullptr, tmpl->data->CBData);
    EXPECT_EQ("f(sys_v6_add)", std::string(tmpl->data->CBData->add));
    EXPECT_EQ(tmpl->data->CBData, find("./sys/network/v6config/1")->data->CBData);
    EXPECT_EQ("libvoip.so", std::string(find("./sys/services/voip/line/2/number")->data->CBData->so));
    EXPECT_EQ("libsc_sys.so", std::string(find("./sys/wan/mtu")->data->CBData->so));
    EXPECT_EQ("f(sys_uptime)", std::string(find("./InternetGatewayDevice/DeviceInfo/UpTime")->data->CBData->get));
    ASSERT_NE(nullptr, find("./sys/services/voip/line/2/codec")->data->Notify);
    EXPECT_EQ(1, find("./sys/wimax/enable")->data->Notify->active);
    EXPECT_FALSE(list_empty(&find_config("VOIP_LINES")->notify));
}
