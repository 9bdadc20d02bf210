// Real data models through tarvi-import and the tree readers, checked against
// the source files themselves (read here by a scanner of their own), and the
// sample device's tree: its three views, key bindings into its flat defaults,
// tables completed from their templates, callbacks and notifications.
#include <cctype>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "command.h"
#include "sc_fixture.h"

namespace {

const std::string source_dir = TARVI_SOURCE_DIR;
const std::string data_dir = source_dir + "/tests/fixtures/data";

// The attribute `name` of the tag that starts at `tag`, or "".
std::string attr(const std::string &xml, size_t tag, const std::string &name) {
    size_t end = xml.find('>', tag);
    for (size_t at = xml.find(name + "=\"", tag); at != std::string::npos && at < end;
         at = xml.find(name + "=\"", at + 1)) {
        if (!isspace(static_cast<unsigned char>(xml[at - 1])))
            continue;
        at += name.size() + 2;
        return xml.substr(at, xml.find('"', at) - at);
    }
    return "";
}

// The next tag named `name` from `from`.
size_t next_tag(const std::string &xml, const std::string &name, size_t from) {
    for (size_t at = xml.find("<" + name, from); at != std::string::npos; at = xml.find("<" + name, at + 1)) {
        char after = xml[at + name.size() + 1];
        if (isspace(static_cast<unsigned char>(after)) || after == '>' || after == '/')
            return at;
    }
    return std::string::npos;
}

// Tree type names of the model's syntax elements (lists are texts).
const std::map<std::string, std::string> type_of = {
    {"string", "string"}, {"unsignedInt", "uint"}, {"unsignedLong", "uint"}, {"int", "int"},
    {"long", "int"},      {"boolean", "boolean"},  {"dateTime", "dateTime"}, {"base64", "bin"},
    {"hexBinary", "bin"}, {"decimal", "string"},
};
const std::map<std::string, u_16> type_bit = {
    {"node", SC_DTYPE_NODE},       {"int", SC_DTYPE_INT}, {"uint", SC_DTYPE_UINT},        {"string", SC_DTYPE_STRING},
    {"boolean", SC_DTYPE_BOOLEAN}, {"bin", SC_DTYPE_BIN}, {"dateTime", SC_DTYPE_DATETIME}};

// The first type element in xml[from, to): its tree type, following
// dataType references through `types`; "" when there is none.
std::string first_type(const std::string &xml, size_t from, size_t to,
                       const std::map<std::string, std::string> &types) {
    for (size_t at = xml.find('<', from); at != std::string::npos && at < to; at = xml.find('<', at + 1)) {
        size_t name_end = xml.find_first_of(" />", at + 1);
        std::string name = xml.substr(at + 1, name_end - at - 1);
        if (name == "list")
            return "string";
        if (type_of.count(name))
            return type_of.at(name);
        if (name == "dataType") {
            auto it = types.find(attr(xml, at, "ref"));
            return it == types.end() ? "string" : it->second;
        }
    }
    return "";
}

struct ModelParam {
    std::string uri;
    std::string type;
    bool writable;
};

struct Model {
    std::vector<std::string> objects; // URIs
    std::vector<ModelParam> params;
};

// Objects and parameters of the model, with slash URIs and "-1" templates.
Model scan_model(const std::string &xml) {
    std::map<std::string, std::string> types;
    size_t model = xml.find("<model ");
    for (size_t at = next_tag(xml, "dataType", 0); at != std::string::npos && at < model;
         at = next_tag(xml, "dataType", at + 1)) {
        size_t close = xml.find('>', at);
        size_t end = xml[close - 1] == '/' ? close : xml.find("</dataType>", at);
        std::string t = first_type(xml, close, end, types);
        if (t.empty()) {
            auto base = types.find(attr(xml, at, "base"));
            t = base == types.end() ? "string" : base->second;
        }
        types[attr(xml, at, "name")] = t;
    }
    auto to_uri = [](std::string name) {
        while (!name.empty() && (name.back() == '.' || name.back() == ' '))
            name.pop_back();
        std::string out = "./";
        for (size_t i = 0; i < name.size(); ++i) {
            if (name.compare(i, 3, "{i}") == 0) {
                out += "-1";
                i += 2;
            } else {
                out += name[i] == '.' ? '/' : name[i];
            }
        }
        return out;
    };
    Model m;
    size_t model_end = xml.find("</model>", model);
    for (size_t at = next_tag(xml, "object", model); at != std::string::npos && at < model_end;
         at = next_tag(xml, "object", at + 1)) {
        std::string name = attr(xml, at, "name");
        if (name.empty())
            continue;
        std::string uri = to_uri(name);
        m.objects.push_back(uri);
        size_t close = xml.find('>', at);
        size_t end = xml[close - 1] == '/' ? close : xml.find("</object>", at);
        for (size_t p = next_tag(xml, "parameter", at); p != std::string::npos && p < end;
             p = next_tag(xml, "parameter", p + 1)) {
            size_t syntax = next_tag(xml, "syntax", p);
            size_t syntax_end = xml.find("</syntax>", p);
            std::string pname = attr(xml, p, "name");
            if (pname.empty())
                continue; // a reference, as in a unique key
            while (!pname.empty() && pname.back() == ' ')
                pname.pop_back();
            m.params.push_back(
                {uri + "/" + pname, first_type(xml, syntax, syntax_end, types), attr(xml, p, "access") == "readWrite"});
        }
    }
    return m;
}

// Rows of a CSV file (quoted fields, doubled quotes).
std::vector<std::vector<std::string>> read_csv(const std::string &text) {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                field += text[++i];
            else if (c == '"')
                quoted = false;
            else
                field += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().push_back(field);
            field.clear();
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            rows.back().push_back(field);
            field.clear();
            rows.emplace_back();
        } else {
            field += c;
        }
    }
    if (!field.empty() || !rows.back().empty())
        rows.back().push_back(field);
    else
        rows.pop_back();
    return rows;
}

