// The image tool, run as a firmware build or a support engineer would.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "command.h"
#include "device.h"
#include "log.h"
#include "partition.h"
#include "scratch.h"
#include "store.h"

namespace {

void quiet(int, const char *) {}

using PackRun = command_result;

PackRun pack(const ScratchRoot &root, const std::string &args) {
    return run_command("cd " + root.path() + " && " + target_command(TARVI_PACK_PATH) + " " + args + " 2>&1");
}

} // namespace

TEST(TarviPack, BuildsImagesAndPartitionsTheDaemonLoads) {
    ScratchRoot root;
    tarvi_log_set_sink(quiet);
    root.write("/system.cfg", "name=cpe\nwan.mode=dhcp\n=skipped\nno-equal\nlast=kept");
    root.write("/network.cfg", "lan.ip=192.168.1.1\n");
    ASSERT_EQ(0, pack(root, "build -o default.bin system.cfg network.cfg").status);
    ASSERT_EQ(0, pack(root, "check default.bin").status);
    PackRun show = pack(root, "show default.bin");
    EXPECT_EQ(0, show.status);
    EXPECT_NE(std::string::npos,
              show.out.find("containers:\n  [system.cfg]\n    name=cpe\n    wan.mode=dhcp\n    last=kept\n  "
                            "[network.cfg]\n    lan.ip=192.168.1.1\n"))
        << show.out;
    EXPECT_NE(std::string::npos, show.out.find("validity: valid\n"));

    ASSERT_EQ(0, pack(root, "factory -o factory.bin --default wan.mode=lte --default new.key=a=b").status);
    ASSERT_EQ(0, pack(root, "partition --size 262144 --factory factory.bin -o factory.part").status);
    show = pack(root, "show factory.part");
    EXPECT_NE(std::string::npos, show.out.find("(262144 bytes, a partition)\ntail: no user image"));
    EXPECT_NE(std::string::npos, show.out.find("  [Not-Reset Default]\n    new.key=a=b\n    wan.mode=lte\n"));
    ASSERT_EQ(0, pack(root, "partition --size 262144 --serial 7 default.bin -o user.part").status);
    EXPECT_NE(std::string::npos, pack(root, "show user.part").out.find("tail: user image, serialNo 7\n"));

    // What the tool lays out is what the daemon reads.
    ASSERT_EQ(0, config_store_init());
    lay_device(root, "name=x\n");
    root.write("/usr/cfg/default.bin", root.read("/default.bin"));
    root.write(device_partition("FactoryConfig"), root.read("/factory.part"));
    std::string user = root.read("/user.part");
    root.write(device_partition("ConfigPack1"), user);
    struct operator_table op = {};
    ASSERT_EQ(0, partition_init(&op));
    ASSERT_EQ(0, partition_reload(1));
    EXPECT_STREQ("a=b", config_get("new.key"));
    EXPECT_STREQ("dhcp", config_get("wan.mode")); // the user image holds the firmware value
    EXPECT_EQ(7u, partition_serial(0));

    // A damaged image: check fails quietly, show names the first failed rule.
    std::string img = root.read("/default.bin");
    img[140] ^= 1;
    root.write("/bad.bin", img);
    PackRun check = pack(root, "check bad.bin");
    EXPECT_EQ(1, check.status);
    EXPECT_EQ("", check.out);
    show = pack(root, "show bad.bin");
    EXPECT_EQ(1, show.status);
    EXPECT_NE(std::string::npos, show.out.find("validity: invalid: Check - CFG Header : Checksum is incorrect  !!"));

    // Wrong use is a usage error; an image that does not fit is refused.
    EXPECT_EQ(2, pack(root, "build default.bin").status);
    EXPECT_EQ(2, pack(root, "partition --size 1000 default.bin -o x").status);
    root.write("/big.cfg", std::string(20000, 'k') + "=v\n");
    ASSERT_EQ(0, pack(root, "build -o big.bin big.cfg").status);
    EXPECT_EQ(1, pack(root, "partition --size 16384 --serial 1 big.bin -o x").status);
    EXPECT_EQ(2, pack(root, "frobnicate").status);
    // A full disk shows only when the stream is closed: one failure, no crash.
    PackRun full = pack(root, "build -o /dev/full system.cfg");
    EXPECT_EQ(1, full.status);
    EXPECT_NE(std::string::npos, full.out.find("tarvi-pack: can not write /dev/full: ")) << full.out;
    free_store();
    tarvi_log_set_sink(nullptr);
}

TEST(TarviPack, ExtractsTheTreeArchiveSafely) {
    ScratchRoot root;
    tarvi_log_set_sink(quiet);
    root.write("/tree/tree0/sys", "node\n");
    ASSERT_EQ(0, system(("cd " + root.path() + " && tar -czf good.tgz -C tree . && echo x > evil.tgz").c_str()));
    struct list none;
    list_init(&none);
    for (const char *name : {"good", "evil"}) {
        char *img = nullptr;
        std::string arch = root.at(std::string("/") + name + ".tgz");
        std::string size = root.read(std::string("/") + name + ".tgz");
        ASSERT_EQ(0, partition_pack_containers(&none, arch.c_str(), static_cast<uint32_t>(size.size()), 65536, &img));
        root.write(std::string("/") + name + ".bin", std::string(img, cfgpack_get32(img + 4)));
        free(img);
    }
    PackRun show = pack(root, "show good.bin");
    EXPECT_NE(std::string::npos, show.out.find("  ./\n  ./tree0/\n  ./tree0/sys\n")) << show.out;
    ASSERT_EQ(0, pack(root, "extract-sc good.bin out").status);
    EXPECT_EQ("node\n", root.read("/out/tree0/sys"));
    // A refused archive (here no archive at all) leaves the folder.
    EXPECT_EQ(1, pack(root, "extract-sc evil.bin out").status);
    EXPECT_EQ("node\n", root.read("/out/tree0/sys"));
    EXPECT_EQ(1, pack(root, "extract-sc default-less.bin out").status);
    tarvi_log_set_sink(nullptr);
}