std::string dotted_to_uri(const std::string &path) {
    std::string out = "./" + path;
    for (size_t i = 2; i < out.size(); ++i) {
        if (out[i] == '.')
            out[i] = '/';
    }
    return out;
}

class RealData : public TreeDecl {
  protected:
    // The exit status of tarvi-import run with `args`.
    static int import_tool(const std::string &args) {
        return run_command("python3 " + source_dir + "/tools/tarvi-import " + args + " 2>/dev/null").status;
    }
    // Imports the fixture `src`; the files it makes go to "/import" and are
    // laid where the tree reads them.
    void import(const std::string &kind, const std::string &src, const std::string &module) {
        ASSERT_EQ(
            0, import_tool(kind + " " + data_dir + "/" + src + " -o " + root_.at("/import") + " --module " + module));
        root_.write("/usr/sc/profile0/" + module + ".profile", root_.read("/import/" + module + ".profile"));
        if (kind == "csv")
            root_.write("/tmp/sc/tree0/" + module + ".tree", root_.read("/import/" + module + ".tree"));
    }
    std::set<std::string> reported(const std::string &module) {
        std::set<std::string> paths;
        std::istringstream in(root_.read("/import/" + module + ".report"));
        for (std::string line; std::getline(in, line);)
            paths.insert(line.substr(0, line.find(": ")));
        return paths;
    }
};

} // namespace

TEST_F(RealData, FullDataModelAsProfileWithInstances) {
    import("bbf", "tr-098-1-8-0-full.xml", "cwmp_tr098");
    EXPECT_TRUE(reported("cwmp_tr098").empty());
    // A few instances come back from a tree file, down to the deepest table.
    root_.write("/tmp/sc/tree0/cwmp_tr098.tree",
                "InternetGatewayDevice.LANDevice.1;A:R,G:R;node;;\r\n"
                "InternetGatewayDevice.LANDevice.1.Hosts;A:R,G:R;node;;\r\n"
                "InternetGatewayDevice.LANDevice.1.Hosts.Host;A:R,G:R;node;;\r\n"
                "InternetGatewayDevice.LANDevice.1.Hosts.Host.3;A:R,G:R;node;;\r\n"
                "InternetGatewayDevice.LANDevice.1.Hosts.Host.3.HostName;A:R,G:R;string;;v(pc3)\r\n"
                "InternetGatewayDevice.LANDevice.2;A:R,G:R;node;;\r\n"
                "InternetGatewayDevice.WANDevice.1;A:R,G:R;node;;\r\n"
                "InternetGatewayDevice.WANDevice.1.WANConnectionDevice;A:R,G:R;node;;\r\n"
                "InternetGatewayDevice.WANDevice.1.WANConnectionDevice.2;A:R,G:R;node;;\r\n"
                "InternetGatewayDevice.WANDevice.1.WANConnectionDevice.2.WANIPConnection;A:R,G:R;node;;\r\n"
                "InternetGatewayDevice.WANDevice.1.WANConnectionDevice.2.WANIPConnection.1;A:R,G:R;node;;\r\n"
                "InternetGatewayDevice.WANDevice.1.WANConnectionDevice.2.WANIPConnection.1.PortMapping;"
                "A:R,G:R;node;;\r\n"
                "InternetGatewayDevice.WANDevice.1.WANConnectionDevice.2.WANIPConnection.1.PortMapping.6;"
                "A:R,G:R;node;;\r\n");
    ASSERT_EQ(0, sc_loadTree(&SC, 1));

    Model m = scan_model(read_file(data_dir + "/tr-098-1-8-0-full.xml"));
    ASSERT_EQ(192u, m.objects.size());
    ASSERT_EQ(1801u, m.params.size());
    for (const std::string &uri : m.objects) {
        SCTreeNode *node = find(uri);
        ASSERT_NE(nullptr, node) << uri;
        EXPECT_TRUE(node->data->dtype & SC_DTYPE_NODE) << uri;
    }
    for (const ModelParam &p : m.params) {
        SCTreeNode *node = find(p.uri);
        ASSERT_NE(nullptr, node) << p.uri;
        ASSERT_TRUE(type_bit.count(p.type)) << p.uri << " " << p.type;
        EXPECT_EQ(type_bit.at(p.type), node->data->dtype & 0xff) << p.uri;
        EXPECT_EQ(p.writable, (node->data->attr & SC_ATTR_ADMIN_W) != 0) << p.uri;
        EXPECT_TRUE(node->data->attr & SC_ATTR_ADMIN_R) << p.uri;
    }

    EXPECT_EQ("2", value("./InternetGatewayDevice/LANDevice@@@serial"));
    EXPECT_EQ("3", value("./InternetGatewayDevice/LANDevice/1/Hosts/Host@@@serial"));
    EXPECT_EQ("1", value("./InternetGatewayDevice/LANDevice/2/Hosts/Host@@@serial"));
    EXPECT_EQ("6", value("./InternetGatewayDevice/WANDevice/1/WANConnectionDevice/2/WANIPConnection/1/"
                         "PortMapping@@@serial"));
    EXPECT_EQ("pc3", value("./InternetGatewayDevice/LANDevice/1/Hosts/Host/3/HostName"));
    SCTreeNode *port = find("./InternetGatewayDevice/WANDevice/1/WANConnectionDevice/2/WANIPConnection/1/"
                            "PortMapping/6/ExternalPort");
    ASSERT_NE(nullptr, port) << "instances are completed from their templates, four tables deep";
    EXPECT_EQ(SC_DTYPE_TABLE_MEM | SC_DTYPE_UINT | SC_DTYPE_VALUE, port->data->dtype);
    EXPECT_NE(nullptr, find("./InternetGatewayDevice/LANDevice/2/LANHostConfigManagement/DHCPServerEnable"));
}

TEST_F(RealData, ParameterDumpAsProfileAndTreeFiles) {
    import("csv", "wimax-gateway-tr098.csv", "cwmp_gw");
    ASSERT_EQ(0, sc_loadTree(&SC, 1));

    std::vector<std::vector<std::string>> rows = read_csv(read_file(data_dir + "/wimax-gateway-tr098.csv"));
    ASSERT_EQ(1007u, rows.size());
    std::set<std::string> unwritable;
    size_t checked = 0;
    for (size_t i = 1; i < rows.size(); ++i) {
        const std::vector<std::string> &r = rows[i];
        ASSERT_EQ(5u, r.size()) << i;
        std::string uri = dotted_to_uri(r[0]);
        SCTreeNode *node = find(uri);
        ASSERT_NE(nullptr, node) << uri;
        if (r[1] == "true") {
            EXPECT_TRUE(node->data->dtype & SC_DTYPE_NODE) << uri;
            continue;
        }
        EXPECT_EQ(r[2] == "true", (node->data->attr & SC_ATTR_ADMIN_W) != 0) << uri;
        std::string xsd = r[4].substr(r[4].find(':') + 1);
        EXPECT_EQ(type_bit.at(type_of.at(xsd)), node->data->dtype & 0xff) << uri;
        if (r[3].find_first_of("()") != std::string::npos) {
            unwritable.insert(r[0]);
            EXPECT_EQ("", value(uri)) << uri;
            continue;
        }
        EXPECT_EQ(r[3], value(uri)) << uri;
        ++checked;
    }
    EXPECT_GT(checked, 780u);
    EXPECT_EQ(unwritable, reported("cwmp_gw")) << "exactly the values the format cannot carry are reported";
}

TEST_F(RealData, ImportRulesForWhatTheFormatCannotCarry) {
    root_.write("/in/model.xml",
                "<?xml version=\"1.0\"?>\n"
                "<dm:document xmlns:dm=\"urn:example:dm\"><dataType name=\"Port\"><unsignedInt/></dataType>"
                "<model name=\"Dev:1\">\n"
                "<object name=\"Dev.\" access=\"readOnly\"><parameter name=\"Note\" access=\"readWrite\">"
                "<syntax><string><enumeration value=\"a\"/><enumeration value=\"b\"/></string>"
                "<default type=\"object\" value=\"x(y)\"/></syntax></parameter>"
                "<parameter name=\"P\" access=\"readOnly\"><syntax><dataType ref=\"Port\"/>"
                "<default type=\"object\" value=\"a;b\"/></syntax></parameter>"
                "<parameter name=\"Pat\" access=\"readOnly\"><syntax><string><pattern value=\"a;b\"/>"
                "<range minInclusive=\"1\" maxInclusive=\"9\"/></string></syntax></parameter></object>\n"
                "<object name=\"Dev.Port-1.\" access=\"readOnly\"><parameter name=\"In\" access=\"readOnly\">"
                "<syntax><string/></syntax></parameter></object>\n"
                "<object name=\"Dev.Port-1.Sub.\" access=\"readOnly\"></object>\n"
                "<object name=\"Dev.T.{i}.\" access=\"readWrite\"><parameter name=\"Id-1\" access=\"readOnly\">"
                "<syntax><int/></syntax></parameter></object>\n"
                "</model></dm:document>\n");
    ASSERT_EQ(0, import_tool("bbf " + root_.at("/in/model.xml") + " -o " + root_.at("/import") + " --module cwmp_dev"));
    std::string report = root_.read("/import/cwmp_dev.report");
    EXPECT_NE(std::string::npos, report.find("Dev.Note: value cannot be written, declared empty: x(y)"));
    EXPECT_NE(std::string::npos, report.find("Dev.Pat: value limit cannot be written, left out: /a;b/"));
    EXPECT_NE(std::string::npos, report.find("Dev.Port-1: name holds the table marker -1, left out"));
    EXPECT_NE(std::string::npos, report.find("Dev.T.-1.Id-1: name holds the table marker -1, left out"));
    EXPECT_EQ(std::string::npos, report.find("Sub")) << "what lies below a left-out object is left out with it";
    root_.write("/usr/sc/profile0/cwmp_dev.profile", root_.read("/import/cwmp_dev.profile"));
    ASSERT_EQ(0, sc_loadTree(&SC, 0));
    EXPECT_EQ("", value("./Dev/Note"));
    EXPECT_EQ("{a|b}", std::string(find("./Dev/Note")->data->limit));
    EXPECT_EQ("a;b", value("./Dev/P")) << "a ';' inside a value is carried";
    EXPECT_EQ(SC_DTYPE_UINT | SC_DTYPE_VALUE, find("./Dev/P")->data->dtype) << "data types are followed";
    EXPECT_EQ("[1..9]", std::string(find("./Dev/Pat")->data->limit));
    EXPECT_EQ(nullptr, find("./Dev/Port-1"));
    EXPECT_EQ(SC_ATTR_ADMIN_R | SC_ATTR_ADMIN_W | SC_ATTR_ADMIN_A | SC_ATTR_ADMIN_D | SC_ATTR_GUEST_R,
              find("./Dev/T")->data->attr);
    EXPECT_EQ("1", value("./Dev/T@@@serial"));

    EXPECT_EQ(1, import_tool("csv " + root_.at("/in/missing.csv") + " -o " + root_.at("/x")));
    EXPECT_EQ(2, import_tool("csv " + root_.at("/in/model.xml") + " -o " + root_.at("/x") + " --module plain"))
        << "a module outside dotted notation";
    EXPECT_EQ(2, import_tool("json x -o y"));

    // A dump row cut short reads its missing fields as empty; a row with
    // fields to spare keeps the first five.
    root_.write("/in/short.csv", "Parameter,Object,Writable,Value,Value type\nIGD.X,false\n"
                                 "IGD.Y,false,true,5,xsd:int,extra\n");
    ASSERT_EQ(0, import_tool("csv " + root_.at("/in/short.csv") + " -o " + root_.at("/short")));
    EXPECT_EQ("IGD.X;A:R,G:R;string;;v()\r\nIGD.Y;A:RW,G:R;int;;v(5)\r\n", root_.read("/short/cwmp_short.tree"));
}

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
        lay_usr("examples/device/usr");
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
};

} // namespace

TEST_F(SampleDevice, ViewsBindingsAndTables) {
    EXPECT_EQ("WiMAX CPE Configuration Manager", value("./sys/system/name"));
    EXPECT_EQ("00A0B1", value("./sys/wimax/nsp/1/nsp_id")) << "the factory value wins over the firmware default";
    EXPECT_EQ("2", value("./sys/network/v6config@@@serial"));
    EXPECT_EQ("dhcpv6", value("./sys/network/v6config/2/Type"));
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
    EXPECT_EQ("libvoip.so", std::string(find("./sys/services/voip/line/2/number")->data->CBData->so));
    EXPECT_EQ("f(sys_uptime)", std::string(find("./InternetGatewayDevice/DeviceInfo/UpTime")->data->CBData->get));
    ASSERT_NE(nullptr, find("./sys/services/voip/line/2/codec")->data->Notify);
    EXPECT_EQ(1, find("./sys/wimax/enable")->data->Notify->active);
    EXPECT_FALSE(list_empty(&find_config("VOIP_LINES")->notify));
}
